"""UI pages in headless Chromium: the browser an environment launches with ``launch_peer="browser"``.

Playwright drives the system's Chromium (``browser=``, else ``chromium`` or ``chromium-browser`` on PATH;
Playwright's own browser download is never used). Everything here runs on the environment's event loop.
Each page gets a browser context of its own: contexts never share a renderer process, so N pages use the
machine's cores (tabs of one context share one renderer, and one core).

Needs the ``[browser]`` extra: ``pip install "py_engine_rust[browser]"`` (Playwright and Pillow).
"""

from __future__ import annotations

import asyncio
import collections
import io
import shutil
from typing import Any

import numpy as np

from .errors import PeerError

CHROMIUM_NAMES = ("chromium", "chromium-browser")
NO_CHROMIUM = (
    "no Chromium to launch the UI pages in: {looked}. Install Debian's chromium (apt-get install chromium) "
    "or give browser='/path/to/chromium'; Playwright's own browser download is not used"
)
NO_PLAYWRIGHT = 'launch_peer="browser" needs Playwright and Pillow: pip install "py_engine_rust[browser]"'
# Chromium runs as root in containers, where its sandbox cannot start; pages must not be throttled when
# nobody looks at them, or a headless page would answer at a timer's pace.
CHROMIUM_ARGS = (
    "--no-sandbox",
    "--disable-background-timer-throttling",
    "--disable-renderer-backgrounding",
    "--disable-backgrounding-occluded-windows",
    "--disable-extensions",
    "--mute-audio",
)
# Console lines kept per page for error messages.
CONSOLE_LINES = 20
VIEWPORT = {"width": 1280, "height": 720}
DRAWN = "() => window.uiPeerPage?.drawn?.()"
DRAWN_SECS = 10.0


def find_chromium(browser: str | None) -> str:
    """The Chromium executable to launch: ``browser`` (a path or a name on PATH), else the first of
    ``CHROMIUM_NAMES`` on PATH. PeerError saying what was looked for when there is none."""
    names = (browser,) if browser else CHROMIUM_NAMES
    for name in names:
        found = shutil.which(name)
        if found:
            return found
    looked = (
        f"browser={browser!r} is not an executable"
        if browser
        else "neither chromium nor chromium-browser is on PATH"
    )
    raise PeerError(NO_CHROMIUM.format(looked=looked))


class BrowserPage:
    """One UI page in a context of its own. Knows why it can no longer answer (its script threw, it
    crashed, the browser went away) and keeps its last console lines for the error that says so."""

    pid = None  # a page is no process of its own; its browser is the environment's

    def __init__(self, page: Any, url: str, browser: Browser):
        self.page = page
        self.url = url
        self._browser = browser
        self._console: collections.deque[str] = collections.deque(maxlen=CONSOLE_LINES)
        self._failure: str | None = None
        page.on("console", lambda m: self._console.append(f"[{m.type}] {m.text}"))
        page.on("pageerror", self._script_failed)
        page.on("crash", lambda _: self._fail("the UI page crashed"))

    def _script_failed(self, error: Any) -> None:
        text = f"{error.name}: {error.message}" if getattr(error, "name", "") else str(error)
        self._console.append(f"[uncaught] {text}")
        self._fail(f"the UI page's script failed: {text}")

    def _fail(self, why: str) -> None:
        if self._failure is None:
            self._failure = f"{why} ({self.url})"

    def gone(self) -> str | None:
        return self._failure or self._browser.gone()

    def log_tail(self) -> str:
        return "\n".join(self._console)

    async def screenshot(self) -> np.ndarray:
        """What the page shows, as an H x W x 3 uint8 array."""
        from PIL import Image

        # A page that draws later (the bundled one) says when it shows everything it has answered.
        await asyncio.wait_for(self.page.evaluate(DRAWN), DRAWN_SECS)
        png = await self.page.screenshot(type="png")
        with Image.open(io.BytesIO(png)) as image:
            return np.asarray(image.convert("RGB"))


class Browser:
    """A headless Chromium owned by one environment. Used on that environment's event loop only."""

    def __init__(self, playwright: Any, browser: Any, executable: str):
        self._playwright = playwright
        self._browser = browser
        self.executable = executable
        self.pages: list[BrowserPage] = []
        self._failure: str | None = None
        browser.on("disconnected", lambda _: self._lost())

    def _lost(self) -> None:
        if self._failure is None:
            self._failure = f"the browser ({self.executable}) exited"

    def gone(self) -> str | None:
        return self._failure

    @classmethod
    async def launch(cls, browser: str | None) -> Browser:
        executable = find_chromium(browser)
        try:
            from playwright.async_api import async_playwright

            import PIL  # noqa: F401 - screenshots become arrays through it
        except ImportError as e:
            raise PeerError(f"{NO_PLAYWRIGHT} ({e})") from None
        playwright = await async_playwright().start()
        try:
            launched = await playwright.chromium.launch(
                executable_path=executable, headless=True, args=list(CHROMIUM_ARGS)
            )
        except BaseException as e:
            await playwright.stop()
            if isinstance(e, Exception):
                raise PeerError(f"could not launch {executable}: {e}") from e
            raise
        return cls(playwright, launched, executable)

    async def open(self, url: str) -> BrowserPage:
        """A new page on ``url``, in a context of its own. Returns once the page has started loading:
        whether it connects is for the environment to see."""
        context = await self._browser.new_context(viewport=VIEWPORT)
        page = BrowserPage(await context.new_page(), url, self)
        self.pages.append(page)
        try:
            await page.page.goto(url, wait_until="commit")
        except Exception as e:  # noqa: BLE001 - the page's own failure, reported as its state
            page._fail(f"the UI page could not be loaded: {e}")
        return page

    async def close(self) -> None:
        """Ends the browser and Playwright's driver; leaves no process behind."""
        try:
            if self._failure is None:
                await self._browser.close()
        finally:
            await self._playwright.stop()
