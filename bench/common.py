"""Shared by the benchmark workloads: where the built binaries are, the three implementations behind one
interface, the native peer, statistics and the memory high-water mark."""

from __future__ import annotations

import contextlib
import json
import os
import socket
import subprocess
import sys
from pathlib import Path
from typing import AsyncIterator, Optional

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
ROOT = BENCH_DIR.parent
# bench/run.py points this at the CMake build (build/bench); its bench/ subfolder holds the native tools.
BUILD_DIR = Path(os.environ.get("ENGINE_BENCH_BUILD", ROOT / "build" / "bench"))
TOOLS_DIR = BUILD_DIR / "bench"
HOST = "127.0.0.1"
IMPLEMENTATIONS = ("engine", "websockets", "picows")


def tool(name: str) -> str:
    path = TOOLS_DIR / name
    if not path.exists():
        raise SystemExit(f"{path} is missing: build with bench/run.sh (cmake -DENGINE_BENCH=ON)")
    return str(path)


def free_ports(n: int) -> list[int]:
    """n distinct free loopback ports (all bound at once, then released)."""
    socks = []
    try:
        for _ in range(n):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind((HOST, 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def make_engine(impl: str, port: int):
    if impl == "engine":
        from py_engine_rust import RustEngineAsync

        return RustEngineAsync(HOST, port)
    if impl == "websockets":
        from baselines.ws_websockets import WebsocketsEngine

        return WebsocketsEngine(HOST, port)
    if impl == "picows":
        from baselines.ws_picows import PicowsEngine

        return PicowsEngine(HOST, port)
    raise ValueError(f"unknown implementation {impl!r}")


class Engines(list):
    """Started engines, and the bench_peer process (`peer`) whose connections they hold."""

    peer: subprocess.Popen


@contextlib.asynccontextmanager
async def connected(impl: str, n: int = 1, peer_threads: int = 1, ohlc_rows: Optional[int] = None) -> AsyncIterator[Engines]:
    """n started engines of one implementation, each with its own connection from one bench_peer process."""
    ports = free_ports(n)
    engines = Engines(make_engine(impl, port) for port in ports)
    for e in engines:
        await e.start()
    argv = [tool("bench_peer"), "--threads", str(peer_threads), "--max-seconds", "600"]
    if ohlc_rows is not None:
        argv += ["--ohlc-rows", str(ohlc_rows)]
    for port in ports:
        argv += ["--port", str(port)]
    peer = engines.peer = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for e in engines:
            await e.wait_connected(timeout_secs=30)
        yield engines
    finally:
        peer.terminate()
        try:
            peer.wait(timeout=10)
        except subprocess.TimeoutExpired:
            peer.kill()
            peer.wait()
        for e in engines:
            close = getattr(e, "close", None)
            if close is not None:
                await close()


# ---- statistics -------------------------------------------------------------------------------------------


def summary(samples_ns) -> dict:
    """Median, p99 and friends of a list of nanosecond samples, in microseconds."""
    a = np.asarray(samples_ns, dtype=np.float64) / 1e3
    if a.size == 0:
        return {"n": 0}
    return {
        "n": int(a.size),
        "median_us": float(np.median(a)),
        "p99_us": float(np.percentile(a, 99)),
        "p90_us": float(np.percentile(a, 90)),
        "mean_us": float(a.mean()),
        "min_us": float(a.min()),
        "max_us": float(a.max()),
    }


# ---- CPU time ---------------------------------------------------------------------------------------------


def cpu_ns(pid: int) -> int:
    """CPU time of all threads of a process so far, in nanoseconds (the scheduler's own count)."""
    total = 0
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            total += int((task / "schedstat").read_text().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total


# ---- memory ---------------------------------------------------------------------------------------------


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def rss_bytes() -> int:
    return _status_kb("VmRSS") * 1024


def hwm_bytes() -> int:
    return _status_kb("VmHWM") * 1024


def reset_hwm() -> bool:
    """Lowers VmHWM to the current RSS (Linux clear_refs 5); False where that is not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def emit(result: dict) -> None:
    """A workload's result: one JSON line on stdout, the last thing it prints."""
    import json

    sys.stdout.write(json.dumps(result) + "\n")
    sys.stdout.flush()


def measure_apart(argv: list[str], env: dict[str, str], timeout: float) -> dict:
    """One measurement in a fresh process (``argv``: the interpreter, a script, its ``measure`` arguments):
    the last JSON line it printed. RuntimeError with its stderr's tail if it failed."""
    p = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=timeout)
    if p.returncode != 0:
        raise RuntimeError(f"{' '.join(argv[1:])} failed ({p.returncode}):\n{p.stderr[-4000:]}")
    return json.loads([line for line in p.stdout.splitlines() if line.startswith("{")][-1])


def write_results(out: str | Path, name: str, fig: dict, goals: list, samples: list, md: str) -> None:
    """NAME.md and NAME.json in ``out``; the table on stderr, and for bench/run.py one JSON line on stdout."""
    folder = Path(out)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{name}.md").write_text(md)
    (folder / f"{name}.json").write_text(json.dumps({"figures": fig, "goals": goals, "samples": samples}, indent=1))
    print(md, file=sys.stderr)
    print(json.dumps({"figures": fig, "goals": goals, "markdown": md}), flush=True)
