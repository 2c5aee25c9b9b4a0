// Page glue: serves the simulated market to the engine and shows what the
// engine is doing with it. Open as http://127.0.0.1:PORT/peer/?engine=ws://127.0.0.1:8765
// (the engine refuses pages from file:// and from non-local origins).
// Parameters: engine (URL), seed, pace (milliseconds each step is held back,
// so a person can follow a run; also set from the header), the episode
// layout train_episodes, test_episodes, episode_length (as node-peer.mjs has),
// and display=on-demand for a page no one watches (headless training): it
// draws only when asked, through window.uiPeerPage.drawn() (a screenshot).
//
// The page answers first and shows later: the engine's calls only update
// state kept in memory here, and one draw per animation frame at most turns
// it into DOM. An answer never waits for a frame, so a hidden or headless
// tab, whose frames come seldom or never, answers at full speed.

import { FnId, FrameKind } from './protocol.js';
import { Market, SNAPSHOT_FIELDS } from './market.js';
import { UiPeer } from './peer.js';

const params = new URLSearchParams(location.search);
const engineUrl = params.get('engine') || 'ws://127.0.0.1:8765';
const seed = Number.parseInt(params.get('seed') ?? '1', 10) || 1;
const RETRY_MS = 1000;
const VISIBLE_CANDLES = 80;
// The engine gives each call 10 s by default; a held-back step must stay well inside that.
const MAX_PACE_MS = 2000;
const MAX_RESULTS = 100;
const LOG_LINES = 200;
const ON_DEMAND = params.get('display') === 'on-demand';

const $ = (id) => document.getElementById(id);
const layout = {};
for (const [param, key] of [['train_episodes', 'trainEpisodes'], ['test_episodes', 'testEpisodes'],
  ['episode_length', 'episodeLength']]) {
  const value = Number(params.get(param));
  if (params.has(param) && Number.isInteger(value) && value >= 1) layout[key] = value;
}
const market = new Market({ seed, ...layout });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const episodeType = (type) => (type === 1 ? 'test' : 'train');

// ---- pace ---------------------------------------------------------------

let paceMs = clampPace(Number(params.get('pace') ?? 0));
function clampPace(ms) {
  return Number.isFinite(ms) ? Math.min(MAX_PACE_MS, Math.max(0, Math.round(ms))) : 0;
}

const peer = new UiPeer({ handlers: market.handlers({ pace: () => paceMs }) });

const paceInput = $('pace');
paceInput.max = String(MAX_PACE_MS);
paceInput.value = String(paceMs);
const showPace = () => ($('pace-value').textContent = paceMs ? `${paceMs} ms/step` : 'full speed');
paceInput.addEventListener('input', () => {
  paceMs = clampPace(Number(paceInput.value));
  showPace();
});
showPace();

$('engine').textContent = engineUrl;

// ---- drawing, at most once per frame ------------------------------------

// What changed since the last draw. Every handler below only records its
// event and marks its part; draw() reads the state and writes the DOM.
const dirty = { status: false, handshake: false, log: false, counts: false, market: false, results: false };
// Every frame drawn takes time from the answers: the draw itself, then the
// layout and paint it causes (and compositing in the browser's other
// processes). What a call changes is drawn at the next frame while someone
// watches step by step (a pace is set) or while the steps come FOLLOW_MS or
// more apart on average (a moving mean, so one stall in a fast run is no slow
// run; at that rate drawing every step cannot slow the steps down to it).
// Faster runs are drawn with the latest state every so often: at most
// DRAW_SHARE of the page's time goes to drawing, measured from each draw's
// start to the first task after its frame, and the display stays between
// MIN_ and MAX_DRAW_INTERVAL_MS behind. So a busy browser (many pages on few
// cores) makes each page draw less, and its answers keep their pace. Each
// interval is drawn at random from 0.5 to 1.5 times its length: pages
// started together would otherwise draw together, and every page that waits
// for the others (a vector environment's lock step) would wait for them all.
const FOLLOW_MS = 250;
const DRAW_SHARE = 0.005;
const MIN_DRAW_INTERVAL_MS = 100;
const MAX_DRAW_INTERVAL_MS = 4000;
let frameRequested = false;
let drawTimer = null;
let nextDrawAt = 0; // when a fast run is drawn next
let stepGap = 1000; // ms between steps, a moving mean
let lastStep = -Infinity;
let drawCost = 0;
let drawnWaiters = [];
const afterFrame = new MessageChannel();
// The cost is averaged with the last one, so that one slow frame (a
// collection, a resize) does not hold the display back for long.
afterFrame.port1.onmessage = ({ data: started }) => {
  drawCost = (drawCost + performance.now() - started) / 2;
  const interval = Math.min(MAX_DRAW_INTERVAL_MS, Math.max(MIN_DRAW_INTERVAL_MS, drawCost / DRAW_SHARE));
  nextDrawAt = started + (0.5 + Math.random()) * interval;
};

