import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import {
  CLOSE_FIELDS,
  EVENT_FIELDS,
  EventKind,
  Market,
  SNAPSHOT_FIELDS,
  SUMMARY_FIELDS,
  TICKET_FIELDS,
  generateCandles,
  mulberry32,
} from '../market.js';
import { ErrorCode, RemoteError } from '../peer.js';
import {
  CodecError,
  FnId,
  decodeMatF64,
  decodeUtf8,
  decodeVecF64,
  decodeVecMatF64,
  encodeCloseStep,
  encodeEpisodeRequest,
  encodeMatF64,
  encodeVecF64,
  fromHex,
  matFromRows,
  matRows,
  toHex,
} from '../protocol.js';

// Requests built the way the engine builds them from Python arguments.
function orderPayload({ side, type, price, units, tp, sl, ts, timeLimit }) {
  const given = (x) => (x === undefined ? -1 : 1);
  const level = (x) => (x === undefined ? 0 : x * 100 - 1);
  return encodeVecF64([
    1, price, given(tp), given(sl), given(ts), given(timeLimit),
    side === 'buy' ? 1 : -1, type === 'limit' ? 1 : -1, units,
    level(tp), level(sl), level(ts), timeLimit ?? 0,
  ]);
}

function ticketPayload({ side, units, tp, sl, ts }) {
  const given = (x) => (x === undefined ? 0 : 1);
  const level = (x) => (x === undefined ? 0 : x - 1);
  return encodeVecF64([1, given(tp), given(sl), given(ts), side === 'buy' ? 1 : 0, units, level(tp), level(sl), level(ts)]);
}

const empty = new Uint8Array(0);

function session(options) {
  const market = new Market(options);
  const handlers = market.handlers();
  const call = (fnId, payload = empty) => handlers[fnId](payload);
  const snapshot = async () => {
    const v = Array.from(decodeVecF64(await call(FnId.get_snapshot)));
    return Object.fromEntries(SNAPSHOT_FIELDS.map((name, i) => [name, v[i]]));
  };
  const rows = async (fnId, payload) => matRows(decodeMatF64(await call(fnId, payload)));
  const reply = async (fnId, payload) => Array.from(decodeVecF64(await call(fnId, payload)));
  return { market, call, snapshot, rows, reply };
}

// A hand-made series for exact fills and exits. The episode starts at
// candle 2 (window 3), so the first close seen is 100.
const CANDLES = [
  [100, 101, 99, 100, 1],
  [100, 101, 99, 100, 1],
  [100, 101, 99, 100, 1], // step 0
  [100, 102, 99.5, 101, 1], // step 1
  [101, 104, 100.5, 103, 1], // step 2
  [103, 103.5, 99, 99.5, 1], // step 3
  [98, 99, 97, 98, 1], // step 4: gaps down
  [98, 100, 97.5, 99, 1], // step 5
  [99, 99, 99, 99, 1], // step 6: last
  [99, 99, 99, 99, 1],
];
const SMALL = { window: 3, episodeLength: 6, trainEpisodes: 1, testEpisodes: 1 };

async function scripted() {
  const s = session(SMALL);
  await s.call(FnId.init_candles, encodeMatF64(matFromRows(CANDLES)));
  return s;
}

async function stepTo(s, step) {
  while ((await s.snapshot()).step < step) await s.call(FnId.step_next);
}

