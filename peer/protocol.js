// Wire protocol between the engine and the UI peer: the 16-byte RPC frame
// header, the error payload and the four numeric payload formats.
// Pure functions over bytes; nothing here knows about sockets or the market,
// so the same module runs in a browser page, in Node and in the tests.

/**
 * @typedef {Uint8Array | ArrayBuffer | ArrayBufferView} BytesLike Anything `asBytes` accepts.
 * @typedef {ArrayLike<number>} Doubles A Float64Array (moved bit for bit) or plain numbers.
 * @typedef {{ rows: number, cols: number, data: Doubles }} MatF64Like A row-major matrix to encode.
 * @typedef {{ rows: number, cols: number, data: Float64Array }} MatF64 A decoded row-major matrix:
 *   element (r, c) is `data[r * cols + c]`.
 * @typedef {{ kind: number, seq: number, fnId: number, payload?: BytesLike }} FrameFields
 * @typedef {{ version: number, kind: number, seq: number, fnId: number, payload: Uint8Array }} Frame
 *   A decoded frame; its payload is a copy the caller may keep.
 * @typedef {{ err: number, sub: number, message: string }} ErrorPayload
 * @typedef {{ flags: ArrayLike<number>, actions: ArrayLike<number>, ratios: Doubles }} CloseStepLike
 * @typedef {{ flags: Int32Array, actions: Int32Array, ratios: Float64Array }} CloseStep
 */

/** The version byte of every frame. */
export const PROTOCOL_VERSION = 1;
/** Bytes of the frame header before the payload. */
export const HEADER_LEN = 16;
/** The text message the engine greets a peer with, exactly. */
export const HANDSHAKE_TEXT = '{"type":"handshake","python_library_version":"0.1.0"}';

/** The frame kinds (header byte 1). */
export const FrameKind = Object.freeze({
  Request: 1,
  Response: 2,
  ErrorResponse: 3,
  PeerPing: 4,
  PingReply: 5,
});

/** The remote functions by name: the fnId of each request the engine sends. */
export const FnId = Object.freeze({
  step_next: 2,
  get_ticket_list: 10,
  get_snapshot: 12,
  get_ohlc: 15,
  place_order: 20,
  place_ticket: 21,
  fetch_events: 30,
  close_positions: 31,
  end_session: 40,
  init_candles: 100,
  reset_episode: 101,
  get_rl_config: 102,
  get_sync_policy: 120,
  step_and_sync: 130,
});

/** @type {Readonly<Record<number, string>>} The name of each fnId. */
export const FN_NAMES = Object.freeze(
  Object.fromEntries(Object.entries(FnId).map(([name, id]) => [id, name])),
);

/**
 * Raised for a payload whose length does not match its own counts. The texts
 * are the engine's, so a message seen on either side reads the same.
 */
export class CodecError extends Error {
  constructor(message) {
    super(message);
    this.name = 'CodecError';
  }
}

/** Raised for a binary message that cannot be an RPC frame. */
export class FrameError extends Error {
  constructor(message) {
    super(message);
    this.name = 'FrameError';
  }
}

const U32_MAX = 0xffffffff;

/**
 * The bytes of `data` as a Uint8Array, without copying.
 * @param {BytesLike} data
 * @returns {Uint8Array}
 */
export function asBytes(data) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError('expected bytes (Uint8Array, ArrayBuffer or a typed array view)');
}

function viewOf(bytes) {
  return new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
}

function checkU32(value, what) {
  if (!Number.isInteger(value) || value < 0 || value > U32_MAX) {
    throw new RangeError(`${what} must be an integer from 0 to ${U32_MAX}, got ${value}`);
  }
  return value;
}

function checkU8(value, what) {
  if (!Number.isInteger(value) || value < 0 || value > 0xff) {
    throw new RangeError(`${what} must be an integer from 0 to 255, got ${value}`);
  }
  return value;
}

