"""``SB3VecEnv``: a ``TradingUIVectorEnv`` as Stable-Baselines3's ``VecEnv``.

SB3 steps its environments through a ``VecEnv`` of its own, not Gymnasium's ``VectorEnv``: ``step``
returns ``(obs, rewards, dones, infos)`` with one info dict per sub-environment, and a sub-environment
whose episode ends is reset in that same step, with its last observation in
``infos[i]["terminal_observation"]`` and ``infos[i]["TimeLimit.truncated"]`` telling a time limit from a
real end. That is Gymnasium's ``SAME_STEP`` autoreset, so the vector environment must be made with it::

    from gymnasium.vector import AutoresetMode
    from stable_baselines3 import PPO
    from stable_baselines3.common.vec_env import VecMonitor
    from py_engine_rust_gym import TradingUIVectorEnv
    from py_engine_rust_gym.sb3 import SB3VecEnv

    venv = VecMonitor(SB3VecEnv(TradingUIVectorEnv(8, autoreset_mode=AutoresetMode.SAME_STEP)))
    PPO("MlpPolicy", venv, seed=0).learn(10_000)

Everything else is as ``DummyVecEnv`` of the single environments does it, so that a learner sees the
same numbers from either: rewards are float32, an ended sub-environment's info is its last step's, and
seeds (``seed(s)``: sub-environment i gets s + i) and options (``set_options``) apply at the next
``reset`` only. The adapter adds no monitor; ``VecMonitor`` gives SB3 its episode statistics.

Needs Stable-Baselines3: ``pip install "py_engine_rust[sb3]"``.
"""

from __future__ import annotations

import warnings
from collections.abc import Sequence
from typing import Any

import gymnasium as gym
import numpy as np
from gymnasium.vector import AutoresetMode

try:
    from stable_baselines3.common.vec_env.base_vec_env import VecEnv, VecEnvIndices
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError(
        'py_engine_rust_gym.sb3 needs Stable-Baselines3: pip install "py_engine_rust[sb3]"'
    ) from e

from .vector import TradingUIVectorEnv

# Attributes each sub-environment has of its own, by where the vector environment keeps them; any other
# attribute is the vector environment's, which all its sub-environments share.
_OWN = {
    "session": lambda v, i: v.sessions[i],
    "url": lambda v, i: v.urls[i],
    "port": lambda v, i: v.ports[i],
    "peer_pid": lambda v, i: v.peer_pids[i],
    "config": lambda v, i: v.sessions[i].config,
}


