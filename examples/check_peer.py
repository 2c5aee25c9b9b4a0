"""Compliance check for a UI peer: does it answer every remote function with a well-formed payload?

    python examples/check_peer.py [--host 127.0.0.1] [--port 8765] [--wait 300]
    python examples/check_peer.py --page-url http://127.0.0.1:5173/ [--browser PATH]

Starts an engine, waits for any UI peer (a browser page, the bundled Node peer, your own), calls each of the
fourteen commands once with valid arguments, in an order that makes sense to a trading UI, and prints one
PASS or FAIL line per remote function. Exit status: 0 when all pass, 1 when any fails, 2 when no peer
connected.

With --page-url it opens that page itself, in headless Chromium (the system's, through Playwright: the
[browser] extra), with the engine=ws://HOST:PORT and seed= query parameters a drivable page reads
(docs/protocol.md), and prints the page's last console lines when something fails.

What is checked is the form of the answers, not their numbers: that each payload decodes in its format
(the engine does this; a payload that does not decode arrives as ValueError), the shapes, and the column
counts the peer itself declares in its RL config (`snapshot_fields`, `ticket_fields`, `event_fields`,
`close_fields`, `order_reply_fields`, `summary_fields`, as the bundled peer does). Candle matrices must have
5 columns (open, high, low, close, volume). Lists the peer does not declare are checked for shape only.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import math
import sys
from dataclasses import dataclass, field
from typing import Any, Awaitable, Callable, Optional

import numpy as np

from py_engine_rust import RustEngineAsync

OHLC_COLS = 5

# Remote function numbers, for the report.
FN_IDS = {
    "get_rl_config": 102, "get_sync_policy": 120, "get_ohlc": 15, "init_candles": 100, "reset_episode": 101,
    "step_next": 2, "step_and_sync": 130, "get_snapshot": 12, "place_order": 20, "place_ticket": 21,
    "get_ticket_list": 10, "fetch_events": 30, "close_positions": 31, "end_session": 40,
}


class Failure(Exception):
    """The answer arrived but is not what the protocol or the peer's own declaration says."""


@dataclass
class State:
    """What earlier answers told us, for the arguments and the expectations of later calls."""

    fields: dict[str, int] = field(default_factory=dict)  # declared column counts, by config key
    candles: Optional[np.ndarray] = None
    last_close: float = 100.0
    ticket_ids: list[int] = field(default_factory=list)


def expect_vector(v: Any, what: str, length: Optional[int] = None, source: str = "") -> str:
    if not isinstance(v, np.ndarray) or v.dtype != np.float64 or v.ndim != 1:
        raise Failure(f"{what}: expected a 1-D float64 array, got {type(v).__name__} {getattr(v, 'shape', '')}")
    if length is not None and v.shape[0] != length:
        raise Failure(f"{what}: expected {length} elements{source}, got {v.shape[0]}")
    return f"{v.shape[0]} elements"


def expect_matrix(m: Any, what: str, cols: Optional[int] = None, source: str = "", min_rows: int = 0) -> str:
    if not isinstance(m, np.ndarray) or m.dtype != np.float64 or m.ndim != 2:
        raise Failure(f"{what}: expected a 2-D float64 array, got {type(m).__name__} {getattr(m, 'shape', '')}")
    rows = m.shape[0]
    if rows < min_rows:
        raise Failure(f"{what}: expected at least {min_rows} rows, got {rows}")
    # An empty list reaches Python as shape (0, 0), whatever column count the peer sent with it.
    if rows > 0 and cols is not None and m.shape[1] != cols:
        raise Failure(f"{what}: expected {cols} columns{source}, got {m.shape[1]}")
    if rows == 0:
        return "0 rows"
    return f"{rows} x {m.shape[1]}"


def declared(state: State, key: str) -> tuple[Optional[int], str]:
    n = state.fields.get(key)
    return (n, f" (its {key})") if n is not None else (None, "")


# ---- one check per remote function, in calling order ------------------------------------------------


