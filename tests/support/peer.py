"""A scripted UI peer on the `websockets` client, plus builders and a parser for RPC frames.

The peer connects to the engine, keeps the greeting text it receives first, records every request frame
and answers each one through a handler. Everything else the engine sends (PingReply frames, unexpected
messages) is kept apart so a test can wait for it.
"""

from __future__ import annotations

import asyncio
import inspect
import socket
import struct
import threading
from dataclasses import dataclass
from typing import Any, Awaitable, Callable, Iterable, Optional, Union

from websockets.asyncio.client import ClientConnection, connect
from websockets.exceptions import ConnectionClosed
from websockets.typing import Origin

HEADER = struct.Struct("<BBHIHHI")  # version, kind, reserved, seq, fnId, reserved, payload length
HEADER_LEN = HEADER.size
PROTOCOL_VERSION = 1

REQUEST = 1
RESPONSE = 2
ERROR_RESPONSE = 3
PEER_PING = 4
PING_REPLY = 5

# The greeting's fixed text: its version is the protocol's, not the package's (which pyproject.toml holds).
HANDSHAKE_TEXT = '{"type":"handshake","python_library_version":"0.1.0"}'


@dataclass(frozen=True)
class Frame:
    """One binary message taken apart by the 16-byte header; `raw` is the whole message."""

    version: int
    kind: int
    reserved1: int
    seq: int
    fn_id: int
    reserved2: int
    length: int
    payload: bytes
    raw: bytes


def parse_frame(data: bytes) -> Frame:
    if len(data) < HEADER_LEN:
        raise ValueError(f"frame of {len(data)} bytes has no header")
    version, kind, r1, seq, fn_id, r2, length = HEADER.unpack_from(data)
    return Frame(version, kind, r1, seq, fn_id, r2, length, bytes(data[HEADER_LEN:]), bytes(data))


def frame_bytes(
    kind: int,
    seq: int,
    fn_id: int,
    payload: bytes = b"",
    *,
    version: int = PROTOCOL_VERSION,
    length: Optional[int] = None,
    reserved: tuple[int, int] = (0, 0),
) -> bytes:
    """A frame with any header values; `length` overrides the declared payload length."""
    declared = len(payload) if length is None else length
    return HEADER.pack(version, kind, reserved[0], seq, fn_id, reserved[1], declared) + payload


def response(seq: int, fn_id: int, payload: bytes = b"", **kw: Any) -> bytes:
    return frame_bytes(RESPONSE, seq, fn_id, payload, **kw)


def error_payload(err: int, sub: int, message: bytes = b"", *, declared: Optional[int] = None) -> bytes:
    n = len(message) if declared is None else declared
    return struct.pack("<HHI", err, sub, n) + message


def error_response(seq: int, fn_id: int, err: int = 0, sub: int = 0, message: bytes = b"", **kw: Any) -> bytes:
    return frame_bytes(ERROR_RESPONSE, seq, fn_id, error_payload(err, sub, message), **kw)


def peer_ping(seq: int, fn_id: int, payload: bytes = b"", **kw: Any) -> bytes:
    return frame_bytes(PEER_PING, seq, fn_id, payload, **kw)


Message = Union[bytes, str]
Reply = Union[None, Message, Iterable[Message]]
Handler = Callable[["ScriptedPeer", Frame], Union[Reply, Awaitable[Reply]]]


def answer_with(payload: bytes = b"") -> Handler:
    """The plain handler: a Response with the request's seq and fnId carrying `payload`."""

    def handler(peer: "ScriptedPeer", request: Frame) -> Reply:
        return response(request.seq, request.fn_id, payload)

    return handler


def no_answer(peer: "ScriptedPeer", request: Frame) -> Reply:
    """Records the request and sends nothing; the test answers with `peer.send` itself."""
    return None


