"""The shared correctness check: the engine and both baselines, each against its own bench_peer, must give
the same answers, and those must be the peer's canned arrays (bench/canned.py). Run by bench/run.py before
any timing; also on its own: python bench/baselines/check.py (with the build on PYTHONPATH)."""

from __future__ import annotations

import asyncio
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import canned  # noqa: E402
from common import IMPLEMENTATIONS, connected  # noqa: E402


def _same(a, b) -> bool:
    if isinstance(a, tuple) or isinstance(b, tuple):
        return isinstance(a, tuple) and isinstance(b, tuple) and len(a) == len(b) and all(map(_same, a, b))
    if a is None or b is None:
        return a is None and b is None
    return (isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and a.dtype == b.dtype == np.float64
            and a.shape == b.shape and a.tobytes() == b.tobytes() and a.flags.c_contiguous and a.flags.writeable)


async def _within(awaitable, seconds: float = 30.0):
    return await asyncio.wait_for(awaitable, seconds)  # a hang fails the check instead of stalling the run


async def answers(impl: str) -> dict:
    async with connected(impl) as (engine,):
        out = {
            "get_snapshot": await _within(engine.get_snapshot()),
            "step_and_sync": await _within(engine.step_and_sync()),
            "get_ticket_list": await _within(engine.get_ticket_list()),
            "get_ohlc": await _within(engine.get_ohlc()),
            "init_candles": await _within(engine.init_candles(canned.candles())),
            "init_candles_small": await _within(engine.init_candles(canned.candles(3))),
        }
        # Sequence numbers keep matching after many calls in a row.
        for _ in range(200):
            if not _same(await _within(engine.get_snapshot()), out["get_snapshot"]):
                raise AssertionError(f"{impl}: get_snapshot changed its answer")
        return out


def check() -> dict:
    expected = {
        "get_snapshot": canned.get_snapshot(),
        "step_and_sync": canned.step_and_sync(),
        "get_ticket_list": canned.get_ticket_list(),
        "get_ohlc": canned.get_ohlc(),
        "init_candles": None,
        "init_candles_small": None,
    }
    report = {}
    for impl in IMPLEMENTATIONS:
        got = asyncio.run(answers(impl))
        wrong = [name for name, want in expected.items() if not _same(got[name], want)]
        report[impl] = {"checked": sorted(expected), "wrong": wrong}
        if wrong:
            raise AssertionError(f"{impl} answers differ from the peer's canned arrays: {wrong}")
    return report


if __name__ == "__main__":
    print(check())
