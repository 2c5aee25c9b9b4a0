"""Drives a trading-simulation UI over WebSocket from an asyncio program.

The engine is the WebSocket server; the UI (a browser page or the bundled Node peer) connects to it as the one
client and answers every command. The column meanings given below are those of the bundled peer
(peer/market.js, docs/protocol.md); another UI may fill the same shapes with its own numbers.
"""

from collections.abc import Awaitable, Sequence
from typing import Any, SupportsFloat, SupportsIndex

import numpy
import numpy.typing

__all__ = [
    "RustEngineAsync",
    "decode_vec_f64_py",
    "decode_mat_f64_py",
    "decode_close_step_py",
    "decode_vec_mat_f64_py",
    "encode_vec_f64_py",
    "encode_mat_f64_py",
    "encode_close_step_py",
]

_Float = SupportsFloat | SupportsIndex
_F64Array = numpy.typing.NDArray[numpy.float64]
_I32Array = numpy.typing.NDArray[numpy.int32]
# close_positions reads its sequences element by element, so any integer (or, for ratios, real) array will do.
_IntArray = numpy.typing.NDArray[numpy.integer[Any]]
_RealArray = numpy.typing.NDArray[numpy.floating[Any] | numpy.integer[Any]]

class RustEngineAsync:
    """One WebSocket endpoint on (host, port) with at most one UI peer connected at a time.

    Construct it, await ``start()``, await ``wait_connected()``, then send commands. Every method returns an
    awaitable of the running asyncio loop. Bad arguments raise at the call; failures of the work arrive through
    the awaitable: ``RuntimeError("RpcTransportError(...): ...")`` when there is no peer, the peer is too slow
    or the connection breaks, ``RuntimeError("RpcError(...): message")`` when the peer answers with an error,
    and ``ValueError`` when its answer does not decode.

    Each command waits ``timeout_secs`` for its answer (10 s when None, 5 s for ``get_sync_policy``). A command
    sent while no peer is connected fails at once with "no websocket connected"; after a transport failure the
    next commands fail so until a peer connects again. The listener lives until the process exits.
    """

    def __new__(cls, host: str, port: SupportsIndex, start_seq: SupportsIndex | None = None) -> RustEngineAsync:
        """Creates the engine; nothing listens until ``start()``. ``start_seq`` is the first request's
        sequence number on every new connection (1 when None)."""
    def start(self) -> Awaitable[None]:
        """Binds the listener on ws://host:port and starts accepting peers; fails with the bind error (for
        example an address already in use), after which ``start()`` may be called again."""
    def wait_connected(self, timeout_secs: _Float | None = None) -> Awaitable[None]:
        """Resolves once a UI peer is connected, at once if one already is. No timeout when None; when it
        passes, fails with "wait_connected timed out". May be called before ``start()`` has finished."""
    def init_candles(self, ohlc5: _F64Array, timeout_secs: _Float | None = None) -> Awaitable[None]:
        """Replaces the UI's candles: a 2-D float64 array, one row per candle, columns open, high, low,
        close, volume. The bundled peer needs finite values and at least window + 2 rows, and starts train
        episode 0 with a fresh account."""
    def reset_episode(
        self, episode_index: SupportsIndex, episode_type: str, timeout_secs: _Float | None = None
    ) -> Awaitable[int]:
        """Starts an episode with a fresh account and resolves to the candle index it starts at.
        ``episode_type`` is "test" (any case) or anything else for train; the bundled peer takes train
        episodes from the first 80 % of the candles, test episodes from the rest, and wraps the index."""
    def get_rl_config(self, timeout_secs: _Float | None = None) -> Awaitable[str]:
        """The UI's settings as a JSON text ("{}" if it is not UTF-8). The bundled peer's has seed,
        train_episodes, test_episodes, window, episode_length, initial_balance, candles, candle_source,
        sync_policy and the column names of every answer (snapshot_fields, ticket_fields, ...)."""
    def step_next(self, timeout_secs: _Float | None = None) -> Awaitable[None]:
        """Advances the UI by one candle; the answer is ignored."""
    def step_and_sync(self, timeout_secs: _Float | None = None) -> Awaitable[tuple[_F64Array, _F64Array]]:
        """Advances one candle and resolves to ``(window, snapshot)``: the last ``window`` candles up to the
        current one (rows x 5: open, high, low, close, volume) and the snapshot (see ``get_snapshot``)."""
    def get_snapshot(self, timeout_secs: _Float | None = None) -> Awaitable[_F64Array]:
        """The account as a 1-D array. Bundled peer, 11 values: 0 equity (balance + unrealized pnl),
        1 balance, 2 unrealized pnl, 3 open positions, 4 pending orders, 5 step in the episode, 6 done (1 once
        the episode has run its steps or was ended), 7 last close, 8 episode index, 9 episode type (0 train,
        1 test), 10 candle index."""
    def get_ticket_list(self, timeout_secs: _Float | None = None) -> Awaitable[_F64Array]:
        """Open positions, one row each. Bundled peer, 10 columns: 0 id, 1 side (1 buy, -1 sell), 2 units,
        3 entry price, 4 mark price (last close), 5 unrealized pnl, 6 take profit price, 7 stop loss price,
        8 trailing stop price (0 when not set), 9 step opened. No positions: shape (0, 0)."""
    def get_ohlc(self, timeout_secs: _Float | None = None) -> Awaitable[_F64Array]:
        """All candles of the UI, rows x 5: open, high, low, close, volume."""
    def fetch_events(self, timeout_secs: _Float | None = None) -> Awaitable[_F64Array]:
        """Events since the previous call, one row each. Bundled peer, 7 columns: 0 step, 1 kind, 2 id,
        3 side, 4 units, 5 price, 6 realized pnl. Kinds: 1 order placed, 2 opened, 3 closed, 4 reduced, 5 take
        profit hit, 6 stop loss hit, 7 trailing stop hit, 8 order expired, 9 order cancelled, 10 closed by
        end of session."""
    def end_session(self, timeout_secs: _Float | None = None) -> Awaitable[_F64Array]:
        """Ends the episode: closes every position at the last close and cancels pending orders. Bundled
        peer: one row of 11 columns: 0 episode index, 1 episode type, 2 steps, 3 initial balance, 4 final
        equity, 5 realized pnl, 6 return %, 7 trades, 8 wins, 9 losses, 10 max drawdown."""
    def get_sync_policy(self, timeout_secs: _Float | None = None) -> Awaitable[str | None]:
        """"eager" or "deferred" as the UI reports it, or None for any other answer. Default timeout 5 s."""
    def close_positions(
        self,
        position_ids: Sequence[SupportsIndex] | _IntArray,
        actions: Sequence[SupportsIndex] | _IntArray,
        ratios: Sequence[_Float] | _RealArray,
        timeout_secs: _Float | None = None,
    ) -> Awaitable[_F64Array]:
        """Closes or reduces positions; one action and one ratio per id, all three of one length. The bundled
        peer knows action 1 (close fully) and 2 (reduce by the ratio, 0 to 1, checked here) and skips other
        actions and unknown ids. Bundled peer: one row per position touched, 6 columns: 0 id, 1 action,
        2 units closed, 3 exit price, 4 realized pnl, 5 units left."""
    def place_order(
        self,
        side: str,
        order_type: str,
        price: _Float,
        units: SupportsIndex,
        take_profit: _Float | None = None,
        stop_loss: _Float | None = None,
        trailing_stop: _Float | None = None,
        time_limit: _Float | None = None,
        timeout_secs: _Float | None = None,
    ) -> Awaitable[_F64Array]:
        """Places a pending order: side "buy" or "sell", order_type "limit" or "stop" (any case, spaces
        trimmed), a finite price, units >= 1. The exit levels are finite distances >= 0 from the fill price;
        time_limit is the steps the order may wait. Bundled peer: an order already through the market fills
        at once at the close. Answer, 5 values: 0 accepted (1/0), 1 id (kept by the position), 2 filled
        (1/0), 3 fill price or order price, 4 reason (0 none, 1 episode over)."""
    def place_ticket(
        self,
        side: str,
        units: SupportsIndex,
        take_profit: _Float | None = None,
        stop_loss: _Float | None = None,
        trailing_stop: _Float | None = None,
        timeout_secs: _Float | None = None,
    ) -> Awaitable[_F64Array]:
        """Opens a position at the market (the last close): side "buy" or "sell", units >= 1, exit levels as
        distances >= 0 from the fill price. Answer as ``place_order``'s."""

