"""Real browser pages as UI peers, through TradingUIVectorEnv: env-steps/s and CPU per env-step with Node
peers, the bare page (the browser's floor: market and connection, no UI) and the bundled page, at N = 1, 4
and 16 pages or peers.

    python bench/browser.py [--build build/bench] [--counts 1 4 16] [--rounds 3] [--seconds 4] [--out DIR]
    python bench/browser.py measure --kind page --n 4 --seconds 4     # one measurement, one JSON line

Every measurement is a fresh process. It makes `TradingUIVectorEnv(n, launch_peer=...)` exactly as a user
would: `"node"`, or `"browser"` with the bundled page the environment serves itself, or with
`page_url=` the bare page (bench/bare-page, served from the repository root). Its N sub-environments step
together holding their positions (one `step_and_sync` each a step, the lock step of a training loop) and
autoreset at the end of the bundled market's 200-step episodes. The kinds and counts run in interleaved
rounds. The driver writes browser.md and browser.json into --out and prints one JSON line for bench/run.py.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import sys
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path[:0] = [str(BENCH), str(ROOT / "python")]

from common import measure_apart, write_results  # noqa: E402

KINDS = ("node", "bare", "page")
LABELS = {
    "node": "Node peers, a process each",
    "bare": "bare page (no UI), headless Chromium",
    "page": "bundled page, headless Chromium",
}
WARMUP_STEPS = 20
TICK = os.sysconf("SC_CLK_TCK")


def proc_cpu(pid: int) -> float:
    """User + system CPU seconds of one process (all its threads), 0 for one already gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICK


def peer_cpu(pids: set[int]) -> float:
    return sum(proc_cpu(p) for p in pids)


def descendants() -> set[int]:
    """Every process below this one: the peers, the browser and its renderers, Playwright's driver."""
    parents: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    found, todo = set(), [os.getpid()]
    while todo:
        pid = todo.pop()
        for child, parent in parents.items():
            if parent == pid and child not in found:
                found.add(child)
                todo.append(child)
    return found


def renderers(pids: set[int]) -> int:
    count = 0
    for pid in pids:
        try:
            cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            continue
        # The browser's own pages (its top-chrome UI) are no UI peer's.
        count += b"--type=renderer" in cmdline and b"--top-chrome-webui" not in cmdline
    return count


def measure(kind: str, n: int, seconds: float) -> dict:
    from pages import PageServer
    from py_engine_rust_gym import TradingUIVectorEnv

    server = PageServer(ROOT) if kind == "bare" else None
    options: dict = {"verbose": False, "connect_timeout": 60.0}
    if kind == "node":
        options["launch_peer"] = "node"
    else:
        options["launch_peer"] = "browser"
        if server is not None:
            options["page_url"] = f"{server.origin}/bench/bare-page/"
    envs = None
    try:
        t_setup = time.perf_counter()
        envs = TradingUIVectorEnv(n, **options)
        setup_s = time.perf_counter() - t_setup
        hold = np.zeros(n, dtype=np.int64)
        envs.reset(seed=0)
        for _ in range(WARMUP_STEPS):
            envs.step(hold)
        peers = descendants()
        self0, peers0, loop0 = self_cpu(), peer_cpu(peers), envs.loop_cpu_time()
        t0 = time.perf_counter()
        steps = 0
        while True:
            envs.step(hold)
            steps += 1
            if steps % 8 == 0 and time.perf_counter() - t0 >= seconds:
                break
        wall = time.perf_counter() - t0
        self1, peers1, loop1 = self_cpu(), peer_cpu(peers), envs.loop_cpu_time()
        pages_in = renderers(peers)
    finally:
        if envs is not None:
            envs.close()
        if server is not None:
            server.close()
    env_steps = steps * n
    return {
        "kind": kind,
        "n": n,
        "env_steps": env_steps,
        "wall_s": wall,
        "setup_s": setup_s,
        "env_steps_per_s": env_steps / wall,
        "python_cpu_us": (self1 - self0) / env_steps * 1e6,
        "loop_cpu_us": (loop1 - loop0) / env_steps * 1e6,
        "peer_cpu_us": (peers1 - peers0) / env_steps * 1e6,
        "renderers": pages_in,
    }


def self_cpu() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


# ---- the driver ------------------------------------------------------------------------------------------


