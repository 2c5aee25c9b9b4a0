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

import compare
import train_demo as demo

try:
    import torch
    from gymnasium.vector import AutoresetMode
    from py_engine_rust_gym import TradingUIVectorEnv
    from py_engine_rust_gym.sb3 import SB3VecEnv
    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecMonitor
except ImportError as e:  # Stable-Baselines3 is the [sb3] extra
    raise SystemExit(f'this example needs the sb3 extra: pip install torch "py_engine_rust[sb3]" ({e})') from e


def run(args: argparse.Namespace) -> int:
    torch.set_num_threads(args.torch_threads)
    options = compare.env_options(args, demo.load_candles())
    started = time.perf_counter()
    venv = VecMonitor(SB3VecEnv(TradingUIVectorEnv(args.envs, autoreset_mode=AutoresetMode.SAME_STEP, **options)))
    try:
        model = PPO("MlpPolicy", venv, n_steps=args.n_steps, batch_size=args.batch_size, learning_rate=args.lr,
                    policy_kwargs={"net_arch": [args.hidden, args.hidden]}, seed=args.seed, device="cpu",
                    verbose=0 if args.quiet else 1)
        print(f"training: PPO for {args.timesteps} steps through SB3VecEnv of {args.envs} UI peers", flush=True)
        model.learn(total_timesteps=args.timesteps)
    finally:
        venv.close()
    trained = time.perf_counter()
    envs = TradingUIVectorEnv(args.envs, **options)
    try:
        compare.evaluate(args, envs, lambda o: model.predict(o, deterministic=True)[0], started, trained)
    finally:
        envs.close()
    return 0


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--envs", type=int, default=8, help="environments (engines and UI peers) trained at once")
    p.add_argument("--timesteps", type=int, default=80_000, help="environment steps of training in all")
    p.add_argument("--n-steps", type=int, default=256, help="PPO's steps per environment and rollout")
    p.add_argument("--batch-size", type=int, default=256, help="PPO's minibatch size")
    p.add_argument("--lr", type=float, default=3e-4, help="PPO's learning rate")
    p.add_argument("--quiet", action="store_true", help="no SB3 progress tables")
    compare.add_arguments(p)
    return compare.parse(p, argv)


if __name__ == "__main__":
    sys.exit(compare.main("sb3_train", run, parse_args()))
