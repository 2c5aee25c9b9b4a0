"""The fourteen commands end to end against a scripted UI peer: request frames, results, argument checks."""

from __future__ import annotations

import asyncio
import contextlib
import gc
import math
import struct
import sys
from fractions import Fraction

import numpy as np
import pytest

from conftest import run
from support import (
    ScriptedPeer,
    engine_and_peer,
    error_response,
    failure_of,
    no_answer,
    reserved_port,
    response,
    started_engine,
    transport_text,
)
from support.fn_ids import (
    CLOSE_POSITIONS,
    END_SESSION,
    FETCH_EVENTS,
    GET_OHLC,
    GET_RL_CONFIG,
    GET_SNAPSHOT,
    GET_SYNC_POLICY,
    GET_TICKET_LIST,
    INIT_CANDLES,
    PLACE_ORDER,
    PLACE_TICKET,
    RESET_EPISODE,
    STEP_AND_SYNC,
    STEP_NEXT,
)

# ---- Wire helpers -------------------------------------------------------------------------------------------


def f64s(*values: float) -> bytes:
    return struct.pack(f"<{len(values)}d", *values)


def vec(*values: float) -> bytes:
    """A VecF64 payload."""
    return struct.pack("<I", len(values)) + f64s(*values)


def mat(rows: int, cols: int, *values: float) -> bytes:
    """A MatF64 payload."""
    return struct.pack("<II", rows, cols) + f64s(*values)


def bits(u: int) -> float:
    """The double with these 64 bits."""
    return struct.unpack("<d", struct.pack("<Q", u))[0]


NAN_WITH_PAYLOAD = bits(0x7FF8_0000_0000_0123)
SUBNORMAL = bits(1)

VECMAT_2_AND_MINUS_3 = bytes.fromhex("01000000 0000000000000040 01000000 01000000 00000000000008C0")


class IndexOnly:
    """An integer value through __index__ alone."""

    def __init__(self, v: int) -> None:
        self.v = v

    def __index__(self) -> int:
        return self.v


class FloatOnly:
    """A float value through __float__ alone."""

    def __init__(self, v: float) -> None:
        self.v = v

    def __float__(self) -> float:
        return self.v


# ---- The commands with one canonical call each --------------------------------------------------------------

# What the peer answers for each fnId unless a test says otherwise, and the Python result of that answer.
CANONICAL = {
    INIT_CANDLES: (b"", None),
    RESET_EPISODE: (bytes.fromhex("2A000000FF"), 42),
    GET_RL_CONFIG: (b'{"seed":1}', '{"seed":1}'),
    STEP_NEXT: (b"", None),
    STEP_AND_SYNC: (VECMAT_2_AND_MINUS_3, (np.array([[-3.0]]), np.array([2.0]))),
    GET_SNAPSHOT: (vec(1.0, -2.5), np.array([1.0, -2.5])),
    GET_TICKET_LIST: (mat(2, 3, 1, 2, 3, 4, 5, 6), np.array([[1.0, 2, 3], [4, 5, 6]])),
    GET_OHLC: (mat(3, 1, 7, 8, 9), np.array([[7.0], [8], [9]])),
    FETCH_EVENTS: (mat(1, 4, 0.5, -0.5, 1e300, -1e-300), np.array([[0.5, -0.5, 1e300, -1e-300]])),
    END_SESSION: (mat(0, 5), np.zeros((0, 0))),
    GET_SYNC_POLICY: (b"\x01", "eager"),
    CLOSE_POSITIONS: (mat(2, 2, 1, 0, 0, 1), np.eye(2)),
    PLACE_ORDER: (vec(1.0, 2.0, 3.0), np.array([1.0, 2.0, 3.0])),
    PLACE_TICKET: (vec(7.0), np.array([7.0])),
}

CANDLES = np.arange(15.0).reshape(3, 5)
CANDLES_PAYLOAD = struct.pack("<II", 3, 5) + f64s(*range(15))
ORDER_PAYLOAD = vec(1.0, 1.25, -1, -1, -1, -1, 1, 1, 100, 0, 0, 0, 0)
TICKET_PAYLOAD = vec(1.0, 0, 0, 0, 0, 5, 0, 0, 0)
CLOSE_PAYLOAD = bytes.fromhex(
    "02000000 07000000 08000000 02000000 01000000 000000000000E03F 0000000000000000"
)

# (method, args, fnId, request payload), in the order the class defines them.
COMMANDS = [
    ("init_candles", (CANDLES,), INIT_CANDLES, CANDLES_PAYLOAD),
    ("reset_episode", (3, "TEST"), RESET_EPISODE, bytes.fromhex("0300000001")),
    ("get_rl_config", (), GET_RL_CONFIG, b""),
    ("step_next", (), STEP_NEXT, b""),
    ("step_and_sync", (), STEP_AND_SYNC, b""),
    ("get_snapshot", (), GET_SNAPSHOT, b""),
    ("get_ticket_list", (), GET_TICKET_LIST, b""),
    ("get_ohlc", (), GET_OHLC, b""),
    ("fetch_events", (), FETCH_EVENTS, b""),
    ("end_session", (), END_SESSION, b""),
    ("get_sync_policy", (), GET_SYNC_POLICY, b""),
    ("close_positions", ([7, 8], [2, 1], [0.5, 0.9]), CLOSE_POSITIONS, CLOSE_PAYLOAD),
    ("place_order", ("buy", "limit", 1.25, 100), PLACE_ORDER, ORDER_PAYLOAD),
    ("place_ticket", ("sell", 5), PLACE_TICKET, TICKET_PAYLOAD),
]
COMMAND_IDS = [c[0] for c in COMMANDS]


def answer_canonical(peer: ScriptedPeer, request) -> bytes:
    return response(request.seq, request.fn_id, CANONICAL[request.fn_id][0])


def answer(payload: bytes):
    return lambda peer, request: response(request.seq, request.fn_id, payload)


def assert_request(frame, seq: int, fn_id: int, payload: bytes) -> None:
    header = (frame.version, frame.kind, frame.reserved1, frame.seq, frame.fn_id, frame.reserved2, frame.length)
    assert header == (1, 1, 0, seq, fn_id, 0, len(payload))
    assert frame.payload.hex(" ") == payload.hex(" ")
    assert len(frame.raw) == 16 + len(payload)


def assert_new_array(a, expected: np.ndarray) -> None:
    """A fresh, writeable, C-contiguous native float64 array holding exactly these bits."""
    assert type(a) is np.ndarray
    assert a.dtype == np.dtype("=f8") and a.dtype.isnative
    assert a.shape == expected.shape
    assert a.flags.c_contiguous and a.flags.writeable
    assert a.tobytes() == expected.astype("=f8").tobytes()


def assert_result(result, expected) -> None:
    if isinstance(expected, np.ndarray):
        assert_new_array(result, expected)
    elif isinstance(expected, tuple):
        assert type(result) is tuple and len(result) == len(expected)
        for r, e in zip(result, expected):
            assert_result(r, e)
    else:
        assert type(result) is type(expected) and result == expected


async def assert_nothing_sent(engine, peer) -> None:
    """The peer has seen no request, and the next call still carries the first seq."""
    assert peer.requests == []
    assert await asyncio.wait_for(engine.get_sync_policy(), 2.0) == "eager"
    assert [(r.seq, r.fn_id) for r in peer.requests] == [(1, GET_SYNC_POLICY)]


def refused(call, exc, message):
    """Runs `call(engine)` on a connected engine: it must raise exc(message) itself and send nothing."""

    async def main():
        async with engine_and_peer(answer_canonical) as (engine, peer):
            with pytest.raises(BaseException) as info:
                call(engine)
            await assert_nothing_sent(engine, peer)
            return info.value

    error = run(main(), 10)
    assert type(error) is exc, f"{type(error).__name__}: {error}"
    assert error.args == (message,)


