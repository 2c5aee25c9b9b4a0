// The UI side of the RPC connection: connects to the engine, waits for its
// handshake text, answers each Request frame through a handler registered for
// its fnId, and can probe the engine with PeerPing.
//
// Works with any WebSocket-like object (browser WebSocket, Node's global
// WebSocket, or a test double): only binaryType, readyState, send, close and
// addEventListener are used.
//
// A page becomes drivable with three steps (docs/protocol.md, "Make your page
// drivable"): make a UiPeer, register one handler per fnId, connect.

import {
  FN_NAMES,
  FrameKind,
  HANDSHAKE_TEXT,
  asBytes,
  decodeFrame,
  encodeErrorPayload,
  encodeFrame,
} from './protocol.js';

/**
 * @typedef {import('./protocol.js').BytesLike} BytesLike
 *
 * @callback Handler Answers one request: its payload in, the answer's payload
 *   out (or undefined for an empty one), at once or as a promise. Throw a
 *   RemoteError to choose the ErrorResponse's codes; anything else thrown is
 *   answered as err 1 (handler_failed) with its message.
 * @param {Uint8Array} payload the request's payload (a copy the handler may keep)
 * @param {{ seq: number, fnId: number }} request
 * @returns {BytesLike | undefined | Promise<BytesLike | undefined>}
 *
 * @typedef {object} SocketLike What UiPeer needs of a WebSocket.
 * @property {string} binaryType
 * @property {number} readyState
 * @property {(data: Uint8Array) => void} send
 * @property {(code?: number, reason?: string) => void} close
 * @property {(type: string, listener: (ev: any) => void) => void} addEventListener
 *
 * @typedef {object} UiPeerOptions
 * @property {Record<number, Handler>} [handlers] a handler per fnId (see FnId)
 * @property {(url: string, options: { origin?: string }) => SocketLike} [createSocket]
 *   makes the socket; the global WebSocket by default
 * @property {number} [pingTimeoutMs] how long ping() waits for its PingReply (10 s)
 *
 * @typedef {'idle' | 'connecting' | 'open' | 'closed'} PeerState
 * @typedef {{ python_library_version: string, type: string } & Record<string, unknown>} Handshake
 * @typedef {{ code: number, reason: string, wasClean: boolean }} CloseInfo
 * @typedef {{ seq: number, fnId: number, name: string, payloadLength: number }} RequestEvent
 * @typedef {{ seq: number, fnId: number, name: string, kind: number, error: unknown,
 *   payloadLength: number, ms: number }} ResponseEvent Sent after the answer went out;
 *   kind is FrameKind.Response or FrameKind.ErrorResponse, ms the time the handler took.
 */

/**
 * err codes this peer puts into ErrorResponse frames. The engine passes them
 * through to Python untouched, so they only need to be stable and documented.
 */
export const ErrorCode = Object.freeze({
  handler_failed: 1, // the handler threw something that is not a RemoteError
  unknown_function: 2, // no handler for the fnId
  bad_request: 3, // the payload decoded but its contents are not acceptable
});

/** Thrown by a handler to choose the err/sub codes of the ErrorResponse. */
export class RemoteError extends Error {
  /**
   * @param {number} err error code, u16 (see ErrorCode)
   * @param {number} sub error sub-code, u16
   * @param {string} message what Python's RuntimeError says after the codes
   */
  constructor(err, sub, message) {
    super(message);
    this.name = 'RemoteError';
    this.err = err;
    this.sub = sub;
  }
}

const OPEN = 1;
const EXPECTED_VERSION = JSON.parse(HANDSHAKE_TEXT).python_library_version;

function defaultCreateSocket(url, { origin } = {}) {
  const Socket = globalThis.WebSocket;
  if (typeof Socket !== 'function') {
    throw new Error('no global WebSocket (Node 20 needs --experimental-websocket)');
  }
  // Browsers set Origin themselves and would read an options object as a
  // subprotocol list, so the header is only passed when asked for (Node).
  return origin ? new Socket(url, { headers: { Origin: origin } }) : new Socket(url);
}

/**
 * The UI side of one engine connection at a time. Answers each request with
 * its handler, in the order the requests came, and reports what happens as
 * events (see on()).
 */
export class UiPeer {
  /** @param {UiPeerOptions} [options] */
  constructor({ handlers = {}, createSocket = defaultCreateSocket, pingTimeoutMs = 10000 } = {}) {
    this._handlers = new Map();
    for (const [fnId, fn] of Object.entries(handlers)) this.handle(Number(fnId), fn);
    this._createSocket = createSocket;
    this._pingTimeoutMs = pingTimeoutMs;
    this._listeners = new Map();
    this._socket = null;
    this._pings = new Map();
    this._pingSeq = 1;
    /** @type {PeerState} */
    this.state = 'idle';
    /** @type {Promise<CloseInfo | null>} resolves when the current connection ends; replaced by each connect() */
    this.closed = Promise.resolve(null);
    /** @type {Handshake | { type: null, raw: string } | null} the engine's greeting on this connection */
    this.handshake = null;
    /** @type {string | null} */
    this.handshakeText = null;
    /** Requests answered, and how many of them with an ErrorResponse, over all connections. */
    this.stats = { requests: 0, errors: 0 };
  }