async def check_get_rl_config(engine: RustEngineAsync, state: State, t: float) -> str:
    text = await engine.get_rl_config(timeout_secs=t)
    if not isinstance(text, str):
        raise Failure(f"expected str, got {type(text).__name__}")
    try:
        config = json.loads(text)
    except json.JSONDecodeError as e:
        raise Failure(f"not JSON ({e}): {text[:80]!r}") from None
    if not isinstance(config, dict):
        raise Failure(f"expected a JSON object, got {type(config).__name__}")
    notes = []
    for key in ("snapshot_fields", "ticket_fields", "event_fields", "close_fields", "order_reply_fields",
                "summary_fields"):
        if key in config:
            names = config[key]
            if not isinstance(names, list) or not names or not all(isinstance(n, str) for n in names):
                raise Failure(f"{key} must be a non-empty list of column names, got {names!r}")
            state.fields[key] = len(names)
            notes.append(f"{key[:-7]} {len(names)}")
    seed = config.get("seed")
    declared_txt = f"; declares columns: {', '.join(notes)}" if notes else "; declares no column lists"
    return f"JSON object with {len(config)} keys, seed {seed}{declared_txt}"


async def check_get_sync_policy(engine: RustEngineAsync, state: State, t: float) -> str:
    policy = await engine.get_sync_policy(timeout_secs=t)
    if policy not in ("eager", "deferred"):
        raise Failure("the first byte of the answer must be 0 (deferred) or 1 (eager); the engine read None")
    return repr(policy)


async def check_get_ohlc(engine: RustEngineAsync, state: State, t: float) -> str:
    m = await engine.get_ohlc(timeout_secs=t)
    detail = expect_matrix(m, "candles", OHLC_COLS, " (open, high, low, close, volume)", min_rows=1)
    if not np.isfinite(m).all():
        raise Failure("candles hold NaN or infinite values")
    state.candles = m
    state.last_close = float(m[-1, 3])
    return detail


async def check_init_candles(engine: RustEngineAsync, state: State, t: float) -> str:
    candles = state.candles
    source = "the candles get_ohlc returned"
    if candles is None:
        candles = synthetic_candles(300)
        source = "300 generated candles"
    await engine.init_candles(np.ascontiguousarray(candles), timeout_secs=t)
    return f"accepted {source} ({candles.shape[0]} x {candles.shape[1]})"


async def check_reset_episode(engine: RustEngineAsync, state: State, t: float) -> str:
    start = await engine.reset_episode(0, "train", timeout_secs=t)
    if not isinstance(start, int) or isinstance(start, bool):
        raise Failure(f"expected int, got {type(start).__name__}")
    return f"episode 0 (train) answered {start}"


async def check_step_next(engine: RustEngineAsync, state: State, t: float) -> str:
    await engine.step_next(timeout_secs=t)
    return "answered"


async def check_step_and_sync(engine: RustEngineAsync, state: State, t: float) -> str:
    result = await engine.step_and_sync(timeout_secs=t)
    if not isinstance(result, tuple) or len(result) != 2:
        raise Failure(f"expected (matrix, vector), got {type(result).__name__}")
    window, snap = result
    n, source = declared(state, "snapshot_fields")
    mat = expect_matrix(window, "candle window", OHLC_COLS, " (open, high, low, close, volume)")
    vec = expect_vector(snap, "snapshot", n, source)
    if window.shape[0] > 0:
        state.last_close = float(window[-1, 3])
    return f"window {mat}, snapshot {vec}"


async def check_get_snapshot(engine: RustEngineAsync, state: State, t: float) -> str:
    n, source = declared(state, "snapshot_fields")
    return expect_vector(await engine.get_snapshot(timeout_secs=t), "snapshot", n, source)


def _order_reply(v: Any, state: State) -> str:
    n, source = declared(state, "order_reply_fields")
    return expect_vector(v, "reply", n, source)