function checkU16(value, what) {
  if (!Number.isInteger(value) || value < 0 || value > 0xffff) {
    throw new RangeError(`${what} must be an integer from 0 to 65535, got ${value}`);
  }
  return value;
}

function lengthMismatch(name, expected, got) {
  return new CodecError(`${name} length mismatch: expected ${expected}, got ${got}`);
}

// ---- frame header -------------------------------------------------------

/**
 * One frame: the 16-byte header and the payload.
 * @param {FrameFields} frame
 * @returns {Uint8Array}
 */
export function encodeFrame({ kind, seq, fnId, payload = new Uint8Array(0) }) {
  const body = asBytes(payload);
  checkU32(body.length, 'payload length');
  const frame = new Uint8Array(HEADER_LEN + body.length);
  const view = viewOf(frame);
  view.setUint8(0, PROTOCOL_VERSION);
  view.setUint8(1, checkU8(kind, 'kind'));
  view.setUint16(2, 0, true);
  view.setUint32(4, checkU32(seq, 'seq'), true);
  view.setUint16(8, checkU16(fnId, 'fnId'), true);
  view.setUint16(10, 0, true);
  view.setUint32(12, body.length, true);
  frame.set(body, HEADER_LEN);
  return frame;
}

/**
 * Same checks, in the same order and with the same texts, as the engine
 * applies to frames from the peer: lengths first, then the version.
 * @param {BytesLike} data one binary WebSocket message
 * @returns {Frame}
 * @throws {FrameError}
 */
export function decodeFrame(data) {
  const bytes = asBytes(data);
  if (bytes.length < HEADER_LEN) {
    throw new FrameError(`frame too short: ${bytes.length} < ${HEADER_LEN}`);
  }
  const view = viewOf(bytes);
  const declared = view.getUint32(12, true);
  if (bytes.length !== HEADER_LEN + declared) {
    throw new FrameError(`payload length mismatch: expected ${HEADER_LEN + declared}, got ${bytes.length}`);
  }
  const version = view.getUint8(0);
  if (version !== PROTOCOL_VERSION) {
    throw new FrameError(`protocol version mismatch: got ${version}, expected ${PROTOCOL_VERSION}`);
  }
  return {
    version,
    kind: view.getUint8(1),
    seq: view.getUint32(4, true),
    fnId: view.getUint16(8, true),
    // A copy, so a handler may keep the payload after the message buffer is reused.
    payload: bytes.slice(HEADER_LEN),
  };
}

// ---- error payload ------------------------------------------------------

const utf8Encoder = new TextEncoder();
const utf8Decoder = new TextDecoder('utf-8', { fatal: false });

/**
 * The payload of an ErrorResponse; Python sees `RpcError(seq=S, fnId=F, err=E, sub=U): message`.
 * @param {number} err error code, u16
 * @param {number} sub error sub-code, u16
 * @param {string} [message]
 * @returns {Uint8Array}
 */
export function encodeErrorPayload(err, sub, message = '') {
  const text = utf8Encoder.encode(String(message));
  const out = new Uint8Array(8 + text.length);
  const view = viewOf(out);
  view.setUint16(0, checkU16(err, 'err'), true);
  view.setUint16(2, checkU16(sub, 'sub'), true);
  view.setUint32(4, text.length, true);
  out.set(text, 8);
  return out;
}

/**
 * Lenient on purpose, like the engine: a short or inconsistent error payload
 * still yields an error, only with less detail.
 * @param {BytesLike} data
 * @returns {ErrorPayload}
 */
export function decodeErrorPayload(data) {
  const bytes = asBytes(data);
  if (bytes.length < 8) return { err: 0, sub: 0, message: '' };
  const view = viewOf(bytes);
  const err = view.getUint16(0, true);
  const sub = view.getUint16(2, true);
  const n = view.getUint32(4, true);
  if (8 + n > bytes.length) return { err, sub, message: '' };
  return { err, sub, message: utf8Decoder.decode(bytes.subarray(8, 8 + n)) };
}

