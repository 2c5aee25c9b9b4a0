"""The answers bench_peer gives (bench/peer.cpp builds the same arrays): element i, counting from 0 in
row-major order, is fnId + 0.5 i; the matrix of step_and_sync is negated."""

from __future__ import annotations

import numpy as np

OHLC_ROWS = 1_000_000
OHLC_COLS = 5


def _values(fn_id: int, n: int) -> np.ndarray:
    return fn_id + 0.5 * np.arange(n, dtype=np.float64)


def get_snapshot() -> np.ndarray:
    return _values(12, 1)


def step_and_sync() -> tuple[np.ndarray, np.ndarray]:
    """(matrix, vector), in the order the command returns them."""
    return -_values(130, 64 * 8).reshape(64, 8), _values(130, 8)


def get_ohlc(rows: int = OHLC_ROWS) -> np.ndarray:
    return _values(15, rows * OHLC_COLS).reshape(rows, OHLC_COLS)


def get_ticket_list() -> np.ndarray:
    return _values(10, 24).reshape(4, 6)


def candles(rows: int = OHLC_ROWS) -> np.ndarray:
    """The matrix the benchmarks send with init_candles."""
    return np.arange(rows * OHLC_COLS, dtype=np.float64).reshape(rows, OHLC_COLS) * 0.25 - 3.0
