'use strict';
'require view';
'require rpc';
'require uci';
'require ui';

// SPDX-License-Identifier: ISC
// An AT console: one command line (or several joined by "|") at a time to a
// channel's daemon through its bus method at_cmd, with the answer and the
// result code shown.

var CODES = {
	0: _('OK'),
	2: _('no link to the module, or a bad command'),
	3: _('the command could not be sent; the link is rebuilt'),
	4: _('no final answer within the wait'),
	5: _('the request timed out; the link is rebuilt'),
	6: _('the module is not ready')
};

function callAt(channel) {
	return rpc.declare({
		object: 'ravel' + channel,
		method: 'at_cmd',
		params: [ 'cmd', 'wait' ]
	});
}

return view.extend({
	load: function() {
		return uci.load('ravel_tools').then(function() {
			return uci.sections('ravel_tools', 'channel');
		});
	},

	handleSend: function(ev) {
		var channel = document.getElementById('ravel-channel').value;
		var cmd = document.getElementById('ravel-cmd').value.trim();
		var waitText = document.getElementById('ravel-wait').value.trim();
		var answer = document.getElementById('ravel-answer');
		var code = document.getElementById('ravel-code');
		var button = ev.currentTarget;

		if (!cmd)
			return Promise.resolve();
		var wait = waitText === '' ? 0 : parseInt(waitText, 10);
		if (isNaN(wait) || wait < 0 || wait > 600000) {
			ui.addNotification(null, E('p', {}, _('The wait is a number of milliseconds from 0 to 600000.')));
			return Promise.resolve();
		}

		button.disabled = true;
		code.textContent = _('waiting…');
		code.setAttribute('data-code', '');
		answer.textContent = '';
		return callAt(channel)(cmd, wait > 0 ? wait : undefined).then(function(reply) {
			if (typeof(reply) == 'number') {
				// A bus status: the call itself failed.
				code.setAttribute('data-code', 'bus ' + reply);
				code.textContent = reply == 4 ? _('no daemon serves this channel')
					: reply == 6 ? _('permission denied')
					: reply == 7 ? _('the call timed out; the command may still run')
					: _('the call failed (bus status %d)').format(reply);
				return;
			}
			var n = (reply && reply.code != null) ? reply.code : -1;
			// Line breaks as the command-line client prints them: no empty lines.
			answer.textContent = ((reply && reply.respone) ? reply.respone : '')
				.replace(/\r\n|\r|\n/g, '\n').replace(/\n{2,}/g, '\n').replace(/^\n/, '');
			code.setAttribute('data-code', String(n));
			code.textContent = '%d (%s)'.format(n, CODES[n] || _('unknown code'));
		}).catch(function(e) {
			code.setAttribute('data-code', 'error');
			code.textContent = e.message;
		}).finally(function() {
			button.disabled = false;
		});
	},

	render: function(channels) {
		var self = this;
		var options = channels.map(function(ch) {
			return E('option', { 'value': ch['.name'] }, ch['.name'] + (ch.model ? ' (' + ch.model + ')' : ''));
		});
		var cmd = E('input', {
			'id': 'ravel-cmd', 'type': 'text', 'class': 'cbi-input-text', 'style': 'width:30em',
			'placeholder': 'AT+CSQ',
			'keydown': function(ev) {
				if (ev.key === 'Enter')
					self.handleSend({ currentTarget: document.getElementById('ravel-send') });
			}
		});

		return E('div', { 'class': 'cbi-map' }, [
			E('h2', {}, _('AT console')),
			E('div', { 'class': 'cbi-map-descr' },
				_('Runs one AT command line on a channel\'s module. Several commands are joined with "|"; a command holding ">" is sent in two steps, the text after ">" following the module\'s prompt.')),
			E('div', { 'class': 'cbi-section' }, [
				E('div', { 'class': 'cbi-value' }, [
					E('label', { 'class': 'cbi-value-title', 'for': 'ravel-channel' }, _('Channel')),
					E('div', { 'class': 'cbi-value-field' },
						E('select', { 'id': 'ravel-channel', 'class': 'cbi-input-select' }, options))
				]),
				E('div', { 'class': 'cbi-value' }, [
					E('label', { 'class': 'cbi-value-title', 'for': 'ravel-cmd' }, _('Command')),
					E('div', { 'class': 'cbi-value-field' }, cmd)
				]),
				E('div', { 'class': 'cbi-value' }, [
					E('label', { 'class': 'cbi-value-title', 'for': 'ravel-wait' }, _('Wait (ms)')),
					E('div', { 'class': 'cbi-value-field' }, [
						E('input', { 'id': 'ravel-wait', 'type': 'number', 'min': '0', 'max': '600000',
							'class': 'cbi-input-text', 'placeholder': '3000' }),
						E('div', { 'class': 'cbi-value-description' },
							_('How long the daemon waits for each command\'s answer; empty: its default, 3000.'))
					])
				]),
				E('div', { 'class': 'cbi-page-actions' },
					E('button', {
						'id': 'ravel-send', 'class': 'cbi-button cbi-button-action',
						'click': ui.createHandlerFn(this, 'handleSend'),
						'disabled': channels.length ? null : ''
					}, _('Send')))
			]),
			E('div', { 'class': 'cbi-section' }, [
				E('h3', {}, _('Answer')),
				E('p', {}, [ _('Code') + ': ', E('span', { 'id': 'ravel-code' }, '-') ]),
				E('pre', { 'id': 'ravel-answer' }, '')
			])
		]);
	},

	handleSaveApply: null,
	handleSave: null,
	handleReset: null
});
