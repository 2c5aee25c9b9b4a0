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

import compare
import numpy as np
import train_demo as demo

try:
    import ray
    import torch
    from py_engine_rust_gym import ENV_ID, TradingUIVectorEnv
    from ray.rllib.algorithms.ppo import PPOConfig
    from ray.rllib.core.rl_module.default_model_config import DefaultModelConfig
except ImportError as e:  # RLlib is the [rllib] extra
    raise SystemExit(f'this example needs the rllib extra: pip install torch "py_engine_rust[rllib]" ({e})') from e


def run(args: argparse.Namespace) -> int:
    # Ray gives its workers one thread each (OMP_NUM_THREADS follows a worker's CPUs); this is the learner's.
    torch.set_num_threads(args.torch_threads)
    options = compare.env_options(args, demo.load_candles())
    started = time.perf_counter()
    # address="local" starts a Ray instance of this program's own: a plain ray.init() would join any cluster
    # it finds on this machine, another user's included.
    ray.init(address=args.address or "local", runtime_env={"worker_process_setup_hook": "py_engine_rust_gym.register"})
    try:
        config = (
            PPOConfig()
            .environment(ENV_ID, env_config=options)
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
                runners = algo.train()["env_runners"]
                print(f"iteration {i + 1}/{args.iterations}: mean train pnl {runners['episode_return_mean']:+8.1f}, "
                      f"{int(runners['num_env_steps_sampled_lifetime'])} steps in "
                      f"{time.perf_counter() - started:.0f} s", flush=True)
            module = algo.get_module()
        finally:
            algo.stop()
    finally:
        ray.shutdown()
    trained = time.perf_counter()

    def greedy(obs: np.ndarray) -> np.ndarray:
        with torch.no_grad():
            logits = module.forward_inference({"obs": torch.as_tensor(obs)})["action_dist_inputs"]
        return logits.argmax(dim=-1).numpy()

    envs = TradingUIVectorEnv(args.envs_per_runner, **options)
    try:
        compare.evaluate(args, envs, greedy, started, trained)
    finally:
        envs.close()
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
    compare.add_arguments(p)
    return compare.parse(p, argv)


if __name__ == "__main__":
    sys.exit(compare.main("rllib_train", run, parse_args()))
