"""The Gymnasium layer against the bundled Node peer: API conformance, autoreset, hooks, failures, cleanup."""

import contextlib
import gc
import json
import os
import pickle
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")

try:
    import py_engine_rust_gym as prg
except ImportError:  # a development build of the module alone: take the package from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import py_engine_rust_gym as prg
from gymnasium.utils.env_checker import check_env  # noqa: E402
from py_engine_rust_gym import (  # noqa: E402
    CLOSE,
    HOLD,
    LONG,
    SHORT,
    EngineError,
    PeerError,
    TradingUIEnv,
    TradingUIVectorEnv,
)
from py_engine_rust_gym.peer import NodePeer, node_command  # noqa: E402

from conftest import free_port  # noqa: E402
from support.compare import same_bits  # noqa: E402
from support.procs import children, gone  # noqa: E402

try:
    node_command()
except PeerError as e:
    pytest.skip(str(e), allow_module_level=True)

# The bundled peer's defaults (docs/protocol.md): 200-step episodes, a 32-candle window, 8 train episodes
# starting from candle 31 to 999, 2 test episodes starting at 1231 and 1299.
WINDOW = 32
OBS_SIZE = WINDOW * 5 + 3
TRAIN_STARTS = [31 + (i * (999 - 31)) // 7 for i in range(8)]
TEST_STARTS = [1231, 1299]
# reset() already takes the episode's first step, so 199 env steps reach the peer's step 200.
STEPS_TO_DONE = 199


def loop_threads() -> list[str]:
    return [t.name for t in threading.enumerate() if t.name.startswith("py_engine_rust_gym-")]


@pytest.fixture
def env():
    e = TradingUIEnv(launch_peer=True, verbose=False, connect_timeout=20)
    yield e
    e.close()


# ---- API conformance ------------------------------------------------------------------------------------


def test_check_env_passes():
    made = gym.make(prg.ENV_ID, launch_peer=True, verbose=False, disable_env_checker=True)
    try:
        check_env(made.unwrapped)
    finally:
        made.close()


def test_default_spaces_and_first_observation(env):
    assert env.observation_space.shape == (OBS_SIZE,)
    assert env.observation_space.dtype == np.float32
    assert env.action_space == gym.spaces.Discrete(4)
    obs, info = env.reset(seed=3, options={"episode_type": "train", "episode_index": 2})
    assert obs.shape == (OBS_SIZE,) and obs.dtype == np.float32
    assert env.observation_space.contains(obs)
    assert info == {
        "equity": 10000.0,
        "position": 0,
        "step": 1,
        "episode_index": 2,
        "start_candle": TRAIN_STARTS[2],
    }
    # The window as percent from the last close, oldest row first: the last close itself is 0.
    window = env.session.window
    expected = (window[:, :4] / window[-1, 3] - 1.0) * 100.0
    np.testing.assert_allclose(obs[: WINDOW * 5].reshape(WINDOW, 5)[:, :4], expected, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(
        obs[: WINDOW * 5].reshape(WINDOW, 5)[:, 4], window[:, 4] / window[:, 4].mean(), rtol=1e-6
    )
    assert obs[WINDOW * 5 - 2] == 0.0  # the last close
    assert list(obs[-3:]) == [0.0, 0.0, np.float32(1 / 200)]  # flat, no pnl, step 1 of 200


@pytest.mark.parametrize(
    "options, start",
    [
        ({"episode_type": "test", "episode_index": 0}, TEST_STARTS[0]),
        ({"episode_type": "test", "episode_index": 3}, TEST_STARTS[1]),  # the peer wraps the index
        ({"episode_index": 7}, TRAIN_STARTS[7]),
    ],
)
def test_reset_picks_the_episode(env, options, start):
    _, info = env.reset(options=options)
    assert info["start_candle"] == start
    assert env.session.episode_type == options.get("episode_type", "train")


def test_seeded_reset_draws_the_same_episodes(env):
    first = [env.reset(seed=11)[1]["episode_index"]] + [env.reset()[1]["episode_index"] for _ in range(5)]
    again = [env.reset(seed=11)[1]["episode_index"]] + [env.reset()[1]["episode_index"] for _ in range(5)]
    assert first == again
    assert len(set(first)) > 1


# ---- the default action and reward mappings ---------------------------------------------------------------


@pytest.mark.parametrize("order_type", ["market", "limit"])
@pytest.mark.parametrize("action, side", [(LONG, 1), (SHORT, -1)])
def test_entry_and_reward_follow_the_close(order_type, action, side):
    env = TradingUIEnv(launch_peer=True, verbose=False, units=3, order_type=order_type)
    try:
        env.reset(seed=0)
        entry = env.session.snapshot[7]  # entries fill at the last close
        obs, reward, terminated, truncated, info = env.step(action)
        close = env.session.snapshot[7]
        assert info["position"] == side and obs[-3] == side
        assert env.session.snapshot[3] == 1  # one open position at the peer
        assert reward == pytest.approx(side * 3 * (close - entry), abs=1e-9)
        assert info["equity"] == pytest.approx(10000.0 + side * 3 * (close - entry), abs=1e-9)
        assert (terminated, truncated) == (False, False)
        # The same way again holds; the other way reverses through a close.
        env.step(action)
        assert env.session.snapshot[3] == 1
        env.step(SHORT if action == LONG else LONG)
        assert env.session.snapshot[3] == 1 and env.position(env.session).side == -side
        _, reward, _, _, info = env.step(CLOSE)
        assert info["position"] == 0 and env.session.snapshot[3] == 0
        assert reward == 0.0  # flat: whatever the close did, equity did not move
        _, reward, _, _, _ = env.step(HOLD)
        assert reward == 0.0
    finally:
        env.close()


def test_episode_terminates_when_the_peer_says_done(env):
    env.reset(seed=0)
    for i in range(STEPS_TO_DONE):
        _, _, terminated, truncated, info = env.step(HOLD)
        assert terminated == (i == STEPS_TO_DONE - 1) and not truncated
    assert info["step"] == 200


def test_max_episode_steps_truncates():
    env = TradingUIEnv(launch_peer=True, verbose=False, max_episode_steps=3)
    try:
        env.reset(seed=0)
        flags = [env.step(HOLD)[2:4] for _ in range(3)]
        assert flags == [(False, False), (False, False), (False, True)]
    finally:
        env.close()


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"units": 0}, "units must be a whole number >= 1, got 0"),
        ({"order_type": "stop"}, "order_type must be 'market' or 'limit', got 'stop'"),
        ({"episode_type": "eval"}, "episode_type must be 'train' or 'test', got 'eval'"),
        ({"max_episode_steps": 0}, "max_episode_steps must be None or a whole number >= 1, got 0"),
        (
            {"observation_fn": lambda w, s, sess: w},
            "observation_fn needs observation_space (the space its observations belong to)",
        ),
    ],
)
def test_bad_arguments_fail_before_anything_starts(kwargs, message):
    with pytest.raises(ValueError) as e:
        TradingUIEnv(launch_peer=True, **kwargs)
    assert str(e.value) == message
    assert loop_threads() == []


