'use strict';

// The gateway's live monitor in a browser: one WebSocket to /live, JSON
// messages both ways. Server text only ever goes through textContent.
(() => {
  const MAX_ROWS = 500;
  const SAMPLES = 111;
  const GRAPH_W = 110;
  const GRAPH_H = 25;
  const MAX_BACKOFF = 30;
  const MAX_MESSAGES = 5;
  const KEY_STORE = 'quillon-key';

  // The status bar's fields by number, as the gateway sends them: what each
  // says (in full, and short for a phone), and the gateway's own prefix that
  // the name stands in for. Fields 1 and 2 count what one read took in: the
  // frames the bus delivered in the gateway's latest pass, and the frames in
  // the latest piece of data a client sent; neither counts frames waiting.
  const STATUS_FIELDS = [
    { long: 'uptime', short: 'up', prefix: /^UpTime:\s*/ },
    { long: 'frames from the bus, last read', short: 'from bus', prefix: /^V:\s*/ },
    { long: 'frames from a client, last read', short: 'from client', prefix: /^N:\s*/ },
    { long: 'serial link', short: 'serial', prefix: /^Velbus serial\s+/ },
    { long: 'client ports', short: 'ports', prefix: /^Ethernet\s+(port\s+)?/ },
    { long: 'clock', short: 'clock', prefix: null },
    { long: 'analyzers fed', short: 'analyzers', prefix: /^A:\s*/ },
  ];

  const $ = (id) => document.getElementById(id);
  const el = {
    title: $('title'),
    readOnly: $('read-only'),
    connection: $('connection'),
    message: $('message'),
    signIn: $('sign-in'),
    keyForm: $('key-form'),
    keyInput: $('key-input'),
    keyError: $('key-error'),
    traffic: $('traffic'),
    clients: $('clients'),
    filterText: $('filter-text'),
    filterToggle: $('filter-toggle'),
    invertToggle: $('invert-toggle'),
    pause: $('pause'),
    pausedNote: $('paused-note'),
    clear: $('clear'),
    save: $('save'),
    disconnectAll: $('disconnect-all'),
    setClock: $('set-clock'),
    delay: $('delay'),
    debug: $('debug'),
    status: $('status'),
    rxGraph: $('rx-graph'),
    txGraph: $('tx-graph'),
    rxRate: $('rx-rate'),
    txRate: $('tx-rate'),
  };

  // What the gateway last told, newest row first.
  const model = { rows: [], clients: [], history: [] };

  let ws = null;
  let keyRequired = false;
  let hadState = false; // on the current connection
  let waitingForKey = false; // the form is up; the next submit connects
  let refused = false;
  let backoff = 1;
  let retryTimer = null;

  let filterOn = false;
  let inverted = false;
  let paused = false;
  let pausedCount = 0;
  let unflushed = 0; // newest rows of the model not in the table yet
  let flushQueued = false;
  const rowInfo = new WeakMap();

  const text = (v) => (typeof v === 'string' ? v : v == null ? '' : String(v));
  const isColour = (v) => typeof v === 'string' && /^#[0-9a-fA-F]{6}$/.test(v);

  // sessionStorage may be refused (private modes); the key then lives as long as the page.
  let keptKey = null;
  function storedKey() {
    try { return sessionStorage.getItem(KEY_STORE); } catch (e) { return keptKey; }
  }
  function storeKey(key) {
    keptKey = key;
    try { sessionStorage.setItem(KEY_STORE, key); } catch (e) { /* kept in memory */ }
  }
  function forgetKey() {
    keptKey = null;
    try { sessionStorage.removeItem(KEY_STORE); } catch (e) { /* nothing kept */ }
  }

  // ---- connection ----

  function connect() {
    clearRetry();
    if (ws) {
      const old = ws;
      ws = null;
      try { old.close(); } catch (e) { /* already gone */ }
    }
    hadState = false;
    refused = false;
    const url = (location.protocol === 'https:' ? 'wss:' : 'ws:') + '//' + location.host + '/live';
    let socket;
    try {
      socket = new WebSocket(url);
    } catch (e) {
      scheduleReconnect();
      return;
    }
    ws = socket;
    showConnection('connecting…');
    socket.onmessage = (ev) => { if (socket === ws) onMessage(ev.data); };
    socket.onclose = () => { if (socket === ws) onClose(); };
  }

  function onClose() {
    ws = null;
    hadState = false;
    // After a refusal or while the form is up, the user's next key connects.
    if (refused || waitingForKey) {
      hideConnection();
      return;
    }
    document.body.classList.add('stale');
    scheduleReconnect();
  }

  function scheduleReconnect() {
    clearRetry();
    let left = backoff;
    backoff = Math.min(backoff * 2, MAX_BACKOFF);
    const tell = () => showConnection('connection lost, reconnecting in ' + left + ' s…');
    tell();
    retryTimer = setInterval(() => {
      left -= 1;
      if (left <= 0) connect();
      else tell();
    }, 1000);
  }

  function clearRetry() {
    if (retryTimer !== null) clearInterval(retryTimer);
    retryTimer = null;
  }

  function showConnection(s) {
    el.connection.textContent = s;
    el.connection.hidden = false;
  }
  function hideConnection() {
    el.connection.hidden = true;
    el.connection.textContent = '';
  }

  function sendNow(obj) {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(obj));
  }
  // Controls only go on a connection that the gateway has let in.
  function send(obj) {
    if (hadState) sendNow(obj);
  }

  // ---- key ----

  // The sign-in panel alone: nothing of the monitor shows until the key is taken.
  function askKey(wrong) {
    waitingForKey = true;
    clearView();
    el.keyError.hidden = !wrong;
    el.signIn.hidden = false;
    el.keyInput.value = '';
    el.keyInput.focus();
  }

  el.keyForm.addEventListener('submit', (ev) => {
    ev.preventDefault();
    const key = el.keyInput.value;
    if (!key) return;
    storeKey(key);
    waitingForKey = false;
    el.signIn.hidden = true;
    el.keyError.hidden = true;
    el.keyInput.value = '';
    if (ws && ws.readyState === WebSocket.CONNECTING) return; // its hello sends the key
    if (ws && ws.readyState === WebSocket.OPEN && keyRequired && !hadState && !refused) {
      sendNow({ key });
      return;
    }
    connect();
  });

  // ---- messages from the gateway ----

  function onMessage(data) {
    let m;
    try { m = JSON.parse(data); } catch (e) { return; }
    if (!m || typeof m !== 'object') return;
    if (m.type === 'hello') return onHello(m);
    if (m.type === 'refused') return onRefused();
    if (m.type === 'state') return onState(m);
    if (!hadState) return; // nothing is shown before the gateway lets this browser in
    switch (m.type) {
      case 'row': addRow(m.row); break;
      case 'clear': clearRows(); break;
      case 'clients': setClients(m.clients); break;
      case 'status': setStatusField(m.field, m.text); break;
      case 'rates': setRates(m.rx, m.tx); break;
      case 'sample': addSample(m.rx, m.tx); break;
      case 'title': setTitle(m.text); break;
      case 'control': setControl(m.name, m.checked); break;
      case 'message': showMessage(m); break;
      default: break; // a newer gateway may say more
    }
  }

  function onHello(m) {
    keyRequired = m.key_required === true;
    el.readOnly.hidden = keyRequired;
    if (!keyRequired) return; // the state follows
    const key = storedKey();
    if (key) {
      el.signIn.hidden = true;
      sendNow({ key });
    } else {
      hideConnection();
      askKey(false);
    }
  }

  function onRefused() {
    refused = true;
    forgetKey();
    hideConnection();
    askKey(true);
  }

  function onState(m) {
    hadState = true;
    backoff = 1;
    waitingForKey = false;
    el.signIn.hidden = true;
    hideConnection();
    document.body.classList.remove('stale');
    document.body.classList.add('watching');
    setTitle(m.title);
    setAuthorised(m.authorised === true);
    model.rows = (Array.isArray(m.rows) ? m.rows : []).filter(isObject).slice(0, MAX_ROWS);
    pausedCount = 0;
    renderAllRows();
    updatePausedNote();
    setClients(m.clients);
    const status = Array.isArray(m.status) ? m.status : [];
    for (let i = 0; i < 7; i++) setStatusField(i, status[i]);
    const rates = isObject(m.rates) ? m.rates : {};
    setRates(rates.rx, rates.tx);
    model.history = (Array.isArray(m.history) ? m.history : [])
      .filter(Array.isArray)
      .slice(-SAMPLES);
    drawGraphs();
    const controls = isObject(m.controls) ? m.controls : {};
    setControl('delay', controls.delay);
    setControl('debug', controls.debug);
  }

  function isObject(v) {
    return v !== null && typeof v === 'object' && !Array.isArray(v);
  }

  function clearView() {
    document.body.classList.remove('watching');
    setAuthorised(false);
    model.rows = [];
    model.history = [];
    pausedCount = 0;
    renderAllRows();
    updatePausedNote();
    setClients([]);
    for (let i = 0; i < 7; i++) setStatusField(i, '');
    setRates('', '');
    drawGraphs();
  }

  function setTitle(t) {
    const s = text(t);
    el.title.textContent = s || 'Quillon';
    document.title = s || 'Quillon';
  }

  function setAuthorised(yes) {
    document.body.classList.toggle('authorised', yes);
  }

  // ---- traffic list ----

  const ROW_ICONS = {
    bus: { cls: 'bus', arrow: '←', label: 'bus frame' },
    bus_bad: { cls: 'bad', arrow: '←', label: 'bad bus frame' },
    client: { cls: 'client', arrow: '→', label: 'client frame' },
    client_bad: { cls: 'bad', arrow: '→', label: 'bad client frame' },
  };

  function cell(tr, cls, s) {
    const td = document.createElement('td');
    td.className = cls;
    td.textContent = text(s);
    tr.appendChild(td);
    return td;
  }

  function makeRow(r) {
    const tr = document.createElement('tr');
    tr.className = 'row';
    const icon = ROW_ICONS[r.icon];
    const td = cell(tr, 'icon', '');
    if (icon) {
      const disc = document.createElement('span');
      disc.className = 'disc ' + icon.cls;
      disc.textContent = icon.arrow;
      disc.title = icon.label;
      td.appendChild(disc);
    }
    cell(tr, 'time', r.time);
    cell(tr, 'hex', r.hex);
    cell(tr, 'ln', r.ln);
    cell(tr, 'cs', r.cs);
    cell(tr, 'source', r.source);
    if (isColour(r.colour)) {
      if (r.background === true) {
        tr.classList.add('background');
        tr.style.backgroundColor = r.colour;
      } else {
        tr.style.color = r.colour;
      }
    }
    const info = { hex: text(r.hex).toUpperCase(), notice: !icon };
    rowInfo.set(tr, info);
    tr.hidden = !passes(info);
    return tr;
  }

  // As the window: "Filter" shows the rows whose code begins with the text;
  // "!" as well hides those that contain it anywhere instead.
  function passes(info) {
    if (info.notice || !filterOn) return true;
    const needle = el.filterText.value.toUpperCase();
    const at = needle && info.hex ? info.hex.indexOf(needle) : -1;
    return inverted ? at < 0 : at === 0;
  }

  function refilter() {
    for (const tr of el.traffic.rows) {
      const info = rowInfo.get(tr);
      if (info) tr.hidden = !passes(info);
    }
  }

  function renderAllRows() {
    const frag = document.createDocumentFragment();
    for (const r of model.rows) frag.appendChild(makeRow(r));
    el.traffic.replaceChildren(frag);
    unflushed = 0;
  }

  function addRow(r) {
    if (!isObject(r)) return;
    model.rows.unshift(r);
    if (model.rows.length > MAX_ROWS) model.rows.length = MAX_ROWS;
    if (paused) {
      pausedCount += 1;
      updatePausedNote();
      return;
    }
    unflushed = Math.min(unflushed + 1, MAX_ROWS);
    if (!flushQueued) {
      flushQueued = true;
      requestAnimationFrame(flush);
    }
  }

  // Rows reach the table once a frame: a burst costs one layout, a hidden tab none.
  function flush() {
    flushQueued = false;
    if (paused || unflushed === 0) return;
    if (unflushed >= MAX_ROWS) {
      renderAllRows();
      return;
    }
    const frag = document.createDocumentFragment();
    for (let i = 0; i < unflushed; i++) frag.appendChild(makeRow(model.rows[i]));
    el.traffic.insertBefore(frag, el.traffic.firstChild);
    unflushed = 0;
    while (el.traffic.rows.length > MAX_ROWS) el.traffic.lastElementChild.remove();
  }

  function clearRows() {
    model.rows = [];
    pausedCount = 0;
    renderAllRows();
    updatePausedNote();
  }

  function updatePausedNote() {
    el.pausedNote.hidden = !paused;
    el.pausedNote.textContent = 'paused: ' + pausedCount + (pausedCount === 1 ? ' new row' : ' new rows');
  }

  function setToggle(button, on) {
    button.setAttribute('aria-pressed', on ? 'true' : 'false');
  }

  el.filterToggle.addEventListener('click', () => {
    filterOn = !filterOn;
    setToggle(el.filterToggle, filterOn);
    refilter();
  });
  el.invertToggle.addEventListener('click', () => {
    inverted = !inverted;
    setToggle(el.invertToggle, inverted);
    refilter();
  });
  el.filterText.addEventListener('input', () => { if (filterOn) refilter(); });

  el.pause.addEventListener('click', () => {
    if (!paused) {
      flush(); // what arrived before the click belongs to the frozen table
      paused = true;
      pausedCount = 0;
      el.pause.textContent = 'Resume';
    } else {
      paused = false;
      pausedCount = 0;
      renderAllRows();
      el.pause.textContent = 'Pause';
    }
    setToggle(el.pause, paused);
    updatePausedNote();
  });

  // ---- client list ----

  function setClients(list) {
    model.clients = (Array.isArray(list) ? list : []).filter(isObject);
    const frag = document.createDocumentFragment();
    for (const c of model.clients) {
      const tr = document.createElement('tr');
      tr.className = 'client';
      tr.dataset.client = text(c.id);
      const live = c.icon === 'live';
      const td = cell(tr, 'icon', '');
      if (c.icon === 'live' || c.icon === 'ended') {
        const link = document.createElement('span');
        link.className = 'link ' + c.icon;
        link.title = live ? 'connected' : 'ended';
        const inArrow = document.createElement('span');
        inArrow.className = 'in';
        inArrow.textContent = '←';
        const outArrow = document.createElement('span');
        outArrow.className = 'out';
        outArrow.textContent = '→';
        link.append(inArrow, outArrow);
        td.appendChild(link);
      }
      cell(tr, 'address', c.address);
      cell(tr, 'start', c.start);
      cell(tr, 'end', c.end);
      cell(tr, 'errors', c.errors);
      const action = cell(tr, 'action control', '');
      if (live) {
        const b = document.createElement('button');
        b.type = 'button';
        b.className = 'disconnect';
        b.textContent = 'Disconnect';
        const id = c.id;
        b.addEventListener('click', () => {
          b.disabled = true; // the next client list tells how it went
          send({ control: 'disconnect', client: id });
        });
        action.appendChild(b);
      }
      frag.appendChild(tr);
    }
    el.clients.replaceChildren(frag);
  }

  // ---- status bar, rates, graphs, check boxes ----

  // Each field: its name (full and short, CSS shows one) and the value.
  // An empty one is hidden, as "N:" is until a client has sent a frame.
  function makeStatusFields() {
    for (const f of STATUS_FIELDS) {
      const span = document.createElement('span');
      span.className = 'field';
      span.title = f.long;
      const name = document.createElement('span');
      name.className = 'name';
      for (const form of ['long', 'short']) {
        const part = document.createElement('span');
        part.className = form;
        part.textContent = f[form] + ':';
        name.appendChild(part);
      }
      const value = document.createElement('span');
      value.className = 'value';
      span.append(name, document.createTextNode(' '), value);
      span.hidden = true;
      el.status.appendChild(span);
    }
  }

  function setStatusField(field, s) {
    const span = el.status.children[field];
    if (!Number.isInteger(field) || !span) return;
    const f = STATUS_FIELDS[field];
    let v = text(s);
    if (f && f.prefix) v = v.replace(f.prefix, '');
    span.querySelector('.value').textContent = v;
    span.hidden = v === '';
  }

  function setRates(rx, tx) {
    el.rxRate.textContent = text(rx);
    el.txRate.textContent = text(tx);
  }

  function addSample(rx, tx) {
    model.history.push([rx, tx]);
    while (model.history.length > SAMPLES) model.history.shift();
    drawGraphs();
  }

  function drawGraphs() {
    drawGraph(el.rxGraph, 0, '#DDFFDD', '#007700');
    drawGraph(el.txGraph, 1, '#DDDDFF', '#000077');
  }

  // As the window draws it: one column per sample from the oldest, a line
  // from the bottom row up `height` pixels; the newest of 111 waits outside.
  function drawGraph(canvas, side, background, bar) {
    const ctx = canvas.getContext('2d');
    if (!ctx) return;
    ctx.fillStyle = background;
    ctx.fillRect(0, 0, GRAPH_W, GRAPH_H);
    ctx.fillStyle = bar;
    const n = Math.min(model.history.length, GRAPH_W);
    for (let x = 0; x < n; x++) {
      const h = Math.trunc(Number(model.history[x][side])) || 0;
      const top = Math.min(Math.max(GRAPH_H - 1 - h, 0), GRAPH_H - 1);
      ctx.fillRect(x, top, 1, GRAPH_H - top);
    }
  }

  function setControl(name, checked) {
    const box = name === 'delay' ? el.delay : name === 'debug' ? el.debug : null;
    if (box) box.checked = checked === true;
  }

  el.delay.addEventListener('change', () => send({ control: 'delay', checked: el.delay.checked }));
  el.debug.addEventListener('change', () => send({ control: 'debug', checked: el.debug.checked }));
  el.clear.addEventListener('click', () => send({ control: 'clear' }));
  el.disconnectAll.addEventListener('click', () => send({ control: 'disconnect_all' }));
  el.setClock.addEventListener('click', () => send({ control: 'clock' }));

  // ---- message boxes ----

  function showMessage(m) {
    const box = document.createElement('div');
    box.className = 'message' + (m.icon === 'error' ? ' error' : '');
    const body = document.createElement('div');
    body.className = 'body';
    const title = text(m.title);
    if (title) {
      const heading = document.createElement('span');
      heading.className = 'heading';
      heading.textContent = title;
      body.appendChild(heading);
    }
    body.appendChild(document.createTextNode(text(m.text)));
    const close = document.createElement('button');
    close.type = 'button';
    close.className = 'dismiss';
    close.textContent = '×';
    close.title = 'dismiss';
    close.setAttribute('aria-label', 'dismiss');
    close.addEventListener('click', () => {
      box.remove();
      el.message.hidden = el.message.childElementCount === 0;
    });
    box.append(body, close);
    el.message.appendChild(box);
    while (el.message.childElementCount > MAX_MESSAGES) el.message.firstElementChild.remove();
    el.message.hidden = false;
  }

  // ---- save ----

  // The name the gateway gave the file, without any folder in it.
  function fileName(disposition) {
    let name = '';
    if (disposition) {
      let m = /filename\*\s*=\s*utf-8''([^;]+)/i.exec(disposition);
      if (m) {
        try { name = decodeURIComponent(m[1].trim()); } catch (e) { name = ''; }
      }
      if (!name) {
        m = /filename\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^;]+))/i.exec(disposition);
        if (m) name = m[1] !== undefined ? m[1].replace(/\\(.)/g, '$1') : m[2].trim();
      }
    }
    name = name.replace(/^.*[\\/]/, '').trim();
    return name || 'Quillon.log';
  }

  el.save.addEventListener('click', async () => {
    send({ control: 'save' });
    const key = storedKey();
    try {
      const response = await fetch('/save', {
        headers: key ? { Authorization: 'Bearer ' + key } : {},
        cache: 'no-store',
      });
      if (!response.ok) throw new Error('HTTP ' + response.status);
      const name = fileName(response.headers.get('Content-Disposition'));
      const url = URL.createObjectURL(await response.blob());
      const a = document.createElement('a');
      a.href = url;
      a.download = name;
      document.body.appendChild(a);
      a.click();
      a.remove();
      setTimeout(() => URL.revokeObjectURL(url), 60000);
    } catch (e) {
      showMessage({ title: 'Save', text: 'The saved list could not be downloaded (' + e.message + ').', icon: 'error' });
    }
  });

  makeStatusFields();
  drawGraphs();
  connect();
})();
