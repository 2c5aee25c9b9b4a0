import assert from 'node:assert/strict';
import { describe, test } from 'node:test';

import { Market } from '../market.js';
import { ErrorCode, RemoteError, UiPeer } from '../peer.js';
import {
  FnId,
  FrameKind,
  HANDSHAKE_TEXT,
  decodeErrorPayload,
  decodeFrame,
  decodeVecF64,
  encodeFrame,
  encodeVecF64,
  fromHex,
  toHex,
} from '../protocol.js';

// Plays the engine's end of one WebSocket, in process.
class FakeSocket extends EventTarget {
  constructor(url, options) {
    super();
    this.url = url;
    this.options = options;
    this.readyState = 0;
    this.binaryType = 'blob';
    this.sent = [];
    this.closedWith = null;
  }

  send(data) {
    if (this.readyState !== 1) throw new Error('send on a socket that is not open');
    this.sent.push(new Uint8Array(data));
  }

  close(code, reason) {
    this.closedWith = { code, reason };
    this.drop(code, reason, true);
  }

  // engine side
  open() {
    this.readyState = 1;
    this.dispatchEvent(new Event('open'));
  }

  text(data) {
    this.dispatchEvent(new MessageEvent('message', { data }));
  }

  binary(bytes) {
    // Real sockets hand over an ArrayBuffer of exactly the message.
    this.dispatchEvent(new MessageEvent('message', { data: bytes.slice().buffer }));
  }

  drop(code = 1006, reason = '', wasClean = false) {
    this.readyState = 3;
    this.dispatchEvent(Object.assign(new Event('close'), { code, reason, wasClean }));
  }
}

const tick = () => new Promise((r) => setTimeout(r, 0));

