"""Policies for the rollout tests, importable by Ray's workers (they get the driver's working directory
on their path), and the process checks the tests make after shutdown.

The policy is a fixed linear one over a flat parameter vector: action = argmax(obs @ W + b). With W = 0
the bias alone picks the action, so a test knows which action every step must have taken.
"""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path

import numpy as np

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


def _children(pid: int) -> set[int]:
    found: set[int] = set()
    try:
        tasks = list(Path(f"/proc/{pid}/task").iterdir())
    except OSError:
        return found
    for task in tasks:
        try:
            found.update(int(p) for p in (task / "children").read_text().split())
        except OSError:
            pass
    return found


def descendants(pid: int) -> set[int]:
    """Every process below ``pid`` in the process tree."""
    seen: set[int] = set()
    todo = [pid]
    while todo:
        for child in _children(todo.pop()):
            if child not in seen:
                seen.add(child)
                todo.append(child)
    return seen


def _runs_peer(pid: int) -> bool:
    try:
        return PEER_SCRIPT in Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return False


def peer_children(pid: int) -> set[int]:
    """The UI peer processes ``pid`` started."""
    return {c for c in _children(pid) if _runs_peer(c)}


def peers_below(pid: int) -> set[int]:
    """The UI peer processes anywhere below ``pid``."""
    return {c for c in descendants(pid) if _runs_peer(c)}


def alive(pid: int) -> bool:
    """The process exists and is not a zombie waiting to be reaped."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


def wait_gone(pids: set[int], timeout: float) -> set[int]:
    """Waits up to ``timeout`` seconds for every process in ``pids`` to end; returns those still alive."""
    deadline = time.monotonic() + timeout
    while True:
        left = {p for p in pids if alive(p)}
        if not left or time.monotonic() >= deadline:
            return left
        time.sleep(0.1)
