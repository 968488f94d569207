// dashboard.js - the bench service's page: the boards from /api/v1, kept
// current by the live stream (/api/v1/events): a sortable overview with a
// row per board, and each board's card with charts of the module's monitors
// over the last minutes drawn on canvases by the small chart below.
'use strict';

const WINDOW_MS = 10 * 60 * 1000;   // what the charts show
const LANE_COLORS = ['#1f6fd1', '#d1621f', '#2f9e58', '#9b3fc4', '#c83a3a', '#1aa3a3', '#7a6a12', '#555'];
const CHARTS = {
  temperature: { title: 'Module temperature', unit: '°C', match: k => k === 'module_temperature_C' },
  supply: { title: 'Module supply', unit: 'V', match: k => k === 'module_supplyVoltage_V' },
  laserBias: { title: 'Laser bias', unit: 'mA', match: k => /^module_lane\d+_laserBias_mA$/.test(k) },
  txPower: { title: 'Tx power', unit: 'mW', match: k => /^module_lane\d+_txPower_mW$/.test(k) },
  rxPower: { title: 'Rx power', unit: 'mW', match: k => /^module_lane\d+_rxPower_mW$/.test(k) },
};

const boards = new Map();  // id -> {card, row, last, series: Map(key -> [[ms, value]])}
// Commands that change the EEPROM or the serial number: the page asks first.
const CONFIRM = new Set(['sn set', 'sn clear', 'eeprom write']);
const SYNOPSIS = {
  'port set': 'PORT VALUE', 'power': 'VALUE', 'vendor-io': 'VALUE', 'ftdi': 'on|off',
  'mdio write': 'PORT REG DATA', 'sn set': 'TEXT', 'sn clear': '', 'eeprom write': 'ADDR BYTE…',
};
let sortBy = 'serial', sortDown = false;
// Cards start folded on a large bench: the overview is the page.
const FOLD_ABOVE = 8;
let service = {};
// How each reading shows, from the service's column definition (the one
// status and watch use): key -> {label, unit, decimals}, and unit -> decimals.
let columns = { columns: {}, decimals: {} };
let columnsAsked = 0;
let token = sessionStorage.getItem('brevant-token') || '';

// ---- Requests -------------------------------------------------------------

function headers(extra) {
  const h = Object.assign({}, extra || {});
  if (token) h['Authorization'] = 'Bearer ' + token;
  return h;
}

async function api(path, options) {
  for (let attempt = 0; attempt < 3; attempt++) {
    const response = await fetch(path, Object.assign({}, options, { headers: headers(options && options.headers) }));
    if (response.status !== 401) return response;
    // The service wants its token: ask once, keep it for this tab.
    token = window.prompt('This bench service needs its token:') || '';
    sessionStorage.setItem('brevant-token', token);
  }
  throw new Error('no valid token');
}

async function getJson(path) {
  const response = await api(path);
  const body = await response.json();
  if (!response.ok) throw new Error(body.error ? body.error.message : response.statusText);
  return body;
}

// ---- Text -------------------------------------------------------------------

function el(tag, attrs, text) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

// Asks the service for the labels and decimals of readings it has not
// described yet (a board or module that came later), at most every 5 s.
async function learnColumns(force) {
  if (!force && Date.now() - columnsAsked < 5000) return;
  columnsAsked = Date.now();
  try {
    columns = await getJson('/api/v1/columns');
  } catch (e) {
    console.warn(e);
  }
}

function columnOf(key) {
  const known = columns.columns[key];
  if (known) return known;
  learnColumns(false);
  const unit = /_(V|C|mA|mW|dBm)$/.exec(key);
  return { label: key.replace(/^module_/, ''), unit: unit ? unit[1] : undefined };
}

function labelOf(key) {
  return columnOf(key).label || key;
}

