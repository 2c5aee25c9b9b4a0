"""One engine and its UI peer as one environment sees them: the connection, the episode and its steps.

What happens when the peer goes away or another one takes its place is decided here, once:

- A step never sends anything twice. If the connection breaks during a step (in the action or in its
  ``step_and_sync``), the step ends at once: the episode is truncated, the reward is 0, the observation is
  the last one, and ``info["interrupted"]`` says why. A peer process this package launched that has exited
  cannot come back, so that raises ``PeerError`` instead.
- A different peer taking over (a page that reloaded connects as a fresh account) ends the episode the
  same way, as soon as a step sees it: the new peer's numbers never meet the old one's in a reward.
- ``reset`` waits for a peer (up to ``reconnect_timeout``), sets a new one up as at the start (candles,
  configuration), and starts the episode. Starting an episode makes a fresh account, so a reset cut off
  by a lost peer is done again as a whole on the peer that comes back.
- Outside a step, ``call`` waits for a lost peer and sends again only what cannot have changed the UI:
  the reads (``READS``), and commands the engine had not sent at all ("no websocket connected"). A command
  that changes the UI's state and may have reached it raises ``PeerLost`` and is not sent again.
"""

from __future__ import annotations

import asyncio
import inspect
import logging
from collections.abc import Callable
from typing import Any, Protocol

import numpy as np

from .errors import EngineError, PeerError, PeerLost, parse_engine_error
from .layout import EPISODE_TYPES, PeerConfig, parse_config, starts_episode

log = logging.getLogger(__name__)

# Commands that only read the UI's state: sending one again cannot change what the UI does.
READS = frozenset({"get_snapshot", "get_rl_config", "get_ticket_list", "get_ohlc", "get_sync_policy"})
# wait_connected is awaited in short slices, so a peer process that exits is noticed at once and no engine
# wait outlives the call that started it.
_WAIT_SLICE_SECS = 0.25
# A reset whose first snapshot is not of the episode it asked for is tried this many times in all.
_RESET_TRIES = 2
# A launched peer's process closes its connection before it can be seen to have exited: after a loss,
# this long is given for the exit to show, so that a peer that cannot come back is reported as such.
_EXIT_SHOWS_SECS = 1.0
_EXIT_POLL_SECS = 0.02

ObservationFn = Callable[[np.ndarray, np.ndarray, "Session"], Any]
ActionFn = Callable[[Any, "Session"], Any]
RewardFn = Callable[[np.ndarray, np.ndarray, "Session"], float]
TerminatedFn = Callable[[np.ndarray, "Session"], bool]


class Hooks(Protocol):
    """The mappings a session runs (``py_engine_rust_gym.mapping`` has the defaults)."""

    def make_spaces(self, config: dict[str, Any]) -> tuple[Any, Any]: ...
    def observe(self, window: np.ndarray, snapshot: np.ndarray, session: Session) -> Any: ...
    def act(self, action: Any, session: Session) -> Any: ...
    def step_reward(self, prev_snapshot: np.ndarray, snapshot: np.ndarray, session: Session) -> float: ...
    def is_terminated(self, snapshot: np.ndarray, session: Session) -> bool: ...
    def make_info(self, snapshot: np.ndarray, session: Session) -> dict[str, Any]: ...
    def continues(self, prev_snapshot: np.ndarray, snapshot: np.ndarray, session: Session) -> bool: ...


class Launched(Protocol):
    """A peer this package started (a Node process, a browser page)."""

    @property
    def pid(self) -> int | None: ...

    def gone(self) -> str | None:
        """Why it can no longer answer (its process exited, its page crashed), or None while it can."""

    def log_tail(self) -> str: ...


