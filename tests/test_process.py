"""The engine inside a process that forks, runs short of memory or starts children: none of it may wedge or kill
a long training run. Memory limits apply to a whole process, so those cases run in a child interpreter."""

from __future__ import annotations

import asyncio
import contextlib
import json
import multiprocessing
import os
import socket
import struct
import subprocess
import sys
import textwrap

import pytest
from conftest import run

from support import ScriptedPeer, reserved_port, response, started_engine, under_address_sanitizer
from support.fn_ids import RESET_EPISODE

from py_engine_rust import RustEngineAsync

STALE_ENGINE = (
    "this RustEngineAsync was created before the process forked and belongs to the parent process; "
    "create a new engine in this process"
)


def echo_index(peer, request) -> bytes:
    payload = request.payload[:4] if request.fn_id == RESET_EPISODE else b""
    return response(request.seq, request.fn_id, payload)


async def reset_through(engine, port: int, index: int) -> int:
    async with ScriptedPeer(port, echo_index, engine=engine):
        return await asyncio.wait_for(engine.reset_episode(index, "train", timeout_secs=2), 3)


# ---- fork ---------------------------------------------------------------------------------------------------


def child_after_fork(parent_engine, port: int, results) -> None:
    """Runs in the forked child: the parent's engine must refuse at once, a new one must work."""

    async def main():
        out = {}
        try:
            parent_engine.get_rl_config(timeout_secs=1)
        except RuntimeError as e:
            out["parent engine"] = [type(e).__name__, str(e)]
        engine = RustEngineAsync("127.0.0.1", port)
        await asyncio.wait_for(engine.start(), 2)
        out["new engine"] = await reset_through(engine, port, 31)
        return out

    results.put(asyncio.run(main()))


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_gets_a_runtime_of_its_own(port):
    """Worker threads do not survive fork. multiprocessing's fork start method (vector environments) must still
    give the child working engines, and the parent's engine must stay the parent's."""
    ctx = multiprocessing.get_context("fork")
    results = ctx.Queue()

    async def parent():
        engine = await started_engine(port)
        assert await reset_through(engine, port, 7) == 7  # the runtime is up and has served a call
        with reserved_port() as child_port:
            child = ctx.Process(target=child_after_fork, args=(engine, child_port, results))
            child.start()
            loop = asyncio.get_running_loop()
            out = await loop.run_in_executor(None, results.get, True, 20)
            await loop.run_in_executor(None, child.join, 10)
        # The child neither took nor closed anything of the parent's.
        after = await reset_through(engine, port, 8)
        return out, child.exitcode, after

    out, exitcode, after = run(parent(), 40)
    assert out == {"parent engine": ["RuntimeError", STALE_ENGINE], "new engine": 31}
    assert exitcode == 0
    assert after == 8


# ---- memory ------------------------------------------------------------------------------------------------

# Runs in a child interpreter: lowers its own address-space limit just before each step, so that the step's
# allocation fails and nothing else does, then reports what Python saw.
# What both child scripts start with: imports and the process's current address-space size.
PRELUDE = textwrap.dedent(
    """
    import asyncio, json, resource, sys
    import numpy as np
    from py_engine_rust import RustEngineAsync, encode_vec_f64_py

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    """
)

LIMITED = PRELUDE + textwrap.dedent(
    """
    _, hard = resource.getrlimit(resource.RLIMIT_AS)

    def limited(step):
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (32 << 20), hard))
        try:
            step()
            return "no error"
        except BaseException as e:
            return type(e).__name__
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

    host = "a" * 300_000_000
    engine = RustEngineAsync(host, 1)
    array = np.zeros(40_000_000)

    async def start():
        await engine.start()

    out = {
        "constructor": limited(lambda: RustEngineAsync(host, 1)),
        "start": limited(lambda: asyncio.run(start())),
        "codec function": limited(lambda: encode_vec_f64_py(array)),
    }
    print(json.dumps(out))
    """
)


# AddressSanitizer reserves terabytes of address space and stops the process on a failed allocation.
needs_plain_allocator = pytest.mark.skipif(under_address_sanitizer(), reason="address-space limits under ASan")