def sent(call, handler=answer_canonical):
    """Runs `call(engine)` on a connected engine and awaits it; returns (the only request, the result)."""

    async def main():
        async with engine_and_peer(handler) as (engine, peer):
            result = await asyncio.wait_for(call(engine), 2.0)
            assert len(peer.requests) == 1
            return peer.requests[0], result

    return run(main(), 10)


# ---- Every command: request frame and result ------------------------------------------------------------------


@pytest.mark.parametrize("name, args, fn_id, payload", COMMANDS, ids=COMMAND_IDS)
def test_command_sends_its_frame_and_returns_the_converted_answer(name, args, fn_id, payload):
    request, result = sent(lambda e: getattr(e, name)(*args))
    assert_request(request, 1, fn_id, payload)
    assert_result(result, CANONICAL[fn_id][1])


def test_all_commands_in_one_session_take_consecutive_seqs_and_wrap():
    async def main():
        async with engine_and_peer(answer_canonical, start_seq=4294967294) as (engine, peer):
            results = [await asyncio.wait_for(getattr(engine, name)(*args), 2.0) for name, args, _, _ in COMMANDS]
            return peer.requests, results

    requests, results = run(main(), 10)
    seqs = [4294967294, 4294967295] + list(range(len(COMMANDS) - 2))
    assert len(requests) == len(COMMANDS)
    for request, seq, (_, _, fn_id, payload), result in zip(requests, seqs, COMMANDS, results):
        assert_request(request, seq, fn_id, payload)
        assert_result(result, CANONICAL[fn_id][1])


@pytest.mark.parametrize("name, args, fn_id, payload", COMMANDS, ids=COMMAND_IDS)
def test_command_without_a_peer_fails_with_its_fn_id(name, args, fn_id, payload):
    async def main():
        with reserved_port() as port:
            engine = await started_engine(port)
            return await failure_of(getattr(engine, name)(*args))

    assert run(main(), 10) == transport_text(None, fn_id, "no websocket connected")


@pytest.mark.parametrize("name, args, fn_id, payload", COMMANDS, ids=COMMAND_IDS)
def test_command_reports_an_error_response_and_keeps_the_connection(name, args, fn_id, payload):
    def handler(peer, request):
        if request.seq == 1:
            return error_response(request.seq, request.fn_id, 3, 2, "refusé".encode())
        return answer_canonical(peer, request)

    async def main():
        async with engine_and_peer(handler) as (engine, peer):
            text = await failure_of(getattr(engine, name)(*args))
            again = await asyncio.wait_for(getattr(engine, name)(*args), 2.0)
            return text, again, [(r.seq, r.fn_id) for r in peer.requests]

    text, again, requests = run(main(), 10)
    assert text == f"RpcError(seq=1, fnId={fn_id}, err=3, sub=2): refusé"
    assert_result(again, CANONICAL[fn_id][1])
    assert requests == [(1, fn_id), (2, fn_id)]


@pytest.mark.parametrize("name", ["get_snapshot", "get_ohlc", "step_and_sync", "close_positions", "place_order"])
def test_array_results_are_new_objects_every_time(name):
    args = dict((c[0], c[1]) for c in COMMANDS)[name]

    async def main():
        async with engine_and_peer(answer_canonical) as (engine, peer):
            call = getattr(engine, name)
            return await asyncio.wait_for(call(*args), 2.0), await asyncio.wait_for(call(*args), 2.0)

    first, second = run(main(), 10)
    if name == "step_and_sync":
        pairs = list(zip(first, second))
    else:
        pairs = [(first, second)]
    for a, b in pairs:
        assert a is not b and not np.shares_memory(a, b)
        expected = b.copy()
        a[...] = 99.0
        assert b.tobytes() == expected.tobytes()


# ---- Results of the numeric answers ---------------------------------------------------------------------------


NUMERIC_ANSWERS = [
    ("empty vector", "get_snapshot", vec(), np.zeros(0)),
    ("special values", "get_snapshot", vec(NAN_WITH_PAYLOAD, -0.0, math.inf, -math.inf, SUBNORMAL),
     np.array([NAN_WITH_PAYLOAD, -0.0, math.inf, -math.inf, SUBNORMAL])),
    ("long vector", "get_snapshot", vec(*range(1000)), np.arange(1000.0)),
    ("2x3 row by row", "get_ticket_list", mat(2, 3, 1, 2, 3, 4, 5, 6), np.array([[1.0, 2, 3], [4, 5, 6]])),
    ("no rows", "get_ohlc", mat(0, 5), np.zeros((0, 0))),
    ("no rows no cols", "get_ohlc", mat(0, 0), np.zeros((0, 0))),
    ("no cols", "get_ohlc", mat(3, 0), np.zeros((3, 0))),
    ("most rows, no cols", "get_ohlc", mat(0xFFFFFFFF, 0), np.zeros((0xFFFFFFFF, 0))),
    ("special values in a matrix", "get_ohlc", mat(1, 2, NAN_WITH_PAYLOAD, -0.0), np.array([[NAN_WITH_PAYLOAD, -0.0]])),
    ("4x2", "fetch_events", mat(4, 2, *range(8)), np.arange(8.0).reshape(4, 2)),
    ("1x1", "end_session", mat(1, 1, -7.5), np.array([[-7.5]])),
    ("matrix first", "step_and_sync", VECMAT_2_AND_MINUS_3, (np.array([[-3.0]]), np.array([2.0]))),
    ("twelve zero bytes", "step_and_sync", bytes(12), (np.zeros((0, 0)), np.zeros(0))),
    ("3 and 2x2", "step_and_sync", vec(1, 2, 3) + mat(2, 2, 4, 5, 6, 7), (np.array([[4.0, 5], [6, 7]]), np.array([1.0, 2, 3]))),
    ("no rows after an empty vector", "step_and_sync", vec() + mat(0, 3), (np.zeros((0, 0)), np.zeros(0))),
    ("no cols after a vector", "step_and_sync", vec(1) + mat(2, 0), (np.zeros((2, 0)), np.array([1.0]))),
]


@pytest.mark.parametrize(
    "name, answer_payload, expected", [pytest.param(*case[1:], id=case[0]) for case in NUMERIC_ANSWERS]
)
def test_numeric_answers_become_float64_arrays(name, answer_payload, expected):
    _, result = sent(lambda e: getattr(e, name)(), answer(answer_payload))
    assert_result(result, expected)


LARGE_COLUMN = np.arange(600_000.0).reshape(600_000, 1)  # a 4.8 MB message: a block mapped on its own

# 2-D results with elements are arrays over the received message itself. After a vector and its count,
# step_and_sync's elements arrive 4 bytes off 8-byte alignment, whatever the vector's length.
OVER_THE_MESSAGE = [
    ("2x3", "get_ticket_list", mat(2, 3, 1, 2, 3, 4, 5, 6), np.array([[1.0, 2, 3], [4, 5, 6]])),
    ("special values", "fetch_events", mat(1, 2, NAN_WITH_PAYLOAD, -0.0), np.array([[NAN_WITH_PAYLOAD, -0.0]])),
    ("4.8 MB", "get_ohlc", mat(600_000, 1, *LARGE_COLUMN.ravel()), LARGE_COLUMN),
    ("after an empty vector", "step_and_sync", vec() + mat(2, 2, 4, 5, 6, 7), np.array([[4.0, 5], [6, 7]])),
    ("after a vector of 1", "step_and_sync", vec(1) + mat(1, 3, -1, -2, -3), np.array([[-1.0, -2, -3]])),
    ("after a vector of 2", "step_and_sync", vec(1, 2) + mat(3, 1, 7, 8, 9), np.array([[7.0], [8], [9]])),
]