// A value as status prints it: rounded to its unit's decimals, with the unit.
function shown(reading, key, withUnit = true) {
  if (!reading) return '';
  if (reading.status === 'unavailable') return 'n/a';
  if (reading.status === 'failed') return 'failed' + (reading.reason ? ': ' + reading.reason : '');
  const v = reading.value;
  if (v === null || v === undefined) return '—';
  if (typeof v === 'boolean') return v ? 'on' : 'off';
  if (typeof v === 'string') return v;
  // Ports and the current monitor in hex, as status prints them.
  if (/^port\d+$/.test(key) && Number.isInteger(v)) return '0x' + v.toString(16).toUpperCase().padStart(2, '0');
  if (key === 'current_monitor' && Number.isInteger(v))
    return '0x' + v.toString(16).toUpperCase().padStart(4, '0') + ' (' + v + ')';
  const column = columnOf(key);
  const unit = reading.unit || column.unit;
  const decimals = column.decimals !== undefined ? column.decimals : columns.decimals[unit];
  let text;
  if (decimals !== undefined) {
    text = v.toFixed(decimals);
    if (/^-0\.?0*$/.test(text)) text = text.substring(1);  // no "-0.00"
    if (unit === 'dBm' && !text.startsWith('-')) text = '+' + text;  // as the text prints a power
  } else if (Number.isInteger(v)) text = String(v);
  else text = String(Number(v.toPrecision(6)));
  return text + (withUnit && unit ? ' ' + (unit === 'C' ? '°C' : unit) : '');
}

function codeText(v) {
  if (v && typeof v === 'object') return v.name ? v.name : 'code ' + v.code;
  return v === null || v === undefined ? '—' : String(v);
}

// ---- Charts: a line per lane over the last minutes --------------------------

function drawChart(canvas, chart, lines) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  if (canvas.width !== Math.round(width * ratio)) canvas.width = Math.round(width * ratio);
  if (canvas.height !== Math.round(height * ratio)) canvas.height = Math.round(height * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  // The last ten minutes, or since the first reading when there are fewer
  // (at least a minute), so a young chart uses its whole width.
  const now = Date.now();
  let from = now - WINDOW_MS, first = now;
  for (const line of lines) if (line.points.length) first = Math.min(first, line.points[0][0]);
  from = Math.max(from, Math.min(first, now - 60000));
  const span = now - from;
  let lo = Infinity, hi = -Infinity, points = 0;
  for (const line of lines) for (const [t, v] of line.points) {
    if (t < from || v === null) continue;
    lo = Math.min(lo, v); hi = Math.max(hi, v); points++;
  }
  g.font = '11px system-ui, sans-serif';
  g.fillStyle = '#334';
  g.fillText(chart.title + ' (' + chart.unit + ')', 6, 13);
  canvas.dataset.points = String(points);
  if (points === 0) {
    g.fillStyle = '#99a';
    g.fillText('no readings', width / 2 - 28, height / 2 + 4);
    return;
  }
  if (hi - lo < 1e-9) { hi += 0.5 * Math.max(Math.abs(hi) * 0.01, 0.001); lo -= 0.5 * Math.max(Math.abs(lo) * 0.01, 0.001); }
  const pad = (hi - lo) * 0.1; lo -= pad; hi += pad;
  const left = 48, right = width - 8, top = 20, bottom = height - 16;
  const x = t => left + (right - left) * (t - from) / span;
  const y = v => bottom - (bottom - top) * (v - lo) / (hi - lo);
  g.strokeStyle = '#e3e7ee'; g.lineWidth = 1; g.fillStyle = '#667';
  for (let k = 0; k <= 2; k++) {
    const v = lo + (hi - lo) * k / 2, yy = Math.round(y(v)) + 0.5;
    g.beginPath(); g.moveTo(left, yy); g.lineTo(right, yy); g.stroke();
    g.fillText(chart.decimals !== undefined ? v.toFixed(chart.decimals) : Number(v.toPrecision(5)).toString(), 3, yy + 4);
  }
  g.fillText('-' + Math.round(span / 60000 * 10) / 10 + ' min', left, height - 3);
  g.fillText('now', right - 20, height - 3);
  lines.forEach((line, n) => {
    g.strokeStyle = LANE_COLORS[n % LANE_COLORS.length]; g.lineWidth = 1.5;
    g.beginPath();
    let pen = false;
    for (const [t, v] of line.points) {
      if (t < from || v === null) { pen = false; continue; }
      if (pen) g.lineTo(x(t), y(v)); else g.moveTo(x(t), y(v));
      pen = true;
    }
    g.stroke();
    if (lines.length > 1) { g.fillStyle = g.strokeStyle; g.fillText(line.label, left + 46 + 20 * n, height - 3); }
  });
}