describe('every function answers in its format', () => {
  const W = 32;
  const cases = [
    [FnId.init_candles, () => encodeMatF64(matFromRows(generateCandles({ seed: 9, count: 300, startPrice: 50, volatility: 0.01 }))),
      (b) => assert.equal(b.length, 0)],
    [FnId.reset_episode, () => encodeEpisodeRequest(1, 0), (b) => assert.equal(b.length, 4)],
    [FnId.get_rl_config, () => empty, (b) => {
      const cfg = JSON.parse(decodeUtf8(b));
      for (const key of ['seed', 'train_episodes', 'test_episodes', 'window', 'episode_length', 'snapshot_fields']) assert.ok(key in cfg, key);
    }],
    [FnId.step_next, () => empty, (b) => assert.equal(b.length, 0)],
    [FnId.step_and_sync, () => empty, (b) => {
      const { vec, mat } = decodeVecMatF64(b);
      assert.deepEqual([vec.length, mat.rows, mat.cols], [SNAPSHOT_FIELDS.length, W, 5]);
    }],
    [FnId.get_snapshot, () => empty, (b) => assert.equal(decodeVecF64(b).length, SNAPSHOT_FIELDS.length)],
    [FnId.get_ticket_list, () => empty, (b) => assert.equal(decodeMatF64(b).cols, TICKET_FIELDS.length)],
    [FnId.get_ohlc, () => empty, (b) => assert.deepEqual([decodeMatF64(b).rows, decodeMatF64(b).cols], [300, 5])],
    [FnId.fetch_events, () => empty, (b) => assert.equal(decodeMatF64(b).cols, EVENT_FIELDS.length)],
    [FnId.get_sync_policy, () => empty, (b) => assert.equal(toHex(b), '01')],
    [FnId.place_ticket, () => ticketPayload({ side: 'buy', units: 3 }), (b) => assert.equal(decodeVecF64(b).length, 5)],
    [FnId.place_order, () => orderPayload({ side: 'sell', type: 'limit', price: 1e6, units: 2 }), (b) => assert.equal(decodeVecF64(b).length, 5)],
    [FnId.close_positions, () => encodeCloseStep({ flags: [1], actions: [1], ratios: [0] }), (b) => assert.equal(decodeMatF64(b).cols, CLOSE_FIELDS.length)],
    [FnId.end_session, () => empty, (b) => assert.deepEqual([decodeMatF64(b).rows, decodeMatF64(b).cols], [1, SUMMARY_FIELDS.length])],
  ];

  test('the table covers all fourteen functions', () => {
    assert.deepEqual(cases.map(([id]) => id).sort((a, b) => a - b), Object.values(FnId).sort((a, b) => a - b));
  });

  test('in one session, in table order', async () => {
    const s = session({ seed: 5 });
    for (const [fnId, request, check] of cases) {
      const out = await s.call(fnId, request());
      assert.ok(out instanceof Uint8Array, `fnId ${fnId}`);
      check(out);
    }
  });
});

describe('determinism', () => {
  async function transcript(seed) {
    const s = session({ seed });
    const script = [
      [FnId.get_rl_config], [FnId.reset_episode, encodeEpisodeRequest(2, 0)], [FnId.get_ohlc],
      [FnId.place_ticket, ticketPayload({ side: 'buy', units: 4, sl: 0.5, tp: 0.8 })],
      [FnId.place_order, orderPayload({ side: 'sell', type: 'stop', price: 0, units: 2, timeLimit: 5 })],
      ...Array(30).fill([FnId.step_and_sync]),
      [FnId.get_ticket_list], [FnId.fetch_events], [FnId.close_positions, encodeCloseStep({ flags: [1, 2], actions: [2, 1], ratios: [0.5, 0] })],
      [FnId.get_snapshot], [FnId.end_session],
    ];
    const out = [];
    for (const [fnId, payload] of script) out.push(toHex(await s.call(fnId, payload ?? empty)));
    return out;
  }

  test('same seed, same requests: same bytes', async () => {
    assert.deepEqual(await transcript(42), await transcript(42));
  });

  test('another seed gives other candles and other answers', async () => {
    const [a, b] = [await transcript(42), await transcript(43)];
    assert.notEqual(a[2], b[2]);
    assert.notEqual(a[5], b[5]);
  });

  test('mulberry32 is a pure function of its seed', () => {
    const take = (seed) => Array.from({ length: 5 }, mulberry32(seed));
    assert.deepEqual(take(1), take(1));
    assert.notDeepEqual(take(1), take(2));
    assert.ok(take(3).every((x) => x >= 0 && x < 1));
  });
});

describe('generated candles', () => {
  test('are coherent OHLCV rows that chain close to open', async () => {
    const rows = await session({ seed: 11 }).rows(FnId.get_ohlc);
    assert.equal(rows.length, 1500);
    rows.forEach(([open, high, low, close, volume], i) => {
      assert.ok(low > 0 && low <= Math.min(open, close) && high >= Math.max(open, close), `row ${i}`);
      assert.ok(Number.isInteger(volume) && volume >= 100 && volume < 1000, `volume ${i}`);
      if (i > 0) assert.equal(open, rows[i - 1][3], `open ${i}`);
    });
  });
});

