// SPDX-License-Identifier: ISC
// The web side of the LuCI stand-in: serves the stand-in page, the package's
// htdocs, and /ubus/ as JSON-RPC to the bus, the way the router's web server
// and rpcd do for LuCI:
//   - every call is checked against the package's rpcd ACL (ubus object and
//     method; file paths for "file"/"read"; config names for "uci"/"get"),
//     so a view that uses more than the ACL grants fails here as it would on
//     a router; a call outside it gets the error "Access denied";
//   - "file" "read" and "uci" "get" are answered here (rpcd's part);
//   - any other object is called on the bus with the bus tool.
//
//   node server.js --port-file F --htdocs DIR --acl FILE --bus-tool PATH
//                  [--config-dir /etc/config]
'use strict';

const http = require('http');
const fs = require('fs');
const path = require('path');
const { execFile } = require('child_process');

const opt = { configDir: '/etc/config' };
for (let i = 2; i < process.argv.length; i += 2) {
	const key = process.argv[i].replace(/^--/, '').replace(/-(\w)/g, (m, c) => c.toUpperCase());
	opt[key] = process.argv[i + 1];
}
const standin = __dirname;
const acl = JSON.parse(fs.readFileSync(opt.acl, 'utf8'));

// Every grant of the ACL file, read and write alike (one user, all rights).
const grants = { ubus: [], file: [], uci: [] };
for (const group of Object.values(acl))
	for (const mode of [ 'read', 'write' ]) {
		const g = group[mode] || {};
		for (const [ obj, methods ] of Object.entries(g.ubus || {}))
			grants.ubus.push([ obj, methods ]);
		for (const [ p, ops ] of Object.entries(g.file || {}))
			grants.file.push([ p, ops ]);
		for (const c of g.uci || [])
			grants.uci.push(c);
	}

// Shell-style pattern match ('*' any text, '?' one character).
function match(pattern, text) {
	const re = new RegExp('^' + pattern.replace(/[.+^${}()|[\]\\]/g, '\\$&').replace(/\*/g, '.*').replace(/\?/g, '.') + '$');
	return re.test(text);
}
function granted(list, name, op) {
	return list.some(([ p, ops ]) => match(p, name) && (ops.includes(op) || ops.includes('*')));
}

const MAX_FILE = 1024 * 1024;
function fileRead(args) {
	if (typeof(args.path) != 'string' || !granted(grants.file, args.path, 'read'))
		return Promise.resolve([ 6 ]);
	return new Promise((resolve) => {
		fs.readFile(args.path, (err, data) => {
			if (err)
				resolve([ err.code === 'ENOENT' ? 4 : err.code === 'EACCES' ? 6 : 5 ]);
			else if (data.length > MAX_FILE)
				resolve([ 9 ]);
			else
				resolve([ 0, { data: data.toString('utf8') } ]);
		});
	});
}

// A UCI file: config/option/list lines, values bare or in '' or "".
function parseUci(text) {
	const values = {};
	let section = null, index = 0;
	const word = /\s*(?:'([^']*)'|"((?:[^"\\]|\\.)*)"|([^\s'"#]+))/y;
	for (const line of text.split('\n')) {
		const words = [];
		word.lastIndex = 0;
		let m;
		while ((m = word.exec(line)) != null)
			words.push(m[1] != null ? m[1] : m[2] != null ? m[2].replace(/\\(.)/g, '$1') : m[3]);
		if (words[0] === 'config') {
			const anonymous = words.length < 3;
			const name = anonymous ? 'cfg' + index.toString(16).padStart(6, '0') : words[2];
			section = values[name] = { '.anonymous': anonymous, '.type': words[1], '.name': name, '.index': index++ };
		} else if (section && words[0] === 'option' && words.length >= 3) {
			section[words[1]] = words[2];
		} else if (section && words[0] === 'list' && words.length >= 3) {
			(section[words[1]] = Array.isArray(section[words[1]]) ? section[words[1]] : []).push(words[2]);
		}
	}
	return values;
}

