// A deterministic simulated market behind the fourteen remote functions.
// Everything it answers follows from the seed and the sequence of requests,
// so a training run can be replayed exactly.
//
// Prices are candle prices; exit levels (take profit, stop loss, trailing
// stop) are distances from the fill price in price units; PnL is
// side * units * (price - entry), with no margin, fees or slippage.

import {
  FN_NAMES,
  FnId,
  SyncPolicy,
  decodeCloseStep,
  decodeEpisodeRequest,
  decodeMatF64,
  decodeVecF64,
  encodeMatF64,
  encodeU32,
  encodeUtf8,
  encodeVecF64,
  encodeVecMatF64,
  matFromRows,
} from './protocol.js';
import { ErrorCode, RemoteError } from './peer.js';

export const SNAPSHOT_FIELDS = Object.freeze([
  'equity', 'balance', 'unrealized_pnl', 'open_positions', 'pending_orders',
  'step', 'done', 'last_close', 'episode_index', 'episode_type', 'candle_index',
]);
export const TICKET_FIELDS = Object.freeze([
  'id', 'side', 'units', 'entry_price', 'mark_price', 'unrealized_pnl',
  'take_profit_price', 'stop_loss_price', 'trailing_stop_price', 'opened_step',
]);
export const EVENT_FIELDS = Object.freeze(['step', 'kind', 'id', 'side', 'units', 'price', 'realized_pnl']);
export const CLOSE_FIELDS = Object.freeze(['id', 'action', 'units_closed', 'exit_price', 'realized_pnl', 'units_left']);
export const ORDER_REPLY_FIELDS = Object.freeze(['accepted', 'id', 'filled', 'price', 'reason']);
export const SUMMARY_FIELDS = Object.freeze([
  'episode_index', 'episode_type', 'steps', 'initial_balance', 'final_equity',
  'realized_pnl', 'return_pct', 'trades', 'wins', 'losses', 'max_drawdown',
]);

export const EventKind = Object.freeze({
  order_placed: 1,
  opened: 2,
  closed: 3,
  reduced: 4,
  take_profit: 5,
  stop_loss: 6,
  trailing_stop: 7,
  order_expired: 8,
  order_cancelled: 9,
  session_closed: 10,
});

export const RejectReason = Object.freeze({ none: 0, episode_over: 1 });
export const CloseAction = Object.freeze({ close: 1, reduce: 2 });

export const DEFAULTS = Object.freeze({
  seed: 1,
  candles: 1500,
  window: 32,
  episodeLength: 200,
  trainEpisodes: 8,
  testEpisodes: 2,
  trainFraction: 0.8,
  initialBalance: 10000,
  startPrice: 100,
  volatility: 0.004,
  syncPolicy: 'eager',
});

