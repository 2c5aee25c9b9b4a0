"""Trains RLlib's PPO with 2 env runners on the demo's EURUSD candles through the UI, then tests it on
held-out episodes, as the NumPy demo does.

    python examples/rllib_train.py [--runners 2] [--envs-per-runner 4] [--iterations 20] [--address HEAD:6379]

Without --address it starts a Ray instance of its own on this machine (ray.init(address="local")); with it,
it joins that running cluster, and nothing else (docs/scaling.md). Each env runner is a Ray actor on some
node that makes --envs-per-runner environments there, one engine and one headless UI peer each, with the
demo's candles loaded (they travel in env_config). The environment goes by its registered id: every worker
of the job imports the package first (Ray's worker_process_setup_hook). Afterwards the greedy policy, a
random policy and buy-and-hold each play every train and every test episode on this machine, and the demo's
table compares them.

Needs RLlib and torch: pip install torch "py_engine_rust[rllib]" on every node.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Optional

import numpy as np
import train_demo as demo

try:
    import ray
    import torch
    from py_engine_rust_gym import ENV_ID, LONG, EngineError, PeerError, TradingUIVectorEnv
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.default_model_config import DefaultModelConfig
except ImportError as e:  # RLlib is the [rllib] extra
    raise SystemExit(f'this example needs the rllib extra: pip install torch "py_engine_rust[rllib]" ({e})') from e


def run(args: argparse.Namespace) -> int:
    # The networks are small: more threads only wait on each other, and on a busy machine they wait long.
    # (Ray gives its workers one thread each: OMP_NUM_THREADS follows a worker's CPUs.)
    torch.set_num_threads(args.torch_threads)
    candles = demo.load_candles()
    env_config = {"peer_seed": args.seed, "peer_args": demo.layout_args(args), "units": args.units,
                  "candles": candles, "verbose": False}
    t_start = time.perf_counter()
    # address="local" starts a Ray instance of this program's own: a plain ray.init() would join any cluster
    # it finds on this machine, another user's included.
    ray.init(address=args.address or "local", runtime_env={"worker_process_setup_hook": "py_engine_rust_gym.register"})
    try:
        config = (
            PPOConfig()
            .environment(ENV_ID, env_config=env_config)
            .env_runners(num_env_runners=args.runners, num_envs_per_env_runner=args.envs_per_runner)
            .training(train_batch_size_per_learner=args.batch, minibatch_size=min(args.batch, 256), lr=args.lr)
            .rl_module(model_config=DefaultModelConfig(fcnet_hiddens=[args.hidden, args.hidden]))
            .debugging(seed=args.seed)
        )
        algo = config.build_algo()
        try:
            print(f"training: PPO, {args.iterations} iterations of {args.batch} steps, {args.runners} env runners "
                  f"with {args.envs_per_runner} UI peers each", flush=True)
            for i in range(args.iterations):
                result = algo.train()
                runners = result["env_runners"]
                print(f"iteration {i + 1}/{args.iterations}: mean train pnl {runners['episode_return_mean']:+8.1f}, "
                      f"{int(runners['num_env_steps_sampled_lifetime'])} steps in {time.perf_counter() - t_start:.0f} s",
                      flush=True)
            module = algo.get_module()
        finally:
            algo.stop()
    finally:
        ray.shutdown()
    train_secs = time.perf_counter() - t_start

    def greedy(obs: np.ndarray) -> np.ndarray:
        with torch.no_grad():
            logits = module.forward_inference({"obs": torch.as_tensor(obs)})["action_dist_inputs"]
        return logits.argmax(dim=-1).numpy()

    print("evaluation: each policy plays every train and every test episode", flush=True)
    rng = np.random.default_rng(args.seed + 1)
    actors: dict[str, demo.Actor] = {
        "learned (greedy)": greedy,
        "random": lambda o: rng.integers(0, 4, len(o)),
        "buy-and-hold": lambda o: np.full(len(o), LONG),
    }
    envs = TradingUIVectorEnv(args.envs_per_runner, **env_config)
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
    p.add_argument("--address", default=None, help="a running Ray cluster's HEAD:PORT (default: a Ray of its own)")
    p.add_argument("--runners", type=int, default=2, help="env runners (Ray actors), a CPU each")
    p.add_argument("--envs-per-runner", type=int, default=4, help="environments (engines and UI peers) per runner")
    p.add_argument("--iterations", type=int, default=20, help="training iterations")
    p.add_argument("--batch", type=int, default=4000, help="environment steps per iteration")
    p.add_argument("--lr", type=float, default=3e-4, help="PPO's learning rate")
    p.add_argument("--hidden", type=int, default=32, help="units of each of the two hidden layers")
    p.add_argument("--seed", type=int, default=1, help="seed of the policy, the sampling and the peers")
    p.add_argument("--torch-threads", type=int, default=1, help="threads the learner's torch computes with")
    p.add_argument("--episode-length", type=int, default=100, help="candles (hours) per episode")
    p.add_argument("--train-episodes", type=int, default=64, help="train episodes in the first 80 %% of the series")
    p.add_argument("--test-episodes", type=int, default=10, help="test episodes in the last 20 %%")
    p.add_argument("--units", type=int, default=10000, help="units of EURUSD per trade")
    args = p.parse_args(argv)
    for name in ("runners", "envs_per_runner", "iterations", "batch", "train_episodes", "test_episodes", "units",
                 "hidden", "torch_threads"):
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
        print(f"\nrllib_train stopped: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
