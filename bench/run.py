"""Runs the whole benchmark suite and writes bench/results/latest.md, latest.json and latest.png.

bench/run.sh builds what this needs and then calls it; by hand, with a CMake build made with
-DENGINE_BENCH=ON:  python bench/run.py --build build/bench [--quick]

Every workload runs in a fresh process (bench/workloads.py, or the native bench_floors). The latency
workloads of the three implementations are run in interleaved rounds, so drift in the machine's load
hits them alike, and every ratio in the report comes from this one run.
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import platform
import re
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
RESULTS = BENCH / "results"
sys.path.insert(0, str(BENCH))

import lockstep  # noqa: E402
from common import IMPLEMENTATIONS, summary  # noqa: E402

PAYLOAD_BYTES = 8 + 8 * 1_000_000 * 5  # the 1,000,000 x 5 MatF64


# ---- running things -------------------------------------------------------------------------------------


class Runner:
    def __init__(self, build: Path, quick: bool) -> None:
        self.build = build
        self.quick = quick
        self.env = dict(os.environ)
        self.env["ENGINE_BENCH_BUILD"] = str(build)
        self.env["PYTHONPATH"] = os.pathsep.join([str(build), str(build / "bench"), str(BENCH)])
        # NumPy's BLAS threads have nothing to do here; one thread keeps them off the two cores.
        self.env["OPENBLAS_NUM_THREADS"] = "1"
        self.env["PYTHONHASHSEED"] = "0"
        self.log: list[str] = []

    def n(self, full: int, quick: int) -> int:
        return quick if self.quick else full

    def _run(self, argv: list[str], timeout: float) -> dict:
        t0 = time.monotonic()
        p = subprocess.run(argv, env=self.env, cwd=BENCH, capture_output=True, text=True, timeout=timeout)
        took = time.monotonic() - t0
        if p.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)} failed ({p.returncode}):\n{p.stdout[-2000:]}\n{p.stderr[-4000:]}")
        lines = [line for line in p.stdout.splitlines() if line.startswith("{")]
        if not lines:
            raise RuntimeError(f"{' '.join(argv)} printed no result:\n{p.stdout[-2000:]}\n{p.stderr[-2000:]}")
        self.log.append(f"{took:6.1f} s  load {os.getloadavg()[0]:.2f}  {' '.join(argv[1:])}")
        print(self.log[-1], flush=True)
        return json.loads(lines[-1])

    def workload(self, *args: str, timeout: float = 300) -> dict:
        return self.script("workloads.py", *args, timeout=timeout)

    def script(self, name: str, *args: str, timeout: float = 300) -> dict:
        return self._run([sys.executable, str(BENCH / name), *args], timeout)

    def floor(self, *args: str, timeout: float = 120) -> dict:
        return self._run([str(self.build / "bench" / "bench_floors"), *args], timeout)

    def check(self) -> dict:
        return self._run([sys.executable, "-c", "import json, baselines.check as c; print(json.dumps(c.check()))"], 300)


def rounds_of(r: Runner, make_args, rounds: int, floor=None) -> dict:
    """Runs each implementation `rounds` times, in rotating order, and merges their samples. `floor`, if given,
    is measured right before each of the engine's runs: its median joins that run's in `paired`."""
    merged: dict[str, dict] = {}
    for k in range(rounds):
        order = IMPLEMENTATIONS[k % 3:] + IMPLEMENTATIONS[: k % 3]
        for impl in order:
            floor_ns = floor() if floor is not None and impl == "engine" else None
            out = r.workload(*make_args(impl))
            m = merged.setdefault(impl, {"samples_ns": [], "calls_per_s": [], "paired": []})
            m["samples_ns"] += out["samples_ns"]
            m["calls_per_s"].append(out["calls_per_s"])
            m["module_file"] = out.get("module_file")
            if floor_ns is not None:
                m["paired"].append((floor_ns, float(np.median(out["samples_ns"]))))
    return merged


# ---- the suite ---------------------------------------------------------------------------------------------


def run_suite(r: Runner) -> dict:
    res: dict = {"load_before": os.getloadavg(), "started": dt.datetime.now().isoformat(timespec="seconds")}
    t0 = time.monotonic()

    res["check"] = r.check()

    iters = r.n(20000, 2000)
    res["floor_tcp"] = r.floor("tcp", "--iters", str(iters))
    res["floor_ws"] = r.floor("ws", "--iters", str(iters))
    res["floor_memcpy"] = r.floor("memcpy", "--iters", str(r.n(50, 10)))
    res["floor_bulk"] = r.floor("bulk", "--iters", str(r.n(30, 5)))
    res["floor_ws_bulk"] = r.floor("ws-bulk", "--iters", str(r.n(30, 5)))
    res["floor_bridge"] = r.workload("bridge-floor", "--iters", str(iters))

    rounds = r.n(3, 1)
    small = r.n(4000, 500)
    res["small"] = rounds_of(r, lambda impl: ["calls", "--impl", impl, "--method", "get_snapshot", "--iters",
                                              str(small), "--max-seconds", "20"], rounds)
    res["step"] = rounds_of(r, lambda impl: ["calls", "--impl", impl, "--method", "step_and_sync", "--iters",
                                             str(r.n(2500, 300)), "--max-seconds", "20"], rounds)
    bulk = r.n(10, 3)

    def ws_bulk_again() -> float:
        # The bulk goals compare with this floor, so it is measured again right before each engine run.
        samples = r.floor("ws-bulk", "--iters", str(bulk))["samples_ns"]
        res["floor_ws_bulk"]["samples_ns"] += samples
        return float(np.median(samples))

    res["get_ohlc"] = rounds_of(r, lambda impl: ["bulk", "--impl", impl, "--method", "get_ohlc", "--iters",
                                                 str(bulk), "--max-seconds", "20"], rounds, ws_bulk_again)
    res["init_candles"] = rounds_of(r, lambda impl: ["bulk", "--impl", impl, "--method", "init_candles",
                                                     "--iters", str(bulk), "--max-seconds", "20"], rounds,
                                    ws_bulk_again)

    mem: dict = {}
    for method in ("get_ohlc", "init_candles"):
        for impl in IMPLEMENTATIONS:
            mem[f"{method}/{impl}"] = r.workload("memory", "--impl", impl, "--method", method)
    for impl in ("engine", "numpy"):
        mem[f"decode_mat_f64/{impl}"] = r.workload("memory", "--impl", impl, "--method", "decode_mat_f64")
    res["memory"] = mem

    res["codec"] = r.workload("codec", "--iters", str(r.n(15, 3)), "--list-iters", str(r.n(3, 1)),
                              "--max-seconds", "15", timeout=600)

    res["engines"] = {}
    for count in (1, 2, 4, 16, 64):
        res["engines"][count] = r.workload("engines", "--count", str(count), "--seconds", str(r.n(3, 1)))

    res["lockstep"] = lockstep.run(r)

    # N trading UIs through three vector environments; bench/vector_env.py runs its own interleaved rounds.
    res["vector_env"] = r._run([sys.executable, str(BENCH / "vector_env.py"), "--build", str(r.build), "--rounds",
                                str(r.n(3, 1)), "--seconds", str(r.n(4, 1))], timeout=1800)

    # PPO's rollouts through SB3VecEnv and through DummyVecEnv; bench/sb3.py runs its own interleaved rounds.
    res["sb3"] = r._run([sys.executable, str(BENCH / "sb3.py"), "--build", str(r.build), "--rounds",
                         str(r.n(3, 1)), "--rollouts", str(r.n(4, 1))], timeout=1800)

    # Real pages in headless Chromium against Node peers and the bare page; bench/browser.py runs its own rounds.
    res["browser"] = r._run([sys.executable, str(BENCH / "browser.py"), "--build", str(r.build), "--rounds",
                             str(r.n(3, 1)), "--seconds", str(r.n(4, 1))], timeout=1800)

    res["load_after"] = os.getloadavg()
    res["elapsed_s"] = time.monotonic() - t0
    res["log"] = r.log
    return res


# ---- machine and versions ----------------------------------------------------------------------------------


def _first_line(argv: list[str]) -> str:
    try:
        return subprocess.run(argv, capture_output=True, text=True, timeout=20).stdout.splitlines()[0].strip()
    except Exception:
        return "unknown"


def machine(build: Path, env: dict) -> dict:
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem_kb = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal"):
                mem_kb = int(line.split()[1])
    info = {
        "cpu": cpu,
        "cpus": os.cpu_count(),
        "memory_gib": round(mem_kb / 2**20, 1),
        "kernel": platform.release(),
        "python": platform.python_version(),
    }
    probe = ("import json, numpy, websockets, picows, boost_headers, py_engine_rust, pathlib, re;"
             "v = pathlib.Path(boost_headers.get_include(), 'boost', 'version.hpp').read_text();"
             "print(json.dumps({'numpy': numpy.__version__, 'websockets': websockets.__version__,"
             "'picows': picows.__version__, 'boost': re.search(r'BOOST_LIB_VERSION \"([^\"]+)\"', v).group(1),"
             "'module_file': py_engine_rust.__file__}))")
    try:
        info.update(json.loads(subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True,
                                              text=True, timeout=60).stdout))
    except Exception as e:  # still write the report
        info["versions_error"] = str(e)
    cache = build / "CMakeCache.txt"
    compiler = "c++"
    if cache.exists():
        m = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", cache.read_text(), re.M)
        if m:
            compiler = m.group(1)
    info["compiler"] = _first_line([compiler, "--version"])
    info["git"] = _first_line(["git", "-C", str(ROOT), "describe", "--always", "--dirty"])
    return info


# ---- figures -----------------------------------------------------------------------------------------------


def figures(res: dict) -> dict:
    """Everything the report shows, computed once from the raw results."""
    f: dict = {}
    tcp, ws, bridge = (summary(res[k]["samples_ns"]) for k in ("floor_tcp", "floor_ws", "floor_bridge"))
    mc = res["floor_memcpy"]
    memcpy_s = np.asarray(mc["samples_ns"]) / 1e9
    fresh_s = np.asarray(mc["fresh_samples_ns"]) / 1e9
    f["floors"] = {
        "tcp": tcp, "ws": ws, "bridge": bridge,
        "memcpy_gbps_median": mc["bytes"] / np.median(memcpy_s) / 1e9,
        "memcpy_gbps_p99": mc["bytes"] / np.percentile(memcpy_s, 99) / 1e9,  # the slow end
        "memcpy_fresh_gbps_median": mc["bytes"] / np.median(fresh_s) / 1e9,
        "memcpy_fresh_gbps_p99": mc["bytes"] / np.percentile(fresh_s, 99) / 1e9,
        "memcpy_bytes": mc["bytes"],
        "bulk_gbps_median": res["floor_bulk"]["bytes"] / np.median(res["floor_bulk"]["samples_ns"]),
        "bulk_gbps_p99": res["floor_bulk"]["bytes"] / np.percentile(res["floor_bulk"]["samples_ns"], 99),
        "ws_bulk_gbps_median": res["floor_ws_bulk"]["bytes"] / np.median(res["floor_ws_bulk"]["samples_ns"]),
        "ws_bulk_gbps_p99": res["floor_ws_bulk"]["bytes"] / np.percentile(res["floor_ws_bulk"]["samples_ns"], 99),
    }
    f["floor_sum_us"] = tcp["median_us"] + bridge["median_us"]
    f["ws_floor_sum_us"] = ws["median_us"] + bridge["median_us"]

    for key in ("small", "step", "get_ohlc", "init_candles"):
        f[key] = {}
        for impl, d in res[key].items():
            s = summary(d["samples_ns"])
            s["calls_per_s"] = float(np.median(d["calls_per_s"]))
            s["paired"] = d.get("paired", [])
            s["calls_per_s_from_median"] = 1e6 / s["median_us"]
            if key in ("get_ohlc", "init_candles"):
                s["mb_per_s_median"] = PAYLOAD_BYTES / s["median_us"]
                s["mb_per_s_p99"] = PAYLOAD_BYTES / s["p99_us"]
            f[key][impl] = s

    f["memory"] = {}
    for name, d in res["memory"].items():
        f["memory"][name] = {
            "peak_extra_mb": d["peak_extra_bytes"] / 1e6,
            "copies": d["peak_extra_bytes"] / d["payload_bytes"],
            "hwm_reset": d["hwm_reset"],
        }

    f["codec"] = {}
    for name, d in res["codec"]["cases"].items():
        ours = summary(d["ours_ns"])
        theirs = summary(d["numpy_ns"])
        f["codec"][name] = {"ours": ours, "numpy": theirs, "bytes": d["payload_bytes"],
                            "speedup": theirs["median_us"] / ours["median_us"],
                            "gbps": d["payload_bytes"] / ours["median_us"] / 1e3}

    f["engines"] = {}
    base = res["engines"][1]["calls_per_s"] if 1 in res["engines"] else res["engines"]["1"]["calls_per_s"]
    for count, d in res["engines"].items():
        s = summary(d["samples_ns"])
        f["engines"][int(count)] = {"calls_per_s": d["calls_per_s"], "vs_one": d["calls_per_s"] / base,
                                    "median_us": s.get("median_us", float("nan")), "p99_us": s.get("p99_us", float("nan")),
                                    "spread": (d["per_engine_min"], d["per_engine_max"])}
    f["lockstep"] = lockstep.figures(res["lockstep"])
    return f


def goals(f: dict, cpus: int) -> list[tuple[str, str, bool]]:
    g = []
    eng = f["small"]["engine"]["median_us"]
    g.append(("Small call median within 1.5x of TCP floor + bridge floor",
              f"{eng:.1f} us = {eng / f['floor_sum_us']:.2f}x of {f['floor_sum_us']:.1f} us", eng <= 1.5 * f["floor_sum_us"]))
    for b in ("websockets", "picows"):
        other = f["small"][b]["median_us"]
        g.append((f"Small call ahead of the {b} baseline", f"{eng:.1f} us vs {other:.1f} us", eng < other))
    mem_gbps = f["floors"]["memcpy_gbps_median"]
    for key in ("get_ohlc", "init_candles"):
        gbps = f[key]["engine"]["mb_per_s_median"] / 1e3
        bulk, ws_bulk = f["floors"]["bulk_gbps_median"], f["floors"]["ws_bulk_gbps_median"]
        # Loopback TCP itself moves 40 MB at about half the memcpy rate, so the floor to reach is the
        # WebSocket transfer (TCP plus the peer's masking).
        # The machine's speed moves by more than the margin between minutes, so each engine run is compared
        # with the floor measured just before it, and the median of those ratios is what counts.
        paired = [floor_ns / engine_ns for floor_ns, engine_ns in f[key]["engine"]["paired"]]
        ratio = float(np.median(paired))
        g.append((f"Bulk {key} (40 MB) at >= 95% of the WebSocket floor (each run against the floor measured "
                  "right before it)",
                  f"{ratio:.0%} (runs: {', '.join(f'{x:.0%}' for x in paired)}); over the whole run {gbps:.2f} GB/s "
                  f"against {ws_bulk:.2f} GB/s (memcpy {mem_gbps:.2f} GB/s, loopback TCP {bulk:.2f} GB/s)",
                  ratio >= 0.95))
        m = f["memory"][f"{key}/engine"]
        # Two buffers of 40 MB each round up to whole pages, and the message has its 16-byte header.
        over_kib = (m["peak_extra_mb"] * 1e6 - 2 * PAYLOAD_BYTES) / 1024
        g.append((f"Peak memory of {key} <= two payload copies (64 KiB allowed for page rounding)",
                  f"{m['peak_extra_mb']:.2f} MB = {m['copies']:.4f} copies ({over_kib:+.0f} KiB against two)",
                  over_kib <= 64))
    for name, c in f["codec"].items():
        if name.startswith("decode"):
            # Both sides are one allocation and one copy; a difference under 2% is noise, and counts as a tie.
            g.append((f"{name} at least as fast as the NumPy one-liner (a tie within 2% counts)",
                      f"NumPy time / ours = {c['speedup']:.3f}", c["speedup"] >= 0.98))
    e = f["engines"]
    counts = sorted(e)
    upto = [c for c in counts if c <= cpus]
    growing = all(e[b]["calls_per_s"] > e[a]["calls_per_s"] for a, b in zip(upto, upto[1:])) and len(upto) > 1
    g.append((f"Aggregate calls/s grows up to the core count ({cpus})",
              ", ".join(f"{c}: {e[c]['calls_per_s']:.0f}/s" for c in upto), growing))
    best = max(v["calls_per_s"] for v in e.values())
    last = e[counts[-1]]["calls_per_s"]
    g.append((f"No collapse at {counts[-1]} engines (>= 75% of the best aggregate)",
              f"{last:.0f}/s = {last / best:.0%} of the best {best:.0f}/s", last >= 0.75 * best))
    g += lockstep.goals(f["lockstep"])
    return g


# ---- the report --------------------------------------------------------------------------------------------


def _row(cells) -> str:
    return "| " + " | ".join(str(c) for c in cells) + " |"


def _ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}x" if b else "n/a"


def report(res: dict, f: dict, info: dict, g: list, quick: bool) -> str:
    L: list[str] = []
    L.append("# Benchmark results")
    L.append("")
    L.append(f"Run {res['started']}{' (QUICK smoke run: few repetitions)' if quick else ''}, "
             f"{res['elapsed_s']:.0f} s, by `bash bench/run.sh`. Commit `{info.get('git')}`.")
    L.append("")
    L.append("## Machine")
    L.append("")
    L.append(_row(["What", "Value"]))
    L.append(_row(["---", "---"]))
    for k, label in [("cpu", "CPU"), ("cpus", "CPUs"), ("memory_gib", "Memory (GiB)"), ("kernel", "Kernel"),
                     ("python", "Python"), ("numpy", "NumPy"), ("websockets", "websockets"), ("picows", "picows"),
                     ("boost", "Boost"), ("compiler", "C++ compiler"), ("module_file", "Module under test")]:
        L.append(_row([label, info.get(k, "unknown")]))
    lb, la = res["load_before"], res["load_after"]
    L.append(_row(["Load average (1, 5, 15 min) before", f"{lb[0]:.2f}, {lb[1]:.2f}, {lb[2]:.2f}"]))
    L.append(_row(["Load average (1, 5, 15 min) after", f"{la[0]:.2f}, {la[1]:.2f}, {la[2]:.2f}"]))
    L.append("")
    L.append("The load average counts other work on the machine too; latencies on 2 cores move with it. "
             "Latency workloads ran in interleaved rounds (engine, websockets, picows in rotating order), so "
             "the comparisons between them saw the same conditions.")
    L.append("")

    L.append("## Goals")
    L.append("")
    L.append(_row(["Goal", "Measured", "Met"]))
    L.append(_row(["---", "---", "---"]))
    for name, measured, ok in g:
        L.append(_row([name, measured, "yes" if ok else "**no**"]))
    L.append("")

    fl = f["floors"]
    L.append("## Floors")
    L.append("")
    L.append(_row(["Floor", "Median", "p99", "How"]))
    L.append(_row(["---", "---", "---", "---"]))
    L.append(_row(["TCP ping-pong, 24 bytes", f"{fl['tcp']['median_us']:.1f} us", f"{fl['tcp']['p99_us']:.1f} us",
                   f"two native threads, blocking loopback sockets, Nagle on; {fl['tcp']['n']} round trips"]))
    L.append(_row(["WebSocket ping-pong, 24 bytes", f"{fl['ws']['median_us']:.1f} us", f"{fl['ws']['p99_us']:.1f} us",
                   f"Beast client to Beast server (synchronous), binary messages; {fl['ws']['n']} round trips"]))
    L.append(_row(["Bridge: asyncio future completed from a native thread", f"{fl['bridge']['median_us']:.1f} us",
                   f"{fl['bridge']['p99_us']:.1f} us",
                   "create_future, hand to a C++ thread (bench_bridge), which calls call_soon_threadsafe(set_result); "
                   f"await; {fl['bridge']['n']} repetitions"]))
    L.append(_row(["TCP floor + bridge floor", f"{f['floor_sum_us']:.1f} us", "", "the small-call target is 1.5x this"]))
    L.append(_row(["memcpy 40 MB, buffers in memory", f"{fl['memcpy_gbps_median']:.2f} GB/s",
                   f"{fl['memcpy_gbps_p99']:.2f} GB/s", "p99 is the slow end (99th percentile time)"]))
    L.append(_row(["memcpy 40 MB into a fresh allocation", f"{fl['memcpy_fresh_gbps_median']:.2f} GB/s",
                   f"{fl['memcpy_fresh_gbps_p99']:.2f} GB/s", "malloc + memcpy + free: page faults included"]))
    L.append(_row(["TCP transfer of 40 MB, one way", f"{fl['bulk_gbps_median']:.2f} GB/s",
                   f"{fl['bulk_gbps_p99']:.2f} GB/s",
                   "two native threads, blocking loopback sockets: a 1-byte request, then 40 MB written in one call "
                   "and read into a buffer in memory; no framing, masking or decoding"]))
    L.append(_row(["WebSocket transfer of 40 MB, one way", f"{fl['ws_bulk_gbps_median']:.2f} GB/s",
                   f"{fl['ws_bulk_gbps_p99']:.2f} GB/s",
                   "one binary message from a Beast client (masked through a 1 MiB write buffer, as bench_peer "
                   "does) to a Beast server reading into a buffer it keeps; no decoding; measured once with the "
                   "floors and again right before each engine run of the bulk calls"]))
    L.append("")

    for key, title in (("small", "Small call: get_snapshot, 1-element VecF64, one call at a time"),
                       ("step", "Training step: step_and_sync, VecF64 of 8 + 64x8 MatF64")):
        d = f[key]
        L.append(f"## {title}")
        L.append("")
        L.append(_row(["Implementation", "Median", "p99", "Calls/s", "Median / (TCP + bridge floor)",
                       "Median / (WS + bridge floor)", "Engine speed-up over it", "Samples"]))
        L.append(_row(["---"] * 8))
        for impl in IMPLEMENTATIONS:
            s = d[impl]
            L.append(_row([impl, f"{s['median_us']:.1f} us", f"{s['p99_us']:.1f} us", f"{s['calls_per_s']:.0f}",
                           _ratio(s["median_us"], f["floor_sum_us"]), _ratio(s["median_us"], f["ws_floor_sum_us"]),
                           "" if impl == "engine" else _ratio(s["median_us"], d["engine"]["median_us"]), s["n"]]))
        L.append("")

    L.append("## Bulk: 1,000,000 x 5 MatF64 (40,000,008 bytes)")
    L.append("")
    L.append(_row(["Call", "Implementation", "Median", "p99", "MB/s (median)", "of memcpy bandwidth",
                   "Engine speed-up over it", "Samples"]))
    L.append(_row(["---"] * 8))
    for key in ("get_ohlc", "init_candles"):
        for impl in IMPLEMENTATIONS:
            s = f[key][impl]
            L.append(_row([key, impl, f"{s['median_us'] / 1e3:.1f} ms", f"{s['p99_us'] / 1e3:.1f} ms",
                           f"{s['mb_per_s_median']:.0f}",
                           f"{s['mb_per_s_median'] / 1e3 / fl['memcpy_gbps_median']:.0%}",
                           "" if impl == "engine" else _ratio(s["median_us"], f[key]["engine"]["median_us"]), s["n"]]))
    L.append("")
    L.append("get_ohlc: the peer sends the matrix, the caller gets a new 2-D array. init_candles: the caller "
             "sends the matrix, the peer answers with an empty payload. Each call is one full round trip.")
    L.append("")

    L.append("## Peak memory of one 40 MB operation")
    L.append("")
    L.append(_row(["Operation", "Implementation", "RSS high-water mark above the RSS before", "Payload copies"]))
    L.append(_row(["---"] * 4))
    for name, m in f["memory"].items():
        op, impl = name.split("/")
        L.append(_row([op, impl, f"{m['peak_extra_mb']:.1f} MB", f"{m['copies']:.2f}"]))
    L.append("")
    exact = all(m["hwm_reset"] for m in f["memory"].values())
    L.append("Each row is a fresh process: connect, warm up with small calls, then VmHWM is reset to the "
             "current RSS (" + ("/proc/self/clear_refs" if exact else "reset unavailable: VmHWM since start")
             + ") and one operation runs; its own result (one 40 MB copy for get_ohlc and decoding) is "
             "included. The peer is another process and not counted.")
    L.append("")

    L.append("## Codec functions on 40 MB against the NumPy one-liners")
    L.append("")
    L.append(_row(["Function", "Ours median", "Ours p99", "NumPy median", "NumPy p99", "NumPy time / ours",
                   "Ours GB/s", "Samples"]))
    L.append(_row(["---"] * 8))
    for name, c in f["codec"].items():
        L.append(_row([name, f"{c['ours']['median_us'] / 1e3:.2f} ms", f"{c['ours']['p99_us'] / 1e3:.2f} ms",
                       f"{c['numpy']['median_us'] / 1e3:.2f} ms", f"{c['numpy']['p99_us'] / 1e3:.2f} ms",
                       f"{c['speedup']:.2f}x", f"{c['gbps']:.2f}", c["ours"]["n"]]))
    L.append("")
    L.append("One-liners: `numpy.frombuffer(p, '<f8', count=n, offset=4).copy()` for VecF64, "
             "`numpy.frombuffer(p, '<f8', offset=8).reshape(rows, cols).copy()` for MatF64, three such slices for "
             "CloseStep, two for VecMatF64; the encoders return a list of int (one per byte), matched by "
             "`list(struct.pack(...) + a.tobytes())`. Both sides were checked to give identical results.")
    L.append("")

    L.append("## Many engines in one process")
    L.append("")
    L.append(_row(["Engines", "Aggregate calls/s", "vs 1 engine", "Per-call median", "Per-call p99",
                   "Calls per engine (min, max)"]))
    L.append(_row(["---"] * 6))
    for count in sorted(f["engines"]):
        e = f["engines"][count]
        L.append(_row([count, f"{e['calls_per_s']:.0f}", f"{e['vs_one']:.2f}x", f"{e['median_us']:.0f} us",
                       f"{e['p99_us']:.0f} us", f"{e['spread'][0]}, {e['spread'][1]}"]))
    L.append("")
    L.append("Each engine has its own connection from one bench_peer process (one thread) and one coroutine "
             "calling get_snapshot back to back; calls completed in a fixed window after a 0.3 s ramp-up.")
    L.append("")

    L += lockstep.report(f["lockstep"], _row)

    if "vector_env" in res:
        L.append(res["vector_env"]["markdown"])
    if "sb3" in res:
        L.append(res["sb3"]["markdown"])
    if "browser" in res:
        L.append(res["browser"]["markdown"])
    L.append("## Correctness check")
    L.append("")
    chk = res["check"]
    L.append("Before timing, bench/baselines/check.py ran every implementation against its own bench_peer: "
             + "; ".join(f"{impl}: {', '.join(v['checked'])} {'all equal to the canned arrays' if not v['wrong'] else 'WRONG: ' + str(v['wrong'])}"
                         for impl, v in chk.items()) + ".")
    L.append("")
    L.append("## How it was measured")
    L.append("")
    L.append("- The native UI peer (bench/peer.cpp, Beast) answers every request at once with canned payloads; "
             "all three implementations talk to it with the same payloads.")
    L.append("- Baselines (bench/baselines/): the same server side in pure Python, on `websockets` (asyncio "
             "implementation) and on `picows`. Both asyncio libraries set TCP_NODELAY on their sockets, as they "
             "ship; the engine sets it too.")
    L.append("- Latencies are wall-clock times of `await call()` on the event loop's thread (perf_counter_ns), "
             "after a warm-up. Calls/s is completed calls over the timed loop.")
    L.append("- OPENBLAS_NUM_THREADS=1 for every process (NumPy's BLAS threads have nothing to do here).")
    L.append("")
    L.append("Workload log (time, 1-minute load average after it, arguments):")
    L.append("")
    L.append("```")
    L.extend(res["log"])
    L.append("```")
    L.append("")
    return "\n".join(L)


def plot(f: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(2, 2, figsize=(12, 8))
    fl = f["floors"]

    a = ax[0][0]
    labels = ["TCP\nfloor", "WS\nfloor", "bridge\nfloor", "TCP+\nbridge", "engine", "picows", "websockets"]
    med = [fl["tcp"]["median_us"], fl["ws"]["median_us"], fl["bridge"]["median_us"], f["floor_sum_us"]] + \
          [f["small"][i]["median_us"] for i in ("engine", "picows", "websockets")]
    p99 = [fl["tcp"]["p99_us"], fl["ws"]["p99_us"], fl["bridge"]["p99_us"], np.nan] + \
          [f["small"][i]["p99_us"] for i in ("engine", "picows", "websockets")]
    colors = ["#999999"] * 4 + ["#1f77b4", "#ff7f0e", "#2ca02c"]
    a.bar(labels, med, color=colors, label="median")
    a.scatter(labels, p99, color="black", marker="_", s=300, label="p99", zorder=3)
    a.axhline(1.5 * f["floor_sum_us"], color="red", ls="--", lw=1, label="goal: 1.5x (TCP + bridge)")
    a.set_ylabel("microseconds")
    a.set_title("Small call (get_snapshot), one at a time")
    a.set_ylim(0, max(max(med) * 1.6, 1.5 * f["floor_sum_us"] * 1.2))
    a.legend(fontsize=8)

    a = ax[0][1]
    groups = ["get_ohlc", "init_candles"]
    x = np.arange(len(groups))
    for k, impl in enumerate(IMPLEMENTATIONS):
        a.bar(x + (k - 1) * 0.25, [f[g][impl]["mb_per_s_median"] / 1e3 for g in groups], 0.25, label=impl,
              color=["#1f77b4", "#2ca02c", "#ff7f0e"][k])
    a.axhline(fl["memcpy_gbps_median"], color="gray", ls="-", lw=1, label="memcpy 40 MB")
    a.axhline(0.95 * fl["ws_bulk_gbps_median"], color="red", ls="--", lw=1, label="goal: 95% of the WebSocket floor")
    a.axhline(fl["bulk_gbps_median"], color="black", ls=":", lw=1, label="floor: loopback TCP, 40 MB")
    a.axhline(fl["ws_bulk_gbps_median"], color="purple", ls=":", lw=1, label="floor: WebSocket message, 40 MB")
    a.set_xticks(x, groups)
    a.set_ylabel("GB/s (median)")
    a.set_title("Bulk 40 MB round trip")
    a.legend(fontsize=8)

    a = ax[1][0]
    names = list(f["codec"])
    a.barh([n.replace("_py", "") for n in names], [f["codec"][n]["speedup"] for n in names], color="#1f77b4")
    a.axvline(1.0, color="red", ls="--", lw=1)
    a.set_xlabel("NumPy one-liner time / ours (higher is faster)")
    a.set_title("Codec functions on 40 MB")

    a = ax[1][1]
    counts = sorted(f["engines"])
    a.plot(counts, [f["engines"][c]["calls_per_s"] for c in counts], marker="o")
    a.set_xscale("log", base=2)
    a.set_xticks(counts, [str(c) for c in counts])
    a.set_xlabel("engines in one process")
    a.set_ylabel("aggregate calls/s")
    a.set_ylim(bottom=0)
    a.set_title("Many engines, get_snapshot back to back")

    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(ROOT / "build" / "bench"), help="the CMake build with -DENGINE_BENCH=ON")
    ap.add_argument("--quick", action="store_true", help="few repetitions: checks the suite, not the figures")
    ap.add_argument("--out", default=str(RESULTS), help="where latest.md, latest.json and latest.png go")
    a = ap.parse_args()

    build = Path(a.build).resolve()
    for tool in ("bench_peer", "bench_floors"):
        if not (build / "bench" / tool).exists():
            raise SystemExit(f"{build / 'bench' / tool} is missing: run bash bench/run.sh")
    r = Runner(build, a.quick)
    info = machine(build, r.env)
    res = run_suite(r)
    f = figures(res)
    g = goals(f, info.get("cpus") or 1)
    g += [tuple(x) for key in ("vector_env", "sb3", "browser") for x in res.get(key, {}).get("goals", [])]

    out = Path(a.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "latest.md").write_text(report(res, f, info, g, a.quick))
    (out / "latest.json").write_text(json.dumps({"machine": info, "figures": f, "goals": g,
                                                 "load_before": res["load_before"], "load_after": res["load_after"],
                                                 "log": res["log"], "quick": a.quick}, indent=1, default=str))
    plot(f, out / "latest.png")
    print(f"\nwrote {out / 'latest.md'}, latest.json and latest.png")
    for name, measured, ok in g:
        print(f"  [{'met' if ok else 'MISSED'}] {name}: {measured}")


if __name__ == "__main__":
    main()