# ---- hooks ------------------------------------------------------------------------------------------------

CLOSE_ONLY = gym.spaces.Box(-np.inf, np.inf, shape=(2,), dtype=np.float64)


def close_only(window, snapshot, session):
    return np.array([window[-1, 3], session.env_index], dtype=np.float64)


async def buy_on_one(action, session):
    session.user.setdefault("actions", []).append(int(action))
    if action == 1:
        await session.call("place_ticket", "buy", 2)


def sync_buy_on_one(action, session):
    session.user.setdefault("actions", []).append(int(action))
    # A plain function may hand back the command's future; the environment awaits it.
    return session.engine.place_ticket("buy", 2) if action == 1 else None


def price_change(prev, snapshot, session):
    return float(snapshot[7] - prev[7])


def after_two_steps(snapshot, session):
    return session.steps >= 2


class HookedEnv(TradingUIEnv):
    def make_spaces(self, config):
        return CLOSE_ONLY, gym.spaces.Discrete(2)

    def observe(self, window, snapshot, session):
        return close_only(window, snapshot, session)

    async def act(self, action, session):
        await buy_on_one(action, session)

    def step_reward(self, prev_snapshot, snapshot, session):
        return price_change(prev_snapshot, snapshot, session)

    def is_terminated(self, snapshot, session):
        return after_two_steps(snapshot, session)

    def make_info(self, snapshot, session):
        return {"open": int(snapshot[3])}


HOOK_ARGS = dict(
    observation_fn=close_only,
    observation_space=CLOSE_ONLY,
    action_fn=buy_on_one,
    action_space=gym.spaces.Discrete(2),
    reward_fn=price_change,
    terminated_fn=after_two_steps,
)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: TradingUIEnv(launch_peer=True, verbose=False, **HOOK_ARGS), id="callables"),
        pytest.param(
            lambda: TradingUIEnv(
                launch_peer=True, verbose=False, **{**HOOK_ARGS, "action_fn": sync_buy_on_one}
            ),
            id="sync-action",
        ),
        pytest.param(lambda: HookedEnv(launch_peer=True, verbose=False), id="subclass"),
    ],
)
def test_every_hook_is_used(make):
    env = make()
    try:
        assert env.observation_space == CLOSE_ONLY and env.action_space == gym.spaces.Discrete(2)
        obs, _ = env.reset(seed=0)
        assert obs.tolist() == [env.session.snapshot[7], 0.0]
        prev = env.session.snapshot[7]
        obs, reward, terminated, _, info = env.step(1)
        assert obs.tolist() == [env.session.snapshot[7], 0.0]
        assert reward == pytest.approx(env.session.snapshot[7] - prev)
        assert not terminated
        assert env.session.snapshot[3] == 1  # the hook's order reached the peer
        if isinstance(env, HookedEnv):
            assert info == {"open": 1}
        _, _, terminated, _, _ = env.step(0)
        assert terminated
        assert env.session.user["actions"] == [1, 0]
    finally:
        env.close()


def test_vector_env_applies_hooks_per_sub_environment():
    envs = TradingUIVectorEnv(2, launch_peer=True, verbose=False, **HOOK_ARGS)
    try:
        obs, _ = envs.reset(seed=0)
        assert obs.shape == (2, 2) and obs[:, 1].tolist() == [0.0, 1.0]
        obs, rewards, terminated, _, _ = envs.step(np.array([1, 0]))
        assert [s.snapshot[3] for s in envs.sessions] == [1, 0]
        assert [s.user["actions"] for s in envs.sessions] == [[1], [0]]
    finally:
        envs.close()


# ---- the vector environment -------------------------------------------------------------------------------


