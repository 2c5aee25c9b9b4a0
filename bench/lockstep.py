"""The lock-step vector workload and the loop-thread instruction counts: how the report's sections on them
are run, summed up, judged and written. bench/run.py calls the four functions in turn.

Lock step is how a vector environment drives N environments: every iteration awaits step_and_sync of all
N together (asyncio.gather), then spends P us in Python holding the interpreter lock (the policy).
"""

from __future__ import annotations

import numpy as np
from common import IMPLEMENTATIONS

COUNTS = (1, 4, 16)
WORK_US = (0, 200, 1000)
# Goals: engine env-steps/s against picows at each N, at every P; loop-thread CPU per env-step at N = 16.
SPEEDUP_GOALS = {16: 1.5, 4: 1.1, 1: 1.0}
LOOP_CPU_GOAL_US = 10.0
# Callgrind: (label, count, the two iteration counts of a full run, of a quick run)
INSTRUCTION_CASES = (("get_snapshot, one call at a time", 1, (500, 2500), (100, 300)),
                     ("step_and_sync, 16 in lock step (per env-step)", 16, (50, 250), (10, 30)))


def run(r) -> dict:
    """Interleaved rounds: each round runs every N for every implementation, in rotating orders, each in a
    fresh process that measures the P values one after another (also in rotating order)."""
    out: dict = {"rounds": []}
    seconds = "1.0" if not r.quick else "0.3"
    for k in range(r.n(3, 1)):
        work = ",".join(str(p) for p in WORK_US[k % 3:] + WORK_US[: k % 3])
        this: dict = {}
        for i, n in enumerate(COUNTS):
            j = (k + i) % 3
            for impl in IMPLEMENTATIONS[j:] + IMPLEMENTATIONS[:j]:
                res = r.workload("lockstep", "--impl", impl, "--count", str(n), "--work-us", work,
                                 "--seconds", seconds, "--iters", "200000")
                this[f"{n}/{impl}"] = res["work_us"]
        out["rounds"].append(this)
    out["instructions"] = {}
    for label, n, full, quick in INSTRUCTION_CASES:
        lo, hi = quick if r.quick else full
        for impl in ("engine", "picows"):
            out["instructions"][f"{n}/{impl}"] = r.script("callgrind.py", "--impl", impl, "--count", str(n),
                                                          "--iters", f"{lo},{hi}", timeout=1200)
    return out


def figures(res: dict) -> dict:
    """Medians over rounds, and engine ratios taken round by round (the runs of one round saw the same
    machine), then their median."""
    rounds = res["rounds"]
    f: dict = {"table": {}, "bound": {}, "instructions": res["instructions"]}
    for n in COUNTS:
        for p in WORK_US:
            for impl in IMPLEMENTATIONS:
                runs = [rd[f"{n}/{impl}"][str(p)] for rd in rounds]
                row = {k: float(np.median([x[k] for x in runs]))
                       for k in ("steps_per_s", "loop_cpu_us", "process_cpu_us", "peer_cpu_us")}
                row["total_cpu_us"] = float(np.median([x["process_cpu_us"] + x["peer_cpu_us"] for x in runs]))
                if impl != "engine":
                    row["engine_ratio"] = float(np.median(
                        [rd[f"{n}/engine"][str(p)]["steps_per_s"] / rd[f"{n}/{impl}"][str(p)]["steps_per_s"]
                         for rd in rounds]))
                f["table"][f"{n}/{p}/{impl}"] = row
            f["bound"][f"{n}/{p}"] = peer_bound(n, p, min(f["table"][f"{n}/{p}/{i}"]["peer_cpu_us"]
                                                          for i in IMPLEMENTATIONS))
    return f


def peer_bound(n: int, p: int, peer_cpu_us: float) -> float:
    """The most env-steps/s that any client could make: an iteration lasts at least the P work plus the
    peer's own CPU for the N answers, which its one thread computes one after another, while the client
    waits. The peer's CPU is the least that any implementation's run measured."""
    return n / ((p + n * peer_cpu_us) / 1e6)