  /**
   * Events and what their listener gets: state (PeerState), open ({ url }),
   * handshake (Handshake), close (CloseInfo), request (RequestEvent), response
   * (ResponseEvent), ping ({ seq, fnId }), protocol-error (Error), text (string,
   * a text message after the handshake), warning (string). Listeners run on
   * the answer path: keep them short, and leave drawing to a later frame.
   * @param {string} event
   * @param {(detail: any) => void} fn
   * @returns {() => void} unsubscribes
   */
  on(event, fn) {
    if (!this._listeners.has(event)) this._listeners.set(event, new Set());
    this._listeners.get(event).add(fn);
    return () => this._listeners.get(event)?.delete(fn);
  }

  _emit(event, detail) {
    for (const fn of this._listeners.get(event) ?? []) {
      try {
        fn(detail);
      } catch (e) {
        // A faulty status display must not break the RPC loop.
        console.error(`[ui peer] ${event} listener failed:`, e);
      }
    }
  }

  _setState(state) {
    this.state = state;
    this._emit('state', state);
  }

  /**
   * Registers (or replaces) the handler of one remote function.
   * @param {number} fnId u16, see FnId
   * @param {Handler} handler
   */
  handle(fnId, handler) {
    if (!Number.isInteger(fnId) || fnId < 0 || fnId > 0xffff) throw new RangeError(`bad fnId ${fnId}`);
    if (typeof handler !== 'function') throw new TypeError(`handler for fnId ${fnId} is not a function`);
    this._handlers.set(fnId, handler);
  }

  /**
   * Resolves with the parsed handshake once the engine has greeted us;
   * rejects if the connection fails or closes before that. Then `closed`
   * resolves when this connection ends; connect again to go on.
   * @param {string} url the engine, ws://HOST:PORT (a page gets it as its engine= parameter)
   * @param {{ origin?: string }} [options] an Origin header to send (Node only; browsers send their own)
   * @returns {Promise<Handshake | { type: null, raw: string }>}
   */
  connect(url, options = {}) {
    if (this._socket) throw new Error('already connected or connecting');
    this.handshake = null;
    this.handshakeText = null;
    this._setState('connecting');
    let socket;
    try {
      socket = this._createSocket(url, options);
    } catch (e) {
      this._setState('closed');
      return Promise.reject(e);
    }
    this._socket = socket;
    socket.binaryType = 'arraybuffer';
    // One chain per connection keeps responses in request order even when a
    // handler is slow and the engine has a second request outstanding.
    let queue = Promise.resolve();

    let opened = false;
    let greeted = false;
    let finished = false;
    let resolveClosed;
    let rejectReady;
    this.closed = new Promise((r) => (resolveClosed = r));

    // Runs once per connection, from the close event or from an error before
    // open: Node's WebSocket may report a refused connection with an error
    // event alone, never following it with close.
    const finish = (ev) => {
      if (finished) return;
      finished = true;
      const info = { code: ev.code ?? 1006, reason: ev.reason ?? '', wasClean: Boolean(ev.wasClean) };
      if (this._socket === socket) this._socket = null;
      for (const ping of this._pings.values()) ping.fail(new Error(`connection closed (code ${info.code})`));
      this._pings.clear();
      this._setState('closed');
      this._emit('close', info);
      if (!greeted) rejectReady(new Error(`connection to ${url} closed before the handshake (code ${info.code})`));
      resolveClosed(info);
    };

    return new Promise((resolve, reject) => {
      rejectReady = reject;
      socket.addEventListener('open', () => {
        opened = true;
        this._setState('open');
        this._emit('open', { url });
      });
      socket.addEventListener('error', () => {
        if (!opened) finish({ code: 1006 });
        // After open, the close event that follows carries the details.
      });
      socket.addEventListener('close', finish);
      socket.addEventListener('message', (ev) => {
        if (typeof ev.data === 'string') {
          if (!greeted) {
            greeted = true;
            this._acceptHandshake(ev.data);
            resolve(this.handshake);
          } else {
            this._emit('text', ev.data);
          }
          return;
        }
        const frame = this._decode(ev.data);
        if (!frame) return;
        if (frame.kind === FrameKind.Request) {
          queue = queue.then(() => this._serve(socket, frame));
        } else if (frame.kind === FrameKind.PingReply) {
          this._pingReply(frame);
        } else {
          this._emit('protocol-error', new Error(`unexpected frame kind ${frame.kind} (seq ${frame.seq})`));
        }
      });
    });
  }