describe('episodes', () => {
  // 1500 candles, window 32, 200 steps, 80 % train: train starts spread over
  // 31..999 in 8 episodes, test starts over 1231..1299 in 2.
  const starts = [
    [0, 0, 31], [1, 0, 31 + Math.floor(968 / 7)], [7, 0, 999], [8, 0, 31], [0, 1, 1231], [1, 1, 1299], [2, 1, 1231],
  ];
  for (const [index, type, start] of starts) {
    test(`reset_episode(${index}, ${type ? 'test' : 'train'}) starts at candle ${start}`, async () => {
      const s = session({ seed: 3 });
      const answer = await s.call(FnId.reset_episode, encodeEpisodeRequest(index, type));
      assert.equal(new DataView(answer.buffer, answer.byteOffset).getUint32(0, true), start);
      const snap = await s.snapshot();
      assert.deepEqual([snap.candle_index, snap.step, snap.done, snap.episode_index, snap.episode_type], [start, 0, 0, index, type]);
    });
  }

  test('step_and_sync returns the snapshot and the last W candles', async () => {
    const s = session({ seed: 3 });
    const ohlc = await s.rows(FnId.get_ohlc);
    const { vec, mat } = decodeVecMatF64(await s.call(FnId.step_and_sync));
    const snap = Object.fromEntries(SNAPSHOT_FIELDS.map((n, i) => [n, vec[i]]));
    assert.deepEqual([snap.step, snap.candle_index, snap.last_close], [1, 32, ohlc[32][3]]);
    assert.deepEqual(matRows(mat), ohlc.slice(1, 33));
    assert.deepEqual(Array.from(vec), Object.values(await s.snapshot()));
  });

  test('ends after episode_length steps and then stays put', async () => {
    const s = await scripted();
    for (let i = 0; i < 6; i++) {
      assert.equal((await s.snapshot()).done, 0);
      await s.call(FnId.step_next);
    }
    const end = await s.snapshot();
    assert.deepEqual([end.step, end.done, end.candle_index, end.last_close], [6, 1, 8, 99]);
    await s.call(FnId.step_next);
    assert.deepEqual(await s.snapshot(), end);
    assert.deepEqual(await s.reply(FnId.place_ticket, ticketPayload({ side: 'buy', units: 1 })), [0, 0, 0, 0, 1]);
  });

  test('a new episode starts from a fresh account', async () => {
    const s = await scripted();
    await s.call(FnId.place_ticket, ticketPayload({ side: 'buy', units: 1 }));
    await s.call(FnId.step_next);
    await s.call(FnId.reset_episode, encodeEpisodeRequest(0, 0));
    const snap = await s.snapshot();
    assert.deepEqual([snap.equity, snap.balance, snap.open_positions, snap.step], [10000, 10000, 0, 0]);
    assert.deepEqual(await s.rows(FnId.fetch_events), []);
  });
});

describe('pace', () => {
  test('holds back only the steps, by what pace() says at each step', async () => {
    let ms = 60;
    const handlers = new Market({ seed: 3 }).handlers({ pace: () => ms });
    const timed = async (fnId) => {
      const t0 = performance.now();
      await handlers[fnId](new Uint8Array(0));
      return performance.now() - t0;
    };
    assert.ok((await timed(FnId.step_and_sync)) >= 55);
    assert.ok((await timed(FnId.step_next)) >= 55);
    ms = 0;
    // Not held back: well below the pace, however loaded the machine.
    assert.ok((await timed(FnId.step_and_sync)) < 55);
    ms = 60;
    assert.ok((await timed(FnId.get_snapshot)) < 55);
  });
});

