import struct
import subprocess
import sys

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import py_engine_rust as m

U32_MAX = 2**32 - 1


def h(text):
    return bytes.fromhex(text)


def bits(a):
    return np.ascontiguousarray(a).view(np.uint8).tobytes()


def check_new_array(a, dtype, shape):
    assert type(a) is np.ndarray and a.dtype == np.dtype(dtype) and a.dtype.isnative
    assert a.shape == shape and a.flags.c_contiguous and a.flags.writeable and a.flags.owndata


# name, values, payload
VEC_CASES = [
    ("empty", [], h("00000000")),
    ("one", [1.0], h("01000000 000000000000F03F")),
    ("arange3", [0.0, 1.0, 2.0], bytes([3, 0, 0, 0] + [0] * 8 + [0] * 6 + [240, 63] + [0] * 7 + [64])),
    ("specials", [-0.0, np.inf, -np.inf], h("03000000 0000000000000080 000000000000F07F 000000000000F0FF")),
    ("nan_payloads", np.frombuffer(h("010000000000F07F 23010000000CF8FF"), "<f8"),
     h("02000000 010000000000F07F 23010000000CF8FF")),
]
# name, matrix, payload
MAT_CASES = [
    ("1x1", [[-3.0]], h("01000000 01000000 00000000000008C0")),
    ("2x3", [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], h("02000000 03000000 000000000000F03F 0000000000000040"
     "0000000000000840 0000000000001040 0000000000001440 0000000000001840")),
    ("3x0", np.zeros((3, 0)), h("03000000 00000000")),
    ("0x0", np.zeros((0, 0)), h("00000000 00000000")),
]
# name, flags, actions, ratios, payload
CLOSE_STEP_CASES = [
    ("empty", [], [], [], h("00000000")),
    ("one", [1], [-1], [0.5], h("01000000 01000000 FFFFFFFF 000000000000E03F")),
    ("extremes", [0, 2**31 - 1], [-(2**31), 3], [-0.0, np.inf],
     h("02000000 00000000 FFFFFF7F 00000080 03000000 0000000000000080 000000000000F07F")),
]


@pytest.mark.parametrize("name, values, payload", VEC_CASES, ids=[c[0] for c in VEC_CASES])
def test_vec_f64_both_ways(name, values, payload):
    assert m.encode_vec_f64_py(np.array(values, dtype=np.float64)) == list(payload)
    out = m.decode_vec_f64_py(payload)
    check_new_array(out, np.float64, (len(values),))
    assert bits(out) == bits(np.array(values, dtype=np.float64))


@pytest.mark.parametrize("name, mat, payload", MAT_CASES, ids=[c[0] for c in MAT_CASES])
def test_mat_f64_both_ways(name, mat, payload):
    mat = np.array(mat, dtype=np.float64)
    for layout in (mat, np.asfortranarray(mat), mat.T.copy().T):
        assert m.encode_mat_f64_py(layout) == list(payload)
    out = m.decode_mat_f64_py(payload)
    check_new_array(out, np.float64, mat.shape)
    assert bits(out) == bits(mat)


@pytest.mark.parametrize("name, flags, actions, ratios, payload", CLOSE_STEP_CASES,
                         ids=[c[0] for c in CLOSE_STEP_CASES])
def test_close_step_both_ways(name, flags, actions, ratios, payload):
    arrays = (np.array(flags, np.int32), np.array(actions, np.int32), np.array(ratios, np.float64))
    assert m.encode_close_step_py(*arrays) == list(payload)
    assert m.encode_close_step_py(ratios=arrays[2], flags=arrays[0], actions=arrays[1]) == list(payload)
    out = m.decode_close_step_py(payload)
    assert type(out) is tuple and len(out) == 3
    for got, want in zip(out, arrays):
        check_new_array(got, want.dtype, want.shape)
        assert bits(got) == bits(want)


# name, vec, matrix in the payload, the shape it decodes to, payload
VEC_MAT_CASES = [
    ("1+1x1", [2.0], [[-3.0]], (1, 1), h("01000000 0000000000000040 01000000 01000000 00000000000008C0")),
    ("empty", [], np.zeros((0, 0)), (0, 0), bytes(12)),
    ("rows0_cols5", [1.0], np.zeros((0, 5)), (0, 0), h("01000000 000000000000F03F 00000000 05000000")),
    ("rows7_cols0", [], np.zeros((7, 0)), (7, 0), h("00000000 07000000 00000000")),
]


