"""User-space instructions per call on the event loop's thread, counted by callgrind: a figure that stays
put when the machine is busy, unlike times, so the costs of a wake-up and of the bridge can be compared
between builds and against the baselines on any machine.

    python bench/callgrind.py [--impl engine] [--count 1] [--iters 500,2500]

Runs `workloads.py repeat` twice under `valgrind --tool=callgrind --separate-threads=yes` with two
iteration counts; start-up, connection and warm-up cost the same in both runs, so the difference of the
main thread's totals over the difference of the counts is the cost of one more iteration, divided by the
env-steps in it. Threads are serialised under valgrind, which changes how completions bunch; the counts
are for comparing, not for predicting a native run's CPU time.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent


def thread_totals(out_dir: Path) -> dict[int, int]:
    """Instructions per thread (1 is the main thread) from callgrind's per-thread files."""
    totals = {}
    for f in out_dir.iterdir():
        m = re.fullmatch(r"cg\.\d+-(\d+)", f.name)
        if m:
            t = re.search(r"^totals: (\d+)", f.read_text(errors="replace"), re.M)
            totals[int(m.group(1))] = int(t.group(1)) if t else 0
    return totals


def run_once(impl: str, count: int, iters: int, env: dict, timeout: float) -> dict[int, int]:
    with tempfile.TemporaryDirectory(prefix="callgrind-") as tmp:
        argv = ["valgrind", "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={tmp}/cg.%p",
                sys.executable, str(BENCH / "workloads.py"), "repeat", "--impl", impl, "--count", str(count),
                "--iters", str(iters)]
        p = subprocess.run(argv, env=env, cwd=BENCH, capture_output=True, text=True, timeout=timeout)
        if p.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)} failed ({p.returncode}):\n{p.stderr[-3000:]}")
        return thread_totals(Path(tmp))


def per_step(impl: str, count: int, lo: int, hi: int, env: dict, timeout: float = 600) -> dict:
    a = run_once(impl, count, lo, env, timeout)
    b = run_once(impl, count, hi, env, timeout)
    steps = (hi - lo) * count
    others = sum(v for k, v in b.items() if k != 1) - sum(v for k, v in a.items() if k != 1)
    return {"impl": impl, "count": count, "iters": [lo, hi], "loop_instructions": (b[1] - a[1]) / steps,
            "other_thread_instructions": others / steps}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--impl", default="engine")
    ap.add_argument("--count", type=int, default=1, help="1: get_snapshot one at a time; N: N step_and_sync in lock step")
    ap.add_argument("--iters", default="500,2500", help="the two iteration counts")
    a = ap.parse_args()
    lo, hi = (int(x) for x in a.iters.split(","))
    # OpenBLAS's idle threads spin for a while after NumPy loads it, a few million instructions that vary from
    # run to run and would land in the workers' figure; the workloads do no linear algebra.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    print(json.dumps(per_step(a.impl, a.count, lo, hi, env)))


if __name__ == "__main__":
    main()
