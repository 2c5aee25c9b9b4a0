#!/usr/bin/env python3
"""Soak and fault run of the engine against an in-process UI peer, on loopback only.

Three phases, each with its own count:

- sequential: `--calls` calls one after another on one peer;
- reconnects: `--reconnects` times a new peer connects while calls are running, and the old one is dropped in
  turn by a reset, a clean close, a FIN without a close frame, or by being replaced by the next peer;
- cancels: `--cancels` calls cancelled at random points (before their request is sent, while they wait for the
  connection, while they wait for their answer), each beside good calls, with a peer that answers after a
  random short delay.

Every call is `reset_episode(i, "train")` with its own index i, and the peer answers it with i, so an answer
that reaches the wrong call shows up as a wrong value. At the end it checks that every call ended exactly once,
with its own answer, with a cancellation or with one of the engine's documented transport errors (and only
where such an error can happen: never in the sequential phase or for the good calls of the cancel phase); that
asyncio reported no stray exception; and that open file descriptors and resident memory are back where they
were after the warm-up.

The run stops by itself: at the latest after `--time-limit` seconds it gives up and fails.

    python tools/soak.py                                  # full scale: 100000 calls, 1000 reconnects, 1000 cancels
    python tools/soak.py --calls 3000 --reconnects 50 --cancels 200   # the scale tests/test_soak.py runs
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import inspect
import json
import os
import random
import socket
import struct
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Optional

from websockets.asyncio.client import connect
from websockets.exceptions import ConnectionClosed

HEADER = struct.Struct("<BBHIHHI")
REQUEST, RESPONSE = 1, 2
RESET_EPISODE = 101
HANDSHAKE_TEXT = '{"type":"handshake","python_library_version":"0.1.0"}'

# The transport failures a call may end with when its peer goes away under it. Texts ending in ": " are
# prefixes: the rest is the WebSocket library's or the operating system's description.
DOCUMENTED_ERRORS = (
    "no websocket connected",
    "connection missing",
    "websocket closed",
    "timeout waiting response",
    "websocket recv failed: ",
    "websocket send failed: ",
)
DROP_WAYS = ("reset", "close", "fin", "replace")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def rss_mib() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


def documented(text: str) -> bool:
    prefix = "RpcTransportError(seq="
    if not text.startswith(prefix) or f"fnId=Some({RESET_EPISODE})): " not in text:
        return False
    message = text.split("): ", 1)[1]
    return any(message == d or (d.endswith(": ") and message.startswith(d) and len(message) > len(d))
               for d in DOCUMENTED_ERRORS)


# ---- the peer -------------------------------------------------------------------------------------------

_CONNECT_OPTIONS: dict[str, Any] = dict(compression=None, max_size=None, ping_interval=None, open_timeout=10,
                                        close_timeout=1)
if "proxy" in inspect.signature(connect).parameters:
    _CONNECT_OPTIONS["proxy"] = None  # loopback only, whatever the environment says about proxies


class EchoPeer:
    """Answers reset_episode(i, ...) with i, after a random delay of up to `delay` seconds."""

    def __init__(self, port: int, rng: random.Random, delay: float = 0.0) -> None:
        self.port = port
        self.rng = rng
        self.delay = delay
        self.requests = 0
        self.ws: Any = None
        self.task: Optional[asyncio.Task[None]] = None

    async def open(self) -> "EchoPeer":
        self.ws = await connect(f"ws://127.0.0.1:{self.port}/", **_CONNECT_OPTIONS)
        greeting = await asyncio.wait_for(self.ws.recv(), 10)
        if greeting != HANDSHAKE_TEXT:
            raise AssertionError(f"unexpected greeting {greeting!r}")
        self.task = asyncio.ensure_future(self._serve())
        return self

    async def _serve(self) -> None:
        try:
            async for message in self.ws:
                if not isinstance(message, bytes) or len(message) < HEADER.size or message[1] != REQUEST:
                    continue
                _, _, _, seq, fn_id, _, _ = HEADER.unpack_from(message)
                self.requests += 1
                payload = message[HEADER.size : HEADER.size + 4] if fn_id == RESET_EPISODE else b""
                if self.delay:
                    await asyncio.sleep(self.rng.uniform(0, self.delay))
                await self.ws.send(HEADER.pack(1, RESPONSE, 0, seq, fn_id, 0, len(payload)) + payload)
        except ConnectionClosed:
            pass

    async def drop(self, how: str) -> None:
        """Ends the connection from the peer's side; "replace" leaves it to the engine to drop."""
        sock = self.ws.transport.get_extra_info("socket")
        if how == "reset":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.ws.transport.abort()
        elif how == "close":
            await self.ws.close()
        elif how == "fin":
            self.ws.transport.write_eof()

    async def dispose(self) -> None:
        """Waits (bounded) for the connection to end, then makes sure its socket is closed."""
        if self.task is not None:
            try:
                await asyncio.wait_for(asyncio.shield(self.task), 5)
            except asyncio.TimeoutError:
                self.task.cancel()
        self.ws.transport.abort()
        if self.task is not None:
            await asyncio.gather(self.task, return_exceptions=True)


