"""Misuses a type checker must catch. A line whose trailing comment names error codes must give exactly
those codes, and no other line may give any (tests/test_stubs.py runs mypy on it). Only type-checked, never run.
"""

from __future__ import annotations

import py_engine_rust
from py_engine_rust import RustEngineAsync


async def misuse(engine: RustEngineAsync) -> None:
    config = await engine.get_rl_config()
    config.shape  # error: attr-defined
    config.sum()  # error: attr-defined
    policy: str = await engine.get_sync_policy()  # error: assignment
    episode: str = await engine.reset_episode(0, "train")  # error: assignment
    window, snapshot, extra = await engine.step_and_sync()  # error: misc
    engine.get_ohlc().shape  # error: attr-defined
    missing = await engine.step_next()  # error: func-returns-value

    await engine.place_order("buy", "limit", 1.0, "5")  # error: arg-type
    await engine.place_order("buy", "limit", 1.0, 2.0)  # error: arg-type
    await engine.place_order("buy", "limit", "1.0", 1)  # error: arg-type
    await engine.place_order(1, "limit", 1.0, 1)  # error: arg-type
    await engine.place_order("buy", "limit", 1.0)  # error: call-arg
    await engine.place_ticket("buy", 5, take_profit="0.5")  # error: arg-type
    await engine.place_ticket("buy", 5, price=1.0)  # error: call-arg
    await engine.reset_episode("0", "train")  # error: arg-type
    await engine.reset_episode(0, 1)  # error: arg-type
    await engine.get_ohlc(timeout="1")  # error: call-arg
    await engine.get_ohlc(timeout_secs="1")  # error: arg-type
    await engine.init_candles([[1.0, 2.0]])  # error: arg-type
    await engine.close_positions("12", [2], [0.5])  # error: arg-type
    await engine.close_positions({1}, [2], [0.5])  # error: arg-type
    await engine.close_positions([1], [2], ["0.5"])  # error: list-item

    py_engine_rust.decode_vec_f64_py("payload")  # error: arg-type
    py_engine_rust.encode_vec_f64_py([1.0, 2.0])  # error: arg-type
    flags, actions = py_engine_rust.decode_close_step_py(bytes(4))  # error: misc
    RustEngineAsync("127.0.0.1", "8765")  # error: arg-type
    py_engine_rust.RustEngine  # error: attr-defined
