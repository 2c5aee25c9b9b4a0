"""The engine's server side in pure Python on the `websockets` library (asyncio implementation), written the
way its documentation suggests: a `serve` handler that greets the peer and parks the connection, and calls
that send one request and `recv` until the matching response, one at a time under an asyncio lock."""

from __future__ import annotations

import asyncio
import sys
from typing import Callable, Optional, TypeVar

from websockets.asyncio.server import ServerConnection, serve
from websockets.exceptions import ConnectionClosed

from . import protocol as p

T = TypeVar("T")

if sys.version_info >= (3, 11):
    _timeout = asyncio.timeout
else:  # pragma: no cover - 3.10 has no asyncio.timeout
    _timeout = None


class WebsocketsEngine(p.BaselineEngine):
    name = "websockets"

    def __init__(self, host: str, port: int, start_seq: int = 1) -> None:
        super().__init__(host, port, start_seq)
        self._conn: Optional[ServerConnection] = None

    async def start(self) -> None:
        self._server = await serve(
            self._handler,
            self.host,
            self.port,
            origins=[None, *p.ALLOWED_ORIGINS],
            max_size=64 * 2**20,
            compression=None,
            ping_interval=None,
        )

    async def _handler(self, conn: ServerConnection) -> None:
        await conn.send(p.HANDSHAKE)
        async with self._lock:  # never swap the connection under a running call
            if self._conn is not None:
                await self._conn.close()
            self._conn = conn
            self._seq = self.start_seq
        self._connected.set()
        await conn.wait_closed()

    async def _call(self, fn_id: int, parts: tuple, decode: Callable[[memoryview], T], timeout: float) -> T:
        async with self._lock:
            conn = self._conn
            if conn is None:
                raise RuntimeError("no websocket connected")
            seq = self._seq
            self._seq = (seq + 1) & 0xFFFFFFFF
            try:
                await conn.send(p.request_frame(seq, fn_id, *parts))
                if _timeout is not None:
                    async with _timeout(timeout):
                        payload = await self._receive(conn, seq, fn_id)
                else:
                    payload = await asyncio.wait_for(self._receive(conn, seq, fn_id), timeout)
            except (ConnectionClosed, p.ProtocolError, TimeoutError, asyncio.TimeoutError):
                self._conn = None
                await conn.close()
                raise
            return decode(payload)

    @staticmethod
    async def _receive(conn: ServerConnection, seq: int, fn_id: int) -> memoryview:
        while True:
            message = await conn.recv()
            if isinstance(message, str):
                continue
            if p.check_frame(message)[0] == p.PEER_PING:
                await conn.send(p.ping_reply(message))
                continue
            payload = p.match_response(message, seq, fn_id)
            if payload is not None:
                return payload