class ScriptedPeer:
    """`async with ScriptedPeer(port, handler) as peer:` connects, reads the greeting and starts serving.

    The handler gets (peer, request frame) and returns what to send: None, one message (bytes go out as a
    Binary message, str as Text) or a list of messages. It may be a coroutine function. Handlers run one
    request at a time, in arrival order.

    The engine greets a peer before it installs it, so a call made right after the greeting may still find
    no connection. Pass `engine` to wait, after the greeting, until the engine reports a connected peer; that
    is enough while no other peer is installed (when one is, wait for it to be dropped instead).
    """

    def __init__(
        self,
        port: int,
        handler: Optional[Handler] = None,
        *,
        origin: Optional[str] = None,
        host: str = "127.0.0.1",
        path: str = "/",
        payload: bytes = b"",
        engine: Any = None,
        open_timeout: float = 5.0,
        close_timeout: float = 0.5,
    ) -> None:
        self.uri = f"ws://{host}:{port}{path}"
        self.engine = engine
        self.handler: Handler = handler if handler is not None else answer_with(payload)
        self.origin = origin
        self.open_timeout = open_timeout
        self.close_timeout = close_timeout
        self.ws: Optional[ClientConnection] = None
        self.handshake: Optional[Message] = None
        self.requests: list[Frame] = []
        self.others: list[Message] = []  # everything received after the greeting that is not a request
        self.send_errors: list[BaseException] = []
        self._request_queue: asyncio.Queue[Frame] = asyncio.Queue()
        self._handler_queue: asyncio.Queue[Frame] = asyncio.Queue()
        self._other_queue: asyncio.Queue[Message] = asyncio.Queue()
        self._tasks: list[asyncio.Task[None]] = []
        self._failure: Optional[BaseException] = None
        self._closed = asyncio.Event()

    # ---- lifecycle ------------------------------------------------------------------------------------

    async def __aenter__(self) -> "ScriptedPeer":
        await self.open()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()
        if self._failure is not None and exc_info[0] is None:
            raise self._failure

    async def open(self) -> None:
        self.ws = await connect(
            self.uri,
            origin=Origin(self.origin) if self.origin is not None else None,
            compression=None,
            proxy=None,
            ping_interval=None,
            max_size=None,
            open_timeout=self.open_timeout,
            close_timeout=self.close_timeout,
        )
        self.handshake = await asyncio.wait_for(self.ws.recv(), self.open_timeout)
        self._tasks = [asyncio.create_task(self._receive()), asyncio.create_task(self._serve())]
        if self.engine is not None:
            await asyncio.wait_for(self.engine.wait_connected(), self.open_timeout)

    async def close(self) -> None:
        if self.ws is not None:
            await self.ws.close()
        for t in self._tasks:
            t.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)

    def abort(self) -> None:
        """Drops the TCP connection with a reset (SO_LINGER 0), without a close frame."""
        assert self.ws is not None
        sock = self.ws.transport.get_extra_info("socket")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.ws.transport.abort()

    async def wait_closed(self, timeout: float = 2.0) -> tuple[Optional[int], bool]:
        """Waits for the connection to end: (close code as websockets reports it, close frame received)."""
        assert self.ws is not None
        await asyncio.wait_for(self._closed.wait(), timeout)
        return self.ws.close_code, self.ws.protocol.close_rcvd is not None

    @property
    def closed(self) -> bool:
        return self._closed.is_set()

    # ---- traffic --------------------------------------------------------------------------------------

    async def send(self, *messages: Message) -> None:
        assert self.ws is not None
        for m in messages:
            try:
                await self.ws.send(m)
            except ConnectionClosed as e:
                self.send_errors.append(e)
                return

    async def next_request(self, timeout: float = 2.0) -> Frame:
        return await asyncio.wait_for(self._request_queue.get(), timeout)

    async def next_other(self, timeout: float = 2.0) -> Message:
        return await asyncio.wait_for(self._other_queue.get(), timeout)

    async def _receive(self) -> None:
        assert self.ws is not None
        try:
            async for message in self.ws:
                if isinstance(message, bytes) and len(message) >= HEADER_LEN and message[1] == REQUEST:
                    frame = parse_frame(message)
                    self.requests.append(frame)
                    self._request_queue.put_nowait(frame)
                    self._handler_queue.put_nowait(frame)
                else:
                    self.others.append(message)
                    self._other_queue.put_nowait(message)
        except ConnectionClosed:
            pass
        finally:
            self._closed.set()

    async def _serve(self) -> None:
        while True:
            request = await self._handler_queue.get()
            try:
                reply = self.handler(self, request)
                if inspect.isawaitable(reply):
                    reply = await reply
                if reply is None:
                    continue
                if isinstance(reply, (bytes, bytearray, str)):
                    await self.send(reply)
                else:
                    await self.send(*reply)
            except asyncio.CancelledError:
                raise
            except BaseException as e:  # kept and raised when the peer is left
                if self._failure is None:
                    self._failure = e


class PeersInThread:
    """`async with PeersInThread(ports, handler) as peers:` connects one ScriptedPeer to each port, served by an
    event loop of their own in another thread, so they go on answering while the test's loop is held up."""

    def __init__(self, ports: Iterable[int], handler: Optional[Handler] = None, timeout: float = 5.0) -> None:
        self.ports = list(ports)
        self.handler = handler
        self.timeout = timeout
        self.peers: list[ScriptedPeer] = []
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="peers", daemon=True)

    async def _in_thread(self, coro: Awaitable[Any]) -> Any:
        future = asyncio.run_coroutine_threadsafe(coro, self.loop)  # type: ignore[arg-type]
        return await asyncio.wait_for(asyncio.wrap_future(future), self.timeout)

    async def _open(self) -> None:
        self.peers = [ScriptedPeer(port, self.handler) for port in self.ports]
        await asyncio.gather(*(p.open() for p in self.peers))

    async def _close(self) -> None:
        await asyncio.gather(*(p.close() for p in self.peers))

    async def __aenter__(self) -> list[ScriptedPeer]:
        self.thread.start()
        await self._in_thread(self._open())
        return self.peers

    async def __aexit__(self, *exc_info: Any) -> None:
        self.stop()

    def stop(self) -> None:
        """Closes the peers and ends their thread; also for a test whose own loop is gone."""
        try:
            if self.thread.is_alive():
                asyncio.run_coroutine_threadsafe(self._close(), self.loop).result(self.timeout)
        finally:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(self.timeout)
            self.loop.close()