@pytest.mark.parametrize(
    "name, answer_payload, expected", [pytest.param(*case[1:], id=case[0]) for case in OVER_THE_MESSAGE]
)
def test_matrix_results_are_arrays_over_the_received_message(name, answer_payload, expected):
    async def main():
        async with engine_and_peer(answer(answer_payload)) as (engine, peer):
            first = await asyncio.wait_for(getattr(engine, name)(), 5.0)
            second = await asyncio.wait_for(getattr(engine, name)(), 5.0)
            return first, second

    first, second = run(main(), 20)
    if name == "step_and_sync":
        (a, vector), (b, _) = first, second
        assert vector.flags.owndata and vector.base is None  # the vector is copied out before the matrix
    else:
        a, b = first, second
    assert_new_array(a, expected)
    assert not a.flags.owndata
    assert repr(a.base).startswith('<capsule object "engine.message" at ')
    assert a.base is not b.base and not np.shares_memory(a, b)
    assert a.flags.aligned and a.ctypes.data % 8 == 0
    # The base keeps the message alive for any view that outlives the array.
    view = a[-1:]
    del first, second, a, b
    gc.collect()
    assert view.tobytes() == expected[-1:].tobytes()
    view[...] = 0.5
    assert (view == 0.5).all()


@pytest.mark.parametrize(
    "name, answer_payload, shape",
    [("get_ohlc", mat(0, 5), (0, 0)), ("get_ohlc", mat(4, 0), (4, 0)), ("step_and_sync", vec(1) + mat(0, 2), (0, 0))],
)
def test_matrix_results_without_elements_are_arrays_of_their_own(name, answer_payload, shape):
    _, result = sent(lambda e: getattr(e, name)(), answer(answer_payload))
    a = result[0] if name == "step_and_sync" else result
    assert_new_array(a, np.zeros(shape))
    assert a.base is None and a.flags.owndata


UNDECODABLE = [
    ("get_snapshot", (), vec(1.0) + b"\x00", "VecF64 length mismatch: expected 12, got 13"),
    ("get_snapshot", (), b"\x01\x00\x00", "VecF64 payload too short"),
    ("get_snapshot", (), vec(1.0)[:-1], "VecF64 length mismatch: expected 12, got 11"),
    ("place_order", ("buy", "limit", 1.0, 1), b"", "VecF64 payload too short"),
    ("place_ticket", ("buy", 1), struct.pack("<I", 2) + f64s(1.0), "VecF64 length mismatch: expected 20, got 12"),
    ("place_ticket", ("buy", 1), struct.pack("<I", 0xFFFFFFFF), "VecF64 length mismatch: expected 34359738364, got 4"),
    ("get_ohlc", (), bytes(7), "MatF64 payload too short"),
    ("get_ticket_list", (), struct.pack("<II", 2, 3) + bytes(40), "MatF64 length mismatch: expected 56, got 48"),
    ("fetch_events", (), mat(1, 1, 1.0) + b"\x00", "MatF64 length mismatch: expected 16, got 17"),
    ("end_session", (), b"", "MatF64 payload too short"),
    ("get_ohlc", (), struct.pack("<II", 2**31, 2**30), "MatF64 length mismatch: expected 18446744073709551624, got 8"),
    ("get_ohlc", (), struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFF),
     f"MatF64 length mismatch: expected {8 + 8 * 0xFFFFFFFF**2}, got 8"),
    ("close_positions", ([1], [2], [0.5]), mat(1, 2, 1.0), "MatF64 length mismatch: expected 24, got 16"),
    ("step_and_sync", (), b"\x00\x00\x00", "VecMatF64 payload too short"),
    ("step_and_sync", (), bytes(11), "VecMatF64 missing matrix header"),
    ("step_and_sync", (), vec(1.0), "VecMatF64 missing matrix header"),
    ("step_and_sync", (), VECMAT_2_AND_MINUS_3 + b"\x00", "VecMatF64 length mismatch: expected 28, got 29"),
    ("step_and_sync", (), vec() + struct.pack("<II", 1, 1), "VecMatF64 length mismatch: expected 20, got 12"),
]


@pytest.mark.parametrize(
    "name, args, answer_payload, message", [pytest.param(*c, id=f"{c[0]}: {c[3]}") for c in UNDECODABLE]
)
def test_undecodable_answers_fail_with_value_error_and_keep_the_connection(name, args, answer_payload, message):
    def handler(peer, request):
        payload = answer_payload if request.seq == 1 else CANONICAL[request.fn_id][0]
        return response(request.seq, request.fn_id, payload)

    async def main():
        async with engine_and_peer(handler) as (engine, peer):
            with pytest.raises(BaseException) as info:
                await asyncio.wait_for(getattr(engine, name)(*args), 2.0)
            assert await asyncio.wait_for(engine.get_sync_policy(), 2.0) == "eager"
            return info.value, [r.seq for r in peer.requests]

    error, seqs = run(main(), 10)
    assert type(error) is ValueError and error.args == (message,)
    assert seqs == [1, 2]


# ---- Results of the other answers -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "answer_payload, expected",
    [
        (b"\x00", "deferred"),
        (b"\x01", "eager"),
        (b"\x02", None),
        (b"\xff", None),
        (b"", None),
        (b"\x01\x00", "eager"),
        (b"\x00\x01", "deferred"),
        (b"\x02\x01", None),
        (b"\x00" + bytes(1000), "deferred"),
    ],
)
def test_get_sync_policy_reads_the_first_byte(answer_payload, expected):
    request, result = sent(lambda e: e.get_sync_policy(), answer(answer_payload))
    assert_request(request, 1, 120, b"")
    assert_result(result, expected)


@pytest.mark.parametrize(
    "answer_payload, expected",
    [
        (b'{"seed":1}', '{"seed":1}'),
        (b"", ""),
        ("{\"name\":\"é€😀\"}".encode(), "{\"name\":\"é€😀\"}"),
        (b"a\x00b", "a\x00b"),
        (b"not json at all", "not json at all"),
        (b"\xff", "{}"),
        (b'{"seed":1}\xff', "{}"),
        (b"\xc0\x80", "{}"),  # overlong NUL
        (b"\xed\xa0\x80", "{}"),  # an encoded surrogate
        (b"\xf4\x90\x80\x80", "{}"),  # beyond U+10FFFF
        (b"\xe2\x82", "{}"),  # cut short
        (b"\x80abc", "{}"),  # a lone continuation byte
    ],
)
def test_get_rl_config_returns_the_text_or_braces_for_invalid_utf8(answer_payload, expected):
    request, result = sent(lambda e: e.get_rl_config(), answer(answer_payload))
    assert_request(request, 1, 102, b"")
    assert_result(result, expected)


@pytest.mark.parametrize(
    "answer_payload, expected",
    [
        (bytes.fromhex("2A000000FF"), 42),
        (bytes.fromhex("2A000000"), 42),
        (bytes.fromhex("FFFFFFFF"), 4294967295),
        (bytes.fromhex("00000080 0102"), 2**31),
        (bytes.fromhex("2A0000"), 0),
        (b"", 0),
    ],
)
def test_reset_episode_answer_is_its_first_four_bytes(answer_payload, expected):
    _, result = sent(lambda e: e.reset_episode(0, "train"), answer(answer_payload))
    assert_result(result, expected)


@pytest.mark.parametrize("answer_payload", [b"", b"\x00", b"garbage" * 100, vec(1.0), bytes(4)])
@pytest.mark.parametrize("name, args", [("step_next", ()), ("init_candles", (CANDLES,))])
def test_commands_without_a_result_resolve_to_none_whatever_the_answer(name, args, answer_payload):
    _, result = sent(lambda e: getattr(e, name)(*args), answer(answer_payload))
    assert result is None


# ---- Timeouts -------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("name, args, fn_id, payload", COMMANDS, ids=COMMAND_IDS)
def test_a_short_explicit_timeout_is_honoured(name, args, fn_id, payload):
    async def main():
        async with engine_and_peer(no_answer) as (engine, peer):
            text = await failure_of(getattr(engine, name)(*args, timeout_secs=0.05), 3.0)
            return text, peer.requests

    text, requests = run(main(), 10)
    assert text == transport_text(1, fn_id, "timeout waiting response")
    assert_request(requests[0], 1, fn_id, payload)


