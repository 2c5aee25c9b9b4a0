"""Browser pages as UI peers: a page server, headless Chromium through Playwright, and the lock-step
measurement (env-steps/s of `asyncio.gather` over `step_and_sync`, N engines each driving its own page).

    .venv/bin/python bench/pages.py [--n 1 4 16] [--rounds 4] [--seconds 4] \
        [--page bare=bench/bare-page/ --page bundled=peer/ ...]

Each --page is LABEL=FOLDER or LABEL=FOLDER?QUERY, a folder under the repository root holding the page's
index.html and the page's own parameters (bundled=peer?display=on-demand). The server is
rooted at the repository, so the bare page's imports of ../../peer/ resolve, and every page gets the query
parameters an environment gives it: engine=ws://HOST:PORT and seed=. All pages are tabs of one Chromium (a
browser context per label); for each N, every label's N pages are open at once and the labels take turns in
short slices, so that a change in the machine's load falls on all of them alike. Ratios are to the first --page.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import functools
import http.server
import os
import shutil
import statistics
import threading
import time
from pathlib import Path
from typing import Any, AsyncIterator

from common import HOST, ROOT, free_ports

# The bundled market's episode: a lock-step run resets all engines after this many steps, as a vector
# environment does, so the pages see episodes end and begin.
EPISODE_STEPS = 200
CONNECT_TIMEOUT_S = 30
# Playwright's own launch flags already keep background tabs at full speed (no timer or renderer throttling).
CHROMIUM_ARGS = ["--no-sandbox", "--disable-gpu", "--mute-audio", "--no-first-run"]


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, ".js": "text/javascript",
                      ".mjs": "text/javascript", ".json": "application/json"}

    def log_message(self, format: str, *args: Any) -> None:
        pass


class PageServer:
    """A folder (the repository root by default) over HTTP on 127.0.0.1, an origin the engine accepts."""

    def __init__(self, root: Path = ROOT):
        handler = functools.partial(_QuietHandler, directory=str(root))
        self._httpd = http.server.ThreadingHTTPServer((HOST, 0), handler)
        self.origin = f"http://{HOST}:{self._httpd.server_address[1]}"
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()

    def url(self, page: str, engine_port: int, seed: int) -> str:
        """page is FOLDER or FOLDER?QUERY; the engine and seed parameters are added to the query."""
        folder, _, query = page.partition("?")
        path = "/" + folder.strip("/") + "/"
        return f"{self.origin}{path}?{query + '&' if query else ''}engine=ws://{HOST}:{engine_port}&seed={seed}"

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()


def chromium_path() -> str:
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    raise SystemExit("no chromium or chromium-browser on PATH (scripts/setup.sh installs Debian's chromium)")


def renderer_processes() -> int:
    """Chromium renderer processes descended from this one: how many processes the open tabs share."""
    children: dict[int, list[int]] = {}
    cmdlines: dict[int, bytes] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
            cmdlines[int(entry)] = Path(f"/proc/{entry}/cmdline").read_bytes()
        except OSError:
            continue
        parent = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(parent, []).append(int(entry))
    count, todo = 0, [os.getpid()]
    while todo:
        for child in children.get(todo.pop(), []):
            count += b"--type=renderer" in cmdlines.get(child, b"")
            todo.append(child)
    return count


@contextlib.asynccontextmanager
async def chromium() -> AsyncIterator[Any]:
    """Headless Chromium, the system's own, through Playwright (which never downloads a browser here)."""
    from playwright.async_api import async_playwright

    async with async_playwright() as p:
        browser = await p.chromium.launch(executable_path=chromium_path(), headless=True, args=CHROMIUM_ARGS,
                                          timeout=CONNECT_TIMEOUT_S * 1000)
        try:
            yield browser
        finally:
            await browser.close()


@contextlib.asynccontextmanager
async def pages_on(browser: Any, engines: list, urls: list[str]) -> AsyncIterator[list]:
    """One tab per engine, all in one browser context, each connected to its engine. An error thrown in a
    page's script fails the measurement instead of slowing it down unseen."""
    context = await browser.new_context()
    errors: list[str] = []
    try:
        connected = [asyncio.ensure_future(e.wait_connected(timeout_secs=CONNECT_TIMEOUT_S)) for e in engines]
        pages = []
        for url in urls:
            page = await context.new_page()
            page.on("pageerror", lambda e, url=url: errors.append(f"{url}: {e}"))
            await page.goto(url, timeout=CONNECT_TIMEOUT_S * 1000)
            pages.append(page)
        await asyncio.gather(*connected)
        yield pages
        if errors:
            raise RuntimeError("page errors:\n" + "\n".join(errors))
    finally:
        await context.close()


