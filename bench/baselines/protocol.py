"""The wire format in plain Python, as a user writing the server side by hand would: the 16-byte frame
header with `struct`, the payloads with NumPy one-liners. Both baselines share it, so they differ only in
the WebSocket library underneath."""

from __future__ import annotations

import asyncio
import struct
from typing import Optional, Union

import numpy as np

HEADER = struct.Struct("<BBHIHHI")  # version, kind, reserved, seq, fnId, reserved, payload length
HEADER_LEN = HEADER.size
PROTOCOL_VERSION = 1
REQUEST, RESPONSE, ERROR_RESPONSE, PEER_PING, PING_REPLY = 1, 2, 3, 4, 5

HANDSHAKE = '{"type":"handshake","python_library_version":"0.1.0"}'
ALLOWED_ORIGINS = ("http://127.0.0.1", "http://localhost", "https://127.0.0.1", "https://localhost")

Buffer = Union[bytes, bytearray, memoryview]
_U32 = struct.Struct("<I")
_U32X2 = struct.Struct("<II")
_ERR = struct.Struct("<HHI")


class ProtocolError(RuntimeError):
    """The peer broke the frame protocol; the connection is dropped."""


class RemoteError(RuntimeError):
    """The peer answered with an ErrorResponse."""


def request_frame(seq: int, fn_id: int, *payload: Buffer) -> bytes:
    """One request message: header and payload parts joined in a single copy."""
    size = sum(memoryview(p).nbytes for p in payload)
    return b"".join((HEADER.pack(PROTOCOL_VERSION, REQUEST, 0, seq, fn_id, 0, size), *payload))


def request_frame_into(headroom: int, seq: int, fn_id: int, *payload: Buffer) -> bytearray:
    """The same message in a bytearray with `headroom` free bytes in front, for libraries that write their
    WebSocket header there instead of copying the message."""
    size = sum(memoryview(p).nbytes for p in payload)
    buf = bytearray(headroom + HEADER_LEN + size)
    HEADER.pack_into(buf, headroom, PROTOCOL_VERSION, REQUEST, 0, seq, fn_id, 0, size)
    at = headroom + HEADER_LEN
    for part in payload:
        n = memoryview(part).nbytes
        buf[at : at + n] = part
        at += n
    return buf


def ping_reply(message: Buffer) -> bytes:
    _, _, _, seq, fn_id, _, length = HEADER.unpack_from(message)
    return HEADER.pack(PROTOCOL_VERSION, PING_REPLY, 0, seq, fn_id, 0, length) + bytes(message[HEADER_LEN:])


def check_frame(message: Buffer) -> tuple[int, int, int]:
    """(kind, seq, fnId) of a binary message, after the length and version checks."""
    if len(message) < HEADER_LEN:
        raise ProtocolError(f"frame too short: {len(message)} < {HEADER_LEN}")
    version, kind, _, seq, fn_id, _, length = HEADER.unpack_from(message)
    if HEADER_LEN + length != len(message):
        raise ProtocolError(f"payload length mismatch: expected {HEADER_LEN + length}, got {len(message)}")
    if version != PROTOCOL_VERSION:
        raise ProtocolError(f"protocol version mismatch: got {version}, expected {PROTOCOL_VERSION}")
    return kind, seq, fn_id


def match_response(message: Buffer, seq: int, fn_id: int) -> Optional[memoryview]:
    """The payload of our response; None for frames to skip (PeerPing is the caller's to answer)."""
    kind, got_seq, got_fn = check_frame(message)
    if kind not in (RESPONSE, ERROR_RESPONSE):
        return None
    if got_seq != seq:
        raise ProtocolError(f"seq mismatch: expected {seq}, got {got_seq}")
    if got_fn != fn_id:
        raise ProtocolError(f"fnId mismatch: expected {fn_id}, got {got_fn}")
    payload = memoryview(message)[HEADER_LEN:]
    if kind == ERROR_RESPONSE:
        err = sub = 0
        text = ""
        if len(payload) >= 8:
            err, sub, n = _ERR.unpack_from(payload)
            if 8 + n <= len(payload):
                text = bytes(payload[8 : 8 + n]).decode("utf-8", "replace")
        raise RemoteError(f"RpcError(seq={seq}, fnId={fn_id}, err={err}, sub={sub}): {text}")
    return payload