function drawCharts(board) {
  for (const canvas of board.card.querySelectorAll('canvas.chart')) {
    const chart = CHARTS[canvas.dataset.series];
    const lines = [];
    for (const [key, points] of board.series) {
      if (!chart.match(key)) continue;
      const lane = /lane(\d+)/.exec(key);
      lines.push({ label: lane ? 'L' + lane[1] : '', points });
    if (chart.decimals === undefined) chart.decimals = columnOf(key).decimals;
    }
    lines.sort((a, b) => a.label.localeCompare(b.label, undefined, { numeric: true }));
    drawChart(canvas, chart, lines);
  }
}

function remember(board, time, readings) {
  const t = Date.parse(time);
  for (const [key, reading] of Object.entries(readings || {})) {
    if (!Object.values(CHARTS).some(chart => chart.match(key))) continue;
    if (!board.series.has(key)) board.series.set(key, []);
    const points = board.series.get(key);
    points.push([t, reading.status === 'ok' && typeof reading.value === 'number' ? reading.value : null]);
    while (points.length && points[0][0] < Date.now() - WINDOW_MS) points.shift();
  }
}

// ---- Cards --------------------------------------------------------------------

function cardFor(summary) {
  let board = boards.get(summary.id);
  if (board) return board;
  const card = document.getElementById('board-card').content.firstElementChild.cloneNode(true);
  card.dataset.board = summary.id;
  card.querySelector('.serial').textContent = summary.id;
  card.querySelector('.simulated').hidden = !summary.board.simulated;
  board = { card, series: new Map(), last: summary };
  if (service.allowWrites) {
    const form = card.querySelector('.controls');
    form.hidden = false;
    const select = form.elements.command;
    // The commands the service runs, as GET /api/v1 lists them.
    select.replaceChildren(...(service.commands || []).map(c =>
      el('option', { value: c }, c + (SYNOPSIS[c] ? ' ' + SYNOPSIS[c] : ''))));
    form.addEventListener('submit', event => { event.preventDefault(); send(board, form); });
  }
  card.querySelector('.title').addEventListener('click', () => {
    card.classList.toggle('collapsed');
    if (!card.classList.contains('collapsed')) drawCharts(board);
  });
  if (boards.size >= FOLD_ABOVE) {
    card.classList.add('collapsed');
    boards.forEach(b => b.card.classList.add('collapsed'));
  }
  const empty = document.getElementById('empty');
  if (empty) empty.remove();
  document.getElementById('boards').appendChild(card);
  board.row = overviewRow(board);
  boards.set(summary.id, board);
  return board;
}

// A board's entry got another id (sn set): its card and row follow.
function renamed(oldId, newId) {
  const board = boards.get(oldId);
  if (!board || oldId === newId || boards.has(newId)) return;
  boards.delete(oldId);
  boards.set(newId, board);
  board.card.dataset.board = newId;
  board.row.dataset.board = newId;
}

// ---- The overview: a row per board ---------------------------------------------

function overviewRow(board) {
  const tr = el('tr');
  for (const key of ['serial', 'location', 'state', 'module', 'temperature', 'supply', 'tx', 'rx', 'alarms', 'age']) {
    const td = el('td', { 'data-col': key });
    if (['temperature', 'supply', 'tx', 'rx', 'age'].includes(key)) td.classList.add('num');
    tr.appendChild(td);
  }
  tr.addEventListener('click', () => {
    const card = board.card;
    card.classList.remove('collapsed');
    drawCharts(board);
    card.scrollIntoView({ block: 'start' });
    boards.forEach(b => b.card.classList.remove('picked'));
    card.classList.add('picked');
  });
  document.querySelector('#overview-table tbody').appendChild(tr);
  return tr;
}

