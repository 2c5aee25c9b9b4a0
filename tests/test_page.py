"""The bundled page as a person sees it, in headless Chromium driven by Playwright: what its layout shows after
a realistic run, the end of a session, and a page that never gets a frame still answering.

Each test saves a screenshot into its tmp_path, to look at when an assertion fails.
"""

from __future__ import annotations

import asyncio
import contextlib
import re
import struct
from typing import Any, AsyncIterator

import pytest
from playwright.async_api import async_playwright
from websockets.asyncio.server import serve

from py_engine_rust import RustEngineAsync
from conftest import free_port, run
from support.pages import PageServer, chromium_exe

SEED = 7
HANDSHAKE_TEXT = '{"type":"handshake","python_library_version":"0.1.0"}'
TIMEOUT_MS = 15_000
CANDLE_COLORS = [(0x3F, 0xB7, 0x7A), (0xE0, 0x60, 0x5A)]


@contextlib.asynccontextmanager
async def chromium() -> AsyncIterator[Any]:
    async with async_playwright() as p:
        browser = await p.chromium.launch(executable_path=chromium_exe(), headless=True,
                                          args=["--no-sandbox", "--disable-gpu"], timeout=TIMEOUT_MS)
        try:
            yield browser
        finally:
            await browser.close()


async def open_page(browser: Any, url: str, viewport: tuple[int, int] = (1280, 720), init_script: str = "") -> Any:
    page = await browser.new_page(viewport={"width": viewport[0], "height": viewport[1]})
    page.set_default_timeout(TIMEOUT_MS)
    if init_script:
        await page.add_init_script(init_script)
    await page.goto(url)
    return page


@contextlib.asynccontextmanager
async def page_on_engine(query: str = "", viewport: tuple[int, int] = (1280, 720), init_script: str = "",
                         start_seq: int | None = None) -> AsyncIterator[tuple[RustEngineAsync, Any]]:
    """A started engine and the bundled page, served from 127.0.0.1 and opened in Chromium, connected to it."""
    port = free_port()
    engine = RustEngineAsync("127.0.0.1", port, start_seq=start_seq)
    await engine.start()
    pages = PageServer("127.0.0.1")
    try:
        async with chromium() as browser:
            connected = engine.wait_connected(timeout_secs=20)
            page = await open_page(browser, pages.page(port, SEED, query), viewport, init_script)
            await connected
            yield engine, page
    finally:
        pages.close()


async def drawn(page: Any) -> None:
    """Until the page shows everything it has answered (it draws later, at most once a frame)."""
    await page.evaluate("window.uiPeerPage.drawn()")


def log_texts(log: str) -> list[str]:
    """The page's log lines, newest first, without their time stamps and with every duration as D."""
    return [re.sub(r"\(\d+\.\d ms\)", "(D ms)", line.split("  ", 1)[1]) for line in log.splitlines()]


# ---- a run as the demo makes it --------------------------------------------------------------------------

EPISODES = 10
EPISODE_STEPS = 3
# Seqs of six digits and steps held back 50 ms make the longest log lines a run writes ("#100012 step_and_sync
# ok (50.3 ms)"); 10 000 units at a price near 100 make returns of tens of per cent, the widest summary.
START_SEQ = 99_990
PACE_MS = 50
RUN_QUERY = f"&pace={PACE_MS}&episode_length={EPISODE_STEPS}&train_episodes={EPISODES}&test_episodes={EPISODES}"


async def drive_run(engine: RustEngineAsync) -> list[list[str]]:
    """Ten train and ten test episodes, the first of each leaving a position open, then a test episode with two
    positions opened at one price, one with exits. The result rows the page must show, newest first."""
    rows = []
    for kind in ("train", "test"):
        for index in range(EPISODES):
            await engine.reset_episode(index, kind)
            if index == 0:
                await engine.place_ticket("buy", 10000)
            for _ in range(EPISODE_STEPS):
                _, snap = await engine.step_and_sync()
            pnl = snap[0] - 10000
            won_lost = "0/0, 1 still open" if index == 0 else "0/0"
            rows.insert(0, [f"{kind} {index}", str(EPISODE_STEPS), f"{pnl:+.2f}", f"{100 * pnl / 10000:+.3f}", won_lost])
    await engine.reset_episode(0, "test")
    await engine.place_ticket("buy", 10000, take_profit=1.5, stop_loss=1.5)
    await engine.place_ticket("sell", 5)
    await engine.step_and_sync()
    return rows


