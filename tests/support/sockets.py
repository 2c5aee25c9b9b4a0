"""Ports for engines under test, and the engine's own sockets as this process sees them."""

from __future__ import annotations

import contextlib
import os
import socket
from typing import Iterator

LOOPBACK = "127.0.0.1"


@contextlib.contextmanager
def reserved_port() -> Iterator[int]:
    """A port that the system chose (bind to port 0) and that stays this test's until the block ends.

    The reservation is bound with SO_REUSEADDR and never listens, so an engine, which binds with SO_REUSEADDR
    too, can listen on the port, while the system gives it to no one else meanwhile: neither to another bind to
    port 0 nor as a client's local port. A port that was probed and released could be taken in between."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((LOOPBACK, 0))
        yield s.getsockname()[1]


def _inodes_on_port(port: int) -> set[int]:
    """Inodes of the TCP sockets of this network namespace whose local port is `port`."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with contextlib.suppress(FileNotFoundError), open(table) as f:
            next(f)
            for line in f:
                fields = line.split()
                local_port = int(fields[1].rsplit(":", 1)[1], 16)
                if local_port == port:
                    found.add(int(fields[9]))
    return found


def engine_sockets(port: int) -> list[int]:
    """This process's descriptors of TCP sockets whose local port is `port`: an engine's listener on that port and
    its ends of the connections it accepted. A client's end has another local port, so it is not counted."""
    inodes = _inodes_on_port(port)
    found = []
    for name in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):
            target = os.readlink(f"/proc/self/fd/{name}")
            if target.startswith("socket:[") and int(target[8:-1]) in inodes:
                found.append(int(name))
    return found


def engine_side(port: int, client_address: tuple[str, int]) -> list[socket.socket]:
    """Duplicates of the engine's end of the connection from `client_address` to `port` (one, unless something is
    wrong); the caller closes them. Reading options through them leaves the engine's socket as it is."""
    found = []
    for fd in engine_sockets(port):
        s = socket.socket(fileno=os.dup(fd))
        try:
            if s.getpeername() == client_address:
                found.append(s)
                continue
        except OSError:  # the listener has no peer
            pass
        s.close()
    return found