// The module's state as the page words and colours it: Ready, another
// state, Fault, no module, or not read (with why). Nothing while the board
// does not answer: its state says so.
function moduleStatus(event) {
  if (event.state !== 'up') return { word: '', cls: '', why: '' };
  const readings = event.readings || {};
  const r = readings.module_state, m = readings.module;
  if (r && r.status === 'ok' && typeof r.value === 'string')
    return { word: r.value, cls: r.value === 'Ready' ? 'ready' : r.value === 'Fault' ? 'fault' : 'other', why: '' };
  if (r && r.status === 'failed') return { word: 'not read', cls: 'unread', why: r.reason || '' };
  if (m && m.status === 'unavailable') return { word: 'no module', cls: 'absent', why: m.reason || '' };
  if (m && m.status === 'failed') return { word: 'not read', cls: 'unread', why: m.reason || '' };
  return { word: '', cls: '', why: '' };
}

// The lane with the lowest power of `kind` (txPower, rxPower): [dBm, lane].
function worstLane(readings, kind) {
  let worst = null;
  for (const [key, r] of Object.entries(readings || {})) {
    const lane = new RegExp('^module_lane(\\d+)_' + kind + '_dBm$').exec(key);
    if (!lane || r.status !== 'ok') continue;
    const v = typeof r.value === 'number' ? r.value : -Infinity;  // null: no light
    if (!worst || v < worst[0]) worst = [v, lane[1]];
  }
  return worst;
}

function ageText(time) {
  if (!time) return '—';
  const s = Math.max(0, (Date.now() - Date.parse(time)) / 1000);
  return s < 10 ? s.toFixed(1) + ' s' : s < 120 ? Math.round(s) + ' s' : Math.round(s / 60) + ' min';
}

function fillRow(board) {
  const e = board.last, readings = e.readings || {};
  const cells = {};
  for (const td of board.row.children) cells[td.dataset.col] = td;
  const set = (key, text, sortValue, cls, title) => {
    cells[key].textContent = text;
    cells[key].title = title || text;
    cells[key].dataset.sort = sortValue === undefined || sortValue === null ? '' : String(sortValue);
    cells[key].className = (cells[key].classList.contains('num') ? 'num ' : '') + (cls || '') + (key === 'alarms' ? ' alarms' : '');
  };
  board.row.dataset.board = e.id;
  set('serial', e.board.serial || e.id, e.id, '', e.name ? e.name : undefined);
  set('location', e.board.location || (e.slot ? 'slot ' + e.slot : '—'), e.board.location || '');
  set('state', e.state, e.state, e.state, e.problem || e.state);
  const module = moduleStatus(e);
  set('module', module.word || '—', module.word, module.cls, module.why || module.word);
  const up = e.state === 'up';
  const temp = up && readings.module_temperature_C;
  set('temperature', temp ? shown(temp, 'module_temperature_C') : '—', temp && temp.value);
  const supply = up && readings.module_supplyVoltage_V;
  set('supply', supply ? shown(supply, 'module_supplyVoltage_V') : '—', supply && supply.value);
  for (const [col, kind] of [['tx', 'txPower'], ['rx', 'rxPower']]) {
    const worst = up ? worstLane(readings, kind) : null;
    set(col, worst ? (worst[0] === -Infinity ? 'no light' : shown({ status: 'ok', value: worst[0] }, 'module_lane0_' + kind + '_dBm', false) + ' dBm') +
      ' (L' + worst[1] + ')' : '—', worst ? worst[0] : null);
  }
  const set0 = up && Array.isArray(e.moduleRegisters) ? e.moduleRegisters.filter(r => r.nonZero) : [];
  set('alarms', set0.length ? set0.map(r => r.register + '=0x' + r.word.toString(16).toUpperCase().padStart(4, '0')).join(' ') : '',
    set0.length, '', set0.map(r => r.name + ' ' + r.register + ' = 0x' + r.word.toString(16).toUpperCase().padStart(4, '0')).join('\n'));
  set('age', ageText(e.time), e.time ? -Date.parse(e.time) : null);
}