function within(ms, promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} took more than ${ms} ms`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

async function connected(handlers = {}, { greet = true } = {}) {
  let socket;
  const peer = new UiPeer({ handlers, createSocket: (url, options) => (socket = new FakeSocket(url, options)) });
  const events = [];
  for (const name of ['state', 'open', 'handshake', 'close', 'protocol-error', 'warning', 'text']) {
    peer.on(name, (detail) => events.push([name, detail]));
  }
  const ready = peer.connect('ws://127.0.0.1:8765', { origin: 'http://127.0.0.1' });
  socket.open();
  if (greet) {
    socket.text(HANDSHAKE_TEXT);
    await within(1000, ready, 'handshake');
  }
  // Settles once every request sent so far has been answered.
  const answered = async (count) => {
    for (let i = 0; i < 100 && socket.sent.length < count; i++) await tick();
    assert.equal(socket.sent.length, count, 'responses sent');
    return socket.sent.map(decodeFrame);
  };
  return { peer, socket, events, ready, answered };
}

const request = (seq, fnId, payload = new Uint8Array(0)) => encodeFrame({ kind: FrameKind.Request, seq, fnId, payload });

describe('connection and handshake', () => {
  test('resolves with the handshake and reports each state', async () => {
    const { peer, socket, events, ready } = await connected();
    assert.deepEqual(await ready, { type: 'handshake', python_library_version: '0.1.0' });
    assert.equal(peer.handshakeText, HANDSHAKE_TEXT);
    assert.equal(socket.binaryType, 'arraybuffer');
    assert.deepEqual(socket.options, { origin: 'http://127.0.0.1' });
    assert.deepEqual(events.map(([name, d]) => (name === 'state' ? `state:${d}` : name)), ['state:connecting', 'state:open', 'open', 'handshake']);
    socket.drop(1006);
    assert.deepEqual(await peer.closed, { code: 1006, reason: '', wasClean: false });
    assert.equal(peer.state, 'closed');
  });

  test('rejects when the engine goes away before greeting', async () => {
    const { socket, ready } = await connected({}, { greet: false });
    socket.drop(1006);
    await assert.rejects(ready, /closed before the handshake \(code 1006\)/);
  });

  test('an error before open settles the attempt even with no close event', async () => {
    let socket;
    const peer = new UiPeer({ createSocket: (url) => (socket = new FakeSocket(url)) });
    const closes = [];
    peer.on('close', (info) => closes.push(info));
    const ready = peer.connect('ws://127.0.0.1:1');
    socket.dispatchEvent(new Event('error'));
    await assert.rejects(within(1000, ready, 'connect'), /closed before the handshake \(code 1006\)/);
    socket.drop(1006); // a late close event is not reported twice
    assert.deepEqual(closes, [{ code: 1006, reason: '', wasClean: false }]);
    assert.equal(peer.state, 'closed');
  });

  test('another library version is served, with a warning', async () => {
    const { socket, events, ready } = await connected({}, { greet: false });
    socket.text('{"type":"handshake","python_library_version":"9.9.9"}');
    assert.equal((await ready).python_library_version, '9.9.9');
    assert.match(events.find(([n]) => n === 'warning')[1], /9\.9\.9/);
  });

  test('text after the handshake is passed on, not answered', async () => {
    const { socket, events } = await connected();
    socket.text('hello');
    assert.deepEqual(events.at(-1), ['text', 'hello']);
    assert.equal(socket.sent.length, 0);
  });
});

describe('dispatch', () => {
  test('a handler answers with a Response of the same seq and fnId', async () => {
    const seen = [];
    const { socket, answered } = await connected({
      [FnId.get_snapshot]: async (payload, meta) => {
        seen.push([toHex(payload), meta]);
        return encodeVecF64([1.5]);
      },
    });
    socket.binary(request(0xfffffffe, FnId.get_snapshot, fromHex('abcd')));
    await answered(1);
    assert.deepEqual(seen, [['abcd', { seq: 0xfffffffe, fnId: 12 }]]);
    assert.equal(toHex(socket.sent[0]), '01020000' + 'feffffff' + '0c000000' + '0c000000' + toHex(encodeVecF64([1.5])));
  });

  test('a handler returning nothing sends an empty Response', async () => {
    const { socket, answered } = await connected({ [FnId.step_next]: async () => undefined });
    socket.binary(request(3, FnId.step_next));
    await answered(1);
    assert.equal(toHex(socket.sent[0]), '01020000' + '03000000' + '02000000' + '00000000');
  });

  const failures = [
    ['RemoteError keeps its codes', async () => { throw new RemoteError(3, 2, 'hello'); }, { err: 3, sub: 2, message: 'hello' }],
    ['any other error is err 1', async () => { throw new TypeError('bad things'); }, { err: ErrorCode.handler_failed, sub: 0, message: 'bad things' }],
    ['a thrown string is err 1', async () => { throw 'plain'; }, { err: 1, sub: 0, message: 'plain' }],
    ['a synchronous throw is caught too', () => { throw new Error('sync'); }, { err: 1, sub: 0, message: 'sync' }],
    ['a non-bytes result is err 1', async () => 42, { err: 1, sub: 0, message: /bytes/ }],
  ];
  for (const [name, handler, expected] of failures) {
    test(name, async () => {
      const { socket, answered } = await connected({ [FnId.place_order]: handler });
      socket.binary(request(7, FnId.place_order));
      const [frame] = await answered(1);
      assert.deepEqual([frame.kind, frame.seq, frame.fnId], [FrameKind.ErrorResponse, 7, FnId.place_order]);
      const decoded = decodeErrorPayload(frame.payload);
      if (expected.message instanceof RegExp) {
        assert.match(decoded.message, expected.message);
        assert.deepEqual([decoded.err, decoded.sub], [expected.err, expected.sub]);
      } else {
        assert.deepEqual(decoded, expected);
      }
    });
  }

  test('the ErrorResponse bytes for err 3, sub 2, "hello"', async () => {
    const { socket, answered } = await connected({ 20: async () => { throw new RemoteError(3, 2, 'hello'); } });
    socket.binary(request(7, 20));
    await answered(1);
    assert.equal(toHex(socket.sent[0]), '0103000007000000140000000d000000' + '0300020005000000' + '68656c6c6f');
  });

  test('an unknown fnId is err 2', async () => {
    const { socket, answered } = await connected();
    socket.binary(request(1, 999));
    const [frame] = await answered(1);
    assert.deepEqual(decodeErrorPayload(frame.payload), { err: ErrorCode.unknown_function, sub: 0, message: 'no handler for fnId 999' });
  });

  test('answers leave in request order even when the first handler is slower', async () => {
    let release;
    const gate = new Promise((r) => (release = r));
    const { socket, answered } = await connected({
      10: async () => {
        await gate;
        return Uint8Array.of(1);
      },
      15: async () => Uint8Array.of(2),
    });
    socket.binary(request(1, 10));
    socket.binary(request(2, 15));
    await tick();
    assert.equal(socket.sent.length, 0, 'nothing before the first answer');
    release();
    const frames = await answered(2);
    assert.deepEqual(frames.map((f) => [f.seq, f.fnId, toHex(f.payload)]), [[1, 10, '01'], [2, 15, '02']]);
  });

  const junk = [
    ['15 bytes', request(1, 12).subarray(0, 15), 'frame too short: 15 < 16'],
    ['length field too large', fromHex('0101000001000000' + '0c000000' + '08000000' + '00000000'), 'payload length mismatch: expected 24, got 20'],
    ['version 2', fromHex('0201000001000000' + '0c000000' + '00000000'), 'protocol version mismatch: got 2, expected 1'],
    ['a Response sent to the peer', encodeFrame({ kind: FrameKind.Response, seq: 1, fnId: 12 }), 'unexpected frame kind 2 (seq 1)'],
  ];
  for (const [name, bytes, message] of junk) {
    test(`ignores ${name}`, async () => {
      const { socket, events } = await connected({ 12: async () => encodeVecF64([]) });
      socket.binary(bytes);
      await tick();
      assert.equal(socket.sent.length, 0);
      assert.deepEqual(events.filter(([n]) => n === 'protocol-error').map(([, e]) => e.message), [message]);
    });
  }

  test('an answer for a closed connection is dropped', async () => {
    let release;
    const gate = new Promise((r) => (release = r));
    const { socket, peer } = await connected({ 2: async () => { await gate; } });
    socket.binary(request(1, 2));
    socket.drop();
    release();
    await tick();
    await tick();
    assert.equal(socket.sent.length, 0);
    assert.equal(peer.state, 'closed');
  });
});

describe('ping', () => {
  test('PeerPing frame bytes and a matching PingReply', async () => {
    const { peer, socket } = await connected();
    const pong = peer.ping(new TextEncoder().encode('abc'), { fnId: 7 });
    assert.equal(toHex(socket.sent[0]), '01040000' + '01000000' + '07000000' + '03000000' + '616263');
    socket.binary(encodeFrame({ kind: FrameKind.PingReply, seq: 1, fnId: 7, payload: fromHex('616263') }));
    const result = await within(1000, pong, 'ping');
    assert.deepEqual([result.seq, result.fnId], [1, 7]);
    assert.ok(result.ms >= 0);
  });

  const wrongReplies = [
    ['other payload', { seq: 1, fnId: 0, payload: fromHex('00') }],
    ['other fnId', { seq: 1, fnId: 5, payload: fromHex('ff') }],
  ];
  for (const [name, reply] of wrongReplies) {
    test(`a reply with ${name} rejects`, async () => {
      const { peer, socket } = await connected();
      const pong = peer.ping(fromHex('ff'));
      socket.binary(encodeFrame({ kind: FrameKind.PingReply, ...reply }));
      await assert.rejects(within(1000, pong, 'ping'), /does not echo/);
    });
  }

  test('each ping takes the next seq; pending pings fail on close', async () => {
    const { peer, socket } = await connected();
    const first = peer.ping();
    const second = peer.ping();
    assert.deepEqual(socket.sent.map((b) => decodeFrame(b).seq), [1, 2]);
    socket.drop(1001);
    await assert.rejects(first, /closed \(code 1001\)/);
    await assert.rejects(second, /closed/);
  });

  test('no reply within the timeout rejects', async () => {
    const { peer } = await connected();
    await assert.rejects(peer.ping(new Uint8Array(0), { timeoutMs: 20 }), /no PingReply for seq 1 within 20 ms/);
  });
});

describe('peer serving the market', () => {
  test('a snapshot request is answered from the market', async () => {
    const market = new Market({ seed: 4 });
    const { socket, answered } = await connected(market.handlers());
    socket.binary(request(1, FnId.step_next));
    socket.binary(request(2, FnId.get_snapshot));
    const [, frame] = await answered(2);
    assert.deepEqual([frame.kind, frame.seq], [FrameKind.Response, 2]);
    assert.deepEqual(Array.from(decodeVecF64(frame.payload)), market.snapshot());
    assert.equal(market.snapshot()[5], 1, 'step index after one step_next');
  });
});