class SB3VecEnv(VecEnv):
    """``venv`` (a ``TradingUIVectorEnv`` made with ``autoreset_mode=AutoresetMode.SAME_STEP``, possibly
    inside Gymnasium vector wrappers) behind SB3's ``VecEnv`` interface.

    Per sub-environment, as SB3's methods take ``indices``:

    - ``get_attr``: ``session``, ``url``, ``port``, ``peer_pid`` and ``config`` are each sub-environment's
      own; any other attribute is the vector environment's, the same for all.
    - ``set_attr`` sets an attribute of the vector environment (``episode_type``, say), so it takes all
      sub-environments or none.
    - ``env_method("command", name, ...)`` runs an engine command on the chosen sub-environments. Any
      other method is the vector environment's, which acts on all of them at once: it is called once, for
      all indices, and each gets its result.
    - ``env_is_wrapped(cls)``: True where a Gymnasium vector wrapper of that class wraps the vector
      environment (it wraps every sub-environment); the sub-environments themselves are never wrapped.

    ``close()`` closes ``venv``. Use from one thread.
    """

    def __init__(self, venv: gym.vector.VectorEnv):
        base = getattr(venv, "unwrapped", None)
        if not isinstance(base, TradingUIVectorEnv):
            raise TypeError(f"SB3VecEnv adapts a TradingUIVectorEnv, got {type(venv).__name__}")
        mode = AutoresetMode(venv.metadata.get("autoreset_mode", AutoresetMode.NEXT_STEP))
        if mode != AutoresetMode.SAME_STEP:
            raise ValueError(
                "SB3VecEnv needs a TradingUIVectorEnv made with autoreset_mode=AutoresetMode.SAME_STEP "
                f"(SB3 resets an ended environment in the step that ends it), got {mode}"
            )
        self.venv = venv
        self._base = base
        # Without copies the vector environment hands out one batch it overwrites; SB3 keeps observations.
        self._copy = not base.copy
        self._actions: np.ndarray | None = None
        super().__init__(base.num_envs, base.single_observation_space, base.single_action_space)
        self.metadata = dict(base.metadata)

    # ---- stepping ------------------------------------------------------------------------------------------

    def reset(self) -> Any:
        n = self.num_envs
        seeds = None if all(s is None for s in self._seeds) else list(self._seeds)
        # Sub-environments with the same options are reset together; most often that is all of them.
        groups: list[tuple[dict[str, Any], list[int]]] = []
        for i, options in enumerate(self._options):
            for same, members in groups:
                if same == options:
                    members.append(i)
                    break
            else:
                groups.append((options, [i]))
        obs: Any = None
        for options, members in groups:
            if len(members) == n:
                obs, infos = self.venv.reset(seed=seeds, options=dict(options) or None)
            else:
                mask = np.zeros(n, dtype=np.bool_)
                mask[members] = True
                obs, infos = self.venv.reset(seed=seeds, options={**options, "reset_mask": mask})
            unbatched = _unbatch(infos, n)
            for i in members:
                self.reset_infos[i] = unbatched[i]
        self._reset_seeds()
        self._reset_options()
        return self._own(obs)

    def step_async(self, actions: np.ndarray) -> None:
        self._actions = actions

    def step_wait(self) -> tuple[Any, np.ndarray, np.ndarray, list[dict[str, Any]]]:
        if self._actions is None:
            raise RuntimeError("step_wait() without step_async(actions) first")
        actions, self._actions = self._actions, None
        obs, rewards, terminated, truncated, batched = self.venv.step(actions)
        dones = terminated | truncated
        infos = _unbatch(batched, self.num_envs)
        if dones.any():
            final_infos = _unbatch(batched["final_info"], self.num_envs)
            for i in np.flatnonzero(dones).tolist():
                # The step's info is the reset's; the ended episode's last one is SB3's info of the step.
                del infos[i]["final_obs"], infos[i]["final_info"]
                self.reset_infos[i] = infos[i]
                infos[i] = final_infos[i]
        for i, info in enumerate(infos):
            info["TimeLimit.truncated"] = bool(truncated[i] and not terminated[i])
            if dones[i]:
                info["terminal_observation"] = batched["final_obs"][i]
        return self._own(obs), rewards.astype(np.float32), dones, infos

    def _own(self, obs: Any) -> Any:
        return np.copy(obs) if self._copy else obs

    def close(self) -> None:
        self.venv.close()

    def get_images(self) -> Sequence[np.ndarray | None]:
        if self.render_mode != "rgb_array":
            warnings.warn(
                f"The render mode is {self.render_mode}, but this method assumes it is `rgb_array` to "
                "obtain images."
            )
            return [None] * self.num_envs
        frames = self.venv.render()
        return list(frames) if frames is not None else [None] * self.num_envs

    # ---- per sub-environment -------------------------------------------------------------------------------

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        chosen = list(self._get_indices(indices))
        own = _OWN.get(attr_name)
        if own is not None:
            return [own(self._base, i) for i in chosen]
        value = getattr(self._base, attr_name)
        return [value] * len(chosen)

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        if attr_name in _OWN:
            raise AttributeError(f"{attr_name} is each sub-environment's own and cannot be set")
        self._all("set_attr", attr_name, indices)
        setattr(self._base, attr_name, value)

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> list[Any]:
        chosen = list(self._get_indices(indices))
        if method_name == "command":
            return self._base.command(*method_args, indices=chosen, **method_kwargs)
        self._all("env_method", method_name, indices)
        result = getattr(self._base, method_name)(*method_args, **method_kwargs)
        return [result] * len(chosen)

    def env_is_wrapped(self, wrapper_class: type[gym.Wrapper], indices: VecEnvIndices = None) -> list[bool]:
        wrapped, env = False, self.venv
        while isinstance(env, gym.vector.VectorWrapper):
            wrapped = wrapped or isinstance(env, wrapper_class)
            env = env.env
        return [wrapped] * len(list(self._get_indices(indices)))

    def _all(self, method: str, name: str, indices: VecEnvIndices) -> None:
        if sorted(self._get_indices(indices)) != list(range(self.num_envs)):
            raise ValueError(
                f"{method}({name!r}): {name} belongs to the TradingUIVectorEnv, which all sub-environments "
                "share: give no indices"
            )


def _unbatch(infos: dict[str, Any], n: int) -> list[dict[str, Any]]:
    """Gymnasium's vector infos (a batch per key, with its ``_key`` mask) as one dict per sub-environment,
    with NumPy scalars as the Python values a single environment returned."""
    out: list[dict[str, Any]] = [{} for _ in range(n)]
    for key, values in infos.items():
        if key.startswith("_") and key[1:] in infos:
            continue
        mask = infos.get(f"_{key}")
        if isinstance(values, dict):
            values = _unbatch(values, n)
        for i in range(n) if mask is None else np.flatnonzero(mask).tolist():
            value = values[i]
            out[i][key] = value.item() if isinstance(value, np.generic) else value
    return out
