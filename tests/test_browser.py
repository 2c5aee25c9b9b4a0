"""launch_peer="browser": the environments launch headless Chromium (the system's, through Playwright) with one
UI page per sub-environment, render its screenshots, and report what goes wrong with a page or the browser."""

import functools
import http.server
import os
import re
import signal
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")
pytest.importorskip("playwright")

try:
    import py_engine_rust_gym as prg
except ImportError:  # a development build of the module alone: take the package from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import py_engine_rust_gym as prg
from gymnasium.utils.env_checker import check_env  # noqa: E402
from py_engine_rust_gym import HOLD, LONG, PeerError, TradingUIEnv, TradingUIVectorEnv  # noqa: E402
from py_engine_rust_gym.browser import find_chromium  # noqa: E402

from support import procs  # noqa: E402

try:
    find_chromium(None)
except PeerError as e:
    pytest.fail(f"{e} (scripts/setup.sh installs it)")

OBS_SIZE = 32 * 5 + 3
BROWSER = dict(launch_peer="browser", verbose=False, connect_timeout=30)


def browser_processes() -> set[int]:
    """Chromium and Playwright's driver below this process."""
    found = set()
    for pid in procs.descendants(os.getpid()):
        try:
            cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
        except OSError:
            continue
        if b"chromium" in cmdline or b"playwright" in cmdline:
            found.add(pid)
    return found


@pytest.fixture
def no_browser_left():
    before = browser_processes()
    yield
    assert procs.wait_gone(browser_processes() - before, 10) == set()


