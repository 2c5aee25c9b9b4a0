"""Trains the demo's learner with its rollouts spread over a Ray cluster: W actors collect, the driver learns.

    python examples/ray_train.py --workers 2 --envs-per-worker 4 --iterations 20 [--address HEAD:6379]

Without --address it starts a Ray instance on this machine; with it, it joins a running cluster (see
docs/scaling.md). Each worker is a Ray actor that owns --envs-per-worker engines and their headless UI peers
on the node Ray put it on, with the demo's candles loaded into every UI. Each iteration sends the policy's
parameters to all workers; every environment plays one whole train episode with them, and the driver runs
one REINFORCE update (examples/learner.py, the demo's learner) on all the episodes. Per iteration it prints
the steps/s of the whole run and of each worker, and the mean train return. At the end the greedy policy, a
random policy and buy-and-hold play every train and test episode on this machine, as in the demo.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import time
from pathlib import Path
from typing import Any, Optional

import numpy as np

import train_demo as demo
from learner import Batch, Policy, Reinforce

try:
    import ray
    from py_engine_rust_gym import LONG, EngineError, PeerError, TradingUIVectorEnv
    from py_engine_rust_gym.ray import RolloutError, RolloutPool, Trajectories
except ImportError as e:  # Ray is the [ray] extra
    raise SystemExit(f'this example needs the ray extra: pip install "py_engine_rust[ray]" ({e})') from e

EXAMPLES = Path(__file__).resolve().parent


class DemoEnvs:
    """Builds a worker's environments as the demo does: headless peers cutting the series into the same
    episodes, with the candles (shipped once with this object) loaded into every UI."""

    def __init__(self, candles: np.ndarray, args: argparse.Namespace):
        self.candles = candles
        self.peer_args = demo.layout_args(args)
        self.seed = args.seed
        self.units = args.units

    def __call__(self, num_envs: int) -> TradingUIVectorEnv:
        return TradingUIVectorEnv(num_envs, launch_peer=True, peer_seed=self.seed, peer_args=self.peer_args,
                                  units=self.units, candles=self.candles, verbose=False)


class Sampler:
    """The policy on a worker: the learner's Policy at the driver's parameters, actions sampled."""

    def __init__(self, obs_dim: int, n_actions: int, hidden: int):
        self.shape = (obs_dim, n_actions, hidden)
        self._policy: Optional[Policy] = None
        self._params: Optional[np.ndarray] = None

    def __call__(self, params: np.ndarray, obs: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        if self._policy is None:
            obs_dim, n_actions, hidden = self.shape
            self._policy = Policy(obs_dim, n_actions, hidden=hidden)
        if params is not self._params:  # one array per collection, the same object for all its steps
            self._policy.set_params(params)
            self._params = params
        return self._policy.act(obs, rng)


def one_batch(batches: list[Trajectories]) -> Batch:
    """The workers' batches side by side, as the learner takes them: one whole episode per environment."""
    for b in batches:
        if not (b.starts[0].all() and b.dones[-1].all() and not b.dones[:-1].any()):
            raise RuntimeError(f"worker {b.worker}'s episodes do not line up with its batch: the peers must "
                               "end every episode after --episode-length candles")

    def joined(name: str) -> np.ndarray:
        return np.concatenate([getattr(b, name) for b in batches], axis=1)

    dones = joined("terminated") | joined("truncated")
    return Batch(joined("obs"), joined("actions"), joined("rewards"), dones)


def evaluate(envs: TradingUIVectorEnv, policy: Policy, args: argparse.Namespace) -> dict[str, dict[str, Any]]:
    """Every train and every test episode played by the greedy policy and the demo's two baselines."""
    rng = np.random.default_rng(args.seed + 1)
    n_actions = int(envs.single_action_space.n)
    greedy = functools.partial(policy.act, greedy=True)
    baselines = (lambda obs: rng.integers(0, n_actions, len(obs)), lambda obs: np.full(len(obs), LONG))
    acts = dict(zip(demo.POLICIES, (greedy, *baselines), strict=True))
    episodes = {"train": list(range(args.train_episodes)), "test": list(range(args.test_episodes))}
    return {
        name: {kind: demo.play(envs, act, kind, indices) for kind, indices in episodes.items()}
        for name, act in acts.items()
    }


