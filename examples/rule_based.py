"""The raw asyncio API: a fixed moving-average rule trades the bundled simulated market through the engine.

    python examples/rule_based.py [--episodes 3] [--steps 200] [--seed 1] [--out PNG]

It starts an engine on a free loopback port, launches the bundled UI peer headless (Node), and runs a few
episodes of a moving-average crossover policy with the engine's commands directly, no Gymnasium layer. It
prints a summary (steps/s, round-trip latency per command, episode results) and writes the equity curve to
a PNG. Nothing learns here; examples/train_demo.py trains an agent.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import math
import socket
import sys
import time
from collections import Counter, defaultdict
from pathlib import Path
from typing import Any, Awaitable, Callable, Optional

import numpy as np
from progress import Progress
from py_engine_rust_gym.errors import PeerError
from py_engine_rust_gym.peer import NodePeer

from py_engine_rust import RustEngineAsync

# Action codes of close_positions that the bundled peer understands.
CLOSE = 1
REDUCE = 2


def free_port(host: str) -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return int(s.getsockname()[1])


# ---- measurements --------------------------------------------------------------------------------------


class Timed:
    """Wraps the engine: every awaited command is timed, per command name."""

    def __init__(self, engine: RustEngineAsync):
        self.engine = engine
        self.samples: dict[str, list[float]] = defaultdict(list)
        self.pending: Optional[tuple[str, float]] = None  # the command awaited now, and since when

    def __getattr__(self, name: str) -> Callable[..., Awaitable[Any]]:
        method = getattr(self.engine, name)

        async def call(*args: Any, **kwargs: Any) -> Any:
            t0 = time.perf_counter()
            self.pending = (name, t0)
            result = await method(*args, **kwargs)
            self.pending = None
            self.samples[name].append(time.perf_counter() - t0)
            return result

        return call


# ---- the policy ----------------------------------------------------------------------------------------


class Crossover:
    """Long when the fast moving average of the closes is above the slow one, short when below.

    Entries: longs through a limit order at the last close (which fills at once), shorts through a market
    ticket, each with a stop loss and a take profit in price units. On a reversal the open positions are
    closed; a position that has run far into profit is reduced by half once.
    """

    def __init__(self, fast: int, slow: int, units: int, stop: float, target: float):
        if not 1 <= fast < slow:
            raise SystemExit(f"need 1 <= --fast < --slow, got {fast} and {slow}")
        self.fast, self.slow, self.units, self.stop, self.target = fast, slow, units, stop, target

    def signal(self, closes: np.ndarray) -> int:
        if len(closes) < self.slow:
            return 0
        diff = closes[-self.fast:].mean() - closes[-self.slow:].mean()
        return 1 if diff > 0 else -1 if diff < 0 else 0


async def run_episode(eng: Timed, policy: Crossover, index: int, steps: int, progress: Progress,
                      label: str) -> dict[str, Any]:
    start_candle = await eng.reset_episode(index, "train")
    equity: list[float] = []
    prices: list[float] = []
    events: Counter[int] = Counter()
    reduced: set[int] = set()
    position = 0  # side of what the policy holds: 1, -1 or 0
    step = 0
    for step in range(1, steps + 1):
        window, snap = await eng.step_and_sync()
        equity.append(float(snap[0]))
        prices.append(float(snap[7]))
        closes = window[:, 3] if window.size else np.empty(0)
        want = policy.signal(closes)
        if snap[3] == 0:
            position = 0  # stopped out or took profit
        if want != 0 and want != position:
            tickets = await eng.get_ticket_list()
            if len(tickets):
                ids = tickets[:, 0].astype(int).tolist()
                await eng.close_positions(ids, [CLOSE] * len(ids), [0.0] * len(ids))
            last = float(closes[-1])
            if want > 0:
                reply = await eng.place_order("buy", "limit", last, policy.units,
                                              take_profit=policy.target, stop_loss=policy.stop)
            else:
                reply = await eng.place_ticket("sell", policy.units, take_profit=policy.target,
                                               stop_loss=policy.stop)
            position = want if reply[0] == 1 else 0
        elif position != 0 and step % 5 == 0:
            tickets = await eng.get_ticket_list()
            # Columns: id, side, units, entry, mark, unrealized pnl, ...
            runners = [int(t[0]) for t in tickets
                       if int(t[0]) not in reduced and t[2] >= 2 and t[5] > 0.5 * policy.target * t[2]]
            if runners:
                await eng.close_positions(runners, [REDUCE] * len(runners), [0.5] * len(runners))
                reduced.update(runners)
        if step % 20 == 0:
            for row in await eng.fetch_events():
                events[int(row[1])] += 1
        progress.update(1, f"{label}  equity {snap[0]:10.2f}")
        if snap[6] == 1:  # the peer's episode is over
            break
    final = await eng.get_snapshot()
    summary = (await eng.end_session())[0]
    for row in await eng.fetch_events():
        events[int(row[1])] += 1
    return {
        "index": index,
        "start_candle": start_candle,
        "steps": step,
        "equity": equity,
        "prices": prices,
        "open_at_end": int(final[3]),
        "summary": summary,
        "events": events,
    }


# ---- output --------------------------------------------------------------------------------------------


def percentiles_ms(samples: list[float]) -> tuple[float, float, float]:
    p50, p90, p99 = np.percentile(np.asarray(samples) * 1e3, [50, 90, 99])
    return float(p50), float(p90), float(p99)


def print_summary(eng: Timed, episodes: list[dict[str, Any]], loop_secs: float, initial: float) -> None:
    total_steps = sum(e["steps"] for e in episodes)
    calls = sum(len(s) for s in eng.samples.values())
    print()
    print(f"{total_steps} steps in {loop_secs:.2f} s: {total_steps / loop_secs:.0f} steps/s, "
          f"{calls} commands, {calls / loop_secs:.0f} round trips/s")
    print()
    print(f"{'command':<18}{'calls':>7}{'p50 ms':>10}{'p90 ms':>10}{'p99 ms':>10}")
    for name in sorted(eng.samples, key=lambda n: -len(eng.samples[n])):
        p50, p90, p99 = percentiles_ms(eng.samples[name])
        print(f"{name:<18}{len(eng.samples[name]):>7}{p50:>10.3f}{p90:>10.3f}{p99:>10.3f}")
    print()
    print(f"{'episode':<9}{'start':>7}{'steps':>7}{'final equity':>14}{'return %':>10}"
          f"{'trades':>8}{'wins':>6}{'losses':>8}{'max dd':>9}")
    for e in episodes:
        s = e["summary"]
        print(f"{e['index']:<9}{e['start_candle']:>7}{e['steps']:>7}{s[4]:>14.2f}{s[6]:>10.3f}"
              f"{int(s[7]):>8}{int(s[8]):>6}{int(s[9]):>8}{s[10]:>9.2f}")
    mean_return = float(np.mean([e["summary"][6] for e in episodes]))
    print(f"mean return {mean_return:.3f} % on an initial balance of {initial:.0f}")


def plot_equity(episodes: list[dict[str, Any]], initial: float, path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, px) = plt.subplots(2, 1, figsize=(10, 6), dpi=110, sharex=True,
                                 gridspec_kw={"height_ratios": [3, 1.3]})
    offset = 0
    for e in episodes:
        curve = np.concatenate([[initial], e["equity"]])
        x = np.arange(offset, offset + len(curve))
        line, = ax.plot(x, curve, linewidth=1.4, label=f"episode {e['index']} ({e['summary'][6]:+.2f} %)")
        px.plot(x[1:], e["prices"], linewidth=1.0, color=line.get_color())
        offset += len(curve) - 1
        for a in (ax, px):
            a.axvline(offset, color="0.8", linewidth=0.8)
    ax.axhline(initial, color="0.5", linewidth=0.8, linestyle="--")
    ax.set_ylabel("equity")
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    ax.legend(loc="best", fontsize=8)
    px.set_ylabel("last close")
    px.set_xlabel("step (episodes back to back)")
    px.grid(True, alpha=0.3)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


# ---- main ----------------------------------------------------------------------------------------------

# The engine ends every call at its deadline (10 s by default); a call still pending well after that is stuck.
STUCK_SECS = 30.0


async def watch(task: asyncio.Task[int], eng: Timed) -> bool:
    """Waits for task; False if it had to be cancelled because a command never completed."""
    while not task.done():
        await asyncio.wait({task}, timeout=1.0)
        pending = eng.pending
        if pending is not None and time.perf_counter() - pending[1] > STUCK_SECS:
            print(f"\n{pending[0]} has not completed after {STUCK_SECS:.0f} s; giving up", file=sys.stderr)
            task.cancel()
            await asyncio.gather(task, return_exceptions=True)
            return False
    return True


async def main(args: argparse.Namespace) -> int:
    host = args.host
    port = args.port or free_port(host)
    url = f"ws://{host}:{port}"
    out = Path(args.out).resolve()
    out.parent.mkdir(parents=True, exist_ok=True)

    engine = RustEngineAsync(host, port)
    try:
        await engine.start()
    except RuntimeError as e:
        print(f"cannot listen on {host}:{port}: {e}", file=sys.stderr)
        return 1

    try:
        peer = NodePeer(url, seed=args.seed, connect_timeout=args.connect_timeout)
    except PeerError as e:
        print(e, file=sys.stderr)
        return 1
    try:
        print(f"engine listening on {url}; UI peer: node peer/node-peer.mjs (pid {peer.pid}, seed {args.seed}, "
              f"log {peer.log_path})", flush=True)
        # In short slices, so a peer process that dies is reported at once, not after the whole timeout.
        deadline = time.monotonic() + args.connect_timeout
        while True:
            try:
                await engine.wait_connected(timeout_secs=0.25)
                break
            except RuntimeError as e:
                code = peer.exit_code()
                if code is not None or time.monotonic() > deadline:
                    why = f"the UI peer exited with code {code}" if code is not None else str(e)
                    print(f"no UI peer connected: {why}\n{peer.log_tail()}", file=sys.stderr)
                    return 1
        print("UI peer connected", flush=True)

        eng = Timed(engine)
        work = asyncio.create_task(train(eng, args))
        if not await watch(work, eng):
            return 1
        return work.result()
    finally:
        print(f"UI peer exited with code {peer.stop()}")


async def train(eng: Timed, args: argparse.Namespace) -> int:
    out = Path(args.out).resolve()
    config = json.loads(await eng.get_rl_config())
    policy_name = await eng.get_sync_policy()
    initial = float(config.get("initial_balance", 10000))
    steps = min(args.steps, int(config.get("episode_length", args.steps)))
    print(f"rl config: seed {config.get('seed')}, {config.get('train_episodes')} train episodes of "
          f"{config.get('episode_length')} steps, window {config.get('window')}, "
          f"{config.get('candles')} candles, sync policy {policy_name}", flush=True)

    policy = Crossover(args.fast, args.slow, args.units, args.stop, args.target)
    progress = Progress(args.episodes * steps, enabled=not args.no_progress)
    episodes = []
    t0 = time.perf_counter()
    for i in range(args.episodes):
        episodes.append(await run_episode(eng, policy, i, steps, progress, f"episode {i + 1}/{args.episodes}"))
    loop_secs = time.perf_counter() - t0
    progress.close()

    print_summary(eng, episodes, loop_secs, initial)
    kinds = {v: k for k, v in config.get("event_kinds", {}).items()}
    total_events: Counter[int] = sum((e["events"] for e in episodes), Counter())
    if total_events:
        print("events: " + ", ".join(f"{kinds.get(k, k)} {n}" for k, n in sorted(total_events.items())))
    plot_equity(episodes, initial, out,
                f"moving-average crossover {args.fast}/{args.slow}, seed {args.seed}, "
                f"{len(episodes)} episodes")
    print(f"equity curve written to {out}")
    return 0


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--episodes", type=int, default=3, help="episodes to run (default 3)")
    p.add_argument("--steps", type=int, default=200, help="steps per episode, at most the peer's episode length")
    p.add_argument("--seed", type=int, default=1, help="seed of the simulated market (default 1)")
    p.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=0, help="engine port (default: a free one)")
    p.add_argument("--connect-timeout", type=float, default=30.0, help="seconds to wait for the UI peer (default 30)")
    p.add_argument("--out", default="build/demo/rule_based.png", help="PNG of the equity curve")
    p.add_argument("--fast", type=int, default=5, help="fast moving average, in candles")
    p.add_argument("--slow", type=int, default=20, help="slow moving average, in candles")
    p.add_argument("--units", type=int, default=10, help="units per trade")
    p.add_argument("--stop", type=float, default=1.0, help="stop loss distance, in price units")
    p.add_argument("--target", type=float, default=2.0, help="take profit distance, in price units")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.episodes < 1 or args.steps < 1:
        p.error("--episodes and --steps must be at least 1")
    if not math.isfinite(args.stop) or not math.isfinite(args.target) or args.stop < 0 or args.target < 0:
        p.error("--stop and --target must be finite and >= 0")
    return args


if __name__ == "__main__":
    try:
        sys.exit(asyncio.run(main(parse_args())))
    except KeyboardInterrupt:
        sys.exit(130)
