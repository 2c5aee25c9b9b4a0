"""The WebSocket endpoint: origin check, greeting, installation of peers, wait_connected, accept errors."""

from __future__ import annotations

import asyncio
import socket
import subprocess
import sys
import textwrap

import pytest
from conftest import run

from support import (
    HANDSHAKE_TEXT,
    LOG_PREFIX,
    EngineLog,
    RawClient,
    ScriptedPeer,
    failure_of,
    in_receive_phase,
    no_answer,
    response,
    silent_connection,
    started_engine,
    transport_text,
    under_address_sanitizer,
    upgrade_request,
)
from support.fn_ids import GET_RL_CONFIG
from support.rawclient import OP_TEXT, header_values
from support.sockets import engine_side

FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\n\r\n"
REJECTED_403 = LOG_PREFIX + "accept failed: HTTP error: 403 Forbidden"


# ---- origin check ---------------------------------------------------------------------------------------

ACCEPTED = [
    None,
    "http://127.0.0.1",
    "http://127.0.0.1/",
    "http://127.0.0.1:5173",
    "http://localhost:3000/",
    "https://localhost",
    "https://127.0.0.1:8443/app/",
    "http://localhost//",
    "https://ui.tradesim.example",
    "https://app.tradesim.example.io:443",
    "/",
    "///",
    "http://127.0.0.2\xff",  # not visible ASCII: read as no origin at all
]

# (Origin header value, origin as logged after trimming)
REFUSED = [
    ("http://127.0.0.2", "http://127.0.0.2"),
    ("http://LOCALHOST", "http://LOCALHOST"),
    ("null", "null"),
    ("file://", "file:"),
    ("http://localhost.example.net", "http://localhost.example.net"),
    ("http://127.0.0.1.example.net/", "http://127.0.0.1.example.net"),
    ("http://127.0.0.10", "http://127.0.0.10"),
    ("http://127.0.0.1@evil.example", "http://127.0.0.1@evil.example"),
    ("https://ui.tradesim.example.evil", "https://ui.tradesim.example.evil"),
    ("ws://localhost", "ws://localhost"),
    ("https://localhost_", "https://localhost_"),
]


@pytest.mark.parametrize("origin", ACCEPTED, ids=repr)
def test_accepted_origin_is_upgraded_and_greeted(origin, port, capfd):
    log = EngineLog(capfd)

    async def body():
        await started_engine(port)
        async with await RawClient.connect(port) as client:
            head = await client.upgrade(origin)
            assert head.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
            greeting = await client.read_frame()
            assert (greeting.fin, greeting.opcode, greeting.masked) == (True, OP_TEXT, False)
            assert greeting.payload == HANDSHAKE_TEXT.encode()

    run(body(), 5)
    assert log.lines() == []


@pytest.mark.parametrize("origin, logged", REFUSED, ids=[o for o, _ in REFUSED])
def test_refused_origin_gets_exactly_403_and_is_logged(origin, logged, port, capfd):
    log = EngineLog(capfd)

    async def body():
        await started_engine(port)
        async with await RawClient.connect(port) as client:
            await client.send_raw(upgrade_request(origin))
            assert await client.read_to_eof() == FORBIDDEN
        return await log.wait_for(REJECTED_403)

    lines = run(body(), 5)
    assert lines == [LOG_PREFIX + "rejected origin: " + logged, REJECTED_403]


@pytest.mark.parametrize(
    "origins, accepted",
    [
        (["http://localhost", "http://evil.example"], True),
        (["http://evil.example", "http://localhost"], False),
    ],
)
def test_first_of_several_origin_headers_decides(origins, accepted, port, capfd):
    log = EngineLog(capfd)

    async def body():
        await started_engine(port)
        async with await RawClient.connect(port) as client:
            await client.send_raw(upgrade_request(origins=origins))
            if accepted:
                assert (await client.read_http_head()).startswith(b"HTTP/1.1 101 ")
                assert (await client.read_frame()).payload == HANDSHAKE_TEXT.encode()
                return log.lines()
            assert await client.read_to_eof() == FORBIDDEN
        return await log.wait_for(REJECTED_403)

    lines = run(body(), 5)
    assert lines == ([] if accepted else [LOG_PREFIX + "rejected origin: http://evil.example", REJECTED_403])