@pytest.mark.parametrize("name, vec, mat, shape, payload", VEC_MAT_CASES, ids=[c[0] for c in VEC_MAT_CASES])
def test_vec_mat_f64(name, vec, mat, shape, payload):
    vec, mat = np.array(vec, np.float64), np.array(mat, np.float64)
    # The format is a VecF64 directly followed by a MatF64.
    assert m.encode_vec_f64_py(vec) + m.encode_mat_f64_py(mat) == list(payload)
    out = m.decode_vec_mat_f64_py(payload)
    assert type(out) is tuple and len(out) == 2
    check_new_array(out[0], np.float64, vec.shape)
    check_new_array(out[1], np.float64, shape)
    assert bits(out[0]) == bits(vec) and bits(out[1]) == bits(mat)


# A matrix is built from rows of `cols` elements: no rows means shape (0, 0), cols = 0 keeps the rows.
MAT_SHAPE_CASES = [
    ("rows0_cols3", h("00000000 03000000"), (0, 0)),
    ("rows_max_cols0", h("FFFFFFFF 00000000"), (U32_MAX, 0)),
]


@pytest.mark.parametrize("name, payload, shape", MAT_SHAPE_CASES, ids=[c[0] for c in MAT_SHAPE_CASES])
def test_mat_f64_degenerate_shapes(name, payload, shape):
    check_new_array(m.decode_mat_f64_py(payload), np.float64, shape)


# decoder, payload, message
DECODE_ERRORS = [
    (m.decode_vec_f64_py, b"", "VecF64 payload too short"),
    (m.decode_vec_f64_py, bytes(3), "VecF64 payload too short"),
    (m.decode_vec_f64_py, VEC_CASES[1][2] + b"\0", "VecF64 length mismatch: expected 12, got 13"),
    (m.decode_vec_f64_py, VEC_CASES[1][2][:-1], "VecF64 length mismatch: expected 12, got 11"),
    (m.decode_vec_f64_py, h("FFFFFFFF"), "VecF64 length mismatch: expected 34359738364, got 4"),
    (m.decode_mat_f64_py, bytes(7), "MatF64 payload too short"),
    (m.decode_mat_f64_py, h("00000080 00000040"), "MatF64 length mismatch: expected 18446744073709551624, got 8"),
    (m.decode_mat_f64_py, h("FFFFFFFF FFFFFFFF"), "MatF64 length mismatch: expected 147573952520956936208, got 8"),
    (m.decode_mat_f64_py, MAT_CASES[1][2] + b"\0", "MatF64 length mismatch: expected 56, got 57"),
    (m.decode_mat_f64_py, h("05000000 00000000 00"), "MatF64 length mismatch: expected 8, got 9"),
    (m.decode_close_step_py, bytes(3), "CloseStep payload too short"),
    (m.decode_close_step_py, CLOSE_STEP_CASES[1][4][:19], "CloseStep length mismatch: expected 20, got 19"),
    (m.decode_close_step_py, h("FFFFFFFF"), "CloseStep length mismatch: expected 68719476724, got 4"),
    (m.decode_vec_mat_f64_py, bytes(3), "VecMatF64 payload too short"),
    *[(m.decode_vec_mat_f64_py, bytes(n), "VecMatF64 missing matrix header") for n in range(4, 12)],
    (m.decode_vec_mat_f64_py, h("01000000") + bytes(15), "VecMatF64 missing matrix header"),
    (m.decode_vec_mat_f64_py, h("FFFFFFFF") + bytes(8), "VecMatF64 missing matrix header"),
    (m.decode_vec_mat_f64_py, bytes(13), "VecMatF64 length mismatch: expected 12, got 13"),
    (m.decode_vec_mat_f64_py, h("00000000 FFFFFFFF FFFFFFFF"),
     "VecMatF64 length mismatch: expected 147573952520956936212, got 12"),
]


@pytest.mark.parametrize("decode, payload, message", DECODE_ERRORS)
def test_decode_errors(decode, payload, message):
    with pytest.raises(ValueError) as e:
        decode(payload)
    assert e.value.args == (message,)


class Outer:
    class Inner:
        pass


class BytesSub(bytes):
    pass


# decoder, a payload it accepts
DECODERS = [(m.decode_vec_f64_py, VEC_CASES[2][2]), (m.decode_mat_f64_py, MAT_CASES[1][2]),
            (m.decode_close_step_py, CLOSE_STEP_CASES[2][4]), (m.decode_vec_mat_f64_py, VEC_MAT_CASES[0][4])]
