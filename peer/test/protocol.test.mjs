import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { describe, test } from 'node:test';

import {
  CodecError,
  FrameError,
  FrameKind,
  HEADER_LEN,
  decodeCloseStep,
  decodeEpisodeRequest,
  decodeErrorPayload,
  decodeFrame,
  decodeMatF64,
  decodeVecF64,
  decodeVecMatF64,
  encodeCloseStep,
  encodeEpisodeRequest,
  encodeErrorPayload,
  encodeFrame,
  encodeMatF64,
  encodeVecF64,
  encodeVecMatF64,
  fromHex,
  toHex,
} from '../protocol.js';

const vectors = JSON.parse(readFileSync(new URL('./vectors.json', import.meta.url), 'utf8'));

// A vector double is a number or the hex of its 8 wire bytes; compare and
// build everything as bytes so NaN payloads and -0.0 are checked exactly.
function doubleBytes(value) {
  if (typeof value === 'string') return fromHex(value);
  const out = new Uint8Array(8);
  new DataView(out.buffer).setFloat64(0, value, true);
  return out;
}

function doublesFrom(values) {
  const raw = new Uint8Array(8 * values.length);
  values.forEach((v, i) => raw.set(doubleBytes(v), 8 * i));
  return new Float64Array(raw.buffer);
}

function hexOfDoubles(arr) {
  return toHex(new Uint8Array(arr.buffer, arr.byteOffset, arr.byteLength));
}

const codecs = {
  VecF64: {
    encode: (v) => encodeVecF64(doublesFrom(v)),
    decode: decodeVecF64,
    same: (got, v) => assert.equal(hexOfDoubles(got), hexOfDoubles(doublesFrom(v))),
  },
  MatF64: {
    encode: (v) => encodeMatF64({ rows: v.rows, cols: v.cols, data: doublesFrom(v.data) }),
    decode: decodeMatF64,
    same: (got, v) => {
      assert.deepEqual([got.rows, got.cols], [v.rows, v.cols]);
      assert.equal(hexOfDoubles(got.data), hexOfDoubles(doublesFrom(v.data)));
    },
  },
  CloseStep: {
    encode: (v) => encodeCloseStep({ flags: v.flags, actions: v.actions, ratios: doublesFrom(v.ratios) }),
    decode: decodeCloseStep,
    same: (got, v) => {
      assert.deepEqual(Array.from(got.flags), v.flags);
      assert.deepEqual(Array.from(got.actions), v.actions);
      assert.equal(hexOfDoubles(got.ratios), hexOfDoubles(doublesFrom(v.ratios)));
    },
  },
  VecMatF64: {
    encode: (v) =>
      encodeVecMatF64({ vec: doublesFrom(v.vec), mat: { rows: v.mat.rows, cols: v.mat.cols, data: doublesFrom(v.mat.data) } }),
    decode: decodeVecMatF64,
    same: (got, v) => {
      assert.equal(hexOfDoubles(got.vec), hexOfDoubles(doublesFrom(v.vec)));
      codecs.MatF64.same(got.mat, v.mat);
    },
  },
};

describe('payload vectors (shared with the engine tests)', () => {
  for (const v of vectors.payloads) {
    test(`${v.name}: encode`, () => {
      assert.equal(toHex(codecs[v.format].encode(v.values)), v.hex);
    });
    test(`${v.name}: decode`, () => {
      codecs[v.format].same(codecs[v.format].decode(fromHex(v.hex)), v.values);
    });
  }
});

describe('payload decode errors', () => {
  for (const v of vectors.payload_errors) {
    test(v.name, () => {
      assert.throws(() => codecs[v.format].decode(fromHex(v.hex)), (e) => e instanceof CodecError && e.message === v.error);
    });
  }
});