// ---- doubles, bit for bit ----------------------------------------------
//
// A JS number read through DataView.getFloat64 may lose NaN payload bits
// (the language lets engines canonicalise NaN on every store). So element
// storage is moved as raw bytes into a Float64Array, whose buffer keeps the
// exact bits; only plain-number inputs go through DataView.setFloat64.

const HOST_LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

function readF64s(bytes, offset, count) {
  const raw = bytes.slice(offset, offset + 8 * count);
  if (!HOST_LITTLE_ENDIAN) {
    for (let i = 0; i < raw.length; i += 8) raw.subarray(i, i + 8).reverse();
  }
  return new Float64Array(raw.buffer, 0, count);
}

function writeF64s(out, offset, values) {
  if (values instanceof Float64Array) {
    const raw = new Uint8Array(values.buffer, values.byteOffset, values.byteLength);
    out.set(raw, offset);
    if (!HOST_LITTLE_ENDIAN) {
      for (let i = 0; i < raw.length; i += 8) out.subarray(offset + i, offset + i + 8).reverse();
    }
    return;
  }
  const view = viewOf(out);
  for (let i = 0; i < values.length; i++) view.setFloat64(offset + 8 * i, Number(values[i]), true);
}

function readI32s(view, offset, count) {
  const out = new Int32Array(count);
  for (let i = 0; i < count; i++) out[i] = view.getInt32(offset + 4 * i, true);
  return out;
}

function writeI32s(view, offset, values) {
  for (let i = 0; i < values.length; i++) {
    const v = Number(values[i]);
    if (!Number.isInteger(v) || v < -0x80000000 || v > 0x7fffffff) {
      throw new RangeError(`expected a signed 32-bit integer, got ${values[i]}`);
    }
    view.setInt32(offset + 4 * i, v, true);
  }
}

// ---- VecF64 -------------------------------------------------------------

/**
 * @param {Doubles} values
 * @returns {Uint8Array} a VecF64: u32 n, then n doubles
 */
export function encodeVecF64(values) {
  const n = checkU32(values.length, 'VecF64 length');
  const out = new Uint8Array(4 + 8 * n);
  viewOf(out).setUint32(0, n, true);
  writeF64s(out, 4, values);
  return out;
}

/**
 * @param {BytesLike} data a VecF64
 * @returns {Float64Array}
 * @throws {CodecError}
 */
export function decodeVecF64(data) {
  const bytes = asBytes(data);
  if (bytes.length < 4) throw new CodecError('VecF64 payload too short');
  const n = viewOf(bytes).getUint32(0, true);
  // 4 + 8n stays below 2^53 for any u32 n, so plain numbers are exact here.
  const expected = 4 + 8 * n;
  if (bytes.length !== expected) throw lengthMismatch('VecF64', expected, bytes.length);
  return readF64s(bytes, 4, n);
}

// ---- MatF64 -------------------------------------------------------------

// rows*cols*8 can reach 1.5e20, past both 2^53 and 2^64: only BigInt is exact.
function matBytes(rows, cols) {
  return 8n * BigInt(rows) * BigInt(cols);
}

function checkMatShape({ rows, cols, data }, name) {
  checkU32(rows, `${name} rows`);
  checkU32(cols, `${name} cols`);
  if (data.length !== rows * cols) {
    throw new RangeError(`${name} holds ${data.length} elements, rows*cols is ${rows * cols}`);
  }
}

/**
 * @param {MatF64Like} mat
 * @returns {Uint8Array} a MatF64: u32 rows, u32 cols, then the doubles row by row
 */
export function encodeMatF64(mat) {
  checkMatShape(mat, 'MatF64');
  const out = new Uint8Array(8 + 8 * mat.data.length);
  const view = viewOf(out);
  view.setUint32(0, mat.rows, true);
  view.setUint32(4, mat.cols, true);
  writeF64s(out, 8, mat.data);
  return out;
}

