// SPDX-License-Identifier: ISC
// A stand-in for the part of LuCI's client side that the ravel views use,
// written from LuCI's documented JavaScript API: the module loader with its
// 'require' directives, L.Class, E(), _(), String.format, L.resolveDefault,
// and the modules baseclass, view, rpc, fs, uci, ui and poll. rpc speaks
// JSON-RPC over HTTP to /ubus/ as LuCI does: batches of
// {"method": "call", "params": [session, object, method, args]}, answered
// with "result": [status, data] or an "error".
(function(window, document) {
'use strict';

String.prototype.format = function() {
	var args = arguments, i = 0;
	return this.replace(/%([%sdx])/g, function(m, c) {
		if (c === '%')
			return '%';
		var v = args[i++];
		if (c === 'd')
			return String(parseInt(v, 10));
		if (c === 'x')
			return Number(v).toString(16);
		return String(v);
	});
};

// Classes: extend() copies the members; __init__ is the constructor and
// super(name, args) calls the parent's member.
function Class() {}
Class.extend = function(members) {
	var parent = this;
	var cls = function() {
		if (typeof(this.__init__) == 'function')
			this.__init__.apply(this, arguments);
	};
	cls.prototype = Object.create(parent.prototype);
	Object.keys(members || {}).forEach(function(k) { cls.prototype[k] = members[k]; });
	cls.prototype.constructor = cls;
	cls.prototype.super = function(name, args) { return parent.prototype[name].apply(this, args || []); };
	cls.extend = Class.extend;
	cls.isSubclass = true;
	return cls;
};

function append(node, children) {
	if (children == null)
		return;
	if (Array.isArray(children))
		children.forEach(function(c) { append(node, c); });
	else if (children instanceof Node)
		node.appendChild(children);
	else
		node.appendChild(document.createTextNode(String(children)));
}

// E(tag, attributes, children): functions become event handlers, null and
// undefined attributes are left out.
function E(tag, attrs, children) {
	var node = document.createElement(tag);
	if (attrs != null && (typeof(attrs) != 'object' || Array.isArray(attrs) || attrs instanceof Node)) {
		children = attrs;
		attrs = null;
	}
	Object.keys(attrs || {}).forEach(function(k) {
		var v = attrs[k];
		if (v == null)
			return;
		if (typeof(v) == 'function')
			node.addEventListener(k, v);
		else
			node.setAttribute(k, typeof(v) == 'object' ? JSON.stringify(v) : v);
	});
	append(node, children);
	return node;
}

var dom = {
	content: function(node, children) {
		while (node.firstChild)
			node.removeChild(node.firstChild);
		append(node, children);
		return node;
	}
};

// A page opened with ?sid=<session> calls with that session (a real rpcd
// behind a real web server); the stand-in server takes any.
var env = {
	sessionid: new URLSearchParams(window.location.search).get('sid') || '00000000000000000000000000000000',
	ubuspath: '/ubus/',
	resource: '/luci-static/resources',
	rpctimeout: 20
};

var rpcId = 1;
function ubusCall(object, method, args) {
	var req = [ { jsonrpc: '2.0', id: rpcId++, method: 'call', params: [ env.sessionid, object, method, args || {} ] } ];
	var ctrl = new AbortController();
	var timer = setTimeout(function() { ctrl.abort(); }, env.rpctimeout * 1000);
	return fetch(env.ubuspath, {
		method: 'POST', headers: { 'Content-Type': 'application/json' },
		body: JSON.stringify(req), signal: ctrl.signal
	}).then(function(res) {
		clearTimeout(timer);
		if (!res.ok)
			throw new Error('RPC call to %s/%s failed with HTTP error %d'.format(object, method, res.status));
		return res.json();
	}).then(function(replies) {
		var msg = Array.isArray(replies) ? replies[0] : replies;
		if (msg && msg.error)
			throw new Error('RPC call to %s/%s failed with error %d: %s'.format(object, method, msg.error.code, msg.error.message));
		return msg.result;
	});
}

var rpc = {
	// declare({object, method, params, expect, filter, reject}): a function
	// taking the params in order. Its promise gives the reply data, or the
	// bus status as a number when the call failed (a rejection with
	// reject: true); with expect, the named member of the data.
	declare: function(opts) {
		return function() {
			var args = {};
			for (var i = 0; i < (opts.params || []).length && i < arguments.length; i++)
				if (arguments[i] !== undefined)
					args[opts.params[i]] = arguments[i];
			return ubusCall(opts.object, opts.method, args).then(function(result) {
				var status = Array.isArray(result) ? result[0] : -1;
				if (status !== 0 && opts.reject)
					throw new Error('RPC call to %s/%s failed with ubus code %d'.format(opts.object, opts.method, status));
				var ret = status !== 0 ? status : (result.length > 1 ? result[1] : status);
				if (opts.expect) {
					var key = Object.keys(opts.expect)[0];
					if (key !== '' && ret != null && typeof(ret) == 'object')
						ret = ret[key];
					if (ret == null || typeof(ret) != typeof(opts.expect[key]))
						ret = opts.expect[key];
				}
				return opts.filter ? opts.filter(ret, args) : ret;
			});
		};
	}
};

var STATUS_ERRORS = { 2: 'InvalidArgumentError', 4: 'NotFoundError', 6: 'PermissionError', 7: 'TimeoutError' };
var fs = {
	read: function(path) {
		return ubusCall('file', 'read', { path: path }).then(function(result) {
			if (result[0] !== 0) {
				var e = new Error('fs.read(%s): status %d'.format(path, result[0]));
				e.name = STATUS_ERRORS[result[0]] || 'Error';
				throw e;
			}
			return result[1].data;
		});
	}
};

var loaded = {};
var uci = {
	load: function(config) {
		return ubusCall('uci', 'get', { config: config }).then(function(result) {
			loaded[config] = result[0] === 0 ? result[1].values : {};
			return config;
		});
	},
	sections: function(config, type) {
		var values = loaded[config] || {};
		return Object.keys(values).map(function(k) { return values[k]; })
			.filter(function(s) { return type == null || s['.type'] === type; })
			.sort(function(a, b) { return a['.index'] - b['.index']; });
	},
	get: function(config, sid, option) {
		var s = (loaded[config] || {})[sid];
		return s == null ? null : option == null ? s : s[option];
	}
};

var ui = {
	addNotification: function(title, children) {
		var box = E('div', { 'class': 'alert-message' }, [ title ? E('h4', {}, title) : null, children ]);
		var main = document.getElementById('maincontent');
		main.insertBefore(box, main.firstChild);
		return box;
	},
	createHandlerFn: function(ctx, fn) {
		var bound = Array.prototype.slice.call(arguments, 2);
		return function(ev) {
			var f = typeof(fn) == 'string' ? ctx[fn] : fn;
			return f.apply(ctx, bound.concat([ ev ]));
		};
	}
};

// poll.add(fn, seconds): fn runs every interval, never overlapping itself.
var poll = {
	add: function(fn, interval) {
		var step = function() {
			Promise.resolve().then(fn).catch(function() {}).then(function() {
				setTimeout(step, (interval || 5) * 1000);
			});
		};
		setTimeout(step, (interval || 5) * 1000);
	}
};

var baseclass = Class;
var view = Class.extend({
	__init__: function() {
		var vp = document.getElementById('view');
		var self = this;
		return Promise.resolve(this.load()).then(function(data) {
			return self.render(data);
		}).then(function(nodes) {
			dom.content(vp, nodes);
			vp.setAttribute('data-rendered', 'true');
		}).catch(function(e) {
			dom.content(vp, E('div', { 'class': 'alert-message', 'id': 'view-error' }, String(e && e.stack || e)));
		});
	},
	load: function() { return null; },
	render: function() { return E('div'); }
});

var builtin = { baseclass: baseclass, view: view, rpc: rpc, fs: fs, uci: uci, ui: ui, poll: poll };

// The loader: fetches <resource>/<name with dots as slashes>.js, reads the
// 'require' directives at its top, compiles the rest as a function of them
// and instantiates a class it returns.
var DIRECTIVE = /^(?:\s+|\/\/[^\n]*\n|\/\*[\s\S]*?\*\/|'use strict';?)*'require\s+([\w.]+)(?:\s+as\s+(\w+))?';?/;
function require(name) {
	if (builtin[name])
		return Promise.resolve(builtin[name]);
	var url = env.resource + '/' + name.replace(/\./g, '/') + '.js';
	return fetch(url).then(function(res) {
		if (!res.ok)
			throw new Error('cannot load %s: HTTP %d'.format(url, res.status));
		return res.text();
	}).then(function(source) {
		var names = [], deps = [], rest = source, m;
		while ((m = DIRECTIVE.exec(rest)) != null) {
			names.push(m[2] || m[1].replace(/.*\./, ''));
			deps.push(require(m[1]));
			rest = rest.substring(m[0].length);
		}
		return Promise.all(deps).then(function(mods) {
			var factory = new Function(names.join(','), "'use strict';\n" + rest + '\n//# sourceURL=' + url);
			var out = factory.apply(window, mods);
			return (typeof(out) == 'function' && out.isSubclass) ? new out() : out;
		});
	});
}

window.L = {
	env: env, Class: Class, dom: dom, require: require,
	resolveDefault: function(p, def) { return Promise.resolve(p).catch(function() { return def; }); }
};
window.E = E;
window._ = function(text) { return text; };

var wanted = new URLSearchParams(window.location.search).get('view') || 'ravel/status';
document.addEventListener('DOMContentLoaded', function() {
	require('view.' + wanted.replace(/\//g, '.'));
});
})(window, document);