// The worked examples in the protocol document, written out byte by byte so
// they do not depend on vectors.json being right.
describe('documented examples', () => {
  const cases = [
    ['VecF64 [1.0]', () => encodeVecF64([1.0]), '01 00 00 00 00 00 00 00 00 00 F0 3F'],
    ['VecF64 []', () => encodeVecF64([]), '00 00 00 00'],
    [
      'CloseStep flags [1] actions [-1] ratios [0.5]',
      () => encodeCloseStep({ flags: [1], actions: [-1], ratios: [0.5] }),
      '01 00 00 00 01 00 00 00 FF FF FF FF 00 00 00 00 00 00 E0 3F',
    ],
    [
      'VecMatF64 [2.0] + [[-3.0]]',
      () => encodeVecMatF64({ vec: [2.0], mat: { rows: 1, cols: 1, data: [-3.0] } }),
      '01 00 00 00, 00 00 00 00 00 00 00 40, 01 00 00 00, 01 00 00 00, 00 00 00 00 00 00 08 C0',
    ],
    [
      'close_positions([7, 8], [2, 1], [0.5, 0.9]) after ratio masking',
      () => encodeCloseStep({ flags: [7, 8], actions: [2, 1], ratios: [0.5, 0.0] }),
      '02 00 00 00, 07 00 00 00, 08 00 00 00, 02 00 00 00, 01 00 00 00, 00 00 00 00 00 00 E0 3F, 00 00 00 00 00 00 00 00',
    ],
    ['reset_episode(3, test)', () => encodeEpisodeRequest(3, 1), '03 00 00 00 01'],
    ['reset_episode(3, train)', () => encodeEpisodeRequest(3, 0), '03 00 00 00 00'],
  ];
  for (const [name, build, hex] of cases) {
    test(name, () => assert.equal(toHex(build()), toHex(fromHex(hex))));
  }

  test('place_order(buy, limit, 1.25, 100) request starts 0D 00 00 00, 1.0, 1.25', () => {
    const bytes = encodeVecF64([1, 1.25, -1, -1, -1, -1, 1, 1, 100, 0, 0, 0, 0]);
    assert.equal(bytes.length, 108);
    assert.equal(toHex(bytes.subarray(0, 20)), toHex(fromHex('0D000000 000000000000F03F 000000000000F43F')));
  });

  test('MatF64 2x3: 56 bytes, element (1, 0) is the fourth double', () => {
    const bytes = encodeMatF64({ rows: 2, cols: 3, data: [10, 11, 12, 20, 21, 22] });
    assert.equal(bytes.length, 56);
    assert.equal(toHex(bytes.subarray(0, 8)), '0200000003000000');
    assert.equal(new DataView(bytes.buffer).getFloat64(8 + 8 * 3, true), 20);
    assert.equal(decodeMatF64(bytes).data[3], 20);
  });

  test('MatF64 header 2^31 x 2^30 in 8 bytes reports 2^64 + 8', () => {
    assert.throws(
      () => decodeMatF64(fromHex('00 00 00 80 00 00 00 40')),
      { name: 'CodecError', message: 'MatF64 length mismatch: expected 18446744073709551624, got 8' },
    );
  });

  test('episode request decodes index and type', () => {
    assert.deepEqual(decodeEpisodeRequest(fromHex('2a000000 01')), { index: 42, type: 1 });
    assert.throws(() => decodeEpisodeRequest(fromHex('2a000000')), { message: 'episode request length mismatch: expected 5, got 4' });
  });
});

describe('doubles travel bit for bit', () => {
  const bitPatterns = [
    ['quiet NaN, payload 1', '010000000000f87f'],
    ['signalling NaN', '010000000000f07f'],
    ['negative NaN, payload 0xabc', 'bc0a00000000f8ff'],
    ['+inf', '000000000000f07f'],
    ['-inf', '000000000000f0ff'],
    ['-0.0', '0000000000000080'],
    ['smallest subnormal', '0100000000000000'],
    ['largest double', 'ffffffffffffef7f'],
  ];
  for (const [name, hex] of bitPatterns) {
    test(name, () => {
      const payload = fromHex(`01000000${hex}`);
      const decoded = decodeVecF64(payload);
      assert.equal(hexOfDoubles(decoded), hex);
      assert.equal(toHex(encodeVecF64(decoded)), toHex(payload));
      const mat = decodeMatF64(fromHex(`0100000001000000${hex}`));
      assert.equal(toHex(encodeMatF64(mat)), `0100000001000000${hex}`);
    });
  }

  test('plain numbers -0.0 and infinities encode to their IEEE bytes', () => {
    assert.equal(toHex(encodeVecF64([-0, Infinity, -Infinity])), '03000000' + '0000000000000080' + '000000000000f07f' + '000000000000f0ff');
    assert.ok(Object.is(decodeVecF64(encodeVecF64([-0]))[0], -0));
  });
});

