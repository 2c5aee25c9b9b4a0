"""Ports for engines under test, and the engine's own sockets as this process sees them."""

from __future__ import annotations

import asyncio
import contextlib
import fcntl
import os
import select
import socket
import struct
import termios
from typing import Awaitable, Callable, Iterator, Optional

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


def unread(sock: socket.socket) -> int:
    """Bytes that arrived on `sock` and that its owner has not read yet."""
    return struct.unpack("i", fcntl.ioctl(sock, termios.FIONREAD, b"\0\0\0\0"))[0]


def unsent(sock: socket.socket) -> int:
    """Bytes written to `sock` that its peer has not yet acknowledged."""
    return struct.unpack("i", fcntl.ioctl(sock, termios.TIOCOUTQ, b"\0\0\0\0"))[0]


async def until(condition: Callable[[], bool], what: str, timeout: float = 5.0) -> None:
    """Polls `condition` until it holds; fails after `timeout` seconds, naming `what` it waited for."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + timeout
    while not condition():
        assert loop.time() < deadline, f"waited {timeout} s for {what}"
        await asyncio.sleep(0.01)


async def engine_end_sees(port: int, client_address: tuple[str, int],
                          end: Optional[Callable[[], Optional[Awaitable[None]]]] = None) -> None:
    """Calls `end` (a FIN or a reset of the client at `client_address`), then waits until the engine's end of that
    connection shows it, without reading: through a duplicate of its descriptor, taken first (a reset socket is no
    longer listed) and closed at once. The engine's worker learns of it at the same moment; a round trip through
    that worker afterwards (a call, a wait_connected) finds its reader done with it."""
    (engine_end,) = engine_side(port, client_address)
    with engine_end:
        poller = select.poll()
        poller.register(engine_end, select.POLLRDHUP)
        if end is not None:
            ended = end()
            if ended is not None:
                await ended
        await until(lambda: bool(poller.poll(0)), "the engine's end of the connection to show the client gone")


async def engine_has_read(port: int, client: socket.socket, timeout: float = 5.0) -> None:
    """Waits until everything `client` wrote has reached the engine and the engine has read it from its socket."""
    (engine_end,) = engine_side(port, client.getsockname())
    with engine_end:
        await until(lambda: unsent(client) == 0 and unread(engine_end) == 0, "the engine to read all that was sent",
                    timeout)