def test_refused_origin_leaves_the_installed_peer_in_place(port, capfd):
    log = EngineLog(capfd)

    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, payload=b"kept", engine=engine) as peer:
            async with await RawClient.connect(port) as client:
                await client.send_raw(upgrade_request("http://evil.example"))
                assert await client.read_to_eof() == FORBIDDEN
            await log.wait_for(REJECTED_403)
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == "kept"
            assert [r.seq for r in peer.requests] == [1]
            assert not peer.closed

    run(body(), 5)


# ---- the greeting ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("origin", [None, "http://localhost:5173"])
def test_greeting_is_the_first_message_and_a_text_message(origin, port):
    async def body():
        await started_engine(port)
        async with ScriptedPeer(port, origin=origin) as peer:
            assert type(peer.handshake) is str
            assert peer.handshake == HANDSHAKE_TEXT

    run(body(), 5)


def test_offered_extensions_and_subprotocols_are_not_taken_up(port):
    async def body():
        await started_engine(port)
        async with await RawClient.connect(port) as client:
            head = await client.upgrade(
                "http://localhost",
                path="/any/path?with=query",
                extra=["Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits",
                       "Sec-WebSocket-Protocol: chat, superchat"],
            )
            return head, await client.read_frame()

    head, greeting = run(body(), 5)
    assert head.startswith(b"HTTP/1.1 101 Switching Protocols\r\n")
    assert header_values(head, b"sec-websocket-extensions") == []
    assert header_values(head, b"sec-websocket-protocol") == []
    assert (greeting.opcode, greeting.rsv, greeting.payload) == (OP_TEXT, 0, HANDSHAKE_TEXT.encode())


# ---- malformed requests ---------------------------------------------------------------------------------

MALFORMED = {
    "plain GET": (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"HTTP/1.1 400 Bad Request\r\n"),
    "not HTTP": (b"garbage\r\n\r\n", b""),
    "old version": (
        upgrade_request().replace(b"Sec-WebSocket-Version: 13", b"Sec-WebSocket-Version: 8"),
        b"HTTP/1.1 426 Upgrade Required\r\n",
    ),
    "no key": (
        b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        b"Sec-WebSocket-Version: 13\r\n\r\n",
        b"HTTP/1.1 400 Bad Request\r\n",
    ),
}


@pytest.mark.parametrize("request_bytes, answer_start", MALFORMED.values(), ids=MALFORMED.keys())
def test_malformed_request_fails_the_handshake_only(request_bytes, answer_start, port, capfd):
    log = EngineLog(capfd)

    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, payload=b"first", engine=engine) as first:
            async with await RawClient.connect(port) as client:
                await client.send_raw(request_bytes)
                answer = await client.read_to_eof()
            # The installed peer is untouched; a later peer still gets in.
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == "first"
            async with ScriptedPeer(port, payload=b"second"):
                assert await first.wait_closed() == (1006, False)
                assert await asyncio.wait_for(engine.get_rl_config(), 2) == "second"
        return answer

    answer = run(body(), 5)
    assert answer.startswith(answer_start)
    assert b"101 Switching" not in answer
    lines = log.lines()
    assert len(lines) == 1 and lines[0].startswith(LOG_PREFIX + "accept failed: ")


# ---- installation ---------------------------------------------------------------------------------------