class Session:
    """The state one environment keeps for one engine; every hook receives it as ``session``.

    Attributes a hook may read: ``engine`` (the ``RustEngineAsync``), ``url``, ``env_index`` (0 for a
    single environment), ``config`` (the peer's ``get_rl_config`` as a dict, {} when it sends none) and
    ``peer_config`` (its checked settings), ``window`` and ``snapshot`` (the last ``step_and_sync``
    answer), ``episode_index``, ``episode_type``, ``start_candle`` (what ``reset_episode`` answered),
    ``steps`` (steps since the reset) and ``episode_serial`` (1 for the first episode, one more at every
    reset); ``user`` is a dict for a hook's own state.

    Used only on its environment's event loop.
    """

    def __init__(
        self,
        hooks: Hooks,
        engine: Any,
        url: str,
        *,
        env_index: int = 0,
        launched: Launched | None = None,
        candles: np.ndarray | None = None,
        reconnect_timeout: float = 30.0,
        call_timeout: float | None = None,
        max_episode_steps: int | None = None,
        verbose: bool = True,
    ):
        self.hooks = hooks
        self.engine = engine
        self.url = url
        self.env_index = env_index
        self.launched = launched
        self.candles = candles
        self.reconnect_timeout = reconnect_timeout
        self.call_timeout = call_timeout
        self.max_episode_steps = max_episode_steps
        self.verbose = verbose
        self.np_random: np.random.Generator = np.random.default_rng()
        self.peer_config = PeerConfig({})
        self.spaces: tuple[Any, Any] | None = None
        self.window = np.zeros((0, 0))
        self.snapshot = np.zeros(0)
        self.episode_index = 0
        self.episode_type = "train"
        self.start_candle = 0
        self.steps = 0
        self.episode_serial = 0
        self.user: dict[str, Any] = {}
        self._observation: Any = None
        # Whether the peer now connected has been set up (candles loaded, configuration read). A reused
        # engine may still hold its previous peer's dead connection: set-up goes on past losing that one.
        self._ready = False
        # Set while a step runs: no command is sent again within a step.
        self._stepping = False
        # Why the running episode cannot go on (its peer was replaced), for the next step to report.
        self._interrupted: str | None = None

    @property
    def config(self) -> dict[str, Any]:
        return self.peer_config.raw

    # ---- the connection ----------------------------------------------------------------------------------

    def peer_gone(self) -> str | None:
        """Why a peer this session launched is gone for good, or None (still there, or none launched)."""
        return self.launched.gone() if self.launched is not None else None

    async def _gone_after_loss(self) -> str | None:
        """``peer_gone()`` once a launched peer has had the moment its exit takes to show."""
        if self.launched is None:
            return None
        loop = asyncio.get_running_loop()
        deadline = loop.time() + _EXIT_SHOWS_SECS
        while (gone := self.launched.gone()) is None and loop.time() < deadline:
            await asyncio.sleep(_EXIT_POLL_SECS)
        return gone

    def _log_tail(self) -> str:
        return self.launched.log_tail() if self.launched is not None else ""

    async def wait_for_peer(self, timeout: float) -> bool:
        """Waits up to ``timeout`` seconds for a connected peer; False when the time ran out or a launched
        peer is gone."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while self.peer_gone() is None:
            remaining = deadline - loop.time()
            if remaining <= 0:
                return False
            try:
                await self.engine.wait_connected(timeout_secs=min(_WAIT_SLICE_SECS, remaining))
                return True
            except RuntimeError as e:
                failure = parse_engine_error(e)
                if failure is None or not failure.wait_timed_out:
                    raise EngineError("wait_connected", str(e)) from e
        return False

    async def connect(self, timeout: float) -> dict[str, Any]:
        """Waits up to ``timeout`` seconds for the first peer and sets it up; the peer's configuration."""
        loop = asyncio.get_running_loop()
        await self._set_up(loop.time() + timeout, f"no UI peer connected to {self.url} within {timeout:g} s")
        return self.config

    async def _set_up(self, deadline: float, why_not: str) -> None:
        """Until ``deadline``: waits for a peer, loads the candles into it and reads its configuration.

        Done again for every new peer, so a page that reloads gets the same candles. A peer whose settings
        give other spaces than the first one's cannot serve this environment: PeerError.
        """
        loop = asyncio.get_running_loop()
        while True:
            if not await self.wait_for_peer(deadline - loop.time()):
                raise PeerError(self.peer_gone() or why_not, self._log_tail())
            try:
                if self.candles is not None:
                    await self._send("init_candles", self.candles)
                config = parse_config(await self._send("get_rl_config"))
                break
            except PeerLost as e:
                if loop.time() >= deadline:
                    raise PeerError(f"{e.message}; {self.peer_gone() or why_not}", self._log_tail()) from e
        spaces = self.hooks.make_spaces(config.raw)
        if self.spaces is not None and not _same_spaces(spaces, self.spaces):
            raise PeerError(
                f"the UI peer that connected to {self.url} has other spaces than the first one: "
                f"{spaces[0]} and {spaces[1]}, not {self.spaces[0]} and {self.spaces[1]}",
                self._log_tail(),
            )
        self.peer_config = config
        self.spaces = spaces
        self._ready = True

    async def _set_up_again(self, lost: str) -> None:
        """Waits up to ``reconnect_timeout`` for a peer after the current one was lost (``lost`` says how),
        and sets it up."""
        gone = self.peer_gone()
        if gone is not None:
            raise PeerError(f"{lost}; {gone}", self._log_tail())
        if self.verbose:
            log.warning(
                "UI peer of %s lost (%s); waiting up to %g s for it to come back",
                self.url,
                lost,
                self.reconnect_timeout,
            )
        loop = asyncio.get_running_loop()
        why = f"{lost}; the UI peer did not come back within {self.reconnect_timeout:g} s"
        await self._set_up(loop.time() + self.reconnect_timeout, why)

    async def _send(self, command: str, *args: Any, **kwargs: Any) -> Any:
        """Sends one command once. A broken connection raises PeerLost, anything else the engine or the
        peer reports EngineError."""
        if self.call_timeout is not None:
            kwargs.setdefault("timeout_secs", self.call_timeout)
        try:
            return await getattr(self.engine, command)(*args, **kwargs)
        except (RuntimeError, ValueError) as e:
            failure = parse_engine_error(e)
            if failure is None or failure.kind != "transport":
                raise EngineError(command, str(e)) from e
            self._lost(f"{command} failed: {e}")
            raise PeerLost(f"{command} failed: {e}", failure, self._log_tail()) from e

    def _lost(self, how: str) -> None:
        """The connection broke: whatever connects next is a new peer, and the running episode is over."""
        self._ready = False
        if self.episode_serial and self._interrupted is None:
            self._interrupted = f"the UI peer was lost: {how}"

    async def call(self, command: str, *args: Any, **kwargs: Any) -> Any:
        """Runs one engine command with the environment's error handling.

        Raises EngineError for what the engine or the peer reports. When the peer is lost: within a step,
        PeerLost at once (the step ends truncated); otherwise the reads, and commands that were never
        sent, wait up to ``reconnect_timeout`` for a peer and go to it, while any other command raises
        PeerLost (it may have reached the UI, and is not sent again). PeerError when no peer comes back.
        """
        lost: str | None = None
        while True:
            if not self._ready and not self._stepping:
                await self._set_up_again(lost or "the connection broke earlier")
            try:
                return await self._send(command, *args, **kwargs)
            except PeerLost as e:
                gone = await self._gone_after_loss()
                if gone is not None:
                    raise PeerError(f"{e.message}; {gone}", self._log_tail()) from e
                unsent = e.failure is not None and e.failure.seq is None
                if self._stepping or not (command in READS or unsent):
                    raise PeerLost(
                        f"{e.message}; it is not sent again: it changes the UI's state and may have reached it",
                        e.failure,
                        e.log_tail,
                    ) from e
                lost = e.message

    # ---- episodes ----------------------------------------------------------------------------------------

    def choose_episode(self, episode_type: str) -> int:
        """An episode index drawn from ``np_random`` over the peer's count of that type (0 when unknown)."""
        count = self.peer_config.episodes(episode_type)
        if count is not None and count > 1:
            return int(self.np_random.integers(count))
        return 0

    async def reset(self, episode_type: str, episode_index: int | None = None) -> tuple[Any, dict[str, Any]]:
        if episode_type not in EPISODE_TYPES:
            raise ValueError(f"episode_type must be 'train' or 'test', got {episode_type!r}")
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.reconnect_timeout
        wrong = 0
        while True:
            if not self._ready:
                if self.verbose:
                    log.warning(
                        "waiting up to %g s for the UI peer of %s to come back",
                        self.reconnect_timeout,
                        self.url,
                    )
                why = f"reset: the UI peer did not come back within {self.reconnect_timeout:g} s"
                await self._set_up(deadline, why)
            index = self.choose_episode(episode_type) if episode_index is None else episode_index
            try:
                start = await self._send("reset_episode", index, episode_type)
                window, snapshot = await self._send("step_and_sync")
            except PeerLost as e:
                gone = await self._gone_after_loss()
                if gone is not None:
                    raise PeerError(f"{e.message}; {gone}", self._log_tail()) from e
                if self.verbose:
                    log.warning("UI peer of %s lost during a reset (%s)", self.url, e.message)
                continue
            if self._starts(snapshot, index, episode_type):
                break
            # Another peer answered the first step than the reset (one replaced the other in between).
            wrong += 1
            self._ready = False
            if wrong == _RESET_TRIES:
                raise PeerError(
                    f"the UI peer of {self.url} answered reset_episode({index}, {episode_type!r}) with a "
                    f"snapshot of another episode: {snapshot.tolist()}",
                    self._log_tail(),
                )
        self.start_candle = int(start)
        self.episode_index = int(index)
        self.episode_type = episode_type
        self.steps = 0
        self.episode_serial += 1
        self._interrupted = None
        self.window, self.snapshot = window, snapshot
        self._observation = self.hooks.observe(window, snapshot, self)
        info = self.hooks.make_info(snapshot, self)
        info["start_candle"] = self.start_candle
        return self._observation, info

    def _starts(self, snapshot: np.ndarray, index: int, episode_type: str) -> bool:
        """Whether ``snapshot`` is the first step of the episode just asked for (when the peer's columns
        tell; a peer whose snapshot does not is taken at its word)."""
        return not self.peer_config.episode_columns or starts_episode(snapshot, index, episode_type)

    async def step(self, action: Any) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        launched = self.launched
        if launched is not None and (gone := launched.gone()) is not None:
            # A browser that went away may leave its page answering for a moment: it is gone all the same.
            raise PeerError(gone, self._log_tail())
        if self._interrupted is not None:
            return self._interrupted_step(self._interrupted)
        prev = self.snapshot
        self._stepping = True
        try:
            done = self.hooks.act(action, self)
            if inspect.isawaitable(done):
                await done
            window, snapshot = await self._send("step_and_sync")
        except (PeerLost, RuntimeError) as e:
            # A hook may use the raw engine (session.engine): its transport failures end the step alike.
            lost = isinstance(e, PeerLost) or _is_transport(e)
            if not lost:
                raise
            what = e.message if isinstance(e, PeerLost) else f"a hook's command failed: {e}"
            self._lost(what)
            gone = await self._gone_after_loss()
            if gone is not None:
                raise PeerError(f"{what}; {gone}", self._log_tail()) from e
            if self.verbose:
                log.warning(
                    "UI peer of %s lost during a step (%s); the episode ends truncated", self.url, what
                )
            return self._interrupted_step(self._interrupted or "the UI peer was lost")
        finally:
            self._stepping = False
        if not self.hooks.continues(prev, snapshot, self):
            self._ready = False
            if self.verbose:
                log.warning("a different UI peer took over %s; the episode ends truncated", self.url)
            return self._interrupted_step("a different UI peer took over")
        self.window, self.snapshot = window, snapshot
        self.steps += 1
        self._observation = self.hooks.observe(window, snapshot, self)
        reward = float(self.hooks.step_reward(prev, snapshot, self))
        terminated = bool(self.hooks.is_terminated(snapshot, self))
        truncated = (
            not terminated and self.max_episode_steps is not None and self.steps >= self.max_episode_steps
        )
        return self._observation, reward, terminated, truncated, self.hooks.make_info(snapshot, self)

    def _interrupted_step(self, why: str) -> tuple[Any, float, bool, bool, dict[str, Any]]:
        """The outcome of a step whose episode cannot go on: truncated, no reward, the last observation."""
        self._interrupted = why
        info = self.hooks.make_info(self.snapshot, self)
        info["interrupted"] = why
        return self._observation, 0.0, False, True, info


def _is_transport(error: BaseException) -> bool:
    failure = parse_engine_error(error)
    return failure is not None and failure.kind == "transport"


def _same_spaces(a: tuple[Any, Any], b: tuple[Any, Any]) -> bool:
    return bool(a[0] == b[0] and a[1] == b[1])