class _Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture
def site(tmp_path):
    """Serves tmp_path on a loopback origin the engine accepts; site(name, html) writes a page and gives its URL."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_Quiet, directory=str(tmp_path)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()

    def page(name: str, html: str) -> str:
        # An icon of its own, so the browser asks the server for nothing else.
        (tmp_path / name).write_text('<link rel="icon" href="data:,">' + html)
        return f"http://127.0.0.1:{server.server_address[1]}/{name}"

    yield page
    server.shutdown()
    server.server_close()
    thread.join()


def test_check_env_passes_on_a_browser_environment(no_browser_left):
    made = gym.make(prg.ENV_ID, disable_env_checker=True, **BROWSER)
    try:
        assert made.unwrapped.metadata["render_modes"] == ["rgb_array"]
        check_env(made.unwrapped)
    finally:
        made.close()


def test_four_pages_step_200_times_with_autoreset_and_render(no_browser_left):
    envs = TradingUIVectorEnv(4, max_episode_steps=30, render_mode="rgb_array", **{**BROWSER, "launch_peer": None})
    try:
        assert envs.options.launch_peer == "browser"  # rgb_array asks for a browser by itself
        renderers = [p for p in browser_processes() if b"--type=renderer" in cmdline(p)]
        assert len(renderers) >= 4  # a renderer process per page (and perhaps a spare): they use every core
        targets = envs._resources.run(envs._resources.browser.send("Target.getTargets", {}))["targetInfos"]
        # One context for all: a context per page costs several times the CPU a step.
        assert len({t["browserContextId"] for t in targets if "engine=ws" in t["url"]}) == 1
        obs, infos = envs.reset(seed=3)
        assert obs.shape == (4, OBS_SIZE) and infos["step"].tolist() == [1] * 4
        envs.action_space.seed(3)
        truncations = resets = 0
        for _ in range(200):
            obs, rewards, terminated, truncated, infos = envs.step(envs.action_space.sample())
            assert obs.shape == (4, OBS_SIZE) and envs.observation_space.contains(obs)
            assert "interrupted" not in infos
            truncations += int(truncated.sum())
            resets += int(infos.get("_start_candle", np.zeros(4, bool)).sum())
        assert (truncations, resets) == (24, 24)  # each period of 31: 30 steps, truncated, then the autoreset
        frames = envs.render()
        assert len(frames) == 4
        assert all(f.shape == (720, 1280, 3) and f.dtype == np.uint8 for f in frames)
        assert all(f.std() > 10 for f in frames)  # a page with candles on it, not a blank
    finally:
        envs.close()


def test_a_page_that_never_connects_fails_with_its_console(site, no_browser_left):
    url = site("silent.html", "<script>console.log('here, but not connecting'); console.warn('really')</script>")
    with pytest.raises(PeerError) as e:
        TradingUIEnv(page_url=url, **{**BROWSER, "connect_timeout": 2})
    assert re.fullmatch(r"no UI peer connected to ws://127\.0\.0\.1:\d+ within 2 s", e.value.message)
    assert e.value.log_tail == "[log] here, but not connecting\n[warning] really"


def test_a_page_whose_script_throws_fails_at_once(site, no_browser_left):
    url = site("throws.html", "<script>console.log('starting'); throw new Error('the UI broke')</script>")
    with pytest.raises(PeerError) as e:
        TradingUIEnv(page_url=url, **BROWSER)
    assert re.fullmatch(
        r"the UI page's script failed: Error: the UI broke \(http://127\.0\.0\.1:\d+/throws\.html\?engine=ws"
        r"://127\.0\.0\.1:\d+&seed=1\)",
        e.value.message,
    )
    assert e.value.log_tail.splitlines() == ["[log] starting", "[uncaught] Error: the UI broke"]


@pytest.mark.parametrize(
    "page_url, expected",
    [
        ("http://127.0.0.1:8/", "http://127.0.0.1:8/?engine=ws://127.0.0.1:5&seed=2"),
        ("http://h:1/ui/?pace=0&seed=9&x=", "http://h:1/ui/?pace=0&x=&engine=ws://127.0.0.1:5&seed=2"),
        ("http://h:1/a.html?engine=ws://old:1#top", "http://h:1/a.html?engine=ws://127.0.0.1:5&seed=2#top"),
        (
            ("http://h:1/?pace=0", "--episode-length", "12", "--verbose", "--pace", "5", "--seed", "7"),
            "http://h:1/?episode_length=12&verbose=1&pace=5&engine=ws://127.0.0.1:5&seed=2",
        ),
    ],
    ids=["bare", "own-parameters", "replaced-engine", "peer-args"],
)
def test_the_page_gets_the_engine_and_seed_parameters(page_url, expected):
    url, *args = (page_url,) if isinstance(page_url, str) else page_url
    assert prg.peer.page_address(url, "ws://127.0.0.1:5", 2, args) == expected


def cmdline(pid: int) -> bytes:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return b""


def processes_with(marker: bytes) -> set[int]:
    """Every live process on the machine whose command line holds ``marker``."""
    return {int(p) for p in os.listdir("/proc") if p.isdigit() and marker in cmdline(int(p)) and procs.alive(int(p))}


def test_the_browser_killed_mid_episode_raises_and_leaves_nothing(no_browser_left):
    env = TradingUIEnv(**BROWSER)
    try:
        env.reset(seed=0)
        env.step(LONG)
        (browser,) = [p for p in browser_processes() if b"chromium" in cmdline(p) and b"--type=" not in cmdline(p)]
        profile = re.search(rb"--user-data-dir=([^\x00]+)", cmdline(browser)).group(1)
        os.kill(browser, signal.SIGKILL)
        # Its pages may answer for a moment; once the environment has seen the browser go, a step raises.
        deadline = time.monotonic() + 10
        while env.session.peer_gone() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        with pytest.raises(PeerError) as e:
            env.step(HOLD)
        assert e.value.message == f"the browser ({find_chromium(None)}) exited"
    finally:
        env.close()
    # Not one of its processes is left, orphaned renderers included.
    assert procs.wait_gone(processes_with(profile), 10) == set()


def test_a_crashed_page_raises_with_its_address(no_browser_left):
    env = TradingUIEnv(**BROWSER)
    try:
        env.reset(seed=0)
        env.step(LONG)
        page = env._resources.browser.pages[0]
        with pytest.raises(PeerError):  # the renderer dies before it answers
            env._resources.run(page.send("Page.crash"))
        with pytest.raises(PeerError) as e:
            env.step(HOLD)
        assert e.value.message == f"the UI page crashed ({page.url})"
    finally:
        env.close()


def test_a_missing_chromium_says_what_was_looked_for(no_browser_left):
    with pytest.raises(PeerError) as e:
        TradingUIEnv(browser="/nowhere/chromium", **BROWSER)
    assert str(e.value) == (
        "no Chromium to launch the UI pages in: browser='/nowhere/chromium' is not an executable. Install "
        "Debian's chromium (apt-get install chromium) or give browser='/path/to/chromium'; Playwright's own "
        "browser download is not used"
    )


def test_record_video_writes_the_agent_acting_in_the_page(tmp_path, no_browser_left):
    pytest.importorskip("moviepy")
    from gymnasium.wrappers import RecordVideo

    env = RecordVideo(
        gym.make(prg.ENV_ID, render_mode="rgb_array", max_episode_steps=12, verbose=False),
        str(tmp_path / "videos"),
        episode_trigger=lambda episode: episode == 0,
        disable_logger=True,
    )
    try:
        env.reset(seed=0)
        done = False
        while not done:
            _, _, terminated, truncated, _ = env.step(env.action_space.sample())
            done = terminated or truncated
    finally:
        env.close()
    (video,) = (tmp_path / "videos").glob("*.mp4")
    assert video.stat().st_size > 1000


EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


@pytest.mark.parametrize("page", ["bundled", "throws"])
def test_check_peer_checks_a_page_it_opens_itself(page, site, no_browser_left):
    import socket
    import subprocess

    server = prg.peer.PageServer() if page == "bundled" else None  # serves the bundled page
    if server is not None:
        url = server.base_url
    else:
        url = site("throws.html", "<script>console.error('no engine for me'); throw new TypeError('bad')</script>")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    try:
        done = subprocess.run(
            [sys.executable, str(EXAMPLES / "check_peer.py"), "--page-url", url, "--port", str(port), "--wait", "20"],
            capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL,
            env={**os.environ, "PYTHONPATH": str(Path(prg.__file__).parent.parent)},
        )
    finally:
        if server is not None:
            server.stop()
    if page == "bundled":
        assert done.returncode == 0, done.stdout + done.stderr
        assert done.stdout.count("PASS  ") == 14 and "14 passed, 0 failed" in done.stdout
    else:
        assert done.returncode == 2, done.stdout + done.stderr
        assert "no UI peer connected: the UI page's script failed: TypeError: bad" in done.stderr
        assert done.stderr.endswith("last lines of the page's console:\n[error] no engine for me\n[uncaught] TypeError: bad\n")


def test_a_page_reloaded_mid_episode_ends_it_and_no_order_goes_twice(no_browser_left):
    env = TradingUIEnv(**BROWSER)
    try:
        env.reset(seed=0)
        env.step(LONG)
        assert env.session.snapshot[3] == 1  # one open position, on the first page
        page = env._resources.browser.pages[0]
        env._resources.run(page.navigate(page.url))  # loads the page afresh, as a reload does
        # Whether the step meets the old connection closing or the new page's fresh account, it ends the
        # episode and sends nothing again.
        _, reward, terminated, truncated, info = env.step(HOLD)
        assert (reward, terminated, truncated) == (0.0, False, True)
        assert info["interrupted"] == "a different UI peer took over" or info["interrupted"].startswith(
            "the UI peer was lost: step_and_sync failed: RpcTransportError("
        ), info["interrupted"]
        _, info = env.reset(options={"episode_index": 1})
        assert info["position"] == 0 and env.session.snapshot[3] == 0  # the reloaded page's fresh account
        _, _, _, truncated, info = env.step(LONG)
        assert not truncated and env.session.snapshot[3] == 1  # one order, once
    finally:
        env.close()


def test_sixteen_pages_load_and_connect_at_once(no_browser_left):
    # 16 pages open about 100 connections to the page server together; every file must load all the same.
    envs = TradingUIVectorEnv(16, **BROWSER)
    try:
        obs, infos = envs.reset(seed=0)
        assert obs.shape == (16, OBS_SIZE) and infos["step"].tolist() == [1] * 16
        assert "interrupted" not in envs.step(np.zeros(16, dtype=np.int64))[4]
    finally:
        envs.close()
