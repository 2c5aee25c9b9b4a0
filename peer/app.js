// Page glue: serves the simulated market to the engine and shows what the
// engine is doing with it. Open as http://127.0.0.1:PORT/peer/?engine=ws://127.0.0.1:8765
// (the engine refuses pages from file:// and from non-local origins).
// Parameters: engine (URL), seed, pace (milliseconds each step is held back,
// so a person can follow a run; also set from the header), and the episode
// layout train_episodes, test_episodes, episode_length (as node-peer.mjs has).

import { FrameKind } from './protocol.js';
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

const $ = (id) => document.getElementById(id);
const layout = {};
for (const [param, key] of [['train_episodes', 'trainEpisodes'], ['test_episodes', 'testEpisodes'],
  ['episode_length', 'episodeLength']]) {
  const value = Number(params.get(param));
  if (params.has(param) && Number.isInteger(value) && value >= 1) layout[key] = value;
}
const market = new Market({ seed, ...layout });
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

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

// ---- connection ---------------------------------------------------------

peer.on('state', (state) => {
  const el = $('status');
  el.dataset.state = state;
  el.textContent = state === 'open' ? 'connected' : state === 'connecting' ? 'connecting…' : 'waiting for engine';
});
peer.on('handshake', (h) => {
  $('handshake').textContent = `engine library ${h.python_library_version}`;
  log('handshake received');
});
peer.on('protocol-error', (e) => log(`protocol error: ${e.message}`));
peer.on('warning', (text) => log(`warning: ${text}`));
peer.on('response', ({ seq, name, kind, error, ms }) => {
  const outcome = kind === FrameKind.Response ? 'ok' : `error: ${error?.message}`;
  log(`#${seq} ${name} ${outcome} (${ms.toFixed(1)} ms)`);
  $('counts').textContent = `${peer.stats.requests} requests, ${peer.stats.errors} errors`;
});

// Each outage is logged once: a closed connection, or the first failed
// attempt; the retries every second after it stay quiet until one succeeds.
async function connectForever() {
  let reported = false;
  for (;;) {
    try {
      await peer.connect(engineUrl);
      reported = false;
      const { code } = await peer.closed;
      log(`connection closed (code ${code}); reconnecting every ${RETRY_MS / 1000} s`);
      reported = true;
    } catch (e) {
      if (!reported) log(`${e.message}; retrying every ${RETRY_MS / 1000} s`);
      reported = true;
    }
    await sleep(RETRY_MS);
  }
}

// ---- log ----------------------------------------------------------------

const logLines = [];
function log(text) {
  const time = new Date().toLocaleTimeString();
  logLines.unshift(`${time}  ${text}`);
  logLines.length = Math.min(logLines.length, 200);
  $('log').textContent = logLines.join('\n');
}

// ---- panels -------------------------------------------------------------

const fmt = (x, digits = 2) => (Number.isInteger(x) ? String(x) : x.toFixed(digits));

// ---- episode results ----------------------------------------------------

// One row per episode that ended (its steps ran out, or end_session), newest
// first. The market replaces its episode object on every reset, so the
// object itself says whether this episode has its row. The row follows what
// happens after the end too: end_session still closes the open positions.
const results = [];
let recordedEpisode = null;
function recordResult() {
  if (!market.done) return;
  if (recordedEpisode !== market.episode) {
    recordedEpisode = market.episode;
    results.unshift({});
    results.length = Math.min(results.length, MAX_RESULTS);
  }
  const initial = market.config.initialBalance;
  const { wins, losses } = market.stats;
  Object.assign(results[0], {
    type: market.episode.type === 1 ? 'test' : 'train',
    index: market.episode.index,
    steps: market.step,
    pnl: market.equity - initial,
    returnPct: (100 * (market.equity - initial)) / initial,
    wins, losses,
  });
}

function renderResults() {
  const summary = ['train', 'test'].map((type) => {
    const rows = results.filter((r) => r.type === type);
    if (!rows.length) return '';
    const mean = rows.reduce((sum, r) => sum + r.returnPct, 0) / rows.length;
    return `${type}: ${rows.length}, mean ${mean >= 0 ? '+' : ''}${mean.toFixed(3)} %`;
  }).filter(Boolean);
  $('results-summary').textContent = summary.join(' · ');
  const signed = (x, digits) => `<td class="${x >= 0 ? 'buy' : 'sell'}">${x >= 0 ? '+' : ''}${x.toFixed(digits)}</td>`;
  $('results').innerHTML =
    '<tr><th>episode</th><th>steps</th><th>pnl</th><th>return %</th><th>won/lost</th></tr>' +
    results.map((r) => `<tr><td>${r.type} ${r.index}</td><td>${r.steps}</td>${signed(r.pnl, 2)}` +
      `${signed(r.returnPct, 3)}<td>${r.wins}/${r.losses}</td></tr>`).join('');
}

function renderTables() {
  const snap = market.snapshot();
  $('snapshot').innerHTML = SNAPSHOT_FIELDS.map(
    (name, i) => `<tr><td>${name}</td><td>${fmt(snap[i], name === 'last_close' ? 5 : 2)}</td></tr>`,
  ).join('');
  const rows = [...market.positions.values()].map((p) => {
    const side = p.side > 0 ? 'buy' : 'sell';
    return `<tr><td>${p.id}</td><td class="${side}">${side}</td><td>${p.units}</td>` +
      `<td>${fmt(p.entry, 5)}</td><td>${fmt(market.unrealized(p))}</td></tr>`;
  });
  $('positions').innerHTML =
    '<tr><th>id</th><th>side</th><th>units</th><th>entry</th><th>pnl</th></tr>' + rows.join('');
}

// ---- chart --------------------------------------------------------------

function drawChart() {
  const canvas = $('chart');
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
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

  const axis = 70;
  const plotW = width - axis;
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

  candles.forEach(([open, high, low, close], i) => {
    const x = (i + 0.5) * slot;
    g.strokeStyle = g.fillStyle = close >= open ? '#3fb77a' : '#e0605a';
    g.beginPath();
    g.moveTo(x, y(high));
    g.lineTo(x, y(low));
    g.stroke();
    const top = y(Math.max(open, close));
    g.fillRect(x - slot * 0.35, top, slot * 0.7, Math.max(1, y(Math.min(open, close)) - top));
  });

  const line = (price, color, dash, label) => {
    g.save();
    g.setLineDash(dash);
    g.strokeStyle = g.fillStyle = color;
    g.beginPath();
    g.moveTo(0, y(price));
    g.lineTo(plotW, y(price));
    g.stroke();
    g.fillText(label, 4, y(price) - 3);
    g.restore();
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
  const { type, index } = market.episode;
  g.fillStyle = '#d8dee6';
  g.fillText(`${type === 1 ? 'test' : 'train'} episode ${index}, step ${market.step}/${market.episodeLength}` +
    (market.done ? ', done' : ''), 8, 16);
}

// Several commands can land in one frame; draw once per frame.
let pending = false;
function render() {
  if (pending) return;
  pending = true;
  requestAnimationFrame(() => {
    pending = false;
    renderTables();
    renderResults();
    drawChart();
  });
}

market.onChange(() => {
  recordResult();
  render();
});
window.addEventListener('resize', render);
if (location.protocol === 'file:') {
  log('opened from file://: the engine will refuse this origin; serve the page from http://127.0.0.1');
}
render();
connectForever();
