"""Process-wide registry of engines by (host, port).

An engine's listener lives until the process exits (the module has no close operation), so a second
``RustEngineAsync`` on the same address would fail with "Address already in use", and an engine made for
every environment would hold a listening socket for good. Environments therefore take their engine from
here:

- On a port the caller names, the first environment creates and starts the engine; later ones reuse it
  once the previous environment on that address has been released.
- A port of None takes a released engine on that host whose port this registry chose, and only when there
  is none creates one on a free port. So making and closing environments in a loop holds a constant number
  of listeners, one per environment alive at once.
"""

from __future__ import annotations

import os
import socket
import threading
from collections.abc import Callable, Coroutine
from typing import Any

from py_engine_rust import RustEngineAsync

from .errors import EngineError, parse_engine_error

# Guards the three tables; held while a new engine starts, so two threads cannot both start one address.
_lock = threading.Lock()
_engines: dict[tuple[str, int], RustEngineAsync] = {}
_owners: dict[tuple[str, int], object] = {}  # the token of the environment using each engine
_chosen: set[tuple[str, int]] = set()  # addresses whose port was picked here for a port of None

_FREE_PORT_ATTEMPTS = 5

Runner = Callable[[Coroutine[Any, Any, None]], None]


def _forget_after_fork() -> None:
    # A forked child has none of the parent's engine threads, so it must not reuse the parent's engines;
    # their listening sockets are still open in it, so a new engine on such a port fails to bind.
    global _lock
    _lock = threading.Lock()
    _engines.clear()
    _owners.clear()
    _chosen.clear()


os.register_at_fork(after_in_child=_forget_after_fork)


def free_port(host: str) -> int:
    """A port the OS reports free on ``host`` right now. The engine reports no port it picked itself,
    so this binds port 0, reads the port and releases it; ``acquire`` retries if another process takes
    it in between."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return int(s.getsockname()[1])


def listening(host: str, port: int) -> bool:
    """Whether this process already has an engine listening on (host, port)."""
    with _lock:
        return (host, port) in _engines


def count() -> int:
    """How many engines this process has started here (each holds a listener until the process exits)."""
    with _lock:
        return len(_engines)


def acquire(host: str, port: int | None, token: object, run: Runner) -> tuple[RustEngineAsync, int, bool]:
    """The engine for (host, port), reserved for the holder of ``token`` until ``release``.

    ``run`` runs a coroutine on the caller's event loop (there a new engine starts). A port of None
    means a released engine on ``host`` that was started on a port chosen here, else a new one on a free
    port. Returns (engine, port, reused). Raises EngineError when the address cannot be listened on or
    another live environment of this process is using it.
    """
    with _lock:
        if port is not None:
            return _acquire_locked(host, port, token, run)
        for key in _chosen:
            if key[0] == host and key not in _owners:
                return _acquire_locked(host, key[1], token, run)
        for attempt in range(_FREE_PORT_ATTEMPTS):
            candidate = free_port(host)
            try:
                acquired = _acquire_locked(host, candidate, token, run)
            except EngineError as e:
                # Another process may take the port between the probe and the bind: try another one.
                failure = e.__cause__ and parse_engine_error(e.__cause__)
                if not (failure and failure.address_in_use) or attempt == _FREE_PORT_ATTEMPTS - 1:
                    raise
                continue
            _chosen.add((host, candidate))
            return acquired
        raise AssertionError("unreachable")


def _acquire_locked(host: str, port: int, token: object, run: Runner) -> tuple[RustEngineAsync, int, bool]:
    key = (host, port)
    if key in _owners:
        raise EngineError(
            "start",
            f"ws://{host}:{port} is in use by another environment of this process; close that one first",
        )
    engine = _engines.get(key)
    reused = engine is not None
    if engine is None:
        engine = RustEngineAsync(host, port)
        try:
            run(_start(engine))
        except RuntimeError as e:
            raise EngineError("start", str(e)) from e
        _engines[key] = engine
    _owners[key] = token
    return engine, port, reused


async def _start(engine: RustEngineAsync) -> None:
    await engine.start()


def release(host: str, port: int, token: object) -> None:
    """Makes the engine on (host, port) available to the next environment; a no-op for any other token."""
    with _lock:
        if _owners.get((host, port)) is token:
            del _owners[(host, port)]