# ---- the ledger -----------------------------------------------------------------------------------------


class Ledger:
    """Every call made and how it ended. Each call is judged the moment it ends and only counters are kept, so
    the ledger's own memory stays flat however long the run."""

    def __init__(self, engine: Any, timeout_secs: float) -> None:
        self.engine = engine
        self.timeout_secs = timeout_secs
        self.pending: dict[int, asyncio.Future] = {}
        self.outcomes: dict[str, collections.Counter] = collections.defaultdict(collections.Counter)
        self.faults: list[str] = []
        self.fault_count = 0
        self.started = 0
        self.next_index = 1

    def fault(self, text: str) -> None:
        self.fault_count += 1
        if len(self.faults) < 50:
            self.faults.append(text)

    def start(self, phase: str, may_fail: bool) -> asyncio.Future:
        index = self.next_index
        self.next_index += 1
        self.started += 1
        future = self.engine.reset_episode(index, "train", timeout_secs=self.timeout_secs)
        self.pending[index] = future
        ends = 0

        def ended(f: asyncio.Future) -> None:
            nonlocal ends
            ends += 1
            where = f"call {index} ({phase})"
            if ends > 1:
                self.fault(f"{where} ended {ends} times")
                return
            self.pending.pop(index, None)
            if f.cancelled():
                key = "cancelled"
            elif f.exception() is not None:
                e = f.exception()
                key = "error: " + str(e).split("): ", 1)[-1]
                if type(e) is not RuntimeError or not documented(str(e)):
                    self.fault(f"{where} failed with an undocumented error: {type(e).__name__}: {e}")
                elif not may_fail:
                    self.fault(f"{where} failed: {e}")
            elif f.result() == index:
                key = "own answer"
            else:
                key = "wrong answer"
                self.fault(f"{where} got the answer {f.result()!r}")
            self.outcomes[phase][key] += 1

        future.add_done_callback(ended)
        return future

    async def settle(self, timeout: float) -> None:
        """Waits (bounded) until every call made so far has ended."""
        if self.pending:
            await asyncio.wait(list(self.pending.values()), timeout=timeout)
        await asyncio.sleep(0)  # done-callbacks run one loop turn after completion

    def tally(self) -> dict[str, dict[str, int]]:
        return {phase: dict(sorted(c.items())) for phase, c in self.outcomes.items()}


# ---- the phases -----------------------------------------------------------------------------------------


class OutOfTime(Exception):
    pass


