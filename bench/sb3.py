"""What SB3VecEnv is worth to Stable-Baselines3: env-steps/s of PPO's rollouts through SB3VecEnv (a
TradingUIVectorEnv, N engines on one event loop) and through DummyVecEnv of N TradingUIEnv (one after
another), rollout time only.

    python bench/sb3.py [--build build/bench] [--n 8] [--rounds 3] [--rollouts 4] [--peer canned|node]
                        [--out DIR]
    python bench/sb3.py measure --kind sb3 --n 8 --rollouts 4      # one measurement, one JSON line

Every measurement runs in a fresh process. With --peer canned (the default) it has its own bench_peer
(bench/peer.cpp: canned answers, one thread, one connection per engine), so the environments and PPO are
what gets measured; with --peer node each environment launches the bundled Node peer, as training does.
Both kinds run the same PPO (MlpPolicy, seed 0, n_steps 256, torch on one thread) on the default
mappings, with an autoreset every 100 steps (max_episode_steps; the canned peer never ends an episode). A
callback times each rollout from SB3's on_rollout_start to on_rollout_end: the policy's forward passes
and the environments' steps, not the updates. The first rollout is a warm-up. The kinds run in
interleaved rounds; the driver writes sb3.md and sb3.json into --out and prints one JSON line for
bench/run.py.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path[:0] = [str(BENCH), str(ROOT / "python")]

from common import measure_apart, write_results  # noqa: E402

from vector_env import canned_peer, listen_ports  # noqa: E402

KINDS = ("sb3", "dummy")
LABELS = {"sb3": "SB3VecEnv of TradingUIVectorEnv", "dummy": "DummyVecEnv of TradingUIEnv"}
ENV_KWARGS = dict(verbose=False, connect_timeout=60.0, max_episode_steps=100, window=32)
N_STEPS = 256
GOAL = 1.3


# ---- one measurement -----------------------------------------------------------------------------------


def make_venv(kind: str, n: int, ports: list[int] | None):
    from gymnasium.vector import AutoresetMode
    from py_engine_rust_gym import TradingUIEnv, TradingUIVectorEnv
    from py_engine_rust_gym.sb3 import SB3VecEnv
    from stable_baselines3.common.vec_env import DummyVecEnv

    peer = {"launch_peer": ports is None}
    if kind == "sb3":
        base = TradingUIVectorEnv(
            n, ports=ports, autoreset_mode=AutoresetMode.SAME_STEP, **peer, **ENV_KWARGS
        )
        return SB3VecEnv(base)
    chosen = ports or [None] * n
    return DummyVecEnv([functools.partial(TradingUIEnv, port=p, **peer, **ENV_KWARGS) for p in chosen])


def measure(kind: str, n: int, rollouts: int, peer: str, build: Path) -> dict:
    import torch
    from stable_baselines3 import PPO
    from stable_baselines3.common.callbacks import BaseCallback

    torch.set_num_threads(1)

    class RolloutClock(BaseCallback):
        def __init__(self) -> None:
            super().__init__()
            self.seconds: list[float] = []
            self._t0 = 0.0

        def _on_rollout_start(self) -> None:
            self._t0 = time.perf_counter()

        def _on_rollout_end(self) -> None:
            self.seconds.append(time.perf_counter() - self._t0)

        def _on_step(self) -> bool:
            return True

    ports = listen_ports(n) if peer == "canned" else None
    with canned_peer(build, ports, max_seconds=600) if ports else contextlib.nullcontext():
        venv = None
        try:
            t_setup = time.perf_counter()
            venv = make_venv(kind, n, ports)
            setup_s = time.perf_counter() - t_setup
            clock = RolloutClock()
            model = PPO(
                "MlpPolicy", venv, n_steps=N_STEPS, batch_size=N_STEPS, n_epochs=1, seed=0, device="cpu"
            )
            model.learn(total_timesteps=(rollouts + 1) * N_STEPS * n, callback=clock)
        finally:
            if venv is not None:
                venv.close()
    timed = clock.seconds[1:]  # the first rollout warms up
    steps = len(timed) * N_STEPS * n
    return {
        "kind": kind,
        "n": n,
        "peer": peer,
        "env_steps": steps,
        "rollout_s": sum(timed),
        "setup_s": setup_s,
        "env_steps_per_s": steps / sum(timed),
        "per_rollout_s": timed,
    }


# ---- the driver ------------------------------------------------------------------------------------------


def run_rounds(n: int, rounds: int, rollouts: int, peer: str, build: Path) -> list[dict]:
    env = dict(os.environ)
    # The bench build's module when there is one, as bench/vector_env.py does; else the installed one.
    module_dirs = [str(build)] if any(build.glob("py_engine_rust*.so")) else []
    env["PYTHONPATH"] = os.pathsep.join([*module_dirs, str(ROOT / "python"), str(BENCH)])
    env["OPENBLAS_NUM_THREADS"] = "1"
    out = []
    for k in range(rounds):
        for kind in KINDS[k % 2 :] + KINDS[: k % 2]:
            argv = [
                sys.executable,
                str(Path(__file__).resolve()),
                "measure",
                "--kind",
                kind,
                "--n",
                str(n),
                "--rollouts",
                str(rollouts),
                "--peer",
                peer,
                "--build",
                str(build),
            ]
            m = measure_apart(argv, env, timeout=900)
            print(
                f"round {k + 1}/{rounds}  N={n} {kind:<6} {m['env_steps_per_s']:8.0f} env-steps/s "
                f"load {os.getloadavg()[0]:.2f}",
                file=sys.stderr,
                flush=True,
            )
            out.append(m)
    return out


def summarize(samples: list[dict]) -> dict:
    fig: dict = {}
    for kind in KINDS:
        ms = [m for m in samples if m["kind"] == kind]
        fig[kind] = {
            "env_steps_per_s": float(np.median([m["env_steps_per_s"] for m in ms])),
            "setup_s": float(np.median([m["setup_s"] for m in ms])),
            "runs": [round(m["env_steps_per_s"]) for m in ms],
        }
    # Each round's two runs against each other, so drift in the machine's load cancels.
    rates = [{m["kind"]: m["env_steps_per_s"] for m in samples[i : i + 2]} for i in range(0, len(samples), 2)]
    fig["paired_ratios"] = [r["sb3"] / r["dummy"] for r in rates]
    return fig


def goals(fig: dict, n: int) -> list[tuple[str, str, bool]]:
    ratio = float(np.median(fig["paired_ratios"]))
    s, d = fig["sb3"]["env_steps_per_s"], fig["dummy"]["env_steps_per_s"]
    return [
        (
            f"PPO's rollouts through SB3VecEnv at least {GOAL}x DummyVecEnv at n_envs = {n}",
            f"{s:.0f} vs {d:.0f} env-steps/s; per round "
            f"{', '.join(f'{r:.2f}x' for r in fig['paired_ratios'])} (median {ratio:.2f}x)",
            ratio >= GOAL,
        )
    ]


def markdown(fig: dict, n: int, rounds: int, rollouts: int, peer: str, load: tuple) -> str:
    row = lambda cells: "| " + " | ".join(str(c) for c in cells) + " |"  # noqa: E731
    L = [f"## Stable-Baselines3: PPO's rollouts at n_envs = {n}", ""]
    L.append(
        row(
            ["Vector environment", "Env-steps/s in rollouts", "vs DummyVecEnv", "Setup", "Runs (env-steps/s)"]
        )
    )
    L.append(row(["---"] * 5))
    for kind in KINDS:
        d = fig[kind]
        L.append(
            row(
                [
                    LABELS[kind],
                    f"{d['env_steps_per_s']:.0f}",
                    f"{d['env_steps_per_s'] / fig['dummy']['env_steps_per_s']:.2f}x",
                    f"{d['setup_s']:.1f} s",
                    ", ".join(str(r) for r in d["runs"]),
                ]
            )
        )
    L.append("")
    peer_text = (
        "its own bench_peer (one thread, one connection per engine, canned answers)"
        if peer == "canned"
        else "the bundled Node peer launched by each environment"
    )
    L.append(
        f"Medians of {rounds} interleaved rounds; each run a fresh process with {peer_text}, timing "
        f"{rollouts} rollouts of {N_STEPS} steps per environment after one warm-up rollout, from SB3's "
        "on_rollout_start to on_rollout_end (the policy's forward passes and the steps; not the updates). "
        "PPO with MlpPolicy, "
        "seed 0, torch on one thread; the default mappings; every 100 steps an environment truncates and "
        f"resets. Per-round ratios: {', '.join(f'{r:.2f}x' for r in fig['paired_ratios'])}. Load average "
        f"(1 min) {load[0]:.2f} before, {load[1]:.2f} after."
    )
    L.append("")
    return "\n".join(L)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", nargs="?", default="all", choices=["all", "measure"])
    ap.add_argument("--build", default=str(ROOT / "build" / "bench"), help="the CMake build with bench_peer")
    ap.add_argument("--n", type=int, default=8, help="environments")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--rollouts", type=int, default=4, help="timed rollouts per run")
    ap.add_argument("--peer", choices=["canned", "node"], default="canned")
    ap.add_argument("--kind", choices=KINDS, help="measure: which vector environment")
    ap.add_argument("--out", default=str(BENCH / "results"), help="where sb3.md and sb3.json go")
    a = ap.parse_args()
    build = Path(a.build).resolve()
    if a.mode == "measure":
        print(json.dumps(measure(a.kind, a.n, a.rollouts, a.peer, build)), flush=True)
        return
    load_before = os.getloadavg()[0]
    samples = run_rounds(a.n, a.rounds, a.rollouts, a.peer, build)
    fig = summarize(samples)
    g = goals(fig, a.n)
    md = markdown(fig, a.n, a.rounds, a.rollouts, a.peer, (load_before, os.getloadavg()[0]))
    write_results(a.out, "sb3", fig, g, samples, md)


if __name__ == "__main__":
    main()