def test_vector_env_runs_500_steps_with_next_step_autoreset():
    n = 4
    envs = TradingUIVectorEnv(n, launch_peer=True, verbose=False)
    try:
        assert envs.metadata["autoreset_mode"] == gym.vector.AutoresetMode.NEXT_STEP
        assert envs.observation_space.shape == (n, OBS_SIZE)
        assert envs.action_space == gym.spaces.MultiDiscrete([4] * n)
        obs, infos = envs.reset(seed=5)
        assert obs.shape == (n, OBS_SIZE) and infos["step"].tolist() == [1] * n
        envs.action_space.seed(5)
        done_at, reset_at = [], []
        for t in range(500):
            obs, rewards, terminated, truncated, infos = envs.step(envs.action_space.sample())
            assert obs.shape == (n, OBS_SIZE) and rewards.dtype == np.float64
            assert envs.single_observation_space.contains(obs[0])
            assert not truncated.any()
            if terminated.any():
                assert terminated.all()  # every episode has the same length
                done_at.append(t)
            if "start_candle" in infos:
                assert infos["_start_candle"].all()
                assert rewards.tolist() == [0.0] * n and not terminated.any()
                assert infos["step"].tolist() == [1] * n
                reset_at.append(t)
        assert done_at == [STEPS_TO_DONE - 1, 2 * STEPS_TO_DONE]
        assert reset_at == [STEPS_TO_DONE, 2 * STEPS_TO_DONE + 1]
    finally:
        envs.close()
    assert loop_threads() == []


def test_vector_env_reset_options_and_masked_autoreset():
    envs = TradingUIVectorEnv(3, launch_peer=True, verbose=False, max_episode_steps=2)
    try:
        _, infos = envs.reset(options={"episode_type": "test", "episode_index": [0, 1, 0]})
        assert infos["start_candle"].tolist() == [TEST_STARTS[0], TEST_STARTS[1], TEST_STARTS[0]]
        assert [s.episode_type for s in envs.sessions] == ["test"] * 3
        flags = [envs.step(np.zeros(3, dtype=np.int64))[3].tolist() for _ in range(3)]
        assert flags == [[False] * 3, [True] * 3, [False] * 3]  # truncated, then reset with the default type
        assert [s.episode_type for s in envs.sessions] == ["train"] * 3
        _, infos = envs.reset(options={"reset_mask": np.array([False, True, False]), "episode_index": 4})
        assert infos["_start_candle"].tolist() == [False, True, False]
        assert infos["start_candle"][1] == TRAIN_STARTS[4]
    finally:
        envs.close()


AUTORESET_ENVS = 3
AUTORESET_STEPS = 16
ENDINGS = {
    "terminated": {"peer_args": ["--episode-length", "6"]},  # the peer ends each episode after 5 steps
    "truncated": {"max_episode_steps": 4},
}


def autoreset_script(envs, mode):
    """Resets, random actions, a masked reset into test episodes that puts the sub-environments out of
    step, and with DISABLED the resets of whatever ended; yields every result."""
    rng = np.random.default_rng(11)
    yield envs.reset(seed=5)
    for t in range(AUTORESET_STEPS):
        out = envs.step(rng.integers(0, 4, size=AUTORESET_ENVS))
        yield out
        ended = out[2] | out[3]
        if mode == gym.vector.AutoresetMode.DISABLED and ended.any():
            yield envs.reset(options={"reset_mask": ended})
        if t == 2:
            yield envs.reset(options={"reset_mask": np.array([True, False, True]), "episode_type": "test"})


@pytest.mark.parametrize("ending", sorted(ENDINGS))
@pytest.mark.parametrize(
    "mode, copy",
    [
        (gym.vector.AutoresetMode.NEXT_STEP, True),
        (gym.vector.AutoresetMode.SAME_STEP, True),
        (gym.vector.AutoresetMode.SAME_STEP, False),
        (gym.vector.AutoresetMode.DISABLED, True),
    ],
    ids=["next-step", "same-step", "same-step-no-copy", "disabled"],
)
def test_vector_env_matches_sync_vector_env_bit_for_bit(mode, copy, ending):
    kwargs = {"launch_peer": True, "verbose": False, **ENDINGS[ending]}
    ours = TradingUIVectorEnv(AUTORESET_ENVS, autoreset_mode=mode, copy=copy, **kwargs)
    theirs = gym.vector.SyncVectorEnv(
        [lambda: TradingUIEnv(**kwargs)] * AUTORESET_ENVS, autoreset_mode=mode, copy=copy
    )
    try:
        assert ours.metadata["autoreset_mode"] == theirs.metadata["autoreset_mode"] == mode
        ends, autoresets, final_obs, previous = set(), 0, 0, None
        # In lock step: without copies, each result is only valid until the next call.
        steps = zip(autoreset_script(ours, mode), autoreset_script(theirs, mode), strict=True)
        for k, (a, b) in enumerate(steps):
            same_bits(a, b, f"result {k}")
            if not copy and previous is not None:
                assert a[0] is previous  # the one batch, overwritten
            previous = a[0]
            if len(a) == 5:
                ends |= {name for name, flags in zip(("terminated", "truncated"), a[2:4]) if flags.any()}
                autoresets += "start_candle" in a[4]
                final_obs += "final_obs" in a[4]
        assert ends == {ending}
        assert (autoresets > 0) == (mode != gym.vector.AutoresetMode.DISABLED)
        assert (final_obs > 0) == (mode == gym.vector.AutoresetMode.SAME_STEP)
    finally:
        ours.close()
        theirs.close()


# ---- failures ---------------------------------------------------------------------------------------------

RPC_ERROR = re.compile(
    r"init_candles failed: RpcError\(seq=\d+, fnId=100, err=3, sub=4\): "
    r"init_candles expects 5 columns \(open, high, low, close, volume\), got 4"
)


def test_engine_errors_carry_the_engine_text(env):
    env.reset(seed=0)

    async def bad_candles(action, session):
        await session.call("init_candles", np.zeros((40, 4)))

    env.action_fn = bad_candles
    with pytest.raises(EngineError) as e:
        env.step(0)
    assert RPC_ERROR.fullmatch(str(e.value)), str(e.value)
    assert e.value.command == "init_candles"
    env.action_fn = None
    env.step(HOLD)  # the connection survives a remote error