// Parts changed by something seldom (the connection, a resize): drawn at the next frame.
function show(...parts) {
  for (const part of parts) dirty[part] = true;
  requestDraw(true);
}

// Parts changed by an answer: drawn at the next frame while a person can
// follow the run, every so often while it is fast.
function showAnswered(...parts) {
  for (const part of parts) dirty[part] = true;
  requestDraw(paceMs > 0 || stepGap >= FOLLOW_MS);
}

function noteStep() {
  const now = performance.now();
  stepGap += (Math.min(now - lastStep, 1000) - stepGap) / 16;
  lastStep = now;
}

function requestDraw(soon, asked = false) {
  if (frameRequested || (ON_DEMAND && !asked)) return;
  const wait = soon ? 0 : nextDrawAt - performance.now();
  if (wait > 0) {
    // Asks again when it fires: the draw's cost, measured meanwhile, may have moved nextDrawAt.
    drawTimer ??= setTimeout(() => {
      drawTimer = null;
      requestDraw(false);
    }, wait);
    return;
  }
  clearTimeout(drawTimer);
  drawTimer = null;
  frameRequested = true;
  requestAnimationFrame(draw);
}

// Resolves once the page shows everything it has been told so far, drawing
// at the next frame if needed: what a screenshot or a test waits for. (A tab
// that gets no frames, a hidden one, draws and resolves once it gets one.)
function drawn() {
  if (!Object.values(dirty).some(Boolean)) return Promise.resolve();
  return new Promise((resolve) => {
    drawnWaiters.push(resolve);
    requestDraw(true, true);
  });
}
window.uiPeerPage = Object.freeze({ drawn });

function draw() {
  frameRequested = false;
  const started = performance.now();
  nextDrawAt = started + MIN_DRAW_INTERVAL_MS; // until this draw's cost is known
  afterFrame.port2.postMessage(started);
  if (dirty.status) drawStatus();
  if (dirty.handshake) $('handshake').textContent = handshake;
  if (dirty.log) drawLog();
  if (dirty.counts) $('counts').textContent = `${peer.stats.requests} requests, ${peer.stats.errors} errors`;
  if (dirty.market) {
    drawTables();
    drawChart();
  }
  if (dirty.results) drawResults();
  for (const part of Object.keys(dirty)) dirty[part] = false;
  const waiters = drawnWaiters;
  drawnWaiters = [];
  for (const resolve of waiters) resolve();
}

// ---- connection ---------------------------------------------------------

let handshake = '';
// Set once the engine's end_session was answered, until a new episode or a
// new engine: a connection that closes then is the run's end, not an outage.
let sessionEnded = false;

function drawStatus() {
  const el = $('status');
  const { state } = peer;
  const [shown, text] = state === 'open' ? ['open', 'connected']
    : sessionEnded ? ['ended', 'session ended']
      : state === 'connecting' ? ['connecting', 'connecting…'] : [state, 'waiting for engine'];
  el.dataset.state = shown;
  el.textContent = text;
}

peer.on('state', () => show('status'));
peer.on('handshake', (h) => {
  handshake = `engine library ${h.python_library_version}`;
  sessionEnded = false;
  log('handshake received');
  show('handshake', 'status');
});
peer.on('protocol-error', (e) => log(`protocol error: ${e.message}`));
peer.on('warning', (text) => log(`warning: ${text}`));
peer.on('response', (response) => {
  addLogEntry({ response });
  if (response.fnId === FnId.end_session) sessionEnded = response.kind === FrameKind.Response;
  else if (response.fnId === FnId.reset_episode || response.fnId === FnId.init_candles) sessionEnded = false;
  showAnswered('counts');
});

// Each outage is logged once: a closed connection, or the first failed
// attempt; the retries every second after it stay quiet until one succeeds.
// After end_session the closed connection is logged as the session's end,
// and the page keeps listening for the next run just as quietly.
async function connectForever() {
  let reported = false;
  for (;;) {
    try {
      await peer.connect(engineUrl);
      reported = false;
      const { code } = await peer.closed;
      log(sessionEnded ? 'session ended; the engine disconnected'
        : `connection closed (code ${code}); reconnecting every ${RETRY_MS / 1000} s`);
      show('status');
      reported = true;
    } catch (e) {
      if (!reported) log(`${e.message}; retrying every ${RETRY_MS / 1000} s`);
      reported = true;
    }
    await sleep(RETRY_MS);
  }
}