def decode_vec_f64_py(payload: bytes) -> _F64Array:
    """Decodes a VecF64 payload (u32 count, then that many doubles) into a 1-D float64 array."""

def decode_mat_f64_py(payload: bytes) -> _F64Array:
    """Decodes a MatF64 payload (u32 rows, u32 cols, row-major doubles) into a 2-D float64 array; 0 rows
    give shape (0, 0)."""

def decode_close_step_py(payload: bytes) -> tuple[_I32Array, _I32Array, _F64Array]:
    """Decodes a CloseStep payload into ``(flags, actions, ratios)``: int32, int32 and float64 arrays."""

def decode_vec_mat_f64_py(payload: bytes) -> tuple[_F64Array, _F64Array]:
    """Decodes a VecMatF64 payload (a VecF64 followed by a MatF64) into ``(vector, matrix)``."""

def encode_vec_f64_py(arr: _F64Array) -> list[int]:
    """Encodes a 1-D float64 array as a VecF64 payload, returned as a list of byte values."""

def encode_mat_f64_py(mat: _F64Array) -> list[int]:
    """Encodes a 2-D float64 array as a MatF64 payload, returned as a list of byte values."""

def encode_close_step_py(flags: _I32Array, actions: _I32Array, ratios: _F64Array) -> list[int]:
    """Encodes three equally long arrays as a CloseStep payload, returned as a list of byte values."""
