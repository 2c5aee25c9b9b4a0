"""The engine's server side in pure Python on `picows`, the fastest asyncio WebSocket library, written the way
picows is meant to be used: a WSListener whose on_ws_frame callback reads each frame in place (a memoryview
of picows' own read buffer) and completes the pending call's future with the decoded NumPy array, so the
payload is copied exactly once, straight into the array. One call at a time, under an asyncio lock."""

from __future__ import annotations

import asyncio
import sys
from typing import Callable, Optional

from picows import WSFrame, WSListener, WSMsgType, WSTransport, WSUpgradeRequest, ws_create_server

from . import protocol as p

if sys.version_info >= (3, 11):
    _timeout = asyncio.timeout
else:  # pragma: no cover
    _timeout = None

_WS_HEADROOM = 14  # the longest WebSocket frame header picows may write


class _Pending:
    __slots__ = ("seq", "fn_id", "decode", "future")

    def __init__(self, seq: int, fn_id: int, decode: Callable, future: asyncio.Future) -> None:
        self.seq, self.fn_id, self.decode, self.future = seq, fn_id, decode, future


class _PeerListener(WSListener):
    def __init__(self, engine: "PicowsEngine") -> None:
        self.engine = engine
        self.transport: Optional[WSTransport] = None
        self.fragments: Optional[bytearray] = None  # a binary message arriving in several frames
        self.in_text = False

    def on_ws_connected(self, transport: WSTransport) -> None:
        self.transport = transport
        transport.send(WSMsgType.TEXT, p.HANDSHAKE.encode())
        self.engine._install(self)

    def on_ws_frame(self, transport: WSTransport, frame: WSFrame) -> None:
        kind = frame.msg_type
        if kind == WSMsgType.BINARY:
            if frame.fin:
                self.engine._on_message(frame.get_payload_as_memoryview())
            else:
                self.fragments = bytearray(frame.get_payload_as_memoryview())
        elif kind == WSMsgType.CONTINUATION:
            if self.in_text:
                self.in_text = not frame.fin
            elif self.fragments is not None:
                self.fragments += frame.get_payload_as_memoryview()
                if frame.fin:
                    message, self.fragments = self.fragments, None
                    self.engine._on_message(memoryview(message))
        elif kind == WSMsgType.TEXT:
            self.in_text = not frame.fin  # the engine has no use for text
        elif kind == WSMsgType.CLOSE:
            transport.send_close(frame.get_close_code(), frame.get_close_message())
            transport.disconnect()

    # Flow control: a call waits for its response anyway, so a full write buffer needs no action here.
    def pause_writing(self) -> None:
        pass

    def resume_writing(self) -> None:
        pass

    def on_ws_disconnected(self, transport: WSTransport) -> None:
        self.engine._dropped(self, "websocket closed")


class PicowsEngine(p.BaselineEngine):
    name = "picows"

    def __init__(self, host: str, port: int, start_seq: int = 1) -> None:
        super().__init__(host, port, start_seq)
        self._peer: Optional[_PeerListener] = None
        self._pending: Optional[_Pending] = None

    async def start(self) -> None:
        def factory(request: WSUpgradeRequest):
            origin = request.headers.get("Origin")
            if origin is not None and origin.rstrip("/") not in ("", *p.ALLOWED_ORIGINS):
                return None
            return _PeerListener(self)

        self._server = await ws_create_server(factory, self.host, self.port, max_frame_size=64 * 2**20)

    def _install(self, peer: _PeerListener) -> None:
        if self._peer is not None and self._peer.transport is not None:
            self._peer.transport.disconnect(graceful=False)
        self._peer = peer
        self._seq = self.start_seq
        self._connected.set()

    def _dropped(self, peer: _PeerListener, why: str) -> None:
        if self._peer is peer:
            self._peer = None
            self._fail(RuntimeError(why))

    def _fail(self, error: Exception) -> None:
        pending, self._pending = self._pending, None
        if pending is not None and not pending.future.done():
            pending.future.set_exception(error)

    # Runs inside on_ws_frame: `message` is only valid until it returns.
    def _on_message(self, message: memoryview) -> None:
        pending = self._pending
        try:
            if p.check_frame(message)[0] == p.PEER_PING:
                self._peer.transport.send(WSMsgType.BINARY, p.ping_reply(message))
                return
            if pending is None:
                return  # a late answer to a call that gave up; nobody is waiting
            payload = p.match_response(message, pending.seq, pending.fn_id)
            if payload is None:
                return
            self._pending = None
            if not pending.future.done():
                pending.future.set_result(pending.decode(payload))
        except p.ProtocolError as e:
            peer = self._peer
            self._fail(e)
            if peer is not None:
                self._peer = None
                peer.transport.disconnect(graceful=False)
        except Exception as e:  # RemoteError, or a payload that does not decode
            self._pending = None
            if pending is not None and not pending.future.done():
                pending.future.set_exception(e)

    async def _call(self, fn_id: int, parts: tuple, decode: Callable, timeout: float):
        async with self._lock:
            peer = self._peer
            if peer is None:
                raise RuntimeError("no websocket connected")
            seq = self._seq
            self._seq = (seq + 1) & 0xFFFFFFFF
            future = asyncio.get_running_loop().create_future()
            self._pending = _Pending(seq, fn_id, decode, future)
            # picows writes its frame header into the room left in front: no further copy of the message.
            frame = p.request_frame_into(_WS_HEADROOM, seq, fn_id, *parts)
            peer.transport.send_reuse_external_bytearray(WSMsgType.BINARY, frame, _WS_HEADROOM)
            try:
                if _timeout is not None:
                    async with _timeout(timeout):
                        return await future
                return await asyncio.wait_for(future, timeout)
            except (TimeoutError, asyncio.TimeoutError):
                self._pending = None
                if self._peer is peer:
                    self._peer = None
                    peer.transport.disconnect(graceful=False)
                raise