@pytest.mark.parametrize("form", ["absent", "keyword None", "positional None"])
def test_no_timeout_means_the_default_of_several_seconds(form):
    """Every command at once, each on its own engine: still pending after a while, then answered."""

    def call(engine, name, args):
        method = getattr(engine, name)
        if form == "absent":
            return method(*args)
        if form == "keyword None":
            return method(*args, timeout_secs=None)
        return method(*args, None)

    async def one(name, args, fn_id, stack):
        engine, peer = await stack.enter_async_context(engine_and_peer(no_answer))
        future = call(engine, name, args)
        request = await peer.next_request()
        return engine, peer, future, request

    async def main():
        async with contextlib.AsyncExitStack() as stack:
            pending = [await one(name, args, fn_id, stack) for name, args, fn_id, _ in COMMANDS]
            await asyncio.sleep(0.3)  # peers that take their time: a default timeout shorter than this shows here
            early = [name for (name, *_), (_, _, f, _) in zip(COMMANDS, pending) if f.done()]
            for _, peer, _, request in pending:
                await peer.send(response(request.seq, request.fn_id, CANONICAL[request.fn_id][0]))
            results = [await asyncio.wait_for(f, 2.0) for _, _, f, _ in pending]
            return early, [p[3] for p in pending], results

    early, requests, results = run(main(), 15)
    assert early == []
    for (_, _, fn_id, payload), request, result in zip(COMMANDS, requests, results):
        assert_request(request, 1, fn_id, payload)
        assert_result(result, CANONICAL[fn_id][1])


@pytest.mark.parametrize("timeout", [0, 0.0, -0.0, False, 1e-10, IndexOnly(0), FloatOnly(0.0)])
def test_a_zero_timeout_is_accepted_and_gives_up_without_an_answer(timeout):
    async def main():
        async with engine_and_peer(no_answer) as (engine, peer):
            return await failure_of(engine.get_ohlc(timeout_secs=timeout), 3.0)

    assert run(main(), 10) == transport_text(1, 15, "timeout waiting response")


@pytest.mark.parametrize("timeout", [2, True, 0.5, np.float64(1.5), IndexOnly(3), FloatOnly(2.5), 2.0**64 - 2048])
def test_timeouts_through_the_float_protocol_are_accepted(timeout):
    request, result = sent(lambda e: e.get_sync_policy(timeout_secs=timeout))
    assert_request(request, 1, 120, b"")
    assert result == "eager"


BAD_TIMEOUTS = [
    (-1, ValueError, "cannot convert float seconds to Duration: value is negative"),
    (float("nan"), ValueError, "cannot convert float seconds to Duration: value is either too big or NaN"),
    (2**64, ValueError, "cannot convert float seconds to Duration: value is either too big or NaN"),
    ("1", TypeError, "argument 'timeout_secs': must be real number, not str"),
    (2**1100, OverflowError, "int too large to convert to float"),
]


@pytest.mark.parametrize("timeout, exc, message", BAD_TIMEOUTS, ids=["negative", "nan", "2**64", "str", "huge-int"])
@pytest.mark.parametrize("name, args, fn_id, payload", COMMANDS, ids=COMMAND_IDS)
def test_a_bad_timeout_is_refused_by_every_command(name, args, fn_id, payload, timeout, exc, message):
    refused(lambda e: getattr(e, name)(*args, timeout_secs=timeout), exc, message)


NOT_CONTIGUOUS = "The given array is not contiguous"
NOT_ARRAY_LIST = "'list' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "name, args, kwargs, exc, message",
    [
        # timeout_secs converted first, checked for its range last
        ("init_candles", ([[1.0]],), {"timeout_secs": -1}, TypeError, NOT_ARRAY_LIST),
        ("init_candles", (CANDLES[:, ::2],), {"timeout_secs": float("nan")}, TypeError, NOT_CONTIGUOUS),
        ("init_candles", ([[1.0]],), {"timeout_secs": "x"}, TypeError, "argument 'timeout_secs': must be real number, not str"),
        ("close_positions", ("12", [2], [0.5]), {"timeout_secs": "x"}, TypeError,
         "argument 'timeout_secs': must be real number, not str"),
        ("close_positions", ([1], [2], [1.5]), {"timeout_secs": -1}, ValueError, "ratio out of range for reduce"),
        ("close_positions", ([1, 2], [2], [0.5]), {"timeout_secs": math.inf}, ValueError,
         "close_positions: arrays must have equal length"),
        ("close_positions", ({1}, [2], [0.5]), {"timeout_secs": -1}, TypeError,
         "'set' object cannot be converted to 'Sequence'"),
        # timeout_secs converted in parameter order, checked for its range last
        ("reset_episode", (-1, "test"), {"timeout_secs": "x"}, OverflowError, "out of range integral type conversion attempted"),
        ("reset_episode", (1, None), {"timeout_secs": "x"}, TypeError,
         "argument 'episode_type': 'NoneType' object cannot be converted to 'PyString'"),
        ("reset_episode", (1, "test"), {"timeout_secs": "x"}, TypeError, "argument 'timeout_secs': must be real number, not str"),
        ("place_order", ("hold", "limit", 1.0, 1), {"timeout_secs": -1}, ValueError, "side must be 'buy' or 'sell'"),
        ("place_order", ("hold", "limit", 1.0, 1), {"timeout_secs": "x"}, TypeError,
         "argument 'timeout_secs': must be real number, not str"),
        ("place_order", ("buy", "limit", 1.0, 1), {"take_profit": -1, "timeout_secs": math.nan}, ValueError,
         "value must be finite and >= 0"),
        ("place_ticket", ("buy", 0), {"timeout_secs": -1}, ValueError, "units must be > 0"),
        ("place_ticket", ("hold", 1), {"timeout_secs": []}, TypeError, "argument 'timeout_secs': must be real number, not list"),
    ],
)
def test_timeout_is_converted_in_order_and_range_checked_after_the_payload(name, args, kwargs, exc, message):
    refused(lambda e: getattr(e, name)(*args, **kwargs), exc, message)


# ---- Binding ----------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("get_ohlc", (1, 2), {}, "get_ohlc() takes at most 1 argument (2 given)"),
        ("get_ohlc", (), {"timeout": 1}, "'timeout' is an invalid keyword argument for get_ohlc()"),
        ("init_candles", (), {}, "init_candles() missing required argument 'ohlc5' (pos 1)"),
        ("reset_episode", (1,), {}, "reset_episode() missing required argument 'episode_type' (pos 2)"),
        ("reset_episode", (1, "test"), {"episode_index": 1},
         "argument for reset_episode() given by name ('episode_index') and position (1)"),
        ("place_order", ("buy", "limit", 1.0), {}, "place_order() missing required argument 'units' (pos 4)"),
        ("place_order", ("buy", "limit", 1.0, 1, None, None, None, None, None, None), {},
         "place_order() takes at most 9 arguments (10 given)"),
        ("place_ticket", ("buy",), {}, "place_ticket() missing required argument 'units' (pos 2)"),
        ("close_positions", ([1], [2]), {}, "close_positions() missing required argument 'ratios' (pos 3)"),
        ("get_sync_policy", (), {"timeout_secs": 1, "x": 1}, "get_sync_policy() takes at most 1 keyword argument (2 given)"),
        ("end_session", (1,), {"timeout_secs": 1}, "end_session() takes at most 1 argument (2 given)"),
    ],
)
def test_wrong_arguments_raise_the_interpreters_type_error(name, args, kwargs, message):
    refused(lambda e: getattr(e, name)(*args, **kwargs), TypeError, message)


