"""One benchmark workload per run, printing its result as one JSON line; bench/run.py runs each in a fresh
process. Every loop is bounded by a count and by a time limit.

    python bench/workloads.py bridge-floor [--iters N]
    python bench/workloads.py calls  --impl engine|websockets|picows --method get_snapshot|step_and_sync
    python bench/workloads.py bulk   --impl ... --method get_ohlc|init_candles
    python bench/workloads.py memory --impl ... --method get_ohlc|init_candles|decode_mat_f64
    python bench/workloads.py codec
    python bench/workloads.py engines --count K
    python bench/workloads.py lockstep --impl ... --count N --work-us 0,200,1000
    python bench/workloads.py repeat --impl ... [--count N] --iters K   (for bench/callgrind.py)
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import struct
import time

import numpy as np

import canned
from common import connected, cpu_ns, emit, hwm_bytes, reset_hwm, rss_bytes, summary

perf_ns = time.perf_counter_ns


def module_info() -> dict:
    import py_engine_rust

    return {"module_file": py_engine_rust.__file__}


# ---- the bridge floor -------------------------------------------------------------------------------------


async def bridge_floor(iters: int, max_seconds: float) -> dict:
    """create_future, hand it to a native thread, which completes it through call_soon_threadsafe; await."""
    import bench_bridge

    loop = asyncio.get_running_loop()
    complete = bench_bridge.complete
    for _ in range(max(100, iters // 10)):
        fut = loop.create_future()
        complete(loop, fut, None)
        await fut
    samples = []
    deadline = perf_ns() + int(max_seconds * 1e9)
    for _ in range(iters):
        t0 = perf_ns()
        fut = loop.create_future()
        complete(loop, fut, None)
        await fut
        t1 = perf_ns()
        samples.append(t1 - t0)
        if t1 > deadline:
            break
    return {"samples_ns": samples, "helper": "bench_bridge (C++ thread, condition variable wake-up)"}


# ---- one call at a time -------------------------------------------------------------------------------------


async def timed_calls(call, iters: int, warmup: int, max_seconds: float) -> dict:
    for _ in range(warmup):
        await call()
    gc.collect()
    samples = []
    start = perf_ns()
    deadline = start + int(max_seconds * 1e9)
    for _ in range(iters):
        t0 = perf_ns()
        await call()
        t1 = perf_ns()
        samples.append(t1 - t0)
        if t1 > deadline:
            break
    elapsed = perf_ns() - start
    return {"samples_ns": samples, "calls_per_s": len(samples) / (elapsed / 1e9)}


async def calls(impl: str, method: str, iters: int, max_seconds: float) -> dict:
    async with connected(impl) as (engine,):
        out = await timed_calls(getattr(engine, method), iters, max(200, iters // 10), max_seconds)
    out.update(impl=impl, method=method)
    return out


async def bulk(impl: str, method: str, iters: int, max_seconds: float) -> dict:
    async with connected(impl) as (engine,):
        if method == "init_candles":
            matrix = canned.candles()
            call = lambda: engine.init_candles(matrix)  # noqa: E731
        else:
            call = engine.get_ohlc
        out = await timed_calls(call, iters, 3, max_seconds)
    out.update(impl=impl, method=method, payload_bytes=8 + 8 * canned.OHLC_ROWS * canned.OHLC_COLS)
    return out


# ---- peak memory ----------------------------------------------------------------------------------------------


async def memory(impl: str, method: str) -> dict:
    """RSS high-water mark above the RSS just before one 40 MB operation (its own result included)."""
    payload_bytes = 8 + 8 * canned.OHLC_ROWS * canned.OHLC_COLS
    if method == "decode_mat_f64":
        matrix = canned.get_ohlc()
        payload = struct.pack("<II", *matrix.shape) + matrix.tobytes()
        del matrix
        if impl == "engine":
            import py_engine_rust

            op = lambda: py_engine_rust.decode_mat_f64_py(payload)  # noqa: E731
        else:
            op = lambda: np.frombuffer(payload, "<f8", offset=8).reshape(struct.unpack_from("<II", payload)).copy()  # noqa: E731
        op()  # the same path once, small allocations warmed
        gc.collect()
        before = rss_bytes()
        exact = reset_hwm()
        result = op()
        peak = hwm_bytes()
        return _memory_result(impl, method, before, peak, exact, payload_bytes, result)

    async with connected(impl) as (engine,):
        matrix = canned.candles() if method == "init_candles" else None
        await engine.get_snapshot()
        await engine.get_ticket_list()
        gc.collect()
        before = rss_bytes()
        exact = reset_hwm()
        if method == "init_candles":
            result = await engine.init_candles(matrix)
        else:
            result = await engine.get_ohlc()
        peak = hwm_bytes()
        return _memory_result(impl, method, before, peak, exact, payload_bytes, result)


def _memory_result(impl, method, before, peak, exact, payload_bytes, result) -> dict:
    return {
        "impl": impl,
        "method": method,
        "rss_before_bytes": before,
        "hwm_bytes": peak,
        "peak_extra_bytes": peak - before,
        "payload_bytes": payload_bytes,
        "hwm_reset": exact,
        "result_bytes": int(result.nbytes) if isinstance(result, np.ndarray) else 0,
    }


# ---- codec functions -----------------------------------------------------------------------------------------


def codec(iters: int, max_seconds: float, list_iters: int) -> dict:
    """The seven module functions on 40 MB payloads against the NumPy one-liners that do the same."""
    import py_engine_rust as m

    rows, cols = canned.OHLC_ROWS, canned.OHLC_COLS
    n_vec = rows * cols  # 5,000,000 doubles: 40 MB
    n_close = n_vec // 2  # 16 bytes a position: 40 MB
    vec = np.arange(n_vec, dtype=np.float64) * 0.5
    mat = vec.reshape(rows, cols)
    flags = np.arange(n_close, dtype=np.int32)
    actions = (np.arange(n_close, dtype=np.int32) % 3).astype(np.int32)
    ratios = np.linspace(0.0, 1.0, n_close)
    small = np.arange(8, dtype=np.float64)

    vec_payload = struct.pack("<I", n_vec) + vec.tobytes()
    mat_payload = struct.pack("<II", rows, cols) + mat.tobytes()
    close_payload = struct.pack("<I", n_close) + flags.tobytes() + actions.tobytes() + ratios.tobytes()
    vec_mat_payload = struct.pack("<I", 8) + small.tobytes() + mat_payload

    u32, u32x2 = struct.Struct("<I"), struct.Struct("<II")

    def np_vec(b):
        return np.frombuffer(b, "<f8", count=u32.unpack_from(b)[0], offset=4).copy()

    def np_mat(b):
        return np.frombuffer(b, "<f8", offset=8).reshape(u32x2.unpack_from(b)).copy()

    def np_close(b):
        (n,) = u32.unpack_from(b)
        return (np.frombuffer(b, "<i4", n, 4).copy(), np.frombuffer(b, "<i4", n, 4 + 4 * n).copy(),
                np.frombuffer(b, "<f8", n, 4 + 8 * n).copy())

    def np_vec_mat(b):
        (n,) = u32.unpack_from(b)
        return (np.frombuffer(b, "<f8", n, 4).copy(),
                np.frombuffer(b, "<f8", offset=12 + 8 * n).reshape(u32x2.unpack_from(b, 4 + 8 * n)).copy())

    cases = [
        # name, ours, NumPy one-liner, payload bytes, repetitions
        ("decode_vec_f64_py", lambda: m.decode_vec_f64_py(vec_payload), lambda: np_vec(vec_payload),
         len(vec_payload), iters),
        ("decode_mat_f64_py", lambda: m.decode_mat_f64_py(mat_payload), lambda: np_mat(mat_payload),
         len(mat_payload), iters),
        ("decode_close_step_py", lambda: m.decode_close_step_py(close_payload), lambda: np_close(close_payload),
         len(close_payload), iters),
        ("decode_vec_mat_f64_py", lambda: m.decode_vec_mat_f64_py(vec_mat_payload),
         lambda: np_vec_mat(vec_mat_payload), len(vec_mat_payload), iters),
        # The encoders return the payload as a list of int, one per byte; so does the one-liner.
        ("encode_vec_f64_py", lambda: m.encode_vec_f64_py(vec), lambda: list(u32.pack(n_vec) + vec.tobytes()),
         len(vec_payload), list_iters),
        ("encode_mat_f64_py", lambda: m.encode_mat_f64_py(mat),
         lambda: list(u32x2.pack(rows, cols) + mat.tobytes()), len(mat_payload), list_iters),
        ("encode_close_step_py", lambda: m.encode_close_step_py(flags, actions, ratios),
         lambda: list(u32.pack(n_close) + flags.tobytes() + actions.tobytes() + ratios.tobytes()),
         len(close_payload), list_iters),
    ]

    results = {}
    for name, ours, theirs, nbytes, reps in cases:
        a, b = ours(), theirs()  # same answers, checked once
        _check_same(name, a, b)
        del a, b
        ours_ns, theirs_ns = [], []
        deadline = perf_ns() + int(max_seconds * 1e9)
        for i in range(reps):
            # Alternate the two so drift in machine load hits both alike.
            for fn, sink in ((ours, ours_ns), (theirs, theirs_ns)) if i % 2 == 0 else ((theirs, theirs_ns), (ours, ours_ns)):
                t0 = perf_ns()
                r = fn()
                sink.append(perf_ns() - t0)
                del r
            if perf_ns() > deadline:
                break
        results[name] = {"ours_ns": ours_ns, "numpy_ns": theirs_ns, "payload_bytes": nbytes}
    return {"cases": results}


def _check_same(name, a, b) -> None:
    if isinstance(a, tuple):
        assert isinstance(b, tuple) and len(a) == len(b), name
        for x, y in zip(a, b):
            _check_same(name, x, y)
        return
    if isinstance(a, list):
        assert a == b, name
        return
    assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes(), name


# ---- many engines ---------------------------------------------------------------------------------------------


async def engines(count: int, seconds: float, peer_threads: int) -> dict:
    """count engines in this process, each with its own peer connection and one coroutine calling
    get_snapshot back to back; aggregate completed calls per second over a fixed window."""
    async with connected("engine", count, peer_threads=peer_threads) as engs:
        stop_at = 0
        counts = [0] * count
        samples: list[int] = []

        async def drive(i: int, e) -> None:
            n = 0
            while True:
                t0 = perf_ns()
                await e.get_snapshot()
                t1 = perf_ns()
                if t1 >= stop_at:
                    break
                if t0 >= start_at:
                    n += 1
                    if len(samples) < 200_000:
                        samples.append(t1 - t0)
            counts[i] = n

        for e in engs:  # every connection warm
            await e.get_snapshot()
        start_at = perf_ns() + 300_000_000  # 0.3 s ramp-up, not counted
        stop_at = start_at + int(seconds * 1e9)
        await asyncio.gather(*(drive(i, e) for i, e in enumerate(engs)))
    total = sum(counts)
    return {"engines": count, "seconds": seconds, "calls": total, "calls_per_s": total / seconds,
            "per_engine_min": min(counts), "per_engine_max": max(counts), "samples_ns": samples,
            "peer_threads": peer_threads}


# ---- lock-step vector environments ------------------------------------------------------------------------


def spin(us: int) -> None:
    """Python work that holds the interpreter lock for `us` microseconds, as a policy's forward pass does."""
    end = perf_ns() + us * 1000
    while perf_ns() < end:
        pass


