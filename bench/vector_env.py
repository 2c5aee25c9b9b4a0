"""What stepping N trading UIs from one process is worth: env-steps/s and CPU per env-step of
TradingUIVectorEnv (N engines on one event loop), Gymnasium's AsyncVectorEnv of N TradingUIEnv (one
subprocess each) and SyncVectorEnv of N TradingUIEnv (one after another in the caller's process).

    python bench/vector_env.py [--build build/bench] [--counts 4 16] [--rounds 3] [--seconds 4] [--out DIR]
    python bench/vector_env.py measure --kind vector --n 16 --seconds 4     # one measurement, one JSON line

Every measurement runs in a fresh process with its own bench_peer (bench/peer.cpp, canned answers, one
connection per engine), so the environments are what gets measured; the kinds and counts run in
interleaved rounds. All three step the same TradingUIEnv configuration: the default observation, action
and reward mappings, random actions from one seeded sequence (half of them place an order, one extra round
trip), and an autoreset every 100 steps (max_episode_steps; the canned peer never ends an episode).
The driver writes vector_env.md and vector_env.json into --out and prints one JSON line for bench/run.py.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import os
import resource
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path[:0] = [str(BENCH), str(ROOT / "python")]

from common import measure_apart, write_results  # noqa: E402

KINDS = ("vector", "async", "sync")
LABELS = {
    "vector": "TradingUIVectorEnv (one process)",
    "async": "AsyncVectorEnv of TradingUIEnv",
    "sync": "SyncVectorEnv of TradingUIEnv",
}
ENV_KWARGS = dict(launch_peer=False, serve_page=False, verbose=False, connect_timeout=60.0, max_episode_steps=100, window=32)
WARMUP_STEPS = 30
TICK = os.sysconf("SC_CLK_TCK")


# ---- one measurement -----------------------------------------------------------------------------------


def proc_cpu(pid: int) -> float:
    """User + system CPU seconds of a process (all its threads) from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def self_cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def worker_env(port: int, spare_port: int, parent_pid: int):
    """AsyncVectorEnv also builds its first environment once in the calling process, to read the spaces;
    the engine of that one keeps listening there, so it gets a port of its own."""
    from py_engine_rust_gym import TradingUIEnv

    return TradingUIEnv(port=spare_port if os.getpid() == parent_pid else port, **ENV_KWARGS)


def make_envs(kind: str, ports: list[int], context: str | None):
    import gymnasium as gym
    from py_engine_rust_gym import TradingUIEnv, TradingUIVectorEnv

    if kind == "vector":
        return TradingUIVectorEnv(len(ports), ports=ports, **ENV_KWARGS)
    if kind == "sync":
        return gym.vector.SyncVectorEnv(
            [functools.partial(TradingUIEnv, port=p, **ENV_KWARGS) for p in ports]
        )
    *ports, spare = ports
    fns = [functools.partial(worker_env, p, spare, os.getpid()) for p in ports]
    return gym.vector.AsyncVectorEnv(fns, context=context)


def loop_cpu(kind: str, envs) -> float:
    """CPU seconds of every environment event-loop thread, summed (in this process or the workers)."""
    if kind == "vector":
        return envs.loop_cpu_time()
    if kind == "sync":
        return sum(e.loop_cpu_time() for e in envs.envs)
    return float(sum(envs.call("loop_cpu_time")))


def worker_pids(kind: str, envs) -> list[int]:
    return [p.pid for p in envs.processes] if kind == "async" else []


def listen_ports(n: int) -> list[int]:
    """n free ports below the ephemeral range. bench_peer keeps connecting while the engines start (the
    workers of AsyncVectorEnv take seconds), and each attempt takes an ephemeral source port, which may be
    one an engine is about to listen on."""
    import random
    import socket

    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    ports: list[int] = []
    for port in random.Random(os.getpid()).sample(range(max(1024, low - 12000), low), 400):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        ports.append(port)
        if len(ports) == n:
            return ports
    raise RuntimeError(f"no {n} free ports below {low}")


