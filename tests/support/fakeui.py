"""A small stand-in for the bundled UI peer, for the Gymnasium layer's failure tests.

It speaks the bundled peer's columns (docs/protocol.md) over a ScriptedPeer in a thread of its own, so a
synchronous environment can be driven against it from the test's thread. A test can make it answer what
a hostile or broken UI would (``tamper``), cut its connection while a command arrives (``drop_on``), or be
replaced by a fresh one on the same port (a page that reloads), and it counts every command it received.
"""

from __future__ import annotations

import asyncio
import json
import struct
import threading
from collections import Counter
from typing import Any, Callable, Optional

from . import fn_ids
from .peer import Frame, ScriptedPeer, error_response, response

FN = {name.lower(): value for name, value in vars(fn_ids).items() if name.isupper()}
NAMES = {v: k for k, v in FN.items()}
SNAPSHOT_FIELDS = [
    "equity", "balance", "unrealized_pnl", "open_positions", "pending_orders",
    "step", "done", "last_close", "episode_index", "episode_type", "candle_index",
]  # fmt: skip
WINDOW = 8
EPISODE_LENGTH = 50
INITIAL = 10000.0


def vec(values: list[float]) -> bytes:
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def mat(rows: list[list[float]]) -> bytes:
    cols = len(rows[0]) if rows else 0
    flat = [x for r in rows for x in r]
    return struct.pack(f"<II{len(flat)}d", len(rows) if cols else 0, cols, *flat)


class Market:
    """The account and episode of one fake UI: prices rise by 1 a step from 100."""

    def __init__(self) -> None:
        self.reset(0, 0)

    def reset(self, index: int, kind: int) -> int:
        self.index, self.kind, self.step, self.done = index, kind, 0, False
        self.balance = INITIAL
        self.positions: dict[int, tuple[int, int, float]] = {}  # id -> side, units, entry
        self.next_id = 1
        return 10 + index

    @property
    def close(self) -> float:
        return 100.0 + self.step

    def unrealized(self) -> float:
        return sum(side * units * (self.close - entry) for side, units, entry in self.positions.values())

    def snapshot(self) -> list[float]:
        u = self.unrealized()
        return [self.balance + u, self.balance, u, len(self.positions), 0, self.step, float(self.done),
                self.close, self.index, self.kind, 10 + self.index + self.step]  # fmt: skip

    def window(self) -> list[list[float]]:
        return [
            [c, c + 0.5, c - 0.5, c, 1000.0] for c in (self.close - WINDOW + 1 + i for i in range(WINDOW))
        ]

    def advance(self) -> None:
        if not self.done:
            self.step += 1
            self.done = self.step >= EPISODE_LENGTH


class FakeUI:
    """``with FakeUI(port) as ui:`` connects to the engine on ``port`` and serves a fresh Market.

    ``tamper[name]`` maps a command's answer payload to another one; ``drop_on`` names commands on whose
    arrival the connection is cut (with a reset, after counting the command, without answering);
    ``config`` overrides get_rl_config's text. ``received`` counts the commands by name.
    """

    def __init__(self, port: int, *, config: Optional[str] = None) -> None:
        self.port = port
        self.market = Market()
        self.config = config
        self.tamper: dict[str, Callable[[bytes], bytes]] = {}
        self.drop_on: set[str] = set()
        self.received: Counter[str] = Counter()
        self.dropped = threading.Event()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="fake-ui", daemon=True)
        self._peer: Optional[ScriptedPeer] = None

    def __enter__(self) -> "FakeUI":
        return self.open()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def open(self, timeout: float = 10.0) -> "FakeUI":
        """Connects, retrying until the engine listens (at most ``timeout`` seconds)."""
        self._thread.start()
        self._run(self._connect(timeout), timeout + 5)
        return self

    async def _connect(self, timeout: float) -> None:
        deadline = self._loop.time() + timeout
        while True:
            self._peer = ScriptedPeer(self.port, self._handle)
            try:
                await self._peer.open()
                return
            except OSError:
                if self._loop.time() >= deadline:
                    raise
                await asyncio.sleep(0.02)

    def wait_closed(self, timeout: float = 5.0) -> None:
        """Waits until the engine has dropped this peer's connection (a newer peer took its place)."""
        assert self._peer is not None
        self._run(self._peer.wait_closed(timeout), timeout + 1)

    def close(self) -> None:
        try:
            if self._thread.is_alive() and self._peer is not None:
                self._run(self._peer.close())
        finally:
            if self._thread.is_alive():
                self._loop.call_soon_threadsafe(self._loop.stop)
                self._thread.join(5)
            if not self._loop.is_closed():
                self._loop.close()

    def _run(self, coro: Any, timeout: float = 10.0) -> Any:
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout)

    def rl_config(self) -> str:
        if self.config is not None:
            return self.config
        return json.dumps({"window": WINDOW, "episode_length": EPISODE_LENGTH, "train_episodes": 4,
                           "test_episodes": 2, "snapshot_fields": SNAPSHOT_FIELDS})  # fmt: skip

    def _handle(self, peer: ScriptedPeer, request: Frame) -> Any:
        name = NAMES.get(request.fn_id, "?")
        self.received[name] += 1
        if name in self.drop_on:
            peer.abort()
            self.dropped.set()
            return None
        try:
            payload = self._answer(name, request.payload)
        except ValueError as e:
            return error_response(request.seq, request.fn_id, 3, 0, str(e).encode())
        if name in self.tamper:
            payload = self.tamper[name](payload)
        return response(request.seq, request.fn_id, payload)

    def _answer(self, name: str, p: bytes) -> bytes:
        m = self.market
        if name == "get_rl_config":
            return self.rl_config().encode()
        if name == "init_candles":
            m.reset(0, 0)
            return b""
        if name == "reset_episode":
            index, kind = struct.unpack_from("<IB", p)
            return struct.pack("<I", m.reset(index, kind))
        if name == "step_and_sync":
            m.advance()
            return vec(m.snapshot()) + mat(m.window())
        if name == "get_snapshot":
            return vec(m.snapshot())
        if name in ("place_ticket", "place_order"):
            values = struct.unpack_from(f"<{(len(p) - 4) // 8}d", p, 4)
            if name == "place_order":
                side, units = int(values[6]), int(values[8])
            else:
                side, units = (1 if values[4] == 1.0 else -1), int(values[5])
            if m.done:
                return vec([0, 0, 0, 0, 1])
            pid = m.next_id
            m.next_id += 1
            m.positions[pid] = (side, units, m.close)
            return vec([1, pid, 1, m.close, 0])
        if name == "close_positions":
            (n,) = struct.unpack_from("<I", p)
            ids = struct.unpack_from(f"<{n}i", p, 4)
            rows = []
            for pid in ids:
                if pid in m.positions:
                    side, units, entry = m.positions.pop(pid)
                    pnl = side * units * (m.close - entry)
                    m.balance += pnl
                    rows.append([pid, 1, units, m.close, pnl, 0])
            return mat(rows)
        if name == "get_ticket_list":
            return mat(
                [
                    [pid, s, u, e, m.close, s * u * (m.close - e), 0, 0, 0, 0]
                    for pid, (s, u, e) in m.positions.items()
                ]
            )
        if name == "get_sync_policy":
            return b"\x01"
        if name in ("get_ohlc", "fetch_events", "end_session"):
            return mat([])
        if name == "step_next":
            m.advance()
            return b""
        raise ValueError(f"unknown command {name}")
