"""Process-wide registry of engines by (host, port).

An engine's listener lives until the process exits (the module has no close operation), so a second
``RustEngineAsync`` on the same address would fail with "Address already in use". Environments therefore
take their engine from here: the first one on an address creates and starts it, later ones reuse it once
the previous environment on that address has been closed (or collected: its finalizer releases it).
"""

from __future__ import annotations

import os
import socket
import threading
from collections.abc import Callable, Coroutine
from typing import Any

from py_engine_rust import RustEngineAsync

from .errors import EngineError

# Guards _engines and _owners; held while a new engine starts, so two threads cannot both start one address.
_lock = threading.Lock()
_engines: dict[tuple[str, int], RustEngineAsync] = {}
_owners: dict[tuple[str, int], object] = {}  # the token of the environment using each engine

_FREE_PORT_ATTEMPTS = 5


def _forget_after_fork() -> None:
    # A forked child has none of the parent's engine threads, so it must not reuse the parent's engines;
    # their listening sockets are still open in it, so a new engine on such a port fails to bind.
    global _lock
    _lock = threading.Lock()
    _engines.clear()
    _owners.clear()


os.register_at_fork(after_in_child=_forget_after_fork)


def free_port(host: str) -> int:
    """A port the OS reports free on ``host`` right now (bound to port 0, then released)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return int(s.getsockname()[1])


def listening(host: str, port: int) -> bool:
    """Whether this process already has an engine listening on (host, port)."""
    with _lock:
        return (host, port) in _engines


def acquire(
    host: str, port: int | None, token: object, run: Callable[[Coroutine[Any, Any, None]], None]
) -> tuple[RustEngineAsync, int, bool]:
    """The engine for (host, port), reserved for the holder of ``token`` until ``release``.

    ``run`` runs a coroutine on the caller's event loop (there a new engine starts). A port of None
    means a free one. Returns (engine, port, reused). Raises EngineError when the address cannot be
    listened on or another live environment of this process is using it.
    """
    with _lock:
        if port is not None:
            return _acquire_locked(host, port, token, run)
        for attempt in range(_FREE_PORT_ATTEMPTS):
            try:
                return _acquire_locked(host, free_port(host), token, run)
            except EngineError as e:
                # Another process may take the port between the probe and the bind: try another one.
                if "Address already in use" not in e.engine_text or attempt == _FREE_PORT_ATTEMPTS - 1:
                    raise
        raise AssertionError("unreachable")


def _acquire_locked(
    host: str, port: int, token: object, run: Callable[[Coroutine[Any, Any, None]], None]
) -> tuple[RustEngineAsync, int, bool]:
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
