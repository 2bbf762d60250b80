// SPDX-License-Identifier: ISC
// The LuCI views of luci-app-ravel in Debian's Chromium, headless, against
// the stand-in server, the real daemon and the modem simulator:
//   node browser_test.js <base url> <simulator control socket> [screenshot dir]
// Prints one line per step and ends 0 when every check held.
'use strict';

const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const [ base, simControl, shots ] = process.argv.slice(2);
const STEP_MS = 20000;

function sim(line) {
	return new Promise((resolve, reject) => {
		const s = net.connect(simControl, () => s.write(line + '\n'));
		let got = '';
		s.on('data', (d) => {
			got += d;
			if (got.includes('\n')) {
				s.end();
				got.startsWith('ok') ? resolve(got.trim()) : reject(new Error(line + ' -> ' + got.trim()));
			}
		});
		s.on('error', reject);
	});
}

function check(ok, what) {
	if (!ok)
		throw new Error('check failed: ' + what);
	console.log('ok ' + what);
}

// The menu entries: each view they name exists, and the ACL group they
// depend on is the one the package's ACL file defines.
function checkMenu() {
	const pkg = path.join(__dirname, '..', '..', 'packaging', 'openwrt', 'luci-app-ravel');
	const menu = JSON.parse(fs.readFileSync(path.join(pkg, 'root/usr/share/luci/menu.d/luci-app-ravel.json'), 'utf8'));
	const acl = JSON.parse(fs.readFileSync(path.join(pkg, 'root/usr/share/rpcd/acl.d/luci-app-ravel.json'), 'utf8'));
	const views = [];
	for (const [ entry, node ] of Object.entries(menu)) {
		check(entry.startsWith('admin/network/'), 'menu entry ' + entry + ' is under Network');
		for (const group of (node.depends && node.depends.acl) || [])
			check(acl[group] != null, 'menu entry ' + entry + ' depends on ACL group ' + group);
		if (node.action.type === 'view') {
			const file = path.join(pkg, 'htdocs/luci-static/resources/view', node.action.path + '.js');
			check(fs.existsSync(file), 'menu entry ' + entry + ' names an existing view');
			views.push(node.action.path);
		}
	}
	check(views.includes('ravel/status') && views.includes('ravel/console'), 'the menu holds both views');
}

async function main() {
	checkMenu();
	const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'ravel-chromium-'));
	const context = await chromium.launchPersistentContext(profile, {
		executablePath: '/usr/bin/chromium',
		headless: true,
		viewport: { width: 1000, height: 640 },
		args: [ '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
			'--disable-background-networking', '--disable-component-update', '--disable-sync',
			'--disable-dev-shm-usage' ]
	});
	try {
		const page = context.pages()[0] || await context.newPage();
		page.setDefaultTimeout(STEP_MS);
		const errors = [];
		page.on('pageerror', (e) => errors.push(String(e)));

		// Status: the channel with its settings, attached, and the scan tail.
		await sim('scan +QSCAN-TEST 46001,LTE,-87');
		await page.goto(base + '/?view=ravel/status');
		const row = page.locator('#ravel-channels tr[data-channel="cpe"]');
		await row.locator('.ravel-attached').waitFor();
		const cells = await row.locator('td').allTextContents();
		check(cells[1] === 'RM500U' && cells[2] === '127.0.0.1' && cells[4] === 'tcp',
			'status row shows model, server and proto: ' + cells.join(' | '));
		check(/^\d+$/.test(cells[3]), 'status row shows the port');
		await page.locator('#ravel-scan', { hasText: 'QSCAN-TEST' }).waitFor();
		check(true, 'the scan cache tail shows the report');
		if (shots)
			await page.screenshot({ path: path.join(shots, 'luci-status.png'), fullPage: true });

		// Console: a command, its answer and code; then one without answer.
		await page.goto(base + '/?view=ravel/console');
		await page.locator('#ravel-channel').selectOption('cpe');
		await page.locator('#ravel-cmd').fill('AT+CSQ');
		await page.locator('#ravel-wait').fill('1000');
		await page.locator('#ravel-send').click();
		await page.locator('#ravel-code[data-code="0"]').waitFor();
		check((await page.locator('#ravel-answer').textContent()).includes('+CSQ: 23,99'), 'console shows the answer');
		check((await page.locator('#ravel-code').textContent()).startsWith('0'), 'console shows code 0');
		if (shots)
			await page.screenshot({ path: path.join(shots, 'luci-console.png'), fullPage: true });

		await sim('answer AT+MUTE => ');
		await page.locator('#ravel-cmd').fill('AT+MUTE');
		await page.locator('#ravel-wait').fill('300');
		await page.locator('#ravel-cmd').press('Enter');
		await page.locator('#ravel-code[data-code="4"]').waitFor();
		check(true, 'console shows code 4 for a command without answer');

		// The module goes away: a command fails, the link is dropped, and
		// the status view (polling every 5 s) shows it.
		await page.goto(base + '/?view=ravel/status');
		await row.locator('.ravel-attached').waitFor();
		await sim('refuse on');
		await sim('drop');
		await page.evaluate(() => fetch('/ubus/', { method: 'POST', body: JSON.stringify(
			[ { jsonrpc: '2.0', id: 1, method: 'call', params: [ L.env.sessionid, 'ravelcpe', 'at_cmd', { cmd: 'AT', wait: 300 } ] } ]) }));
		await row.locator('.ravel-detached').waitFor();
		check(true, 'status shows the link detached once the module went away');

		// A call outside the ACL is refused by the stand-in as by rpcd.
		const denied = await page.evaluate(() => fetch('/ubus/', { method: 'POST', body: JSON.stringify(
			[ { jsonrpc: '2.0', id: 2, method: 'call', params: [ L.env.sessionid, 'file', 'read', { path: '/etc/shadow' } ] } ]) })
			.then((r) => r.json()));
		check(denied[0].result && denied[0].result[0] === 6, 'a file outside the ACL is refused');
		check(errors.length === 0, 'no script error on the pages' + (errors.length ? ': ' + errors.join('; ') : ''));
	} finally {
		await context.close();
		fs.rmSync(profile, { recursive: true, force: true });
	}
}

main().then(() => process.exit(0), (e) => {
	console.error(e && e.stack || e);
	process.exit(1);
});
