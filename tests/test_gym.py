"""The Gymnasium layer against the bundled Node peer: API conformance, autoreset, hooks, failures, cleanup."""

import os
import pickle
import re
import signal
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


def children() -> set[int]:
    pids: set[int] = set()
    for task in Path(f"/proc/{os.getpid()}/task").iterdir():
        try:
            pids.update(int(p) for p in (task / "children").read_text().split())
        except OSError:
            pass
    return pids


def gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


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
        assert env.session.snapshot[3] == 1 and env.session.side == -side
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

    def compute_reward(self, prev_snapshot, snapshot, session):
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
def test_external_peer_lost_mid_episode_is_waited_for(comes_back, capsys):
    port = free_port()
    url = f"ws://127.0.0.1:{port}"
    peer = NodePeer(url)
    peers = []
    env = None
    try:
        env = TradingUIEnv(port=port, serve_page=False, reconnect_timeout=2.0, connect_timeout=20)
        env.reset(seed=0)
        peer.proc.send_signal(signal.SIGKILL)
        peer.stop()
        if comes_back:
            # Started once the step is already waiting, so the loss is seen before the new peer connects.
            later = threading.Timer(0.5, lambda: peers.append(NodePeer(url)))
            later.start()
            _, _, _, _, info = env.step(HOLD)  # answered by the new peer's fresh market
            later.join()
            assert info["step"] == 1
        else:
            t0 = time.monotonic()
            with pytest.raises(PeerError) as e:
                env.step(HOLD)
            assert 2.0 <= time.monotonic() - t0 < 6
            assert re.fullmatch(
                r"step_and_sync failed: RpcTransportError\(seq=Some\(\d+\), fnId=Some\(130\)\): "
                r"websocket .+; the UI peer did not come back within 2 s",
                str(e.value),
            ), str(e.value)
        err = capsys.readouterr().err
        assert f"UI peer of {url} lost during step_and_sync (RpcTransportError(" in err
        assert "waiting up to 2 s for it to come back" in err
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


def test_no_peer_times_out_and_frees_the_page_server(capsys):
    port = free_port()
    with pytest.raises(PeerError) as e:
        TradingUIEnv(port=port, connect_timeout=0.5)
    assert str(e.value) == f"no UI peer connected to ws://127.0.0.1:{port} within 0.5 s"
    out = capsys.readouterr().out
    page = re.search(
        r"open (http://127\.0\.0\.1:(\d+)/\?engine=ws://127\.0\.0\.1:\d+&seed=1) in a browser", out
    )
    assert page, out
    with pytest.raises(OSError):  # the page server is gone with the failed environment
        urllib.request.urlopen(page.group(1), timeout=2)
    assert loop_threads() == []


def test_page_server_serves_the_bundled_page(capsys):
    port = free_port()
    peer = NodePeer(f"ws://127.0.0.1:{port}")
    try:
        env = TradingUIEnv(port=port, connect_timeout=20)
        try:
            out = capsys.readouterr().out
            url = re.search(r"open (\S+) in a browser", out).group(1)
            with urllib.request.urlopen(url, timeout=5) as page:
                assert page.status == 200 and b"<title>UI peer</title>" in page.read()
        finally:
            env.close()
    finally:
        peer.stop()


# ---- engines outlive environments -------------------------------------------------------------------------


def test_an_address_is_reused_after_close_and_refused_while_in_use(capsys):
    first = TradingUIEnv(launch_peer=True)
    port = first.port
    out = capsys.readouterr().out
    assert out == (
        f"engine listening on ws://127.0.0.1:{port} (a free port); UI peer launched "
        f"(pid {first.peer_pid}, seed 1)\n"
    )
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
        assert capsys.readouterr().out.startswith(f"engine reused on ws://127.0.0.1:{port}; UI peer launched")
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
    for closed in (lambda: single.step(HOLD), lambda: envs.step(np.zeros(2, dtype=np.int64))):
        with pytest.raises(RuntimeError, match="^the environment is closed$"):
            closed()


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
        (EngineError("step_and_sync", "RpcError(seq=5, fnId=130, err=3, sub=0): gone"), ("command", "engine_text")),
        (PeerError("no UI peer connected", "last line"), ("message", "log_tail")),
    ],
    ids=["EngineError", "PeerError"],
)
def test_errors_cross_process_boundaries_intact(error, fields):
    """Rollout workers (Ray, multiprocessing) hand these back pickled; they must arrive as they left."""
    back = pickle.loads(pickle.dumps(error))
    assert (type(back), str(back)) == (type(error), str(error))
    assert [getattr(back, f) for f in fields] == [getattr(error, f) for f in fields]