async def lockstep(impl: str, n: int, work_us: list[int], seconds: float, max_iters: int) -> dict:
    """n environments in lock step, as a vector env drives them: each iteration awaits step_and_sync of all n
    together, then spends P us in Python. For each P in turn: env-steps per second, and CPU time per
    env-step of the loop's thread, of the whole process and of the peer."""
    async with connected(impl, n) as envs:

        spent = [0]  # the loop thread's CPU time inside spin(), kept apart from the stepping

        async def iteration(p: int) -> None:
            await asyncio.gather(*(e.step_and_sync() for e in envs))
            if p:
                t0 = time.thread_time_ns()
                spin(p)
                spent[0] += time.thread_time_ns() - t0

        for _ in range(max(20, 400 // n)):
            await iteration(0)
        out = {}
        for p in work_us:
            gc.collect()
            spent[0] = 0
            wall0, loop0, proc0, peer0 = perf_ns(), time.thread_time_ns(), time.process_time_ns(), cpu_ns(envs.peer.pid)
            deadline = wall0 + int(seconds * 1e9)
            iters = 0
            while iters < max_iters:
                await iteration(p)
                iters += 1
                if perf_ns() >= deadline:
                    break
            wall, loop, proc, peer = (perf_ns() - wall0, time.thread_time_ns() - loop0,
                                      time.process_time_ns() - proc0, cpu_ns(envs.peer.pid) - peer0)
            steps = n * iters
            # CPU per env-step, the P work left out: what stepping itself costs each thread.
            out[str(p)] = {"steps": steps, "steps_per_s": steps / (wall / 1e9),
                           "loop_cpu_us": (loop - spent[0]) / steps / 1e3,
                           "process_cpu_us": (proc - spent[0]) / steps / 1e3, "peer_cpu_us": peer / steps / 1e3}
    return {"impl": impl, "count": n, "work_us": out}


async def repeat(impl: str, n: int, iters: int) -> dict:
    """A fixed number of lock-step iterations (n = 1: one get_snapshot at a time) after a fixed warm-up, and
    nothing else: bench/callgrind.py runs this twice under callgrind and takes the difference."""
    async with connected(impl, n) as envs:

        async def iteration() -> None:
            if n == 1:
                await envs[0].get_snapshot()
            else:
                await asyncio.gather(*(e.step_and_sync() for e in envs))

        for _ in range(100):
            await iteration()
        gc.collect()
        for _ in range(iters):
            await iteration()
    return {"impl": impl, "count": n, "iters": iters}


# ---- entry ----------------------------------------------------------------------------------------------------


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("workload", choices=["bridge-floor", "calls", "bulk", "memory", "codec", "engines", "lockstep",
                                         "repeat"])
    ap.add_argument("--impl", default="engine")
    ap.add_argument("--method", default="get_snapshot")
    ap.add_argument("--iters", type=int, default=5000)
    ap.add_argument("--list-iters", type=int, default=3)
    ap.add_argument("--max-seconds", type=float, default=20.0)
    ap.add_argument("--count", type=int, default=1)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--peer-threads", type=int, default=1)
    ap.add_argument("--work-us", default="0", help="lockstep: comma-separated P values, run in this order")
    a = ap.parse_args()

    if a.workload == "bridge-floor":
        out = asyncio.run(bridge_floor(a.iters, a.max_seconds))
    elif a.workload == "calls":
        out = asyncio.run(calls(a.impl, a.method, a.iters, a.max_seconds))
    elif a.workload == "bulk":
        out = asyncio.run(bulk(a.impl, a.method, a.iters, a.max_seconds))
    elif a.workload == "memory":
        out = asyncio.run(memory(a.impl, a.method))
    elif a.workload == "codec":
        out = codec(a.iters, a.max_seconds, a.list_iters)
    elif a.workload == "lockstep":
        work = [int(p) for p in a.work_us.split(",")]
        out = asyncio.run(lockstep(a.impl, a.count, work, a.seconds, a.iters))
    elif a.workload == "repeat":
        out = asyncio.run(repeat(a.impl, a.count, a.iters))
    else:
        out = asyncio.run(engines(a.count, a.seconds, a.peer_threads))
    if a.impl == "engine" or a.workload in ("codec", "engines"):
        out.update(module_info())
    emit(out)


if __name__ == "__main__":
    main()
