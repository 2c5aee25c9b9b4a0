"""What the bundled UI peer's answers hold (docs/protocol.md), and how a value from a peer is checked.

Columns are named here once; the rest of the package uses these names, never bare indices. A peer is
outside this process and may send anything: every number this package turns into an index, a count, an id
or a size goes through ``peer_int``, and the configuration through ``parse_config``; a value out of range
raises ``PeerError`` naming the field and the value.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .errors import PeerError

# The snapshot (get_snapshot, and the vector of step_and_sync).
EQUITY, BALANCE, UNREALIZED_PNL, OPEN_POSITIONS, PENDING_ORDERS = 0, 1, 2, 3, 4
STEP, DONE, LAST_CLOSE, EPISODE_INDEX, EPISODE_TYPE, CANDLE_INDEX = 5, 6, 7, 8, 9, 10
SNAPSHOT_FIELDS = (
    "equity", "balance", "unrealized_pnl", "open_positions", "pending_orders",
    "step", "done", "last_close", "episode_index", "episode_type", "candle_index",
)  # fmt: skip
# The candle window (the matrix of step_and_sync) and init_candles / get_ohlc rows.
CANDLE_OPEN, CANDLE_HIGH, CANDLE_LOW, CANDLE_CLOSE, CANDLE_VOLUME = 0, 1, 2, 3, 4
CANDLE_COLUMNS = 5
# The answer of place_order and place_ticket.
ORDER_ACCEPTED, ORDER_ID, ORDER_FILLED, ORDER_PRICE, ORDER_REASON = 0, 1, 2, 3, 4
# get_ticket_list rows.
TICKET_ID, TICKET_SIDE, TICKET_UNITS = 0, 1, 2
# close_positions action codes.
CLOSE_FULLY, CLOSE_REDUCE = 1, 2
# episode_type in reset_episode and in the snapshot.
EPISODE_TYPES = ("train", "test")

# Bounds on what a peer's configuration may ask for. A window is the candles of one observation: 4096 of
# them make an observation of 20,483 values, more than any policy here looks at, and a bound keeps a
# peer's typo from allocating gigabytes. Episode counts and indices are the engine's u32 episode index.
MAX_WINDOW = 4096
MAX_EPISODES = 2**32
MAX_EPISODE_LENGTH = 2**32
# Position ids travel to close_positions as signed 32-bit integers.
ID_RANGE = (-(2**31), 2**31 - 1)
# A configuration is a small JSON object.
MAX_CONFIG_CHARS = 1 << 20


def starts_episode(snapshot: np.ndarray, index: int, episode_type: str) -> bool:
    """Whether ``snapshot`` is the first step of episode ``index`` of ``episode_type``."""
    if snapshot.shape[0] <= EPISODE_TYPE:
        return True
    return bool(
        snapshot[EPISODE_INDEX] == index
        and snapshot[EPISODE_TYPE] == EPISODE_TYPES.index(episode_type)
        and snapshot[STEP] == 1
    )


def continues_episode(prev: np.ndarray, snapshot: np.ndarray) -> bool:
    """Whether ``snapshot`` is the step after ``prev`` in the same episode: the same episode index and
    type, and the step one further (the same once the episode is done)."""
    if prev.shape[0] <= EPISODE_TYPE or snapshot.shape[0] <= EPISODE_TYPE:
        return True
    expected = prev[STEP] + (0 if prev[DONE] == 1 else 1)
    return bool(
        snapshot[EPISODE_INDEX] == prev[EPISODE_INDEX]
        and snapshot[EPISODE_TYPE] == prev[EPISODE_TYPE]
        and snapshot[STEP] == expected
    )


def peer_int(value: Any, field: str, low: int, high: int) -> int:
    """``value`` (a float from a peer's answer, or a JSON number) as an int in [low, high], else PeerError."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise PeerError(f"the UI peer sent {field} = {value!r}, not a number")
    if isinstance(value, float) and not (math.isfinite(value) and value.is_integer()):
        raise PeerError(f"the UI peer sent {field} = {value!r}, not a whole number")
    if not low <= value <= high:
        raise PeerError(f"the UI peer sent {field} = {value!r}, outside {low} to {high}")
    return int(value)


def peer_float(value: Any, field: str) -> float:
    """``value`` as a finite float, else PeerError."""
    f = float(value)
    if not math.isfinite(f):
        raise PeerError(f"the UI peer sent {field} = {f!r}, not a finite number")
    return f


@dataclass(frozen=True)
class PeerConfig:
    """The settings of ``get_rl_config`` this package uses, checked; ``raw`` is the whole object."""

    raw: dict[str, Any]
    window: int | None = None
    train_episodes: int | None = None
    test_episodes: int | None = None
    episode_length: int | None = None
    # Whether the snapshot names its step, done, episode index and type columns as the bundled peer's
    # does, so that their values can tell whether two snapshots are of one episode.
    episode_columns: bool = False

    def episodes(self, episode_type: str) -> int | None:
        return self.train_episodes if episode_type == "train" else self.test_episodes


_BOUNDS = {
    "window": MAX_WINDOW,
    "train_episodes": MAX_EPISODES,
    "test_episodes": MAX_EPISODES,
    "episode_length": MAX_EPISODE_LENGTH,
}


def parse_config(text: str) -> PeerConfig:
    """A peer's ``get_rl_config`` answer, checked. Empty text or "{}" is a peer with no settings."""
    if not text.strip():
        return PeerConfig({})
    if len(text) > MAX_CONFIG_CHARS:
        raise PeerError(
            f"the UI peer sent get_rl_config of {len(text)} characters, more than {MAX_CONFIG_CHARS}"
        )
    try:
        raw = json.loads(text)
    except RecursionError:
        raise PeerError("the UI peer sent get_rl_config nested too deeply to read") from None
    except ValueError as e:
        raise PeerError(f"the UI peer sent get_rl_config = {_clip(text)}, not JSON ({e})") from None
    if not isinstance(raw, dict):
        raise PeerError(f"the UI peer sent get_rl_config = {_clip(text)}, not a JSON object")
    values = {
        key: peer_int(raw[key], f"get_rl_config {key}", 1, high)
        for key, high in _BOUNDS.items()
        if key in raw
    }
    fields = raw.get("snapshot_fields")
    named = isinstance(fields, list) and all(
        i < len(fields) and fields[i] == SNAPSHOT_FIELDS[i] for i in (STEP, DONE, EPISODE_INDEX, EPISODE_TYPE)
    )
    return PeerConfig(raw, **values, episode_columns=named)


def _clip(text: str, limit: int = 80) -> str:
    return repr(text if len(text) <= limit else text[:limit] + "...")
