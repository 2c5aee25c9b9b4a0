"""UI pages in headless Chromium: the browser an environment launches with ``launch_peer="browser"``.

Playwright launches and owns the system's Chromium (``browser=``, else ``chromium`` or ``chromium-browser`` on
PATH; Playwright's own browser download is never used). Everything here runs on the environment's event loop.

The pages themselves live in a browser context made through the browser's DevTools protocol, which Playwright
leaves alone: it reports every WebSocket frame of the pages it instruments to this process (two events per
step, which doubled the CPU a step costs). Each page is watched through a session of its own that enables
only what the environment uses: the console, uncaught errors, crashes and screenshots. An environment's pages
share one context, each in a window of its own (a tab behind another never draws, so its screenshot would
never come) and a renderer process of its own, so N pages use the machine's cores. A context per page made
the browser's CPU per step two to three times as high with 16 pages.

Needs the ``[browser]`` extra: ``pip install "py_engine_rust[browser]"`` (Playwright and Pillow).
"""

from __future__ import annotations

import asyncio
import base64
import collections
import io
import json
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
DRAWN = "window.uiPeerPage?.drawn?.()"
DRAWN_SECS = 10.0
# A bound on every DevTools command; the browser answers them in milliseconds.
DEVTOOLS_SECS = 30.0
# What a page's session enables, and the page's size: the console and uncaught errors, crashes, a 1280 x 720
# viewport for screenshots.
WATCH = (
    ("Runtime.enable", None),
    ("Inspector.enable", None),
    ("Emulation.setDeviceMetricsOverride", {"width": 1280, "height": 720, "deviceScaleFactor": 1, "mobile": False}),
)


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
    """One UI page, watched through a DevTools session of its own. Knows why it can no longer answer (its
    script threw, it crashed, the browser went away) and keeps its last console lines for the error that
    says so."""

    pid = None  # a page is no process of its own; its browser is the environment's

    def __init__(self, browser: Browser, session_id: str, url: str):
        self.url = url
        self.session_id = session_id
        self._browser = browser
        self._console: collections.deque[str] = collections.deque(maxlen=CONSOLE_LINES)
        self._failure: str | None = None
        self._calls: dict[int, asyncio.Future[dict]] = {}
        self._last_call = 0
        self._answers = True

    async def send(self, method: str, params: dict | None = None) -> dict:
        """One DevTools command to the page; its result. PeerError if the page cannot answer."""
        if not self._answers:
            raise PeerError(self.gone() or f"the UI page closed ({self.url})")
        self._last_call += 1
        call = self._last_call
        answer = self._calls[call] = asyncio.get_running_loop().create_future()
        message = json.dumps({"id": call, "method": method, "params": params or {}})
        try:
            sent = {"sessionId": self.session_id, "message": message}
            await self._browser.send("Target.sendMessageToTarget", sent)
            reply = await asyncio.wait_for(answer, DEVTOOLS_SECS)
        except asyncio.TimeoutError:
            raise PeerError(f"the UI page did not answer {method} in {DEVTOOLS_SECS:g} s ({self.url})") from None
        finally:
            del self._calls[call]
        if "error" in reply:
            raise PeerError(f"{method} failed in the UI page: {reply['error'].get('message')} ({self.url})")
        return reply.get("result", {})

    def received(self, message: dict) -> None:
        """A message of this page's session: an answer to ``send`` or an event."""
        if "id" in message:
            answer = self._calls.get(message["id"])
            if answer is not None and not answer.done():
                answer.set_result(message)
            return
        method, params = message.get("method"), message.get("params", {})
        if method == "Runtime.consoleAPICalled":
            self._console.append(f"[{params.get('type')}] {console_text(params.get('args', []))}")
        elif method == "Runtime.exceptionThrown":
            text = exception_text(params.get("exceptionDetails", {}))
            self._console.append(f"[uncaught] {text}")
            self._fail(f"the UI page's script failed: {text}")
        elif method == "Inspector.targetCrashed":
            self._dead("the UI page crashed")

    def detached(self) -> None:
        """The page's session ended: the page closed, or its browser went."""
        self._dead("the UI page closed")

    def _dead(self, why: str) -> None:
        """The page will answer nothing more: what waits for an answer fails now, not at its bound."""
        self._fail(why)
        self._answers = False
        for answer in self._calls.values():
            if not answer.done():
                answer.set_exception(PeerError(self.gone() or f"{why} ({self.url})"))

    def _fail(self, why: str) -> None:
        if self._failure is None and self._browser.gone() is None and not self._browser.closing:
            self._failure = f"{why} ({self.url})"

    def gone(self) -> str | None:
        return self._failure or self._browser.gone()

    def log_tail(self) -> str:
        return "\n".join(self._console)

    async def navigate(self, url: str) -> None:
        """Loads ``url``; returns once the navigation has committed. A page that cannot be loaded is failed."""
        navigated = await self.send("Page.navigate", {"url": url})
        if navigated.get("errorText"):
            self._fail(f"the UI page could not be loaded: {navigated['errorText']}")

    async def screenshot(self) -> np.ndarray:
        """What the page shows, as an H x W x 3 uint8 array."""
        from PIL import Image

        # A page that draws later (the bundled one) says when it shows everything it has answered.
        drawn = self.send("Runtime.evaluate", {"expression": DRAWN, "awaitPromise": True})
        await asyncio.wait_for(drawn, DRAWN_SECS)
        png = base64.b64decode((await self.send("Page.captureScreenshot", {"format": "png"}))["data"])
        with Image.open(io.BytesIO(png)) as image:
            return np.asarray(image.convert("RGB"))


