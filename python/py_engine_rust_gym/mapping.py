"""How an environment turns the UI's answers into observations and rewards, and actions into commands.

The defaults fit the bundled UI peer (docs/protocol.md: its snapshot and ticket columns). For another UI,
replace any of them, either by passing a callable to the environment or by overriding the method in a
subclass of ``TradingUIEnv`` or ``TradingUIVectorEnv``:

- observation: ``observation_fn(window, snapshot, session) -> obs`` (with ``observation_space=``), or the
  method ``observe(self, window, snapshot, session)`` (with ``make_spaces(self, config)``);
- action: ``action_fn(action, session)``, a plain or ``async`` function (``action_space=`` if it is not
  ``Discrete(4)``), or ``async act(self, action, session)``;
- reward: ``reward_fn(prev_snapshot, snapshot, session) -> float``, or ``step_reward(self, ...)``;
- termination: ``terminated_fn(snapshot, session) -> bool``, or ``is_terminated(self, ...)``;
- the info dict of each step: ``make_info(self, snapshot, session)``;
- whether a snapshot continues the episode of the one before (else a different peer took over):
  ``continues(self, prev_snapshot, snapshot, session)``.

``window`` and ``snapshot`` are what ``step_and_sync`` answered (a candles x columns matrix and a vector),
``session`` is the environment's ``Session`` for that engine (``session.call(...)`` for commands with the
environment's error handling, ``session.engine`` for the raw engine, ``session.user`` for a hook's own
state). A callable wins over the method; an ``observation_fn`` needs its ``observation_space``.
"""

from __future__ import annotations

import functools
import inspect
import math
from dataclasses import dataclass, field
from typing import Any

import gymnasium as gym
import numpy as np

from .layout import (
    CANDLE_CLOSE,
    CANDLE_COLUMNS,
    CANDLE_VOLUME,
    CLOSE_FULLY,
    DONE,
    EQUITY,
    ID_RANGE,
    OPEN_POSITIONS,
    ORDER_ACCEPTED,
    ORDER_ID,
    STEP,
    UNREALIZED_PNL,
    continues_episode,
    peer_float,
    peer_int,
)
from .options import EnvOptions
from .session import ActionFn, ObservationFn, RewardFn, Session, TerminatedFn

# The default actions.
HOLD, LONG, SHORT, CLOSE = 0, 1, 2, 3
# The position features appended to the candle window: side, unrealized pnl in % of equity, episode progress.
POSITION_FEATURES = 3
DEFAULT_WINDOW = 32
# Observation bounds: finite, so that learners can scale by them; values beyond are clipped.
PRICE_PCT_LIMIT = 100.0
PNL_PCT_LIMIT = 100.0


@dataclass
class Position:
    """What the default action mapping has opened in one session's episode."""

    episode_serial: int
    side: int = 0  # 1 long, -1 short, 0 flat
    ids: list[int] = field(default_factory=list)


