"""``TradingUIVectorEnv``: N engines, one UI peer each, stepped concurrently on one event loop."""

from __future__ import annotations

import weakref
from collections.abc import Sequence
from copy import deepcopy
from typing import Any

import gymnasium as gym
import numpy as np
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode
from gymnasium.vector.utils import batch_space, concatenate, create_empty_array, iterate

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


class TradingUIVectorEnv(TradingMappings, gym.vector.VectorEnv):
    """``num_envs`` trading UIs in one process: one engine and one UI peer each, all driven from one event
    loop in a background thread. ``step`` sends every sub-environment's commands concurrently
    (``asyncio.gather``), so N environments cost about one round trip of wall time, with no subprocesses
    and no pickling.

    ``autoreset_mode`` is Gymnasium's: ``NEXT_STEP`` (the default: the step after a sub-environment ends
    resets it, ignores its action and returns the new episode's first observation with reward 0),
    ``SAME_STEP`` (the ending step resets it at once and returns the new episode's first observation; the
    last one and its info are in ``infos["final_obs"]`` and ``infos["final_info"]``) or ``DISABLED`` (the
    caller resets ended sub-environments with ``reset(options={"reset_mask": ...})``). ``copy=False``
    returns the observation batch without copying it; the next ``step`` or ``reset`` overwrites it.

    ``ports`` gives one port per sub-environment (None entries, or ``ports=None``, pick free ones). Every
    other option means what it means for ``TradingUIEnv`` and applies to each sub-environment; all of them
    launch their peers with the same ``peer_seed``, so they see the same market and differ in the episodes
    they draw. ``reset(seed=s)`` seeds sub-environment i with s + i. ``options`` may hold ``episode_type``
    and ``episode_index`` (one value for all, or one per sub-environment) and Gymnasium's ``reset_mask``.
    The ``episode_type`` attribute drives resets without options, autoresets included.
    ``command(name, ...)`` runs an engine command on every sub-environment.
    """

    metadata: dict[str, Any] = {
        "render_modes": ["rgb_array", "human"],
        "render_fps": RENDER_FPS,
        "autoreset_mode": AutoresetMode.NEXT_STEP,
    }

    def __init__(
        self,
        num_envs: Any,
        host: Any = "127.0.0.1",
        ports: Sequence[int | None] | None = None,
        launch_peer: Any = None,
        *,
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        copy: bool = True,
        **options: Any,
    ):
        config = from_config(
            "TradingUIVectorEnv",
            num_envs,
            {"host": None, "ports": ports, "launch_peer": launch_peer, **options},
        )
        if config is not None:
            if host != "127.0.0.1":
                raise TypeError("TradingUIVectorEnv() takes a configuration mapping as its only argument")
            num_envs = config.pop("num_envs", 1)
            host = config.pop("host", "127.0.0.1")
            ports = config.pop("ports", None)
            launch_peer = config.pop("launch_peer", None)
            autoreset_mode = config.pop("autoreset_mode", autoreset_mode)
            copy = config.pop("copy", copy)
            options = config
        self.num_envs = n = int(whole_number("num_envs", num_envs) or 1)
        host = check_host(host)
        ports = [None] * n if ports is None else list(ports)
        if len(ports) != n:
            raise ValueError(f"ports must hold num_envs={n} entries, got {len(ports)}")
        for port in ports:
            whole_number("port", port, 1, 65535, optional=True)
        self.autoreset_mode = AutoresetMode(autoreset_mode)
        self.copy = bool(copy)
        self.options = EnvOptions.of("TradingUIVectorEnv", {"launch_peer": launch_peer, **options})
        self._use_options(self.options)
        self.render_mode = self.options.render_mode
        self.episode_type = self.options.episode_type
        self.metadata = {
            **type(self).metadata,
            "render_modes": self.options.render_modes,
            "autoreset_mode": self.autoreset_mode,
        }
        self._resources = Resources()
        self._finalizer = weakref.finalize(self, self._resources.release)
        try:
            self.sessions = self._resources.open(self, self.options, host, ports)
            self.urls = [s.url for s in self.sessions]
            self.single_observation_space, self.single_action_space = _same_spaces(self.sessions)
            self.observation_space = batch_space(self.single_observation_space, n)
            self.action_space = batch_space(self.single_action_space, n)
            self._observations: Any = create_empty_array(self.single_observation_space, n=n, fn=np.zeros)
            # Until its first reset a sub-environment's observation is zeros, as in Gymnasium's vectorizers.
            self._env_obs: list[Any] = [
                deepcopy(o) for o in iterate(self.observation_space, self._observations)
            ]
            self._autoreset = np.zeros(n, dtype=np.bool_)
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
        return [s.launched.pid if s.launched is not None else None for s in self.sessions]

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
        mask = _reset_mask(options.pop("reset_mask", None), n)
        types = [
            episode_type(t)
            for t in _per_env(options.get("episode_type", self.episode_type), n, "episode_type")
        ]
        indices = [episode_index(i) for i in _per_env(options.get("episode_index"), n, "episode_index")]
        chosen = [i for i in range(n) if mask[i]]
        for i in chosen:
            if seeds[i] is not None:
                self.sessions[i].np_random = seeding.np_random(seeds[i])[0]
        picks = [(self.sessions[i], types[i], indices[i]) for i in chosen]
        results = self._resources.gather(lambda: [s.reset(t, index) for s, t, index in picks], "reset()")
        infos: dict[str, Any] = {}
        for i, (obs, info) in zip(chosen, results, strict=True):
            self._env_obs[i] = obs
            infos = self._add_info(infos, info, i)
            self._autoreset[i] = False
        return self._batch(), infos

    def step(self, actions: Any) -> tuple[Any, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        n = self.num_envs
        mode = self.autoreset_mode
        if mode == AutoresetMode.DISABLED and self._autoreset.any():
            waiting = np.flatnonzero(self._autoreset).tolist()
            raise RuntimeError(
                f"sub-environments {waiting} ended their episodes; with autoreset_mode DISABLED, reset them "
                "(options={'reset_mask': ...}) before stepping them again"
            )
        resetting = self._autoreset.tolist() if mode == AutoresetMode.NEXT_STEP else [False] * n
        plan = list(zip(self.sessions, resetting, iterate(self.action_space, actions), strict=True))
        kind = self.episode_type
        results: list[Any] = self._resources.gather(
            lambda: [s.reset(kind) if reset else s.step(a) for s, reset, a in plan], "step()"
        )
        rewards = np.zeros(n, dtype=np.float64)
        terminated = np.zeros(n, dtype=np.bool_)
        truncated = np.zeros(n, dtype=np.bool_)
        for i, result in enumerate(results):
            if not resetting[i]:
                _, rewards[i], terminated[i], truncated[i], _ = result
        ended = terminated | truncated
        resets: dict[int, Any] = {}
        if mode == AutoresetMode.SAME_STEP and ended.any():
            again = np.flatnonzero(ended).tolist()
            resets = dict(
                zip(
                    again,
                    self._resources.gather(lambda: [self.sessions[i].reset(kind) for i in again], "step()"),
                )
            )
        # Built in sub-environment order exactly as SyncVectorEnv builds its infos.
        infos: dict[str, Any] = {}
        for i, result in enumerate(results):
            obs, info = (result[0], result[-1])
            if i in resets:
                infos = self._add_info(infos, {"final_obs": obs, "final_info": info}, i)
                obs, info = resets[i]
            self._env_obs[i] = obs
            infos = self._add_info(infos, info, i)
        self._autoreset = ended
        return self._batch(), rewards, terminated, truncated, infos

    def _add_info(
        self, vector_infos: dict[str, Any], env_info: dict[str, Any], env_num: int
    ) -> dict[str, Any]:
        """Gymnasium's ``VectorEnv._add_info``, to the same result and key order, without allocating a mask
        for every key of every sub-environment (there its default argument is built each time): this runs
        num_envs times a step, on the step's critical path."""
        n = self.num_envs
        for key, value in env_info.items():
            if key == "final_obs":
                array = vector_infos.get(key)
                if array is None:
                    array = np.full(n, fill_value=None, dtype=object)
                array[env_num] = value
            elif isinstance(value, dict):
                array = self._add_info(vector_infos.get(key, {}), value, env_num)
            else:
                array = vector_infos.get(key)
                if array is None:
                    kind = type(value)
                    if kind in (int, float, bool) or issubclass(kind, np.number):
                        array = np.zeros(n, dtype=kind)
                    elif isinstance(value, np.ndarray):
                        array = np.zeros((n, *value.shape), dtype=value.dtype)
                    else:
                        array = np.full(n, fill_value=None, dtype=object)
                array[env_num] = value
            mask_key = "_" + key
            mask = vector_infos.get(mask_key)
            if mask is None:
                mask = np.zeros(n, dtype=np.bool_)
            mask[env_num] = True
            vector_infos[key], vector_infos[mask_key] = array, mask
        return vector_infos

    def _batch(self) -> Any:
        self._observations = concatenate(self.single_observation_space, self._env_obs, self._observations)
        if not self.copy:
            return self._observations
        if isinstance(self._observations, np.ndarray):
            return self._observations.copy()
        return deepcopy(self._observations)

    def render(self) -> tuple[Any, ...] | None:
        """With ``render_mode="rgb_array"``: one screenshot per sub-environment (H x W x 3 uint8), as
        Gymnasium's vector environments return their sub-environments' frames."""
        if self.render_mode == "rgb_array":
            return tuple(self._resources.run(self._resources.screenshots(), "render()"))
        if self.render_mode is None:
            gym.logger.warn("render() was called without a render_mode; give one to the constructor")
        return None

    def command(
        self, name: str, *args: Any, indices: Sequence[int] | None = None, **kwargs: Any
    ) -> list[Any]:
        """Runs one engine command on every sub-environment (or those at ``indices``) concurrently; the
        results, in order."""
        chosen = self.sessions if indices is None else [self.sessions[i] for i in indices]
        return self._resources.gather(
            lambda: [s.call(name, *args, **kwargs) for s in chosen], f"command({name!r})"
        )

    def loop_cpu_time(self) -> float:
        """CPU seconds the event-loop thread has used so far (for measuring overhead)."""
        return self._resources.loop.cpu_time()

    def close_extras(self, **kwargs: Any) -> None:
        """Stops the loop thread, the peer processes this environment launched and the page server; the
        engines stay listening for the next environments on their addresses."""
        # Gymnasium 1.2 (RLlib's) also closes from VectorEnv.__del__, even after a constructor that failed
        # before there was anything to release.
        finalizer = getattr(self, "_finalizer", None)
        if finalizer is not None:
            finalizer()


def _same_spaces(sessions: list[Session]) -> tuple[Any, Any]:
    """The sub-environments' spaces, which must all be the first one's (their peers' settings may differ)."""
    first = sessions[0].spaces
    assert first is not None
    for i, s in enumerate(sessions[1:], 1):
        assert s.spaces is not None
        for what, mine, theirs in (("observation", s.spaces[0], first[0]), ("action", s.spaces[1], first[1])):
            if mine != theirs:
                raise RuntimeError(
                    f"sub-environment {i}'s UI peer ({s.url}) gives the {what} space {mine}, not {theirs} "
                    "as sub-environment 0's: all peers of a vector environment need the same settings"
                )
    return first


def _reset_mask(mask: Any, n: int) -> np.ndarray:
    if mask is None:
        return np.ones(n, dtype=np.bool_)
    if not isinstance(mask, np.ndarray):
        raise TypeError(f"`options['reset_mask']` must be a numpy array, got {type(mask)}")
    if mask.shape != (n,):
        raise ValueError(f"`options['reset_mask']` must have shape `({n},)`, got {mask.shape}")
    if mask.dtype != np.bool_:
        raise TypeError(f"`options['reset_mask']` must have `dtype=np.bool_`, got {mask.dtype}")
    if not mask.any():
        raise ValueError(
            f"`options['reset_mask']` must contain at least one True value, got reset_mask={mask}"
        )
    return mask


def _per_env(value: Any, n: int, name: str) -> list[Any]:
    if value is None or isinstance(value, (str, int, np.integer)):
        return [value] * n
    values = list(value)
    if len(values) != n:
        raise ValueError(f"options[{name!r}] must be one value or num_envs={n} values, got {len(values)}")
    return values
