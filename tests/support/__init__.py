"""Test support: a scripted UI peer, a byte-level WebSocket client and a few shared helpers."""

from __future__ import annotations

import asyncio
import contextlib
from typing import Optional

from .peer import (  # noqa: F401
    ERROR_RESPONSE,
    HANDSHAKE_TEXT,
    HEADER_LEN,
    PEER_PING,
    PING_REPLY,
    REQUEST,
    RESPONSE,
    Frame,
    PeersInThread,
    ScriptedPeer,
    answer_with,
    error_payload,
    error_response,
    frame_bytes,
    no_answer,
    parse_frame,
    peer_ping,
    response,
)
from .rawclient import RawClient, ServerFrame, encode_frame, silent_connection, upgrade_request  # noqa: F401
from .sockets import reserved_port

LOG_PREFIX = "[rust ws server] "


def under_address_sanitizer() -> bool:
    """Whether this process runs with the ASan runtime preloaded (scripts/sanitize.sh)."""
    with open("/proc/self/maps") as f:
        return "/libasan.so" in f.read()


async def started_engine(port: int, start_seq: Optional[int] = None):
    """A started engine listening on 127.0.0.1:port."""
    from py_engine_rust import RustEngineAsync

    engine = RustEngineAsync("127.0.0.1", port, start_seq)
    await asyncio.wait_for(engine.start(), 2.0)
    return engine


@contextlib.asynccontextmanager
async def engine_and_peer(handler=None, *, port: Optional[int] = None, start_seq: Optional[int] = None,
                          **peer_options):
    """A started engine with a ScriptedPeer(handler, **peer_options) connected and installed: yields (engine, peer).
    The engine listens on `port`, or on a port reserved for the block."""
    with contextlib.ExitStack() as ports:
        if port is None:
            port = ports.enter_context(reserved_port())
        engine = await started_engine(port, start_seq)
        async with ScriptedPeer(port, handler, engine=engine, **peer_options) as peer:
            yield engine, peer


SYNC_PING = peer_ping(0xFFFF, 0xFFFF, b"sync")
SYNC_REPLY = frame_bytes(PING_REPLY, 0xFFFF, 0xFFFF, b"sync")


async def in_receive_phase(peer: ScriptedPeer) -> None:
    """Returns once the call that sent the peer's last request holds the connection for its receive phase, the
    only place a PingReply comes from (the reply, SYNC_REPLY, stays in peer.others). Calls made after this wait at
    their connected check, before any seq. And what the engine's worker had to do before it read this PeerPing is
    done: calls made earlier have reached their wait for the connection, cancellations passed on earlier (see
    cancel) have reached their calls, messages the peer sent earlier have been read."""
    await peer.send(SYNC_PING)
    assert await peer.next_other() == SYNC_REPLY


CANCEL_WAYS = ("wait_for", "future.cancel", "task.cancel")


async def cancel(call: asyncio.Future, how: str = "future.cancel") -> None:
    """Cancels an engine call the way a caller would: asyncio.wait_for running out, Future.cancel, or cancelling a
    task that awaits the call. Returns once the engine's own done-callback on the future has run and passed the
    cancellation on to the engine's worker; whatever reaches that worker afterwards finds it delivered."""
    told = asyncio.Event()
    call.add_done_callback(lambda _: told.set())  # runs after the engine's callback, added when the call was made
    if how == "wait_for":
        try:
            await asyncio.wait_for(call, 0.05)
        except asyncio.TimeoutError:
            pass
        else:
            raise AssertionError("the call was answered")
    elif how == "future.cancel":
        call.cancel()
    else:
        awaiting_it = asyncio.Event()

        async def awaiting():
            awaiting_it.set()
            return await call

        task = asyncio.ensure_future(awaiting())
        await awaiting_it.wait()
        task.cancel()
        try:
            await task
        except asyncio.CancelledError:
            pass
        else:
            raise AssertionError("the awaiting task was not cancelled")
    await told.wait()
    assert call.cancelled()


def transport_text(seq: Optional[int], fn_id: Optional[int], text: str) -> str:
    def opt(v: Optional[int]) -> str:
        return "None" if v is None else f"Some({v})"

    return f"RpcTransportError(seq={opt(seq)}, fnId={opt(fn_id)}): {text}"


def rpc_text(seq: int, fn_id: int, err: int, sub: int, message: str) -> str:
    return f"RpcError(seq={seq}, fnId={fn_id}, err={err}, sub={sub}): {message}"


async def failure_of(awaitable, timeout: float = 3.0) -> str:
    """Awaits a call that must fail with a plain RuntimeError carrying one text; returns that text."""
    try:
        value = await asyncio.wait_for(awaitable, timeout)
    except RuntimeError as e:
        assert type(e) is RuntimeError, f"{type(e).__name__}: {e}"
        assert len(e.args) == 1 and str(e) == e.args[0]
        return e.args[0]
    raise AssertionError(f"call succeeded with {value!r}")


class EngineLog:
    """The engine's diagnostic lines on fd 2, collected through pytest's capfd."""

    def __init__(self, capfd) -> None:
        self._capfd = capfd
        self._text = ""

    def lines(self) -> list[str]:
        self._text += self._capfd.readouterr().err
        return [line for line in self._text.splitlines() if line.startswith(LOG_PREFIX)]

    async def wait_for(self, line: str, count: int = 1, timeout: float = 2.0) -> list[str]:
        """Waits until `line` has been logged `count` times; returns all lines seen so far."""
        loop = asyncio.get_running_loop()
        end = loop.time() + timeout
        while True:
            seen = self.lines()
            if seen.count(line) >= count:
                return seen
            if loop.time() >= end:
                raise AssertionError(f"{line!r} not logged {count} time(s); log: {seen!r}")
            await asyncio.sleep(0.01)
