import asyncio
import resource
import socket

import pytest

from support.sockets import reserved_port

# Engines are never closed, so a long suite accumulates listeners and connections.
_soft, _hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(_hard, 65536), _hard))


def free_port() -> int:
    """A port that was free a moment ago: another process may take it before the engine binds it. The `port`
    fixture and support.sockets.reserved_port hold theirs instead."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(coro, timeout: float = 20.0):
    """Runs a test coroutine on a fresh loop; a hang fails the test instead of the suite."""

    async def bounded():
        return await asyncio.wait_for(coro, timeout)

    return asyncio.run(bounded())


@pytest.fixture
def port():
    """A port reserved for the test (support.sockets.reserved_port), for an engine to listen on."""
    with reserved_port() as p:
        yield p