def test_second_peer_replaces_the_first(port, capfd):
    log = EngineLog(capfd)

    async def body():
        engine = await started_engine(port, start_seq=7)
        async with ScriptedPeer(port, payload=b"one", engine=engine) as first:
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == "one"
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == "one"
            async with ScriptedPeer(port, payload=b"two") as second:
                # No close frame reaches the first peer: an abnormal closure.
                assert await first.wait_closed() == (1006, False)
                assert await asyncio.wait_for(engine.wait_connected(0), 2) is None
                assert await asyncio.wait_for(engine.get_rl_config(), 2) == "two"
                assert [r.seq for r in first.requests] == [7, 8]
                assert [r.seq for r in second.requests] == [7]

    run(body(), 5)
    assert log.lines() == []


def _engine_side_no_delay(port: int, client: tuple[str, int]) -> list[int]:
    """TCP_NODELAY of every socket of this process that is the engine's end of the client's connection."""
    found = []
    for s in engine_side(port, client):
        with s:
            found.append(s.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
    return found


def test_the_peer_connection_sends_without_delay(port):
    """Nagle's algorithm would hold a second small message back until the peer acknowledges the first: two
    PeerPings in one burst got their second PingReply up to 45 ms late (the peer's delayed acknowledgement)."""

    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, payload=b"one", engine=engine) as peer:
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == "one"
            return _engine_side_no_delay(port, peer.ws.transport.get_extra_info("sockname"))

    assert run(body(), 5) == [1]


def test_pending_wait_connected_calls_all_resolve(port):
    async def body():
        engine = await started_engine(port)
        waits = [engine.wait_connected(), engine.wait_connected(timeout_secs=5), engine.wait_connected(5.0)]
        # The engine's worker takes this up after the waits above, and its outcome comes after theirs would.
        assert await failure_of(engine.wait_connected(0)) == transport_text(None, None, "wait_connected timed out")
        assert not any(w.done() for w in waits)
        async with ScriptedPeer(port):
            assert await asyncio.wait_for(asyncio.gather(*waits), 2) == [None, None, None]

    run(body(), 5)


def test_wait_connected_before_start_resolves_on_connection(port):
    async def body():
        from py_engine_rust import RustEngineAsync

        engine = RustEngineAsync("127.0.0.1", port)
        wait = engine.wait_connected(3)
        await asyncio.wait_for(engine.start(), 2)
        async with ScriptedPeer(port):
            assert await asyncio.wait_for(wait, 2) is None

    run(body(), 5)


async def _answered_call(engine) -> None:
    while True:
        try:
            await engine.get_rl_config()
            return
        except RuntimeError as e:
            assert str(e) == transport_text(None, GET_RL_CONFIG, "no websocket connected")
            await asyncio.sleep(0.01)


@pytest.mark.parametrize("timeout_secs", [None, 0, 0.0, 1, 0.5])
def test_wait_connected_resolves_at_once_when_connected(timeout_secs, port):
    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port):
            # Greeted first, installed just after: an answered call proves the installation.
            await asyncio.wait_for(_answered_call(engine), 2)
            assert await asyncio.wait_for(engine.wait_connected(timeout_secs), 0.5) is None
            assert await asyncio.wait_for(engine.wait_connected(timeout_secs=timeout_secs), 0.5) is None

    run(body(), 5)


@pytest.mark.parametrize("timeout_secs", [0, 0.2])
def test_wait_connected_times_out_without_a_peer(timeout_secs, port):
    async def body():
        engine = await started_engine(port)
        return await failure_of(engine.wait_connected(timeout_secs), 2)

    assert run(body(), 5) == "RpcTransportError(seq=None, fnId=None): wait_connected timed out"


def test_wait_connected_times_out_after_the_peer_was_dropped(port):
    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, no_answer, engine=engine):
            text = await failure_of(engine.get_rl_config(timeout_secs=0.1))
            assert text == transport_text(1, GET_RL_CONFIG, "timeout waiting response")
            return await failure_of(engine.wait_connected(0.2))

    assert run(body(), 5) == "RpcTransportError(seq=None, fnId=None): wait_connected timed out"


