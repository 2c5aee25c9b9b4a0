"""Rollouts on a real two-node Ray cluster on this machine: placement, trajectories, new parameters, a UI
peer killed mid-collection, and shutdown.

Ray binds its nodes to the machine's interface address, so the test runs itself again in a network
namespace of its own (``support.netns``), where the only address is 127.0.0.1.
"""

import os
import re
import socket
import sys
import time
from pathlib import Path

import numpy as np
import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("gymnasium")

try:
    import py_engine_rust_gym  # noqa: F401
except ImportError:  # a development build of the module alone: take the package from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
from py_engine_rust_gym import HOLD, LONG, PeerError  # noqa: E402
from py_engine_rust_gym.peer import node_command  # noqa: E402
from py_engine_rust_gym.ray import RolloutError, RolloutPool, Trajectories  # noqa: E402
from ray.cluster_utils import Cluster  # noqa: E402

from support import netns, rollout  # noqa: E402

try:
    node_command()
except PeerError as e:
    pytest.skip(str(e), allow_module_level=True)

TESTS = Path(__file__).resolve().parent
OBS_SIZE = 32 * 5 + 3
ENVS = 2  # engines and UI peers per worker
STEPS = 24  # steps per environment and collection
EPISODE = 7  # max_episode_steps: several episode boundaries per batch, some across batches
PEER_EPISODE_LENGTH = 200  # the progress feature is the peer's step over this
NODES = ("node_a", "node_b")  # custom resources, one per cluster node
POOL_ARGS = {
    "env_kwargs": {"max_episode_steps": EPISODE, "connect_timeout": 30.0},
    "timeout": 45.0,
    "start_timeout": 45.0,
}
# Node processes, Ray workers and peers all get this long to go after a close.
GONE_SECS = 15.0


def test_rollouts_on_a_two_node_cluster(tmp_path, caplog):
    if not netns.inside():
        why = netns.unavailable()
        if why is not None:
            pytest.skip(why)
        done = netns.run(
            [
                sys.executable,
                "-m",
                "pytest",
                "-q",
                "-p",
                "no:cacheprovider",
                f"{__file__}::{test_rollouts_on_a_two_node_cluster.__name__}",
            ],
            cwd=str(TESTS),
            env=os.environ,
            timeout=240,  # a guard against hangs only: a run takes 15 to 30 s, under ASan about 100
        )
        assert done.returncode == 0, done.stdout[-8000:]
        assert "1 passed" in done.stdout, done.stdout[-8000:]
        return

    cluster = Cluster(initialize_head=True, head_node_args=_node_args(NODES[0]))
    try:
        cluster.add_node(**_node_args(NODES[1]))
        cluster.wait_for_nodes(timeout=30)
        ray.init(address=cluster.address)
        node_ids = {
            name: n["NodeID"] for n in ray.nodes() if n["Alive"] for name in NODES if name in n["Resources"]
        }
        assert sorted(node_ids) == sorted(NODES)
        _two_iterations_one_worker_per_node(node_ids)
        _worker_that_cannot_start(node_ids[NODES[0]])
        _dead_peer_replaced_once(node_ids[NODES[1]], tmp_path / "killed-once", caplog)
        _dead_peer_every_time_fails(node_ids[NODES[1]], tmp_path / "killed-always")
        _stuck_worker_killed_and_replaced(node_ids[NODES[0]], tmp_path / "stalled")
        assert rollout.peers_below(os.getpid()) == set()
    finally:
        ray.shutdown()
        cluster.shutdown()


def _node_args(resource: str) -> dict:
    return {
        "num_cpus": 1,
        "resources": {resource: 1},
        "object_store_memory": 100 * 1024 * 1024,
        "include_dashboard": False,
    }


def _pinned(resource: str) -> dict:
    return {"num_cpus": 1, "resources": {resource: 1}}