def test_engine_argument_errors_are_engine_errors():
    env = TradingUIEnv(launch_peer=True, verbose=False, order_type="limit")
    try:
        env.reset(seed=0)
        env.session.window = np.full((WINDOW, 5), np.nan)  # a limit price the engine refuses
        with pytest.raises(EngineError) as e:
            env.step(LONG)
        assert e.value.command == "place_order"
        assert str(e.value).startswith("place_order failed: ")
    finally:
        env.close()


def test_launched_peer_killed_mid_episode_raises_at_once(env):
    env.reset(seed=0)
    env.step(LONG)
    os.kill(env.peer_pid, signal.SIGKILL)
    t0 = time.monotonic()
    with pytest.raises(PeerError) as e:
        env.step(HOLD)
    assert time.monotonic() - t0 < 5  # not the 30 s reconnect wait: that process cannot come back
    assert re.search(rf"the UI peer process \(pid {env.peer_pid}\) exited with code -9", str(e.value))
    assert "[ui peer] connected to ws://" in e.value.log_tail


@pytest.mark.parametrize("comes_back", [False, True])
def test_external_peer_lost_mid_episode_ends_the_episode_and_reset_waits_for_it(comes_back, caplog):
    port = free_port()
    url = f"ws://127.0.0.1:{port}"
    peer = NodePeer(url)
    peers = []
    env = None
    try:
        env = TradingUIEnv(
            port=port, launch_peer=False, serve_page=False, reconnect_timeout=2.0, connect_timeout=20
        )
        obs, _ = env.reset(seed=0)
        peer.proc.send_signal(signal.SIGKILL)
        peer.stop()
        last = obs
        obs, reward, terminated, truncated, info = env.step(LONG)
        assert (reward, terminated, truncated) == (0.0, False, True)
        assert obs is last  # nothing new came: the last observation
        assert re.fullmatch(
            r"the UI peer was lost: place_ticket failed: RpcTransportError\(seq=Some\(\d+\), fnId=Some\(21\)\): .+",
            info["interrupted"],
        ), info["interrupted"]
        assert env.step(HOLD)[3:] == (True, info)  # the episode is over until the next reset
        if comes_back:
            later = threading.Timer(0.3, lambda: peers.append(NodePeer(url)))
            later.start()
            _, info = env.reset(
                options={"episode_index": 1}
            )  # waits, then starts on the new peer's fresh market
            later.join()
            assert info["start_candle"] == TRAIN_STARTS[1] and info["step"] == 1
            assert "interrupted" not in env.step(HOLD)[4]
        else:
            t0 = time.monotonic()
            with pytest.raises(PeerError) as e:
                env.reset()
            assert 2.0 <= time.monotonic() - t0 < 6
            assert str(e.value) == "reset: the UI peer did not come back within 2 s"
        assert re.search(
            rf"UI peer of {url} lost during a step \(place_ticket failed: .+\); the episode ends truncated",
            caplog.text,
        )
        assert f"waiting up to 2 s for the UI peer of {url} to come back" in caplog.text
    finally:
        if env is not None:
            env.close()
        for p in [peer, *peers]:
            p.stop()


def test_peer_that_exits_before_connecting_fails_at_once():
    t0 = time.monotonic()
    with pytest.raises(PeerError) as e:
        TradingUIEnv(
            launch_peer=True, verbose=False, connect_timeout=20, peer_args=["--sync-policy", "bogus"]
        )
    assert time.monotonic() - t0 < 10
    assert re.match(r"the UI peer process \(pid \d+\) exited with code 2\n", str(e.value))
    assert e.value.log_tail == "[ui peer] --sync-policy must be eager or deferred"
    assert loop_threads() == []


@pytest.mark.parametrize(
    "make", [dict(launch_peer=False), dict(render_mode="human")], ids=["external", "human"]
)
def test_no_peer_times_out_and_frees_the_page_server(make, caplog):
    port = free_port()
    with pytest.raises(PeerError) as e:
        TradingUIEnv(port=port, connect_timeout=0.5, **make)
    assert str(e.value) == f"no UI peer connected to ws://127.0.0.1:{port} within 0.5 s"
    out = caplog.text
    page = re.search(
        r"open (http://127\.0\.0\.1:(\d+)/\?engine=ws://127\.0\.0\.1:\d+&seed=1) in a browser", out
    )
    assert page, out
    with pytest.raises(OSError):  # the page server is gone with the failed environment
        urllib.request.urlopen(page.group(1), timeout=2)
    assert loop_threads() == []


def test_page_server_serves_the_bundled_page(caplog):
    port = free_port()
    peer = NodePeer(f"ws://127.0.0.1:{port}")
    try:
        env = TradingUIEnv(port=port, launch_peer=False, connect_timeout=20)
        try:
            out = caplog.text
            url = re.search(r"open (\S+) in a browser", out).group(1)
            with urllib.request.urlopen(url, timeout=5) as page:
                assert page.status == 200 and b"<title>UI peer</title>" in page.read()
        finally:
            env.close()
    finally:
        peer.stop()


# ---- engines outlive environments -------------------------------------------------------------------------


