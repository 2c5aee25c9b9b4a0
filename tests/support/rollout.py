"""Policies for the rollout tests, importable by Ray's workers (they get the driver's working directory
on their path), and the process checks the tests make after shutdown (support.procs, and the UI peers among
the processes).

The policy is a fixed linear one over a flat parameter vector: action = argmax(obs @ W + b). With W = 0
the bias alone picks the action, so a test knows which action every step must have taken.
"""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path

import numpy as np

from .procs import children, descendants
from .procs import alive, wait_gone  # noqa: F401 - the rollout tests call them through this module

NUM_ACTIONS = 4
PEER_SCRIPT = b"node-peer.mjs"


def linear(params: np.ndarray, obs: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """argmax over the 4 actions of obs @ W + b, where params = [W (obs_size x 4) row by row, b]."""
    size = obs.shape[1]
    w = params[: size * NUM_ACTIONS].reshape(size, NUM_ACTIONS)
    b = params[size * NUM_ACTIONS :]
    return np.argmax(obs.astype(np.float64) @ w + b, axis=1)


def always(action: int, obs_size: int) -> np.ndarray:
    """Parameters with which ``linear`` always picks ``action``."""
    params = np.zeros(obs_size * NUM_ACTIONS + NUM_ACTIONS)
    params[obs_size * NUM_ACTIONS + action] = 1.0
    return params


class KillsItsPeer:
    """``linear``, except that its ``at_call``-th call in a worker SIGKILLs the first UI peer that worker
    launched and writes that peer's pid to ``marker``. With ``once`` a later worker that finds the marker
    kills nothing, so a replacement runs clean; without it every worker kills its peer."""

    def __init__(self, marker: str, at_call: int, once: bool):
        self.marker = marker
        self.at_call = at_call
        self.once = once
        self.calls = 0

    def __call__(self, params: np.ndarray, obs: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        self.calls += 1
        if self.calls == self.at_call and not (self.once and Path(self.marker).exists()):
            pid = min(peer_children(os.getpid()))
            os.kill(pid, signal.SIGKILL)
            with open(self.marker, "a") as f:
                f.write(f"{pid}\n")
        return linear(params, obs, rng)


class StallsOnce:
    """``linear``, except that its ``at_call``-th call sleeps ``seconds`` (a worker that hangs) in the first
    worker to get there, which writes ``marker``; a later worker that finds the marker does not stall."""

    def __init__(self, marker: str, at_call: int, seconds: float):
        self.marker = marker
        self.at_call = at_call
        self.seconds = seconds
        self.calls = 0

    def __call__(self, params: np.ndarray, obs: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        self.calls += 1
        if self.calls == self.at_call and not Path(self.marker).exists():
            Path(self.marker).touch()
            time.sleep(self.seconds)
        return linear(params, obs, rng)


def _runs_peer(pid: int) -> bool:
    try:
        return PEER_SCRIPT in Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False


def peer_children(pid: int) -> set[int]:
    """The UI peer processes ``pid`` started."""
    return {c for c in children(pid) if _runs_peer(c)}


def peers_below(pid: int) -> set[int]:
    """The UI peer processes anywhere below ``pid``."""
    return {c for c in descendants(pid) if _runs_peer(c)}