// ---- log ----------------------------------------------------------------

// Entries stay events until a frame shows them; only the newest LOG_LINES
// are ever shown, and a page that never draws still keeps no more than twice
// that many. Each shown line is an element of its own, so a draw lays out
// only the lines that are new since the last one.
const logEntries = [];
let logSerial = 0;
let shownSerial = 0;
const clock = new Intl.DateTimeFormat(undefined, {
  hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23',
});

// A line of text, or an answer's event ({ response }), made into text when shown.
// Entries are shown newest first and many share a second: each second is formatted once.
let clockSecond = -1;
let clockShown = '';
function clockText(ms) {
  const second = Math.floor(ms / 1000);
  if (second !== clockSecond) {
    clockSecond = second;
    clockShown = clock.format(ms);
  }
  return clockShown;
}

function addLogEntry(entry) {
  logEntries.push({ serial: ++logSerial, at: Date.now(), line: null, ...entry });
  if (logEntries.length > 2 * LOG_LINES) logEntries.splice(0, logEntries.length - LOG_LINES);
  if (entry.response) showAnswered('log');
  else show('log');
}

function log(text) {
  addLogEntry({ text });
}

function logLine(entry) {
  if (entry.line === null) {
    let { text } = entry;
    if (entry.response) {
      const { seq, name, kind, error, ms } = entry.response;
      const outcome = kind === FrameKind.Response ? 'ok' : `error: ${error?.message}`;
      text = `#${seq} ${name} ${outcome} (${ms.toFixed(1)} ms)`;
    }
    entry.line = `${clockText(entry.at)}  ${text}`;
  }
  return entry.line;
}

// Newest first. The newline ending each line keeps the log's text one line
// per entry when copied (a block's last newline adds no line of its own).
function drawLog() {
  const el = $('log');
  const fresh = document.createDocumentFragment();
  let added = 0;
  for (let i = logEntries.length - 1; i >= 0 && logEntries[i].serial > shownSerial && added < LOG_LINES; i--) {
    const line = document.createElement('div');
    line.textContent = `${logLine(logEntries[i])}\n`;
    fresh.append(line);
    added++;
  }
  shownSerial = logSerial;
  if (added === LOG_LINES) el.replaceChildren(fresh);
  else el.prepend(fresh);
  while (el.childElementCount > LOG_LINES) el.lastElementChild.remove();
}

// ---- panels -------------------------------------------------------------

const fmt = (x, digits = 2) => (Number.isInteger(x) ? String(x) : x.toFixed(digits));

// The account table has fixed rows: built once, then only its values change.
const snapshotCells = [];
{
  const table = $('snapshot');
  for (const name of SNAPSHOT_FIELDS) {
    const row = table.insertRow();
    row.insertCell().textContent = name;
    snapshotCells.push(row.insertCell());
  }
}

function snapshotValue(name, value) {
  if (name === 'episode_type') return episodeType(value);
  return fmt(value, name === 'last_close' ? 5 : 2);
}