async def check_place_order(engine: RustEngineAsync, state: State, t: float) -> str:
    price = state.last_close if math.isfinite(state.last_close) else 100.0
    reply = await engine.place_order("buy", "limit", price, 1, take_profit=1.0, stop_loss=1.0, timeout_secs=t)
    return f"buy limit 1 @ {price:g}: {_order_reply(reply, state)}"


async def check_place_ticket(engine: RustEngineAsync, state: State, t: float) -> str:
    reply = await engine.place_ticket("sell", 1, stop_loss=1.0, timeout_secs=t)
    return f"sell 1: {_order_reply(reply, state)}"


async def check_get_ticket_list(engine: RustEngineAsync, state: State, t: float) -> str:
    m = await engine.get_ticket_list(timeout_secs=t)
    n, source = declared(state, "ticket_fields")
    detail = expect_matrix(m, "tickets", n, source)
    if m.shape[0] > 0 and m.shape[1] > 0:
        ids = m[:, 0]
        if np.isfinite(ids).all() and (ids == np.round(ids)).all() and (np.abs(ids) < 2**31).all():
            state.ticket_ids = ids.astype(int).tolist()
    return detail


async def check_fetch_events(engine: RustEngineAsync, state: State, t: float) -> str:
    n, source = declared(state, "event_fields")
    return expect_matrix(await engine.fetch_events(timeout_secs=t), "events", n, source)


async def check_close_positions(engine: RustEngineAsync, state: State, t: float) -> str:
    ids = state.ticket_ids
    m = await engine.close_positions(ids, [1] * len(ids), [0.0] * len(ids), timeout_secs=t)
    n, source = declared(state, "close_fields")
    return f"closing ids {ids}: {expect_matrix(m, 'closed positions', n, source)}"


async def check_end_session(engine: RustEngineAsync, state: State, t: float) -> str:
    n, source = declared(state, "summary_fields")
    return expect_matrix(await engine.end_session(timeout_secs=t), "session summary", n, source)


CHECKS: list[tuple[str, Callable[[RustEngineAsync, State, float], Awaitable[str]]]] = [
    ("get_rl_config", check_get_rl_config),
    ("get_sync_policy", check_get_sync_policy),
    ("get_ohlc", check_get_ohlc),
    ("init_candles", check_init_candles),
    ("reset_episode", check_reset_episode),
    ("step_next", check_step_next),
    ("step_and_sync", check_step_and_sync),
    ("get_snapshot", check_get_snapshot),
    ("place_order", check_place_order),
    ("place_ticket", check_place_ticket),
    ("get_ticket_list", check_get_ticket_list),
    ("fetch_events", check_fetch_events),
    ("close_positions", check_close_positions),
    ("end_session", check_end_session),
]


def synthetic_candles(rows: int) -> np.ndarray:
    rng = np.random.default_rng(1)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.004, rows)))
    open_ = np.concatenate([[100.0], close[:-1]])
    high = np.maximum(open_, close) * 1.001
    low = np.minimum(open_, close) * 0.999
    volume = rng.integers(100, 1000, rows).astype(np.float64)
    return np.column_stack([open_, high, low, close, volume])


def describe_error(e: BaseException) -> str:
    if isinstance(e, ValueError):
        return f"the answer does not decode: {e}"
    if isinstance(e, RuntimeError) and str(e).startswith("RpcError"):
        return f"the peer answered with an error: {e}"
    if isinstance(e, RuntimeError):
        return f"no answer: {e}"
    return f"{type(e).__name__}: {e}"


async def main(args: argparse.Namespace) -> int:
    browser = None
    try:
        if args.page_url:
            from py_engine_rust_gym.browser import Browser
            from py_engine_rust_gym.errors import PeerError

            try:
                browser = await Browser.launch(args.browser)
            except PeerError as e:
                print(e, file=sys.stderr)
                return 2
        status = await check(args, browser)
        if status == 1 and browser is not None:
            print("\nlast lines of the page's console:\n" + (browser.pages[0].log_tail() or "(none)"))
        return status
    finally:
        if browser is not None:
            await browser.close()