@contextlib.contextmanager
def canned_peer(build: Path, ports: list[int], max_seconds: int = 300) -> Iterator[subprocess.Popen]:
    """One bench_peer (one thread, canned answers) connecting to each of ``ports``, stopped at the end."""
    peer_bin = build / "bench" / "bench_peer"
    if not peer_bin.exists():
        raise SystemExit(f"{peer_bin} is missing: build it with bench/run.sh (cmake -DENGINE_BENCH=ON)")
    argv = [str(peer_bin), "--threads", "1", "--max-seconds", str(max_seconds)]
    for p in ports:
        argv += ["--port", str(p)]
    peer = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield peer
    finally:
        peer.terminate()
        try:
            peer.wait(10)
        except subprocess.TimeoutExpired:
            peer.kill()
            peer.wait()


def measure(kind: str, n: int, seconds: float, context: str | None, build: Path) -> dict:
    ports = listen_ports(n + 1 if kind == "async" else n)
    envs = None
    with canned_peer(build, ports) as peer:
        try:
            t_setup = time.perf_counter()
            envs = make_envs(kind, ports, context)
            setup_s = time.perf_counter() - t_setup
            rng = np.random.default_rng(0)
            envs.reset(seed=0)
            for _ in range(WARMUP_STEPS):
                envs.step(rng.integers(0, 4, size=n))
            actions = rng.integers(0, 4, size=(4096, n))
            workers = worker_pids(kind, envs)
            loop0 = loop_cpu(kind, envs)
            peer0, self0 = proc_cpu(peer.pid), self_cpu()
            workers0 = sum(proc_cpu(p) for p in workers)
            t0 = time.perf_counter()
            steps = 0
            while True:
                envs.step(actions[steps % len(actions)])
                steps += 1
                if steps % 16 == 0 and time.perf_counter() - t0 >= seconds:
                    break
            wall = time.perf_counter() - t0
            self1, peer1 = self_cpu(), proc_cpu(peer.pid)
            workers1 = sum(proc_cpu(p) for p in workers)
            loop1 = loop_cpu(kind, envs)
        finally:
            if envs is not None:
                envs.close()
    env_steps = steps * n
    return {
        "kind": kind,
        "n": n,
        "context": context,
        "env_steps": env_steps,
        "wall_s": wall,
        "setup_s": setup_s,
        "env_steps_per_s": env_steps / wall,
        "loop_cpu_us": (loop1 - loop0) / env_steps * 1e6,
        "env_cpu_us": ((self1 - self0) + (workers1 - workers0)) / env_steps * 1e6,
        "peer_cpu_us": (peer1 - peer0) / env_steps * 1e6,
    }


# ---- the driver ------------------------------------------------------------------------------------------


def run_rounds(
    counts: list[int], rounds: int, seconds: float, context: str | None, build: Path
) -> list[dict]:
    env = dict(os.environ)
    module_dirs = [str(build)] if any(build.glob("py_engine_rust*.so")) else []
    env["PYTHONPATH"] = os.pathsep.join([*module_dirs, str(ROOT / "python"), str(BENCH)])
    env["OPENBLAS_NUM_THREADS"] = "1"
    out = []
    for k in range(rounds):
        for n in counts:
            order = KINDS[k % 3 :] + KINDS[: k % 3]
            for kind in order:
                argv = [
                    sys.executable,
                    str(Path(__file__).resolve()),
                    "measure",
                    "--kind",
                    kind,
                    "--n",
                    str(n),
                    "--seconds",
                    str(seconds),
                    "--build",
                    str(build),
                ]
                if context:
                    argv += ["--context", context]
                m = measure_apart(argv, env, timeout=300)
                print(
                    f"round {k + 1}/{rounds}  N={n:<3} {kind:<7} {m['env_steps_per_s']:8.0f} env-steps/s  "
                    f"loop CPU {m['loop_cpu_us']:6.1f} us  env CPU {m['env_cpu_us']:6.1f} us  "
                    f"load {os.getloadavg()[0]:.2f}",
                    file=sys.stderr,
                    flush=True,
                )
                out.append(m)
    return out


def summarize(samples: list[dict], counts: list[int]) -> dict:
    fig: dict = {}
    for n in counts:
        fig[n] = {}
        for kind in KINDS:
            ms = [m for m in samples if m["n"] == n and m["kind"] == kind]
            fig[n][kind] = {
                key: float(np.median([m[key] for m in ms]))
                for key in ("env_steps_per_s", "loop_cpu_us", "env_cpu_us", "peer_cpu_us", "setup_s")
            }
            fig[n][kind]["runs"] = [round(m["env_steps_per_s"]) for m in ms]
    return fig