/**
 * @param {BytesLike} data a MatF64
 * @returns {MatF64}
 * @throws {CodecError}
 */
export function decodeMatF64(data) {
  const bytes = asBytes(data);
  if (bytes.length < 8) throw new CodecError('MatF64 payload too short');
  const view = viewOf(bytes);
  const rows = view.getUint32(0, true);
  const cols = view.getUint32(4, true);
  const expected = 8n + matBytes(rows, cols);
  if (BigInt(bytes.length) !== expected) throw lengthMismatch('MatF64', expected, bytes.length);
  return { rows, cols, data: readF64s(bytes, 8, rows * cols) };
}

/**
 * Row arrays ([[o, h, l, c, v], ...]) to the flat row-major form.
 * @param {ArrayLike<number>[]} rowList
 * @param {number} [cols] the column count, needed when rowList is empty
 * @returns {MatF64}
 */
export function matFromRows(rowList, cols) {
  const width = cols ?? (rowList.length ? rowList[0].length : 0);
  const data = new Float64Array(rowList.length * width);
  rowList.forEach((row, r) => {
    if (row.length !== width) throw new RangeError(`row ${r} has ${row.length} columns, expected ${width}`);
    data.set(row, r * width);
  });
  return { rows: rowList.length, cols: width, data };
}

/**
 * @param {MatF64} mat
 * @returns {number[][]} the matrix as row arrays
 */
export function matRows(mat) {
  const out = [];
  for (let r = 0; r < mat.rows; r++) out.push(Array.from(mat.data.subarray(r * mat.cols, (r + 1) * mat.cols)));
  return out;
}

// ---- CloseStep ----------------------------------------------------------

/**
 * @param {CloseStepLike} step three arrays of one length: position ids, action codes, ratios
 * @returns {Uint8Array} a CloseStep: u32 n, n i32 flags, n i32 actions, n doubles
 */
export function encodeCloseStep({ flags, actions, ratios }) {
  const n = flags.length;
  if (actions.length !== n || ratios.length !== n) {
    throw new RangeError('CloseStep arrays must have equal length');
  }
  checkU32(n, 'CloseStep length');
  const out = new Uint8Array(4 + 16 * n);
  const view = viewOf(out);
  view.setUint32(0, n, true);
  writeI32s(view, 4, flags);
  writeI32s(view, 4 + 4 * n, actions);
  writeF64s(out, 4 + 8 * n, ratios);
  return out;
}

/**
 * @param {BytesLike} data a CloseStep
 * @returns {CloseStep}
 * @throws {CodecError}
 */
export function decodeCloseStep(data) {
  const bytes = asBytes(data);
  if (bytes.length < 4) throw new CodecError('CloseStep payload too short');
  const view = viewOf(bytes);
  const n = view.getUint32(0, true);
  const expected = 4 + 16 * n; // below 2^37: exact as a plain number
  if (bytes.length !== expected) throw lengthMismatch('CloseStep', expected, bytes.length);
  return {
    flags: readI32s(view, 4, n),
    actions: readI32s(view, 4 + 4 * n, n),
    ratios: readF64s(bytes, 4 + 8 * n, n),
  };
}

// ---- VecMatF64 ----------------------------------------------------------

/**
 * @param {{ vec: Doubles, mat: MatF64Like }} value
 * @returns {Uint8Array} a VecF64 followed by a MatF64 (the answer of step_and_sync)
 */
export function encodeVecMatF64({ vec, mat }) {
  checkU32(vec.length, 'VecMatF64 vector length');
  checkMatShape(mat, 'VecMatF64');
  const n = vec.length;
  const out = new Uint8Array(12 + 8 * n + 8 * mat.data.length);
  const view = viewOf(out);
  view.setUint32(0, n, true);
  writeF64s(out, 4, vec);
  view.setUint32(4 + 8 * n, mat.rows, true);
  view.setUint32(8 + 8 * n, mat.cols, true);
  writeF64s(out, 12 + 8 * n, mat.data);
  return out;
}

