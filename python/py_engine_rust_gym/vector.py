"""``TradingUIVectorEnv``: N engines, one UI peer each, stepped concurrently on one event loop."""

from __future__ import annotations

import asyncio
import weakref
from collections.abc import Awaitable, Callable, Sequence
from copy import deepcopy
from typing import Any, TypeVar

import gymnasium as gym
import numpy as np
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode
from gymnasium.vector.utils import batch_space, concatenate, create_empty_array, iterate

from . import engines
from ._loop import LoopThread
from .env import _check_common, _Resources, describe
from .mapping import ActionFn, ObservationFn, RewardFn, TerminatedFn, TradingMappings
from .peer import NodePeer, PageServer
from .session import EPISODE_TYPES, Session

T = TypeVar("T")


class TradingUIVectorEnv(TradingMappings, gym.vector.VectorEnv):
    """``num_envs`` trading UIs in one process: one engine and one UI peer each, all driven from one event
    loop in a background thread. ``step`` sends every sub-environment's commands concurrently
    (``asyncio.gather``), so N environments cost about one round trip of wall time, with no subprocesses
    and no pickling.

    Autoreset follows Gymnasium 1.x's default, ``AutoresetMode.NEXT_STEP``: the step after a
    sub-environment terminates or truncates resets it (its action is ignored) and returns the first
    observation of the new episode with reward 0 and both flags False.

    ``ports`` gives one port per sub-environment (None entries, or ``ports=None``, pick free ones, which
    are printed). Every other argument means what it means for ``TradingUIEnv`` and applies to each
    sub-environment; all of them launch their peers with the same ``peer_seed``, so they see the same
    market and differ in the episodes they draw. ``reset(seed=s)`` seeds sub-environment i with s + i.
    ``options`` may hold ``episode_type`` and ``episode_index`` (one value for all, or one per
    sub-environment) and Gymnasium's ``reset_mask``. The ``episode_type`` attribute drives resets without
    options, autoresets included. ``command(name, ...)`` runs an engine command on every sub-environment.
    """

    metadata: dict[str, Any] = {"render_modes": [], "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(
        self,
        num_envs: int,
        host: str = "127.0.0.1",
        ports: Sequence[int | None] | None = None,
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
        if isinstance(num_envs, bool) or not isinstance(num_envs, int) or num_envs < 1:
            raise ValueError(f"num_envs must be a whole number >= 1, got {num_envs!r}")
        if ports is None:
            ports = [None] * num_envs
        ports = list(ports)
        if len(ports) != num_envs:
            raise ValueError(f"ports must hold num_envs={num_envs} entries, got {len(ports)}")
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
        self.num_envs = num_envs
        self.episode_type = episode_type
        self.metadata = dict(type(self).metadata)
        if connect_timeout is None:
            connect_timeout = 30.0 if launch_peer else 600.0
        self._resources = _Resources()
        self._finalizer = weakref.finalize(self, self._resources.release)
        try:
            self._loop = self._resources.loop = LoopThread()
            self.sessions: list[Session] = []
            self.urls: list[str] = []
            lines = []
            if not launch_peer and serve_page:
                self._resources.page = PageServer(host)
            for i, wanted in enumerate(ports):
                engine, port, reused = engines.acquire(host, wanted, self._resources.token, self._loop.run)
                self._resources.addresses.append((host, port))
                url = f"ws://{host}:{port}"
                peer = None
                if launch_peer:
                    peer = NodePeer(
                        url, seed=peer_seed, connect_timeout=connect_timeout, args=peer_args, node=node
                    )
                    self._resources.peers.append(peer)
                self.urls.append(url)
                self.sessions.append(
                    Session(
                        self,
                        engine,
                        url,
                        env_index=i,
                        peer=peer,
                        reconnect_timeout=reconnect_timeout,
                        call_timeout=call_timeout,
                        max_episode_steps=max_episode_steps,
                        verbose=verbose,
                    )
                )
                lines.append(describe(url, wanted is None, reused, peer, self._resources.page, peer_seed))
            if verbose:
                print("\n".join(lines), flush=True)
            configs = self._gather(lambda: [s.connect(connect_timeout, candles) for s in self.sessions])
            self.single_observation_space, self.single_action_space = self.make_spaces(configs[0])
            self.observation_space = batch_space(self.single_observation_space, num_envs)
            self.action_space = batch_space(self.single_action_space, num_envs)
            self._observations: Any = create_empty_array(
                self.single_observation_space, n=num_envs, fn=np.zeros
            )
            self._env_obs: list[Any] = [self.single_observation_space.sample() for _ in range(num_envs)]
            self._autoreset = np.zeros(num_envs, dtype=np.bool_)
        except BaseException:
            self.close()
            raise

    @property
    def ports(self) -> list[int]:
        return [int(url.rsplit(":", 1)[1]) for url in self.urls]

    @property
    def config(self) -> dict[str, Any]:
        """The first peer's ``get_rl_config`` answer, parsed."""
        return self.sessions[0].config

    @property
    def peer_pids(self) -> list[int | None]:
        """Process ids of the peers this environment launched (None where it launched none)."""
        return [s.peer.pid if s.peer is not None else None for s in self.sessions]

    def _gather(self, make: Callable[[], list[Awaitable[T]]]) -> list[T]:
        """Runs the awaitables ``make`` returns concurrently on the loop; made there, so that none is left
        unawaited when the loop refuses work."""
        return self._loop.run(_gather_all(make))

    def reset(
        self, *, seed: int | Sequence[int | None] | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Any, dict[str, Any]]:
        n = self.num_envs
        if seed is None:
            seeds: list[int | None] = [None] * n
        elif isinstance(seed, (int, np.integer)):
            seeds = [int(seed) + i for i in range(n)]
        else:
            seeds = list(seed)
            if len(seeds) != n:
                raise ValueError(f"seed must be None, an int or num_envs={n} values, got {len(seeds)}")
        options = dict(options or {})
        mask = options.pop("reset_mask", None)
        if mask is None:
            mask = np.ones(n, dtype=np.bool_)
        elif not (isinstance(mask, np.ndarray) and mask.dtype == np.bool_ and mask.shape == (n,)):
            raise ValueError(f"options['reset_mask'] must be a bool array of shape ({n},)")
        types = _per_env(options.get("episode_type", self.episode_type), n, "episode_type")
        indices = _per_env(options.get("episode_index"), n, "episode_index")
        for t in types:
            if t not in EPISODE_TYPES:
                raise ValueError(f"episode_type must be 'train' or 'test', got {t!r}")
        chosen = [i for i in range(n) if mask[i]]
        for i in chosen:
            if seeds[i] is not None:
                self.sessions[i].np_random = seeding.np_random(seeds[i])[0]
        picks = [(self.sessions[i], types[i], _index(indices[i])) for i in chosen]
        results = self._gather(lambda: [s.reset(t, index) for s, t, index in picks])
        infos: dict[str, Any] = {}
        obs_list = [None] * n
        for i, (obs, info) in zip(chosen, results, strict=True):
            obs_list[i] = obs
            infos = self._add_info(infos, info, i)
            self._autoreset[i] = False
        self._store_observations(obs_list)
        return self._copy_observations(), infos

    def step(self, actions: Any) -> tuple[Any, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        n = self.num_envs
        plan = list(
            zip(self.sessions, self._autoreset.tolist(), iterate(self.action_space, actions), strict=True)
        )
        episode_type = self.episode_type
        results: list[Any] = self._gather(
            lambda: [s.reset(episode_type) if reset else s.step(a) for s, reset, a in plan]
        )
        rewards = np.zeros(n, dtype=np.float64)
        terminated = np.zeros(n, dtype=np.bool_)
        truncated = np.zeros(n, dtype=np.bool_)
        infos: dict[str, Any] = {}
        obs_list = []
        for i, result in enumerate(results):
            if self._autoreset[i]:
                obs, info = result
            else:
                obs, rewards[i], terminated[i], truncated[i], info = result
            obs_list.append(obs)
            infos = self._add_info(infos, info, i)
        self._store_observations(obs_list)
        self._autoreset = terminated | truncated
        return self._copy_observations(), rewards, terminated, truncated, infos

    def _store_observations(self, obs_list: list[Any]) -> None:
        # Sub-environments left out of a masked reset keep their last observation.
        for i, obs in enumerate(obs_list):
            if obs is not None:
                self._env_obs[i] = obs
        self._observations = concatenate(self.single_observation_space, self._env_obs, self._observations)

    def _copy_observations(self) -> Any:
        return deepcopy(self._observations)

    def command(self, name: str, *args: Any, **kwargs: Any) -> list[Any]:
        """Runs one engine command on every sub-environment concurrently; the results, in order."""
        return self._gather(lambda: [s.call(name, *args, **kwargs) for s in self.sessions])

    def loop_cpu_time(self) -> float:
        """CPU seconds the event-loop thread has used so far (for measuring overhead)."""
        return self._loop.cpu_time()

    def close_extras(self, **kwargs: Any) -> None:
        """Stops the loop thread, the peer processes this environment launched and the page server; the
        engines stay listening for the next environments on their addresses."""
        self._finalizer()


async def _gather_all(make: Callable[[], list[Awaitable[T]]]) -> list[T]:
    """Runs all to the end, then raises the first failure: no command is left running behind an error."""
    results = await asyncio.gather(*make(), return_exceptions=True)
    for r in results:
        if isinstance(r, BaseException):
            raise r
    return results  # type: ignore[return-value]


def _per_env(value: Any, n: int, name: str) -> list[Any]:
    if value is None or isinstance(value, (str, int, np.integer)):
        return [value] * n
    values = list(value)
    if len(values) != n:
        raise ValueError(f"options[{name!r}] must be one value or num_envs={n} values, got {len(values)}")
    return values


def _index(value: Any) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or int(value) != value or value < 0:
        raise ValueError(f"episode_index must be a whole number >= 0, got {value!r}")
    return int(value)
