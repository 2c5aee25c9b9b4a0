"""Trains Stable-Baselines3's PPO on the demo's EURUSD candles through the UI, then tests it on held-out
episodes, as the NumPy demo does.

    python examples/sb3_train.py [--envs 8] [--timesteps 80000] [--seed 1]

The environments are the demo's (examples/train_demo.py): --envs headless UI peers with the hourly EURUSD
candles of 2017 loaded, train episodes from the first 80 % of the series and test episodes from the last
20 %. PPO steps all of them at once through SB3VecEnv, a TradingUIVectorEnv behind SB3's VecEnv (VecMonitor
gives SB3 its episode statistics). Afterwards the greedy policy, a random policy and buy-and-hold each play
every train and every test episode, and the demo's table compares them.

Needs Stable-Baselines3 and torch: pip install torch "py_engine_rust[sb3]" (scripts/test.sh installs both
into .venv; torch==2.13.0 is the CPU build on this project's machines).
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Optional

import numpy as np
import train_demo as demo

try:
    from gymnasium.vector import AutoresetMode
    from py_engine_rust_gym import LONG, EngineError, PeerError, TradingUIVectorEnv
    from py_engine_rust_gym.sb3 import SB3VecEnv
    import torch
    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecMonitor
except ImportError as e:  # Stable-Baselines3 is the [sb3] extra
    raise SystemExit(f'this example needs the sb3 extra: pip install torch "py_engine_rust[sb3]" ({e})') from e


def make_envs(args: argparse.Namespace, candles: np.ndarray, **kwargs) -> TradingUIVectorEnv:
    return TradingUIVectorEnv(args.envs, launch_peer=True, peer_seed=args.seed, peer_args=demo.layout_args(args),
                              units=args.units, candles=candles, verbose=False, **kwargs)


def run(args: argparse.Namespace) -> int:
    # The networks are small: more threads only wait on each other, and on a busy machine they wait long.
    torch.set_num_threads(args.torch_threads)
    candles = demo.load_candles()
    t_start = time.perf_counter()
    venv = VecMonitor(SB3VecEnv(make_envs(args, candles, autoreset_mode=AutoresetMode.SAME_STEP)))
    try:
        model = PPO("MlpPolicy", venv, n_steps=args.n_steps, batch_size=args.batch_size, learning_rate=args.lr,
                    policy_kwargs={"net_arch": [args.hidden, args.hidden]}, seed=args.seed, device="cpu",
                    verbose=0 if args.quiet else 1)
        print(f"training: PPO for {args.timesteps} steps through SB3VecEnv of {args.envs} UI peers", flush=True)
        model.learn(total_timesteps=args.timesteps)
    finally:
        venv.close()
    train_secs = time.perf_counter() - t_start

    print("evaluation: each policy plays every train and every test episode", flush=True)
    rng = np.random.default_rng(args.seed + 1)
    actors: dict[str, demo.Actor] = {
        "learned (greedy)": lambda o: model.predict(o, deterministic=True)[0],
        "random": lambda o: rng.integers(0, 4, len(o)),
        "buy-and-hold": lambda o: np.full(len(o), LONG),
    }
    envs = make_envs(args, candles)
    try:
        initial = float(envs.config.get("initial_balance", 10000))
        episodes = {"train": list(range(args.train_episodes)), "test": list(range(args.test_episodes))}
        results = {name: {kind: demo.play(envs, act, kind, indices) for kind, indices in episodes.items()}
                   for name, act in actors.items()}
    finally:
        envs.close()
    print()
    print("\n".join(demo.report(results, initial)))
    print(f"\npnl in account currency per episode of {args.episode_length} hours, {args.units} units per trade, "
          f"initial balance {initial:.0f}; ± is one standard error")
    print(f"trained in {train_secs:.1f} s, whole run {time.perf_counter() - t_start:.1f} s")
    return 0


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--envs", type=int, default=8, help="environments (engines and UI peers) trained at once")
    p.add_argument("--timesteps", type=int, default=80_000, help="environment steps of training in all")
    p.add_argument("--n-steps", type=int, default=256, help="PPO's steps per environment and rollout")
    p.add_argument("--batch-size", type=int, default=256, help="PPO's minibatch size")
    p.add_argument("--lr", type=float, default=3e-4, help="PPO's learning rate")
    p.add_argument("--hidden", type=int, default=32, help="units of each of the two hidden layers")
    p.add_argument("--seed", type=int, default=1, help="seed of the policy, the sampling and the episode draws")
    p.add_argument("--episode-length", type=int, default=100, help="candles (hours) per episode")
    p.add_argument("--train-episodes", type=int, default=64, help="train episodes in the first 80 %% of the series")
    p.add_argument("--test-episodes", type=int, default=10, help="test episodes in the last 20 %%")
    p.add_argument("--units", type=int, default=10000, help="units of EURUSD per trade")
    p.add_argument("--torch-threads", type=int, default=1, help="threads torch computes with")
    p.add_argument("--quiet", action="store_true", help="no SB3 progress tables")
    args = p.parse_args(argv)
    for name in ("envs", "timesteps", "n_steps", "batch_size", "train_episodes", "test_episodes", "units", "hidden",
                 "torch_threads"):
        if getattr(args, name) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.episode_length < 2:
        p.error("--episode-length must be at least 2")
    return args


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    try:
        return run(args)
    except (PeerError, EngineError) as e:
        print(f"\nsb3_train stopped: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