async def check(args: argparse.Namespace, browser: Any) -> int:
    """Runs every check against the peer that connects (the page ``browser`` opens, if given)."""
    engine = RustEngineAsync(args.host, args.port)
    # A connection is announced only to those already waiting, so the wait starts before anything can connect.
    connected = asyncio.ensure_future(engine.wait_connected(timeout_secs=args.wait))
    try:
        await engine.start()
    except RuntimeError as e:
        connected.cancel()
        print(f"cannot listen on {args.host}:{args.port}: {e}", file=sys.stderr)
        return 2
    url = f"ws://{args.host}:{args.port}"
    if browser is not None:
        from py_engine_rust_gym.peer import page_address

        page = await browser.open(page_address(args.page_url, url, args.seed))
        print(f"engine listening on {url}; opened {page.url} in headless Chromium", flush=True)
    else:
        print(f"engine listening on {url}; waiting up to {args.wait:g} s for a UI peer, for example\n"
              f"  node peer/node-peer.mjs --url {url}   (Node 22 or later; scripts/setup.sh puts Node 24 in .venv)\n"
              f"  or the page: python3 -m http.server 8000 --bind 127.0.0.1 --directory peer, then open\n"
              f"  http://127.0.0.1:8000/?engine={url}", flush=True)
    try:
        await connected
    except RuntimeError as e:
        why = browser.pages[0].gone() if browser is not None else None
        print(f"no UI peer connected: {why or e}", file=sys.stderr)
        if browser is not None:
            print("last lines of the page's console:\n" + (browser.pages[0].log_tail() or "(none)"), file=sys.stderr)
        return 2
    print("UI peer connected\n", flush=True)

    state = State()
    failed = 0
    width = max(len(name) for name, _ in CHECKS)
    for name, check in CHECKS:
        label = f"{name:<{width}} (fnId {FN_IDS[name]:>3})"
        try:
            # The engine ends every call at its deadline; the margin only guards against a call that never ends.
            detail = await asyncio.wait_for(check(engine, state, args.call_timeout), args.call_timeout + 5)
        except asyncio.TimeoutError:
            failed += 1
            print(f"FAIL  {label}  no result {args.call_timeout + 5:g} s after the call", flush=True)
        except Failure as e:
            failed += 1
            print(f"FAIL  {label}  {e}", flush=True)
        except (RuntimeError, ValueError) as e:
            failed += 1
            print(f"FAIL  {label}  {describe_error(e)}", flush=True)
            if isinstance(e, RuntimeError) and not str(e).startswith("RpcError"):
                # A transport failure drops the peer; give one that reconnects the chance to come back.
                try:
                    await engine.wait_connected(timeout_secs=args.reconnect)
                    print("      (the UI peer reconnected)", flush=True)
                except RuntimeError:
                    pass
        else:
            print(f"PASS  {label}  {detail}", flush=True)
    passed = len(CHECKS) - failed
    print(f"\n{passed} passed, {failed} failed")
    return 1 if failed else 0


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=8765, help="port to listen on (default 8765)")
    p.add_argument("--wait", type=float, default=300.0, help="seconds to wait for the UI peer (default 300)")
    p.add_argument("--call-timeout", type=float, default=10.0, help="seconds per call (default 10)")
    p.add_argument("--reconnect", type=float, default=3.0,
                   help="seconds to wait for a peer to come back after a transport failure (default 3)")
    p.add_argument("--page-url", default=None,
                   help="open this page in headless Chromium and check it (it gets engine= and seed=)")
    p.add_argument("--browser", default=None, help="with --page-url: the Chromium to use (default: chromium on PATH)")
    p.add_argument("--seed", type=int, default=1, help="with --page-url: the seed= parameter (default 1)")
    return p.parse_args(argv)


if __name__ == "__main__":
    try:
        sys.exit(asyncio.run(main(parse_args())))
    except KeyboardInterrupt:
        sys.exit(130)
