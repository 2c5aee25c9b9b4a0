"""The process tree as /proc shows it: the children a test started, and whether they have gone."""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Iterable, Optional


def children(pid: Optional[int] = None) -> set[int]:
    """The processes that `pid` (this process by default) started and that are still there, zombies included."""
    found: set[int] = set()
    try:
        tasks = list(Path(f"/proc/{os.getpid() if pid is None else pid}/task").iterdir())
    except OSError:
        return found
    for task in tasks:
        try:
            found.update(int(p) for p in (task / "children").read_text().split())
        except OSError:
            pass
    return found


def descendants(pid: int) -> set[int]:
    """Every process below `pid` in the process tree."""
    seen: set[int] = set()
    todo = [pid]
    while todo:
        for child in children(todo.pop()):
            if child not in seen:
                seen.add(child)
                todo.append(child)
    return seen


def gone(pid: int) -> bool:
    """Whether process `pid` no longer exists. A zombie still exists: its parent has not reaped it yet."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def alive(pid: int) -> bool:
    """Whether process `pid` exists and is not a zombie waiting to be reaped."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


def wait_gone(pids: Iterable[int], timeout: float) -> set[int]:
    """Waits up to `timeout` seconds for every process in `pids` to end (zombies count as ended); returns those
    still alive."""
    deadline = time.monotonic() + timeout
    while True:
        left = {p for p in pids if alive(p)}
        if not left or time.monotonic() >= deadline:
            return left
        time.sleep(0.1)


PEER_SCRIPT = b"node-peer.mjs"


def peers_below(pid: int) -> set[int]:
    """The bundled Node peer's processes anywhere below `pid`."""
    found = set()
    for child in descendants(pid):
        try:
            if PEER_SCRIPT in Path(f"/proc/{child}/cmdline").read_bytes():
                found.add(child)
        except OSError:
            pass
    return found