def test_an_address_is_reused_after_close_and_refused_while_in_use(caplog):
    first = TradingUIEnv(port=free_port(), launch_peer=True)
    port = first.port
    assert caplog.messages == [
        f"engine listening on ws://127.0.0.1:{port}; UI peer launched (pid {first.peer_pid}, seed 1)"
    ]
    caplog.clear()
    with pytest.raises(EngineError) as e:
        TradingUIEnv(port=port, launch_peer=True)
    assert str(e.value) == (
        f"start failed: ws://127.0.0.1:{port} is in use by another environment of this "
        "process; close that one first"
    )
    first.reset(seed=0)
    first.close()
    again = TradingUIEnv(port=port, launch_peer=True)
    try:
        assert caplog.messages[-1].startswith(f"engine reused on ws://127.0.0.1:{port}; UI peer launched")
        _, info = again.reset(options={"episode_index": 1})
        assert info["start_candle"] == TRAIN_STARTS[1]
        assert again.step(HOLD)[4]["step"] == 2
    finally:
        again.close()


def test_close_leaves_no_thread_or_child_process():
    before = children()
    single = TradingUIEnv(launch_peer=True, verbose=False)
    envs = TradingUIVectorEnv(2, launch_peer=True, verbose=False)
    pids = [single.peer_pid, *envs.peer_pids]
    assert set(pids) <= children()
    assert len(loop_threads()) == 2
    single.reset(seed=0)
    envs.reset(seed=0)
    single.close()
    envs.close()
    single.close()  # twice is fine
    assert loop_threads() == []
    assert all(gone(pid) for pid in pids)
    assert children() <= before
    for what, closed in (
        ("step()", lambda: single.step(HOLD)),
        ("reset()", lambda: single.reset()),
        ("command('get_snapshot')", lambda: single.command("get_snapshot")),
        ("step()", lambda: envs.step(np.zeros(2, dtype=np.int64))),
    ):
        with pytest.raises(gym.error.ClosedEnvironmentError) as e:
            closed()
        assert str(e.value) == f"{what} was called after the environment was closed"


FORK_SCRIPT = """
import os, sys
sys.path.insert(0, sys.argv[1])
from py_engine_rust_gym import TradingUIEnv, engines
env = TradingUIEnv(launch_peer=True, verbose=False)
env.close()
pid = os.fork()
if pid == 0:
    os._exit(10 + engines.listening("127.0.0.1", env.port))
_, status = os.waitpid(pid, 0)
print(engines.listening("127.0.0.1", env.port), os.waitstatus_to_exitcode(status))
"""