function sortOverview() {
  const body = document.querySelector('#overview-table tbody');
  const rows = [...boards.values()].map(b => b.row);
  const key = r => { const td = r.querySelector('[data-col="' + sortBy + '"]'); return td ? td.dataset.sort : ''; };
  rows.sort((a, b) => {
    const x = key(a), y = key(b);
    const nx = parseFloat(x), ny = parseFloat(y);
    const order = x === '' ? (y === '' ? 0 : 1) : y === '' ? -1 :
      !isNaN(nx) && !isNaN(ny) ? nx - ny : x.localeCompare(y, undefined, { numeric: true });
    return sortDown ? -order : order;
  });
  for (const row of rows) body.appendChild(row);
  for (const th of document.querySelectorAll('#overview-table th')) {
    th.classList.toggle('sorted', th.dataset.sort === sortBy);
    th.classList.toggle('desc', th.dataset.sort === sortBy && sortDown);
  }
}

function summarize() {
  const counts = { up: 0, down: 0, missing: 0, connecting: 0 };
  let faults = 0;
  for (const b of boards.values()) {
    counts[b.last.state] = (counts[b.last.state] || 0) + 1;
    if (moduleStatus(b.last).cls === 'fault') faults++;
  }
  const summary = document.getElementById('summary');
  const parts = [[counts.up, 'up', 'up'], [counts.down, 'down', 'down'], [counts.missing, 'missing', 'missing'],
    [faults, 'module' + (faults === 1 ? '' : 's') + ' in Fault', 'faults']];
  if (counts.connecting) parts.push([counts.connecting, 'connecting', 'connecting']);
  summary.replaceChildren(el('span', { class: 'count' }, boards.size + ' board' + (boards.size === 1 ? '' : 's')),
    ...parts.map(([n, word, name]) => el('span', { class: 'count', 'data-count': name }, n + ' ' + word)));
}

function refreshOverview() {
  boards.forEach(fillRow);
  sortOverview();
  summarize();
}

function fillTable(table, rows) {
  table.replaceChildren(...rows.map(([label, text, key, failed, raw]) => {
    const tr = el('tr');
    tr.appendChild(el('td', { title: label }, label));
    // The whole text on hovering: a failed reading's reason in full.
    const td = el('td', { class: 'value' + (failed ? ' failed' : ''), title: key === 'time' && raw ? raw : text }, text);
    if (key) td.dataset.key = key;
    if (raw !== undefined && raw !== null) td.dataset.value = String(raw);
    tr.appendChild(td);
    return tr;
  }));
}

