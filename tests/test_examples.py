"""The examples: the learner's arithmetic, the learning demo end to end (headless, a dead peer, a page that
goes away and comes back), and the rule-based example of the raw async API."""

from __future__ import annotations

import re
import signal
import stat
import struct
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import parse_qs, urlparse

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))

from learner import Batch, Policy, Reinforce, discounted_returns  # noqa: E402

# The demo's layer; scripts/setup.sh installs gymnasium, the wheel brings the package.
from py_engine_rust_gym.peer import node_command, peer_dir  # noqa: E402

from support import tables  # noqa: E402


def png_size(path: Path) -> tuple[int, int]:
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def run_example(script: str, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


# ---- the learner ----------------------------------------------------------------------------------------


def test_discounted_returns_restart_after_each_done():
    rewards = np.array([[1.0, 0.0], [2.0, 1.0], [4.0, 0.0], [8.0, 2.0]])
    dones = np.array([[0, 0], [1, 0], [0, 1], [0, 0]], dtype=np.float64)
    assert discounted_returns(rewards, dones, 0.5).tolist() == [
        [1 + 0.5 * 2, 0 + 0.5 * (1 + 0.5 * 0)],
        [2.0, 1 + 0.5 * 0],
        [4 + 0.5 * 8, 0.0],
        [8.0, 2.0],
    ]


def test_parameters_round_trip_and_refuse_a_wrong_length():
    policy = Policy(5, 3, hidden=4, seed=0)
    theta = np.arange(policy.size, dtype=np.float64)
    policy.set_params(theta)
    assert policy.size == 5 * 4 + 4 + 4 * 3 + 3
    assert policy.get_params().tolist() == theta.tolist()
    assert policy.params[2].shape == (4, 3) and policy.params[2][0].tolist() == [24.0, 25.0, 26.0]
    with pytest.raises(ValueError, match=f"expected {policy.size} parameters, got shape \\(3,\\)"):
        policy.set_params(np.zeros(3))


def test_a_new_policy_is_uniform_and_acts_one_int64_per_row():
    policy = Policy(6, 4, hidden=8, seed=1)
    obs = np.random.default_rng(0).normal(size=(500, 6))
    assert np.allclose(policy.probs(obs), 0.25)
    actions = policy.act(obs, np.random.default_rng(1))
    assert actions.dtype == np.int64 and actions.shape == (500,)
    assert sorted(set(actions.tolist())) == [0, 1, 2, 3]
    with pytest.raises(ValueError, match="sampling needs an rng"):
        policy.act(obs)


@pytest.mark.parametrize("entropy_coef", [0.0, 0.05])
def test_gradient_matches_finite_differences(entropy_coef):
    rng = np.random.default_rng(2)
    policy = Policy(5, 3, hidden=4, seed=3)
    policy.set_params(rng.normal(0, 0.5, policy.size))
    obs = rng.normal(size=(7, 5))
    actions = rng.integers(0, 3, 7)
    weights = rng.normal(size=7)

    def objective(theta: np.ndarray) -> float:
        policy.set_params(theta)
        p = policy.probs(obs)
        entropy = -(p * np.log(p)).sum(axis=1)
        return float(np.mean(weights * np.log(p[np.arange(7), actions])) + entropy_coef * entropy.mean())

    theta = policy.get_params()
    grad, _ = policy.gradient(obs, actions, weights, entropy_coef)
    eps = 1e-6
    numeric = np.array([(objective(theta + eps * e) - objective(theta - eps * e)) / (2 * eps)
                        for e in np.eye(len(theta))])
    assert np.allclose(grad, numeric, atol=1e-7), np.abs(grad - numeric).max()


def test_reinforce_learns_a_contextual_bandit_and_ignores_masked_steps():
    # Reward 1 for action 1 when obs[0] > 0 and for action 0 otherwise. Masked steps pay the opposite: if
    # they were learned from, they would cancel what the unmasked steps teach.
    rng = np.random.default_rng(4)
    policy = Policy(2, 2, hidden=8, seed=5)
    learner = Reinforce(policy, lr=0.05, gamma=0.0, entropy_coef=0.0)
    for _ in range(150):
        obs = rng.normal(size=(4, 16, 2))
        actions = policy.act(obs.reshape(-1, 2), rng).reshape(4, 16)
        right = (actions == (obs[..., 0] > 0)).astype(np.float64)
        mask = np.ones((4, 16), dtype=bool)
        mask[2:] = False
        rewards = np.where(mask, right, 1.0 - right)
        learner.update(Batch(obs, actions, rewards, np.ones((4, 16)), mask))
    test = rng.normal(size=(1000, 2))
    assert np.mean(policy.act(test, greedy=True) == (test[:, 0] > 0)) > 0.95


# ---- the learning demo ----------------------------------------------------------------------------------

SMALL = ["--envs", "2", "--updates", "3", "--train-episodes", "4", "--test-episodes", "3", "--episode-length", "12",
         "--no-progress"]


def test_demo_trains_evaluates_and_plots_the_same_way_twice(tmp_path):
    runs = [run_example("train_demo.py", *SMALL, "--out", str(tmp_path / f"{name}.png")) for name in "ab"]
    for result in runs:
        assert result.returncode == 0, result.stdout + result.stderr
    out = runs[0].stdout
    assert "data: FOREX_EURUSD_1H_ASK from gym-anytrading, 6225 hourly EURUSD candles; train episodes from the " \
           "first 4980, test episodes from the last 1245\n" in out
    assert "training: 3 updates x 2 episodes of 11 steps, 5380 parameters, 10000 units per trade\n" in out
    rows = tables.check_report(out, 3)
    shares = re.search(r"^the learned policy's actions: hold (\d+) %, long (\d+) %, short (\d+) %, close (\d+) %$",
                       out, re.M)
    assert shares and 98 <= sum(map(int, shares.groups())) <= 102
    assert f"learning curve and test equity written to {tmp_path / 'a.png'}\n" in out
    assert png_size(tmp_path / "a.png") == (1300, 500)
    # Seeded policy, sampling, episode draws and peers: the same numbers again.
    assert tables.table(runs[1].stdout, 3) == rows
    # The policy is saved, and a saved one is evaluated again without training: the same table.
    assert f"policy saved to {tmp_path / 'policy.npz'}\n" in out
    again = run_example("train_demo.py", "--envs", "2", "--no-progress", "--policy", str(tmp_path / "policy.npz"))
    assert again.returncode == 0, again.stdout + again.stderr
    assert f"policy from {tmp_path / 'policy.npz'} (seed 1, 3 updates); no training\n" in again.stdout
    assert "training:" not in again.stdout and tables.table(again.stdout, 3) == rows


def test_demo_trains_on_headless_browser_pages(tmp_path):
    pytest.importorskip("playwright")
    result = run_example("train_demo.py", *SMALL, "--browser", "--out", str(tmp_path / "x.png"), timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"^2 engines on ws://\S+, ws://\S+, one UI peer each \(headless browser pages\)$",
                     result.stdout, re.M), result.stdout
    assert re.search(r"^trained on headless browser pages: 66 env-steps in \d+\.\d s, \d+ env-steps/s$",
                     result.stdout, re.M), result.stdout
    tables.check_report(result.stdout, 3)


def test_sb3_example_trains_ppo_and_reports_as_the_demo():
    pytest.importorskip("stable_baselines3")
    small = ["--envs", "2", "--timesteps", "64", "--n-steps", "16", "--batch-size", "16", "--train-episodes", "4",
             "--test-episodes", "3", "--episode-length", "12", "--quiet"]
    result = run_example("sb3_train.py", *small, timeout=240)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "training: PPO for 64 steps through SB3VecEnv of 2 UI peers\n" in result.stdout
    tables.check_report(result.stdout, 3)


def fake_node(tmp_path: Path, body: str) -> Path:
    """An executable that passes for Node with a WebSocket (it answers the probe) and then runs body."""
    path = tmp_path / "node"
    path.write_text(f"#!/bin/sh\nif [ \"$1\" = -e ]; then exit 0; fi\n{body}\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


def test_demo_stops_at_once_with_the_log_tail_of_a_peer_that_dies(tmp_path):
    node = fake_node(tmp_path, "echo 'peer cannot start: out of sockets' >&2\nexit 3")
    started = time.monotonic()
    # Waiting out the 30 s connect timeout would also end it: the subprocess timeout says it did not.
    result = run_example("train_demo.py", *SMALL, "--node", str(node), "--out", str(tmp_path / "x.png"), timeout=25)
    assert result.returncode == 1, result.stdout + result.stderr
    assert time.monotonic() - started < 25
    assert re.search(r"^demo stopped: the UI peer process \(pid \d+\) exited with code 3\n"
                     r"last lines of the UI peer's log:\npeer cannot start: out of sockets$", result.stderr, re.M), \
        result.stderr
    assert "Traceback" not in result.stderr


class Reader:
    """Lines of a child's stdout, read as they come, each wait bounded."""

    def __init__(self, proc: subprocess.Popen):
        self.proc = proc
        self.lines: list[str] = []

    def until(self, pattern: str, timeout: float) -> re.Match:
        deadline = time.monotonic() + timeout
        for line in self.lines:
            if (m := re.search(pattern, line)):
                return m
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()  # the demo flushes every line it prints
            if not line:
                break
            self.lines.append(line)
            if (m := re.search(pattern, line)):
                return m
        pytest.fail(f"no line matching {pattern!r}; got:\n{''.join(self.lines)}")


def start_page_stand_in(url: str) -> subprocess.Popen:
    """The headless peer in place of a browser page, with the page's parameters; it logs every answer to its
    stderr (a pipe, text)."""
    query = parse_qs(urlparse(url).query)
    args = ["--url", query["engine"][0], "--seed", query["seed"][0], "--pace", query["pace"][0],
            "--connect-timeout", "20", "--verbose"]
    for name in ("train_episodes", "test_episodes", "episode_length"):
        args += [f"--{name.replace('_', '-')}", query[name][0]]
    return subprocess.Popen([*node_command(), str(peer_dir() / "node-peer.mjs"), *args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def wait_for_steps(peer: subprocess.Popen, count: int, timeout: float) -> None:
    """Reads the stand-in's log until it has answered ``count`` step_and_sync calls."""
    deadline, seen = time.monotonic() + timeout, 0
    while seen < count and time.monotonic() < deadline:
        line = peer.stderr.readline()
        if not line:
            break
        seen += " step_and_sync ok" in line
    assert seen >= count, f"the page stand-in answered {seen} steps, not {count}"


def test_open_page_replays_the_test_episodes_and_goes_on_after_the_page_comes_back(tmp_path):
    demo = subprocess.Popen([sys.executable, "-u", str(EXAMPLES / "train_demo.py"), *SMALL, "--open-page",
                             "--pace", "150", "--connect-timeout", "30", "--out", str(tmp_path / "x.png")],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    pages: list[subprocess.Popen] = []
    try:
        out = Reader(demo)
        url = out.until(r"^    (http://127\.0\.0\.1:\d+/\?engine=ws://\S+)$", 60)[1]
        assert re.search(r"&pace=150&train_episodes=4&test_episodes=3&episode_length=12$", url)
        pages.append(start_page_stand_in(url))
        out.until(r"^test episode 0: pnl [+-]\d+\.\d$", 30)
        # Mid-episode: each episode is a reset's step and 11 more, 150 ms apart. At the second step of test
        # episode 1 the page goes away, and a new one is opened.
        wait_for_steps(pages[0], 12 + 2, 30)
        pages[0].send_signal(signal.SIGKILL)
        pages[0].wait(10)
        pages.append(start_page_stand_in(url))
        out.until(r"^a new page connected: test episode 1 starts again$", 30)
        out.until(r"^test episode 2: pnl [+-]\d+\.\d$", 30)
        stdout_rest, stderr = demo.communicate(timeout=30)
        assert demo.returncode == 0, "".join(out.lines) + stdout_rest + stderr
        episodes = [line for line in out.lines + stdout_rest.splitlines(True) if line.startswith("test episode")]
        assert [line.split(":")[0] for line in episodes] == ["test episode 0", "test episode 1", "test episode 2"]
        # The lost page is one line, not a traceback.
        # The engine sees the page's connection end, or (if the new page was faster) the new page take over.
        ended = [line for line in stderr.splitlines() if "lost during" in line or "took over" in line]
        assert len(ended) == 1 and ended[0].endswith("; the episode ends truncated"), stderr
        assert "waiting up to 30 s for the UI peer of ws://127.0.0.1:" in stderr, stderr
        assert "Traceback" not in stderr
    finally:
        for p in [demo, *pages]:
            if p.poll() is None:
                p.kill()
        demo.communicate(timeout=10)  # closes its pipes
        for p in pages:
            p.wait(10)
            p.stderr.close()


# ---- the rule-based example -----------------------------------------------------------------------------


def rule_based_tables(stdout: str) -> tuple[dict[str, int], list[str]]:
    """Calls per command, and the rows of the episode table."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("command "))
    calls = {}
    for line in lines[start + 1:]:
        if not line.strip():
            break
        name, count = line.split()[:2]
        calls[name] = int(count)
    start = next(i for i, line in enumerate(lines) if line.startswith("episode "))
    episodes = []
    for line in lines[start + 1:]:
        if not re.match(r"^\d", line):
            break
        episodes.append(line)
    return calls, episodes


def test_rule_based_example_runs_headless_and_writes_the_equity_curve(tmp_path):
    runs = []
    for name in ("a", "b"):
        out = tmp_path / name / "equity.png"
        result = run_example("rule_based.py", "--episodes", "2", "--steps", "40", "--seed", "7", "--out", str(out),
                             timeout=60)
        assert result.returncode == 0, result.stdout + result.stderr
        runs.append((result, out))
    (first, png), (second, _) = runs
    assert "UI peer connected\n" in first.stdout
    assert f"equity curve written to {png}\n" in first.stdout
    assert first.stdout.rstrip().endswith("UI peer exited with code 0")
    assert png_size(png) == (1100, 660)
    # The progress bar went to stderr, ending at 80 of 80 steps.
    assert re.search(r"\[#{30}\]    80/80 steps", first.stderr), first.stderr
    calls, episodes = rule_based_tables(first.stdout)
    assert calls["step_and_sync"] == 80
    for name, count in [("reset_episode", 2), ("get_snapshot", 2), ("end_session", 2), ("get_rl_config", 1),
                        ("get_sync_policy", 1)]:
        assert calls[name] == count, name
    assert calls["fetch_events"] == 2 * (40 // 20 + 1)
    assert [row.split()[:3] for row in episodes] == [["0", "31", "40"], ["1", "169", "40"]]
    # Same seed, same requests: the same episodes, to the last digit.
    assert rule_based_tables(second.stdout)[1] == episodes