def goals(fig: dict) -> list[tuple[str, str, bool]]:
    if 16 not in fig:
        return []
    v, a = fig[16]["vector"]["env_steps_per_s"], fig[16]["async"]["env_steps_per_s"]
    return [
        (
            "TradingUIVectorEnv at least 2x AsyncVectorEnv at N = 16",
            f"{v:.0f} vs {a:.0f} env-steps/s = {v / a:.2f}x",
            v >= 2 * a,
        )
    ]


def markdown(fig: dict, rounds: int, seconds: float, context: str | None, load: tuple) -> str:
    row = lambda cells: "| " + " | ".join(str(c) for c in cells) + " |"  # noqa: E731
    L = ["## Vector environments: N trading UIs stepped from Python", ""]
    L.append(
        row(
            [
                "N",
                "Environment",
                "Env-steps/s",
                "vs AsyncVectorEnv",
                "vs SyncVectorEnv",
                "Loop-thread CPU per env-step",
                "Env-side CPU per env-step",
                "Peer CPU per env-step",
                "Runs (env-steps/s)",
            ]
        )
    )
    L.append(row(["---"] * 9))
    for n, kinds in fig.items():
        for kind in KINDS:
            d = kinds[kind]
            L.append(
                row(
                    [
                        n,
                        LABELS[kind],
                        f"{d['env_steps_per_s']:.0f}",
                        f"{d['env_steps_per_s'] / kinds['async']['env_steps_per_s']:.2f}x",
                        f"{d['env_steps_per_s'] / kinds['sync']['env_steps_per_s']:.2f}x",
                        f"{d['loop_cpu_us']:.1f} us",
                        f"{d['env_cpu_us']:.1f} us",
                        f"{d['peer_cpu_us']:.1f} us",
                        ", ".join(str(r) for r in d["runs"]),
                    ]
                )
            )
    L.append("")
    L.append(
        f"Medians of {rounds} interleaved rounds of {seconds:g} s each, timed after {WARMUP_STEPS} warm-up "
        "steps; every run is a fresh process with its own bench_peer (one thread, one connection per engine, "
        f"canned answers). Load average (1 min) {load[0]:.2f} before, {load[1]:.2f} after. "
        "A step sends each sub-environment's action (random, from one "
        "seeded sequence: hold, long, short, close; entries cost one `place_ticket` round trip) and one "
        "`step_and_sync`; every 100 steps a sub-environment truncates and autoresets (`reset_episode` + "
        "`step_and_sync`). Loop-thread CPU: the environments' asyncio threads (one for "
        "TradingUIVectorEnv, one per TradingUIEnv otherwise). Env-side CPU: the measuring process "
        "and AsyncVectorEnv's workers, all threads, the engines' included; the peer's is apart. "
        f"AsyncVectorEnv ran with the {context or 'fork'} context, shared memory, "
        "next-step autoreset like the others."
    )
    L.append("")
    return "\n".join(L)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", nargs="?", default="all", choices=["all", "measure"])
    ap.add_argument("--build", default=str(ROOT / "build" / "bench"), help="the CMake build with bench_peer")
    ap.add_argument("--counts", type=int, nargs="+", default=[4, 16])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=4.0, help="timed stepping per run")
    ap.add_argument("--context", default=None, help="AsyncVectorEnv's multiprocessing context (default: the platform's)")
    ap.add_argument("--kind", choices=KINDS, help="measure: which environment")
    ap.add_argument("--n", type=int, help="measure: how many sub-environments")
    ap.add_argument("--out", default=str(BENCH / "results"), help="where vector_env.md and .json go")
    a = ap.parse_args()
    build = Path(a.build).resolve()
    if a.mode == "measure":
        print(json.dumps(measure(a.kind, a.n, a.seconds, a.context, build)), flush=True)
        return
    load_before = os.getloadavg()[0]
    samples = run_rounds(a.counts, a.rounds, a.seconds, a.context, build)
    fig = summarize(samples, a.counts)
    g = goals(fig)
    md = markdown(fig, a.rounds, a.seconds, a.context, (load_before, os.getloadavg()[0]))
    write_results(a.out, "vector_env", fig, g, samples, md)


if __name__ == "__main__":
    main()
