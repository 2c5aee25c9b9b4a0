"""What sb3_train.py and rllib_train.py share with the demo: its episodes of the EURUSD series, and its
comparison of a trained policy with a random one and buy-and-hold on every train and test episode.

The data, the episodes and the table are the demo's own (train_demo.py), so the three examples' tables
can be set side by side.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any, Callable, Optional

import numpy as np
import train_demo as demo
from py_engine_rust_gym import LONG, EngineError, PeerError, TradingUIVectorEnv

# Options checked to be whole numbers >= 1, whichever example declared them.
_AT_LEAST_ONE = ("envs", "envs_per_runner", "runners", "iterations", "batch", "timesteps", "n_steps", "batch_size",
                 "train_episodes", "test_episodes", "units", "hidden", "torch_threads")


def add_arguments(p: argparse.ArgumentParser) -> None:
    """The demo's options of the data and the episodes, and torch's threads."""
    p.add_argument("--hidden", type=int, default=32, help="units of each of the two hidden layers")
    p.add_argument("--seed", type=int, default=1, help="seed of the policy, the sampling and the episode draws")
    p.add_argument("--episode-length", type=int, default=100, help="candles (hours) per episode")
    p.add_argument("--train-episodes", type=int, default=64, help="train episodes in the first 80 %% of the series")
    p.add_argument("--test-episodes", type=int, default=10, help="test episodes in the last 20 %%")
    p.add_argument("--units", type=int, default=10000, help="units of EURUSD per trade")
    # The networks are small: more threads only wait on each other, and on a busy machine they wait long.
    p.add_argument("--torch-threads", type=int, default=1, help="threads torch computes with")


def parse(p: argparse.ArgumentParser, argv: Optional[list[str]]) -> argparse.Namespace:
    args = p.parse_args(argv)
    for name in _AT_LEAST_ONE:
        if getattr(args, name, 1) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.episode_length < 2:
        p.error("--episode-length must be at least 2")
    return args


def env_options(args: argparse.Namespace, candles: np.ndarray) -> dict[str, Any]:
    """The demo's environments: headless peers that cut ``candles`` into its train and test episodes."""
    return {"launch_peer": True, "peer_seed": args.seed, "peer_args": demo.layout_args(args), "units": args.units,
            "candles": candles, "verbose": False}


def evaluate(args: argparse.Namespace, envs: TradingUIVectorEnv, greedy: demo.Actor, started: float,
             trained: float) -> None:
    """Plays every train and test episode with ``greedy``, a random policy and buy-and-hold, and prints the
    demo's table; ``started`` and ``trained`` are perf_counter times of the run's start and training's end."""
    print("evaluation: each policy plays every train and every test episode", flush=True)
    rng = np.random.default_rng(args.seed + 1)
    actors: dict[str, demo.Actor] = {
        "learned (greedy)": greedy,
        "random": lambda o: rng.integers(0, 4, len(o)),
        "buy-and-hold": lambda o: np.full(len(o), LONG),
    }
    initial = float(envs.config.get("initial_balance", 10000))
    episodes = {"train": list(range(args.train_episodes)), "test": list(range(args.test_episodes))}
    results = {name: {kind: demo.play(envs, act, kind, indices) for kind, indices in episodes.items()}
               for name, act in actors.items()}
    print()
    print("\n".join(demo.report(results, initial)))
    print(f"\npnl in account currency per episode of {args.episode_length} hours, {args.units} units per trade, "
          f"initial balance {initial:.0f}; ± is one standard error")
    print(f"trained in {trained - started:.1f} s, whole run {time.perf_counter() - started:.1f} s")


def main(name: str, run: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    try:
        return run(args)
    except (PeerError, EngineError) as e:
        # What went wrong is in the message (a launched peer's log tail included); the stack adds nothing.
        print(f"\n{name} stopped: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
