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
from .browser import Browser, BrowserPage
from .options import BROWSER, NODE, EnvOptions
from .peer import NodePeer, PageServer, page_address
from .session import Hooks, Launched, Session

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
        self.browser: Browser | None = None
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
        """One session per port: an engine each (``engines.acquire``), and a launched peer each if asked (a
        Node process, or a page in the environment's one headless browser), then waits for every peer.
        The bundled page is served for a launched browser without ``page_url``, and for a person's
        browser when the peers come by themselves."""
        assert options.connect_timeout is not None  # resolved by EnvOptions
        kind = options.launch_peer
        if (kind is None and options.serve_page) or (kind == BROWSER and options.page_url is None):
            self.page = PageServer(host)
        acquired = []
        for wanted in ports:
            engine, port, reused = engines.acquire(host, wanted, self.token, lambda c: self.run(c, "start"))
            self.addresses.append((host, port))
            acquired.append((engine, f"ws://{host}:{port}", wanted is None, reused))
        urls = [url for _, url, _, _ in acquired]
        launched: list[Launched | None] = [None] * len(urls)
        if kind == NODE:
            self.peers = [
                NodePeer(
                    url,
                    seed=options.peer_seed,
                    connect_timeout=options.connect_timeout,
                    args=options.peer_args,
                    node=options.node,
                )
                for url in urls
            ]
            launched = list(self.peers)
        elif kind == BROWSER:
            launched = list(self.run(self._open_pages(options, urls), "the environment's constructor"))
        for i, ((engine, url, chosen, reused), peer) in enumerate(zip(acquired, launched, strict=True)):
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
            if options.verbose:
                log.info(describe(url, chosen, reused, kind, peer, self.page, options.peer_seed))
        timeout = options.connect_timeout
        self.gather(lambda: [s.connect(timeout) for s in self.sessions], "the environment's constructor")
        return self.sessions

    async def _open_pages(self, options: EnvOptions, urls: list[str]) -> list[BrowserPage]:
        self.browser = await Browser.launch(options.browser)
        # The bundled page draws only when a screenshot asks: no one watches a launched page.
        page_url = options.page_url or (f"{self.page.base_url}?display=on-demand" if self.page else "")
        addresses = [page_address(page_url, url, options.peer_seed, options.peer_args) for url in urls]
        return list(await asyncio.gather(*(self.browser.open(a) for a in addresses)))

    async def screenshots(self) -> list[Any]:
        return (
            list(await asyncio.gather(*(p.screenshot() for p in self.browser.pages))) if self.browser else []
        )

    def release(self) -> None:
        try:
            for peer in self.peers:
                peer.stop()
            if not self.loop.on_loop_thread():
                try:
                    self.run(self._let_go())
                except Exception:  # noqa: BLE001 - the loop is already closed: nothing left to let go
                    pass
            if self.page is not None:
                self.page.stop()
            self.loop.stop()
        finally:
            for host, port in self.addresses:
                engines.release(host, port, self.token)

    async def _let_go(self) -> None:
        """Closes the browser, then drops the stopped peers' connections, so that a reused engine holds none."""
        if self.browser is not None:
            await self.browser.close()
        launched = [s for s in self.sessions if s.launched is not None]
        await asyncio.gather(*(_drop_connection(s) for s in launched))


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
    url: str,
    chosen: bool,
    reused: bool,
    kind: str | None,
    peer: Launched | None,
    page: PageServer | None,
    seed: int,
) -> str:
    """One line on an engine's address and how its UI peer will come."""
    line = f"engine {'reused' if reused else 'listening'} on {url}" + (" (a free port)" if chosen else "")
    if kind == BROWSER and isinstance(peer, BrowserPage):
        return line + f"; UI page opened in headless Chromium: {peer.url}"
    if peer is not None:
        return line + f"; UI peer launched (pid {peer.pid}, seed {seed})"
    if page is not None:
        return line + f"; open {page.url(url, seed)} in a browser to connect the UI"
    return line + "; waiting for a UI peer to connect"