class TradingMappings:
    """The mappings between a Gymnasium agent and the bundled UI peer, each replaceable.

    Observation: a flat ``float32`` vector of ``window x 5 + 3`` values: the last ``window`` candles
    (open, high, low, close as percent away from the last close; volume over the window's mean volume),
    row by row, oldest first, then the position (side 1/0/-1, unrealized pnl in percent of equity, and the
    episode's progress from 0 to 1). Every value lies in the space, whatever the peer sends: NaN becomes 0,
    and everything else (infinities included) is clipped to the bounds.

    Action: ``Discrete(4)``: 0 hold, 1 go long, 2 go short, 3 close. Going long or short first closes a
    position on the other side, then enters ``units`` units through ``place_ticket`` (a market order), or
    through ``place_order`` as a limit order at the last close when ``order_type="limit"`` (it fills at
    once on the bundled peer). Going the way the position already is does nothing. Closing uses
    ``close_positions`` on the positions the environment opened. The position is this mapping's own
    state, one per session (``position(session)``).

    Reward: the change of equity (snapshot column 0) over the step. Terminated: when the peer reports the
    episode done (snapshot column 6).
    """

    units: int = 1
    order_type: str = "market"
    window: int | None = None
    observation_fn: ObservationFn | None = None
    action_fn: ActionFn | None = None
    reward_fn: RewardFn | None = None
    terminated_fn: TerminatedFn | None = None
    _observation_space: gym.Space[Any] | None = None
    _action_space: gym.Space[Any] | None = None

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        # The hook was once compute_reward, a name Stable-Baselines3 takes for a goal-conditioned env's.
        if "compute_reward" in cls.__dict__:
            raise TypeError(f"{cls.__name__}.compute_reward: the reward hook is named step_reward; rename it")

    def _use_options(self, options: EnvOptions) -> None:
        self.units = options.units
        self.order_type = options.order_type
        self.window = options.window
        self.observation_fn = options.observation_fn
        self.action_fn = options.action_fn
        self.reward_fn = options.reward_fn
        self.terminated_fn = options.terminated_fn
        self._observation_space = options.observation_space
        self._action_space = options.action_space
        self._positions: dict[int, Position] = {}

    def window_length(self, config: dict[str, Any]) -> int:
        """Candles per observation: the ``window`` argument, else the peer's ``window`` setting, else 32."""
        if self.window is not None:
            return self.window
        w = config.get("window")
        return w if isinstance(w, int) and not isinstance(w, bool) and w >= 1 else DEFAULT_WINDOW

    def make_spaces(self, config: dict[str, Any]) -> tuple[gym.Space[Any], gym.Space[Any]]:
        """(observation space, action space) for a peer with this ``get_rl_config``."""
        obs = self._observation_space
        if obs is None:
            low, high = observation_bounds(self.window_length(config))
            obs = gym.spaces.Box(low, high, dtype=np.float32)
        act = self._action_space if self._action_space is not None else gym.spaces.Discrete(4)
        return obs, act

    def position(self, session: Session) -> Position:
        """The default action mapping's position in ``session``'s episode, as the peer's last snapshot
        has it: stops, take profits and the end of a session close positions without an action."""
        p = self._positions.get(session.env_index)
        if p is None or p.episode_serial != session.episode_serial:
            p = self._positions[session.env_index] = Position(session.episode_serial)
        elif p.side and session.snapshot.shape[0] > OPEN_POSITIONS and session.snapshot[OPEN_POSITIONS] == 0:
            p.side, p.ids = 0, []
        return p

    def _side(self, session: Session) -> int:
        """The position's side as of the last ``position()`` (which the observation and actions call)."""
        p = self._positions.get(session.env_index)
        return p.side if p is not None and p.episode_serial == session.episode_serial else 0

    def observe(self, window: np.ndarray, snapshot: np.ndarray, session: Session) -> Any:
        if self.observation_fn is not None:
            return self.observation_fn(window, snapshot, session)
        w = self.window_length(session.peer_config.raw)
        size = snapshot.shape[0]
        equity = float(snapshot[EQUITY]) if size > EQUITY else 0.0
        unrealized = float(snapshot[UNREALIZED_PNL]) if size > UNREALIZED_PNL else 0.0
        length = session.peer_config.episode_length
        position = (
            self.position(session).side,
            100.0 * unrealized / equity if equity and math.isfinite(equity) else 0.0,
            float(snapshot[STEP]) / length if size > STEP and length else 0.0,
        )
        candles = window.ndim == 2 and window.shape[0] and window.shape[1] >= CANDLE_COLUMNS
        return _observation(window[-w:, :CANDLE_COLUMNS] if candles else None, w, position)

    async def act(self, action: Any, session: Session) -> None:
        if self.action_fn is not None:
            done = self.action_fn(action, session)
            if inspect.isawaitable(done):
                await done
            return
        a = int(action)
        if a == HOLD:
            return
        position = self.position(session)
        if a == CLOSE:
            await close_all(session, position)
            return
        if a not in (LONG, SHORT):
            raise ValueError(f"action must be 0 (hold), 1 (long), 2 (short) or 3 (close), got {action!r}")
        want = 1 if a == LONG else -1
        if position.side == want:
            return
        if position.side != 0:
            await close_all(session, position)
        side = "buy" if want > 0 else "sell"
        if self.order_type == "limit":
            last_close = float(session.window[-1, CANDLE_CLOSE]) if session.window.size else 0.0
            reply = await session.call("place_order", side, "limit", last_close, self.units)
        else:
            reply = await session.call("place_ticket", side, self.units)
        # A refused order (the episode is over) holds.
        if reply.shape[0] > ORDER_ID and reply[ORDER_ACCEPTED] == 1:
            position.ids.append(
                peer_int(float(reply[ORDER_ID]), f"{reply_name(self)} position id", *ID_RANGE)
            )
            position.side = want

    def step_reward(self, prev_snapshot: np.ndarray, snapshot: np.ndarray, session: Session) -> float:
        if self.reward_fn is not None:
            return self.reward_fn(prev_snapshot, snapshot, session)
        if prev_snapshot.shape[0] <= EQUITY or snapshot.shape[0] <= EQUITY:
            return 0.0
        change = float(snapshot[EQUITY]) - float(prev_snapshot[EQUITY])
        if not math.isfinite(change):
            peer_float(snapshot[EQUITY], "equity")  # names the bad one
            peer_float(prev_snapshot[EQUITY], "equity")
        return change

    def is_terminated(self, snapshot: np.ndarray, session: Session) -> bool:
        if self.terminated_fn is not None:
            return self.terminated_fn(snapshot, session)
        return bool(snapshot.shape[0] > DONE and snapshot[DONE] == 1)

    def make_info(self, snapshot: np.ndarray, session: Session) -> dict[str, Any]:
        """The info dict of a step: equity, position side, the peer's step and the episode index."""
        size = snapshot.shape[0]
        return {
            "equity": float(snapshot[EQUITY]) if size > EQUITY else 0.0,
            "position": self._side(session),
            # Diagnostics only: a step column that is no whole number gives the session's own count.
            "step": _whole(snapshot[STEP], session.steps) if size > STEP else session.steps,
            "episode_index": session.episode_index,
        }

    def continues(self, prev_snapshot: np.ndarray, snapshot: np.ndarray, session: Session) -> bool:
        """Whether ``snapshot`` is the step after ``prev_snapshot`` of the same episode. False means a
        different peer took over. Checked when the peer's ``snapshot_fields`` name its step, done, episode
        index and type columns as the bundled peer does; a hook that moves the UI by other commands than
        one ``step_and_sync`` a step overrides this."""
        return not session.peer_config.episode_columns or continues_episode(prev_snapshot, snapshot)