@pytest.mark.parametrize("outcome", ["answered", "timed out"])
def test_peer_arriving_during_a_call_is_installed_after_it(outcome, port):
    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, no_answer, engine=engine) as first:
            call = engine.get_rl_config(timeout_secs=0.6 if outcome == "timed out" else 5)
            request = await first.next_request()
            async with ScriptedPeer(port, payload=b"second") as second:
                # The newcomer is greeted at once but waits for the slot: the first peer stays.
                await in_receive_phase(first)  # the engine is past the greeting, at the installation
                assert not first.closed and not call.done()
                if outcome == "answered":
                    await first.send(response(request.seq, request.fn_id, b"first"))
                    assert await asyncio.wait_for(call, 2) == "first"
                else:
                    text = await failure_of(call)
                    assert text == transport_text(1, GET_RL_CONFIG, "timeout waiting response")
                assert await first.wait_closed() == (1006, False)
                assert await asyncio.wait_for(engine.get_rl_config(), 2) == "second"
                assert [r.seq for r in second.requests] == [1]

    run(body(), 8)


def test_silent_client_holds_the_loop_only_until_the_handshake_bound(port, capfd):
    """One silent TCP client beside a working peer; this test takes about ten seconds."""
    log = EngineLog(capfd)

    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, payload=b"good", engine=engine) as good:
            silent = silent_connection(port)
            try:
                # The working peer keeps working while the loop is stuck on the silent client.
                assert await asyncio.wait_for(engine.get_rl_config(), 2) == "good"
                lines = await log.wait_for(LOG_PREFIX + "accept failed: The socket was closed due to a timeout",
                                           timeout=15)
                assert lines == [LOG_PREFIX + "accept failed: The socket was closed due to a timeout"]
                silent.settimeout(2)
                assert silent.recv(16) == b""
            finally:
                silent.close()
            # The bound ended with the greeting: the good peer, older than ten seconds, still works.
            assert await asyncio.wait_for(engine.get_rl_config(), 2) == "good"
            async with ScriptedPeer(port, payload=b"next", open_timeout=3):
                assert await good.wait_closed() == (1006, False)
                assert await asyncio.wait_for(engine.get_rl_config(), 2) == "next"

    run(body(), 25)


# ---- accept errors --------------------------------------------------------------------------------------

EMFILE_SCRIPT = textwrap.dedent(
    """
    import asyncio, os, resource, socket, sys, time
    from py_engine_rust import RustEngineAsync

    port = int(sys.argv[1])

    async def start():
        engine = RustEngineAsync("127.0.0.1", port)
        await engine.start()
        return engine

    engine = asyncio.run(start())
    clients = [socket.socket() for _ in range(3)]
    lowest_free = os.dup(0)
    os.close(lowest_free)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, hard))
    request = (
        "GET / HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\nUpgrade: websocket\\r\\nConnection: Upgrade\\r\\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\nSec-WebSocket-Version: 13\\r\\n\\r\\n"
    ).encode()
    for c in clients:
        c.connect(("127.0.0.1", port))
        c.sendall(request)
    time.sleep(1.0)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    for c in clients:
        c.settimeout(3)
        head = b""
        while not head.endswith(b"\\r\\n\\r\\n"):
            head += c.recv(1)
        print(head.split(b"\\r\\n")[0].decode(), flush=True)
    """
)


@pytest.mark.skipif(
    under_address_sanitizer(),
    reason="UBSan probes memory through a pipe; with no descriptor left it reports false invalid-vptr errors",
)
def test_accept_errors_for_lack_of_descriptors_are_paced(port):
    proc = subprocess.run(
        [sys.executable, "-c", EMFILE_SCRIPT, str(port)],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=20,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    failure = LOG_PREFIX + "accept failed: Too many open files (os error 24)"
    lines = proc.stderr.splitlines()
    assert set(lines) == {failure}
    # About ten a second for the one second the limit was low, never a flood.
    assert 3 <= len(lines) <= 30
    # The loop survived: every waiting client was served once descriptors were available again.
    assert proc.stdout.splitlines() == ["HTTP/1.1 101 Switching Protocols"] * 3