function setText(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

let positionsHtml = '';
function drawTables() {
  const snap = market.snapshot();
  SNAPSHOT_FIELDS.forEach((name, i) => setText(snapshotCells[i], snapshotValue(name, snap[i])));
  const rows = [...market.positions.values()].map((p) => {
    const side = p.side > 0 ? 'buy' : 'sell';
    return `<tr><td>${p.id}</td><td class="${side}">${side}</td><td>${p.units}</td>` +
      `<td>${fmt(p.entry, 5)}</td><td>${fmt(market.unrealized(p))}</td></tr>`;
  });
  const html = '<tr><th>id</th><th>side</th><th>units</th><th>entry</th><th>pnl</th></tr>' + rows.join('');
  if (html !== positionsHtml) $('positions').innerHTML = positionsHtml = html;
}

// ---- episode results ----------------------------------------------------

// One row per episode that ended (its steps ran out, or end_session), newest
// first. The market replaces its episode object on every reset, so the
// object itself says whether this episode has its row. The row follows what
// happens after the end too: end_session still closes the open positions.
// Each result keeps its table row, so a draw writes only what changed.
const results = [];
let droppedRows = [];
let recordedEpisode = null;
function recordResult() {
  if (!market.done) return;
  if (recordedEpisode !== market.episode) {
    recordedEpisode = market.episode;
    results.unshift({ row: null });
    for (const dropped of results.splice(MAX_RESULTS)) if (dropped.row) droppedRows.push(dropped.row);
  }
  const initial = market.config.initialBalance;
  const { wins, losses } = market.stats;
  const now = {
    type: episodeType(market.episode.type),
    index: market.episode.index,
    steps: market.step,
    pnl: market.equity - initial,
    returnPct: (100 * (market.equity - initial)) / initial,
    wins, losses,
    open: market.positions.size,
  };
  const result = results[0];
  if (Object.keys(now).every((key) => result[key] === now[key])) return;
  Object.assign(result, now, { changed: true });
  showAnswered('results');
}

// Positions still open when the episode ended were never won or lost; the
// row says so instead of a bare 0/0.
const wonLost = ({ wins, losses, open }) => `${wins}/${losses}` + (open ? `, ${open} still open` : '');
const signed = (x, digits) => `${x >= 0 ? '+' : ''}${x.toFixed(digits)}`;

const resultRows = $('results').createTBody();
{
  const header = $('results').createTHead().insertRow();
  for (const name of ['episode', 'steps', 'pnl', 'return %', 'won/lost']) {
    header.append(document.createElement('th'));
    header.lastChild.textContent = name;
  }
}

function drawResults() {
  const summary = $('results-summary');
  summary.replaceChildren();
  for (const type of ['train', 'test']) {
    const rows = results.filter((r) => r.type === type);
    if (!rows.length) continue;
    const mean = rows.reduce((sum, r) => sum + r.returnPct, 0) / rows.length;
    if (summary.firstChild) summary.append(' · ');
    const item = document.createElement('span');
    item.textContent = `${type}: ${rows.length}, mean ${signed(mean, 3)} %`;
    summary.append(item);
  }
  for (const row of droppedRows) row.remove();
  droppedRows = [];
  // New results are the newest, so their rows go above every row shown.
  const first = resultRows.firstChild;
  for (const r of results) {
    if (!r.row) {
      r.row = document.createElement('tr');
      for (let i = 0; i < 5; i++) r.row.insertCell();
      resultRows.insertBefore(r.row, first);
    }
    if (!r.changed) continue;
    r.changed = false;
    const [episode, steps, pnl, returnPct, outcome] = r.row.cells;
    episode.textContent = `${r.type} ${r.index}`;
    steps.textContent = String(r.steps);
    pnl.textContent = signed(r.pnl, 2);
    pnl.className = r.pnl >= 0 ? 'buy' : 'sell';
    returnPct.textContent = signed(r.returnPct, 3);
    returnPct.className = r.returnPct >= 0 ? 'buy' : 'sell';
    outcome.textContent = wonLost(r);
  }
}

// ---- chart --------------------------------------------------------------

// The price axis on the right holds the grid's prices and, over them, one tag
// per position level or order, so that no label lies over a candle.
const AXIS = 104;
const TAG_HEIGHT = 16;
const tagPool = [];

// The canvas's size, kept up to date by the browser: reading clientWidth in
// a draw would force a layout of everything the same draw has just changed.
const chartSize = { width: 0, height: 0 };
new ResizeObserver(([entry]) => {
  chartSize.width = entry.contentRect.width;
  chartSize.height = entry.contentRect.height;
  show('market');
}).observe($('chart'));

function drawChart() {
  const canvas = $('chart');
  const ratio = window.devicePixelRatio || 1;
  const { width, height } = chartSize;
  if (!width || !height) return;
  // Resizing clears the canvas and reallocates it: only when the size changed.
  const w = Math.round(width * ratio);
  const h = Math.round(height * ratio);
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);

  const last = market.cursor;
  const first = Math.max(0, last - VISIBLE_CANDLES + 1);
  const candles = market.candles.slice(first, last + 1);
  const levels = [];
  for (const p of market.positions.values()) levels.push(p.entry, p.tp, p.sl, p.trail);
  for (const o of market.orders.values()) levels.push(o.price);
  const prices = candles.flatMap(([, high, low]) => [high, low]).concat(levels.filter((x) => x != null));
  let lo = Math.min(...prices);
  let hi = Math.max(...prices);
  const pad = (hi - lo) * 0.05 || 1;
  lo -= pad;
  hi += pad;

  const plotW = width - AXIS;
  const slot = plotW / VISIBLE_CANDLES;
  // Room above and below the plot, so the labels of the top and bottom grid lines are not cut off.
  const marginTop = 24;
  const marginBottom = 12;
  const y = (price) => marginTop + (1 - (price - lo) / (hi - lo)) * (height - marginTop - marginBottom);

  g.font = '11px system-ui, sans-serif';
  g.fillStyle = '#8a94a3';
  g.strokeStyle = '#2a313b';
  // Enough decimals to tell the grid lines apart, whether the price is 1.17 or 1170.
  const digits = Math.min(6, Math.max(2, 1 - Math.floor(Math.log10((hi - lo) / 5))));
  for (let i = 0; i <= 5; i++) {
    const price = lo + ((hi - lo) * i) / 5;
    g.beginPath();
    g.moveTo(0, y(price));
    g.lineTo(plotW, y(price));
    g.stroke();
    g.fillText(price.toFixed(digits), plotW + 6, y(price) + 4);
  }

  // One path per colour for the wicks and one for the bodies: four draw calls instead of two per candle.
  for (const [up, color] of [[true, '#3fb77a'], [false, '#e0605a']]) {
    const wicks = new Path2D();
    const bodies = new Path2D();
    candles.forEach(([open, high, low, close], i) => {
      if ((close >= open) !== up) return;
      const x = (i + 0.5) * slot;
      wicks.moveTo(x, y(high));
      wicks.lineTo(x, y(low));
      const top = y(Math.max(open, close));
      bodies.rect(x - slot * 0.35, top, slot * 0.7, Math.max(1, y(Math.min(open, close)) - top));
    });
    g.strokeStyle = g.fillStyle = color;
    g.stroke(wicks);
    g.fill(bodies);
  }

  const tags = [];
  const line = (price, color, dash, label) => {
    g.save();
    g.setLineDash(dash);
    g.strokeStyle = color;
    g.beginPath();
    g.moveTo(0, y(price));
    g.lineTo(plotW, y(price));
    g.stroke();
    g.restore();
    tags.push({ y: y(price), color, label });
  };
  for (const p of market.positions.values()) {
    const side = p.side > 0 ? 'buy' : 'sell';
    line(p.entry, p.side > 0 ? '#3fb77a' : '#e0605a', [], `#${p.id} ${side} ${p.units}`);
    if (p.tp != null) line(p.tp, '#6aa8ff', [4, 4], `#${p.id} tp`);
    if (p.sl != null) line(p.sl, '#e0a05a', [4, 4], `#${p.id} sl`);
    if (p.trail != null) line(p.trail, '#c08aff', [2, 4], `#${p.id} trail`);
  }
  for (const o of market.orders.values()) {
    line(o.price, '#8a94a3', [1, 3], `#${o.id} ${o.side > 0 ? 'buy' : 'sell'} ${o.type}`);
  }
  placeTags(tags, plotW, height);
  const { type, index } = market.episode;
  g.fillStyle = '#d8dee6';
  g.fillText(`${episodeType(type)} episode ${index}, step ${market.step}/${market.episodeLength}` +
    (market.done ? ', done' : ''), 8, 16);
}

