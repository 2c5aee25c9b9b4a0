"""Every method and codec function used as intended, with the types their results must have.

Only type-checked (tests/test_stubs.py runs mypy on it), never run.
"""

from __future__ import annotations

from fractions import Fraction

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

import py_engine_rust
from py_engine_rust import RustEngineAsync

F64 = npt.NDArray[np.float64]
I32 = npt.NDArray[np.int32]


async def session() -> float:
    engine = RustEngineAsync("127.0.0.1", 8765)
    engine = RustEngineAsync(host="127.0.0.1", port=np.uint16(8765), start_seq=None)
    RustEngineAsync("127.0.0.1", 8765, 4294967295)
    await engine.start()
    await engine.wait_connected()
    await engine.wait_connected(timeout_secs=30)

    candles = np.zeros((10, 5))
    await engine.init_candles(candles)
    await engine.init_candles(np.asfortranarray(candles), timeout_secs=2.5)

    assert_type(await engine.reset_episode(0, "train"), int)
    assert_type(await engine.reset_episode(np.uint32(3), episode_type="test", timeout_secs=None), int)
    assert_type(await engine.get_rl_config(), str)
    await engine.step_next(timeout_secs=1)

    window, snapshot = await engine.step_and_sync()
    assert_type(window, F64)
    assert_type(snapshot, F64)
    assert_type(await engine.step_and_sync(0.5), tuple[F64, F64])
    assert_type(await engine.get_snapshot(), F64)
    assert_type(await engine.get_ticket_list(), F64)
    assert_type(await engine.get_ohlc(timeout_secs=True), F64)
    assert_type(await engine.fetch_events(), F64)
    assert_type(await engine.end_session(), F64)

    policy = await engine.get_sync_policy()
    assert_type(policy, "str | None")
    if policy is not None:
        policy.upper()

    tickets = await engine.get_ticket_list()
    ids = tickets[:, 0].astype(np.int64)
    assert_type(await engine.close_positions([7, 8], [2, 1], [0.5, 0.9]), F64)
    assert_type(await engine.close_positions((7,), (2,), (1,), timeout_secs=None), F64)
    await engine.close_positions(ids, np.full(len(ids), 2, dtype=np.int32), np.full(len(ids), 0.5))
    await engine.close_positions(ids.tolist(), [2] * len(ids), [Fraction(1, 2)] * len(ids))
    await engine.close_positions(range(3), np.array([2, 2, 2]), [np.float64(0.5)] * 3)

    order = await engine.place_order("buy", "limit", window[-1, 3], 1, take_profit=0.5)
    assert_type(order, F64)
    await engine.place_order(
        side=" SELL ", order_type="stop", price=10, units=np.int64(5), take_profit=None, stop_loss=2.0,
        trailing_stop=0, time_limit=30, timeout_secs=5,
    )
    assert_type(await engine.place_ticket("buy", 5, stop_loss=2.5), F64)
    await engine.place_ticket("sell", True, 1.0, 2.0, 3.0, 10.0)

    assert_type(py_engine_rust.decode_vec_f64_py(b"\x00\x00\x00\x00"), F64)
    assert_type(py_engine_rust.decode_mat_f64_py(payload=bytes(8)), F64)
    assert_type(py_engine_rust.decode_close_step_py(bytes(4)), tuple[I32, I32, F64])
    assert_type(py_engine_rust.decode_vec_mat_f64_py(bytes(12)), tuple[F64, F64])
    assert_type(py_engine_rust.encode_vec_f64_py(np.arange(3.0)), list[int])
    assert_type(py_engine_rust.encode_mat_f64_py(mat=candles.T), list[int])
    flags = np.array([1], dtype=np.int32)
    assert_type(py_engine_rust.encode_close_step_py(flags, flags, np.array([0.5])), list[int])

    return float(order[0]) + float(snapshot.sum())