def start_ray(args: argparse.Namespace) -> None:
    # The workers import learner and train_demo: the examples folder goes to every node with the job.
    runtime_env = {"working_dir": str(EXAMPLES), "excludes": ["__pycache__"]}
    if args.address:
        ray.init(address=args.address, runtime_env=runtime_env)
    else:
        cpus = max(os.cpu_count() or 1, round(args.workers * args.cpus_per_worker))
        # "local": a new instance even where an earlier `ray start` left its address behind.
        ray.init(address="local", num_cpus=cpus, include_dashboard=False, runtime_env=runtime_env)
    nodes = [n for n in ray.nodes() if n["Alive"]]
    print(f"Ray: {len(nodes)} node(s), {ray.cluster_resources().get('CPU', 0):g} CPUs", flush=True)


def run(args: argparse.Namespace) -> int:
    candles = demo.load_candles()
    make_env = DemoEnvs(candles, args)
    # This machine's environments: they give the spaces now and play the evaluation at the end.
    local = make_env(args.envs_per_worker)
    pool: Optional[RolloutPool] = None
    try:
        initial = float(local.config.get("initial_balance", 10000))
        obs_dim = int(np.prod(local.single_observation_space.shape))
        n_actions = int(local.single_action_space.n)
        policy = Policy(obs_dim, n_actions, hidden=args.hidden, seed=args.seed)
        learner = Reinforce(policy, lr=args.lr, gamma=args.gamma)
        steps = args.episode_length - 1  # reset takes an episode's first step
        start_ray(args)
        t_start = time.perf_counter()
        sampler = Sampler(obs_dim, n_actions, args.hidden)
        options = {"num_cpus": args.cpus_per_worker, "scheduling_strategy": "SPREAD"}
        pool = RolloutPool(args.workers, args.envs_per_worker, sampler, steps, make_env=make_env,
                           seed=args.seed, actor_options=options)
        for w in pool.workers():
            print(f"worker {w['worker']} on {w['hostname']} (node {w['node_id'][:12]}, pid {w['pid']}): "
                  f"engines {' '.join(w['urls'])}", flush=True)
        print(f"training: {args.iterations} iterations x {args.workers * args.envs_per_worker} episodes of "
              f"{steps} steps, {policy.size} parameters", flush=True)
        collected = collect_secs = 0.0
        for it in range(args.iterations):
            began = time.perf_counter()
            batches = pool.collect(policy.get_params())
            secs = time.perf_counter() - began
            stats = learner.update(one_batch(batches))
            returns = np.concatenate([b.episode_returns for b in batches])
            total = sum(b.steps for b in batches)
            collected += total
            collect_secs += secs
            workers = ", ".join(f"{b.worker}@{b.hostname} {b.steps_per_s:,.0f}" for b in batches)
            print(f"iteration {it + 1:>3}/{args.iterations}  {total / secs:7,.0f} steps/s "
                  f"(per worker: {workers})  mean train return {returns.mean():+8.1f} over {len(returns)} "
                  f"episodes  entropy {stats['entropy']:.2f}", flush=True)
        print(f"training: {collected:,.0f} steps in {time.perf_counter() - t_start:.1f} s; "
              f"{collected / collect_secs:,.0f} steps/s while collecting", flush=True)
        pool.close()
        pool = None

        print("evaluation on this machine: each policy plays every train and every test episode", flush=True)
        results = evaluate(local, policy, args)
    finally:
        if pool is not None:
            pool.close()
        local.close()
        if ray.is_initialized():
            ray.shutdown()
    print()
    print("\n".join(demo.report(results, initial)))
    return 0


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        epilog="The data, the learner and the episodes take the demo's options, with the demo's defaults: "
        "--seed, --episode-length, --train-episodes, --test-episodes, --units, --hidden, --lr, --gamma "
        "(python examples/train_demo.py --help).",
    )
    p.add_argument("--workers", type=int, default=2, help="rollout actors, spread over the cluster's nodes")
    p.add_argument("--envs-per-worker", type=int, default=4, help="engines and UI peers per worker")
    p.add_argument("--iterations", type=int, default=20, help="policy updates, one episode per environment")
    p.add_argument("--address", default=None, help="join the running cluster at HEAD:6379, not a new local one")
    p.add_argument("--cpus-per-worker", type=float, default=1.0, help="CPUs Ray reserves for each worker")
    args, rest = p.parse_known_args(argv)
    for name in ("workers", "envs_per_worker", "iterations"):
        if getattr(args, name) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.cpus_per_worker < 0:
        p.error("--cpus-per-worker must not be negative")
    ours = vars(args)
    return argparse.Namespace(**{**vars(demo.parse_args(rest)), **ours})


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    try:
        return run(args)
    except (RolloutError, PeerError, EngineError) as e:
        # The worker's message says where and what; Ray's stack adds nothing.
        print(f"\nray_train stopped: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