@dataclass
class Soak:
    calls: int
    reconnects: int
    cancels: int
    time_limit: float
    seed: int = 1
    rss_slack: float = 16.0
    drop_ways: tuple[str, ...] = DROP_WAYS
    figures: dict[str, Any] = field(default_factory=dict)

    def check_time(self) -> None:
        if time.monotonic() > self.deadline:
            raise OutOfTime(f"gave up after {self.time_limit} s")

    async def run(self) -> dict[str, Any]:
        from py_engine_rust import RustEngineAsync

        self.deadline = time.monotonic() + self.time_limit
        rng = random.Random(self.seed)
        loop = asyncio.get_running_loop()
        stray: list[str] = []
        loop.set_exception_handler(lambda _loop, ctx: stray.append(str(ctx.get("exception") or ctx.get("message"))))

        port = free_port()
        engine = RustEngineAsync("127.0.0.1", port)
        await asyncio.wait_for(engine.start(), 5)
        ledger = Ledger(engine, timeout_secs=10)
        peer = await EchoPeer(port, rng).open()
        await asyncio.wait_for(engine.wait_connected(), 5)

        # Warm-up, then the baseline that the end is compared with.
        for _ in range(min(2000, max(200, self.calls // 10))):
            await asyncio.wait([ledger.start("warm-up", may_fail=False)])
        fds_before, rss_before = open_fds(), rss_mib()

        t0 = time.monotonic()
        await self.sequential(ledger)
        self.figures["sequential_s"] = round(time.monotonic() - t0, 2)

        t0 = time.monotonic()
        peer = await self.reconnect(ledger, peer, port, rng)
        self.figures["reconnects_s"] = round(time.monotonic() - t0, 2)

        t0 = time.monotonic()
        await peer.drop("close")
        await peer.dispose()
        peer = await EchoPeer(port, rng, delay=0.002).open()
        await asyncio.wait_for(self.served(ledger, peer, "probe"), 60)
        await self.cancel(ledger, rng)
        self.figures["cancels_s"] = round(time.monotonic() - t0, 2)

        # The end state: one peer connected, as at the baseline, and nothing left running.
        await peer.drop("close")
        await peer.dispose()
        peer = await EchoPeer(port, rng).open()
        await asyncio.wait_for(self.served(ledger, peer, "probe"), 60)
        for _ in range(200):
            await asyncio.wait([ledger.start("final", may_fail=False)])
        await ledger.settle(15)
        fds_after = open_fds()
        for _ in range(50):  # closing is asynchronous on the engine's side: give it a moment
            if fds_after <= fds_before:
                break
            await asyncio.sleep(0.1)
            fds_after = open_fds()
        rss_after = rss_mib()
        await peer.drop("close")
        await peer.dispose()

        faults = list(ledger.faults)
        if ledger.fault_count > len(faults):
            faults.append(f"... {ledger.fault_count - len(faults)} more")
        if ledger.pending:
            faults.append(f"{len(ledger.pending)} calls never ended")
        faults += [f"asyncio reported: {s}" for s in stray]
        if fds_after > fds_before:
            faults.append(f"open descriptors grew from {fds_before} to {fds_after}")
        if self.rss_slack >= 0 and rss_after > rss_before + self.rss_slack:
            faults.append(f"resident memory grew from {rss_before:.1f} MiB to {rss_after:.1f} MiB")

        self.figures.update(
            calls_total=ledger.started,
            outcomes=ledger.tally(),
            fds_before=fds_before,
            fds_after=fds_after,
            rss_before_mib=round(rss_before, 1),
            rss_after_mib=round(rss_after, 1),
            faults=faults,
            fault_count=len(faults),
        )
        return self.figures

    async def sequential(self, ledger: Ledger) -> None:
        for i in range(self.calls):
            await asyncio.wait([ledger.start("sequential", may_fail=False)])  # the ledger judges the outcome
            if i % 1000 == 0:
                self.check_time()
        self.figures["sequential_calls"] = self.calls

    async def reconnect(self, ledger: Ledger, peer: EchoPeer, port: int, rng: random.Random) -> EchoPeer:
        ways: collections.Counter = collections.Counter()
        for r in range(self.reconnects):
            self.check_time()
            # Calls keep running in two callers while the peer is dropped under them.
            stop = asyncio.Event()

            async def caller() -> None:
                while not stop.is_set():
                    await asyncio.wait([ledger.start("reconnects", may_fail=True)], timeout=15)

            callers = [asyncio.ensure_future(caller()) for _ in range(2)]
            await asyncio.sleep(rng.uniform(0, 0.01))
            how = self.drop_ways[r % len(self.drop_ways)]
            ways[how] += 1
            old = peer
            await old.drop(how)
            peer = await EchoPeer(port, rng).open()  # replaces the old one if the engine still holds it
            await asyncio.sleep(rng.uniform(0, 0.005))
            stop.set()
            await asyncio.wait_for(asyncio.gather(*callers), 30)
            await old.dispose()
            # The new peer serves a call of its own, whatever happened to the calls before.
            await asyncio.wait_for(self.served(ledger, peer, "after reconnect"), 60)
        self.figures["reconnects"] = self.reconnects
        self.figures["drop_ways"] = dict(ways)
        return peer

    async def served(self, ledger: Ledger, peer: EchoPeer, phase: str) -> None:
        """Waits until `peer` serves calls. The engine greets a peer before it installs it, so a call made the moment
        the greeting arrives may still meet the connection before it; such a call never reaches `peer` and is made
        again. A call that reaches `peer` and still fails is a fault."""
        for attempt in range(20):
            await ledger.engine.wait_connected(timeout_secs=10)
            before = peer.requests
            f = ledger.start(phase, may_fail=True)
            await asyncio.wait([f], timeout=15)
            if f.done() and not f.cancelled() and f.exception() is None:
                return
            if peer.requests != before:
                ledger.fault(f"{phase}: a call reached the new peer and failed: {f.exception()!r}")
                return
            await asyncio.sleep(0.01)
        ledger.fault(f"{phase}: no call reached the new peer")

    async def cancel(self, ledger: Ledger, rng: random.Random) -> None:
        points: collections.Counter = collections.Counter()
        for k in range(self.cancels):
            if k % 100 == 0:
                self.check_time()
            victim = ledger.start("cancels: cancelled", may_fail=False)
            goods = [ledger.start("cancels: good", may_fail=False) for _ in range(rng.randint(0, 2))]
            point = rng.choice(("at once", "after a turn", "after 1 ms", "after 3 ms"))
            if point == "after a turn":
                await asyncio.sleep(0)
            elif point == "after 1 ms":
                await asyncio.sleep(0.001)
            elif point == "after 3 ms":
                await asyncio.sleep(0.003)
            if not victim.cancel():
                point = "too late: it had ended"
            points[point] += 1
            goods.append(ledger.start("cancels: good", may_fail=False))
            await asyncio.wait(goods, timeout=15)
        self.figures["cancels"] = self.cancels
        self.figures["cancel_points"] = dict(sorted(points.items()))


def main(argv: Optional[list[str]] = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--calls", type=int, default=100_000)
    p.add_argument("--reconnects", type=int, default=1000)
    p.add_argument("--cancels", type=int, default=1000)
    p.add_argument("--time-limit", type=float, default=1800.0, help="seconds before the run gives up")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--rss-slack", type=float, default=16.0,
                   help="MiB the resident size may grow by; negative skips the check (for allocators that keep "
                   "freed memory, such as AddressSanitizer's)")
    p.add_argument("--drop-ways", default=",".join(DROP_WAYS),
                   help=f"how the peer is dropped in the reconnect phase, in turn (default {','.join(DROP_WAYS)})")
    args = p.parse_args(argv)
    ways = tuple(args.drop_ways.split(","))
    if not ways or not set(ways) <= set(DROP_WAYS):
        p.error(f"--drop-ways: choose from {','.join(DROP_WAYS)}")
    soak = Soak(args.calls, args.reconnects, args.cancels, args.time_limit, args.seed, args.rss_slack, ways)
    t0 = time.monotonic()

    async def bounded() -> dict[str, Any]:
        # The phases check the clock themselves; this catches a wait that never ends.
        return await asyncio.wait_for(soak.run(), args.time_limit + 60)

    try:
        figures = asyncio.run(bounded())
    except (OutOfTime, asyncio.TimeoutError) as e:
        print(json.dumps({"error": str(e) or "timed out", **soak.figures}, indent=2))
        return 1
    figures["total_s"] = round(time.monotonic() - t0, 2)
    print(json.dumps(figures, indent=2))
    return 0 if not figures["fault_count"] else 1


if __name__ == "__main__":
    sys.exit(main())