describe('positions and pnl on a hand-made series', () => {
  test('market ticket fills at the close and is marked at each close', async () => {
    const s = await scripted();
    assert.deepEqual(await s.reply(FnId.place_ticket, ticketPayload({ side: 'buy', units: 10 })), [1, 1, 1, 100, 0]);
    await s.call(FnId.step_next);
    const [ticket] = await s.rows(FnId.get_ticket_list);
    assert.deepEqual(ticket, [1, 1, 10, 100, 101, 10, 0, 0, 0, 0]);
    const snap = await s.snapshot();
    assert.deepEqual([snap.equity, snap.balance, snap.unrealized_pnl, snap.open_positions], [10010, 10000, 10, 1]);
  });

  const exits = [
    // name, ticket, steps, expected event row [step, kind, id, side, units, price, pnl]
    ['take profit at its level', { side: 'buy', units: 10, tp: 3, sl: 2 }, 2, [2, EventKind.take_profit, 1, 1, 10, 103, 30]],
    ['sell stop loss on the high', { side: 'sell', units: 5, sl: 1.5 }, 1, [1, EventKind.stop_loss, 1, -1, 5, 101.5, -7.5]],
    ['buy stop loss on the low', { side: 'buy', units: 10, sl: 1 }, 3, [3, EventKind.stop_loss, 1, 1, 10, 99, -10]],
    ['trailing stop follows the closes up', { side: 'buy', units: 4, ts: 2 }, 3, [3, EventKind.trailing_stop, 1, 1, 4, 101, 4]],
  ];
  for (const [name, ticket, steps, event] of exits) {
    test(name, async () => {
      const s = await scripted();
      await s.call(FnId.place_ticket, ticketPayload(ticket));
      await stepTo(s, steps - 1);
      assert.equal((await s.rows(FnId.get_ticket_list)).length, 1, 'still open one step before');
      await s.call(FnId.step_next);
      const events = await s.rows(FnId.fetch_events);
      assert.deepEqual(events.at(-1), event);
      const snap = await s.snapshot();
      assert.deepEqual([snap.open_positions, snap.balance], [0, 10000 + event[6]]);
    });
  }

  test('a stop gapped through fills at the open', async () => {
    const s = await scripted();
    await stepTo(s, 3);
    await s.call(FnId.place_ticket, ticketPayload({ side: 'buy', units: 2, sl: 0.5 }));
    await s.call(FnId.step_next);
    assert.deepEqual((await s.rows(FnId.fetch_events)).at(-1), [4, EventKind.stop_loss, 1, 1, 2, 98, -3]);
  });

  const pending = [
    ['buy limit below the market', { side: 'buy', type: 'limit', price: 99.2 }, 3, 99.2],
    ['buy stop above the market', { side: 'buy', type: 'stop', price: 103.2 }, 2, 103.2],
    ['sell limit above the market', { side: 'sell', type: 'limit', price: 101.5 }, 1, 101.5],
    ['sell stop below the market', { side: 'sell', type: 'stop', price: 97.5 }, 4, 97.5],
    ['buy limit gapped through fills at the open', { side: 'buy', type: 'limit', price: 98.5 }, 4, 98],
  ];
  for (const [name, order, fillStep, fillPrice] of pending) {
    test(name, async () => {
      const s = await scripted();
      assert.deepEqual(await s.reply(FnId.place_order, orderPayload({ ...order, units: 3 })), [1, 1, 0, order.price, 0]);
      assert.equal((await s.snapshot()).pending_orders, 1);
      await stepTo(s, fillStep - 1);
      assert.equal((await s.snapshot()).open_positions, 0);
      await s.call(FnId.step_next);
      const [ticket] = await s.rows(FnId.get_ticket_list);
      assert.deepEqual(ticket.slice(0, 4), [1, order.side === 'buy' ? 1 : -1, 3, fillPrice]);
      const kinds = (await s.rows(FnId.fetch_events)).map((e) => e[1]);
      assert.deepEqual(kinds, [EventKind.order_placed, EventKind.opened]);
    });
  }

  test('exits of a position filled inside a candle are checked from the next candle', async () => {
    const s = await scripted();
    // Fills at 99.2 in the candle whose low (99) is also below its stop (99.1).
    await s.call(FnId.place_order, orderPayload({ side: 'buy', type: 'limit', price: 99.2, units: 3, sl: 0.1 }));
    await stepTo(s, 3);
    assert.equal((await s.snapshot()).open_positions, 1);
    await s.call(FnId.step_next);
    const event = (await s.rows(FnId.fetch_events)).at(-1);
    assert.deepEqual(event.slice(0, 6), [4, EventKind.stop_loss, 1, 1, 3, 98]);
    assert.equal(event[6], 3 * (98 - 99.2));
  });

  test('an order already through the market fills at once at the close', async () => {
    const s = await scripted();
    assert.deepEqual(await s.reply(FnId.place_order, orderPayload({ side: 'buy', type: 'limit', price: 100.5, units: 1 })), [1, 1, 1, 100, 0]);
    assert.deepEqual(await s.reply(FnId.place_order, orderPayload({ side: 'sell', type: 'stop', price: 100.5, units: 1 })), [1, 2, 1, 100, 0]);
  });

  test('a time limit expires the order before it can fill', async () => {
    const s = await scripted();
    await s.call(FnId.place_order, orderPayload({ side: 'buy', type: 'limit', price: 99.2, units: 1, timeLimit: 2 }));
    await stepTo(s, 3);
    assert.deepEqual((await s.rows(FnId.fetch_events)).at(-1), [3, EventKind.order_expired, 1, 1, 1, 99.2, 0]);
    const snap = await s.snapshot();
    assert.deepEqual([snap.pending_orders, snap.open_positions], [0, 0]);
  });

  test('take profit from place_order is decoded from level*100-1', async () => {
    const s = await scripted();
    await s.call(FnId.place_order, orderPayload({ side: 'buy', type: 'limit', price: 100, units: 1, tp: 2.5, sl: 0.75 }));
    const [ticket] = await s.rows(FnId.get_ticket_list);
    assert.deepEqual([ticket[6], ticket[7]], [102.5, 99.25]);
  });

  test('close_positions reduces, closes and skips', async () => {
    const s = await scripted();
    await s.call(FnId.place_ticket, ticketPayload({ side: 'buy', units: 100 }));
    await s.call(FnId.place_ticket, ticketPayload({ side: 'sell', units: 3 }));
    await s.call(FnId.step_next); // close 101
    // 100 * 0.29 is 28.999999999999996 in doubles; a reduce by 29 % must still take 29 units.
    const request = encodeCloseStep({ flags: [1, 2, 99, 1], actions: [2, 1, 1, 0], ratios: [0.29, 0, 0, 0] });
    assert.deepEqual(await s.rows(FnId.close_positions, request), [
      [1, 2, 29, 101, 29, 71],
      [2, 1, 3, 101, -3, 0],
    ]);
    const snap = await s.snapshot();
    assert.deepEqual([snap.open_positions, snap.balance, snap.unrealized_pnl], [1, 10026, 71]);
    const kinds = (await s.rows(FnId.fetch_events)).slice(-2).map((e) => e[1]);
    assert.deepEqual(kinds, [EventKind.reduced, EventKind.closed]);
  });

  test('end_session closes everything and sums it up', async () => {
    const s = await scripted();
    await s.call(FnId.place_ticket, ticketPayload({ side: 'buy', units: 10, tp: 3 })); // +30 at step 2
    await s.call(FnId.place_ticket, ticketPayload({ side: 'buy', units: 2 })); // peak 10036 at step 2
    await s.call(FnId.place_order, orderPayload({ side: 'buy', type: 'limit', price: 50, units: 1 }));
    await stepTo(s, 3); // close 99.5: the second buy is down 1, equity 10029
    const [summary] = await s.rows(FnId.end_session);
    const named = Object.fromEntries(SUMMARY_FIELDS.map((n, i) => [n, summary[i]]));
    assert.deepEqual(named, {
      episode_index: 0, episode_type: 0, steps: 3, initial_balance: 10000, final_equity: 10029,
      realized_pnl: 29, return_pct: 0.29, trades: 2, wins: 1, losses: 1, max_drawdown: 7,
    });
    const kinds = (await s.rows(FnId.fetch_events)).slice(-2).map((e) => e[1]);
    assert.deepEqual(kinds, [EventKind.session_closed, EventKind.order_cancelled]);
    assert.equal((await s.snapshot()).done, 1);
  });

  test('fetch_events hands each event out once', async () => {
    const s = await scripted();
    await s.call(FnId.place_ticket, ticketPayload({ side: 'buy', units: 1 }));
    assert.deepEqual(await s.rows(FnId.fetch_events), [[0, EventKind.opened, 1, 1, 1, 100, 0]]);
    const again = decodeMatF64(await s.call(FnId.fetch_events));
    assert.deepEqual([again.rows, again.cols], [0, EVENT_FIELDS.length]);
  });
});

