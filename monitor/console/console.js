// The hub's web console. Everything shown comes from the /events socket:
// "hello" says what this client may do, "state" lists every hub as /status
// does, "log" brings the lines the hubs wrote. The control buttons send
// actions on the same socket and show the answer's error; a terminal per hub
// carries raw bytes over /hubs/NAME/terminal.
'use strict';

const socketBase = (location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host;
const LogLines = 200;
const ReconnectMs = 2000;
const EndpointNames = {
    gateway: 'Gateway',
    software_forwarder: 'Software forwarder',
    server: 'TCP/IP Server',
    data_host: 'Data host forwarder',
};

const hubs = new Map();    // hub name -> the parts of its section
const waiting = new Map(); // action id -> the hub it acts on
let access = { control: false, terminal: false, subject: '' };
let events = null;
let nextId = 1;

function make(tag, className, text) {
    const element = document.createElement(tag);
    if (className) element.className = className;
    if (text !== undefined) element.textContent = text;
    return element;
}

function bytes(count) {
    if (count < 1000) return count + ' B';
    const units = ['kB', 'MB', 'GB', 'TB'];
    let unit = -1;
    do { count /= 1000; ++unit; } while (count >= 1000 && unit < units.length - 1);
    return count.toFixed(1) + ' ' + units[unit];
}

// ---- the /events socket --------------------------------------------------

function connect() {
    events = new WebSocket(socketBase + '/events');
    events.onopen = () => showConnection('live', 'live');
    events.onmessage = (message) => {
        let frame;
        try { frame = JSON.parse(message.data); } catch (e) { return; }
        if (frame.type === 'hello') hello(frame);
        else if (frame.type === 'state') showState(frame.devices || []);
        else if (frame.type === 'log') (frame.lines || []).forEach(appendLog);
        else if (frame.type === 'result') showResult(frame);
    };
    events.onclose = (e) => {
        showConnection('lost', 'disconnected' + (e.reason ? ' (' + e.reason + ')' : '') + ', reconnecting');
        access = { control: false, terminal: false, subject: '' };
        hubs.forEach(enableButtons);
        setTimeout(connect, ReconnectMs);
    };
}

function showConnection(className, text) {
    const element = document.getElementById('connection');
    element.className = className;
    element.textContent = text;
}

function hello(frame) {
    access = { control: !!frame.control, terminal: !!frame.terminal, subject: frame.subject || '' };
    document.getElementById('version').textContent = frame.version ? 'version ' + frame.version : '';
    document.getElementById('access').textContent = access.control
        ? 'control as ' + access.subject
        : 'read-only: a client certificate is needed to act';
    // The log comes again whole after a reconnect.
    hubs.forEach((hub) => hub.log.replaceChildren());
    hubs.forEach(enableButtons);
}

function send(hub, action) {
    if (!events || events.readyState !== WebSocket.OPEN) return;
    const id = nextId++;
    waiting.set(id, hub);
    hub.error.textContent = '';
    events.send(JSON.stringify(Object.assign({ id: id, device: hub.name }, action)));
}

function showResult(frame) {
    const hub = waiting.get(frame.id);
    waiting.delete(frame.id);
    if (hub) hub.error.textContent = frame.ok ? '' : frame.error || 'refused';
}

// ---- one section per hub ---------------------------------------------------

function showState(devices) {
    const seen = new Set();
    for (const device of devices) {
        seen.add(device.name);
        showHub(hubs.get(device.name) || addHub(device.name), device);
    }
    for (const [name, hub] of hubs) {
        if (!seen.has(name)) {
            closeTerminal(hub);
            hub.section.remove();
            hubs.delete(name);
        }
    }
}

// A button that only a client with control may press; `action` makes what
// it sends.
function controlButton(hub, className, label, action) {
    const button = make('button', className, label);
    button.dataset.control = 'yes';
    button.addEventListener('click', () => send(hub, action()));
    hub.buttons.push(button);
    return button;
}

function addHub(name) {
    const hub = { name: name, buttons: [], endpoints: [], term: null };
    hub.section = make('section', 'hub');
    hub.section.id = 'hub-' + name;
    hub.port = make('span', 'port');
    hub.serialCounters = make('span', 'counters');
    hub.line = make('input', 'line');
    hub.line.placeholder = '9600,N,8,1';
    hub.line.setAttribute('aria-label', 'line settings');
    const serial = make('div', 'serial');
    serial.append(hub.port, hub.serialCounters,
        controlButton(hub, 'open', 'Open', () => ({ action: 'open' })),
        controlButton(hub, 'close', 'Close', () => ({ action: 'close' })),
        hub.line,
        controlButton(hub, 'line', 'Set line', () => ({ action: 'line', settings: hub.line.value.trim() })));
    hub.table = make('table', 'endpoints');
    hub.error = make('div', 'error');
    hub.terminalButton = make('button', 'open-terminal', 'Terminal');
    hub.terminalButton.addEventListener('click', () => (hub.term ? closeTerminal(hub) : openTerminal(hub)));
    hub.terminal = make('div', 'terminal');
    hub.log = make('pre', 'log');
    const actions = make('div', 'actions');
    actions.append(hub.terminalButton);
    hub.section.append(make('h2', null, name || 'hub'), serial, hub.table, hub.error, actions,
        hub.terminal, hub.log);
    document.getElementById('hubs').append(hub.section);
    hubs.set(name, hub);
    return hub;
}

function endpointRow(hub, index, listens) {
    const row = make('tr', 'endpoint-' + index);
    const parts = { row: row, name: make('th'), state: make('td', 'state'), peers: make('td', 'peers'),
        counters: make('td', 'counters'), controls: make('td', 'controls') };
    if (listens) {
        const port = make('input', 'listen-port');
        port.placeholder = 'port';
        port.setAttribute('aria-label', 'port to listen on');
        parts.controls.append(port,
            controlButton(hub, 'listen', 'Listen', () => {
                const action = { action: 'listen', index: index };
                if (port.value.trim() !== '') action.port = Number(port.value);
                return action;
            }),
            controlButton(hub, 'stop', 'Close', () => ({ action: 'stop', index: index })));
    }
    row.append(parts.name, parts.state, parts.peers, parts.counters, parts.controls);
    hub.table.append(row);
    return parts;
}

// "ADDRESS:PORT" of each peer of an endpoint.
function peersOf(endpoint) {
    if (Array.isArray(endpoint.peerAddresses)) return endpoint.peerAddresses;
    if (Array.isArray(endpoint.peers)) {
        return endpoint.peers.map((p) => (typeof p === 'string' ? p
            : (p.address.includes(':') ? '[' + p.address + ']' : p.address) + ':' + p.port));
    }
    return endpoint.peer ? [endpoint.peer + ':' + endpoint.peerPort] : [];
}

function showHub(hub, device) {
    const serial = device.serial || {};
    hub.port.className = 'port ' + (serial.open ? 'open' : 'closed');
    hub.port.textContent = 'COM' + serial.port + (serial.device ? ' ' + serial.device : '') + ' '
        + (serial.open ? 'open' : 'closed') + ', ' + serial.settings
        + (serial.flowControl ? ', ' + serial.flowControl : '');
    hub.serialCounters.textContent = 'in ' + bytes(serial.bytesReceived || 0)
        + ', out ' + bytes(serial.bytesSent || 0);
    (device.endpoints || []).forEach((endpoint, index) => {
        if (!hub.endpoints[index]) {
            hub.endpoints[index] = endpointRow(hub, index, Array.isArray(endpoint.peers));
            enableButtons(hub);
        }
        const parts = hub.endpoints[index];
        parts.name.textContent = EndpointNames[endpoint.name] || endpoint.name;
        parts.state.textContent = endpoint.stateText;
        parts.counters.textContent = 'in ' + bytes(endpoint.bytesReceived || 0)
            + ', out ' + bytes(endpoint.bytesSent || 0);
        parts.peers.replaceChildren();
        for (const peer of peersOf(endpoint)) {
            const item = make('span', null, peer);
            if (Array.isArray(endpoint.peers)) {
                const drop = controlButton(hub, 'drop', '\u00d7', () => ({ action: 'drop', index: index, peer: peer }));
                drop.title = 'close this peer';
                drop.disabled = !access.control;
                item.append(' ', drop);
            }
            parts.peers.append(item);
        }
    });
    hub.buttons = hub.buttons.filter((button) => button.isConnected || !button.classList.contains('drop'));
}

function enableButtons(hub) {
    for (const button of hub.buttons) {
        button.disabled = !access.control;
        button.title = access.control ? '' : 'read-only: a client certificate is needed';
    }
    const terminal = typeof Terminal === 'function';
    hub.terminalButton.disabled = !hub.term && !(access.terminal && terminal);
    hub.terminalButton.title = !terminal ? 'the terminal widget (node-xterm) is not installed'
        : access.terminal ? '' : 'a client certificate is needed for the terminal';
}

function appendLog(line) {
    // A line of no hub of this page (the process's own) goes to every hub.
    const targets = hubs.has(line.device) ? [hubs.get(line.device)] : [...hubs.values()];
    for (const hub of targets) {
        const atBottom = hub.log.scrollTop + hub.log.clientHeight >= hub.log.scrollHeight - 4;
        hub.log.append(make('div', null, line.text));
        while (hub.log.childElementCount > LogLines) hub.log.firstElementChild.remove();
        if (atBottom) hub.log.scrollTop = hub.log.scrollHeight;
    }
}

// ---- the terminal ------------------------------------------------------------

function openTerminal(hub) {
    const status = make('div', 'status', 'connecting to ' + hub.name);
    const screen = make('div', 'screen');
    hub.terminal.replaceChildren(status, screen);
    // The screen-reader rows keep the text on the page as well as on the canvas.
    const term = new Terminal({ cols: 100, rows: 12, screenReaderMode: true });
    term.open(screen);
    const socket = new WebSocket(socketBase + '/hubs/' + encodeURIComponent(hub.name) + '/terminal');
    socket.binaryType = 'arraybuffer';
    const encoder = new TextEncoder();
    const decoder = new TextDecoder('utf-8');
    term.on('data', (data) => {
        if (socket.readyState === WebSocket.OPEN) socket.send(encoder.encode(data));
    });
    socket.onopen = () => {
        status.textContent = 'connected to ' + hub.name + ' (what is typed goes to the device)';
        term.focus();
    };
    socket.onmessage = (message) => {
        if (message.data instanceof ArrayBuffer)
            term.write(decoder.decode(new Uint8Array(message.data), { stream: true }));
    };
    socket.onclose = (e) => {
        status.textContent = 'closed' + (e.reason ? ': ' + e.reason : '');
        status.classList.add('error');
    };
    hub.term = { term: term, socket: socket };
    hub.terminalButton.textContent = 'Close terminal';
}

function closeTerminal(hub) {
    if (!hub.term) return;
    hub.term.socket.onclose = null;
    hub.term.socket.close();
    hub.term.term.dispose();
    hub.term = null;
    hub.terminal.replaceChildren();
    hub.terminalButton.textContent = 'Terminal';
    enableButtons(hub);
}

connect();
