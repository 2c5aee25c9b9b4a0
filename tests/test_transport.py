"""The call transport: request frames, response checks, error payloads, peer pings, connection failures,
timeouts, sequence numbers and cancelled calls."""

from __future__ import annotations

import asyncio
import contextlib
import struct
from typing import Callable

import pytest
from conftest import run

from support import (
    ERROR_RESPONSE,
    PING_REPLY,
    REQUEST,
    CANCEL_WAYS,
    SYNC_REPLY,
    RawClient,
    ScriptedPeer,
    answer_with,
    cancel,
    error_payload,
    engine_and_peer,
    error_response,
    failure_of,
    frame_bytes,
    in_receive_phase,
    no_answer,
    parse_frame,
    peer_ping,
    response,
    rpc_text,
    started_engine,
    transport_text,
)
from support.sockets import engine_end_sees, engine_has_read, reserved_port
from support.fn_ids import CLOSE_POSITIONS, GET_RL_CONFIG, GET_SYNC_POLICY, RESET_EPISODE, STEP_NEXT
from support.rawclient import OP_BINARY, OP_CLOSE, OP_CONTINUATION, OP_PING, OP_PONG

MiB = 1 << 20
NO_CONNECTION = transport_text(None, GET_RL_CONFIG, "no websocket connected")


def scripted(*replies: Callable, payload: bytes = b"") -> Callable:
    """A handler answering the n-th request with replies[n](request); later ones get a Response with `payload`."""
    queue = list(replies)

    def handler(peer, request):
        if queue:
            return queue.pop(0)(request)
        return response(request.seq, request.fn_id, payload)

    return handler


async def disconnected(engine, peer: ScriptedPeer) -> None:
    """Checks that the engine dropped the peer: no close frame, and the next call finds no connection."""
    assert await peer.wait_closed() == (1006, False)
    assert await failure_of(engine.get_rl_config()) == NO_CONNECTION


# ---- request frames -------------------------------------------------------------------------------------

REQUESTS = {
    "get_rl_config": (lambda e: e.get_rl_config(), GET_RL_CONFIG, b""),
    "step_next": (lambda e: e.step_next(), STEP_NEXT, b""),
    "get_sync_policy": (lambda e: e.get_sync_policy(), GET_SYNC_POLICY, b""),
    "reset_episode test": (lambda e: e.reset_episode(3, "TEST"), RESET_EPISODE, b"\x03\x00\x00\x00\x01"),
    "reset_episode train": (lambda e: e.reset_episode(4294967295, "train"), RESET_EPISODE, b"\xff\xff\xff\xff\x00"),
}


@pytest.mark.parametrize("call, fn_id, payload", REQUESTS.values(), ids=REQUESTS.keys())
def test_request_is_one_binary_message_with_the_header(call, fn_id, payload, port):
    async def body():
        async with engine_and_peer(port=port) as (engine, peer):
            await asyncio.wait_for(call(engine), 2)
            return peer.requests

    (request,) = run(body(), 5)
    expected = bytes([1, REQUEST, 0, 0, 1, 0, 0, 0, fn_id & 0xFF, fn_id >> 8, 0, 0, len(payload), 0, 0, 0]) + payload
    assert type(request.raw) is bytes  # a Binary message; Text would arrive as str
    assert request.raw == expected


# ---- response payloads ----------------------------------------------------------------------------------

PAYLOADS = {
    "rl_config empty": (lambda e: e.get_rl_config(), b"", ""),
    "rl_config json": (lambda e: e.get_rl_config(), b'{"seed":1}', '{"seed":1}'),
    "rl_config utf8": (lambda e: e.get_rl_config(), "{\"n\":\"é€😀\"}".encode(), "{\"n\":\"é€😀\"}"),
    "rl_config invalid utf8": (lambda e: e.get_rl_config(), b'{"a":"\xff"}', "{}"),
    "step_next empty": (lambda e: e.step_next(), b"", None),
    "step_next junk": (lambda e: e.step_next(), b"\x00\x01junk", None),
    "reset_episode empty": (lambda e: e.reset_episode(0, "train"), b"", 0),
    "reset_episode 3 bytes": (lambda e: e.reset_episode(0, "train"), b"\x2a\x00\x00", 0),
    "reset_episode 42": (lambda e: e.reset_episode(0, "train"), b"\x2a\x00\x00\x00\xff", 42),
    "reset_episode max": (lambda e: e.reset_episode(0, "train"), b"\xff\xff\xff\xff", 4294967295),
    "sync_policy empty": (lambda e: e.get_sync_policy(), b"", None),
    "sync_policy eager": (lambda e: e.get_sync_policy(), b"\x01\x00", "eager"),
}