class EpisodeTracker:
    """What each environment's next steps must look like, carried from batch to batch."""

    def __init__(self) -> None:
        self.steps_in = np.zeros(ENVS, dtype=int)  # steps already taken in each current episode
        self.returns = np.zeros(ENVS)
        self.side = np.zeros(ENVS)  # the position the default action mapping holds

    def check(self, batch: Trajectories, action: int) -> None:
        assert batch.obs.shape == (STEPS, ENVS, OBS_SIZE) and batch.obs.dtype == np.float32
        assert batch.actions.shape == (STEPS, ENVS) and batch.actions.dtype == np.int64
        for name in ("rewards", "terminated", "truncated", "starts"):
            array = getattr(batch, name)
            assert array.shape == (STEPS, ENVS), name
            assert array.dtype == (np.float64 if name == "rewards" else np.bool_), name
        assert batch.last_obs.shape == (ENVS, OBS_SIZE)
        assert np.isfinite(batch.obs).all() and np.isfinite(batch.rewards).all()
        assert (batch.actions == action).all()
        # Episodes of EPISODE steps end by truncation, long before the peer's own end.
        assert not batch.terminated.any()
        ended_returns, ended_lengths = [], []
        for t in range(STEPS):
            for e in range(ENVS):
                k = self.steps_in[e]
                assert batch.obs[t, e, -1] == np.float32((k + 1) / PEER_EPISODE_LENGTH), (t, e, k)
                assert batch.obs[t, e, -3] == self.side[e], (t, e, k)
                if action == HOLD and self.side[e] == 0:
                    assert batch.rewards[t, e] == 0.0, (t, e, k)  # no position, no change of equity
                assert batch.starts[t, e] == (k == 0), (t, e, k)
                assert batch.truncated[t, e] == (k + 1 == EPISODE), (t, e, k)
                self.returns[e] += batch.rewards[t, e]
                if batch.truncated[t, e]:
                    ended_returns.append(self.returns[e])
                    ended_lengths.append(EPISODE)
                    self.returns[e] = 0.0
                    self.steps_in[e] = 0
                    self.side[e] = 0.0  # a new episode starts flat
                else:
                    self.steps_in[e] = k + 1
                    if action == LONG:
                        self.side[e] = 1.0
        np.testing.assert_allclose(batch.episode_returns, ended_returns, rtol=1e-12, atol=1e-9)
        assert batch.episode_lengths.tolist() == ended_lengths
        np.testing.assert_array_equal(
            batch.last_obs[:, -1], ((self.steps_in + 1) / PEER_EPISODE_LENGTH).astype(np.float32)
        )
        if action == LONG:
            assert (batch.rewards != 0.0).any()


def _two_iterations_one_worker_per_node(node_ids: dict) -> None:
    pool = RolloutPool(2, ENVS, rollout.linear, STEPS, actor_options=[_pinned(n) for n in NODES], **POOL_ARGS)
    try:
        workers = pool.workers()
        assert [w["node_id"] for w in workers] == [node_ids[n] for n in NODES]
        assert [len(w["peer_pids"]) for w in workers] == [ENVS, ENVS]
        trackers = [EpisodeTracker() for _ in NODES]
        for action in (HOLD, LONG):  # the second iteration's parameters make every step go long
            batches = pool.collect(rollout.always(action, OBS_SIZE))
            assert [b.worker for b in batches] == [0, 1]
            assert [b.node_id for b in batches] == [node_ids[n] for n in NODES]  # both nodes served steps
            assert {b.hostname for b in batches} == {socket.gethostname()}
            for b, tracker in zip(batches, trackers):
                assert b.steps == STEPS * ENVS and b.steps_per_s > 0
                tracker.check(b, action)
        assert pool.failures == []
    finally:
        stopped = pool.close()
    _check_stopped(stopped, workers)


def _check_stopped(stopped: dict, workers: list[dict]) -> None:
    """The pool's close reports every worker, and their processes and peers are gone."""
    assert stopped == {w["worker"]: {"pid": w["pid"], "peer_pids": w["peer_pids"]} for w in workers}
    pids = {w["pid"] for w in workers} | {p for w in workers for p in w["peer_pids"]}
    assert rollout.wait_gone(pids, GONE_SECS) == set()


def _worker_that_cannot_start(node_id: str) -> None:
    with pytest.raises(RolloutError) as failed:
        RolloutPool(
            1,
            1,
            rollout.linear,
            STEPS,
            env_kwargs={"peer_args": ["--no-such-option"]},
            actor_options=[_pinned(NODES[0])],
            start_timeout=45.0,
        )
    assert re.fullmatch(
        rf"rollout worker 0 on {re.escape(socket.gethostname())} \(node {node_id[:12]}\): could not start "
        r"its environments: PeerError: the UI peer process \(pid \d+\) exited with code 2\n"
        r"last lines of the UI peer's log:\n\[ui peer\] Unknown option '--no-such-option'",
        str(failed.value),
    ), str(failed.value)