# payload, its type's qualified name
NOT_BYTES = [(bytearray(12), "bytearray"), (memoryview(bytes(12)), "memoryview"), ([0] * 12, "list"),
             ("\0" * 12, "str"), (None, "NoneType"), (Outer.Inner(), "Outer.Inner")]


@pytest.mark.parametrize("decode", [d for d, _ in DECODERS])
@pytest.mark.parametrize("payload, type_name", NOT_BYTES)
def test_payload_must_be_bytes(decode, payload, type_name):
    with pytest.raises(TypeError) as e:
        decode(payload)
    assert e.value.args == (f"argument 'payload': '{type_name}' object cannot be converted to 'PyBytes'",)


@pytest.mark.parametrize("decode, valid", DECODERS)
def test_bytes_subclass_and_keyword_accepted(decode, valid):
    expected = repr(decode(valid))
    assert repr(decode(BytesSub(valid))) == expected and repr(decode(payload=valid)) == expected


I32, F64 = np.zeros(2, np.int32), np.zeros(2)
VEC, MAT, STEP = m.encode_vec_f64_py, m.encode_mat_f64_py, m.encode_close_step_py
NOT_CONTIGUOUS = "The given array is not contiguous"
NOT_ARRAY = "object cannot be converted to 'PyArray<T, D>'"
# function, arguments, exception, message
ENCODE_ERRORS = [
    (VEC, ([1.0, 2.0],), TypeError, f"argument 'arr': 'list' {NOT_ARRAY}"),
    (VEC, (np.float64(1),), TypeError, f"argument 'arr': 'float64' {NOT_ARRAY}"),
    (VEC, (np.arange(3),), TypeError, "argument 'arr': type mismatch:\n from=int64, to=float64"),
    (VEC, (np.zeros(3, np.float32),), TypeError, "argument 'arr': type mismatch:\n from=float32, to=float64"),
    (VEC, (np.zeros(3, ">f8"),), TypeError, "argument 'arr': type mismatch:\n from=>f8, to=float64"),
    (VEC, (np.zeros((2, 2)),), TypeError, "argument 'arr': dimensionality mismatch:\n from=2, to=1"),
    (VEC, (np.zeros(()),), TypeError, "argument 'arr': dimensionality mismatch:\n from=0, to=1"),
    (VEC, (np.zeros(4)[::2],), TypeError, NOT_CONTIGUOUS),
    (MAT, (np.zeros(3),), TypeError, "argument 'mat': dimensionality mismatch:\n from=1, to=2"),
    (MAT, (np.zeros((2, 2), np.int32),), TypeError, "argument 'mat': type mismatch:\n from=int32, to=float64"),
    (MAT, (np.zeros((2, 4))[:, ::2],), TypeError, NOT_CONTIGUOUS),
    (MAT, (np.zeros((U32_MAX + 1, 0)),), ValueError, "MatF64 cannot hold more than 4294967295 rows"),
    (MAT, (np.zeros((0, U32_MAX + 1)),), ValueError, "MatF64 cannot hold more than 4294967295 columns"),
    # Each argument is converted in order before any contiguity check, and contiguity before lengths.
    (STEP, (np.array([1, 0]), "x", None), TypeError, "argument 'flags': type mismatch:\n from=int64, to=int32"),
    (STEP, (I32.astype(">i4"), I32, F64), TypeError, "argument 'flags': type mismatch:\n from=>i4, to=int32"),
    (STEP, (I32, [0, 0], F64[::2]), TypeError, f"argument 'actions': 'list' {NOT_ARRAY}"),
    (STEP, (I32[::2], I32, F64.astype(np.float32)), TypeError,
     "argument 'ratios': type mismatch:\n from=float32, to=float64"),
    (STEP, (I32, np.zeros(4, np.int32)[::2], F64[:1]), TypeError, NOT_CONTIGUOUS),
    (STEP, (I32[:1], I32, F64[:1]), ValueError, "close_step shape mismatch: flags=1, actions=2, ratios=1"),
]


@pytest.mark.parametrize("encode, args, exc, message", ENCODE_ERRORS)
def test_encode_errors(encode, args, exc, message):
    with pytest.raises(exc) as e:
        encode(*args)
    assert e.value.args == (message,)