function update(event) {
  const board = cardFor(event);
  board.last = event;
  const card = board.card;
  const b = event.board;
  const kind = card.querySelector('.kind');
  kind.textContent = (b.type === null || b.type === undefined ? 'never found' : 'type ' + b.type) + ' · ' +
    (b.location ? 'at ' + b.location : 'location not known') + (event.name ? ' · ' + event.name : '') +
    (event.slot ? ' · slot ' + event.slot : '');
  kind.title = b.index === null || b.index === undefined ? '' : 'device index ' + b.index;
  const state = card.querySelector('.state');
  state.textContent = event.state;
  state.className = 'state badge ' + event.state;
  card.dataset.time = event.time || '';
  card.dataset.state = event.state;
  const problem = card.querySelector('.problem');
  problem.hidden = !event.problem;
  problem.textContent = event.problem || '';
  if (event.board.serial) card.querySelector('.serial').textContent = event.board.serial;
  const readings = event.readings || {};
  const rows = [], monitors = [], lanes = new Map();
  for (const [key, r] of Object.entries(readings)) {
    const failed = r.status === 'failed';
    const lane = /^module_lane(\d+)_(\w+?)_(mA|mW|dBm)$/.exec(key);
    if (lane) {
      if (!lanes.has(lane[1])) lanes.set(lane[1], {});
      lanes.get(lane[1])[lane[2] + '_' + lane[3]] = { text: shown(r, key, false), key, raw: r.value };
    } else if (key === 'module_state') {
      continue;  // in the card's title
    } else if (key.startsWith('module')) {
      if (r.status !== 'unavailable' || key === 'module') monitors.push([key === 'module' ? 'module' : labelOf(key).replace(/^module /, ''), shown(r, key), key, failed, r.value]);
    } else if (r.status !== 'unavailable') {
      rows.push([labelOf(key), shown(r, key), key, failed, r.value]);
    }
  }
  showModuleState(card, event);
  rows.push(['time (UTC)', event.time ? event.time.substring(11, 19) : '—', 'time', false, event.time]);
  fillTable(card.querySelector('.readings'), rows);
  showRegisters(card, event);
  const m = event.module;
  fillTable(card.querySelector('.identity'), m ? [
    ['vendor', m.vendorName || '—', 'vendorName'], ['part', m.partNumber || '—', 'partNumber'],
    ['serial', m.serialNumber || '—', 'serialNumber'], ['application', codeText(m.applicationCode), 'applicationCode'],
  ] : []);
  fillTable(card.querySelector('.monitors'), monitors);
  const table = card.querySelector('.lanes');
  table.replaceChildren();
  if (lanes.size) {
    const head = el('tr');
    for (const h of ['lane', 'bias (mA)', 'Tx (mW)', 'Tx (dBm)', 'Rx (mW)', 'Rx (dBm)']) head.appendChild(el('th', {}, h));
    table.appendChild(head);
    for (const [n, cells] of lanes) {
      const tr = el('tr');
      tr.appendChild(el('td', {}, n));
      for (const c of ['laserBias_mA', 'txPower_mW', 'txPower_dBm', 'rxPower_mW', 'rxPower_dBm']) {
        const td = el('td', { class: 'value' }, cells[c] ? cells[c].text : '');
        if (cells[c]) {
          td.dataset.key = cells[c].key;
          if (cells[c].raw !== undefined && cells[c].raw !== null) td.dataset.value = String(cells[c].raw);
        }
        tr.appendChild(td);
      }
      table.appendChild(tr);
    }
  }
  if (event.time) remember(board, event.time, readings);
  if (!card.classList.contains('collapsed')) drawCharts(board);
  fillRow(board);
  sortOverview();
  summarize();
}

// The module's alarm and status registers as module status reads them: the
// non-zero ones with their words.
function showRegisters(card, event) {
  const note = card.querySelector('.registers-note');
  const regs = event.state === 'up' && Array.isArray(event.moduleRegisters) ? event.moduleRegisters : null;
  const hex = w => '0x' + w.toString(16).toUpperCase().padStart(4, '0');
  if (!regs) {
    note.textContent = event.state !== 'up' ? 'not read: the board is ' + event.state :
      event.moduleRegistersProblem || 'not read';
    fillTable(card.querySelector('.registers'), []);
    return;
  }
  const set = regs.filter(r => r.nonZero);
  note.textContent = set.length ? set.length + ' of ' + regs.length + ' non-zero (bits not decoded)' :
    'all ' + regs.length + ' read 0';
  fillTable(card.querySelector('.registers'), set.map(r => [r.register + ' ' + r.name, hex(r.word), 'register-' + r.register, false, r.word]));
}

// The module's state in the card's title, in its own colour and word.
function showModuleState(card, event) {
  const badge = card.querySelector('.module-state');
  const m = moduleStatus(event);
  badge.hidden = !m.word;
  badge.textContent = !m.word ? '' : m.word === 'no module' ? 'no module' : 'module ' + m.word;
  badge.title = m.why;
  badge.className = 'module-state badge ' + m.cls;
  card.dataset.moduleState = m.word;
}