# ---- Payloads -------------------------------------------------------------------------------------------


def vec_f64(payload: Buffer) -> np.ndarray:
    if len(payload) < 4:
        raise ValueError("VecF64 payload too short")
    (n,) = _U32.unpack_from(payload)
    if 4 + 8 * n != len(payload):
        raise ValueError(f"VecF64 length mismatch: expected {4 + 8 * n}, got {len(payload)}")
    return np.frombuffer(payload, dtype="<f8", count=n, offset=4).copy()


def mat_f64(payload: Buffer, offset: int = 0) -> np.ndarray:
    if len(payload) - offset < 8:
        raise ValueError("MatF64 payload too short")
    rows, cols = _U32X2.unpack_from(payload, offset)
    if offset + 8 + 8 * rows * cols != len(payload):
        raise ValueError(f"MatF64 length mismatch: expected {offset + 8 + 8 * rows * cols}, got {len(payload)}")
    if rows == 0:
        return np.empty((0, 0))
    return np.frombuffer(payload, dtype="<f8", count=rows * cols, offset=offset + 8).reshape(rows, cols).copy()


def vec_mat_f64(payload: Buffer) -> tuple[np.ndarray, np.ndarray]:
    """(matrix, vector), the order step_and_sync returns them in."""
    if len(payload) < 4:
        raise ValueError("VecMatF64 payload too short")
    (n,) = _U32.unpack_from(payload)
    if len(payload) < 12 + 8 * n:
        raise ValueError("VecMatF64 missing matrix header")
    vec = np.frombuffer(payload, dtype="<f8", count=n, offset=4).copy()
    return mat_f64(payload, 4 + 8 * n), vec


def mat_f64_parts(matrix: np.ndarray) -> tuple[bytes, memoryview]:
    """A MatF64 payload as (header, row-major element bytes), for request_frame to join without a copy."""
    if matrix.ndim != 2 or matrix.dtype != np.float64:
        raise TypeError("expected a 2-D float64 array")
    rows, cols = matrix.shape
    return _U32X2.pack(rows, cols), memoryview(np.ascontiguousarray(matrix)).cast("B")


class BaselineEngine:
    """What both baselines share: their state, `wait_connected`, `close` and the commands the benchmarks use.
    Each provides `start` and `_call(fn_id, payload_parts, decode, timeout)`."""

    def __init__(self, host: str, port: int, start_seq: int = 1) -> None:
        self.host, self.port, self.start_seq = host, port, start_seq
        self._seq = start_seq
        self._lock = asyncio.Lock()
        self._connected = asyncio.Event()
        self._server = None

    async def wait_connected(self, timeout_secs: Optional[float] = None) -> None:
        await asyncio.wait_for(self._connected.wait(), timeout_secs)

    async def close(self) -> None:
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()

    async def get_snapshot(self, timeout_secs: float = 10.0) -> np.ndarray:
        return await self._call(12, (), vec_f64, timeout_secs)

    async def step_and_sync(self, timeout_secs: float = 10.0) -> tuple[np.ndarray, np.ndarray]:
        return await self._call(130, (), vec_mat_f64, timeout_secs)

    async def get_ohlc(self, timeout_secs: float = 10.0) -> np.ndarray:
        return await self._call(15, (), mat_f64, timeout_secs)

    async def get_ticket_list(self, timeout_secs: float = 10.0) -> np.ndarray:
        return await self._call(10, (), mat_f64, timeout_secs)

    async def init_candles(self, ohlc5: np.ndarray, timeout_secs: float = 10.0) -> None:
        await self._call(100, mat_f64_parts(ohlc5), lambda _: None, timeout_secs)