// mulberry32: tiny, fast, and identical in every JS engine.
export function mulberry32(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const round5 = (x) => Math.round(x * 1e5) / 1e5;

export function generateCandles({ seed, count, startPrice, volatility }) {
  const rand = mulberry32(seed);
  // Box-Muller; 1 - u keeps the logarithm away from zero.
  const normal = () => Math.sqrt(-2 * Math.log(1 - rand())) * Math.cos(2 * Math.PI * rand());
  const rows = [];
  let price = startPrice;
  for (let i = 0; i < count; i++) {
    const open = price;
    const close = round5(open * Math.exp(volatility * normal()));
    const high = round5(Math.max(open, close) * (1 + Math.abs(normal()) * volatility * 0.5));
    const low = round5(Math.min(open, close) * (1 - Math.abs(normal()) * volatility * 0.5));
    const volume = 100 + Math.floor(rand() * 900);
    rows.push([open, high, low, close, volume]);
    price = close;
  }
  return rows;
}

const badRequest = (sub, message) => new RemoteError(ErrorCode.bad_request, sub, message);

/**
 * @typedef {Partial<typeof DEFAULTS>} MarketOptions Any of DEFAULTS' fields:
 *   seed, candles, window, episodeLength, trainEpisodes, testEpisodes,
 *   trainFraction, initialBalance, startPrice, volatility, syncPolicy.
 * @typedef {{ fnId: number, name: string }} MarketChange
 */

/** The simulated market: its candles, the current episode and its account. */
export class Market {
  /** @param {MarketOptions} [options] */
  constructor(options = {}) {
    this.config = { ...DEFAULTS, ...options };
    this._listeners = new Set();
    this.candleSource = 'generated';
    this._setCandles(generateCandles({
      seed: this.config.seed,
      count: this.config.candles,
      startPrice: this.config.startPrice,
      volatility: this.config.volatility,
    }));
    this.resetEpisode(0, 0);
  }

  /**
   * Called after every request a handler served, with the function's fnId and
   * name; runs on the answer path, so a display only marks what to redraw.
   * @param {(change: MarketChange) => void} fn
   * @returns {() => void} unsubscribes
   */
  onChange(fn) {
    this._listeners.add(fn);
    return () => this._listeners.delete(fn);
  }

  _changed(what) {
    for (const fn of this._listeners) fn(what);
  }

  // ---- candles and episodes ---------------------------------------------

  _setCandles(rows) {
    const window = this.config.window;
    if (rows.length < window + 2) {
      throw badRequest(0, `need at least ${window + 2} candles, got ${rows.length}`);
    }
    this.candles = rows;
    this.episodeLength = Math.min(this.config.episodeLength, rows.length - window);
    // Train episodes come from the head of the series and test episodes from
    // the tail, so test data is never seen in training. A series too short
    // to split gives both the whole range.
    const split = Math.floor(rows.length * this.config.trainFraction);
    const train = [window - 1, split - 1 - this.episodeLength];
    const test = [split + window - 1, rows.length - 1 - this.episodeLength];
    const whole = [window - 1, rows.length - 1 - this.episodeLength];
    const usable = ([lo, hi]) => hi >= lo;
    this.regions = usable(train) && usable(test) ? [train, test] : [whole, whole];
  }

  episodeStart(index, type) {
    const count = Math.max(1, type === 1 ? this.config.testEpisodes : this.config.trainEpisodes);
    const [lo, hi] = this.regions[type];
    const i = index % count;
    // Evenly spaced starts; an index past the count wraps around.
    return count > 1 ? lo + Math.floor((i * (hi - lo)) / (count - 1)) : lo;
  }

  resetEpisode(index, type) {
    const start = this.episodeStart(index, type);
    this.episode = { index, type, start };
    this.step = 0;
    this.done = false;
    this.balance = this.config.initialBalance;
    this.positions = new Map();
    this.orders = new Map();
    this.events = [];
    this.nextId = 1;
    this.stats = { realized: 0, trades: 0, wins: 0, losses: 0, peak: this.balance, maxDrawdown: 0 };
    return start;
  }

  get cursor() {
    return this.episode.start + this.step;
  }

  candle(i = this.cursor) {
    const [open, high, low, close, volume] = this.candles[i];
    return { open, high, low, close, volume };
  }

  get lastClose() {
    return this.candles[this.cursor][3];
  }

  windowRows() {
    return this.candles.slice(this.cursor - this.config.window + 1, this.cursor + 1);
  }

  // ---- account ----------------------------------------------------------

  _event(kind, id, side, units, price, pnl = 0) {
    this.events.push([this.step, kind, id, side, units, price, pnl]);
  }

  _open(id, side, units, price, levels) {
    const pos = { id, side, units, entry: price, openedStep: this.step, realized: 0 };
    pos.tp = levels.tp == null ? null : price + side * levels.tp;
    pos.sl = levels.sl == null ? null : price - side * levels.sl;
    pos.trailDistance = levels.ts;
    pos.trail = levels.ts == null ? null : price - side * levels.ts;
    this.positions.set(id, pos);
    this._event(EventKind.opened, id, side, units, price);
    return pos;
  }

  _closeUnits(pos, units, price, kind) {
    const pnl = pos.side * units * (price - pos.entry);
    this.balance += pnl;
    this.stats.realized += pnl;
    pos.realized += pnl;
    pos.units -= units;
    this._event(kind, pos.id, pos.side, units, price, pnl);
    if (pos.units === 0) {
      this.positions.delete(pos.id);
      this.stats.trades++;
      if (pos.realized > 0) this.stats.wins++;
      else if (pos.realized < 0) this.stats.losses++;
    }
    return pnl;
  }

  unrealized(pos, price = this.lastClose) {
    return pos.side * pos.units * (price - pos.entry);
  }

  get unrealizedTotal() {
    let sum = 0;
    for (const pos of this.positions.values()) sum += this.unrealized(pos);
    return sum;
  }

  get equity() {
    return this.balance + this.unrealizedTotal;
  }

  _trackDrawdown() {
    const equity = this.equity;
    this.stats.peak = Math.max(this.stats.peak, equity);
    this.stats.maxDrawdown = Math.max(this.stats.maxDrawdown, this.stats.peak - equity);
  }

  snapshot() {
    return [
      this.equity, this.balance, this.unrealizedTotal, this.positions.size, this.orders.size,
      this.step, this.done ? 1 : 0, this.lastClose, this.episode.index, this.episode.type, this.cursor,
    ];
  }

  ticketRows() {
    const orNone = (x) => (x == null ? 0 : x);
    return [...this.positions.values()].map((p) => [
      p.id, p.side, p.units, p.entry, this.lastClose, this.unrealized(p),
      orNone(p.tp), orNone(p.sl), orNone(p.trail), p.openedStep,
    ]);
  }

  // ---- stepping ---------------------------------------------------------

  advance() {
    if (this.done) return false;
    this.step++;
    const { open, high, low, close } = this.candle();
    for (const order of [...this.orders.values()]) {
      if (order.expiresAfter != null && this.step - order.placedStep > order.expiresAfter) {
        this.orders.delete(order.id);
        this._event(EventKind.order_expired, order.id, order.side, order.units, order.price);
        continue;
      }
      const fill = pendingFill(order, open, high, low);
      if (fill != null) {
        this.orders.delete(order.id);
        this._open(order.id, order.side, order.units, fill, order.levels);
      }
    }
    for (const pos of [...this.positions.values()]) {
      // A position filled inside this candle cannot tell whether its exits
      // were touched before or after the fill; it is checked from the next one.
      if (pos.openedStep === this.step) continue;
      const exit = exitHit(pos, open, high, low);
      if (exit) this._closeUnits(pos, pos.units, exit.price, exit.kind);
    }
    for (const pos of this.positions.values()) {
      if (pos.trailDistance != null) {
        const candidate = close - pos.side * pos.trailDistance;
        pos.trail = pos.side > 0 ? Math.max(pos.trail, candidate) : Math.min(pos.trail, candidate);
      }
    }
    this._trackDrawdown();
    if (this.step >= this.episodeLength) this.done = true;
    return true;
  }

  // ---- trading ----------------------------------------------------------

  _reject() {
    return [0, 0, 0, 0, RejectReason.episode_over];
  }

  placeOrder({ side, type, price, units, levels, timeLimit }) {
    if (this.done) return this._reject();
    const id = this.nextId++;
    const close = this.lastClose;
    // An order already through the market fills at once, at the close.
    const marketable = type === 'limit' ? side * (price - close) >= 0 : side * (close - price) >= 0;
    if (marketable) {
      this._open(id, side, units, close, levels);
      this._trackDrawdown();
      return [1, id, 1, close, RejectReason.none];
    }
    const expiresAfter = timeLimit != null && Number.isFinite(timeLimit) && timeLimit > 0 ? timeLimit : null;
    this.orders.set(id, { id, side, type, price, units, levels, expiresAfter, placedStep: this.step });
    this._event(EventKind.order_placed, id, side, units, price);
    return [1, id, 0, price, RejectReason.none];
  }

  placeTicket({ side, units, levels }) {
    if (this.done) return this._reject();
    const id = this.nextId++;
    this._open(id, side, units, this.lastClose, levels);
    this._trackDrawdown();
    return [1, id, 1, this.lastClose, RejectReason.none];
  }

  closePositions({ flags, actions, ratios }) {
    const rows = [];
    for (let i = 0; i < flags.length; i++) {
      const pos = this.positions.get(flags[i]);
      const action = actions[i];
      if (!pos || (action !== CloseAction.close && action !== CloseAction.reduce)) continue;
      let units = pos.units;
      if (action === CloseAction.reduce) {
        const ratio = ratios[i];
        if (!(ratio >= 0 && ratio <= 1)) continue;
        // The epsilon keeps 0.3 * 10 from flooring to 2.
        units = Math.min(pos.units, Math.floor(pos.units * ratio + 1e-9));
        if (units === 0) continue;
      }
      const kind = units === pos.units ? EventKind.closed : EventKind.reduced;
      const price = this.lastClose;
      const pnl = this._closeUnits(pos, units, price, kind);
      rows.push([pos.id, action, units, price, pnl, pos.units]);
    }
    this._trackDrawdown();
    return rows;
  }

  endSession() {
    for (const pos of [...this.positions.values()]) {
      this._closeUnits(pos, pos.units, this.lastClose, EventKind.session_closed);
    }
    for (const order of this.orders.values()) {
      this._event(EventKind.order_cancelled, order.id, order.side, order.units, order.price);
    }
    this.orders.clear();
    this._trackDrawdown();
    this.done = true;
    const s = this.stats;
    const initial = this.config.initialBalance;
    return [[
      this.episode.index, this.episode.type, this.step, initial, this.balance,
      s.realized, (100 * (this.balance - initial)) / initial, s.trades, s.wins, s.losses, s.maxDrawdown,
    ]];
  }

  takeEvents() {
    const events = this.events;
    this.events = [];
    return events;
  }

  rlConfig() {
    return {
      seed: this.config.seed,
      train_episodes: this.config.trainEpisodes,
      test_episodes: this.config.testEpisodes,
      window: this.config.window,
      episode_length: this.episodeLength,
      initial_balance: this.config.initialBalance,
      candles: this.candles.length,
      candle_source: this.candleSource,
      sync_policy: this.config.syncPolicy,
      snapshot_fields: SNAPSHOT_FIELDS,
      ticket_fields: TICKET_FIELDS,
      event_fields: EVENT_FIELDS,
      event_kinds: EventKind,
      close_fields: CLOSE_FIELDS,
      order_reply_fields: ORDER_REPLY_FIELDS,
      summary_fields: SUMMARY_FIELDS,
    };
  }

  // ---- wire handlers ----------------------------------------------------

  // One handler per fnId: payload bytes in, payload bytes out. pace() gives
  // the milliseconds each step_next/step_and_sync answer is held back (read
  // per step, so it can change during a run); only the steps wait, so a
  // paced run looks like the market moving at that speed.
  /**
   * @param {{ pace?: () => number }} [options]
   * @returns {Record<number, import('./peer.js').Handler>} for UiPeer's handlers option
   */
  handlers({ pace = () => 0 } = {}) {
    const mat = (rows, cols) => encodeMatF64(matFromRows(rows, cols));
    const table = {
      [FnId.init_candles]: (p) => {
        const m = decodeMatF64(p);
        if (m.cols !== 5) throw badRequest(m.cols, `init_candles expects 5 columns (open, high, low, close, volume), got ${m.cols}`);
        if (!m.data.every(Number.isFinite)) throw badRequest(0, 'init_candles values must be finite');
        const rows = [];
        for (let r = 0; r < m.rows; r++) rows.push(Array.from(m.data.subarray(5 * r, 5 * r + 5)));
        this._setCandles(rows);
        this.candleSource = 'init_candles';
        this.resetEpisode(0, 0);
        return new Uint8Array(0);
      },
      [FnId.reset_episode]: (p) => {
        const { index, type } = decodeEpisodeRequest(p);
        if (type !== 0 && type !== 1) throw badRequest(4, `episode type must be 0 (train) or 1 (test), got ${type}`);
        return encodeU32(this.resetEpisode(index, type));
      },
      [FnId.get_rl_config]: () => encodeUtf8(JSON.stringify(this.rlConfig())),
      [FnId.step_next]: () => {
        this.advance();
        return new Uint8Array(0);
      },
      [FnId.step_and_sync]: () => {
        this.advance();
        return encodeVecMatF64({ vec: this.snapshot(), mat: matFromRows(this.windowRows(), 5) });
      },
      [FnId.get_snapshot]: () => encodeVecF64(this.snapshot()),
      [FnId.get_ticket_list]: () => mat(this.ticketRows(), TICKET_FIELDS.length),
      [FnId.get_ohlc]: () => mat(this.candles, 5),
      [FnId.fetch_events]: () => mat(this.takeEvents(), EVENT_FIELDS.length),
      [FnId.end_session]: () => mat(this.endSession(), SUMMARY_FIELDS.length),
      [FnId.get_sync_policy]: () => Uint8Array.of(SyncPolicy[this.config.syncPolicy] ?? SyncPolicy.eager),
      [FnId.close_positions]: (p) => mat(this.closePositions(decodeCloseStep(p)), CLOSE_FIELDS.length),
      [FnId.place_order]: (p) => encodeVecF64(this.placeOrder(parseOrder(decodeVecF64(p)))),
      [FnId.place_ticket]: (p) => encodeVecF64(this.placeTicket(parseTicket(decodeVecF64(p)))),
    };
    const paced = new Set([FnId.step_next, FnId.step_and_sync]);
    const wrapped = {};
    for (const [fnId, fn] of Object.entries(table)) {
      const held = paced.has(Number(fnId));
      wrapped[fnId] = async (payload) => {
        const ms = held ? pace() : 0;
        if (ms > 0) await new Promise((r) => setTimeout(r, ms));
        const out = fn(payload);
        this._changed({ fnId: Number(fnId), name: FN_NAMES[fnId] });
        return out;
      };
    }
    return wrapped;
  }
}

function pendingFill(order, open, high, low) {
  const { side, type, price } = order;
  // A gap through the level fills at the open, which is the better price for
  // a limit and the worse one for a stop, as on a real book.
  const buyLow = type === 'limit' ? side > 0 : side < 0; // triggers on a move down
  if (buyLow) return low <= price ? Math.min(open, price) : null;
  return high >= price ? Math.max(open, price) : null;
}

function exitHit(pos, open, high, low) {
  const hitsBelow = (level) => low <= level;
  const hitsAbove = (level) => high >= level;
  // Stops are checked before the take profit: when one candle touches both,
  // assume the worse outcome.
  const stops = [[pos.sl, EventKind.stop_loss], [pos.trail, EventKind.trailing_stop]];
  for (const [level, kind] of stops) {
    if (level == null) continue;
    if (pos.side > 0 && hitsBelow(level)) return { price: Math.min(open, level), kind };
    if (pos.side < 0 && hitsAbove(level)) return { price: Math.max(open, level), kind };
  }
  if (pos.tp != null) {
    if (pos.side > 0 && hitsAbove(pos.tp)) return { price: Math.max(open, pos.tp), kind: EventKind.take_profit };
    if (pos.side < 0 && hitsBelow(pos.tp)) return { price: Math.min(open, pos.tp), kind: EventKind.take_profit };
  }
  return null;
}

// ---- request layouts ----------------------------------------------------

function expectLength(v, n, name) {
  if (v.length !== n) throw badRequest(0, `${name} expects ${n} elements, got ${v.length}`);
  if (v[0] !== 1) throw badRequest(0, `${name} element 0 must be 1, got ${v[0]}`);
}

function choice(v, i, map, what) {
  if (!Object.hasOwn(map, v[i])) throw badRequest(i, `${what} (element ${i}) must be one of ${Object.keys(map).join(', ')}, got ${v[i]}`);
  return map[v[i]];
}

function units(v, i) {
  if (!(Number.isInteger(v[i]) && v[i] >= 1)) throw badRequest(i, `units (element ${i}) must be a whole number >= 1, got ${v[i]}`);
  return v[i];
}

function level(v, i, decode) {
  const value = decode(v[i]);
  // Rounding in the encoding may leave a given level of 0 a hair below zero.
  if (!Number.isFinite(value) || value < -1e-9) throw badRequest(i, `exit level (element ${i}) must be finite and >= 0`);
  return Math.max(0, value);
}

// place_order: [1, price, has_tp, has_sl, has_ts, has_tl, side, type, units,
// tp*100-1, sl*100-1, ts*100-1, time_limit]; flags are 1 (given) or -1.
export function parseOrder(v) {
  expectLength(v, 13, 'place_order');
  const flag = (i) => choice(v, i, { 1: true, '-1': false }, 'presence flag');
  const has = [2, 3, 4, 5].map(flag);
  const side = choice(v, 6, { 1: 1, '-1': -1 }, 'side');
  const type = choice(v, 7, { 1: 'limit', '-1': 'stop' }, 'order type');
  if (!Number.isFinite(v[1])) throw badRequest(1, 'price (element 1) must be finite');
  const fromWire = (x) => (x + 1) / 100;
  return {
    price: v[1],
    side,
    type,
    units: units(v, 8),
    levels: {
      tp: has[0] ? level(v, 9, fromWire) : null,
      sl: has[1] ? level(v, 10, fromWire) : null,
      ts: has[2] ? level(v, 11, fromWire) : null,
    },
    timeLimit: has[3] ? v[12] : null,
  };
}

// place_ticket: [1, has_tp, has_sl, has_ts, side, units, tp-1, sl-1, ts-1];
// flags are 1 (given) or 0, side is 1 (buy) or 0 (sell).
export function parseTicket(v) {
  expectLength(v, 9, 'place_ticket');
  const flag = (i) => choice(v, i, { 1: true, 0: false }, 'presence flag');
  const has = [1, 2, 3].map(flag);
  const side = choice(v, 4, { 1: 1, 0: -1 }, 'side');
  const fromWire = (x) => x + 1;
  return {
    side,
    units: units(v, 5),
    levels: {
      tp: has[0] ? level(v, 6, fromWire) : null,
      sl: has[1] ? level(v, 7, fromWire) : null,
      ts: has[2] ? level(v, 8, fromWire) : null,
    },
  };
}
