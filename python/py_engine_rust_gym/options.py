"""The options of the environments, declared, defaulted and checked once.

``TradingUIEnv`` and ``TradingUIVectorEnv`` take the same keyword options; each is a field of
``EnvOptions`` with its default and its check here, and nowhere else.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .layout import CANDLE_COLUMNS, EPISODE_TYPES, MAX_EPISODES, MAX_WINDOW
from .session import ActionFn, ObservationFn, RewardFn, TerminatedFn

# What launch_peer may say, and what each means once resolved.
NODE, BROWSER = "node", "browser"
RENDER_MODES = (None, "rgb_array", "human")
# Frames per second of a recorded video: one frame a step.
RENDER_FPS = 30
# Seconds to wait for the first peer: a process starts in about one, a person opening a page takes longer.
LAUNCHED_CONNECT_SECS = 30.0
PERSON_CONNECT_SECS = 600.0


def whole_number(
    name: str, value: Any, low: int = 1, high: int | None = None, *, optional: bool = False
) -> int | None:
    """``value`` as an int in [low, high] (None allowed when ``optional``), else ValueError naming ``name``."""
    if value is None and optional:
        return None
    ok = not isinstance(value, bool) and isinstance(value, (int, np.integer))
    if ok and low <= value and (high is None or value <= high):
        return int(value)
    wanted = f"a whole number >= {low}" if high is None else f"a whole number from {low} to {high}"
    raise ValueError(f"{name} must be {'None or ' if optional else ''}{wanted}, got {value!r}")


def seconds(name: str, value: Any, *, optional: bool = False, positive: bool = False) -> float | None:
    if value is None and optional:
        return None
    ok = not isinstance(value, bool) and isinstance(value, (int, float, np.integer, np.floating))
    if ok and math.isfinite(value) and (value > 0 if positive else value >= 0):
        return float(value)
    wanted = "a number of seconds " + ("> 0" if positive else ">= 0")
    raise ValueError(f"{name} must be {'None or ' if optional else ''}{wanted}, got {value!r}")


def episode_type(value: Any) -> str:
    if value not in EPISODE_TYPES:
        raise ValueError(f"episode_type must be 'train' or 'test', got {value!r}")
    return value


def episode_index(value: Any) -> int | None:
    return whole_number("episode_index", value, 0, MAX_EPISODES - 1, optional=True)


@dataclass(frozen=True, eq=False)
class EnvOptions:
    """Everything an environment is made with besides its address; see ``TradingUIEnv`` for each option.

    ``launch_peer`` is resolved here: "node" (also True, and the default), "browser" (the default with
    ``render_mode="rgb_array"``), or None for a peer that connects by itself (also False, and the default
    with ``render_mode="human"``).
    """

    launch_peer: bool | str | None = None
    peer_seed: int = 1
    peer_args: Sequence[str] = ()
    node: str | None = None
    browser: str | None = None
    page_url: str | None = None
    serve_page: bool = True
    candles: np.ndarray | None = None
    connect_timeout: float | None = None
    reconnect_timeout: float = 30.0
    call_timeout: float | None = None
    episode_type: str = "train"
    max_episode_steps: int | None = None
    units: int = 1
    order_type: str = "market"
    window: int | None = None
    observation_fn: ObservationFn | None = None
    observation_space: Any = None
    action_fn: ActionFn | None = None
    action_space: Any = None
    reward_fn: RewardFn | None = None
    terminated_fn: TerminatedFn | None = None
    render_mode: str | None = None
    verbose: bool = True

    def __post_init__(self) -> None:
        set_ = object.__setattr__
        if self.render_mode not in RENDER_MODES:
            raise ValueError(f"render_mode must be None, 'rgb_array' or 'human', got {self.render_mode!r}")
        set_(self, "launch_peer", _launch(self.launch_peer, self.render_mode))
        if self.render_mode == "human" and self.launch_peer is not None:
            raise ValueError("render_mode='human' shows the page to a person: it needs launch_peer=False")
        if self.render_mode == "rgb_array" and self.launch_peer != BROWSER:
            raise ValueError(
                "render_mode='rgb_array' takes screenshots of a page: it needs launch_peer='browser'"
            )
        whole_number("peer_seed", self.peer_seed, 0, 2**32 - 1)
        for name in ("node", "browser", "page_url"):
            if getattr(self, name) is not None and not isinstance(getattr(self, name), str):
                raise ValueError(f"{name} must be None or a str, got {getattr(self, name)!r}")
        if self.page_url is not None and self.launch_peer != BROWSER:
            raise ValueError("page_url is the page a launched browser opens: it needs launch_peer='browser'")
        if isinstance(self.peer_args, str) or not all(isinstance(a, str) for a in self.peer_args):
            raise ValueError(f"peer_args must be a sequence of str, got {self.peer_args!r}")
        set_(self, "peer_args", tuple(self.peer_args))
        if self.candles is not None:
            candles = np.ascontiguousarray(self.candles, dtype=np.float64)
            if candles.ndim != 2 or candles.shape[1] != CANDLE_COLUMNS:
                raise ValueError(
                    f"candles must be rows of open, high, low, close, volume (n x 5), got shape {candles.shape}"
                )
            set_(self, "candles", candles)
        connect = seconds("connect_timeout", self.connect_timeout, optional=True, positive=True)
        if connect is None:
            connect = PERSON_CONNECT_SECS if self.launch_peer is None else LAUNCHED_CONNECT_SECS
        set_(self, "connect_timeout", connect)
        seconds("reconnect_timeout", self.reconnect_timeout)
        seconds("call_timeout", self.call_timeout, optional=True, positive=True)
        episode_type(self.episode_type)
        whole_number("max_episode_steps", self.max_episode_steps, optional=True)
        whole_number("units", self.units)
        if self.order_type not in ("market", "limit"):
            raise ValueError(f"order_type must be 'market' or 'limit', got {self.order_type!r}")
        whole_number("window", self.window, 1, MAX_WINDOW, optional=True)
        if self.observation_fn is not None and self.observation_space is None:
            raise ValueError("observation_fn needs observation_space (the space its observations belong to)")
        for name in ("observation_fn", "action_fn", "reward_fn", "terminated_fn"):
            fn = getattr(self, name)
            if fn is not None and not callable(fn):
                raise TypeError(f"{name} must be callable, got {type(fn).__name__}")

    @property
    def render_modes(self) -> list[str]:
        """The render modes an environment made with these options can be made again with: screenshots
        of a launched browser's pages, a person's own browser for a peer that connects by itself."""
        kind = self.launch_peer if isinstance(self.launch_peer, str) else None
        return {BROWSER: ["rgb_array"], None: ["human"]}.get(kind, [])

    @classmethod
    def of(cls, owner: str, options: Mapping[str, Any]) -> EnvOptions:
        """The options of ``owner``'s keyword arguments, with unknown names refused as Python would."""
        unknown = [name for name in options if name not in _FIELDS]
        if unknown:
            raise TypeError(f"{owner}() got an unexpected keyword argument {unknown[0]!r}")
        return cls(**options)

    def replace(self, **changes: Any) -> EnvOptions:
        return dataclasses.replace(self, **changes)


_FIELDS = frozenset(f.name for f in dataclasses.fields(EnvOptions))


def _launch(value: Any, render_mode: str | None) -> str | None:
    if value is None:
        return {"human": None, "rgb_array": BROWSER}.get(render_mode or "", NODE)
    if value is True or value == NODE:
        return NODE
    if value is False:
        return None
    if value == BROWSER:
        return BROWSER
    raise ValueError(f"launch_peer must be True, False, None, 'node' or 'browser', got {value!r}")


def from_config(owner: str, first: Any, rest: Mapping[str, Any]) -> dict[str, Any] | None:
    """RLlib's convention: an environment made with one mapping (an ``EnvContext``) as its only argument
    takes it as its keyword arguments. Returns that mapping as a dict, or None when ``first`` is not one."""
    if not isinstance(first, Mapping):
        return None
    if any(value is not None for value in rest.values()):
        raise TypeError(f"{owner}() takes a configuration mapping as its only argument, or keyword arguments")
    return dict(first)


def check_host(host: Any) -> str:
    if not isinstance(host, str):
        raise TypeError(f"host must be a str, got {type(host).__name__}")
    return host