@pytest.mark.parametrize(
    "call, payload",
    [
        (lambda e: e.place_order(side="buy", order_type="limit", price=1.25, units=100), ORDER_PAYLOAD),
        (lambda e: e.place_order("buy", "limit", 1.25, 100, None, None, None, None, None), ORDER_PAYLOAD),
        (lambda e: e.place_ticket(units=5, side="sell", timeout_secs=None), TICKET_PAYLOAD),
        (lambda e: e.close_positions(ratios=[0.5, 0.9], actions=[2, 1], position_ids=[7, 8]), CLOSE_PAYLOAD),
        (lambda e: e.reset_episode(episode_type="TEST", episode_index=3), bytes.fromhex("0300000001")),
        (lambda e: e.init_candles(ohlc5=CANDLES, timeout_secs=5), CANDLES_PAYLOAD),
    ],
)
def test_every_parameter_can_be_given_by_keyword(call, payload):
    request, _ = sent(call)
    assert request.payload == payload


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda e: e.get_ohlc(), RuntimeError, "no running event loop"),
        (lambda e: e.get_ohlc(timeout_secs=-1), ValueError, "cannot convert float seconds to Duration: value is negative"),
        (lambda e: e.place_order("hold", "limit", 1.0, 1), ValueError, "side must be 'buy' or 'sell'"),
        (lambda e: e.init_candles([[1.0]]), TypeError, NOT_ARRAY_LIST),
    ],
)
def test_arguments_are_checked_before_the_event_loop_is_looked_for(call, exc, message):
    from py_engine_rust import RustEngineAsync

    with pytest.raises(BaseException) as info:
        call(RustEngineAsync("127.0.0.1", 0))
    assert type(info.value) is exc and info.value.args == (message,)


# ---- init_candles -----------------------------------------------------------------------------------------


class Candles(np.ndarray):
    pass


def read_only(a: np.ndarray) -> np.ndarray:
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "array, payload",
    [
        pytest.param(CANDLES, CANDLES_PAYLOAD, id="C order"),
        pytest.param(np.asfortranarray(CANDLES), CANDLES_PAYLOAD, id="F order"),
        pytest.param(CANDLES.T, struct.pack("<II", 5, 3) + f64s(*CANDLES.T.ravel()), id="transposed"),
        pytest.param(CANDLES[1:], struct.pack("<II", 2, 5) + f64s(*range(5, 15)), id="row slice"),
        pytest.param(CANDLES[:, 1:2].copy(), struct.pack("<II", 3, 1) + f64s(1, 6, 11), id="one column"),
        pytest.param(CANDLES[2:, :], struct.pack("<II", 1, 5) + f64s(10, 11, 12, 13, 14), id="one row"),
        pytest.param(np.zeros((0, 5)), struct.pack("<II", 0, 5), id="no rows"),
        pytest.param(np.zeros((4, 0)), struct.pack("<II", 4, 0), id="no columns"),
        pytest.param(np.array([[NAN_WITH_PAYLOAD, -0.0, math.inf, SUBNORMAL]]),
                     struct.pack("<II", 1, 4) + f64s(NAN_WITH_PAYLOAD, -0.0, math.inf, SUBNORMAL), id="special values"),
        pytest.param(read_only(CANDLES), CANDLES_PAYLOAD, id="read-only"),
        pytest.param(CANDLES.view(Candles), CANDLES_PAYLOAD, id="subclass"),
        pytest.param(np.ones((2, 7)), struct.pack("<II", 2, 7) + f64s(*[1.0] * 14), id="any column count"),
    ],
)
def test_init_candles_sends_the_matrix_row_by_row(array, payload):
    request, result = sent(lambda e: e.init_candles(array))
    assert_request(request, 1, 100, payload)
    assert result is None


def test_init_candles_copies_the_array_during_the_call():
    array = CANDLES.copy()

    async def main():
        async with engine_and_peer(no_answer) as (engine, peer):
            future = engine.init_candles(array)
            array[...] = -1.0
            request = await peer.next_request()
            await peer.send(response(request.seq, request.fn_id))
            assert await asyncio.wait_for(future, 2.0) is None
            return request

    assert_request(run(main(), 10), 1, 100, CANDLES_PAYLOAD)


@pytest.mark.parametrize(
    "value, message",
    [
        pytest.param([[1.0, 2.0]], NOT_ARRAY_LIST, id="list"),
        pytest.param(((1.0,),), "'tuple' object cannot be converted to 'PyArray<T, D>'", id="tuple"),
        pytest.param(None, "'NoneType' object cannot be converted to 'PyArray<T, D>'", id="None"),
        pytest.param(np.zeros(5), "dimensionality mismatch:\n from=1, to=2", id="1-D"),
        pytest.param(np.zeros((1, 2, 3)), "dimensionality mismatch:\n from=3, to=2", id="3-D"),
        pytest.param(np.zeros((2, 2), np.int64), "type mismatch:\n from=int64, to=float64", id="int64"),
        pytest.param(np.zeros(3, np.int64), "dimensionality mismatch:\n from=1, to=2", id="1-D int64"),
        pytest.param(np.float64(1.0), "'float64' object cannot be converted to 'PyArray<T, D>'", id="scalar"),
        pytest.param(np.zeros((2, 2), np.float32), "type mismatch:\n from=float32, to=float64", id="float32"),
        pytest.param(np.zeros((2, 2), ">f8"), "type mismatch:\n from=>f8, to=float64", id="byte-swapped"),
        pytest.param(CANDLES[:, ::2], NOT_CONTIGUOUS, id="column step"),
        pytest.param(CANDLES[::2], NOT_CONTIGUOUS, id="row step"),
        pytest.param(CANDLES[:1, ::2], NOT_CONTIGUOUS, id="one row with a step"),
        pytest.param(CANDLES[:, 1:2], NOT_CONTIGUOUS, id="one column of a wider matrix"),
        pytest.param(np.zeros((2, 2, 2))[:, :, 0], NOT_CONTIGUOUS, id="slice of 3-D"),
    ],
)
def test_init_candles_refuses_anything_but_a_contiguous_2d_float64_array(value, message):
    refused(lambda e: e.init_candles(value), TypeError, message)


# ---- reset_episode ----------------------------------------------------------------------------------------


class LowerSaysTest(str):
    def lower(self):
        return "test"


class LowerSaysNo(str):
    def lower(self):
        return "no"


@pytest.mark.parametrize(
    "index, episode_type, payload_hex",
    [
        (3, "TEST", "03000000 01"),
        (3, "test", "03000000 01"),
        (3, "tEsT", "03000000 01"),
        (3, "train", "03000000 00"),
        (3, "Test ", "03000000 00"),
        (3, " test", "03000000 00"),
        (3, "", "03000000 00"),
        (3, "test\x00", "03000000 00"),
        (3, "ＴＥＳＴ", "03000000 00"),  # full-width letters lowercase to full-width letters
        (3, "TEST\u0130", "03000000 00"),
        (3, "anything else", "03000000 00"),
        (0, "test", "00000000 01"),
        (4294967295, "train", "FFFFFFFF 00"),
        (0x01020304, "TeSt", "04030201 01"),
        (True, "test", "01000000 01"),
        (np.uint32(7), "test", "07000000 01"),
        (np.int64(258), "x", "02010000 00"),
        (IndexOnly(9), "TEST", "09000000 01"),
        (3, LowerSaysTest("train"), "03000000 00"),
        (3, LowerSaysNo("TEST"), "03000000 01"),
    ],
)
def test_reset_episode_payload(index, episode_type, payload_hex):
    request, result = sent(lambda e: e.reset_episode(index, episode_type))
    assert_request(request, 1, 101, bytes.fromhex(payload_hex))
    assert result == 42


OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "index, episode_type, exc, message",
    [
        (-1, "test", OverflowError, OUT_OF_RANGE),
        (4294967296, "test", OverflowError, OUT_OF_RANGE),
        (2**64, "test", OverflowError, OUT_OF_RANGE),
        (-(2**70), "test", OverflowError, OUT_OF_RANGE),
        (IndexOnly(-5), "test", OverflowError, OUT_OF_RANGE),
        (-1, 5, OverflowError, OUT_OF_RANGE),
        (1.0, "test", TypeError, "argument 'episode_index': 'float' object cannot be interpreted as an integer"),
        ("1", "test", TypeError, "argument 'episode_index': 'str' object cannot be interpreted as an integer"),
        (None, None, TypeError, "argument 'episode_index': 'NoneType' object cannot be interpreted as an integer"),
        (1, b"test", TypeError, "argument 'episode_type': 'bytes' object cannot be converted to 'PyString'"),
        (1, 1, TypeError, "argument 'episode_type': 'int' object cannot be converted to 'PyString'"),
        (1, None, TypeError, "argument 'episode_type': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_reset_episode_refusals(index, episode_type, exc, message):
    refused(lambda e: e.reset_episode(index, episode_type), exc, message)


# ---- place_order and place_ticket: payloads ---------------------------------------------------------------


def exact_fma_differs(x: float) -> bool:
    """True when x * 100 - 1 rounded once differs from the two separately rounded operations."""
    return float(Fraction(x) * 100 - 1) != x * 100.0 - 1.0


@pytest.mark.parametrize(
    "args, kwargs, elements",
    [
        pytest.param(("buy", "limit", 1.25, 100), {}, [1.0, 1.25, -1, -1, -1, -1, 1, 1, 100, 0, 0, 0, 0], id="plain"),
        pytest.param((" SELL ", "Stop", 10.0, 1), {"take_profit": 0.5, "time_limit": 30},
                     [1.0, 10.0, 1, -1, -1, 1, -1, -1, 1, 49, 0, 0, 30], id="sell stop"),
        pytest.param(("buy", "limit", 1.0, 1), {"take_profit": 0},
                     [1.0, 1.0, 1, -1, -1, -1, 1, 1, 1, -1, 0, 0, 0], id="zero take profit"),
        pytest.param(("sell", "limit", -5.0, 7), {"take_profit": 1.5, "stop_loss": 0.25, "trailing_stop": 3, "time_limit": -2.5},
                     [1.0, -5.0, 1, 1, 1, 1, -1, 1, 7, 149, 24, 299, -2.5], id="everything"),
        pytest.param(("buy", "stop", 2.0, 3), {"trailing_stop": -0.0},
                     [1.0, 2.0, -1, -1, 1, -1, 1, -1, 3, 0, 0, -1, 0], id="minus zero trailing stop"),
        pytest.param(("buy", "limit", 1.0, 1), {"time_limit": math.nan},
                     [1.0, 1.0, -1, -1, -1, 1, 1, 1, 1, 0, 0, 0, math.nan], id="nan time limit"),
        pytest.param(("buy", "limit", 1.0, 1), {"time_limit": NAN_WITH_PAYLOAD},
                     [1.0, 1.0, -1, -1, -1, 1, 1, 1, 1, 0, 0, 0, NAN_WITH_PAYLOAD], id="nan bits kept"),
        pytest.param(("buy", "limit", 1.0, 1), {"time_limit": -math.inf},
                     [1.0, 1.0, -1, -1, -1, 1, 1, 1, 1, 0, 0, 0, -math.inf], id="infinite time limit"),
        pytest.param(("buy", "limit", 1.0, 1), {"stop_loss": 0.01},
                     [1.0, 1.0, -1, 1, -1, -1, 1, 1, 1, 0, 0.0, 0, 0], id="two roundings"),
        pytest.param(("buy", "limit", 1.0, 1), {"take_profit": 1e308},
                     [1.0, 1.0, 1, -1, -1, -1, 1, 1, 1, math.inf, 0, 0, 0], id="level overflows to inf"),
        pytest.param(("buy", "limit", 0, 2**31 - 1), {}, [1.0, 0.0, -1, -1, -1, -1, 1, 1, 2147483647, 0, 0, 0, 0],
                     id="zero price, largest units"),
        pytest.param(("buy", "limit", -0.0, True), {}, [1.0, -0.0, -1, -1, -1, -1, 1, 1, 1, 0, 0, 0, 0], id="bool units"),
        pytest.param(("buy", "limit", Fraction(1, 4), IndexOnly(2)), {"take_profit": FloatOnly(0.5), "time_limit": IndexOnly(9)},
                     [1.0, 0.25, 1, -1, -1, 1, 1, 1, 2, 49, 0, 0, 9], id="float and index protocols"),
        pytest.param(("buy", "limit", np.float32(0.1), np.int64(3)), {"stop_loss": np.float64(2.0)},
                     [1.0, float(np.float32(0.1)), -1, 1, -1, -1, 1, 1, 3, 0, 199, 0, 0], id="numpy scalars"),
        pytest.param(("buy", "limit", 1.0, 1, None, None, None, None, None), {},
                     [1.0, 1.0, -1, -1, -1, -1, 1, 1, 1, 0, 0, 0, 0], id="explicit None"),
        pytest.param(("buy", "limit", 1.0, 1, 2, 3, 4, 5, 6), {},
                     [1.0, 1.0, 1, 1, 1, 1, 1, 1, 1, 199, 299, 399, 5], id="all positional"),
    ],
)
def test_place_order_elements(args, kwargs, elements):
    request, result = sent(lambda e: e.place_order(*args, **kwargs))
    assert_request(request, 1, 20, vec(*elements))
    assert_new_array(result, np.array([1.0, 2.0, 3.0]))


def test_place_order_payload_bytes_and_the_rounding_case():
    request, _ = sent(lambda e: e.place_order("buy", "limit", 1.25, 100))
    assert len(request.payload) == 108
    assert request.payload[:20] == bytes.fromhex("0D000000 000000000000F03F 000000000000F43F")
    assert exact_fma_differs(0.01)  # so the "two roundings" case above tells a fused multiply-add apart


@pytest.mark.parametrize(
    "args, kwargs, elements",
    [
        pytest.param(("buy", 5), {"stop_loss": 2.5}, [1.0, 0, 1, 0, 1, 5, 0, 1.5, 0], id="buy stop loss"),
        pytest.param(("sell", 5), {}, [1.0, 0, 0, 0, 0, 5, 0, 0, 0], id="sell"),
        pytest.param(("buy", 1), {"take_profit": 0}, [1.0, 1, 0, 0, 1, 1, -1, 0, 0], id="zero take profit"),
        pytest.param(("buy", 1), {"trailing_stop": -0.0}, [1.0, 0, 0, 1, 1, 1, 0, 0, -1], id="minus zero trailing stop"),
        pytest.param(("SELL", 2**31 - 1), {"take_profit": 1.5, "stop_loss": 0.25, "trailing_stop": 3},
                     [1.0, 1, 1, 1, 0, 2147483647, 0.5, -0.75, 2], id="everything"),
        pytest.param(("\tBuy\n", True), {"take_profit": 0.01}, [1.0, 1, 0, 0, 1, 1, 0.01 - 1.0, 0, 0], id="small level"),
        pytest.param(("buy", IndexOnly(4), FloatOnly(2.0), None, np.float64(1.0), None), {},
                     [1.0, 1, 0, 1, 1, 4, 1, 0, 0], id="positional and protocols"),
    ],
)
def test_place_ticket_elements(args, kwargs, elements):
    request, result = sent(lambda e: e.place_ticket(*args, **kwargs))
    assert_request(request, 1, 21, vec(*elements))
    assert len(request.payload) == 76
    assert_new_array(result, np.array([7.0]))


# ---- place_order and place_ticket: side and order type ----------------------------------------------------

ACCEPTED_SIDES = [
    ("buy", 1.0), ("sell", -1.0), ("BUY", 1.0), ("Sell", -1.0), (" buy ", 1.0), ("\tbuy\n", 1.0),
    ("\x0b\x0c\rsell\x85", -1.0), ("\u2003buy\u3000", 1.0), ("\xa0buy\u1680", 1.0), ("\u2028sell\u2029", -1.0),
    ("\u202fbuy\u205f", 1.0), ("\u2000\u200abuy", 1.0),
]
REFUSED_WORDS = [
    "\x1cbuy", "buy\x1d", "\x1ebuy", "buy\x1f",  # separators that str.strip removes but are not White_Space
    "\u200bbuy", "\ufeffbuy", "\u180ebuy", "buy\x00",  # not White_Space either
    "", " ", "b uy", "buyy", "bu", "hold", "ｂｕｙ", "ſell", "\u212abuy", "BUY.", "limit",
]


@pytest.mark.parametrize("side, element", ACCEPTED_SIDES)
def test_place_order_side_is_trimmed_by_white_space_and_lowercased(side, element):
    request, _ = sent(lambda e: e.place_order(side, "limit", 1.0, 1))
    assert struct.unpack_from("<d", request.payload, 4 + 8 * 6) == (element,)


@pytest.mark.parametrize("side, element", ACCEPTED_SIDES)
def test_place_ticket_side_is_trimmed_by_white_space_and_lowercased(side, element):
    request, _ = sent(lambda e: e.place_ticket(side, 1))
    assert struct.unpack_from("<d", request.payload, 4 + 8 * 4) == ({1.0: 1.0, -1.0: 0.0}[element],)


@pytest.mark.parametrize(
    "order_type, element",
    [("limit", 1.0), ("stop", -1.0), ("LIMIT", 1.0), ("Stop", -1.0), ("\u2003limit\u3000", 1.0), ("\n STOP \t", -1.0),
     ("\x85LiMiT\xa0", 1.0)],
)
def test_place_order_type_is_trimmed_and_lowercased(order_type, element):
    request, _ = sent(lambda e: e.place_order("buy", order_type, 1.0, 1))
    assert struct.unpack_from("<d", request.payload, 4 + 8 * 7) == (element,)


@pytest.mark.parametrize("side", REFUSED_WORDS)
def test_place_order_refuses_other_sides(side):
    refused(lambda e: e.place_order(side, "limit", 1.0, 1), ValueError, "side must be 'buy' or 'sell'")


@pytest.mark.parametrize("side", REFUSED_WORDS)
def test_place_ticket_refuses_other_sides(side):
    refused(lambda e: e.place_ticket(side, 1), ValueError, "side must be 'buy' or 'sell'")


@pytest.mark.parametrize(
    "order_type",
    ["market", "\x1climit", "limit\x1f", "\u200bstop", "ſtop", "L\u0130MIT", "", "limits", "stop-limit", "buy"],
)
def test_place_order_refuses_other_order_types(order_type):
    refused(lambda e: e.place_order("buy", order_type, 1.0, 1), ValueError, "order_type must be 'limit' or 'stop'")


# ---- place_order and place_ticket: refusals in order ------------------------------------------------------

SIDE = "side must be 'buy' or 'sell'"
ORDER_TYPE = "order_type must be 'limit' or 'stop'"
PRICE = "price must be finite"
UNITS = "units must be > 0"
LEVEL = "value must be finite and >= 0"


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        # the value checks, in order
        (("buy", "market", 1.0, 1), {}, ValueError, ORDER_TYPE),
        (("hold", "market", 1.0, 1), {}, ValueError, SIDE),
        (("hold", "market", math.nan, 0), {"take_profit": -1}, ValueError, SIDE),
        (("buy", "market", math.nan, 0), {"take_profit": -1}, ValueError, ORDER_TYPE),
        (("buy", "limit", math.nan, 0), {"take_profit": -1}, ValueError, PRICE),
        (("buy", "limit", 1.0, 0), {"take_profit": -1}, ValueError, UNITS),
        (("buy", "limit", math.nan, 1), {}, ValueError, PRICE),
        (("buy", "limit", math.inf, 1), {}, ValueError, PRICE),
        (("buy", "limit", -math.inf, 1), {}, ValueError, PRICE),
        (("buy", "limit", 1.0, 0), {}, ValueError, UNITS),
        (("buy", "limit", 1.0, -1), {}, ValueError, UNITS),
        (("buy", "limit", 1.0, -(2**31)), {}, ValueError, UNITS),
        (("buy", "limit", 1.0, False), {}, ValueError, UNITS),
        (("buy", "limit", 1.0, 1), {"take_profit": -0.1}, ValueError, LEVEL),
        (("buy", "limit", 1.0, 1), {"stop_loss": math.nan}, ValueError, LEVEL),
        (("buy", "limit", 1.0, 1), {"trailing_stop": math.inf}, ValueError, LEVEL),
        (("buy", "limit", 1.0, 1), {"trailing_stop": -math.inf}, ValueError, LEVEL),
        (("buy", "limit", 1.0, 1), {"take_profit": -5e-324}, ValueError, LEVEL),
        (("buy", "limit", 1.0, 1), {"take_profit": 1.0, "stop_loss": 1.0, "trailing_stop": -1.0}, ValueError, LEVEL),
        # every conversion comes before every value check
        (("hold", 5, 1.0, 1), {}, TypeError, "argument 'order_type': 'int' object cannot be converted to 'PyString'"),
        ((b"buy", "limit", 1.0, 1), {}, TypeError, "argument 'side': 'bytes' object cannot be converted to 'PyString'"),
        ((None, "limit", 1.0, 1), {}, TypeError, "argument 'side': 'NoneType' object cannot be converted to 'PyString'"),
        (("hold", "limit", "1.0", 1), {}, TypeError, "argument 'price': must be real number, not str"),
        (("hold", "limit", None, 1), {}, TypeError, "argument 'price': must be real number, not NoneType"),
        (("hold", "limit", 1.0, 2**31), {}, OverflowError, OUT_OF_RANGE),
        (("buy", "limit", 1.0, -(2**31) - 1), {}, OverflowError, OUT_OF_RANGE),
        (("buy", "limit", 1.0, 2**100), {}, OverflowError, OUT_OF_RANGE),
        (("buy", "limit", 1.0, 2.0), {}, TypeError, "argument 'units': 'float' object cannot be interpreted as an integer"),
        (("buy", "limit", 1.0, "5"), {}, TypeError, "argument 'units': 'str' object cannot be interpreted as an integer"),
        (("buy", "limit", 1.0, np.float64(5)), {}, TypeError,
         "argument 'units': 'numpy.float64' object cannot be interpreted as an integer"),
        (("hold", "limit", math.nan, 0), {"take_profit": "x"}, TypeError, "argument 'take_profit': must be real number, not str"),
        (("hold", "limit", 1.0, 1), {"stop_loss": [1]}, TypeError, "argument 'stop_loss': must be real number, not list"),
        (("hold", "limit", 1.0, 1), {"trailing_stop": "0"}, TypeError, "argument 'trailing_stop': must be real number, not str"),
        (("hold", "limit", 1.0, 1), {"time_limit": "30"}, TypeError, "argument 'time_limit': must be real number, not str"),
        (("buy", "limit", 1.0, 1), {"take_profit": 1j}, TypeError, "argument 'take_profit': must be real number, not complex"),
    ],
)
def test_place_order_refusals(args, kwargs, exc, message):
    refused(lambda e: e.place_order(*args, **kwargs), exc, message)


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("hold", 0), {"take_profit": -1}, ValueError, SIDE),
        (("buy", 0), {"take_profit": -1}, ValueError, UNITS),
        (("buy", -3), {}, ValueError, UNITS),
        (("buy", 1), {"trailing_stop": -0.1}, ValueError, LEVEL),
        (("buy", 1), {"take_profit": math.nan}, ValueError, LEVEL),
        (("buy", 1), {"stop_loss": math.inf}, ValueError, LEVEL),
        (("buy", 1), {"take_profit": 1, "stop_loss": 2, "trailing_stop": -3}, ValueError, LEVEL),
        (("hold", 2**31), {}, OverflowError, OUT_OF_RANGE),
        (("hold", 2.0), {}, TypeError, "argument 'units': 'float' object cannot be interpreted as an integer"),
        ((1, 1), {}, TypeError, "argument 'side': 'int' object cannot be converted to 'PyString'"),
        (("hold", 1), {"take_profit": "x"}, TypeError, "argument 'take_profit': must be real number, not str"),
        (("hold", 1), {"stop_loss": None, "trailing_stop": b"1"}, TypeError,
         "argument 'trailing_stop': must be real number, not bytes"),
    ],
)
def test_place_ticket_refusals(args, kwargs, exc, message):
    refused(lambda e: e.place_ticket(*args, **kwargs), exc, message)