// Tags sit centred on their lines where they can; levels close together are
// pushed apart so that every tag stays readable, and all stay inside the chart.
function placeTags(tags, left, height) {
  tags.sort((a, b) => a.y - b.y);
  let next = 0;
  for (const tag of tags) {
    tag.top = Math.max(next, Math.round(tag.y - TAG_HEIGHT / 2));
    next = tag.top + TAG_HEIGHT + 1;
  }
  let limit = height;
  for (let i = tags.length - 1; i >= 0; i--) {
    tags[i].top = Math.max(0, Math.min(tags[i].top, limit - TAG_HEIGHT));
    limit = tags[i].top - 1;
  }
  const box = $('chart-tags');
  while (tagPool.length < tags.length) {
    const el = document.createElement('span');
    el.className = 'tag';
    box.append(el);
    tagPool.push(el);
  }
  tagPool.forEach((el, i) => {
    const tag = tags[i];
    el.hidden = !tag;
    if (!tag) return;
    setText(el, tag.label);
    el.style.background = tag.color;
    el.style.left = `${left + 2}px`;
    el.style.top = `${tag.top}px`;
  });
}

market.onChange(({ fnId }) => {
  if (fnId === FnId.step_and_sync || fnId === FnId.step_next) noteStep();
  recordResult();
  showAnswered('market');
});
if (location.protocol === 'file:') {
  log('opened from file://: the engine will refuse this origin; serve the page from http://127.0.0.1');
}
show('status', 'market');
connectForever();
