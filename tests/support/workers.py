"""What the RLlib test runs in Ray's worker processes (they get the driver's working directory on their
path). Imports nothing of py_engine_rust_gym: whether a worker has it is what the test looks at."""

from __future__ import annotations

import os
from typing import Any


def make_by_id(env_id: str) -> str:
    """Makes the environment by ``env_id`` in this worker, takes one step and closes it: "ok", or the
    error's type and text."""
    import gymnasium as gym

    try:
        env = gym.make(env_id, verbose=False)
    except Exception as e:  # noqa: BLE001 - the text is the result
        return f"{type(e).__name__}: {e}"
    try:
        env.reset(seed=0)
        env.step(0)
    finally:
        env.close()
    return "ok"


def describe_runner(runner: Any) -> dict[str, Any]:
    """Where an env runner runs and what its environments did: its node and pid, and per environment
    the launched peer's pid and how many episodes it has started."""
    import ray

    envs = [e.unwrapped for e in runner.env.unwrapped.envs]
    return {
        "node_id": ray.get_runtime_context().get_node_id(),
        "pid": os.getpid(),
        "peer_pids": [e.peer_pid for e in envs],
        "episodes": [e.session.episode_serial for e in envs],
    }