class LockStep:
    """N engines stepped together, `await asyncio.gather(*(e.step_and_sync() for e in engines))`, and reset
    together every EPISODE_STEPS steps as a vector environment does (the resets are not timed). Runs in
    slices: between them the pages idle while other pages are measured."""

    def __init__(self, engines: list):
        self.engines = engines
        self.episode = 0
        self.since_reset = EPISODE_STEPS

    async def run(self, seconds: float) -> tuple[int, float]:
        """Steps for `seconds`; (env-steps, seconds spent in steps)."""
        steps, timed = 0, 0.0
        deadline = time.perf_counter() + seconds
        while True:
            if self.since_reset >= EPISODE_STEPS:
                await asyncio.gather(*(e.reset_episode(self.episode % 8, "train") for e in self.engines))
                self.episode, self.since_reset = self.episode + 1, 0
            started = time.perf_counter()
            await asyncio.gather(*(e.step_and_sync() for e in self.engines))
            timed += time.perf_counter() - started
            steps += len(self.engines)
            self.since_reset += 1
            if started >= deadline:
                return steps, timed


# A page that draws later still owes the display of its last steps when its slice ends; it draws them now, and
# the time counts as its own. Pages without the bundled page's hook owe at most one frame.
SETTLE = "window.uiPeerPage ? window.uiPeerPage.drawn() : null"


async def measure(labels: dict[str, str], sizes: list[int], rounds: int, seconds: float) -> dict:
    """For each N, all labels' pages open at once (N tabs each, one browser context per label), then `rounds`
    rounds in which every label steps its engines for one slice of `seconds`, in an order that turns each
    round, so that the machine's load changes fall on all labels alike."""
    from py_engine_rust import RustEngineAsync

    server = PageServer()
    results: dict[str, dict[int, list[float]]] = {label: {n: [] for n in sizes} for label in labels}
    renderers: dict[int, int] = {}
    try:
        async with chromium() as browser:
            for n in sizes:
                async with contextlib.AsyncExitStack() as stack:
                    runs: dict[str, tuple[LockStep, list]] = {}
                    for label, folder in labels.items():
                        ports = free_ports(n)
                        engines = [RustEngineAsync(HOST, port) for port in ports]
                        for e in engines:
                            await e.start()
                        urls = [server.url(folder, port, seed=i + 1) for i, port in enumerate(ports)]
                        pages = await stack.enter_async_context(pages_on(browser, engines, urls))
                        runs[label] = LockStep(engines), pages
                        await runs[label][0].run(0.3)  # warm up
                    renderers[n] = renderer_processes()
                    order = list(labels)
                    for r in range(rounds):
                        for label in order[r % len(order):] + order[:r % len(order)]:
                            run, pages = runs[label]
                            steps, timed = await run.run(seconds)
                            started = time.perf_counter()
                            await asyncio.gather(*(p.evaluate(SETTLE) for p in pages))
                            rate = steps / (timed + time.perf_counter() - started)
                            results[label][n].append(rate)
                            print(f"round {r + 1}  N={n:<3} {label:<12} {rate:8.0f} env-steps/s", flush=True)
    finally:
        server.close()
    return {"results": results, "renderers": renderers}


def report(out: dict, labels: list[str], sizes: list[int]) -> str:
    """Median env-steps/s of each page, and the median over the rounds of its ratio to the first page measured
    in the same round (the load of a shared machine drifts less within a round than across rounds)."""
    res, first = out["results"], labels[0]
    lines = ["| page | " + " | ".join(f"N = {n}" for n in sizes) + " |", "|---|" + "---|" * len(sizes)]
    for label in labels:
        cells = []
        for n in sizes:
            ratio = statistics.median(a / b for a, b in zip(res[label][n], res[first][n]))
            cells.append(f"{statistics.median(res[label][n]):,.0f} ({ratio:.2f}x)")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append(f"env-steps/s, the median over {len(res[first][sizes[0]])} rounds; in brackets the median of the "
                 f"rounds' ratios to {first}. Renderer processes with all pages open: " + ", ".join(
                     f"{out['renderers'][n]} for {len(labels)} x {n} pages" for n in sizes) + ".")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, nargs="+", default=[1, 4, 16])
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=4.0, help="seconds of stepping in each slice")
    parser.add_argument("--page", action="append", metavar="LABEL=FOLDER[?QUERY]",
                        help="a page to measure (default: bare=bench/bare-page bundled=peer)")
    args = parser.parse_args()
    labels = dict(p.split("=", 1) for p in (args.page or ["bare=bench/bare-page", "bundled=peer"]))
    for page in labels.values():
        folder = page.partition("?")[0]
        if not (ROOT / folder / "index.html").is_file():
            raise SystemExit(f"no index.html in {ROOT / folder}")
    out = asyncio.run(measure(labels, args.n, args.rounds, args.seconds))
    print()
    print(report(out, list(labels), args.n))


if __name__ == "__main__":
    main()