LAYOUT = """() => {
  const $ = (id) => document.getElementById(id);
  const box = (el) => { const r = el.getBoundingClientRect();
    return { left: r.left, top: r.top, right: r.right, bottom: r.bottom, width: r.width, height: r.height }; };
  const lines = (el) => el.getBoundingClientRect().height / parseFloat(getComputedStyle(el).lineHeight);
  const overflow = (el) => el.scrollWidth - el.clientWidth;
  const canvas = $('chart');
  const c = canvas.getBoundingClientRect();
  const ratio = canvas.width / c.width;
  const g = canvas.getContext('2d');
  // Pixels of the chart's canvas inside a box that are candle-coloured.
  const candlePixels = (r, colors) => {
    const x = Math.max(0, Math.floor((r.left - c.left) * ratio));
    const y = Math.max(0, Math.floor((r.top - c.top) * ratio));
    const data = g.getImageData(x, y, Math.ceil(r.width * ratio), Math.ceil(r.height * ratio)).data;
    let n = 0;
    for (let i = 0; i < data.length; i += 4) {
      if (data[i + 3] > 0 && colors.some(([red, green, blue]) => Math.abs(data[i] - red) < 40
        && Math.abs(data[i + 1] - green) < 40 && Math.abs(data[i + 2] - blue) < 40)) n++;
    }
    return n;
  };
  const tags = [...document.querySelectorAll('.tag')].filter((t) => !t.hidden);
  return {
    log: $('log').textContent,
    logLines: lines($('log')),
    logOverflow: overflow($('log-box')),
    headingLines: lines(document.querySelector('#results-box h2')),
    summary: $('results-summary').textContent,
    summaryLines: lines($('results-summary')),
    resultsOverflow: overflow($('results-box')),
    results: [...document.querySelectorAll('#results tr')].map((r) => [...r.cells].map((c) => c.textContent)),
    account: Object.fromEntries([...$('snapshot').rows].map((r) => [r.cells[0].textContent, r.cells[1].textContent])),
    chart: box($('chart-box')),
    candlesInPlot: candlePixels({ left: c.left, top: c.top, width: c.width / 2, height: c.height }, COLORS),
    tags: tags.map((t) => ({ text: t.textContent, box: box(t), lines: lines(t), overflow: overflow(t),
      candlePixels: candlePixels(t.getBoundingClientRect(), COLORS) })),
  };
}""".replace("COLORS", repr([list(c) for c in CANDLE_COLORS]))


def overlap(a: dict, b: dict) -> bool:
    return a["left"] < b["right"] and b["left"] < a["right"] and a["top"] < b["bottom"] and b["top"] < a["bottom"]


@pytest.mark.parametrize("viewport", [(1280, 720), (1024, 640)], ids=lambda v: f"{v[0]}x{v[1]}")
def test_page_after_a_run_shows_every_line_whole_and_every_label_clear(tmp_path, viewport):
    async def main():
        async with page_on_engine(RUN_QUERY, viewport, start_seq=START_SEQ) as (engine, page):
            rows = await drive_run(engine)
            await drawn(page)
            await page.screenshot(path=tmp_path / "page.png")
            return rows, await page.evaluate(LAYOUT)

    rows, layout = run(main(), timeout=90)
    # The log: one line per entry, none cut off at the side, the longest a run writes included.
    log = log_texts(layout["log"])
    calls = 2 * EPISODES * (1 + EPISODE_STEPS) + 2 + 4
    last = START_SEQ + calls - 1
    assert log[:2] == [f"#{last} step_and_sync ok (D ms)", f"#{last - 1} place_ticket ok (D ms)"]
    assert len(log) == calls + 1 and log[-1] == "handshake received"
    assert round(layout["logLines"]) == len(log)
    assert layout["logOverflow"] <= 0
    # The results: the heading and the summary on a line each, the table no wider than its panel.
    returns = {kind: [float(r[3]) for r in rows if r[0].startswith(kind)] for kind in ("train", "test")}
    assert layout["summary"] == " · ".join(f"{kind}: {EPISODES}, mean {sum(returns[kind]) / EPISODES:+.3f} %"
                                           for kind in ("train", "test"))
    assert (round(layout["headingLines"]), round(layout["summaryLines"])) == (1, 1)
    assert layout["resultsOverflow"] <= 0
    # Episodes whose position was never closed say so, instead of won/lost 0/0 alone.
    assert layout["results"] == [["episode", "steps", "pnl", "return %", "won/lost"], *rows]
    assert (layout["account"]["episode_type"], layout["account"]["episode_index"]) == ("test", "0")
    # The open position's labels: each whole on one line, inside the chart, apart from each other, and over
    # no candle (while the plot itself is full of them, so the pixel check does see candles where they are).
    tags = layout["tags"]
    assert sorted(t["text"] for t in tags) == ["#1 buy 10000", "#1 sl", "#1 tp", "#2 sell 5"]
    assert layout["candlesInPlot"] > 1000
    chart = layout["chart"]
    for t in tags:
        assert (round(t["lines"]), t["overflow"], t["candlePixels"]) == (1, 0, 0), t
        assert chart["left"] <= t["box"]["left"] and t["box"]["right"] <= chart["right"], t
        assert chart["top"] <= t["box"]["top"] and t["box"]["bottom"] <= chart["bottom"], t
    assert not any(overlap(a["box"], b["box"]) for i, a in enumerate(tags) for b in tags[i + 1:]), tags