# ---- close_positions --------------------------------------------------------------------------------------


def close_step(flags, actions, ratios) -> bytes:
    n = len(flags)
    return struct.pack(f"<I{n}i{n}i{n}d", n, *flags, *actions, *ratios)


@pytest.mark.parametrize(
    "ids, actions, ratios, payload",
    [
        pytest.param([7, 8], [2, 1], [0.5, 0.9], CLOSE_PAYLOAD, id="lists"),
        pytest.param((7, 8), (2, 1), (0.5, 0.9), CLOSE_PAYLOAD, id="tuples"),
        pytest.param(np.array([7, 8], np.int32), np.array([2, 1]), np.array([0.5, 0.9]), CLOSE_PAYLOAD, id="numpy arrays"),
        pytest.param(range(7, 9), [np.int32(2), np.int64(1)], [np.float32(0.5), 0.9], CLOSE_PAYLOAD, id="range, numpy scalars"),
        pytest.param([], [], [], bytes(4), id="empty"),
        pytest.param((), np.array([], np.int64), np.zeros(0), bytes(4), id="empty mixed"),
        pytest.param([1], [2], [0.0], close_step([1], [2], [0.0]), id="ratio 0"),
        pytest.param([1], [2], [1.0], close_step([1], [2], [1.0]), id="ratio 1"),
        pytest.param([1], [2], [1], close_step([1], [2], [1.0]), id="int ratio"),
        pytest.param([1], [2], [-0.0], close_step([1], [2], [-0.0]), id="ratio -0.0 as given"),
        pytest.param([1], [2], [SUBNORMAL], close_step([1], [2], [SUBNORMAL]), id="subnormal ratio"),
        pytest.param([1], [0], [7.0], close_step([1], [0], [0.0]), id="no reduce, ratio dropped"),
        pytest.param([1, 2, 3, 4], [-1, 0, 3, 2**31 - 1], [math.nan, math.inf, -5.0, 1e300],
                     close_step([1, 2, 3, 4], [-1, 0, 3, 2**31 - 1], [0.0] * 4), id="other codes unchecked"),
        pytest.param([-(2**31), 2**31 - 1], [2, -(2**31)], [0.25, -1.0],
                     close_step([-(2**31), 2**31 - 1], [2, -(2**31)], [0.25, 0.0]), id="extreme integers"),
        pytest.param([True], [IndexOnly(2)], [FloatOnly(0.75)], close_step([1], [2], [0.75]), id="protocols"),
        pytest.param(b"\x05\x06", [2, 2], [Fraction(1, 2), 0.125], close_step([5, 6], [2, 2], [0.5, 0.125]), id="bytes ids"),
    ],
)
def test_close_positions_payload(ids, actions, ratios, payload):
    request, result = sent(lambda e: e.close_positions(ids, actions, ratios))
    assert_request(request, 1, 31, payload)
    assert len(request.payload) == 4 + 16 * ((len(payload) - 4) // 16)
    assert_new_array(result, np.eye(2))


def test_close_positions_reads_the_sequences_during_the_call():
    ids, actions, ratios = [7, 8], [2, 1], [0.5, 0.9]

    async def main():
        async with engine_and_peer(no_answer) as (engine, peer):
            future = engine.close_positions(ids, actions, ratios)
            ids[0], actions[1], ratios[0] = 99, 2, 0.1
            request = await peer.next_request()
            await peer.send(response(request.seq, request.fn_id, mat(0, 0)))
            assert_new_array(await asyncio.wait_for(future, 2.0), np.zeros((0, 0)))
            return request

    assert_request(run(main(), 10), 1, 31, CLOSE_PAYLOAD)


class Flaky:
    """A sequence whose second element fails."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise ZeroDivisionError("second element")
        return 1


class LyingLength(list):
    """A list whose length is a lie; it is iterated, not measured."""

    def __init__(self, items, length=100):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


def gen():
    yield 1


STR_VEC = "Can't extract `str` to `Vec`"
RATIO = "ratio out of range for reduce"
LENGTHS = "close_positions: arrays must have equal length"


@pytest.mark.parametrize(
    "ids, actions, ratios, exc, message",
    [
        ([1], [2], [1.5], ValueError, RATIO),
        ([1], [2], [-0.01], ValueError, RATIO),
        ([1], [2], [math.nan], ValueError, RATIO),
        ([1], [2], [math.inf], ValueError, RATIO),
        ([1], [2], [-5e-324], ValueError, RATIO),
        ([1, 2], [1, 2], [9.0, 1.0000000000000002], ValueError, RATIO),
        ([1, 2], [2], [0.5], ValueError, LENGTHS),
        ([1], [2, 2], [0.5, 0.5], ValueError, LENGTHS),
        ([1], [2], [], ValueError, LENGTHS),
        ([], [], [0.5], ValueError, LENGTHS),
        ([1, 2], [2], [5.0], ValueError, LENGTHS),  # lengths before ratios
        ("12", [2], [0.5], TypeError, STR_VEC),
        ([1], "2", [0.5], TypeError, STR_VEC),
        ([1], [2], "0.5", TypeError, STR_VEC),
        ("", "", "", TypeError, STR_VEC),
        ({1}, [2], [0.5], TypeError, "'set' object cannot be converted to 'Sequence'"),
        (frozenset(), [], [], TypeError, "'frozenset' object cannot be converted to 'Sequence'"),
        ({1: 1}, [2], [0.5], TypeError, "'dict' object cannot be converted to 'Sequence'"),
        ([1], None, [0.5], TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
        ([1], [2], 0.5, TypeError, "'float' object cannot be converted to 'Sequence'"),
        (iter([1]), [2], [0.5], TypeError, "'list_iterator' object cannot be converted to 'Sequence'"),
        (gen(), [2], [0.5], TypeError, "'generator' object cannot be converted to 'Sequence'"),
        (np.int32(1), [2], [0.5], TypeError, "'int32' object cannot be converted to 'Sequence'"),
        ([1.0], [2], [0.5], TypeError, "'float' object cannot be interpreted as an integer"),
        ([1], ["2"], [0.5], TypeError, "'str' object cannot be interpreted as an integer"),
        ([1], [None], [0.5], TypeError, "'NoneType' object cannot be interpreted as an integer"),
        (np.array([1.0]), [2], [0.5], TypeError, "'numpy.float64' object cannot be interpreted as an integer"),
        ([1], [2], ["0.5"], TypeError, "must be real number, not str"),
        ([1], [2], [None], TypeError, "must be real number, not NoneType"),
        ([2**31], [2], [0.5], OverflowError, OUT_OF_RANGE),
        ([1], [-(2**31) - 1], [0.5], OverflowError, OUT_OF_RANGE),
        ([1], [2**64], [0.5], OverflowError, OUT_OF_RANGE),
        (Flaky(), [2], [0.5], ZeroDivisionError, "second element"),
        # conversion in order: position_ids, then actions, then ratios, all before the checks
        ("12", {2}, "x", TypeError, STR_VEC),
        ([1], {2}, "x", TypeError, "'set' object cannot be converted to 'Sequence'"),
        ([1.5], {2}, [0.5], TypeError, "'float' object cannot be interpreted as an integer"),
        ([1], [2**31], ["a"], OverflowError, OUT_OF_RANGE),
        ([1, 2], [2], ["a"], TypeError, "must be real number, not str"),
        (LyingLength([1]), [2], [0.5, 0.5], ValueError, LENGTHS),
    ],
)
def test_close_positions_refusals(ids, actions, ratios, exc, message):
    refused(lambda e: e.close_positions(ids, actions, ratios), exc, message)


@pytest.mark.parametrize("length", [0, 1, 100, 2**40, 2**62, sys.maxsize])
def test_close_positions_iterates_instead_of_trusting_the_length(length):
    ids, actions, ratios = LyingLength([7, 8], length), LyingLength([2, 1], length), LyingLength([0.5, 0.9], length)
    request, _ = sent(lambda e: e.close_positions(ids, actions, ratios))
    assert_request(request, 1, 31, CLOSE_PAYLOAD)