def test_a_forked_child_does_not_reuse_the_parents_engines(tmp_path):
    # The child has none of the parent's engine threads: reusing an engine there would hang.
    done = subprocess.run(
        [sys.executable, "-c", FORK_SCRIPT, str(Path(prg.__file__).parent.parent)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "True 10\n"


# ---- candles and commands ---------------------------------------------------------------------------------


def walk(rows: int) -> np.ndarray:
    close = 50.0 + np.cumsum(np.random.default_rng(7).normal(0, 0.2, rows))
    return np.column_stack([close, close + 0.1, close - 0.1, close, np.full(rows, 1000.0)])


@pytest.mark.parametrize("vector", [False, True], ids=["env", "vector"])
def test_candles_are_loaded_before_the_configuration_is_read(vector):
    candles = walk(300)
    if vector:
        env = TradingUIVectorEnv(2, launch_peer=True, verbose=False, candles=candles)
    else:
        env = TradingUIEnv(launch_peer=True, verbose=False, candles=candles)
    try:
        assert env.config["candles"] == 300 and env.config["candle_source"] == "init_candles"
        ohlc = env.command("get_ohlc")
        for got in ohlc if vector else [ohlc]:
            np.testing.assert_array_equal(got, candles)
        env.reset(seed=0)
        first = env.command("get_snapshot")
        closes = [s[7] for s in first] if vector else [first[7]]
        assert all(c in candles[:, 3] for c in closes)
    finally:
        env.close()


@pytest.mark.parametrize(
    "error, fields",
    [
        (
            EngineError("step_and_sync", "RpcError(seq=5, fnId=130, err=3, sub=0): gone"),
            ("command", "engine_text"),
        ),
        (PeerError("no UI peer connected", "last line"), ("message", "log_tail")),
    ],
    ids=["EngineError", "PeerError"],
)
def test_errors_cross_process_boundaries_intact(error, fields):
    """Rollout workers (Ray, multiprocessing) hand these back pickled; they must arrive as they left."""
    back = pickle.loads(pickle.dumps(error))
    assert (type(back), str(back)) == (type(error), str(error))
    assert [getattr(back, f) for f in fields] == [getattr(error, f) for f in fields]


# ---- hostile peers, reconnects and long runs (the fake UI of support/fakeui.py) ----------------------------

from support import fakeui  # noqa: E402
from support.fakeui import FakeUI  # noqa: E402

FAKE_OBS = fakeui.WINDOW * 5 + 3


@contextlib.contextmanager
def on_fake_ui(**kwargs):
    """A TradingUIEnv served by a FakeUI that connects once the engine listens: (env, ui)."""
    port = free_port()
    ui = FakeUI(port)
    opener = threading.Thread(target=ui.open)
    opener.start()
    env = None
    try:
        env = TradingUIEnv(
            port=port, launch_peer=False, serve_page=False, connect_timeout=10, verbose=False, **kwargs
        )
        opener.join()
        yield env, ui
    finally:
        opener.join()
        if env is not None:
            env.close()
        ui.close()


def replace_ui(env, old: FakeUI) -> FakeUI:
    """A fresh FakeUI on the environment's port, once the engine has dropped ``old`` for it."""
    new = FakeUI(env.port).open()
    old.wait_closed()
    return new


@pytest.mark.parametrize(
    "first, lost_on, kwargs",
    [
        ([], "place_ticket", {}),
        ([], "place_order", {"order_type": "limit"}),
        ([LONG], "close_positions", {}),
        ([], "step_and_sync", {}),
    ],
    ids=["place_ticket", "place_order", "close_positions", "step_and_sync"],
)
def test_a_command_lost_mid_step_is_never_sent_again(first, lost_on, kwargs):
    action = CLOSE if lost_on == "close_positions" else LONG
    with on_fake_ui(reconnect_timeout=5, **kwargs) as (env, ui):
        obs, _ = env.reset(seed=0)
        for a in first:
            obs, *_ = env.step(a)
        ui.drop_on = {lost_on}
        sent_before = ui.received[lost_on]
        got, reward, terminated, truncated, info = env.step(action)
        assert (got is obs, reward, terminated, truncated) == (True, 0.0, False, True)
        assert info["interrupted"].startswith(
            f"the UI peer was lost: {lost_on} failed: RpcTransportError(seq=Some("
        )
        assert ui.received[lost_on] == sent_before + 1
        new = FakeUI(env.port).open()
        try:
            _, info = env.reset(options={"episode_index": 1})
            assert info["step"] == 1 and "interrupted" not in env.step(HOLD)[4]
            # Nothing of the lost step reached the new peer: it got the set-up, the reset and one HOLD step.
            assert new.received == {"get_rl_config": 1, "reset_episode": 1, "step_and_sync": 2}
            assert ui.received["reset_episode"] == 1
        finally:
            new.close()


def test_a_command_that_changes_the_ui_raises_rather_than_going_twice():
    with on_fake_ui(reconnect_timeout=5) as (env, ui):
        env.reset(seed=0)
        ui.drop_on = {"place_ticket"}
        with pytest.raises(prg.PeerLost) as e:
            env.command("place_ticket", "buy", 1)
        assert re.fullmatch(
            r"place_ticket failed: RpcTransportError\(seq=Some\(\d+\), fnId=Some\(21\)\): .+; it is not sent "
            r"again: it changes the UI's state and may have reached it",
            str(e.value),
        ), str(e.value)
        assert ui.received["place_ticket"] == 1
        assert env.step(HOLD)[3] is True  # the episode it belonged to is over


def test_a_read_is_sent_again_to_the_peer_that_comes_back():
    with on_fake_ui(reconnect_timeout=5) as (env, ui):
        env.reset(seed=0)
        ui.drop_on = {"get_snapshot"}
        peers = []
        comer = threading.Thread(target=lambda: (ui.dropped.wait(5), peers.append(FakeUI(env.port).open())))
        comer.start()
        try:
            snapshot = env.command("get_snapshot")
            comer.join()
            assert snapshot.tolist() == fakeui.Market().snapshot()  # the new peer's fresh account
            assert ui.received["get_snapshot"] == peers[0].received["get_snapshot"] == 1
            assert env.step(HOLD)[4]["interrupted"].startswith("the UI peer was lost: get_snapshot failed: ")
        finally:
            comer.join()
            for p in peers:
                p.close()


def test_a_different_peer_taking_over_ends_the_episode_without_mixing_accounts():
    with on_fake_ui(candles=np.tile([100.0, 100.5, 99.5, 100.0, 1000.0], (60, 1))) as (env, ui):
        env.reset(seed=0)
        env.step(LONG)
        _, reward, *_ = env.step(HOLD)
        assert reward == 1.0  # one unit, the close rose by 1
        new = replace_ui(env, ui)
        try:
            new.market.balance = 5.0  # another account: its equity must never meet the old one's
            _, reward, terminated, truncated, info = env.step(HOLD)
            assert (reward, terminated, truncated) == (0.0, False, True)
            assert info["interrupted"] == "a different UI peer took over"
            _, info = env.reset(options={"episode_index": 2})
            assert info["equity"] == fakeui.INITIAL and info["position"] == 0
            _, reward, _, truncated, _ = env.step(HOLD)
            assert (reward, truncated) == (0.0, False)
            # The new peer was set up as the first one was: candles, then its configuration.
            assert new.received["init_candles"] == ui.received["init_candles"] == 1
        finally:
            new.close()


def test_a_peer_with_other_settings_cannot_take_over():
    with on_fake_ui() as (env, ui):
        env.reset(seed=0)
        new = FakeUI(env.port, config=json.dumps({"window": 4}))
        new.open()
        try:
            ui.wait_closed()
            assert env.step(HOLD)[4]["interrupted"] == "a different UI peer took over"
            with pytest.raises(PeerError) as e:
                env.reset()
            assert str(e.value).startswith(
                f"the UI peer that connected to {env.url} has other spaces than the first one: Box("
            )
        finally:
            new.close()


def test_a_hook_calling_back_into_its_environment_fails_at_once():
    calls = []

    def reenters(action, session):
        calls.append(action)
        env.command("get_snapshot")

    with on_fake_ui(action_fn=reenters) as (env, ui):
        env.reset(seed=0)
        with pytest.raises(RuntimeError) as e:
            env.step(1)
        assert str(e.value) == (
            "command('get_snapshot') was called from the environment's own event loop, where its hooks run, so "
            "it would wait for itself for ever; in a hook, await session.call(name, ...) instead"
        )
        assert calls == [1]


def open_descriptors() -> int:
    # An event loop's wake-up descriptor goes with the loop object, which a traceback's reference cycle may
    # hold until the collector runs: count what is left once it has.
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("vector", [False, True], ids=["env", "vector"])
def test_making_and_closing_keeps_descriptors_and_listeners_constant(vector):
    def cycle():
        if vector:
            env = TradingUIVectorEnv(2, launch_peer=True, verbose=False)
            env.reset(seed=0)
        else:
            env = TradingUIEnv(launch_peer=True, verbose=False)
            env.reset(seed=0)
        env.close()

    cycle()
    fds, listeners = open_descriptors(), prg.engines.count()
    for _ in range(8):
        cycle()
    assert (open_descriptors(), prg.engines.count()) == (fds, listeners)


def test_failed_constructions_keep_descriptors_and_listeners_constant():
    def attempt():
        with pytest.raises(PeerError):
            TradingUIEnv(launch_peer=False, serve_page=False, connect_timeout=0.01, verbose=False)

    attempt()
    fds, listeners = open_descriptors(), prg.engines.count()
    for _ in range(200):
        attempt()
    assert (open_descriptors(), prg.engines.count()) == (fds, listeners)


def tamper_step(snapshot=None, window=None):
    """A step_and_sync answer with some snapshot elements or window cells replaced."""

    def change(payload: bytes) -> bytes:
        (n,) = struct.unpack_from("<I", payload)
        snap = list(struct.unpack_from(f"<{n}d", payload, 4))
        rows, cols = struct.unpack_from("<II", payload, 4 + 8 * n)
        cells = list(struct.unpack_from(f"<{rows * cols}d", payload, 12 + 8 * n))
        for i, v in (snapshot or {}).items():
            snap[i] = v
        for (r, c), v in (window or {}).items():
            cells[r * cols + c] = v
        return fakeui.vec(snap) + struct.pack(f"<II{len(cells)}d", rows, cols, *cells)

    return change


LAST = fakeui.WINDOW - 1


@pytest.mark.parametrize(
    "tampered",
    [
        tamper_step(window={(LAST, 3): np.nan}),  # the last close: every price is relative to it
        tamper_step(window={(LAST, 3): np.inf}),
        tamper_step(window={(0, 0): -np.inf, (2, 4): np.nan, (3, 1): 1e300}),
        tamper_step(window={(LAST, 3): 0.0}),
        tamper_step(snapshot={2: np.nan}),  # unrealized pnl
        tamper_step(snapshot={0: 0.0, 2: np.inf}),  # no equity
        tamper_step(snapshot={2: -1e300}),
    ],
    ids=["nan-close", "inf-close", "mixed", "zero-close", "nan-pnl", "inf-pnl-no-equity", "huge-pnl"],
)
def test_observations_stay_in_their_space_whatever_the_peer_sends(tampered):
    with on_fake_ui() as (env, ui):
        env.reset(seed=0)
        env.step(LONG)
        ui.tamper["step_and_sync"] = tampered
        obs, *_ = env.step(HOLD)
        assert obs.shape == (FAKE_OBS,) and obs.dtype == np.float32
        assert np.isfinite(obs).all() and env.observation_space.contains(obs)


def order_reply(id_value):
    return lambda payload: fakeui.vec([1, id_value, 1, 100.0, 0])


@pytest.mark.parametrize(
    "command, tamper, message",
    [
        (
            "place_ticket",
            order_reply(np.nan),
            "the UI peer sent place_ticket position id = nan, not a whole number",
        ),
        (
            "place_ticket",
            order_reply(np.inf),
            "the UI peer sent place_ticket position id = inf, not a whole number",
        ),
        (
            "place_ticket",
            order_reply(2.0**40),
            "the UI peer sent place_ticket position id = 1099511627776.0, outside -2147483648 to 2147483647",
        ),
        (
            "place_ticket",
            order_reply(1.5),
            "the UI peer sent place_ticket position id = 1.5, not a whole number",
        ),
        (
            "step_and_sync",
            tamper_step(snapshot={0: np.nan}),
            "the UI peer sent equity = nan, not a finite number",
        ),
        (
            "step_and_sync",
            tamper_step(snapshot={5: 2.0, 0: np.inf}),
            "the UI peer sent equity = inf, not a finite number",
        ),
    ],
    ids=["id-nan", "id-inf", "id-2**40", "id-fraction", "equity-nan", "equity-inf"],
)
def test_bad_values_in_answers_raise_peer_errors_naming_them(command, tamper, message):
    with on_fake_ui() as (env, ui):
        env.reset(seed=0)
        ui.tamper[command] = tamper
        with pytest.raises(PeerError) as e:
            env.step(LONG)
        assert str(e.value) == message


DEEP = "[" * 100_000 + "]" * 100_000


@pytest.mark.parametrize(
    "config, message",
    [
        (
            '{"train_episodes": 18446744073709551616}',
            "the UI peer sent get_rl_config train_episodes = 18446744073709551616, outside 1 to 4294967296",
        ),
        ('{"window": 268435456}', "the UI peer sent get_rl_config window = 268435456, outside 1 to 4096"),
        ('{"window": 0}', "the UI peer sent get_rl_config window = 0, outside 1 to 4096"),
        ('{"window": "32"}', "the UI peer sent get_rl_config window = '32', not a number"),
        ('{"test_episodes": 2.5}', "the UI peer sent get_rl_config test_episodes = 2.5, not a whole number"),
        (
            '{"episode_length": NaN}',
            "the UI peer sent get_rl_config episode_length = nan, not a whole number",
        ),
        (
            '{"window": 8',
            "the UI peer sent get_rl_config = '{\"window\": 8', not JSON (Expecting ',' delimiter: line 1 column 13 (char 12))",
        ),
        ("[1, 2]", "the UI peer sent get_rl_config = '[1, 2]', not a JSON object"),
        (DEEP, "the UI peer sent get_rl_config nested too deeply to read"),
    ],
    ids=[
        "count-2**64",
        "window-2**28",
        "window-0",
        "window-text",
        "count-fraction",
        "length-nan",
        "not-json",
        "list",
        "deep",
    ],
)
def test_bad_configurations_raise_peer_errors_naming_the_field(config, message):
    port = free_port()
    ui = FakeUI(port, config=config)
    opener = threading.Thread(target=ui.open)
    opener.start()
    try:
        with pytest.raises(PeerError) as e:
            TradingUIEnv(port=port, launch_peer=False, serve_page=False, connect_timeout=10, verbose=False)
        assert str(e.value) == message
    finally:
        opener.join()
        ui.close()


def test_a_config_text_with_no_settings_is_a_peer_with_none():
    with on_fake_ui() as (env, ui):
        assert prg.layout.parse_config("").raw == prg.layout.parse_config("  ").raw == {}
        assert env.config["window"] == fakeui.WINDOW


def process_threads() -> int:
    return len(os.listdir("/proc/self/task"))


def test_the_page_server_bounds_its_threads_and_idle_connections(monkeypatch):
    from py_engine_rust_gym import peer as peer_module

    monkeypatch.setattr(peer_module._QuietHandler, "timeout", 0.5)
    server = peer_module.PageServer()
    idle = []
    try:
        before = process_threads()
        for _ in range(200):
            idle.append(socket.create_connection(("127.0.0.1", server.port)))
        # Each idle connection holds a thread until its timeout, never more than the cap.
        deadline = time.monotonic() + 5
        while (
            process_threads() < before + peer_module._BoundedServer.MAX_THREADS
            and time.monotonic() < deadline
        ):
            time.sleep(0.01)
        assert process_threads() <= before + peer_module._BoundedServer.MAX_THREADS
        # A page asked for while every thread is held waits for one, and is served.
        with urllib.request.urlopen(f"http://127.0.0.1:{server.port}/", timeout=10) as page:
            assert page.status == 200 and b"<title>UI peer</title>" in page.read()
        # The silent ones are closed by the server: each reads its end.
        for s in idle:
            s.settimeout(10)
            assert s.recv(1) == b""
    finally:
        for s in idle:
            s.close()
        server.stop()


# ---- the package's own structure ------------------------------------------------------------------------

RPC_TEXT = "RpcError(seq=4294967295, fnId=21, err=3, sub=5): units must be\nwhole"


@pytest.mark.parametrize(
    "error, kind, seq, fn_id, message, extra",
    [
        (
            RuntimeError("RpcTransportError(seq=Some(7), fnId=Some(130)): websocket closed"),
            "transport",
            7,
            130,
            "websocket closed",
            {},
        ),
        (
            RuntimeError("RpcTransportError(seq=None, fnId=Some(21)): no websocket connected"),
            "transport",
            None,
            21,
            "no websocket connected",
            {},
        ),
        (
            RuntimeError("RpcTransportError(seq=None, fnId=None): wait_connected timed out"),
            "transport",
            None,
            None,
            "wait_connected timed out",
            {"wait_timed_out": True},
        ),
        (
            RuntimeError(
                "RpcTransportError(seq=None, fnId=None): bind failed on 127.0.0.1:80: Address already in use (os error 98)"
            ),
            "transport",
            None,
            None,
            "bind failed on 127.0.0.1:80: Address already in use (os error 98)",
            {"os_errno": 98, "address_in_use": True},
        ),
        (
            RuntimeError(RPC_TEXT),
            "rpc",
            4294967295,
            21,
            "units must be\nwhole",
            {"err": 3, "sub": 5, "wait_timed_out": False},
        ),
        (
            ValueError("MatF64 payload too short"),
            "codec",
            None,
            None,
            "MatF64 payload too short",
            {"os_errno": None},
        ),
    ],
    ids=["transport", "unsent", "wait", "bind", "rpc", "codec"],
)
def test_engine_error_texts_are_read_once(error, kind, seq, fn_id, message, extra):
    failure = prg.errors.parse_engine_error(error)
    assert (failure.kind, failure.seq, failure.fn_id, failure.message) == (kind, seq, fn_id, message)
    assert {name: getattr(failure, name) for name in extra} == extra


@pytest.mark.parametrize(
    "error",
    [
        RuntimeError("RpcTransportError(seq=7, fnId=Some(1)): x"),
        RuntimeError("rust future panicked: x"),
        TypeError("argument 'units': ..."),
        EngineError("step", "RpcError(seq=1, fnId=2, err=0, sub=0): "),
    ],
    ids=["malformed", "panic", "type", "already-wrapped"],
)
def test_texts_the_engine_does_not_make_are_not_read(error):
    assert prg.errors.parse_engine_error(error) is None


# Lower modules first; each may import only modules before it.
LAYERS = [
    "errors",
    "layout",
    "_loop",
    "engines",
    "peer",
    "browser",
    "session",
    "options",
    "mapping",
    "resources",
    "env",
    "vector",
    "sb3",
]


def test_the_package_imports_in_one_direction():
    package = Path(prg.__file__).parent
    seen = {}
    for path in package.glob("*.py"):
        if path.stem == "__init__":
            continue
        imported = set(re.findall(r"^\s*from \.(\w+) import", path.read_text(), re.M))
        imported |= set(re.findall(r"^\s*from \. import (\w+)", path.read_text(), re.M))
        seen[path.stem] = imported
    assert set(seen) == set(LAYERS)
    upward = {
        m: sorted(i for i in imported if LAYERS.index(i) >= LAYERS.index(m)) for m, imported in seen.items()
    }
    assert {m: up for m, up in upward.items() if up} == {}
