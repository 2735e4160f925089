// devgate's console: the site's lines and devices, every channel live from
// the change feed, writes and commands, a trend and the lines' statistics.
//
// Thousands of channels change several times a second, so the feed only
// updates a model; once a frame the rows on screen (a page of each device's
// table) get the cells whose text changed. Nothing else is redrawn.
'use strict';

(function () {
  const PAGE_ROWS = 100;   // rows of a device's table on screen at once
  const STATS_MS = 3000;   // statistics refresh
  const LATE_CYCLES = 3;   // a device whose last scan is older than this many of its cycles is flagged
  const LATE_MIN_MS = 1000;  // ... and older than this
  const CHART_MS = 500;    // trend redraw at most this often
  const FEED_MS = 100;     // the event stream's readings reach the page in batches this often
  const SLICE_MS = 6;      // time a frame gives to taking batches
  const MAX_POINTS = 20000;  // per trended channel
  const TOKEN_KEY = 'devgate-token';
  const USER_KEY = 'devgate-user';
  const COLORS = ['#1f77b4', '#d62728', '#2ca02c', '#ff7f0e', '#9467bd', '#8c564b', '#e377c2', '#17becf'];

  const lines = new Map();     // name -> {up, state, message}
  const devices = new Map();   // name -> device view
  const channels = new Map();  // key -> channel
  const channelList = [];      // every channel, as the feed's worker numbers them
  const batches = [];          // from the feed's worker, being taken
  const dirty = new Set();     // channels on screen whose cells are stale
  const trend = new Set();     // channels in the trend; each has its Chart dataset as .trend
  let frameQueued = false;
  let chart = null;
  let chartDirty = false;
  let chartDrawn = 0;
  // The trend's range: live, the window up to now (live updates append), or
  // from..to (ms) as chosen, zoomed or panned. diskHistory: the site keeps a
  // history on disk (/api/stats), else the memory keeps 10 minutes.
  const view = { live: true, from: 0, to: 0 };
  let diskHistory = false;
  let trendLoads = 0;  // answers of an older range are dropped
  let trendDrag = null;  // a pan under way: {x, r}; the chart follows the pointer, not the clock
  let filterText = '';
  let received = 0;  // value events, for the bench

  const $ = (id) => document.getElementById(id);
  const key = (device, channel) => device + '\u0000' + channel;

  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    if (props) {
      for (const [k, v] of Object.entries(props)) {
        if (k === 'class') e.className = v;
        else if (k === 'text') e.textContent = v;
        else if (k.startsWith('data-')) e.setAttribute(k, v);
        else e[k] = v;
      }
    }
    for (const c of children) e.append(c);
    return e;
  }

  // ---- messages, token, requests

  function showMessage(text, isError) {
    const m = $('message');
    m.textContent = text;
    m.className = 'message' + (isError ? ' error' : '');
    clearTimeout(showMessage.timer);
    showMessage.timer = setTimeout(() => m.classList.add('hidden'), 8000);
  }

  function token() { return sessionStorage.getItem(TOKEN_KEY) || ''; }

  // devgate prints the page's address with #token=...; the token moves into
  // the session's storage and out of the address bar.
  function takeToken() {
    const m = /(?:^#|&)token=([^&]*)/.exec(location.hash);
    if (m) {
      sessionStorage.setItem(TOKEN_KEY, decodeURIComponent(m[1]));
      history.replaceState(null, '', location.pathname + location.search);
    }
    $('token-form').classList.toggle('hidden', token() !== '');
  }

  async function answer(res) {
    let body = null;
    try { body = await res.json(); } catch (e) { body = null; }
    if (!res.ok) {
      // With users, devgate asks for a login; else for the token.
      if (res.status === 401) $(res.headers.get('X-Devgate-Login') ? 'login-form' : 'token-form').classList.remove('hidden');
      const why = body && body.error ? body.error : res.statusText;
      throw new Error(res.status + ': ' + why);
    }
    return body;
  }

  // Reads are open on a loopback address; elsewhere they need the token too.
  function authorization() {
    return token() ? { 'Authorization': 'Bearer ' + token() } : {};
  }

  async function getJson(path) {
    return answer(await fetch(path, { cache: 'no-store', headers: authorization() }));
  }

  // The body is text: a double channel's 5 must reach the gateway as 5.0.
  // X-Devgate marks the page's own requests: a page of another site cannot
  // send it, so a login's cookie does not write for such a page.
  async function postJson(path, bodyText) {
    return answer(await fetch(path, {
      method: 'POST',
      headers: Object.assign({ 'Content-Type': 'application/json', 'X-Devgate': '1' }, authorization()),
      body: bodyText,
    }));
  }

  function jsonOf(value, type) {
    if (type === 'double' && Number.isInteger(value)) return value.toFixed(1);
    return JSON.stringify(value);
  }

  // Text typed by the user as a value of the type; throws when it is none.
  function parseValue(text, type) {
    if (type === 'string') return text;
    const t = text.trim();
    const v = /^[-+]?0x[0-9a-f]+$/i.test(t) ? (t.startsWith('-') ? -1 : 1) * parseInt(t.replace(/^[-+]/, ''), 16)
                                              : Number(t);
    if (t === '' || !Number.isFinite(v)) throw new Error('not a number: ' + text);
    if (type === 'int' && !Number.isInteger(v)) throw new Error('not a whole number: ' + text);
    return v;
  }

  // "Level:int, Done:double, Name=abc, Count=5" -> JSON text of the variables.
  // A type without a value declares the variable (0, 0.0 or ""); a value
  // without a type is a double when it has a point, an int when whole, else text.
  function variablesJson(text) {
    const parts = [];
    for (const item of text.split(/[,;]/)) {
      const s = item.trim();
      if (s === '') continue;
      const m = /^([^:=\s]+)\s*(?::\s*(int|double|string))?\s*(?:=(.*))?$/.exec(s);
      if (!m) throw new Error('variable as NAME[:int|double|string][=VALUE]: ' + s);
      const raw = m[3] === undefined ? undefined : m[3].trim();
      let type = m[2];
      if (!type) {
        if (raw === undefined) throw new Error('give a type or a value: ' + s);
        type = /^[-+]?\d+$/.test(raw) ? 'int' : (Number.isFinite(Number(raw)) && raw !== '' ? 'double' : 'string');
      }
      const value = raw === undefined ? (type === 'string' ? '' : 0) : parseValue(raw, type);
      parts.push(JSON.stringify(m[1]) + ':' + jsonOf(value, type));
    }
    return '{' + parts.join(',') + '}';
  }

  // ---- formatting

  function formatValue(v) {
    if (v === null || v === undefined) return '';
    return String(v);
  }

  function formatAge(ms, now) {
    if (ms === null) return '';
    const s = Math.max(0, (now - ms) / 1000);
    if (s < 10) return s.toFixed(1) + ' s';
    if (s < 120) return Math.round(s) + ' s';
    if (s < 7200) return Math.round(s / 60) + ' min';
    return Math.round(s / 3600) + ' h';
  }

  function formatStatus(ch) {
    return ch.status === 'failed' && ch.code !== undefined && ch.code !== null ? 'failed ' + ch.code : ch.status;
  }

  // A tick of the trend's time axis: the time of day, with the date over
  // a range longer than a day.
  function clock(seconds) {
    const d = new Date(seconds * 1000);
    const x = chart && chart.options.scales.x;
    const long = x && x.max - x.min > 86400;
    return (long ? localTime(seconds * 1000).slice(5, 10) + ' ' : '') + d.toTimeString().slice(0, long ? 5 : 8);
  }

  // ---- lines

  function renderLines(site) {
    const box = $('lines');
    box.replaceChildren();
    for (const l of site.lines) {
      const state = el('span', { class: 'state' });
      const message = el('span', { class: 'line-message' });
      const names = el('span', { class: 'line-devices' });
      for (const d of l.devices) names.append(el('a', { href: '#device-' + encodeURIComponent(d), text: d }), ' ');
      box.append(el('div', { class: 'line', 'data-line': l.name },
                    el('span', { class: 'line-name', text: l.name }), state, names, message));
      const view = { state, message, up: l.up, row: box.lastChild };
      lines.set(l.name, view);
      if (l.up) paintLine(view);
      else onLineEvent({ line: l.name, event: 'down', time: l.time, code: l.code, message: l.message });
    }
  }

  function paintLine(view) {
    view.state.textContent = view.up ? 'up' : 'down';
    view.row.classList.toggle('up', view.up);
    view.row.classList.toggle('down', !view.up);
  }

  function onLineEvent(e) {
    const view = lines.get(e.line);
    if (!view) return;
    view.up = e.event === 'up';
    view.message.textContent = e.event === 'down'
      ? (e.time ? e.time.slice(11, 19) + ' ' : '') + 'code ' + e.code + ': ' + (e.message || '')
      : '';
    paintLine(view);
  }

  // ---- devices and their tables

  function buildDevice(d) {
    const dev = { name: d.name, channels: [], shown: [], page: 0, rendered: [], intervalMs: d.intervalMs || 0,
                  scanAgeMs: null, cycleMs: 0 };
    for (const c of d.channels) {
      const ch = {
        device: d.name, name: c.name, element: c.element, type: c.type, rw: c.rw,
        value: null, time: null, status: c.rw === 'w' ? 'w-only' : 'never', code: null,
        row: null, editing: false, trend: null, search: (d.name + ' ' + c.name + ' ' + c.element).toLowerCase(),
      };
      channels.set(key(d.name, c.name), ch);
      channelList.push(ch);
      dev.channels.push(ch);
    }
    dev.tbody = el('tbody');
    dev.tbody.addEventListener('click', (e) => onTableClick(dev, e));
    dev.tbody.addEventListener('change', (e) => onTrendBox(e));
    dev.pager = el('span', { class: 'pager-text' });
    const prev = el('button', { type: 'button', class: 'prev', text: '‹' });
    const next = el('button', { type: 'button', class: 'next', text: '›' });
    prev.addEventListener('click', () => { dev.page--; renderRows(dev); });
    next.addEventListener('click', () => { dev.page++; renderRows(dev); });
    dev.prev = prev;
    dev.next = next;
    dev.result = el('output', { class: 'result' });

    const cmdText = el('input', { class: 'command-text', type: 'text', placeholder: 'command, e.g. READ(D,100,WUB=Level)' });
    const cmdVars = el('input', { class: 'command-vars', type: 'text', placeholder: 'variables: Level:int, Done:double, N=5' });
    const cmdOut = el('output', { class: 'command-result' });
    const form = el('form', { class: 'command' }, cmdText, cmdVars, el('button', { type: 'submit', text: 'Run' }), cmdOut);
    form.addEventListener('submit', (e) => {
      e.preventDefault();
      runCommand(dev, cmdText.value, cmdVars.value, cmdOut);
    });

    const table = el('table', { class: 'channels' },
      el('colgroup', null, el('col', { class: 'c-trend' }), el('col', { class: 'c-name' }), el('col', { class: 'c-element' }),
         el('col', { class: 'c-type' }), el('col', { class: 'c-value' }), el('col', { class: 'c-status' }),
         el('col', { class: 'c-age' })),
      el('thead', null, el('tr', null, el('th', { text: '' }), el('th', { text: 'channel' }), el('th', { text: 'element' }),
                          el('th', { text: 'type' }), el('th', { text: 'value' }), el('th', { text: 'status' }),
                          el('th', { text: 'changed', title: 'time since the value last changed' }))),
      dev.tbody);
    dev.badge = el('span', { class: 'device-state' });
    dev.scan = el('span', { class: 'device-scan', title: 'when the device last completed a scan of its channels' });
    dev.section = el('section', { class: 'device', id: 'device-' + encodeURIComponent(d.name), 'data-device': d.name },
      el('h3', null, el('span', { class: 'device-name', text: d.name }), dev.badge,
         el('span', { class: 'device-where', text: 'line ' + d.line + ', station ' + d.station + ', ' +
                                                    d.channels.length + ' channels' }), dev.scan),
      form,
      el('div', { class: 'pager' }, prev, dev.pager, next, dev.result),
      table);
    devices.set(d.name, dev);
    onDeviceEvent({ device: d.name, state: d.state || 'online', since: d.since, code: d.code, reason: d.reason });
    applyFilter(dev);
    return dev.section;
  }

  // A device's state, from the site, an event or the statistics.
  function onDeviceEvent(e) {
    const dev = devices.get(e.device);
    if (!dev) return;
    const offline = e.state === 'offline';
    dev.badge.textContent = offline ? 'offline' : 'online';
    dev.badge.title = (e.since ? 'since ' + e.since.slice(11, 19) : '') + (e.reason ? ': ' + e.reason : '') +
                      (offline ? ' (code ' + e.code + ')' : '');
    dev.section.classList.toggle('offline', offline);
  }

  // How long ago the device last completed a scan, as the statistics said
  // (a scan since then is unknown to the page, so the age is not counted
  // on); flagged when that is longer than a few of its cycles.
  function paintScan(dev) {
    if (dev.scanAgeMs === null) { dev.scan.textContent = 'no full scan yet'; return; }
    const late = dev.scanAgeMs > Math.max(LATE_MIN_MS, LATE_CYCLES * Math.max(dev.intervalMs, dev.cycleMs));
    dev.scan.textContent = 'scanned ' + formatAge(0, dev.scanAgeMs) + ' ago' + (late ? ' (late)' : '');
    dev.scan.classList.toggle('late', late);
  }

  function applyFilter(dev) {
    dev.shown = filterText === '' ? dev.channels : dev.channels.filter((ch) => ch.search.includes(filterText));
    dev.page = 0;
    dev.section.classList.toggle('hidden', filterText !== '' && dev.shown.length === 0 &&
                                           !dev.name.toLowerCase().includes(filterText));
    renderRows(dev);
  }

  // The page of rows on screen: rows are made for these channels only.
  function renderRows(dev) {
    const pages = Math.max(1, Math.ceil(dev.shown.length / PAGE_ROWS));
    dev.page = Math.min(Math.max(0, dev.page), pages - 1);
    for (const ch of dev.rendered) { ch.row = null; ch.editing = false; }
    const first = dev.page * PAGE_ROWS;
    dev.rendered = dev.shown.slice(first, first + PAGE_ROWS);
    const rows = document.createDocumentFragment();
    const now = Date.now();
    for (const ch of dev.rendered) rows.append(makeRow(ch, now));
    dev.tbody.replaceChildren(rows);
    dev.pager.textContent = dev.shown.length === 0 ? 'no channel matches'
      : 'rows ' + (first + 1) + '–' + (first + dev.rendered.length) + ' of ' + dev.shown.length;
    dev.prev.disabled = dev.page === 0;
    dev.next.disabled = dev.page >= pages - 1;
  }

  function makeRow(ch, now) {
    const writable = ch.rw !== 'r';
    const plottable = ch.type !== 'string' && ch.rw !== 'w';
    const box = el('input', { type: 'checkbox', class: 'trend', disabled: !plottable,
                              checked: Boolean(ch.trend), title: 'plot in the trend' });
    // The texts that change sit in boxes of a fixed height with layout
    // containment: a new value lays out its box, not the table.
    const value = el('div', { class: 'text' });
    const status = el('div', { class: 'text' });
    const age = el('div', { class: 'text' });
    const tr = el('tr', { 'data-device': ch.device, 'data-channel': ch.name },
                  el('td', { class: 'pick' }, box), el('td', { class: 'name', text: ch.name }),
                  el('td', { class: 'element', text: ch.element }),
                  el('td', { class: 'type', text: ch.type + (ch.rw === 'rw' ? '' : ' ' + ch.rw) }),
                  el('td', { class: 'value', title: writable ? 'click to write' : '' }, value),
                  el('td', { class: 'status' }, status), el('td', { class: 'age' }, age));
    if (writable) tr.classList.add('writable');
    ch.row = { tr, value, status, age, shownValue: null, shownStatus: null, shownAge: null };
    paintRow(ch, now);
    return tr;
  }

  function paintRow(ch, now) {
    const r = ch.row;
    if (!r) return;
    if (!ch.editing) {
      const v = formatValue(ch.value);
      if (v !== r.shownValue) { r.value.textContent = v; r.shownValue = v; }
    }
    const s = formatStatus(ch);
    if (s !== r.shownStatus) {
      r.status.textContent = s;
      r.shownStatus = s;
      r.tr.classList.toggle('failed', ch.status === 'failed');
    }
    const a = formatAge(ch.time, now);
    if (a !== r.shownAge) { r.age.textContent = a; r.shownAge = a; }
  }

  function queueFrame() {
    if (frameQueued) return;
    frameQueued = true;
    requestAnimationFrame(frame);
  }

  function frame() {
    frameQueued = false;
    takeBatches();
    if (batches.length) queueFrame();
    const now = Date.now();
    for (const ch of dirty) paintRow(ch, now);
    dirty.clear();
    if (chartDirty && chart && now - chartDrawn >= CHART_MS) drawChart(now);
    if (chartDirty) queueFrame();
  }

  // A reading from the feed or from /api/values; an older one than the
  // channel has is ignored (a snapshot that crossed the feed).
  function store(ch, value, time, status, code) {
    if (time !== null && ch.time !== null && time < ch.time) return;
    if (status !== 'failed' || value !== null) ch.value = value;
    ch.time = time;
    ch.status = status;
    ch.code = code;
    if (ch.row) dirty.add(ch);
    const ds = ch.trend;
    if (ds && view.live && typeof value === 'number' && time !== null && status === 'ok') {
      if (ds.data.length && ds.data[ds.data.length - 1].tail) ds.data.pop();
      ds.data.push({ x: time / 1000, y: value });
      if (ds.data.length > MAX_POINTS) ds.data.splice(0, ds.data.length - MAX_POINTS);
      chartDirty = true;
    }
  }

  // Batches from the feed are taken in slices of at most SLICE_MS a frame,
  // so that a large batch never holds up the page.
  function takeBatches() {
    const until = performance.now() + SLICE_MS;
    while (batches.length) {
      const b = batches[0];
      for (; b.next < b.idx.length; b.next++) {
        if ((b.next & 255) === 0 && b.next > 0 && performance.now() > until) return;
        const i = b.next;
        store(channelList[b.idx[i]], b.values[i], b.times[i] || null, b.status[i], b.codes[i]);
      }
      batches.shift();
    }
  }

  // The event stream, read in a worker: the feed brings thousands of events
  // a second, each a task of its own on the thread that reads it. The worker
  // keeps the latest reading of each channel and hands the page one batch
  // every FEED_MS, so the page's thread does one short task per batch.
  // A batch names channels by their index in the page's list and carries
  // parsed times, in typed arrays that move to the page without a copy.
  function feedWorker() {
    const latest = new Map();  // index -> reading
    let lines = [];
    let received = 0;
    self.onmessage = (m) => {
      const index = new Map(m.data.keys.map((k, i) => [k, i]));
      const events = new EventSource(m.data.url);
      events.onopen = () => self.postMessage({ type: 'open' });
      events.onerror = () => self.postMessage({ type: 'error' });
      events.addEventListener('value', (e) => {
        const data = JSON.parse(e.data);
        for (const v of Array.isArray(data) ? data : [data]) {
          const i = index.get(v.device + '\u0000' + v.channel);
          if (i !== undefined) latest.set(i, v);
          received++;
        }
      });
      events.addEventListener('line', (e) => lines.push(JSON.parse(e.data)));
      events.addEventListener('device', (e) => lines.push(JSON.parse(e.data)));
      const flush = () => {
        if (latest.size === 0 && lines.length === 0) return;
        const n = latest.size;
        const b = { type: 'batch', idx: new Int32Array(n), times: new Float64Array(n), values: new Array(n),
                    status: new Array(n), codes: new Array(n), lines, received, next: 0 };
        let j = 0;
        for (const [i, v] of latest) {
          b.idx[j] = i;
          b.times[j] = v.time ? Date.parse(v.time) : 0;
          b.values[j] = v.value;
          b.status[j] = v.status;
          b.codes[j] = v.code;
          j++;
        }
        self.postMessage(b, [b.idx.buffer, b.times.buffer]);
        latest.clear();
        lines = [];
      };
      // The stream lost changes: what came before goes first, then the page
      // reads every value and state again.
      events.addEventListener('resync', () => { flush(); self.postMessage({ type: 'resync' }); });
      setInterval(flush, m.data.every);
    };
  }

  async function loadValues() {
    const body = await getJson('api/values');
    for (const v of body.values) {
      const ch = channels.get(key(v.device, v.channel));
      if (ch) store(ch, v.value, v.time ? Date.parse(v.time) : null, v.status, v.code);
    }
    queueFrame();
  }

  // The lines' and devices' state, whose events the stream may have lost.
  async function loadStates() {
    const site = await getJson('api/site');
    for (const l of site.lines) {
      onLineEvent({ line: l.name, event: l.up ? 'up' : 'down', time: l.time, code: l.code, message: l.message });
    }
    for (const d of site.devices) {
      onDeviceEvent({ device: d.name, state: d.state, since: d.since, code: d.code, reason: d.reason });
    }
  }

  // Ages move on without any event.
  function tickAges() {
    const now = Date.now();
    for (const dev of devices.values()) for (const ch of dev.rendered) paintRow(ch, now);
  }

  // ---- writes and commands

  function onTableClick(dev, e) {
    const cell = e.target.closest('td.value');
    if (!cell) return;
    const tr = cell.parentElement;
    const ch = channels.get(key(tr.dataset.device, tr.dataset.channel));
    if (!ch || ch.rw === 'r' || ch.editing) return;
    ch.editing = true;
    const text = ch.row.value;
    const input = el('input', { class: 'editor', type: 'text', value: formatValue(ch.value) });
    cell.replaceChildren(input);
    input.focus();
    input.select();
    let done = false;
    const close = () => {
      if (done) return;
      done = true;
      ch.editing = false;
      cell.replaceChildren(text);
      if (ch.row) { ch.row.shownValue = null; paintRow(ch, Date.now()); }
    };
    input.addEventListener('keydown', (k) => {
      if (k.key === 'Escape') close();
      if (k.key !== 'Enter') return;
      k.preventDefault();
      const text = input.value;
      close();
      writeChannel(dev, ch, text);
    });
    input.addEventListener('blur', close);
  }

  async function writeChannel(dev, ch, text) {
    const out = dev.result;
    out.className = 'result';
    try {
      parseValue(text, ch.type);
      out.textContent = ch.name + ' ← ' + text + ' …';
      // The text as typed: a number in JavaScript could differ from it (beyond
      // 2^53), and the gateway reads it exactly and applies the channel's rule.
      const sent = ch.type === 'string' ? text : text.trim();
      const r = await postJson('api/write', '{"device":' + JSON.stringify(ch.device) + ',"channel":' +
                               JSON.stringify(ch.name) + ',"value":' + JSON.stringify(sent) + '}');
      out.textContent = ch.name + ' ← ' + text + ': code ' + r.code + (r.meaning ? ', ' + r.meaning : '');
      out.classList.add(r.code === 0 ? 'ok' : 'bad');
    } catch (err) {
      out.textContent = ch.name + ' ← ' + text + ': ' + err.message;
      out.classList.add('bad');
    }
    loadAudit();
  }

  async function runCommand(dev, text, vars, out) {
    out.className = 'command-result';
    try {
      const body = '{"device":' + JSON.stringify(dev.name) + ',"command":' + JSON.stringify(text) +
                   ',"variables":' + variablesJson(vars) + '}';
      out.textContent = '…';
      const r = await postJson('api/ioctl', body);
      let s = 'code ' + r.code + (r.meaning ? ', ' + r.meaning : '');
      const v = r.variables ? Object.entries(r.variables) : [];
      if (v.length) s += '; ' + v.map(([n, x]) => n + ' = ' + JSON.stringify(x)).join(', ');
      out.textContent = s;
      out.classList.add(r.code === 0 ? 'ok' : 'bad');
    } catch (err) {
      out.textContent = err.message;
      out.classList.add('bad');
    }
    loadAudit();
  }

  // ---- audit: shown when the user or token may read it (who may write)

  async function loadAudit() {
    let res;
    try {
      res = await fetch('api/audit?limit=50', { cache: 'no-store', headers: authorization() });
    } catch (err) {
      return;
    }
    $('audit-panel').classList.toggle('hidden', !res.ok);
    if (!res.ok) return;
    const body = await res.json();
    const cell = (text) => el('td', { text });
    const rows = body.records.map((r) => {
      const before = r.before && r.before.status ? (r.before.value === null ? '' : JSON.stringify(r.before.value) +
                                                    ' ') + r.before.status : '';
      const outcome = r.lost ? r.meaning : r.refused ? 'refused: ' + r.refused : 'code ' + r.code + ', ' + r.meaning;
      const row = el('tr', null, cell(r.time.replace('T', ' ').replace('Z', '')), cell(r.face), cell(r.who),
                     cell(r.device), cell(r.command || r.channel), cell(r.asked === null ? '' : JSON.stringify(r.asked)),
                     cell(before), cell(outcome));
      if (r.refused || r.code !== 0 || r.lost) row.className = 'bad';
      return row;
    });
    $('audit').tBodies[0].replaceChildren(...rows);
  }

  // ---- trend

  function makeChart() {
    if (!window.Chart) {
      $('trend-hint').textContent = 'The chart library did not load; no trend.';
      return;
    }
    chart = new window.Chart($('trend-chart'), {
      type: 'line',
      data: { datasets: [] },
      options: {
        animation: false,
        parsing: false,
        normalized: true,
        responsive: true,
        maintainAspectRatio: false,
        // Lines without point marks, thinned to what the width shows: a
        // redraw stays short with thousands of points.
        spanGaps: true,
        elements: { point: { radius: 0, hitRadius: 4 }, line: { borderWidth: 1.5 } },
        scales: {
          x: { type: 'linear', ticks: { callback: clock, maxRotation: 0 } },
          y: { type: 'linear' },
        },
        plugins: { legend: { position: 'bottom' }, decimation: { enabled: true, algorithm: 'min-max' } },
      },
    });
  }

  function windowSeconds() { return Number($('trend-window').value); }

  // The range on the chart, in ms.
  function range(now) {
    return view.live ? { from: now - windowSeconds() * 1000, to: now } : { from: view.from, to: view.to };
  }

  function drawChart(now) {
    if (trendDrag) return;
    const r = range(now);
    if (view.live) {
      for (const ds of chart.data.datasets) {
        let drop = 0;
        while (drop < ds.data.length - 1 && ds.data[drop + 1].x < r.from / 1000) drop++;  // the one before stays
        if (drop) ds.data.splice(0, drop);
        // Only changes are recorded: the last value holds up to now.
        const last = ds.data[ds.data.length - 1];
        if (last && last.tail) last.x = r.to / 1000;
        else if (last && last.y !== null) ds.data.push({ x: r.to / 1000, y: last.y, tail: true });
      }
    }
    chart.options.scales.x.min = r.from / 1000;
    chart.options.scales.x.max = r.to / 1000;
    chart.update('none');
    chartDrawn = now;
    chartDirty = false;
  }

  function historyQuery(ch, r) {
    return 'device=' + encodeURIComponent(ch.device) + '&channel=' + encodeURIComponent(ch.name) +
           '&from=' + Math.floor(r.from) + '&to=' + Math.ceil(r.to);
  }

  // The points of an answer of /api/history: samples (null where one failed
  // or is no number), or a bucket's min and max.
  function pointsOf(h) {
    if (!h.reduced) return h.points.map((p) => ({ x: p[0] / 1000, y: typeof p[1] === 'number' ? p[1] : null }));
    const out = [];
    for (const [t, min, max] of h.buckets) {
      out.push({ x: t / 1000, y: min });
      out.push({ x: (t + h.bucketMs / 2) / 1000, y: max });
    }
    return out;
  }

  // The channel's points over the range from the server; live ones that came
  // meanwhile stay after them.
  async function loadTrend(ch, r, load) {
    const ds = ch.trend;
    try {
      let q = 'api/history?' + historyQuery(ch, r);
      if (!diskHistory) q = 'api/history?device=' + encodeURIComponent(ch.device) + '&channel=' +
                            encodeURIComponent(ch.name) + '&seconds=' + windowSeconds();
      else q += '&points=' + Math.max(100, Math.min(10000, Math.round($('trend-chart').clientWidth)));
      const past = pointsOf(await getJson(q));
      if (load !== trendLoads || ch.trend !== ds) return;
      const last = past.length ? past[past.length - 1].x : -Infinity;
      ds.data = view.live ? past.concat(ds.data.filter((p) => p.x > last && !p.tail)) : past;
    } catch (err) {
      showMessage('history of ' + ds.label + ': ' + err.message, true);
    }
    chartDirty = true;
    queueFrame();
  }

  // Every trended channel again, for a new range.
  function reloadTrend() {
    const load = ++trendLoads;
    const r = range(Date.now());
    showRange(r);
    for (const ch of trend) {
      if (!view.live) ch.trend.data = [];
      loadTrend(ch, r, load);
    }
    chartDirty = true;
    queueFrame();
  }

  async function addTrend(ch) {
    if (!chart || ch.trend) return;
    const color = COLORS[chart.data.datasets.length % COLORS.length];
    // Stepped: a value holds until the next change.
    const ds = { label: ch.device + '/' + ch.name, data: [], borderColor: color, backgroundColor: color, stepped: true };
    ch.trend = ds;
    trend.add(ch);
    chart.data.datasets.push(ds);
    await loadTrend(ch, range(Date.now()), trendLoads);
  }

  // ---- the trend's range: a window, from..to, zoom (wheel) and pan (drag)

  const localTime = (ms) => new Date(ms - new Date(ms).getTimezoneOffset() * 60000).toISOString().slice(0, 19);

  function showRange(r) {
    $('trend-from').value = localTime(r.from);
    $('trend-to').value = localTime(r.to);
  }

  function setRange(from, to) {
    const now = Date.now();
    const span = Math.min(Math.max(to - from, 1000), 31 * 86400000);
    view.live = false;
    view.to = Math.min(from + span, now);
    view.from = view.to - span;
    reloadTrend();
  }

  function goLive() {
    view.live = true;
    reloadTrend();
  }

  // Without a history on disk only the memory's 10 minutes can be shown.
  function historyMode(disk) {
    if (disk === diskHistory) return;
    diskHistory = disk;
    $('trend-range').classList.toggle('hidden', !disk);
    for (const o of $('trend-window').querySelectorAll('option.disk')) o.disabled = !disk;
    if (!disk) goLive();
  }

  function wireZoom() {
    const box = $('trend-chart');
    const area = () => chart.chartArea;
    box.addEventListener('wheel', (e) => {
      if (!chart || !diskHistory) return;
      e.preventDefault();
      const a = area();
      const r = range(Date.now());
      const at = Math.min(1, Math.max(0, (e.offsetX - a.left) / (a.right - a.left)));
      const factor = e.deltaY > 0 ? 1.5 : 1 / 1.5;
      const mid = r.from + at * (r.to - r.from);
      setRange(mid - (mid - r.from) * factor, mid + (r.to - mid) * factor);
    }, { passive: false });
    box.addEventListener('pointerdown', (e) => {
      if (!chart || !diskHistory) return;
      trendDrag = { x: e.clientX, r: range(Date.now()) };
      try { box.setPointerCapture(e.pointerId); } catch (err) { /* a pointer that is gone already */ }
    });
    const shiftOf = (e) => {
      const a = area();
      return (trendDrag.x - e.clientX) / (a.right - a.left) * (trendDrag.r.to - trendDrag.r.from);
    };
    box.addEventListener('pointermove', (e) => {
      if (!trendDrag) return;
      const shift = shiftOf(e);
      chart.options.scales.x.min = (trendDrag.r.from + shift) / 1000;
      chart.options.scales.x.max = (trendDrag.r.to + shift) / 1000;
      chart.update('none');
    });
    const end = (e) => {
      if (!trendDrag) return;
      const shift = shiftOf(e);
      const r = trendDrag.r;
      trendDrag = null;
      if (shift !== 0) setRange(r.from + shift, r.to + shift);
      else queueFrame();
    };
    box.addEventListener('pointerup', end);
    box.addEventListener('pointercancel', end);
  }

  // One CSV file of the trended channels over the range: each channel's
  // samples from /api/history.csv, with its device and channel in front.
  async function downloadCsv() {
    const r = range(Date.now());
    const parts = [];
    try {
      for (const ch of trend) {
        const res = await fetch('api/history.csv?' + historyQuery(ch, r), { cache: 'no-store', headers: authorization() });
        if (!res.ok) await answer(res);
        const rows = (await res.text()).split('\n');
        const head = rows.shift();
        if (!parts.length) parts.push('device,channel,' + head);
        const quote = (t) => (/[",\n]/.test(t) ? '"' + t.replace(/"/g, '""') + '"' : t);
        const prefix = quote(ch.device) + ',' + quote(ch.name) + ',';
        for (const row of rows) if (row) parts.push(prefix + row);
      }
    } catch (err) {
      showMessage('CSV: ' + err.message, true);
      return;
    }
    if (!parts.length) return showMessage('CSV: tick channels to plot first', true);
    const text = parts.join('\n') + '\n';
    window.devgateConsole.lastCsv = text;
    const a = el('a', { href: URL.createObjectURL(new Blob([text], { type: 'text/csv' })),
                        download: 'devgate-trend-' + localTime(r.from).replace(/:/g, '') + '.csv' });
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(a.href), 10000);
  }

  function removeTrend(ch) {
    const ds = ch.trend;
    if (!ds) return;
    ch.trend = null;
    trend.delete(ch);
    chart.data.datasets.splice(chart.data.datasets.indexOf(ds), 1);
    chartDirty = true;
    queueFrame();
  }

  function onTrendBox(e) {
    if (!e.target.classList.contains('trend')) return;
    const tr = e.target.closest('tr');
    const ch = channels.get(key(tr.dataset.device, tr.dataset.channel));
    if (!ch) return;
    if (e.target.checked) addTrend(ch);
    else removeTrend(ch);
  }

  function clearTrend() {
    for (const ch of [...trend]) removeTrend(ch);
    for (const box of document.querySelectorAll('input.trend:checked')) box.checked = false;
  }

  // ---- statistics

  function failuresText(f) {
    const e = Object.entries(f || {});
    return e.length === 0 ? 'none' : e.map(([code, n]) => code + ': ' + n).join(', ');
  }

  const ms = (x) => (typeof x === 'number' ? x.toFixed(1) : '');

  // One table: a line's row, then its devices' rows.
  function renderStats(body) {
    const head = el('tr', null, ...['', 'state', 'downs', 'cycles / scans', 'last ms', 'median ms', 'requests', 'calls',
                                    'failures', 'latency ms p50 / p90 / p99'].map((t) => el('th', { text: t })));
    head.children[8].title = 'code: count';
    const rows = [head];
    for (const l of body.lines) {
      rows.push(el('tr', { class: 'line-stats', 'data-line': l.name },
        el('td', { class: 'name', text: l.name }), el('td', { class: 'up', text: l.up ? 'up' : 'down' }),
        el('td', { text: String(l.downs) }), el('td', { class: 'cycles', text: String(l.cycles) }),
        el('td', { text: ms(l.lastCycleMs) }), el('td', { text: ms(l.medianCycleMs) }),
        el('td', { class: 'requests', text: String(l.requests) }), el('td'),
        el('td', { class: 'failures', text: failuresText(l.failures) }), el('td')));
      for (const d of l.devices || []) {
        const dev = devices.get(d.name);
        if (dev) {
          dev.scanAgeMs = typeof d.lastScanAgeMs === 'number' ? d.lastScanAgeMs : null;
          dev.cycleMs = d.medianScanMs || 0;
          paintScan(dev);
          if (d.state) onDeviceEvent({ device: d.name, state: d.state, since: d.since, code: d.code, reason: d.reason });
        }
        const lat = d.latencyMs || {};
        rows.push(el('tr', { class: 'device-stats', 'data-device': d.name },
          el('td', { class: 'name', text: d.name }), el('td', { class: 'state', text: d.state || '' }),
          el('td', { text: d.offlines ? String(d.offlines) : '' }), el('td', { text: String(d.scans) }),
          el('td', { text: ms(d.lastScanMs) }), el('td', { text: ms(d.medianScanMs) }),
          el('td', { class: 'requests', text: String(d.requests) }), el('td', { text: String(d.calls) }),
          el('td', { class: 'failures', text: failuresText(d.failures) }),
          el('td', { text: [lat.p50, lat.p90, lat.p99].map((x) => (typeof x === 'number' ? x.toFixed(2) : '–')).join(' / ') })));
      }
    }
    const h = body.history;
    const history = !h ? [] : [el('p', { class: h.up ? 'history' : 'history bad' },
      'history on disk: ' + (h.up ? 'up' : 'down: ' + h.reason) + ', ' + h.recorded + ' changes recorded, ' +
      h.missing + ' not recorded, ' + h.gaps + ' gaps')];
    $('stats').replaceChildren(el('table', { class: 'stats' }, el('tbody', null, ...rows)), ...history);
  }

  async function loadStats() {
    try {
      const body = await getJson('api/stats');
      historyMode(body.history != null);
      renderStats(body);
    } catch (err) {
      showMessage('statistics: ' + err.message, true);
    }
  }

  // ---- start

  function connect() {
    const conn = $('conn');
    let lost = false;
    const worker = new Worker(URL.createObjectURL(new Blob(['(' + feedWorker + ')()'], { type: 'text/javascript' })));
    worker.onmessage = (m) => {
      const d = m.data;
      if (d.type === 'batch') {
        received = d.received;
        d.lines.forEach((e) => (e.line !== undefined ? onLineEvent(e) : onDeviceEvent(e)));
        batches.push(d);
        queueFrame();
      } else if (d.type === 'resync') {
        loadValues().catch((err) => showMessage('values: ' + err.message, true));
        loadStates().catch((err) => showMessage('site: ' + err.message, true));
        loadStats();
      } else if (d.type === 'open') {
        conn.textContent = 'live';
        conn.className = 'conn live';
        // After a break the feed missed changes: take the latest of everything.
        if (lost) loadValues().catch((err) => showMessage('values: ' + err.message, true));
        lost = false;
      } else {
        lost = true;
        conn.textContent = 'reconnecting';
        conn.className = 'conn lost';
      }
    };
    // A browser opens the stream without headers: with a token, the page
    // first takes the read cookie (HttpOnly) that the stream then carries.
    const url = new URL('api/events', location.href);
    const open = () =>
      worker.postMessage({ url: url.href, every: FEED_MS, keys: channelList.map((ch) => key(ch.device, ch.name)) });
    if (!token()) return open();
    fetch('api/session', { method: 'POST', headers: authorization() })
      .catch((err) => showMessage('session: ' + err.message, true))
      .finally(open);
  }

  async function start() {
    let site;
    try {
      site = await getJson('api/site');
    } catch (err) {
      showMessage('site: ' + err.message + ' (trying again)', true);
      setTimeout(start, 2000);
      return;
    }
    renderLines(site);
    const box = $('devices');
    box.replaceChildren(...site.devices.map(buildDevice));
    makeChart();
    if (chart) wireZoom();
    connect();
    try {
      await loadValues();
    } catch (err) {
      showMessage('values: ' + err.message, true);
    }
    loadStats();
    loadAudit();
    setInterval(loadStats, STATS_MS);
    setInterval(tickAges, 1000);
  }

  // ---- login (devgate run --users): a session cookie (HttpOnly) for the tab.

  function showUser() {
    const user = sessionStorage.getItem(USER_KEY) || '';
    $('who').textContent = user;
    $('who').classList.toggle('hidden', !user);
    $('logout').classList.toggle('hidden', !user);
  }

  async function logIn(e) {
    e.preventDefault();
    try {
      const body = await postJson('api/login', JSON.stringify({ user: $('login-user').value,
                                                                 password: $('login-password').value }));
      sessionStorage.setItem(USER_KEY, body.user + ' (' + body.role + ')');
      $('login-form').classList.add('hidden');
      $('message').classList.add('hidden');
      showUser();
      loadAudit();
    } catch (err) {
      showMessage('login: ' + err.message, true);
    }
    $('login-password').value = '';
  }

  async function logOut() {
    try { await postJson('api/logout', '{}'); } catch (err) { /* the session is gone either way */ }
    sessionStorage.removeItem(USER_KEY);
    location.reload();
  }

  function wire() {
    takeToken();
    showUser();
    $('login-form').addEventListener('submit', logIn);
    $('logout').addEventListener('click', logOut);
    $('token-form').addEventListener('submit', (e) => {
      e.preventDefault();
      sessionStorage.setItem(TOKEN_KEY, $('token-input').value.trim());
      $('token-input').value = '';
      takeToken();
      loadAudit();
    });
    $('token-change').addEventListener('click', () => $('token-form').classList.toggle('hidden'));
    let timer = 0;
    $('filter').addEventListener('input', () => {
      clearTimeout(timer);
      timer = setTimeout(() => {
        filterText = $('filter').value.trim().toLowerCase();
        for (const dev of devices.values()) applyFilter(dev);
      }, 150);
    });
    $('trend-window').addEventListener('change', goLive);
    $('trend-show').addEventListener('click', () => {
      const from = new Date($('trend-from').value).getTime(), to = new Date($('trend-to').value).getTime();
      if (!(from < to)) return showMessage('the trend\'s from must be before its to', true);
      setRange(from, to);
    });
    $('trend-reset').addEventListener('click', goLive);
    $('trend-csv').addEventListener('click', downloadCsv);
    $('trend-clear').addEventListener('click', clearTrend);
    $('audit-refresh').addEventListener('click', loadAudit);
    start();
  }

  // For tests and the bench: the model, the chart, the conversions of typed text.
  window.devgateConsole = { channels, devices, lines, chart: () => chart, received: () => received,
                            parseValue, jsonOf, variablesJson, view, setRange, goLive, downloadCsv, lastCsv: '' };
  wire();
})();