@needs_plain_allocator
def test_failed_allocations_at_the_python_boundary_raise_memory_error():
    done = subprocess.run([sys.executable, "-c", LIMITED], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert json.loads(done.stdout) == {"constructor": "MemoryError", "start": "MemoryError", "codec function": "MemoryError"}


# The engine's side of the reader test: the child runs the engine, the test is its peer.
READER = PRELUDE + textwrap.dedent(
    """
    async def main(port):
        engine = RustEngineAsync("127.0.0.1", port)
        await engine.start()
        print("listening", flush=True)
        await asyncio.wait_for(engine.wait_connected(), 10)
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (24 << 20), hard))
        try:
            await asyncio.wait_for(engine.get_ohlc(timeout_secs=10), 15)
            first = "no error"
        except BaseException as e:
            first = type(e).__name__
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        print("first call over", flush=True)
        await asyncio.wait_for(engine.wait_connected(), 10)
        second = (await asyncio.wait_for(engine.get_ohlc(timeout_secs=10), 15)).shape
        print(json.dumps({"first": first, "second": list(second)}), flush=True)

    asyncio.run(main(int(sys.argv[1])))
    """
)


@needs_plain_allocator
def test_a_reader_out_of_memory_fails_the_call_with_memory_error_then_serves_a_new_peer(port):
    """A 48 MB answer arrives while the engine's process cannot map 48 MB more. The waiting call fails at once with
    MemoryError instead of running to its deadline, the connection is dropped, and once memory is back a new peer
    is served."""
    rows = (48 << 20) // 40
    big = struct.pack("<II", rows, 5) + bytes(rows * 40)

    async def body():
        child = await asyncio.create_subprocess_exec(
            sys.executable, "-c", READER, str(port),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        )
        try:
            assert await asyncio.wait_for(child.stdout.readline(), 20) == b"listening\n"
            first = ScriptedPeer(port, lambda peer, r: response(r.seq, r.fn_id, big))
            async with first:
                assert await asyncio.wait_for(child.stdout.readline(), 15) == b"first call over\n"
                first_closed = await first.wait_closed(3)
            small = struct.pack("<II", 2, 5) + bytes(80)
            async with ScriptedPeer(port, lambda peer, r: response(r.seq, r.fn_id, small)):
                line = await asyncio.wait_for(child.stdout.readline(), 15)
            await asyncio.wait_for(child.wait(), 10)
            return json.loads(line), first_closed, child.returncode
        finally:
            if child.returncode is None:
                child.kill()
                await child.wait()

    report, first_closed, returncode = run(body(), 60)
    assert report == {"first": "MemoryError", "second": [2, 5]}
    assert first_closed[0] in (1006, 1009)  # dropped, or told the message was too big for the engine
    assert returncode == 0


# ---- descriptors --------------------------------------------------------------------------------------------


def descriptors_without_cloexec() -> list[str]:
    """Sockets, eventfds, epoll and timer descriptors (what the engine and its loop wake-ups open) that a child
    process would inherit."""
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{name}")
            if not target.startswith(("socket:", "anon_inode:")):
                continue
            with open(f"/proc/self/fdinfo/{name}") as f:
                flags = next(int(line.split()[1], 8) for line in f if line.startswith("flags:"))
        except (FileNotFoundError, StopIteration):
            continue
        if not flags & os.O_CLOEXEC:
            found.append(f"{name} -> {target}")
    return found


def descriptor_kinds() -> set[str]:
    kinds = set()
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(FileNotFoundError):
            kinds.add(os.readlink(f"/proc/self/fd/{name}"))
    return kinds


def test_no_descriptor_of_the_engine_is_inherited_by_child_processes(port):
    """A child started without close_fds (or any exec) must not hold the UI peer's connection open, nor any
    descriptor of the engine's runtime or its wake-ups."""

    async def body():
        engine = await started_engine(port)
        async with ScriptedPeer(port, echo_index, engine=engine):
            await asyncio.wait_for(engine.get_rl_config(), 5)
            return descriptors_without_cloexec(), "anon_inode:[eventfd]" in descriptor_kinds()

    assert run(body()) == ([], True)


def test_a_host_with_a_nul_binds_nothing(port):
    async def main():
        with pytest.raises(RuntimeError) as info:
            await RustEngineAsync("127.0.0.1\0garbage", port).start()
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # beside the port's reservation
            probe.bind(("127.0.0.1", port))  # fails if the engine listens on the text before the NUL
        return str(info.value)

    assert run(main()) == (
        f"RpcTransportError(seq=None, fnId=None): bind failed on 127.0.0.1\0garbage:{port}: "
        "host name contains a NUL character"
    )
