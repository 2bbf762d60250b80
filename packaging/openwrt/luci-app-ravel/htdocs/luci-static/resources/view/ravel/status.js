'use strict';
'require view';
'require fs';
'require uci';
'require poll';

// SPDX-License-Identifier: ISC
// The modem channels of /etc/config/ravel_tools: model, server, port and
// proto (a channel's own options, else those of the first rule for its
// model), whether the daemon has its link attached (the link-state file it
// rewrites on every attach and detach), and the tail of the scan cache.

var STATE_DIR = '/tmp/oriel/cache/';
var SCAN_CACHE = '/tmp/oriel/tmp/lumen_cache';
var SCAN_TAIL_LINES = 20;

// The link-state file: "parameter" holds the link while attached and is
// empty while detached. null: no file (no daemon has run) or unreadable.
function linkState(text) {
	var state;
	try {
		state = JSON.parse(text);
	} catch (e) {
		return null;
	}
	if (!state || typeof(state.parameter) != 'object' || state.parameter === null)
		return null;
	return state.parameter;
}

function effective(channel, rules, option) {
	if (channel[option] != null && channel[option] !== '')
		return channel[option];
	for (var i = 0; i < rules.length; i++)
		if (rules[i].model === channel.model)
			return rules[i][option];
	return null;
}

function tail(text, lines) {
	var all = (text || '').replace(/\r/g, '').split('\n').filter(function(l) { return l.trim() !== ''; });
	return all.slice(-lines).join('\n');
}

return view.extend({
	load: function() {
		return uci.load('ravel_tools').then(function() {
			var channels = uci.sections('ravel_tools', 'channel');
			return Promise.all([
				Promise.resolve(channels),
				Promise.resolve(uci.sections('ravel_tools', 'rule')),
				Promise.all(channels.map(function(ch) {
					return L.resolveDefault(fs.read(STATE_DIR + 'ravel_tools_' + ch['.name']), null);
				})),
				L.resolveDefault(fs.read(SCAN_CACHE), '')
			]);
		});
	},

	renderTable: function(data) {
		var channels = data[0], rules = data[1], states = data[2];
		var rows = channels.map(function(ch, i) {
			var param = states[i] != null ? linkState(states[i]) : null;
			var attached = param && Object.keys(param).length > 0;
			var state;
			if (ch.disabled === '1')
				state = E('em', {}, _('disabled'));
			else if (states[i] == null || param == null)
				state = E('em', {}, _('not running'));
			else
				state = E('span', { 'class': attached ? 'ravel-attached' : 'ravel-detached' },
					attached ? _('attached') : _('detached'));
			return E('tr', { 'class': 'tr', 'data-channel': ch['.name'] }, [
				E('td', { 'class': 'td', 'data-title': _('Channel') }, ch['.name']),
				E('td', { 'class': 'td', 'data-title': _('Model') }, ch.model || '-'),
				E('td', { 'class': 'td', 'data-title': _('Server') }, effective(ch, rules, 'server') || '-'),
				E('td', { 'class': 'td', 'data-title': _('Port') }, effective(ch, rules, 'port') || '-'),
				E('td', { 'class': 'td', 'data-title': _('Protocol') }, effective(ch, rules, 'proto') || '-'),
				E('td', { 'class': 'td ravel-state', 'data-title': _('Link') }, state)
			]);
		});
		if (!rows.length)
			rows.push(E('tr', { 'class': 'tr placeholder' }, E('td', { 'class': 'td' },
				E('em', {}, _('No channel is configured in /etc/config/ravel_tools.')))));
		return E('table', { 'class': 'table', 'id': 'ravel-channels' }, [
			E('tr', { 'class': 'tr table-titles' }, [
				E('th', { 'class': 'th' }, _('Channel')),
				E('th', { 'class': 'th' }, _('Model')),
				E('th', { 'class': 'th' }, _('Server')),
				E('th', { 'class': 'th' }, _('Port')),
				E('th', { 'class': 'th' }, _('Protocol')),
				E('th', { 'class': 'th' }, _('Link'))
			])
		].concat(rows));
	},

	renderScan: function(data) {
		var text = tail(data[3], SCAN_TAIL_LINES);
		return E('pre', { 'id': 'ravel-scan' }, text || _('No scan report yet.'));
	},

	render: function(data) {
		var self = this;
		var table = this.renderTable(data), scan = this.renderScan(data);
		var box = E('div', {}, [ table ]), scanBox = E('div', {}, [ scan ]);

		poll.add(function() {
			return self.load().then(function(fresh) {
				box.replaceChild(self.renderTable(fresh), box.firstChild);
				scanBox.replaceChild(self.renderScan(fresh), scanBox.firstChild);
			});
		}, 5);

		return E('div', { 'class': 'cbi-map' }, [
			E('h2', {}, _('Modem channels')),
			E('div', { 'class': 'cbi-map-descr' },
				_('The channels of ravel_tools and the state of their module links, refreshed every 5 seconds.')),
			E('div', { 'class': 'cbi-section' }, [ box ]),
			E('div', { 'class': 'cbi-section' }, [
				E('h3', {}, _('Latest scan reports')),
				scanBox
			])
		]);
	},

	handleSaveApply: null,
	handleSave: null,
	handleReset: null
});