# ---- the end of a session ---------------------------------------------------------------------------------


def request(seq: int, fn_id: int, payload: bytes = b"") -> bytes:
    return struct.pack("<BBHIHHI", 1, 1, 0, seq, fn_id, 0, len(payload)) + payload


STATUS = """() => ({ text: document.getElementById('status').textContent,
  state: document.getElementById('status').dataset.state,
  background: getComputedStyle(document.getElementById('status')).backgroundColor,
  log: document.getElementById('log').textContent })"""


def test_page_shows_that_the_session_ended_and_listens_quietly_for_the_next_run(tmp_path):
    async def main():
        port = free_port()
        ended: asyncio.Queue = asyncio.Queue()

        # A stand-in engine that plays one short session to its end_session, as the demo's replay does.
        async def session(ws):
            await ws.send(HANDSHAKE_TEXT)
            for seq, fn_id, payload in ((1, 101, struct.pack("<IB", 0, 1)), (2, 40, b"")):
                await ws.send(request(seq, fn_id, payload))
                reply = await ws.recv()
                assert struct.unpack_from("<BBHIH", reply)[:5] == (1, 2, 0, seq, fn_id)
            await ended.put(ws)
            await ws.wait_closed()

        pages = PageServer("127.0.0.1")
        server = await serve(session, "127.0.0.1", port)
        try:
            async with chromium() as browser:
                page = await open_page(browser, pages.page(port, SEED))
                sockets: asyncio.Queue = asyncio.Queue()
                page.on("websocket", lambda ws: sockets.put_nowait(ws.url))
                first = await asyncio.wait_for(ended.get(), 15)
                await drawn(page)
                connected = await page.evaluate(STATUS)
                # The engine's process ends: the connection drops without a close frame, nothing listens.
                first.transport.abort()
                server.close()
                await server.wait_closed()
                for _ in range(2):
                    await asyncio.wait_for(sockets.get(), 10)
                await drawn(page)
                after = await page.evaluate(STATUS)
                await page.screenshot(path=tmp_path / "session-ended.png")

                # The next run finds the page listening.
                server = await serve(session, "127.0.0.1", port)
                await asyncio.wait_for(ended.get(), 15)
                await drawn(page)
                again = await page.evaluate(STATUS)
                return connected, after, again
        finally:
            server.close()
            await server.wait_closed()
            pages.close()

    connected, after, again = run(main(), timeout=60)
    session_lines = ["#2 end_session ok (D ms)", "#1 reset_episode ok (D ms)", "handshake received"]
    assert (connected["text"], connected["state"], log_texts(connected["log"])) == ("connected", "open", session_lines)
    # Two failed reconnections later: the end of the session, said once, and nothing alarming.
    assert (after["text"], after["state"]) == ("session ended", "ended")
    assert log_texts(after["log"]) == ["session ended; the engine disconnected", *session_lines]
    assert after["background"] != "rgb(77, 30, 30)"  # the red of a lost engine
    assert (again["text"], again["state"]) == ("connected", "open")
    assert log_texts(again["log"]) == [*session_lines, "session ended; the engine disconnected",
                                       *session_lines]


# ---- answers never wait for a frame ------------------------------------------------------------------------


def test_page_that_never_gets_a_frame_answers_every_call(tmp_path):
    """A hidden or headless tab may get no animation frames at all; its answers must not wait for one."""

    async def main():
        async with page_on_engine(init_script="window.requestAnimationFrame = () => 0;") as (engine, page):
            await engine.reset_episode(0, "train", timeout_secs=2)
            for _ in range(300):
                _, snap = await engine.step_and_sync(timeout_secs=2)
            await page.screenshot(path=tmp_path / "no-frames.png")
            return snap, await page.evaluate("document.getElementById('counts').textContent")

    snap, counts = run(main(), timeout=60)
    # The market ran its whole episode of 200 steps (and stood still after), and the page never drew.
    assert (snap[5], snap[6]) == (200, 1)
    assert counts == ""


def test_page_on_demand_draws_only_when_asked(tmp_path):
    """display=on-demand, for a page no one watches: frames come, yet it draws only for drawn() (a screenshot)."""

    async def main():
        async with page_on_engine("&display=on-demand") as (engine, page):
            await engine.reset_episode(0, "train")
            for _ in range(50):
                await engine.step_and_sync()
            # Frames do come: two of them pass before the page is read.
            await page.evaluate("new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r)))")
            before = await page.evaluate("document.getElementById('counts').textContent")
            await drawn(page)
            await page.screenshot(path=tmp_path / "on-demand.png")
            after = await page.evaluate(STATUS)
            counts = await page.evaluate("document.getElementById('counts').textContent")
            return before, after, counts

    before, after, counts = run(main(), timeout=60)
    assert before == ""
    assert (counts, after["text"]) == ("51 requests, 0 errors", "connected")
    assert log_texts(after["log"])[:2] == ["#51 step_and_sync ok (D ms)", "#50 step_and_sync ok (D ms)"]
