"""A byte-level WebSocket client on asyncio streams, for what a WebSocket library will not do.

It sends any upgrade request (custom, repeated or missing Origin, malformed requests), returns the raw
HTTP response bytes, sends masked or unmasked frames of any opcode, reads and parses server frames,
and ends the connection cleanly, half-way (FIN) or with a reset.
"""

from __future__ import annotations

import asyncio
import base64
import hashlib
import os
import socket
import struct
from dataclasses import dataclass
from typing import Iterable, Optional

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

OP_CONTINUATION = 0x0
OP_TEXT = 0x1
OP_BINARY = 0x2
OP_CLOSE = 0x8
OP_PING = 0x9
OP_PONG = 0xA


def accept_key(key: bytes) -> bytes:
    return base64.b64encode(hashlib.sha1(key + GUID).digest())


def upgrade_request(
    origin: Optional[str] = None,
    *,
    origins: Iterable[str] = (),
    path: str = "/",
    host: str = "127.0.0.1",
    key: bytes = b"dGhlIHNhbXBsZSBub25jZQ==",
    extra: Iterable[str] = (),
) -> bytes:
    """A valid upgrade request; `origin` adds one Origin header, `origins` several, in order."""
    lines = [
        f"GET {path} HTTP/1.1",
        f"Host: {host}",
        "Upgrade: websocket",
        "Connection: Upgrade",
        f"Sec-WebSocket-Key: {key.decode()}",
        "Sec-WebSocket-Version: 13",
    ]
    all_origins = ([origin] if origin is not None else []) + list(origins)
    lines += [f"Origin: {o}" for o in all_origins]
    lines += list(extra)
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def encode_frame(
    opcode: int, payload: bytes = b"", *, fin: bool = True, mask: bool = True, rsv: int = 0,
    mask_key: Optional[bytes] = None,
) -> bytes:
    """One WebSocket frame. Clients must mask; mask=False makes the frame a protocol violation."""
    first = (0x80 if fin else 0) | (rsv << 4) | opcode
    n = len(payload)
    mbit = 0x80 if mask else 0
    if n < 126:
        head = struct.pack("!BB", first, mbit | n)
    elif n < 1 << 16:
        head = struct.pack("!BBH", first, mbit | 126, n)
    else:
        head = struct.pack("!BBQ", first, mbit | 127, n)
    if not mask:
        return head + payload
    key = mask_key if mask_key is not None else os.urandom(4)
    return head + key + _apply_mask(payload, key)


def _apply_mask(payload: bytes, key: bytes) -> bytes:
    if not payload:
        return b""
    n = len(payload)
    repeated = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(payload, "big") ^ int.from_bytes(repeated, "big")).to_bytes(n, "big")


def header_values(head: bytes, name: bytes) -> list[bytes]:
    """The values of header `name` (lower case) in an HTTP response head, in order."""
    values = []
    for line in head.split(b"\r\n")[1:]:
        field, sep, value = line.partition(b":")
        if sep and field.strip().lower() == name:
            values.append(value.strip())
    return values


@dataclass(frozen=True)
class ServerFrame:
    fin: bool
    opcode: int
    masked: bool
    payload: bytes
    rsv: int = 0  # the three reserved bits; set only by a negotiated extension

    @property
    def close_code(self) -> Optional[int]:
        if self.opcode != OP_CLOSE or len(self.payload) < 2:
            return None
        return struct.unpack("!H", self.payload[:2])[0]