def goals(f: dict) -> list[tuple[str, str, bool]]:
    g = []
    t = f["table"]
    for n, want in SPEEDUP_GOALS.items():
        ratios = [t[f"{n}/{p}/picows"]["engine_ratio"] for p in WORK_US]
        # A goal above the peer's bound is out of reach of any client on this machine; say so where missed.
        beyond = [p for p, x in zip(WORK_US, ratios)
                  if x < want and want * t[f"{n}/{p}/picows"]["steps_per_s"] > f["bound"][f"{n}/{p}"]]
        g.append((f"Lock step, N = {n}: engine env-steps/s >= {want}x picows at P = "
                  + ", ".join(str(p) for p in WORK_US) + " us",
                  ", ".join(f"{x:.2f}x" for x in ratios)
                  + "".join(f"; at P = {p} us {want}x is beyond the peer's bound" for p in beyond),
                  min(ratios) >= want))
    loop = [t[f"16/{p}/engine"]["loop_cpu_us"] for p in WORK_US]
    g.append((f"Lock step, N = 16: engine loop-thread CPU per env-step <= {LOOP_CPU_GOAL_US:.0f} us (P work excluded)",
              ", ".join(f"{x:.1f} us" for x in loop), max(loop) <= LOOP_CPU_GOAL_US))
    return g


def report(f: dict, row) -> list[str]:
    L = ["## Lock-step vector workload: step_and_sync of N engines together, then P us of Python", ""]
    L.append(row(["N", "P", "Implementation", "Env-steps/s", "Engine speed-up over it", "Loop thread CPU / env-step",
                  "Process CPU / env-step", "Peer CPU / env-step", "Total CPU / env-step"]))
    L.append(row(["---"] * 9))
    for n in COUNTS:
        for p in WORK_US:
            for impl in IMPLEMENTATIONS:
                x = f["table"][f"{n}/{p}/{impl}"]
                L.append(row([n, f"{p} us", impl, f"{x['steps_per_s']:.0f}",
                              f"{x['engine_ratio']:.2f}x" if "engine_ratio" in x else "",
                              f"{x['loop_cpu_us']:.1f} us", f"{x['process_cpu_us']:.1f} us",
                              f"{x['peer_cpu_us']:.1f} us", f"{x['total_cpu_us']:.1f} us"]))
            L.append(row([n, f"{p} us", "peer's bound", f"{f['bound'][f'{n}/{p}']:.0f}",
                          "", "", "", "", ""]))
    L.append("")
    L.append("Each iteration is `await asyncio.gather(*(env.step_and_sync() for env in envs))`, then a Python "
             "loop that holds the interpreter lock for P us. Each engine has its own connection from one "
             "single-threaded bench_peer. CPU times are per env-step with the P work itself left out: the loop "
             "thread's `time.thread_time`, the whole process's `time.process_time` (the engine's workers "
             "included) and the peer's threads (`/proc/<pid>/task/*/schedstat`). Figures are medians over "
             "interleaved rounds; the speed-ups are taken within each round, then their median. The peer's bound is "
             "the most env-steps/s that any client could make: an iteration lasts at least P plus the peer's "
             "CPU for the N answers, which its one thread computes one after another (the least peer CPU per "
             "env-step of the three runs).")
    L.append("")
    L.append("## Loop-thread instructions per call (callgrind)")
    L.append("")
    L.append(row(["Workload", "engine", "picows", "engine / picows", "engine: other threads"]))
    L.append(row(["---"] * 5))
    ins = f["instructions"]
    for label, n, _, _ in INSTRUCTION_CASES:
        e, p = ins[f"{n}/engine"], ins[f"{n}/picows"]
        L.append(row([label, f"{e['loop_instructions'] / 1e3:.1f}k", f"{p['loop_instructions'] / 1e3:.1f}k",
                      f"{e['loop_instructions'] / p['loop_instructions']:.2f}x",
                      f"{e['other_thread_instructions'] / 1e3:.1f}k"]))
    L.append("")
    L.append("User-space instructions of the event loop's thread per call (per env-step in lock step), from "
             "bench/callgrind.py: two runs of different lengths under `valgrind --tool=callgrind "
             "--separate-threads=yes`, their difference over the difference in calls. Counts do not move with "
             "the machine's load, so they show the loop thread's share of a wake-up and of the bridge on any "
             "machine. valgrind runs one thread at a time, which changes how completions bunch.")
    L.append("")
    return L