@np.errstate(all="ignore")  # once per call, cheaper than a with-block: this runs for every env-step
def _observation(rows: np.ndarray | None, w: int, position: tuple[float, float, float]) -> np.ndarray:
    """The default observation of a window's last ``w`` candles (None: no candles) and the position.

    A peer may send anything: what overflows or is not a number raises no warning on the way and is
    mapped into the space at the end (clipped to the bounds, NaN to 0). Few NumPy calls.
    """
    low, high = observation_bounds(w)
    base = w * CANDLE_COLUMNS
    # Every value is written below when there are candles.
    out = (
        np.empty(base + POSITION_FEATURES, dtype=np.float32)
        if rows is not None
        else np.zeros(low.shape[0], np.float32)
    )
    if rows is not None:
        if rows.shape[0] < w:
            rows = np.concatenate([np.repeat(rows[:1], w - rows.shape[0], axis=0), rows])
        last_close = float(rows[-1, CANDLE_CLOSE])
        mean_volume = float(rows[:, CANDLE_VOLUME].sum()) / w
        candles = out[:base].reshape(w, CANDLE_COLUMNS)
        np.subtract(rows, last_close, out=candles)
        np.multiply(candles, 100.0 / last_close if last_close else 0.0, out=candles)
        volume_scale = 1.0 / mean_volume if mean_volume > 0 else 0.0
        np.multiply(rows[:, CANDLE_VOLUME], volume_scale, out=candles[:, CANDLE_VOLUME])
    out[base:] = position
    np.maximum(out, low, out=out)
    np.minimum(out, high, out=out)
    out[np.isnan(out)] = 0.0
    return out


def _whole(value: float, default: int) -> int:
    v = float(value)
    return int(v) if v.is_integer() and abs(v) <= 2**53 else default


def reply_name(mappings: TradingMappings) -> str:
    return "place_order" if mappings.order_type == "limit" else "place_ticket"


@functools.lru_cache(maxsize=8)
def observation_bounds(window: int) -> tuple[np.ndarray, np.ndarray]:
    """(low, high) of the default observation for ``window`` candles."""
    low = np.zeros((window, CANDLE_COLUMNS), dtype=np.float32)
    high = np.full((window, CANDLE_COLUMNS), window, dtype=np.float32)  # a volume ratio is at most the window
    low[:, :4], high[:, :4] = -PRICE_PCT_LIMIT, PRICE_PCT_LIMIT
    position_low = np.array([-1.0, -PNL_PCT_LIMIT, 0.0], dtype=np.float32)
    position_high = np.array([1.0, PNL_PCT_LIMIT, 1.0], dtype=np.float32)
    low, high = np.concatenate([low.ravel(), position_low]), np.concatenate([high.ravel(), position_high])
    low.flags.writeable = high.flags.writeable = False  # shared by every call
    return low, high


async def close_all(session: Session, position: Position) -> None:
    """Closes every position the default action mapping opened in this session's episode."""
    if position.ids:
        ids = position.ids
        await session.call("close_positions", ids, [CLOSE_FULLY] * len(ids), [0.0] * len(ids))
    position.side = 0
    position.ids = []