def test_counts_beyond_32_bits_refused(tmp_path):
    # A sparse file gives arrays of 2^32 elements without the memory; the count is refused before any read.
    path = tmp_path / "huge"
    with open(path, "wb") as f:
        f.truncate(8 * (U32_MAX + 1))
    big = np.memmap(path, dtype="<f8", mode="r", shape=(U32_MAX + 1,))
    big32 = np.memmap(path, dtype="<i4", mode="r", shape=(U32_MAX + 1,))
    with pytest.raises(ValueError, match="^VecF64 cannot hold more than 4294967295 elements$"):
        m.encode_vec_f64_py(big)
    with pytest.raises(ValueError, match="^CloseStep cannot hold more than 4294967295 elements$"):
        m.encode_close_step_py(big32, big32, big)


class Sub(np.ndarray):
    pass


ROW_MAJOR = np.arange(6.0).reshape(2, 3)
ROW_MAJOR_PAYLOAD = struct.pack("<II6d", 2, 3, *range(6))
UNALIGNED = np.frombuffer(b"\0" + ROW_MAJOR.tobytes(), dtype="<f8", offset=1)
# name, matrix in some memory layout, payload
MAT_LAYOUTS = [
    ("c_order", ROW_MAJOR, ROW_MAJOR_PAYLOAD),
    ("fortran", np.asfortranarray(ROW_MAJOR), ROW_MAJOR_PAYLOAD),
    ("transpose", ROW_MAJOR.T, struct.pack("<II6d", 3, 2, 0, 3, 1, 4, 2, 5)),
    ("read_only", np.frombuffer(ROW_MAJOR.tobytes()).reshape(2, 3), ROW_MAJOR_PAYLOAD),
    ("unaligned_c", UNALIGNED.reshape(2, 3), ROW_MAJOR_PAYLOAD),
    ("unaligned_f", UNALIGNED.reshape(3, 2, order="F"), struct.pack("<II6d", 3, 2, 0, 3, 1, 4, 2, 5)),
    ("subclass", ROW_MAJOR.view(Sub), ROW_MAJOR_PAYLOAD),
    ("odd_stride_row", as_strided(ROW_MAJOR, shape=(1, 3), strides=(12345, 8)), struct.pack("<II3d", 1, 3, 0, 1, 2)),
]


@pytest.mark.parametrize("name, mat, payload", MAT_LAYOUTS, ids=[c[0] for c in MAT_LAYOUTS])
def test_mat_layouts_written_row_major(name, mat, payload):
    assert m.encode_mat_f64_py(mat=mat) == list(payload)
    out = m.decode_mat_f64_py(payload)
    assert out.shape == mat.shape and bits(out) == bits(np.asarray(mat))


def test_unaligned_and_read_only_vectors():
    vec = UNALIGNED[1:]
    assert not vec.flags.aligned and not vec.flags.writeable
    assert m.encode_vec_f64_py(arr=vec) == list(struct.pack("<I5d", 5, 1, 2, 3, 4, 5))
    ints = np.frombuffer(b"\0" + struct.pack("<2i", -5, 7), dtype="<i4", offset=1)
    assert m.encode_close_step_py(ints, ints, vec[:2]) == list(struct.pack("<I4i2d", 2, -5, 7, -5, 7, 1, 2))


def _large(n: int, offset: int) -> np.ndarray:
    """n doubles of every kind (NaN payloads, -0.0, subnormals among them), `offset` bytes into a buffer."""
    bits_ = np.random.default_rng(n).integers(0, 2**64, size=n, dtype=np.uint64)
    bits_[:4] = [0x7FF8_0000_0000_0001, 0x8000_0000_0000_0000, 1, 0xFFF0_0000_0000_0000]
    return np.frombuffer(b"\0" * offset + bits_.tobytes(), dtype="<f8", offset=offset)


# Payloads of 4 MiB and more are copied by another path than small ones; sources at any alignment.
@pytest.mark.parametrize("offset", [0, 1, 12], ids=lambda o: f"source_offset_{o}")
def test_large_payloads_are_encoded_bit_for_bit(offset):
    vec = _large(600_001, offset)
    assert bytes(m.encode_vec_f64_py(vec)) == struct.pack("<I", vec.size) + vec.tobytes()
    mat = vec[1:].reshape(120_000, 5)
    assert bytes(m.encode_mat_f64_py(mat)) == struct.pack("<II", 120_000, 5) + mat.tobytes()
    ints = np.arange(vec.size, dtype="<i4")
    flipped = ints[::-1].copy()
    assert bytes(m.encode_close_step_py(ints, flipped, vec)) == (
        struct.pack("<I", vec.size) + ints.tobytes() + flipped.tobytes() + vec.tobytes()
    )


