"""One engine and its UI peer as one environment sees them: the connection, the episode and the position."""

from __future__ import annotations

import asyncio
import inspect
import json
import sys
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import EngineError, PeerError
from .peer import NodePeer

if TYPE_CHECKING:
    from py_engine_rust import RustEngineAsync

    from .mapping import TradingMappings

EPISODE_TYPES = ("train", "test")
_TRANSPORT = "RpcTransportError("
# wait_connected is awaited in short slices, so a peer process that exits is noticed at once and no engine
# wait outlives the call that started it.
_WAIT_SLICE_SECS = 0.25

# Snapshot columns of the bundled peer (docs/protocol.md).
EQUITY, OPEN_POSITIONS, STEP, DONE = 0, 3, 5, 6


class Session:
    """The state one environment keeps for one engine; every hook receives it as ``session``.

    Attributes a hook may read: ``engine`` (the ``RustEngineAsync``), ``url``, ``env_index`` (0 for a
    single environment), ``config`` (the peer's ``get_rl_config`` as a dict, {} when it sends none),
    ``window`` and ``snapshot`` (the last ``step_and_sync`` answer), ``episode_index``, ``episode_type``,
    ``start_candle`` (what ``reset_episode`` answered) and ``steps`` (steps since the reset). The default
    action mapping keeps ``side`` (1 long, -1 short, 0 flat) and ``position_ids``; ``user`` is a dict for
    a hook's own state.

    Used only on its environment's event loop.
    """

    def __init__(
        self,
        owner: TradingMappings,
        engine: RustEngineAsync,
        url: str,
        *,
        env_index: int = 0,
        peer: NodePeer | None = None,
        reconnect_timeout: float = 30.0,
        call_timeout: float | None = None,
        max_episode_steps: int | None = None,
        verbose: bool = True,
    ):
        self.owner = owner
        self.engine = engine
        self.url = url
        self.env_index = env_index
        self.peer = peer
        self.reconnect_timeout = reconnect_timeout
        self.call_timeout = call_timeout
        self.max_episode_steps = max_episode_steps
        self.verbose = verbose
        self.np_random: np.random.Generator = np.random.default_rng()
        self.config: dict[str, Any] = {}
        self.window = np.zeros((0, 0))
        self.snapshot = np.zeros(0)
        self.episode_index = 0
        self.episode_type = "train"
        self.start_candle = 0
        self.steps = 0
        self.side = 0
        self.position_ids: list[int] = []
        self.user: dict[str, Any] = {}
        # A reused engine may still hold its previous peer's dead connection; losing that is no news.
        self._connected = False

    # ---- the connection ----------------------------------------------------------------------------------

    def peer_exit(self) -> str | None:
        """Why a peer process this session launched is gone, or None while it runs (or there is none)."""
        if self.peer is None or (code := self.peer.exit_code()) is None:
            return None
        return f"the UI peer process (pid {self.peer.pid}) exited with code {code}"

    async def wait_for_peer(self, timeout: float) -> bool:
        """Waits up to ``timeout`` seconds for a connected peer; False when the time ran out or a launched
        peer process exited."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while self.peer_exit() is None:
            remaining = deadline - loop.time()
            if remaining <= 0:
                return False
            try:
                await self.engine.wait_connected(timeout_secs=min(_WAIT_SLICE_SECS, remaining))
                return True
            except RuntimeError as e:
                if "wait_connected timed out" not in str(e):
                    raise EngineError("wait_connected", str(e)) from e
        return False

    def _log_tail(self) -> str:
        return self.peer.log_tail() if self.peer is not None else ""

    async def connect(self, timeout: float, candles: np.ndarray | None = None) -> dict[str, Any]:
        """Waits for the peer, loads ``candles`` into it if given, then reads its configuration."""
        if not await self.wait_for_peer(timeout):
            why = self.peer_exit() or f"no UI peer connected to {self.url} within {timeout:g} s"
            raise PeerError(why, self._log_tail())
        if candles is not None:
            await self.call("init_candles", candles)
        text = await self.call("get_rl_config")
        try:
            config = json.loads(text)
        except ValueError:
            config = {}
        self.config = config if isinstance(config, dict) else {}
        self._connected = True
        return self.config

    async def call(self, command: str, *args: Any, **kwargs: Any) -> Any:
        """Runs one engine command. A peer that went away is waited for, up to ``reconnect_timeout``
        seconds, and then the command is sent again (so it may reach the peer twice). Raises EngineError
        for what the engine or the peer reports, PeerError when the peer does not come back."""
        if self.call_timeout is not None:
            kwargs.setdefault("timeout_secs", self.call_timeout)
        method = getattr(self.engine, command)
        deadline: float | None = None
        loop = asyncio.get_running_loop()
        while True:
            try:
                return await method(*args, **kwargs)
            except RuntimeError as e:
                text = str(e)
                if not text.startswith(_TRANSPORT):
                    raise EngineError(command, text) from e
            except ValueError as e:
                raise EngineError(command, str(e)) from e
            if deadline is None:
                deadline = loop.time() + self.reconnect_timeout
                if self.verbose and self._connected and self.peer_exit() is None:
                    print(
                        f"UI peer of {self.url} lost during {command} ({text}); waiting up to "
                        f"{self.reconnect_timeout:g} s for it to come back",
                        file=sys.stderr,
                        flush=True,
                    )
            if not await self.wait_for_peer(deadline - loop.time()):
                why = self.peer_exit() or f"the UI peer did not come back within {self.reconnect_timeout:g} s"
                raise PeerError(f"{command} failed: {text}; {why}", self._log_tail())

    # ---- episodes ----------------------------------------------------------------------------------------

    def choose_episode(self, episode_type: str) -> int:
        """An episode index drawn from ``np_random`` over the peer's count of that type (0 when unknown)."""
        count = self.config.get(f"{episode_type}_episodes")
        if isinstance(count, int) and count > 1:
            return int(self.np_random.integers(count))
        return 0

    async def reset(self, episode_type: str, episode_index: int | None = None) -> tuple[Any, dict[str, Any]]:
        if episode_type not in EPISODE_TYPES:
            raise ValueError(f"episode_type must be 'train' or 'test', got {episode_type!r}")
        if episode_index is None:
            episode_index = self.choose_episode(episode_type)
        self.start_candle = int(await self.call("reset_episode", int(episode_index), episode_type))
        self.episode_index = int(episode_index)
        self.episode_type = episode_type
        self.steps = 0
        self.side = 0
        self.position_ids = []
        self.window, self.snapshot = await self.call("step_and_sync")
        self._track_positions()
        obs = self.owner.observe(self.window, self.snapshot, self)
        info = self.owner.make_info(self.snapshot, self)
        info["start_candle"] = self.start_candle
        return obs, info

    async def step(self, action: Any) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        prev = self.snapshot
        done = self.owner.act(action, self)
        if inspect.isawaitable(done):
            await done
        self.window, self.snapshot = await self.call("step_and_sync")
        self.steps += 1
        self._track_positions()
        obs = self.owner.observe(self.window, self.snapshot, self)
        reward = float(self.owner.compute_reward(prev, self.snapshot, self))
        terminated = bool(self.owner.is_terminated(self.snapshot, self))
        truncated = (
            not terminated and self.max_episode_steps is not None and self.steps >= self.max_episode_steps
        )
        return obs, reward, terminated, truncated, self.owner.make_info(self.snapshot, self)

    def _track_positions(self) -> None:
        # Stops and the end of a session close positions without an action: the peer's count is the truth.
        if self.snapshot.shape[0] > OPEN_POSITIONS and self.snapshot[OPEN_POSITIONS] == 0:
            self.side = 0
            self.position_ids = []