class RawClient:
    """`async with await RawClient.connect(port) as client:`; every read is bounded by its timeout."""

    def __init__(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        self.reader = reader
        self.writer = writer

    async def __aenter__(self) -> "RawClient":
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.close()

    @classmethod
    async def connect(
        cls, port: int, host: str = "127.0.0.1", *, rcvbuf: Optional[int] = None, limit: int = 1 << 16,
        timeout: float = 2.0,
    ) -> "RawClient":
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf is not None:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.setblocking(False)
        loop = asyncio.get_running_loop()
        try:
            await asyncio.wait_for(loop.sock_connect(sock, (host, port)), timeout)
        except BaseException:
            sock.close()
            raise
        reader, writer = await asyncio.open_connection(sock=sock, limit=limit)
        return cls(reader, writer)

    @classmethod
    async def upgraded(
        cls, port: int, origin: Optional[str] = None, timeout: float = 2.0, *, engine=None, **kw
    ) -> "RawClient":
        """Connects, upgrades, checks the 101 answer and reads the greeting text. With `engine`, then waits
        until the engine reports a connected peer (it greets a peer before it installs it)."""
        client = await cls.connect(port, timeout=timeout, **kw)
        try:
            head = await client.upgrade(origin, timeout=timeout)
            if not head.startswith(b"HTTP/1.1 101 "):
                raise AssertionError(f"upgrade refused: {head!r}")
            greeting = await client.read_frame(timeout)
            if greeting.opcode != OP_TEXT:
                raise AssertionError(f"first frame is not Text: {greeting!r}")
            if engine is not None:
                await asyncio.wait_for(engine.wait_connected(), timeout)
        except BaseException:
            await client.abort()
            raise
        return client

    # ---- HTTP ------------------------------------------------------------------------------------------

    async def send_raw(self, data: bytes) -> None:
        self.writer.write(data)
        await self.writer.drain()

    async def upgrade(self, origin: Optional[str] = None, *, timeout: float = 2.0, **kw) -> bytes:
        """Sends an upgrade request and returns the response head (through the empty line)."""
        key = base64.b64encode(os.urandom(16))
        await self.send_raw(upgrade_request(origin, key=key, **kw))
        head = await self.read_http_head(timeout)
        if head.startswith(b"HTTP/1.1 101 ") and header_values(head, b"sec-websocket-accept") != [accept_key(key)]:
            raise AssertionError(f"bad Sec-WebSocket-Accept in {head!r}")
        return head

    async def read_http_head(self, timeout: float = 2.0) -> bytes:
        return await asyncio.wait_for(self.reader.readuntil(b"\r\n\r\n"), timeout)

    async def read_to_eof(self, timeout: float = 2.0) -> bytes:
        return await asyncio.wait_for(self.reader.read(), timeout)

    # ---- frames ----------------------------------------------------------------------------------------

    async def send_frame(self, opcode: int, payload: bytes = b"", **kw) -> None:
        await self.send_raw(encode_frame(opcode, payload, **kw))

    async def send_binary(self, payload: bytes, **kw) -> None:
        await self.send_frame(OP_BINARY, payload, **kw)

    async def send_close(self, code: Optional[int] = None, reason: bytes = b"") -> None:
        body = b"" if code is None else struct.pack("!H", code) + reason
        await self.send_frame(OP_CLOSE, body)

    async def read_frame(self, timeout: float = 2.0) -> ServerFrame:
        async def read() -> ServerFrame:
            b0, b1 = await self.reader.readexactly(2)
            n = b1 & 0x7F
            if n == 126:
                (n,) = struct.unpack("!H", await self.reader.readexactly(2))
            elif n == 127:
                (n,) = struct.unpack("!Q", await self.reader.readexactly(8))
            masked = bool(b1 & 0x80)
            key = await self.reader.readexactly(4) if masked else b""
            payload = await self.reader.readexactly(n)
            if masked:
                payload = _apply_mask(payload, key)
            return ServerFrame(bool(b0 & 0x80), b0 & 0x0F, masked, payload, (b0 >> 4) & 0x7)

        return await asyncio.wait_for(read(), timeout)

    async def read_until(self, opcode: int, timeout: float = 2.0) -> tuple[ServerFrame, list[ServerFrame]]:
        """Reads frames until one with `opcode`; returns it and the frames read before it."""
        before: list[ServerFrame] = []
        loop = asyncio.get_running_loop()
        end = loop.time() + timeout
        while True:
            f = await self.read_frame(max(0.0, end - loop.time()))
            if f.opcode == opcode:
                return f, before
            before.append(f)

    async def ping(self, data: bytes, timeout: float = 2.0) -> ServerFrame:
        """Sends a Ping and returns the first Pong that comes back."""
        await self.send_frame(OP_PING, data)
        pong, _ = await self.read_until(OP_PONG, timeout)
        return pong

    # ---- endings ---------------------------------------------------------------------------------------

    async def close(self) -> None:
        """Closes the TCP connection normally (FIN), without a close frame. Safe to repeat."""
        if self.writer.transport.is_closing():
            return
        self.writer.close()
        try:
            await asyncio.wait_for(self.writer.wait_closed(), 1.0)
        except (OSError, asyncio.TimeoutError):
            pass

    def half_close(self) -> None:
        """Sends FIN and keeps reading."""
        self.writer.write_eof()

    async def send_with_fin(self, data: bytes, *, close: bool = False) -> None:
        """Sends `data` with the FIN in the same TCP segment (TCP_CORK holds the data back until the FIN joins it),
        so the server finds the end of the stream as soon as it reads. With `close` the socket is closed too, and
        whatever the server writes afterwards is answered with a reset; without it, it keeps reading."""
        sock = self.writer.get_extra_info("socket")
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)
        await self.send_raw(data)
        if close:
            self.writer.close()
        else:
            self.writer.write_eof()

    async def abort(self) -> None:
        """Resets the connection: SO_LINGER 0, so closing sends RST."""
        sock = self.writer.get_extra_info("socket")
        if sock is not None and sock.fileno() >= 0:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.writer.transport.abort()
        await asyncio.sleep(0)  # the transport closes the socket, and so sends the RST, on the loop's next turn


def silent_connection(port: int, host: str = "127.0.0.1") -> socket.socket:
    """A TCP connection that never sends a byte; the caller closes it."""
    return socket.create_connection((host, port), timeout=2.0)
