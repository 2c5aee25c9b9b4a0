"""What a test checks after shutdown: which processes are left, UI peers above all."""

from __future__ import annotations

import time
from pathlib import Path

PEER_SCRIPT = b"node-peer.mjs"


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