function uciGet(args) {
	if (typeof(args.config) != 'string' || !/^[\w-]+$/.test(args.config) || !grants.uci.includes(args.config))
		return Promise.resolve([ 6 ]);
	return new Promise((resolve) => {
		fs.readFile(path.join(opt.configDir, args.config), 'utf8', (err, text) => {
			if (err)
				resolve([ 4 ]);
			else
				resolve([ 0, { values: parseUci(text) } ]);
		});
	});
}

// The bus tool prints the reply and ends with the bus status.
function busCall(object, method, args) {
	return new Promise((resolve) => {
		execFile(opt.busTool, [ '-S', '-t', '60', 'call', object, method, JSON.stringify(args) ],
			{ timeout: 70000, maxBuffer: 4 * MAX_FILE }, (err, stdout) => {
				const status = err ? (typeof(err.code) == 'number' ? err.code : 5) : 0;
				let data = null;
				try {
					data = stdout.trim() ? JSON.parse(stdout) : null;
				} catch (e) {
					data = null;
				}
				resolve(data ? [ status, data ] : [ status ]);
			});
	});
}

function call(req) {
	const reply = (body) => Object.assign({ jsonrpc: '2.0', id: req.id }, body);
	if (!req || req.method !== 'call' || !Array.isArray(req.params) || req.params.length < 3)
		return Promise.resolve(reply({ error: { code: -32600, message: 'Invalid request' } }));
	const [ , object, method, args ] = req.params;
	const a = (args && typeof(args) == 'object') ? args : {};
	if (!granted(grants.ubus, object, method))
		return Promise.resolve(reply({ error: { code: -32002, message: 'Access denied' } }));
	const run = object === 'file' && method === 'read' ? fileRead(a)
		: object === 'uci' && method === 'get' ? uciGet(a)
		: busCall(object, method, a);
	return run.then((result) => reply({ result }));
}

const TYPES = { '.html': 'text/html', '.js': 'application/javascript', '.css': 'text/css', '.json': 'application/json' };
function serveFile(res, root, rel) {
	const file = path.resolve(root, '.' + path.posix.normalize('/' + rel));
	if (!file.startsWith(path.resolve(root) + path.sep)) {
		res.writeHead(403).end();
		return;
	}
	fs.readFile(file, (err, data) => {
		if (err) {
			res.writeHead(404).end();
			return;
		}
		res.writeHead(200, { 'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream', 'Cache-Control': 'no-store' });
		res.end(data);
	});
}

const server = http.createServer((req, res) => {
	const url = new URL(req.url, 'http://localhost');
	if (req.method === 'POST' && url.pathname.replace(/\/$/, '') === '/ubus') {
		let body = '';
		req.on('data', (chunk) => {
			body += chunk;
			if (body.length > MAX_FILE)
				req.destroy();
		});
		req.on('end', () => {
			let parsed;
			try {
				parsed = JSON.parse(body);
			} catch (e) {
				res.writeHead(200, { 'Content-Type': 'application/json' });
				res.end(JSON.stringify({ jsonrpc: '2.0', id: null, error: { code: -32700, message: 'Parse error' } }));
				return;
			}
			const batch = Array.isArray(parsed);
			Promise.all((batch ? parsed : [ parsed ]).map(call)).then((replies) => {
				res.writeHead(200, { 'Content-Type': 'application/json' });
				res.end(JSON.stringify(batch ? replies : replies[0]));
			});
		});
		return;
	}
	if (url.pathname === '/')
		serveFile(res, standin, 'index.html');
	else if (url.pathname.startsWith('/standin/'))
		serveFile(res, standin, url.pathname.substring('/standin/'.length));
	else if (url.pathname.startsWith('/luci-static/'))
		serveFile(res, opt.htdocs, url.pathname.substring(1));
	else
		res.writeHead(404).end();
});

server.listen(0, '127.0.0.1', () => {
	fs.writeFileSync(opt.portFile, server.address().port + '\n');
});
for (const sig of [ 'SIGTERM', 'SIGINT' ])
	process.on(sig, () => server.close(() => process.exit(0)));