def run_rounds(counts: list[int], rounds: int, seconds: float, build: Path) -> list[dict]:
    module_dirs = [str(build)] if any(build.glob("py_engine_rust*.so")) else []
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([*module_dirs, str(ROOT / "python"), str(BENCH)])}
    out = []
    for k in range(rounds):
        for n in counts:
            for kind in KINDS[k % 3 :] + KINDS[: k % 3]:
                argv = [sys.executable, str(Path(__file__).resolve()), "measure", "--kind", kind, "--n", str(n),
                        "--seconds", str(seconds)]  # fmt: skip
                m = measure_apart(argv, env, timeout=300)
                print(
                    f"round {k + 1}/{rounds}  N={n:<3} {kind:<5} {m['env_steps_per_s']:7.0f} env-steps/s  "
                    f"Python {m['python_cpu_us']:6.1f} us  peers {m['peer_cpu_us']:6.1f} us  "
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
                for key in ("env_steps_per_s", "python_cpu_us", "loop_cpu_us", "peer_cpu_us", "setup_s", "renderers")
            }
            fig[n][kind]["runs"] = [round(m["env_steps_per_s"]) for m in ms]
        # Ratios per round, then their median: a change of load within the run falls on both sides.
        for a, b in (("page", "bare"), ("page", "node")):
            per_round = [
                x["env_steps_per_s"] / y["env_steps_per_s"]
                for x, y in zip(
                    [m for m in samples if m["n"] == n and m["kind"] == a],
                    [m for m in samples if m["n"] == n and m["kind"] == b],
                    strict=True,
                )
            ]
            fig[n][f"{a}/{b}"] = float(np.median(per_round))
    return fig


def goals(fig: dict) -> list[tuple[str, str, bool]]:
    out = []
    for n in fig:
        ratio = fig[n]["page/bare"]
        out.append((f"bundled page at least 0.8x the bare page at N = {n}", f"{ratio:.2f}x", ratio >= 0.8))
    if 1 in fig and 4 in fig:
        r = fig[4]["page"]["env_steps_per_s"] / fig[1]["page"]["env_steps_per_s"]
        out.append(("bundled pages scale: N = 4 at least 1.5x N = 1", f"{r:.2f}x", r >= 1.5))
    if 4 in fig and 16 in fig:
        a, b = fig[16]["page"]["env_steps_per_s"], fig[4]["page"]["env_steps_per_s"]
        measured = f"{a / b:.2f}x ({a:.0f} vs {b:.0f} env-steps/s)"
        out.append(("bundled pages scale: N = 16 no lower than N = 4", measured, a >= b))
    return out


def markdown(fig: dict, rounds: int, seconds: float, load: tuple) -> str:
    row = lambda cells: "| " + " | ".join(str(c) for c in cells) + " |"  # noqa: E731
    L = ["## Browser pages: the UI in headless Chromium, through TradingUIVectorEnv", ""]
    L.append(row(["N", "UI peer", "Env-steps/s", "Python CPU per env-step", "Peer CPU per env-step",
                  "Renderer processes", "Runs (env-steps/s)"]))  # fmt: skip
    L.append(row(["---"] * 7))
    for n, kinds in fig.items():
        for kind in KINDS:
            d = kinds[kind]
            L.append(row([n, LABELS[kind], f"{d['env_steps_per_s']:.0f}", f"{d['python_cpu_us']:.1f} us",
                          f"{d['peer_cpu_us']:.1f} us", f"{d['renderers']:.0f}",
                          ", ".join(str(r) for r in d["runs"])]))  # fmt: skip
    L.append("")
    L.append(row(["N", "bundled page / bare page", "bundled page / Node peers"]))
    L.append(row(["---"] * 3))
    for n, kinds in fig.items():
        L.append(row([n, f"{kinds['page/bare']:.2f}x", f"{kinds['page/node']:.2f}x"]))
    L.append("")
    L.append(
        f"Medians of {rounds} interleaved rounds of {seconds:g} s each, timed after {WARMUP_STEPS} warm-up steps;"
        " every run is a fresh process that makes its environment as a user would. Ratios are medians of the"
        " rounds' own ratios. Every step holds (one `step_and_sync` per sub-environment); the bundled market's"
        " episodes end every 200 steps and autoreset. Python CPU: the measuring process, all threads, the"
        " engines' included; peer CPU: the Node processes, or the browser, its renderers and Playwright's"
        f" driver. Load average (1 min) {load[0]:.2f} before, {load[1]:.2f} after."
    )
    L.append("")
    return "\n".join(L)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", nargs="?", default="all", choices=["all", "measure"])
    ap.add_argument("--build", default=str(ROOT / "build" / "bench"),
                    help="a CMake build whose module to use, if it has one (else the installed one)")
    ap.add_argument("--counts", type=int, nargs="+", default=[1, 4, 16])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=4.0, help="timed stepping per run")
    ap.add_argument("--kind", choices=KINDS, help="measure: which UI peer")
    ap.add_argument("--n", type=int, help="measure: how many sub-environments")
    ap.add_argument("--out", default=str(BENCH / "results"), help="where browser.md and .json go")
    a = ap.parse_args()
    if a.mode == "measure":
        print(json.dumps(measure(a.kind, a.n, a.seconds)), flush=True)
        return
    load_before = os.getloadavg()[0]
    samples = run_rounds(a.counts, a.rounds, a.seconds, Path(a.build).resolve())
    fig = summarize(samples, a.counts)
    g = goals(fig)
    md = markdown(fig, a.rounds, a.seconds, (load_before, os.getloadavg()[0]))
    write_results(a.out, "browser", fig, g, samples, md)


if __name__ == "__main__":
    main()