  _acceptHandshake(text) {
    this.handshakeText = text;
    let parsed = null;
    try {
      parsed = JSON.parse(text);
    } catch {
      // reported below
    }
    if (!parsed || parsed.type !== 'handshake') {
      this._emit('protocol-error', new Error(`first message is not a handshake: ${text}`));
      this.handshake = { type: null, raw: text };
      return;
    }
    if (parsed.python_library_version !== EXPECTED_VERSION) {
      this._emit('warning', `engine library version ${parsed.python_library_version}, peer built for ${EXPECTED_VERSION}`);
    }
    this.handshake = parsed;
    this._emit('handshake', parsed);
  }

  _decode(data) {
    try {
      return decodeFrame(asBytes(data));
    } catch (e) {
      // Without a trustworthy header there is no seq to answer to.
      this._emit('protocol-error', e);
      return null;
    }
  }

  async _serve(socket, { seq, fnId, payload }) {
    const started = performance.now();
    const name = FN_NAMES[fnId] ?? `fn${fnId}`;
    this.stats.requests++;
    this._emit('request', { seq, fnId, name, payloadLength: payload.length });
    let kind = FrameKind.Response;
    let body;
    let error = null;
    try {
      const handler = this._handlers.get(fnId);
      if (!handler) throw new RemoteError(ErrorCode.unknown_function, 0, `no handler for fnId ${fnId}`);
      const result = await handler(payload, { seq, fnId });
      body = result === undefined ? new Uint8Array(0) : asBytes(result);
    } catch (e) {
      kind = FrameKind.ErrorResponse;
      error = e;
      this.stats.errors++;
      body =
        e instanceof RemoteError
          ? encodeErrorPayload(e.err, e.sub, e.message)
          : encodeErrorPayload(ErrorCode.handler_failed, 0, e instanceof Error ? e.message : String(e));
    }
    this._send(socket, encodeFrame({ kind, seq, fnId, payload: body }));
    this._emit('response', { seq, fnId, name, kind, error, payloadLength: body.length, ms: performance.now() - started });
  }

  _send(socket, frame) {
    // A reply for a connection that has gone away has no one to go to.
    if (socket.readyState !== OPEN) return false;
    try {
      socket.send(frame);
      return true;
    } catch (e) {
      this._emit('protocol-error', e);
      return false;
    }
  }

  /**
   * The engine answers a PeerPing only while one of its calls is waiting for
   * a response, so between calls the reply arrives with the next request.
   * @param {BytesLike} [payload] echoed back
   * @param {{ fnId?: number, timeoutMs?: number }} [options]
   * @returns {Promise<{ seq: number, fnId: number, ms: number }>}
   */
  ping(payload = new Uint8Array(0), { fnId = 0, timeoutMs = this._pingTimeoutMs } = {}) {
    const socket = this._socket;
    if (!socket || socket.readyState !== OPEN) return Promise.reject(new Error('not connected'));
    const body = asBytes(payload).slice();
    const seq = this._pingSeq;
    this._pingSeq = (this._pingSeq + 1) >>> 0;
    const started = performance.now();
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this._pings.delete(seq);
        reject(new Error(`no PingReply for seq ${seq} within ${timeoutMs} ms`));
      }, timeoutMs);
      const done = (fn, value) => {
        clearTimeout(timer);
        this._pings.delete(seq);
        fn(value);
      };
      this._pings.set(seq, {
        fnId,
        body,
        ok: () => done(resolve, { seq, fnId, ms: performance.now() - started }),
        fail: (e) => done(reject, e),
      });
      if (!this._send(socket, encodeFrame({ kind: FrameKind.PeerPing, seq, fnId, payload: body }))) {
        this._pings.get(seq)?.fail(new Error('PeerPing could not be sent'));
      }
    });
  }

  _pingReply({ seq, fnId, payload }) {
    const ping = this._pings.get(seq);
    if (!ping) {
      this._emit('protocol-error', new Error(`PingReply for unknown seq ${seq}`));
      return;
    }
    const echoed = fnId === ping.fnId && payload.length === ping.body.length && payload.every((b, i) => b === ping.body[i]);
    if (echoed) {
      ping.ok();
      this._emit('ping', { seq, fnId });
    } else {
      ping.fail(new Error(`PingReply for seq ${seq} does not echo the PeerPing`));
    }
  }

  /**
   * Closes the current connection, if any.
   * @param {number} [code]
   * @param {string} [reason]
   */
  close(code = 1000, reason = '') {
    this._socket?.close(code, reason);
  }
}
