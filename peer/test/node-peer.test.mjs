// The headless peer as a separate process against a minimal in-test
// WebSocket server that plays the engine. Loopback only; every wait bounded.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import http from 'node:http';
import { after, describe, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { FnId, FrameKind, HANDSHAKE_TEXT, decodeFrame, decodeUtf8, decodeVecF64, encodeFrame } from '../protocol.js';

const PEER = fileURLToPath(new URL('../node-peer.mjs', import.meta.url));
const HOST = '127.0.0.1';
const WS_GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';

function within(ms, promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no result within ${ms} ms`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// Server side of RFC 6455, just enough for one well-behaved client.
class EngineConnection {
  constructor(socket, headers) {
    this.socket = socket;
    this.headers = headers;
    this.buffer = Buffer.alloc(0);
    this.fragments = [];
    this.queue = [];
    this.waiters = [];
    socket.on('data', (chunk) => this._data(chunk));
    socket.on('close', () => this._push({ type: 'end' }));
    socket.on('error', () => {});
  }

  _push(message) {
    const waiter = this.waiters.shift();
    if (waiter) waiter(message);
    else this.queue.push(message);
  }

  next(ms = 5000) {
    if (this.queue.length) return Promise.resolve(this.queue.shift());
    return within(ms, new Promise((r) => this.waiters.push(r)), 'next message from the peer');
  }

  _data(chunk) {
    this.buffer = Buffer.concat([this.buffer, chunk]);
    for (;;) {
      if (this.buffer.length < 2) return;
      const fin = (this.buffer[0] & 0x80) !== 0;
      const opcode = this.buffer[0] & 0x0f;
      const masked = (this.buffer[1] & 0x80) !== 0;
      let length = this.buffer[1] & 0x7f;
      let at = 2;
      if (length === 126) {
        if (this.buffer.length < 4) return;
        length = this.buffer.readUInt16BE(2);
        at = 4;
      } else if (length === 127) {
        if (this.buffer.length < 10) return;
        length = Number(this.buffer.readBigUInt64BE(2));
        at = 10;
      }
      const maskAt = at;
      if (masked) at += 4;
      if (this.buffer.length < at + length) return;
      const payload = Buffer.from(this.buffer.subarray(at, at + length));
      if (masked) for (let i = 0; i < length; i++) payload[i] ^= this.buffer[maskAt + (i % 4)];
      this.buffer = this.buffer.subarray(at + length);
      this._frame(fin, opcode, masked, payload);
    }
  }

  _frame(fin, opcode, masked, payload) {
    if (!masked) this._push({ type: 'protocol-error', data: 'unmasked client frame' });
    if (opcode === 0x8) {
      const code = payload.length >= 2 ? payload.readUInt16BE(0) : 1005;
      this._push({ type: 'close', code, reason: payload.subarray(2).toString() });
      this._write(0x8, payload.subarray(0, 2));
      this.socket.end();
    } else if (opcode === 0x9) {
      this._write(0xa, payload);
    } else if (opcode === 0x1 || opcode === 0x2 || opcode === 0x0) {
      if (opcode !== 0x0) this.fragments = [{ opcode }];
      this.fragments.push(payload);
      if (!fin) return;
      const [{ opcode: first }, ...parts] = this.fragments;
      const data = Buffer.concat(parts);
      this._push(first === 0x1 ? { type: 'text', data: data.toString() } : { type: 'binary', data: new Uint8Array(data) });
    }
  }

  _write(opcode, payload) {
    const body = Buffer.from(payload);
    let head;
    if (body.length < 126) head = Buffer.from([0x80 | opcode, body.length]);
    else if (body.length < 65536) {
      head = Buffer.from([0x80 | opcode, 126, 0, 0]);
      head.writeUInt16BE(body.length, 2);
    } else {
      head = Buffer.from([0x80 | opcode, 127, 0, 0, 0, 0, 0, 0, 0, 0]);
      head.writeBigUInt64BE(BigInt(body.length), 2);
    }
    if (!this.socket.destroyed) this.socket.write(Buffer.concat([head, body]));
  }

  text(s) {
    this._write(0x1, Buffer.from(s));
  }

  binary(bytes) {
    this._write(0x2, bytes);
  }

  async call(seq, fnId, payload = new Uint8Array(0)) {
    this.binary(encodeFrame({ kind: FrameKind.Request, seq, fnId, payload }));
    const message = await this.next();
    assert.equal(message.type, 'binary', `answer to fnId ${fnId}`);
    return decodeFrame(message.data);
  }

  closeCleanly(code = 1000) {
    const body = Buffer.alloc(2);
    body.writeUInt16BE(code);
    this._write(0x8, body);
  }

  drop() {
    this.socket.destroy();
  }
}

class FakeEngine {
  constructor() {
    this.server = http.createServer((req, res) => res.writeHead(426).end());
    this.sockets = new Set();
    this.connections = [];
    this.waiters = [];
    this.server.on('connection', (s) => {
      this.sockets.add(s);
      s.on('close', () => this.sockets.delete(s));
    });
    this.server.on('upgrade', (req, socket) => {
      const accept = createHash('sha1').update(req.headers['sec-websocket-key'] + WS_GUID).digest('base64');
      socket.write(`HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ${accept}\r\n\r\n`);
      const conn = new EngineConnection(socket, req.headers);
      const waiter = this.waiters.shift();
      if (waiter) waiter(conn);
      else this.connections.push(conn);
    });
  }

  listen(port = 0) {
    return new Promise((resolve, reject) => {
      this.server.once('error', reject);
      this.server.listen(port, HOST, () => resolve(this.server.address().port));
    });
  }

  accepted(ms = 10000) {
    if (this.connections.length) return Promise.resolve(this.connections.shift());
    return within(ms, new Promise((r) => this.waiters.push(r)), 'peer connection');
  }

  async stop() {
    for (const s of this.sockets) s.destroy();
    await new Promise((r) => this.server.close(r));
  }
}

async function freePort() {
  const server = http.createServer();
  await new Promise((r) => server.listen(0, HOST, r));
  const { port } = server.address();
  await new Promise((r) => server.close(r));
  return port;
}

const children = new Set();
after(() => {
  for (const child of children) child.kill('SIGKILL');
});

function startPeer(args, { nodeFlags = [] } = {}) {
  const child = spawn(process.execPath, [...nodeFlags, PEER, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  children.add(child);
  let stderr = '';
  child.stderr.on('data', (d) => (stderr += d));
  const exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => {
      children.delete(child);
      resolve({ code, signal, stderr });
    });
  });
  return { child, exited: (ms = 10000) => within(ms, exited, 'peer process exit') };
}

describe('node-peer process', () => {
  test('retries until the engine listens, serves it, exits 0 when dropped', async () => {
    const port = await freePort();
    const peer = startPeer(['--url', `ws://${HOST}:${port}`, '--seed', '77', '--origin', 'http://127.0.0.1:5173',
      '--train-episodes', '40', '--test-episodes', '10', '--episode-length', '100']);
    await new Promise((r) => setTimeout(r, 700)); // the peer's first attempts find nothing listening
    const engine = new FakeEngine();
    try {
      await engine.listen(port);
      const conn = await engine.accepted();
      assert.equal(conn.headers.origin, 'http://127.0.0.1:5173');
      conn.text(HANDSHAKE_TEXT);

      const config = await conn.call(1, FnId.get_rl_config);
      assert.deepEqual([config.kind, config.seq, config.fnId], [FrameKind.Response, 1, FnId.get_rl_config]);
      const { seed, train_episodes, test_episodes, episode_length } = JSON.parse(decodeUtf8(config.payload));
      assert.deepEqual([seed, train_episodes, test_episodes, episode_length], [77, 40, 10, 100]);

      const snap = await conn.call(2, FnId.get_snapshot);
      assert.deepEqual(Array.from(decodeVecF64(snap.payload)).slice(0, 2), [10000, 10000]);

      const unknown = await conn.call(3, 4242);
      assert.equal(unknown.kind, FrameKind.ErrorResponse);

      conn.drop();
      const { code, stderr } = await peer.exited();
      assert.equal(code, 0, stderr);
      assert.match(stderr, /connected to ws:\/\/127\.0\.0\.1:\d+, engine library 0\.1\.0/);
    } finally {
      await engine.stop();
    }
  });

  test('a clean close from the engine ends the process with 0', async () => {
    const engine = new FakeEngine();
    const port = await engine.listen();
    const peer = startPeer(['--url', `ws://${HOST}:${port}`]);
    try {
      const conn = await engine.accepted();
      assert.equal(conn.headers.origin, undefined, 'no Origin unless asked for');
      conn.text(HANDSHAKE_TEXT);
      assert.equal((await conn.call(1, FnId.get_sync_policy)).payload[0], 1);
      conn.closeCleanly(1000);
      assert.equal((await conn.next()).type, 'close');
      assert.equal((await peer.exited()).code, 0);
    } finally {
      await engine.stop();
    }
  });

  test('SIGTERM closes the connection with 1000 and exits 0', async () => {
    const engine = new FakeEngine();
    const port = await engine.listen();
    const peer = startPeer(['--url', `ws://${HOST}:${port}`, '--sync-policy', 'deferred']);
    try {
      const conn = await engine.accepted();
      conn.text(HANDSHAKE_TEXT);
      assert.equal((await conn.call(1, FnId.get_sync_policy)).payload[0], 0);
      peer.child.kill('SIGTERM');
      const closing = await conn.next();
      assert.deepEqual([closing.type, closing.code], ['close', 1000]);
      assert.equal((await peer.exited()).code, 0);
    } finally {
      await engine.stop();
    }
  });

  test('gives up with 1 when no engine listens in time', async () => {
    const port = await freePort();
    const peer = startPeer(['--url', `ws://${HOST}:${port}`, '--connect-timeout', '0.5']);
    const { code, stderr } = await peer.exited();
    assert.equal(code, 1);
    assert.match(stderr, /giving up after 0\.5 s/);
  });

  const usage = [
    ['a seed that is not a number', ['--seed', 'abc'], undefined, /--seed must be an integer/],
    ['an unknown option', ['--bogus'], undefined, /Unknown option '--bogus'/],
    ['a bad sync policy', ['--sync-policy', 'lazy'], undefined, /--sync-policy must be eager or deferred/],
    ['no train episodes', ['--train-episodes', '0'], undefined, /--train-episodes must be a whole number >= 1, got 0/],
    ['a fractional test episode count', ['--test-episodes', '2.5'], undefined, /--test-episodes must be a whole number >= 1, got 2\.5/],
    ['an episode length that is no number', ['--episode-length', 'long'], undefined, /--episode-length must be a whole number >= 1, got long/],
    ['a pace past 2 s', ['--pace', '2001'], undefined, /--pace must be 0 to 2000 milliseconds, got 2001/],
    // Node 22 and later have the WebSocket global unless it is switched off.
    ['node without a global WebSocket', [], ['--no-experimental-websocket'], /use Node 22 or later/],
  ];
  for (const [name, args, nodeFlags, message] of usage) {
    test(`exits 2 for ${name}`, async () => {
      const { code, stderr } = await startPeer(['--url', `ws://${HOST}:9`, ...args], nodeFlags ? { nodeFlags } : {}).exited();
      assert.equal(code, 2);
      assert.match(stderr, message);
    });
  }
});