def console_text(args: list[dict]) -> str:
    """A console call's arguments as one line, as the page's own console shows them."""
    return " ".join(str(a["value"]) if "value" in a else str(a.get("description", a.get("type"))) for a in args)


def exception_text(details: dict) -> str:
    """An uncaught error as ``Name: message``."""
    exception = details.get("exception", {})
    if "description" in exception:
        return exception["description"].split("\n", 1)[0]
    if "value" in exception:
        return f"Uncaught {exception['value']}"
    return details.get("text", "Uncaught")


class Browser:
    """A headless Chromium owned by one environment. Used on that environment's event loop only."""

    def __init__(self, playwright: Any, browser: Any, devtools: Any, context: str, executable: str):
        self._playwright = playwright
        self._browser = browser
        self._devtools = devtools
        self.executable = executable
        self.pages: list[BrowserPage] = []
        self._by_session: dict[str, BrowserPage] = {}
        self._context = context  # the pages' browser context
        self._failure: str | None = None
        self.closing = False
        browser.on("disconnected", lambda _: self._lost())
        devtools.on("Target.receivedMessageFromTarget", self._received)
        devtools.on("Target.detachedFromTarget", self._detached)

    def _lost(self) -> None:
        if self._failure is None and not self.closing:
            self._failure = f"the browser ({self.executable}) exited"
        for page in self.pages:
            page.detached()

    def _received(self, event: dict) -> None:
        page = self._by_session.get(event.get("sessionId", ""))
        if page is not None:
            page.received(json.loads(event["message"]))

    def _detached(self, event: dict) -> None:
        page = self._by_session.pop(event.get("sessionId", ""), None)
        if page is not None:
            page.detached()

    def gone(self) -> str | None:
        return self._failure

    async def send(self, method: str, params: dict) -> dict:
        """One DevTools command to the browser. PeerError once the browser is gone."""
        if self._failure is not None:
            raise PeerError(self._failure)
        try:
            return await asyncio.wait_for(self._devtools.send(method, params), DEVTOOLS_SECS)
        except asyncio.TimeoutError:
            raise PeerError(f"the browser ({self.executable}) did not answer {method} within {DEVTOOLS_SECS:g} s")
        except Exception as e:  # noqa: BLE001 - Playwright's error for a browser that went away
            raise PeerError(self._failure or f"{method} failed in the browser ({self.executable}): {e}") from e

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
            devtools = await launched.new_browser_cdp_session()
            made = await asyncio.wait_for(
                devtools.send("Target.createBrowserContext", {"disposeOnDetach": True}), DEVTOOLS_SECS
            )
        except BaseException as e:
            await playwright.stop()
            if isinstance(e, Exception):
                raise PeerError(f"could not launch {executable}: {e}") from e
            raise
        return cls(playwright, launched, devtools, made["browserContextId"], executable)

    async def open(self, url: str) -> BrowserPage:
        """A new page on ``url``. Returns once the page has started loading: whether it connects is for the
        environment to see."""
        target = await self.send(
            "Target.createTarget", {"url": "about:blank", "browserContextId": self._context, "newWindow": True}
        )
        # A session of the old, unflattened kind: Playwright's own sessions carry no others.
        attached = await self.send("Target.attachToTarget", {"targetId": target["targetId"], "flatten": False})
        page = BrowserPage(self, attached["sessionId"], url)
        self.pages.append(page)
        self._by_session[page.session_id] = page
        # Watching starts before the page loads, so that no console line or error of its script is missed.
        for method, params in WATCH:
            await page.send(method, params)
        await page.navigate(url)
        return page

    async def close(self) -> None:
        """Ends the browser and Playwright's driver; leaves no process behind."""
        self.closing = True
        try:
            if self._failure is None:
                await self._browser.close()
        finally:
            await self._playwright.stop()