// ---- Changes (only when the service allows writes) ----------------------------

async function send(board, form) {
  const id = board.card.dataset.board;
  const answer = form.querySelector('.answer');
  const args = form.elements.args.value.trim().split(/\s+/).filter(Boolean);
  const command = form.elements.command.value;
  if (CONFIRM.has(command) &&
      !window.confirm(command + (args.length ? ' ' + args.join(' ') : '') + ' changes the EEPROM' +
        (command === 'eeprom write' ? '' : ' (the serial number)') + ' of board ' + id + '. Send it?')) {
    answer.className = 'answer';
    answer.textContent = 'not sent';
    return;
  }
  answer.className = 'answer';
  answer.textContent = '…';
  try {
    const response = await api('/api/v1/boards/' + encodeURIComponent(id) + '/commands', {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ command, args }),
    });
    const body = await response.json();
    if (!response.ok) throw new Error(body.error ? body.error.message : response.statusText);
    if (body.id) renamed(id, body.id);
    const shownBody = Object.assign({}, body);
    delete shownBody.board;
    delete shownBody.id;
    answer.textContent = 'done: ' + JSON.stringify(shownBody);
  } catch (e) {
    answer.className = 'answer error';
    answer.textContent = e.message;
  }
}

// ---- The live stream ------------------------------------------------------------

async function stream() {
  const status = document.getElementById('connection');
  for (;;) {
    try {
      const response = await api('/api/v1/events', { headers: { Accept: 'text/event-stream' } });
      if (!response.ok || !response.body) throw new Error('stream refused: ' + response.status);
      status.textContent = 'live';
      status.className = 'badge state up';
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      let text = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        text += decoder.decode(value, { stream: true });
        let end;
        while ((end = text.indexOf('\n\n')) >= 0) {
          const block = text.substring(0, end);
          text = text.substring(end + 2);
          const lines = block.split('\n');
          const data = lines.filter(l => l.startsWith('data: ')).map(l => l.substring(6)).join('\n');
          // Only samples update a card; a write's "command" event does not.
          if (data && lines.includes('event: sample')) update(JSON.parse(data));
        }
      }
    } catch (e) {
      console.warn(e);
    }
    status.textContent = 'reconnecting';
    status.className = 'badge state down';
    await new Promise(resolve => setTimeout(resolve, 2000));
  }
}

async function start() {
  try {
    service = await getJson('/api/v1');
  } catch (e) {
    document.getElementById('empty').textContent = 'The service did not answer: ' + e.message;
    return;
  }
  await learnColumns(true);
  document.getElementById('service').textContent = 'sample every ' + service.interval + ' s · writes ' +
    (service.allowWrites ? 'allowed' : 'off') + (service.simulated ? ' · simulated bench' : '');
  const list = await getJson('/api/v1/boards');
  const since = new Date(Date.now() - WINDOW_MS).toISOString();
  for (const summary of list.boards) {
    const board = cardFor(summary);
    update(summary);
    try {
      const history = await getJson('/api/v1/boards/' + encodeURIComponent(summary.id) + '/history?limit=10000&since=' + since);
      for (const sample of history.samples) remember(board, sample.time, sample.readings);
    } catch (e) {
      console.warn(e);
    }
  }
  if (!list.boards.length) document.getElementById('empty').textContent = 'No board found yet; looking again every few seconds.';
  for (const th of document.querySelectorAll('#overview-table th')) {
    th.addEventListener('click', () => {
      sortDown = sortBy === th.dataset.sort ? !sortDown : false;
      sortBy = th.dataset.sort;
      sortOverview();
    });
  }
  refreshOverview();
  setInterval(refreshOverview, 1000);  // the samples' age
  stream();
  window.addEventListener('resize', () => boards.forEach(b => { if (!b.card.classList.contains('collapsed')) drawCharts(b); }));
}

start();