describe('decoders read unaligned input and own their output', () => {
  test('a payload at an odd offset inside a larger buffer', () => {
    const hex = '010000000000000000000040010000000100000000000000000008c0';
    const big = new Uint8Array(1 + hex.length / 2 + 3);
    big.set(fromHex(hex), 1);
    const { vec, mat } = decodeVecMatF64(big.subarray(1, 1 + hex.length / 2));
    assert.deepEqual([Array.from(vec), mat.rows, mat.cols, Array.from(mat.data)], [[2], 1, 1, [-3]]);
  });

  test('changing the payload after decoding does not change the value', () => {
    const payload = encodeVecF64([1.5, 2.5]);
    const values = decodeVecF64(payload);
    payload.fill(0xff);
    assert.deepEqual(Array.from(values), [1.5, 2.5]);
  });

  test('ArrayBuffer input is accepted', () => {
    assert.deepEqual(Array.from(decodeVecF64(encodeVecF64([7]).buffer)), [7]);
  });
});

describe('encoders refuse values the format cannot carry', () => {
  const cases = [
    ['CloseStep arrays of different length', () => encodeCloseStep({ flags: [1, 2], actions: [2], ratios: [0.5] })],
    ['CloseStep flag above i32', () => encodeCloseStep({ flags: [2 ** 31], actions: [1], ratios: [0] })],
    ['CloseStep fractional action', () => encodeCloseStep({ flags: [1], actions: [1.5], ratios: [0] })],
    ['MatF64 data shorter than rows*cols', () => encodeMatF64({ rows: 2, cols: 2, data: [1, 2, 3] })],
    ['MatF64 negative rows', () => encodeMatF64({ rows: -1, cols: 0, data: [] })],
    ['VecMatF64 matrix too long', () => encodeVecMatF64({ vec: [], mat: { rows: 1, cols: 1, data: [1, 2] } })],
  ];
  for (const [name, fn] of cases) test(name, () => assert.throws(fn, RangeError));
});

describe('frame header', () => {
  for (const f of vectors.frames) {
    test(`${f.name}: encode`, () => {
      assert.equal(toHex(encodeFrame({ kind: f.kind, seq: f.seq, fnId: f.fnId, payload: fromHex(f.payload) })), f.hex);
    });
    test(`${f.name}: decode`, () => {
      const got = decodeFrame(fromHex(f.hex));
      assert.deepEqual({ ...got, payload: toHex(got.payload) }, { version: 1, kind: f.kind, seq: f.seq, fnId: f.fnId, payload: f.payload });
    });
  }

  test('field offsets: version 0, kind 1, seq 4, fnId 8, length 12, reserved zero', () => {
    const frame = encodeFrame({ kind: FrameKind.Response, seq: 0x04030201, fnId: 0x0605, payload: fromHex('aabbcc') });
    assert.equal(HEADER_LEN, 16);
    assert.equal(toHex(frame), '01020000' + '01020304' + '05060000' + '03000000' + 'aabbcc');
  });

  for (const f of vectors.frame_errors) {
    test(`rejects ${f.name}`, () => {
      assert.throws(() => decodeFrame(fromHex(f.hex)), (e) => e instanceof FrameError && e.message === f.error);
    });
  }

  const badHeaders = [
    ['seq above u32', { kind: 1, seq: 2 ** 32, fnId: 1 }],
    ['negative seq', { kind: 1, seq: -1, fnId: 1 }],
    ['fnId above u16', { kind: 1, seq: 1, fnId: 65536 }],
    ['kind above u8', { kind: 256, seq: 1, fnId: 1 }],
  ];
  for (const [name, header] of badHeaders) test(`refuses ${name}`, () => assert.throws(() => encodeFrame(header), RangeError));
});

describe('error payload', () => {
  for (const v of vectors.error_payloads) {
    test(`decode ${v.name}`, () => {
      assert.deepEqual(decodeErrorPayload(fromHex(v.hex)), { err: v.err, sub: v.sub, message: v.message });
    });
  }

  const encodeCases = [
    [3, 2, 'hello', '03000200' + '05000000' + toHex(new TextEncoder().encode('hello'))],
    [1, 0, '', '01000000' + '00000000'],
    [65535, 7, 'é', 'ffff0700' + '02000000' + 'c3a9'],
  ];
  for (const [err, sub, message, hex] of encodeCases) {
    test(`encode err=${err} sub=${sub} ${JSON.stringify(message)}`, () => {
      assert.equal(toHex(encodeErrorPayload(err, sub, message)), hex);
      assert.deepEqual(decodeErrorPayload(fromHex(hex)), { err, sub, message });
    });
  }
});