@pytest.mark.parametrize("call, payload, expected", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_response_payload_reaches_the_command(call, payload, expected, port):
    async def body():
        async with engine_and_peer(port=port, payload=payload) as (engine, peer):
            first = await asyncio.wait_for(call(engine), 2)
            second = await asyncio.wait_for(call(engine), 2)  # the connection stays
            return first, second

    first, second = run(body(), 5)
    assert type(first) is type(expected) and first == expected
    assert second == expected


def test_concurrent_calls_each_get_their_own_answer(port):
    def echo_seq(peer, request):
        return response(request.seq, request.fn_id, str(request.seq).encode())

    async def body():
        async with engine_and_peer(echo_seq, port=port) as (engine, peer):
            calls = [engine.get_rl_config() for _ in range(20)]
            results = await asyncio.wait_for(asyncio.gather(*calls), 5)
            return results, [r.seq for r in peer.requests]

    results, seqs = run(body(), 8)
    assert results == [str(s) for s in range(1, 21)]
    assert seqs == list(range(1, 21))


def test_engines_in_one_process_keep_their_own_peers():
    # More engines than worker threads, so several share one: every answer must still come from its own peer.
    async def body():
        async with contextlib.AsyncExitStack() as stack:
            ports = [stack.enter_context(reserved_port()) for _ in range(5)]
            engines = []
            for i, p in enumerate(ports):
                engine = await started_engine(p, None)
                await stack.enter_async_context(ScriptedPeer(p, answer_with(f"peer {i}".encode()), engine=engine))
                engines.append(engine)
            calls = [e.get_rl_config() for _ in range(10) for e in engines]
            return await asyncio.wait_for(asyncio.gather(*calls), 5)

    assert run(body(), 10) == [f"peer {i}" for _ in range(10) for i in range(5)]


# ---- response checks ------------------------------------------------------------------------------------

# (frame built from the call's seq and fnId, text of the failure)
BAD_RESPONSES = {
    "15 bytes": (lambda s, f: response(s, f)[:15], "frame too short: 15 < 16"),
    "empty message": (lambda s, f: b"", "frame too short: 0 < 16"),
    "short, wrong version": (lambda s, f: response(s, f, version=2)[:15], "frame too short: 15 < 16"),
    "20 bytes declaring 8": (lambda s, f: response(s, f, b"abcd", length=8), "payload length mismatch: expected 24, got 20"),
    "declares one less": (lambda s, f: response(s, f, b"abcd", length=3), "payload length mismatch: expected 19, got 20"),
    "declares 4294967295": (
        lambda s, f: response(s, f, length=0xFFFFFFFF),
        "payload length mismatch: expected 4294967311, got 16",
    ),
    "length before version": (
        lambda s, f: response(s, f, b"ab", version=2, length=5),
        "payload length mismatch: expected 21, got 18",
    ),
    "version 2": (lambda s, f: response(s, f, version=2), "protocol version mismatch: got 2, expected 1"),
    "version 0 error response": (
        lambda s, f: error_response(s, f, 1, 1, b"x", version=0),
        "protocol version mismatch: got 0, expected 1",
    ),
    "version 2 peer ping": (lambda s, f: peer_ping(99, 7, b"p", version=2), "protocol version mismatch: got 2, expected 1"),
    "version 255 unknown kind": (
        lambda s, f: frame_bytes(200, s, f, version=255),
        "protocol version mismatch: got 255, expected 1",
    ),
    "wrong seq": (lambda s, f: response(s + 1, f), "seq mismatch: expected 1, got 2"),
    "wrong seq error response": (lambda s, f: error_response(s + 76, f, 3, 2), "seq mismatch: expected 1, got 77"),
    "wrong seq and fnId": (lambda s, f: response(s + 1, f + 1), "seq mismatch: expected 1, got 2"),
    "wrong fnId": (lambda s, f: response(s, f + 1), "fnId mismatch: expected 102, got 103"),
    "wrong fnId error response": (lambda s, f: error_response(s, 0, 3, 2), "fnId mismatch: expected 102, got 0"),
}


@pytest.mark.parametrize("bad, text", BAD_RESPONSES.values(), ids=BAD_RESPONSES.keys())
def test_bad_response_fails_the_call_and_drops_the_peer(bad, text, port):
    async def body():
        async with engine_and_peer(scripted(lambda r: bad(r.seq, r.fn_id)), port=port) as (engine, peer):
            failure = await failure_of(engine.get_rl_config())
            await disconnected(engine, peer)
            return failure

    assert run(body(), 5) == transport_text(1, GET_RL_CONFIG, text)


# (error payload, err, sub, message)
ERROR_PAYLOADS = {
    "empty": (b"", 0, 0, ""),
    "5 bytes": (b"\x03\x00\x02\x00\x05", 0, 0, ""),
    "7 bytes": (b"\x03\x00\x02\x00\x00\x00\x00", 0, 0, ""),
    "no message": (error_payload(3, 2), 3, 2, ""),
    "hello": (error_payload(3, 2, b"hello"), 3, 2, "hello"),
    "declared 50": (error_payload(3, 2, b"hello", declared=50), 3, 2, ""),
    "declared one more": (error_payload(3, 2, b"hello", declared=6), 3, 2, ""),
    "bytes after the message": (error_payload(3, 2, b"hello, world", declared=5), 3, 2, "hello"),
    "largest codes, utf8": (error_payload(65535, 65535, "é€😀".encode()), 65535, 65535, "é€😀"),
    "invalid byte": (error_payload(1, 0, b"ab\xffcd"), 1, 0, "ab\ufffdcd"),
    "truncated sequence": (error_payload(1, 0, b"x\xe2\x82"), 1, 0, "x\ufffd"),
    "truncated 4-byte then text": (error_payload(1, 0, b"\xf0\x9f\x98!"), 1, 0, "\ufffd!"),
    "surrogate": (error_payload(1, 0, b"\xed\xa0\x80"), 1, 0, "\ufffd\ufffd\ufffd"),
    "overlong": (error_payload(1, 0, b"\xc0\xaf"), 1, 0, "\ufffd\ufffd"),
    "NUL kept": (error_payload(7, 9, b"a\x00b"), 7, 9, "a\x00b"),
}


@pytest.mark.parametrize("payload, err, sub, message", ERROR_PAYLOADS.values(), ids=ERROR_PAYLOADS.keys())
def test_error_response_is_an_rpc_error_and_keeps_the_peer(payload, err, sub, message, port):
    fail = lambda r: frame_bytes(ERROR_RESPONSE, r.seq, r.fn_id, payload)  # noqa: E731

    async def body():
        async with engine_and_peer(scripted(fail, payload=b"after"), port=port) as (engine, peer):
            failure = await failure_of(engine.get_sync_policy())
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == "after"
            assert not peer.closed
            return failure

    assert run(body(), 5) == rpc_text(1, GET_SYNC_POLICY, err, sub, message)


def test_largest_seq_is_printed_in_full(port):
    async def body():
        handler = scripted(lambda r: error_response(r.seq, r.fn_id, 1, 2, b"m"), lambda r: None)
        async with engine_and_peer(handler, start_seq=4294967295, port=port) as (engine, peer):
            rpc = await failure_of(engine.get_rl_config())
            timeout = await failure_of(engine.get_rl_config(timeout_secs=0.1))
            return rpc, timeout

    rpc, timeout = run(body(), 5)
    assert rpc == "RpcError(seq=4294967295, fnId=102, err=1, sub=2): m"
    assert timeout == "RpcTransportError(seq=Some(0), fnId=Some(102)): timeout waiting response"


# ---- messages that are not the answer -------------------------------------------------------------------

PINGS = {
    "payload": (99, 7, b"probe", (0, 0)),
    "empty": (0, 0, b"", (0, 0)),
    "largest ids": (4294967295, 65535, b"\x00\xff", (0, 0)),
    "reserved set": (5, 6, b"r", (0xBEEF, 0xCAFE)),
    "1 MiB": (12, 34, bytes(range(256)) * 4096, (0, 0)),
}


@pytest.mark.parametrize("seq, fn_id, payload, reserved", PINGS.values(), ids=PINGS.keys())
def test_peer_ping_is_answered_while_the_call_waits(seq, fn_id, payload, reserved, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            call = engine.get_rl_config()
            request = await peer.next_request()
            await peer.send(peer_ping(seq, fn_id, payload, reserved=reserved))
            reply = await peer.next_other()
            await peer.send(peer_ping(seq + 1 & 0xFFFFFFFF, fn_id, b"again"))
            second = await peer.next_other()
            assert not call.done()
            await peer.send(response(request.seq, request.fn_id, b"done"))
            assert await asyncio.wait_for(call, 2) == "done"
            return reply, second

    reply, second = run(body(), 5)
    assert type(reply) is bytes
    assert reply == frame_bytes(PING_REPLY, seq, fn_id, payload)
    assert second == frame_bytes(PING_REPLY, seq + 1 & 0xFFFFFFFF, fn_id, b"again")


IGNORED = {
    "text": "not a frame",
    "kind 0": frame_bytes(0, 1, GET_RL_CONFIG, b"x"),
    "kind 1 with own seq": frame_bytes(REQUEST, 1, GET_RL_CONFIG),
    "kind 5": frame_bytes(PING_REPLY, 1, GET_RL_CONFIG, b"y"),
    "kind 6": frame_bytes(6, 1, GET_RL_CONFIG),
    "kind 200": frame_bytes(200, 1, GET_RL_CONFIG, b"z" * 300),
    "kind 255": frame_bytes(255, 0, 0),
}


@pytest.mark.parametrize("message", list(IGNORED.values()) + ["pong"], ids=list(IGNORED) + ["pong"])
def test_other_messages_are_dropped_while_waiting(message, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            call = engine.get_rl_config()
            request = await peer.next_request()
            for _ in range(3):
                if message == "pong":
                    await peer.ws.pong(b"unasked")
                else:
                    await peer.send(message)
            await in_receive_phase(peer)  # the messages before it have been read
            assert not call.done()
            await peer.send(response(request.seq, request.fn_id, b"answer"))
            assert await asyncio.wait_for(call, 2) == "answer"
            assert not peer.closed
            return peer.others

    assert run(body(), 5) == [SYNC_REPLY]


def test_dropped_messages_do_not_extend_the_deadline(port):
    async def chatter(peer):
        while True:
            await peer.send("tick", frame_bytes(200, 1, GET_RL_CONFIG), peer_ping(1, 1))
            await asyncio.sleep(0.05)

    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            call = engine.get_rl_config(timeout_secs=0.5)
            await peer.next_request()
            noise = asyncio.create_task(chatter(peer))
            try:
                return await failure_of(call, 3)
            finally:
                noise.cancel()
                await asyncio.gather(noise, return_exceptions=True)

    assert run(body(), 5) == transport_text(1, GET_RL_CONFIG, "timeout waiting response")


@pytest.mark.parametrize("data", [b"abc", b"", bytes(125)], ids=["abc", "empty", "125 bytes"])
def test_websocket_ping_gets_the_same_data_back(data, port):
    async def body():
        engine = await started_engine(port)
        async with await RawClient.upgraded(port, engine=engine) as client:
            call = engine.get_rl_config()
            request = parse_frame((await client.read_frame()).payload)
            pong = await client.ping(data)
            assert not call.done()
            await client.send_binary(response(request.seq, request.fn_id, b"ok"))
            assert await asyncio.wait_for(call, 2) == "ok"
            return pong

    pong = run(body(), 5)
    assert (pong.fin, pong.opcode, pong.masked, pong.payload) == (True, OP_PONG, False, data)


def test_fragmented_response_is_one_message(port):
    async def body():
        engine = await started_engine(port)
        async with await RawClient.upgraded(port, engine=engine) as client:
            call = engine.get_rl_config()
            request = parse_frame((await client.read_frame()).payload)
            data = response(request.seq, request.fn_id, b"in three pieces")
            await client.send_frame(OP_BINARY, data[:10], fin=False)
            await client.send_frame(OP_PING, b"between")
            await client.send_frame(OP_CONTINUATION, data[10:20], fin=False)
            await client.send_frame(OP_CONTINUATION, data[20:], fin=True)
            pong = await client.read_frame()
            return pong, await asyncio.wait_for(call, 2)

    pong, result = run(body(), 5)
    assert (pong.opcode, pong.payload) == (OP_PONG, b"between")
    assert result == "in three pieces"


# ---- the connection ends while a call waits ----------------------------------------------------------------

@pytest.mark.parametrize("code", [1000, 1001, 4000])
def test_close_while_waiting(code, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            call = engine.get_rl_config()
            await peer.next_request()
            await peer.ws.close(code, "bye")
            text = await failure_of(call)
            assert await failure_of(engine.get_rl_config()) == NO_CONNECTION
            return text

    assert run(body(), 5) == transport_text(1, GET_RL_CONFIG, "websocket closed")


@pytest.mark.parametrize("code", [None, 1000, 1001], ids=["no status code", "1000", "1001"])
def test_raw_close_frame_while_waiting(code, port):
    """The peer sends a Close, reads the engine's Close and end of stream, then closes its socket."""

    async def body():
        engine = await started_engine(port)
        async with await RawClient.upgraded(port, engine=engine) as client:
            call = engine.get_rl_config()
            await client.read_frame()
            await client.send_close(code)
            reply = await client.read_frame()
            assert reply.opcode == OP_CLOSE
            assert await client.read_to_eof() == b""
            await client.close()
            text = await failure_of(call)
        assert await failure_of(engine.get_rl_config()) == NO_CONNECTION
        return text

    assert run(body(), 5) == transport_text(1, GET_RL_CONFIG, "websocket closed")


@pytest.mark.parametrize("how", ["websockets reset", "raw reset", "raw FIN without close frame"])
def test_connection_lost_while_waiting(how, port):
    async def body():
        engine = await started_engine(port)
        if how == "websockets reset":
            async with ScriptedPeer(port, no_answer, engine=engine) as peer:
                call = engine.get_rl_config()
                await peer.next_request()
                peer.abort()
                text = await failure_of(call)
        else:
            async with await RawClient.upgraded(port, engine=engine) as client:
                call = engine.get_rl_config()
                await client.read_frame()
                if how == "raw reset":
                    await client.abort()
                else:
                    client.half_close()
                text = await failure_of(call)
        assert await failure_of(engine.get_rl_config()) == NO_CONNECTION
        return text

    prefix = transport_text(1, GET_RL_CONFIG, "websocket recv failed: ")
    text = run(body(), 5)
    assert text.startswith(prefix) and len(text) > len(prefix)


def test_unmasked_frame_is_a_protocol_error(port):
    async def body():
        engine = await started_engine(port)
        async with await RawClient.upgraded(port, engine=engine) as client:
            call = engine.get_rl_config()
            request = parse_frame((await client.read_frame()).payload)
            await client.send_binary(response(request.seq, request.fn_id, b"unmasked"), mask=False)
            close = await client.read_frame()
            await client.close()
            text = await failure_of(call)
        assert await failure_of(engine.get_rl_config()) == NO_CONNECTION
        return close, text

    close, text = run(body(), 5)
    assert close.opcode == OP_CLOSE and close.close_code == 1002
    assert text.startswith(transport_text(1, GET_RL_CONFIG, "websocket recv failed: "))


async def raw_close_then_wait(client, request):
    await client.send_close(1000)


async def raw_unmasked_then_wait(client, request):
    await client.send_binary(response(request.seq, request.fn_id), mask=False)


@pytest.mark.parametrize(
    "how, text",
    [
        (raw_close_then_wait, "websocket closed"),
        (raw_unmasked_then_wait, "websocket recv failed: The WebSocket frame was unmasked"),
    ],
    ids=["close frame", "unmasked frame"],
)
def test_waiting_call_ends_when_the_peer_ends_even_if_its_socket_stays_open(how, text, port):
    async def body():
        engine = await started_engine(port)
        async with await RawClient.upgraded(port, engine=engine) as client:
            call = engine.get_rl_config(timeout_secs=4)
            request = parse_frame((await client.read_frame()).payload)
            await how(client, request)
            return await failure_of(call)

    assert run(body(), 5).startswith(transport_text(1, GET_RL_CONFIG, text))


@pytest.mark.parametrize("how, text", [("close", "websocket closed"), ("reset", "websocket recv failed: ")])
def test_peer_lost_between_calls_is_reported_by_the_next_call(how, text, port):
    async def body():
        async with engine_and_peer(port=port) as (engine, peer):
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == ""
            if how == "close":
                await peer.ws.close()  # returns once the engine has answered the Close
            else:
                await engine_end_sees(port, peer.ws.transport.get_extra_info("sockname"), peer.abort)
                assert await asyncio.wait_for(engine.wait_connected(0), 2) is None  # a round trip: the reset is read
            failure = await failure_of(engine.get_rl_config())
            assert await failure_of(engine.get_rl_config()) == NO_CONNECTION
            return failure

    assert run(body(), 5).startswith(transport_text(2, GET_RL_CONFIG, text))


# ---- timeouts -------------------------------------------------------------------------------------------


@pytest.mark.parametrize("timeout_secs", [0, 0.0, 0.2])
def test_timeout_drops_the_peer(timeout_secs, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            text = await failure_of(engine.get_rl_config(timeout_secs=timeout_secs))
            await disconnected(engine, peer)
            return text

    assert run(body(), 5) == transport_text(1, GET_RL_CONFIG, "timeout waiting response")


def test_default_timeout_of_get_sync_policy_is_not_used_when_one_is_given(port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            return await failure_of(engine.get_sync_policy(0.1), 2)

    assert run(body(), 5) == transport_text(1, GET_SYNC_POLICY, "timeout waiting response")


@pytest.mark.parametrize("timeout_secs", [0, None])
def test_response_queued_before_the_call_is_read_even_with_zero_timeout(timeout_secs, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            await peer.send(response(1, GET_RL_CONFIG, b"early"))
            await engine_has_read(port, peer.ws.transport.get_extra_info("socket"))
            assert await asyncio.wait_for(engine.wait_connected(0), 2) is None  # a round trip: it is queued
            result = await asyncio.wait_for(engine.get_rl_config(timeout_secs=timeout_secs), 2)
            assert (await peer.next_request()).seq == 1
            call = engine.get_rl_config()
            request = await peer.next_request()
            await peer.send(response(request.seq, request.fn_id, b"later"))
            return result, await asyncio.wait_for(call, 2)

    assert run(body(), 5) == ("early", "later")


def test_call_without_a_peer_fails_at_once(port):
    async def body():
        engine = await started_engine(port)
        texts = [await failure_of(engine.get_rl_config()), await failure_of(engine.reset_episode(1, "test"))]
        async with ScriptedPeer(port, engine=engine) as peer:
            await asyncio.wait_for(engine.get_rl_config(), 2)
        return texts, [r.seq for r in peer.requests]

    texts, seqs = run(body(), 5)
    assert texts == [
        transport_text(None, GET_RL_CONFIG, "no websocket connected"),
        transport_text(None, RESET_EPISODE, "no websocket connected"),
    ]
    assert seqs == [1]


# ---- sequence numbers -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "start_seq, seqs",
    [
        (None, [1, 2, 3]),
        (0, [0, 1, 2]),
        (1000, [1000, 1001, 1002]),
        (4294967294, [4294967294, 4294967295, 0]),
        (4294967295, [4294967295, 0, 1]),
    ],
)
def test_seq_numbers_count_up_wrap_and_restart_per_peer(start_seq, seqs, port):
    async def body():
        engine = await started_engine(port, start_seq)
        async with ScriptedPeer(port, engine=engine) as first:
            for _ in seqs:
                await asyncio.wait_for(engine.get_rl_config(), 2)
            async with ScriptedPeer(port) as second:
                await first.wait_closed()
                await asyncio.wait_for(engine.step_next(), 2)
                await asyncio.wait_for(engine.step_next(), 2)
        return [r.seq for r in first.requests], [r.seq for r in second.requests]

    first, second = run(body(), 5)
    assert first == seqs
    assert second == seqs[:2]


def test_seq_restarts_after_the_peer_was_dropped(port):
    async def body():
        engine = await started_engine(port, start_seq=50)
        async with ScriptedPeer(port, no_answer, engine=engine) as first:
            text = await failure_of(engine.get_rl_config(timeout_secs=0.05))
            assert text == transport_text(50, GET_RL_CONFIG, "timeout waiting response")
        async with ScriptedPeer(port, engine=engine) as second:
            await asyncio.wait_for(engine.get_rl_config(), 2)
        return [r.seq for r in first.requests], [r.seq for r in second.requests]

    assert run(body(), 5) == ([50], [50])


# ---- large messages -------------------------------------------------------------------------------------


@pytest.mark.parametrize("size", [20 * MiB, 64 * MiB - 16], ids=["20 MiB", "64 MiB message"])
def test_single_frame_above_16_mib_is_read(size, port):
    async def body():
        payload = b"ab" * (size // 2)
        async with engine_and_peer(port=port, payload=payload) as (engine, peer):
            result = await asyncio.wait_for(engine.get_rl_config(), 10)
            assert len(result) == size
            assert result == payload.decode()
            assert await asyncio.wait_for(engine.get_rl_config(), 10) == result

    run(body(), 30)


def test_message_over_64_mib_fails_the_call(port):
    async def body():
        payload = bytes(64 * MiB - 15)  # 16 + this is one byte over the limit
        async with engine_and_peer(port=port, payload=payload) as (engine, peer):
            text = await failure_of(engine.get_rl_config(), 10)
            await peer.wait_closed()
            assert await failure_of(engine.get_rl_config()) == NO_CONNECTION
            return text

    text = run(body(), 30)
    assert text.startswith(transport_text(1, GET_RL_CONFIG, "websocket recv failed: "))


# ---- cancelled calls ------------------------------------------------------------------------------------


@pytest.mark.parametrize("how", CANCEL_WAYS)
def test_cancelled_while_waiting_for_the_lock(how, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            first = engine.get_rl_config()
            request = await peer.next_request()
            await in_receive_phase(peer)
            queued = engine.reset_episode(9, "test")
            await in_receive_phase(peer)  # the queued call waits for the connection
            await cancel(queued, how)
            await in_receive_phase(peer)  # the cancellation has reached it
            await peer.send(response(request.seq, request.fn_id, b"first"))
            assert await asyncio.wait_for(first, 2) == "first"
            after = engine.get_rl_config()
            request = await peer.next_request()
            await peer.send(response(request.seq, request.fn_id, b"after"))
            assert await asyncio.wait_for(after, 2) == "after"
            return [(r.seq, r.fn_id) for r in peer.requests]

    # The cancelled call never sent anything and used no seq number.
    assert run(body(), 5) == [(1, GET_RL_CONFIG), (2, GET_RL_CONFIG)]


def late_response(seq, fn_id):
    return response(seq, fn_id, b"late")


def late_error(seq, fn_id):
    return error_response(seq, fn_id, 5, 5, b"late")


@pytest.mark.parametrize("how", CANCEL_WAYS)
@pytest.mark.parametrize("late", [late_response, late_error], ids=["Response", "ErrorResponse"])
@pytest.mark.parametrize("when", ["before the next call", "with the next answer"])
def test_cancelled_in_the_receive_phase_then_a_good_call(how, late, when, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            abandoned = engine.get_rl_config()
            old = await peer.next_request()
            await cancel(abandoned, how)
            # The connection is free once the cancelled call has let go of it, its request remembered.
            assert await asyncio.wait_for(engine.wait_connected(0), 2) is None
            if when == "before the next call":
                await peer.send(late(old.seq, old.fn_id))
                await engine_has_read(port, peer.ws.transport.get_extra_info("socket"))
            call = engine.get_sync_policy()
            request = await peer.next_request()
            if when == "with the next answer":
                await peer.send(late(old.seq, old.fn_id))
            await peer.send(response(request.seq, request.fn_id, b"\x00"))
            assert await asyncio.wait_for(call, 2) == "deferred"
            return request.seq, peer.closed

    assert run(body(), 5) == (2, False)


# (late frames the peer sends for the cancelled call 1, text of the next call's failure)
STALE = {
    "other fnId": ([response(1, GET_SYNC_POLICY)], "seq mismatch: expected 2, got 1"),
    "unknown seq": ([response(77, GET_RL_CONFIG)], "seq mismatch: expected 2, got 77"),
    "answered twice": ([response(1, GET_RL_CONFIG), response(1, GET_RL_CONFIG)], "seq mismatch: expected 2, got 1"),
}


@pytest.mark.parametrize("late, text", STALE.values(), ids=STALE.keys())
def test_stale_answer_not_matching_a_cancelled_call_still_fails(late, text, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            abandoned = engine.get_rl_config()
            await peer.next_request()
            await cancel(abandoned)
            assert await asyncio.wait_for(engine.wait_connected(0), 2) is None  # the cancelled call let go
            await peer.send(*late)
            call = engine.get_rl_config()
            request = await peer.next_request()
            await peer.send(response(request.seq, request.fn_id))
            failure = await failure_of(call)
            await disconnected(engine, peer)
            return failure

    assert run(body(), 5) == transport_text(2, GET_RL_CONFIG, text)


def test_answer_to_a_call_cancelled_on_an_earlier_peer_is_not_excused(port):
    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, no_answer, engine=engine) as first:
            abandoned = engine.get_rl_config()
            await first.next_request()
            await cancel(abandoned)
            async with ScriptedPeer(port, no_answer) as second:
                await first.wait_closed()
                call = engine.get_rl_config()
                request = await second.next_request()
                assert request.seq == 1
                await second.send(response(2, GET_RL_CONFIG))  # neither this call's nor any cancelled one here
                return await failure_of(call)

    assert run(body(), 5) == transport_text(1, GET_RL_CONFIG, "seq mismatch: expected 1, got 2")


@pytest.mark.parametrize("first_too", [False, True], ids=["first answered", "all cancelled"])
def test_hundred_queued_calls_cancelled_then_a_call_succeeds(first_too, port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            first = engine.get_rl_config()
            request = await peer.next_request()
            await in_receive_phase(peer)
            queued = [engine.get_rl_config() for _ in range(100)]
            await in_receive_phase(peer)  # all of them wait for the connection
            for call in queued:
                await cancel(call)
            await in_receive_phase(peer)  # every cancellation has reached its call
            if first_too:
                await cancel(first)
                assert await asyncio.wait_for(engine.wait_connected(0), 2) is None  # the first call let go
            await peer.send(response(request.seq, request.fn_id, b"first"))
            if not first_too:
                assert await asyncio.wait_for(first, 2) == "first"
            last = engine.get_rl_config()
            final = await peer.next_request()
            await peer.send(response(final.seq, final.fn_id, b"last"))
            assert await asyncio.wait_for(last, 2) == "last"
            return [r.seq for r in peer.requests]

    assert run(body(), 5) == [1, 2]


def test_cancelled_calls_are_remembered_up_to_a_bound(port):
    async def body():
        async with engine_and_peer(no_answer, port=port) as (engine, peer):
            for _ in range(1025):
                call = engine.step_next()
                await peer.next_request()
                await cancel(call)
            assert await asyncio.wait_for(engine.wait_connected(0), 2) is None  # the last call let go
            # Call 1 fell out of the record; call 2 is still in it.
            await peer.send(response(2, STEP_NEXT), response(1, STEP_NEXT))
            return await failure_of(engine.step_next())

    assert run(body(), 15) == transport_text(1026, STEP_NEXT, "seq mismatch: expected 1026, got 1")


def require_unbuffered(size: int) -> None:
    """Skips unless a frame of `size` bytes cannot fit in the engine's send buffer and our 64 KiB receive buffer,
    so that writing it is still under way while we do not read."""
    with open("/proc/sys/net/ipv4/tcp_wmem") as f:
        largest_send_buffer = int(f.read().split()[2])
    if largest_send_buffer + (1 << 18) >= size:
        pytest.skip(f"socket buffers of {largest_send_buffer} bytes could hold the whole frame")


def test_cancelled_during_the_send_drops_the_connection(port):
    """Half a frame cannot be withdrawn: cancelling a call whose request is still being written drops the peer at
    once and frees the slot, instead of finishing a write that a peer which does not read would hold for ever."""
    n = 1 << 20  # a 16 MiB request
    require_unbuffered(16 * n)

    async def body():
        engine = await started_engine(port)
        async with await RawClient.upgraded(port, rcvbuf=1 << 16, engine=engine) as client:
            big = engine.close_positions([7] * n, [1] * n, [0.5] * n)
            head = await asyncio.wait_for(client.reader.readexactly(10 + 16), 2)
            assert not big.done()  # the rest cannot fit in the socket buffers while the client does not read
            big.cancel()
            rest = await answer_to_eof(client, 5)
            after = await failure_of(engine.get_rl_config(), 1)
        return head, len(rest), after

    head, rest, after = run(body(), 15)
    assert head[:10] == bytes([0x82, 127]) + struct.pack("!Q", 16 + 4 + 16 * n)
    request = parse_frame(head[10:])
    assert (request.kind, request.seq, request.fn_id, request.length) == (REQUEST, 1, CLOSE_POSITIONS, 4 + 16 * n)
    assert rest < 4 + 16 * n  # the frame was cut off
    assert after == NO_CONNECTION


async def answer_to_eof(client: RawClient, timeout: float) -> bytes:
    """Everything the engine still sends until it ends the connection; a reset counts as an end."""
    try:
        return await client.read_to_eof(timeout)
    except ConnectionResetError:
        return b""


def test_cancelled_while_writing_a_ping_reply_drops_the_connection(port):
    size = 16 * MiB
    require_unbuffered(size)

    async def body():
        engine = await started_engine(port)
        async with await RawClient.upgraded(port, rcvbuf=1 << 16, engine=engine) as client:
            abandoned = engine.get_rl_config()
            await client.read_frame()
            await client.send_binary(peer_ping(99, 7, bytes(size)))
            head = await asyncio.wait_for(client.reader.readexactly(10), 5)
            abandoned.cancel()
            rest = await answer_to_eof(client, 5)
            after = await failure_of(engine.get_rl_config(), 1)
        return head, len(rest), after

    head, rest, after = run(body(), 15)
    assert head == bytes([0x82, 127]) + struct.pack("!Q", 16 + size)
    assert rest < 16 + size
    assert after == NO_CONNECTION


def test_peer_answers_cancelled_call_late_then_the_next_correctly(port):
    """A peer slower than its caller: every answer arrives after the caller gave up, then it catches up."""

    async def slow(peer, request):
        await asyncio.sleep(0.3 if request.seq <= 3 else 0)
        return response(request.seq, request.fn_id, str(request.seq).encode())

    async def body():
        async with engine_and_peer(slow, port=port) as (engine, peer):
            for _ in range(3):
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(engine.get_rl_config(), 0.1)
            results = [await asyncio.wait_for(engine.get_rl_config(), 3) for _ in range(2)]
            return results, peer.closed

    assert run(body(), 8) == (["4", "5"], False)