def _failure_pattern(node_id: str, pid: int) -> re.Pattern:
    return re.compile(
        rf"rollout worker 0 on {re.escape(socket.gethostname())} \(node {node_id[:12]}\): collection failed: "
        rf"PeerError: step_and_sync failed: RpcTransportError\(seq=\S+, fnId=\S+\): [^\n]+; "
        rf"the UI peer process \(pid {pid}\) exited with code -9\nlast lines of the UI peer's log:\n.+",
        re.DOTALL,
    )


def _killed(marker: Path) -> list[int]:
    return [int(line) for line in marker.read_text().split()]


def _dead_peer_replaced_once(node_id: str, marker: Path, caplog) -> None:
    policy = rollout.KillsItsPeer(str(marker), at_call=3, once=True)
    pool = RolloutPool(1, ENVS, policy, STEPS, actor_options=[_pinned(NODES[1])], **POOL_ARGS)
    try:
        (first,) = pool.workers()
        caplog.clear()
        (batch,) = pool.collect(rollout.always(HOLD, OBS_SIZE))
        (killed,) = _killed(marker)
        assert killed in first["peer_pids"]
        (failure,) = pool.failures
        assert _failure_pattern(node_id, killed).fullmatch(failure), failure
        assert f"{failure}; replacing rollout worker 0 and collecting again" in caplog.messages
        (second,) = pool.workers()
        assert second["node_id"] == node_id and second["pid"] != first["pid"]
        # The failed worker went with its peers; the new one collected whole episodes from scratch.
        assert rollout.wait_gone({first["pid"], *first["peer_pids"]}, GONE_SECS) == set()
        assert batch.node_id == node_id
        EpisodeTracker().check(batch, HOLD)
    finally:
        stopped = pool.close()
    _check_stopped(stopped, [second])


def _dead_peer_every_time_fails(node_id: str, marker: Path) -> None:
    policy = rollout.KillsItsPeer(str(marker), at_call=3, once=False)
    pool = RolloutPool(1, ENVS, policy, STEPS, actor_options=[_pinned(NODES[1])], verbose=False, **POOL_ARGS)
    try:
        with pytest.raises(RolloutError) as failed:
            pool.collect(rollout.always(HOLD, OBS_SIZE))
        first_kill, second_kill = _killed(marker)
        assert len(pool.failures) == 2
        assert _failure_pattern(node_id, first_kill).fullmatch(pool.failures[0]), pool.failures[0]
        assert _failure_pattern(node_id, second_kill).fullmatch(pool.failures[1]), pool.failures[1]
        assert str(failed.value) == f"{pool.failures[1]} (after one retry with a new actor)"
        (last,) = pool.workers()
    finally:
        stopped = pool.close()
    _check_stopped(stopped, [last])


def _stuck_worker_killed_and_replaced(node_id: str, marker: Path) -> None:
    # The worker sleeps far past the pool's deadline; it must be killed, not waited for.
    policy = rollout.StallsOnce(str(marker), at_call=3, seconds=300)
    args = {**POOL_ARGS, "timeout": 8.0}
    pool = RolloutPool(1, ENVS, policy, STEPS, actor_options=[_pinned(NODES[0])], verbose=False, **args)
    try:
        (first,) = pool.workers()
        began = time.monotonic()
        (batch,) = pool.collect(rollout.always(HOLD, OBS_SIZE))
        assert time.monotonic() - began < 40
        assert pool.failures == [
            f"rollout worker 0 on {socket.gethostname()} (node {node_id[:12]}): "
            "did not finish its collection within 8 s"
        ]
        (second,) = pool.workers()
        assert second["pid"] != first["pid"]
        # Killed without a chance to stop its peers: they go when their engines' process does.
        assert rollout.wait_gone({first["pid"], *first["peer_pids"]}, GONE_SECS) == set()
        EpisodeTracker().check(batch, HOLD)
    finally:
        stopped = pool.close()
    _check_stopped(stopped, [second])