# function, args, kwargs, message
CALL_ERRORS = [
    (m.decode_vec_f64_py, (), {}, "decode_vec_f64_py() missing required argument 'payload' (pos 1)"),
    (m.decode_vec_f64_py, (b"", b""), {}, "decode_vec_f64_py() takes at most 1 argument (2 given)"),
    (m.decode_vec_f64_py, (b"",), {"payload": b""}, "decode_vec_f64_py() takes at most 1 argument (2 given)"),
    (m.decode_vec_f64_py, (), {"x": b""}, "decode_vec_f64_py() missing required argument 'payload' (pos 1)"),
    (m.decode_mat_f64_py, (), {"payload": b"", "x": 1},
     "decode_mat_f64_py() takes at most 1 keyword argument (2 given)"),
    (m.encode_mat_f64_py, (), {"arr": ROW_MAJOR}, "encode_mat_f64_py() missing required argument 'mat' (pos 1)"),
    (m.encode_close_step_py, (I32, I32), {}, "encode_close_step_py() missing required argument 'ratios' (pos 3)"),
    (m.encode_close_step_py, (I32, I32, F64, F64), {}, "encode_close_step_py() takes at most 3 arguments (4 given)"),
    (m.encode_close_step_py, (I32,), {"flags": I32, "ratios": F64},
     "encode_close_step_py() missing required argument 'actions' (pos 2)"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", CALL_ERRORS)
def test_call_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        fn(*args, **kwargs)
    assert e.value.args == (message,)


SIGNATURES = [
    ("decode_vec_f64_py", "(payload)", "Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"),
    ("decode_mat_f64_py", "(payload)", "Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"),
    ("decode_close_step_py", "(payload)",
     "Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."),
    ("decode_vec_mat_f64_py", "(payload)", "Decode VecF64 + MatF64 payload into (vec, mat)."),
    ("encode_vec_f64_py", "(arr)", None),
    ("encode_mat_f64_py", "(mat)", None),
    ("encode_close_step_py", "(flags, actions, ratios)", None),
]


@pytest.mark.parametrize("name, signature, doc", SIGNATURES)
def test_signature_and_doc(name, signature, doc):
    fn = getattr(m, name)
    assert (fn.__text_signature__, fn.__doc__, fn.__module__, fn.__name__) == (signature, doc, "py_engine_rust", name)


SPECIAL_BITS = [0x7FF0000000000001, 0x7FF8000000000ABC, 0xFFF4000000000123, 0x7FF0000000000000,
                0xFFF0000000000000, 0x8000000000000000, 0x0000000000000001, 0x800FFFFFFFFFFFFF]


def random_f64(rng, n):
    # Raw random bit patterns, with the special ones planted at random places.
    raw = np.frombuffer(rng.bytes(8 * n), dtype="<u8").copy()
    if n:
        raw[rng.integers(0, n, size=min(n, 4))] = rng.choice(np.array(SPECIAL_BITS, dtype="<u8"), size=min(n, 4))
    return raw.tobytes()


def test_property_random_payloads():
    rng = np.random.default_rng(20240611)
    for _ in range(300):
        n, rows, cols = (int(x) for x in rng.integers(0, 12, size=3))
        vec, mat = random_f64(rng, n), random_f64(rng, rows * cols)
        flags, actions = rng.bytes(4 * n), rng.bytes(4 * n)
        ref_vec = np.frombuffer(vec, "<f8")
        ref_mat = np.frombuffer(mat, "<f8").reshape(rows, cols)
        ref_flags, ref_actions = np.frombuffer(flags, "<i4"), np.frombuffer(actions, "<i4")
        vec_payload = struct.pack("<I", n) + vec
        mat_payload = struct.pack("<II", rows, cols) + mat
        step_payload = struct.pack("<I", n) + flags + actions + vec

        assert m.encode_vec_f64_py(ref_vec) == list(vec_payload)
        assert bits(m.decode_vec_f64_py(vec_payload)) == vec
        layout = [ref_mat, np.asfortranarray(ref_mat), ref_mat.T.copy().T][int(rng.integers(0, 3))]
        assert m.encode_mat_f64_py(layout) == list(mat_payload)
        got = m.decode_mat_f64_py(mat_payload)
        assert got.shape == (ref_mat.shape if rows else (0, 0)) and bits(got) == mat
        assert m.encode_close_step_py(ref_flags, ref_actions, ref_vec) == list(step_payload)
        f, a, r = m.decode_close_step_py(step_payload)
        assert (bits(f), bits(a), bits(r)) == (flags, actions, vec)
        v, mm = m.decode_vec_mat_f64_py(vec_payload + mat_payload)
        assert bits(v) == vec and bits(mm) == mat and mm.shape == got.shape


def reference_error(fmt, p):
    # The decoders' checks in order, with Python's unbounded ints.
    def u32(off):
        return struct.unpack_from("<I", p, off)[0]

    name = {"vec": "VecF64", "mat": "MatF64", "step": "CloseStep", "vecmat": "VecMatF64"}[fmt]
    if len(p) < (8 if fmt == "mat" else 4):
        return f"{name} payload too short"
    if fmt == "vec":
        expected = 4 + 8 * u32(0)
    elif fmt == "mat":
        expected = 8 + 8 * u32(0) * u32(4)
    elif fmt == "step":
        expected = 4 + 16 * u32(0)
    else:
        header = 4 + 8 * u32(0)
        if len(p) < header + 8:
            return "VecMatF64 missing matrix header"
        expected = header + 8 + 8 * u32(header) * u32(header + 4)
    return None if expected == len(p) else f"{name} length mismatch: expected {expected}, got {len(p)}"


def payload_elements(fmt, p):
    if fmt == "vecmat":
        header = 4 + 8 * struct.unpack_from("<I", p)[0]
        return p[4:header] + p[header + 8:]
    return p[8 if fmt == "mat" else 4:]


def test_property_hostile_payloads():
    rng = np.random.default_rng(7)
    decoders = {"vec": m.decode_vec_f64_py, "mat": m.decode_mat_f64_py, "step": m.decode_close_step_py,
                "vecmat": m.decode_vec_mat_f64_py}
    outcomes = {"decoded": 0, "refused": 0}
    for _ in range(3000):
        fmt = list(decoders)[int(rng.integers(0, 4))]
        n, rows, cols = (int(x) for x in rng.integers(0, 4, size=3))
        vec = struct.pack("<I", n) + rng.bytes(8 * n)
        mat = struct.pack("<II", rows, cols) + rng.bytes(8 * rows * cols)
        step = struct.pack("<I", n) + rng.bytes(16 * n)
        p = bytearray({"vec": vec, "mat": mat, "step": step, "vecmat": vec + mat}[fmt])
        mutation = int(rng.integers(0, 4))  # keep, cut, extend, or put a random count in a header field
        if mutation == 1:
            del p[int(rng.integers(0, len(p) + 1)):]
        elif mutation == 2:
            p += rng.bytes(int(rng.integers(1, 9)))
        elif mutation == 3 and len(p) >= 4:
            off = {"vec": [0], "step": [0], "mat": [0, 4], "vecmat": [0, 4 + 8 * n, 8 + 8 * n]}[fmt]
            off = off[int(rng.integers(0, len(off)))]
            if off + 4 <= len(p):
                p[off:off + 4] = rng.bytes(4)
        p = bytes(p)
        message = reference_error(fmt, p)
        if message is None:
            out = decoders[fmt](p)
            outs = out if isinstance(out, tuple) else (out,)
            assert b"".join(bits(a) for a in outs) == payload_elements(fmt, p)
            outcomes["decoded"] += 1
        else:
            with pytest.raises(ValueError) as e:
                decoders[fmt](p)
            assert e.value.args == (message,)
            outcomes["refused"] += 1
    assert min(outcomes.values()) > 500, outcomes


def test_numpy_import_error_is_kept_and_retried():
    script = (
        "import sys, py_engine_rust as m\n"
        "sys.modules['numpy'] = None\n"
        "try: m.decode_vec_f64_py(bytes(4))\n"
        "except ImportError as e: print(type(e).__name__, e)\n"
        "try: m.decode_vec_f64_py(bytes(3))\n"
        "except ValueError as e: print(e)\n"
        "del sys.modules['numpy']\n"
        "print(m.decode_vec_f64_py(bytes(4)).shape)\n"
    )
    out = subprocess.run([sys.executable, "-W", "error", "-c", script], capture_output=True, text=True, check=True)
    # NumPy's own exception, not the generic ImportError of import_array().
    first, *rest = out.stdout.splitlines()
    assert first.startswith("ModuleNotFoundError ") and "failed to import" not in first
    assert rest == ["VecF64 payload too short", "(0,)"]