describe('request layouts as the engine sends them', () => {
  const orders = [
    ["place_order('buy', 'limit', 1.25, 100)", [1, 1.25, -1, -1, -1, -1, 1, 1, 100, 0, 0, 0, 0],
      { price: 1.25, side: 1, type: 'limit', units: 100, levels: { tp: null, sl: null, ts: null }, timeLimit: null }],
    ["place_order(' SELL ', 'Stop', 10.0, 1, take_profit=0.5, time_limit=30)", [1, 10, 1, -1, -1, 1, -1, -1, 1, 49, 0, 0, 30],
      { price: 10, side: -1, type: 'stop', units: 1, levels: { tp: 0.5, sl: null, ts: null }, timeLimit: 30 }],
    ['take_profit=0 is given, not absent', [1, 1, 1, -1, -1, -1, 1, 1, 1, -1, 0, 0, 0],
      { price: 1, side: 1, type: 'limit', units: 1, levels: { tp: 0, sl: null, ts: null }, timeLimit: null }],
  ];
  for (const [name, elements, expected] of orders) {
    test(name, async () => {
      const { parseOrder } = await import('../market.js');
      assert.deepEqual(parseOrder(decodeVecF64(encodeVecF64(elements))), expected);
    });
  }

  const tickets = [
    ["place_ticket('buy', 5, stop_loss=2.5)", [1, 0, 1, 0, 1, 5, 0, 1.5, 0], { side: 1, units: 5, levels: { tp: null, sl: 2.5, ts: null } }],
    ["place_ticket('sell', 5)", [1, 0, 0, 0, 0, 5, 0, 0, 0], { side: -1, units: 5, levels: { tp: null, sl: null, ts: null } }],
    ['trailing_stop=-0.0 arrives as -1', [1, 0, 0, 1, 1, 1, 0, 0, -1], { side: 1, units: 1, levels: { tp: null, sl: null, ts: 0 } }],
  ];
  for (const [name, elements, expected] of tickets) {
    test(name, async () => {
      const { parseTicket } = await import('../market.js');
      assert.deepEqual(parseTicket(decodeVecF64(encodeVecF64(elements))), expected);
    });
  }
});

