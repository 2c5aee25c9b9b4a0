"""How an environment turns the UI's answers into observations and rewards, and actions into commands.

The defaults fit the bundled UI peer (docs/protocol.md: its snapshot and ticket columns). For another UI,
replace any of them, either by passing a callable to the environment or by overriding the method in a
subclass of ``TradingUIEnv`` or ``TradingUIVectorEnv``:

- observation: ``observation_fn(window, snapshot, session) -> obs`` (with ``observation_space=``), or the
  method ``observe(self, window, snapshot, session)`` (with ``make_spaces(self, config)``);
- action: ``action_fn(action, session)``, a plain or ``async`` function (``action_space=`` if it is not
  ``Discrete(4)``), or ``async act(self, action, session)``;
- reward: ``reward_fn(prev_snapshot, snapshot, session) -> float``, or ``compute_reward(self, ...)``;
- termination: ``terminated_fn(snapshot, session) -> bool``, or ``is_terminated(self, ...)``;
- the info dict of each step: ``make_info(self, snapshot, session)``.

``window`` and ``snapshot`` are what ``step_and_sync`` answered (a candles x columns matrix and a vector),
``session`` is the environment's ``Session`` for that engine (``session.engine`` for commands,
``session.call(...)`` for commands with the environment's error handling and reconnection, ``session.user``
for a hook's own state). A callable wins over the method; an ``observation_fn`` needs its
``observation_space``.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any

import gymnasium as gym
import numpy as np

from .session import DONE, EQUITY, STEP

if TYPE_CHECKING:
    from .session import Session

# The default actions.
HOLD, LONG, SHORT, CLOSE = 0, 1, 2, 3
# close_positions action code of the bundled peer: close the whole position.
_CLOSE_FULLY = 1
# The position features appended to the candle window: side, unrealized pnl in % of equity, episode progress.
POSITION_FEATURES = 3
DEFAULT_WINDOW = 32
# Observation bounds: finite, so that learners can scale by them; values beyond are clipped.
PRICE_PCT_LIMIT = 100.0
PNL_PCT_LIMIT = 100.0

ObservationFn = Callable[[np.ndarray, np.ndarray, "Session"], Any]
ActionFn = Callable[[Any, "Session"], Awaitable[Any] | None]
RewardFn = Callable[[np.ndarray, np.ndarray, "Session"], float]
TerminatedFn = Callable[[np.ndarray, "Session"], bool]


class TradingMappings:
    """The four mappings between a Gymnasium agent and the bundled UI peer, each replaceable.

    Observation: a flat ``float32`` vector of ``window x 5 + 3`` values: the last ``window`` candles
    (open, high, low, close as percent away from the last close; volume over the window's mean volume),
    row by row, oldest first, then the position (side 1/0/-1, unrealized pnl in percent of equity, and the
    episode's progress from 0 to 1).

    Action: ``Discrete(4)``: 0 hold, 1 go long, 2 go short, 3 close. Going long or short first closes a
    position on the other side, then enters ``units`` units through ``place_ticket`` (a market order), or
    through ``place_order`` as a limit order at the last close when ``order_type="limit"`` (it fills at
    once on the bundled peer). Going the way the position already is does nothing. Closing uses
    ``close_positions`` on the positions the environment opened.

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

    def _configure_mappings(
        self,
        *,
        units: int,
        order_type: str,
        window: int | None,
        observation_fn: ObservationFn | None,
        action_fn: ActionFn | None,
        reward_fn: RewardFn | None,
        terminated_fn: TerminatedFn | None,
        observation_space: gym.Space[Any] | None,
        action_space: gym.Space[Any] | None,
    ) -> None:
        if isinstance(units, bool) or not isinstance(units, (int, np.integer)) or units < 1:
            raise ValueError(f"units must be a whole number >= 1, got {units!r}")
        if order_type not in ("market", "limit"):
            raise ValueError(f"order_type must be 'market' or 'limit', got {order_type!r}")
        if window is not None and (
            isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 1
        ):
            raise ValueError(f"window must be a whole number >= 1, got {window!r}")
        if observation_fn is not None and observation_space is None:
            raise ValueError("observation_fn needs observation_space (the space its observations belong to)")
        for name, fn in (
            ("observation_fn", observation_fn),
            ("action_fn", action_fn),
            ("reward_fn", reward_fn),
            ("terminated_fn", terminated_fn),
        ):
            if fn is not None and not callable(fn):
                raise TypeError(f"{name} must be callable, got {type(fn).__name__}")
        self.units = int(units)
        self.order_type = order_type
        self.window = None if window is None else int(window)
        self.observation_fn = observation_fn
        self.action_fn = action_fn
        self.reward_fn = reward_fn
        self.terminated_fn = terminated_fn
        self._observation_space = observation_space
        self._action_space = action_space

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
            w = self.window_length(config)
            low, high = observation_bounds(w)
            obs = gym.spaces.Box(low, high, dtype=np.float32)
        act = self._action_space if self._action_space is not None else gym.spaces.Discrete(4)
        return obs, act

    def observe(self, window: np.ndarray, snapshot: np.ndarray, session: Session) -> Any:
        if self.observation_fn is not None:
            return self.observation_fn(window, snapshot, session)
        w = self.window_length(session.config)
        out = np.zeros(w * 5 + POSITION_FEATURES, dtype=np.float32)
        if window.ndim == 2 and window.shape[0] and window.shape[1] >= 5:
            rows = window[-w:, :5]
            if rows.shape[0] < w:
                rows = np.concatenate([np.repeat(rows[:1], w - rows.shape[0], axis=0), rows])
            # Few NumPy calls over the whole window: this runs for every env-step.
            last_close = float(rows[-1, 3])
            mean_volume = float(rows[:, 4].sum()) / w
            price_scale = 100.0 / last_close if last_close else 0.0
            scale = np.array([price_scale] * 4 + [1.0 / mean_volume if mean_volume > 0 else 0.0])
            origin = np.array([last_close] * 4 + [0.0])
            out[: w * 5] = ((rows - origin) * scale).ravel()
        size = snapshot.shape[0]
        equity = float(snapshot[EQUITY]) if size > EQUITY else 0.0
        unrealized = float(snapshot[2]) if size > 2 else 0.0
        length = session.config.get("episode_length")
        out[w * 5] = session.side
        out[w * 5 + 1] = 100.0 * unrealized / equity if equity else 0.0
        if size > STEP and isinstance(length, (int, float)) and length > 0:
            out[w * 5 + 2] = float(snapshot[STEP]) / length
        low, high = observation_bounds(w)
        np.maximum(out, low, out=out)
        return np.minimum(out, high, out=out)

    async def act(self, action: Any, session: Session) -> None:
        if self.action_fn is not None:
            done = self.action_fn(action, session)
            if inspect.isawaitable(done):
                await done
            return
        a = int(action)
        if a == HOLD:
            return
        if a == CLOSE:
            await close_all(session)
            return
        if a not in (LONG, SHORT):
            raise ValueError(f"action must be 0 (hold), 1 (long), 2 (short) or 3 (close), got {action!r}")
        want = 1 if a == LONG else -1
        if session.side == want:
            return
        if session.side != 0:
            await close_all(session)
        side = "buy" if want > 0 else "sell"
        if self.order_type == "limit":
            last_close = float(session.window[-1, 3]) if session.window.size else 0.0
            reply = await session.call("place_order", side, "limit", last_close, self.units)
        else:
            reply = await session.call("place_ticket", side, self.units)
        # Answer columns: accepted, id, filled, price, reason. A refused order (the episode is over) holds.
        if reply.shape[0] >= 3 and reply[0] == 1:
            session.side = want
            session.position_ids.append(int(reply[1]))

    def compute_reward(self, prev_snapshot: np.ndarray, snapshot: np.ndarray, session: Session) -> float:
        if self.reward_fn is not None:
            return self.reward_fn(prev_snapshot, snapshot, session)
        if prev_snapshot.shape[0] <= EQUITY or snapshot.shape[0] <= EQUITY:
            return 0.0
        return float(snapshot[EQUITY] - prev_snapshot[EQUITY])

    def is_terminated(self, snapshot: np.ndarray, session: Session) -> bool:
        if self.terminated_fn is not None:
            return self.terminated_fn(snapshot, session)
        return bool(snapshot.shape[0] > DONE and snapshot[DONE] == 1)

    def make_info(self, snapshot: np.ndarray, session: Session) -> dict[str, Any]:
        """The info dict of a step: equity, position side, the peer's step and the episode index."""
        return {
            "equity": float(snapshot[EQUITY]) if snapshot.shape[0] > EQUITY else 0.0,
            "position": int(session.side),
            "step": int(snapshot[STEP]) if snapshot.shape[0] > STEP else session.steps,
            "episode_index": int(session.episode_index),
        }


@functools.lru_cache(maxsize=8)
def observation_bounds(window: int) -> tuple[np.ndarray, np.ndarray]:
    """(low, high) of the default observation for ``window`` candles."""
    low = np.zeros((window, 5), dtype=np.float32)
    high = np.full((window, 5), window, dtype=np.float32)  # a volume ratio is at most the window length
    low[:, :4], high[:, :4] = -PRICE_PCT_LIMIT, PRICE_PCT_LIMIT
    position_low = np.array([-1.0, -PNL_PCT_LIMIT, 0.0], dtype=np.float32)
    position_high = np.array([1.0, PNL_PCT_LIMIT, 1.0], dtype=np.float32)
    low, high = np.concatenate([low.ravel(), position_low]), np.concatenate([high.ravel(), position_high])
    low.flags.writeable = high.flags.writeable = False  # shared by every call
    return low, high


async def close_all(session: Session) -> None:
    """Closes every position the default action mapping opened in this session."""
    if session.position_ids:
        ids = session.position_ids
        await session.call("close_positions", ids, [_CLOSE_FULLY] * len(ids), [0.0] * len(ids))
    session.side = 0
    session.position_ids = []