/**
 * @param {BytesLike} data a VecMatF64
 * @returns {{ vec: Float64Array, mat: MatF64 }}
 * @throws {CodecError}
 */
export function decodeVecMatF64(data) {
  const bytes = asBytes(data);
  if (bytes.length < 4) throw new CodecError('VecMatF64 payload too short');
  const view = viewOf(bytes);
  const n = view.getUint32(0, true);
  const matAt = 4 + 8 * n;
  if (bytes.length < matAt + 8) throw new CodecError('VecMatF64 missing matrix header');
  const rows = view.getUint32(matAt, true);
  const cols = view.getUint32(matAt + 4, true);
  const expected = BigInt(matAt + 8) + matBytes(rows, cols);
  if (BigInt(bytes.length) !== expected) throw lengthMismatch('VecMatF64', expected, bytes.length);
  return {
    vec: readF64s(bytes, 4, n),
    mat: { rows, cols, data: readF64s(bytes, matAt + 8, rows * cols) },
  };
}

// ---- small fixed payloads -------------------------------------------------

/** The type byte of reset_episode. */
export const EpisodeType = Object.freeze({ train: 0, test: 1 });

/**
 * The request of reset_episode.
 * @param {number} index u32
 * @param {number} type an EpisodeType
 * @returns {Uint8Array} 5 bytes: u32 index, u8 type
 */
export function encodeEpisodeRequest(index, type) {
  const out = new Uint8Array(5);
  viewOf(out).setUint32(0, checkU32(index, 'episode_index'), true);
  out[4] = checkU8(type, 'episode type');
  return out;
}

/**
 * @param {BytesLike} data the request of reset_episode
 * @returns {{ index: number, type: number }}
 * @throws {CodecError}
 */
export function decodeEpisodeRequest(data) {
  const bytes = asBytes(data);
  if (bytes.length !== 5) throw new CodecError(`episode request length mismatch: expected 5, got ${bytes.length}`);
  return { index: viewOf(bytes).getUint32(0, true), type: bytes[4] };
}

/**
 * @param {number} value
 * @returns {Uint8Array} 4 bytes, little-endian (the answer of reset_episode)
 */
export function encodeU32(value) {
  const out = new Uint8Array(4);
  viewOf(out).setUint32(0, checkU32(value, 'value'), true);
  return out;
}

/** The byte get_sync_policy answers. */
export const SyncPolicy = Object.freeze({ deferred: 0, eager: 1 });

/**
 * @param {string} text
 * @returns {Uint8Array}
 */
export function encodeUtf8(text) {
  return utf8Encoder.encode(text);
}

/**
 * @param {BytesLike} data
 * @returns {string} invalid UTF-8 becomes U+FFFD
 */
export function decodeUtf8(data) {
  return utf8Decoder.decode(asBytes(data));
}

// ---- hex helpers (tests, logs) ------------------------------------------

/**
 * @param {BytesLike} data
 * @returns {string} two lowercase hex digits a byte
 */
export function toHex(data) {
  return Array.from(asBytes(data), (b) => b.toString(16).padStart(2, '0')).join('');
}

/**
 * @param {string} hex hex digits; spaces and commas between them are ignored
 * @returns {Uint8Array}
 */
export function fromHex(hex) {
  const clean = hex.replace(/[\s,]/g, '');
  if (clean.length % 2 !== 0 || /[^0-9a-fA-F]/.test(clean)) throw new RangeError(`bad hex: ${hex}`);
  const out = new Uint8Array(clean.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(clean.slice(2 * i, 2 * i + 2), 16);
  return out;
}