describe('requests the market refuses', () => {
  const order = [1, 100, -1, -1, -1, -1, 1, 1, 1, 0, 0, 0, 0];
  const withElement = (base, i, v) => encodeVecF64(base.map((x, j) => (j === i ? v : x)));
  const cases = [
    ['place_order with 12 elements', FnId.place_order, encodeVecF64(order.slice(0, 12)), ErrorCode.bad_request, 0],
    ['place_order element 0 not 1', FnId.place_order, withElement(order, 0, 2), ErrorCode.bad_request, 0],
    ['place_order side 0', FnId.place_order, withElement(order, 6, 0), ErrorCode.bad_request, 6],
    ['place_order type 2', FnId.place_order, withElement(order, 7, 2), ErrorCode.bad_request, 7],
    ['place_order units 0', FnId.place_order, withElement(order, 8, 0), ErrorCode.bad_request, 8],
    ['place_order units 1.5', FnId.place_order, withElement(order, 8, 1.5), ErrorCode.bad_request, 8],
    ['place_order NaN price', FnId.place_order, withElement(order, 1, NaN), ErrorCode.bad_request, 1],
    ['place_order presence flag 0', FnId.place_order, withElement(order, 3, 0), ErrorCode.bad_request, 3],
    ['place_ticket side -1', FnId.place_ticket, encodeVecF64([1, 0, 0, 0, -1, 1, 0, 0, 0]), ErrorCode.bad_request, 4],
    ['place_ticket negative level', FnId.place_ticket, encodeVecF64([1, 1, 0, 0, 1, 1, -2, 0, 0]), ErrorCode.bad_request, 6],
    ['init_candles with 4 columns', FnId.init_candles, encodeMatF64({ rows: 40, cols: 4, data: new Float64Array(160).fill(1) }), ErrorCode.bad_request, 4],
    ['init_candles with too few rows', FnId.init_candles, encodeMatF64(matFromRows(CANDLES.slice(0, 4))), ErrorCode.bad_request, 0],
    ['reset_episode type 2', FnId.reset_episode, fromHex('0000000002'), ErrorCode.bad_request, 4],
  ];
  for (const [name, fnId, payload, err, sub] of cases) {
    test(name, async () => {
      const s = await scripted();
      const before = await s.snapshot();
      await assert.rejects(s.call(fnId, payload), (e) => e instanceof RemoteError && e.err === err && e.sub === sub);
      assert.deepEqual(await s.snapshot(), before, 'state unchanged');
      assert.equal((await s.rows(FnId.get_ohlc)).length, CANDLES.length);
    });
  }

  const malformed = [
    ['place_order VecF64 one byte short', FnId.place_order, orderPayload({ side: 'buy', type: 'limit', price: 1, units: 1 }).subarray(0, 107), 'VecF64 length mismatch: expected 108, got 107'],
    ['close_positions empty payload', FnId.close_positions, empty, 'CloseStep payload too short'],
    ['init_candles 7 bytes', FnId.init_candles, new Uint8Array(7), 'MatF64 payload too short'],
  ];
  for (const [name, fnId, payload, message] of malformed) {
    test(name, async () => {
      const s = await scripted();
      await assert.rejects(s.call(fnId, payload), (e) => e instanceof CodecError && e.message === message);
    });
  }
});
