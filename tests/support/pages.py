"""The bundled page for browser tests: peer/ over HTTP on a loopback address, and the system's Chromium."""

from __future__ import annotations

import functools
import http.server
import os
import shutil
import threading
from pathlib import Path
from typing import Any

import pytest

PEER_DIR = Path(__file__).resolve().parents[2] / "peer"


def chromium_exe() -> str:
    for name in (os.environ.get("CHROMIUM"), "chromium", "chromium-browser"):
        if name and shutil.which(name):
            return shutil.which(name)
    pytest.fail("chromium is not installed (scripts/setup.sh installs it)")


class _PageHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, ".js": "text/javascript"}

    def log_message(self, format: str, *args: Any) -> None:
        pass


class PageServer:
    """A page's folder (peer/ unless told) over HTTP on one loopback address; the address and port make the
    page's origin."""

    def __init__(self, host: str, directory: Path = PEER_DIR):
        handler = functools.partial(_PageHandler, directory=str(directory))
        self.httpd = http.server.ThreadingHTTPServer((host, 0), handler)
        self.origin = f"http://{host}:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def page(self, engine_port: int, seed: int, query: str = "") -> str:
        return f"{self.origin}/?engine=ws://127.0.0.1:{engine_port}&seed={seed}{query}"

    def close(self) -> None:
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()
