"""What an environment owns (its loop, engines, launched peers and page server), how it gets them, and how
it lets them go however it ends: closed, collected, or failed in construction.

``TradingUIEnv`` and ``TradingUIVectorEnv`` both build their sessions here, so an address, a peer and a
page are set up one way for one environment or for N.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Awaitable, Callable, Sequence
from typing import Any, TypeVar

from . import engines
from ._loop import LoopThread
from .options import NODE, EnvOptions
from .peer import NodePeer, PageServer
from .session import Hooks, Session

T = TypeVar("T")
log = logging.getLogger(__name__)

# Letting go of a stopped peer's connection: the engine learns of its end only by reading, and a read
# needs a call; this read-only one fails at once on a connection that is gone.
_DROP_SECS = 1.0


class Resources:
    """Everything one environment must release. Holds no reference to the environment, so a forgotten
    environment can still be collected (its finalizer calls ``release``)."""

    def __init__(self) -> None:
        self.token = object()
        self.loop = LoopThread()
        self.peers: list[NodePeer] = []
        self.page: PageServer | None = None
        self.addresses: list[tuple[str, int]] = []
        self.sessions: list[Session] = []

    def run(self, coro: Any, what: str = "the environment") -> Any:
        return self.loop.run(coro, what)

    def gather(self, make: Callable[[], Sequence[Awaitable[T]]], what: str = "the environment") -> list[T]:
        """Runs the awaitables ``make`` returns concurrently on the loop; made there, so that none is left
        unawaited when the loop refuses work. All run to their end, then the first failure is raised."""
        return self.loop.run(_gather_all(make), what)

    def open(
        self, hooks: Hooks, options: EnvOptions, host: str, ports: Sequence[int | None]
    ) -> list[Session]:
        """One session per port: an engine each (``engines.acquire``), a launched peer each if asked, and
        the page server for a person's browser when the peers come by themselves."""
        assert options.connect_timeout is not None  # resolved by EnvOptions
        if options.launch_peer is None and options.serve_page:
            self.page = PageServer(host)
        lines = []
        for i, wanted in enumerate(ports):
            engine, port, reused = engines.acquire(host, wanted, self.token, lambda c: self.run(c, "start"))
            self.addresses.append((host, port))
            url = f"ws://{host}:{port}"
            peer = None
            if options.launch_peer == NODE:
                peer = NodePeer(
                    url,
                    seed=options.peer_seed,
                    connect_timeout=options.connect_timeout,
                    args=options.peer_args,
                    node=options.node,
                )
                self.peers.append(peer)
            self.sessions.append(
                Session(
                    hooks,
                    engine,
                    url,
                    env_index=i,
                    launched=peer,
                    candles=options.candles,
                    reconnect_timeout=options.reconnect_timeout,
                    call_timeout=options.call_timeout,
                    max_episode_steps=options.max_episode_steps,
                    verbose=options.verbose,
                )
            )
            lines.append(describe(url, wanted is None, reused, peer, self.page, options.peer_seed))
        if options.verbose:
            for line in lines:
                log.info(line)
        timeout = options.connect_timeout
        self.gather(lambda: [s.connect(timeout) for s in self.sessions], "the environment's constructor")
        return self.sessions

    def release(self) -> None:
        try:
            for peer in self.peers:
                peer.stop()
            if self.peers and not self.loop.on_loop_thread():
                try:
                    self.gather(
                        lambda: [_drop_connection(s) for s in self.sessions if s.launched is not None]
                    )
                except Exception:  # noqa: BLE001 - the loop is already closed: nothing left to drop
                    pass
            if self.page is not None:
                self.page.stop()
            self.loop.stop()
        finally:
            for host, port in self.addresses:
                engines.release(host, port, self.token)


async def _drop_connection(session: Session) -> None:
    try:
        await session.engine.get_sync_policy(timeout_secs=_DROP_SECS)
    except (RuntimeError, ValueError):
        pass


async def _gather_all(make: Callable[[], Sequence[Awaitable[T]]]) -> list[T]:
    results = await asyncio.gather(*make(), return_exceptions=True)
    for r in results:
        if isinstance(r, BaseException):
            raise r
    return results  # type: ignore[return-value]


def describe(
    url: str, chosen: bool, reused: bool, peer: NodePeer | None, page: PageServer | None, seed: int
) -> str:
    """One line on an engine's address and how its UI peer will come."""
    line = f"engine {'reused' if reused else 'listening'} on {url}" + (" (a free port)" if chosen else "")
    if peer is not None:
        return line + f"; UI peer launched (pid {peer.pid}, seed {seed})"
    if page is not None:
        return line + f"; open {page.url(url, seed)} in a browser to connect the UI"
    return line + "; waiting for a UI peer to connect"
