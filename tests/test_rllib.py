"""RLlib on the environments: its env_config convention, the registered id in Ray's worker processes, and
PPO with two env runners on a two-node Ray cluster, each runner launching its own UI peers.

ray[rllib] pins an older Gymnasium than the main suite's, so scripts/test.sh runs this file in a venv of
its own (build/venv-rllib). Ray binds its nodes to the machine's interface address, so the cluster test
runs itself again in a network namespace of its own (``support.netns``), where the only address is
127.0.0.1.
"""

import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

gymnasium = pytest.importorskip("gymnasium")
ray = pytest.importorskip("ray")
pytest.importorskip("ray.rllib")
torch = pytest.importorskip("torch")

try:
    import py_engine_rust_gym as prg
except ImportError:  # a development build of the module alone: take the package from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import py_engine_rust_gym as prg
from py_engine_rust_gym import PeerError, TradingUIEnv, TradingUIVectorEnv  # noqa: E402
from py_engine_rust_gym.peer import node_command  # noqa: E402
from ray.cluster_utils import Cluster  # noqa: E402
from ray.rllib.algorithms.ppo import PPOConfig  # noqa: E402
from ray.rllib.core.rl_module.default_model_config import DefaultModelConfig  # noqa: E402
from ray.rllib.env.env_context import EnvContext  # noqa: E402
from ray.rllib.env.single_agent_env_runner import SingleAgentEnvRunner  # noqa: E402

from support import docs, netns, procs, tables, workers  # noqa: E402

try:
    node_command()
except PeerError as e:
    pytest.skip(str(e), allow_module_level=True)

TESTS = Path(__file__).resolve().parent
NODES = ("node_a", "node_b")  # custom resources, one env runner's worth per cluster node
ENVS_PER_RUNNER = 2
EPISODE = 20  # max_episode_steps: a few whole episodes per iteration
ITERATIONS = 2
BATCH = 2 * len(NODES) * ENVS_PER_RUNNER * EPISODE  # env steps per iteration
# Env runners, their peers and Ray's workers all get this long to go after algo.stop().
GONE_SECS = 20.0
# The learner runs here, on a small network: more threads only wait on each other, on a busy machine long.
torch.set_num_threads(1)


# ---- RLlib's env_config convention -------------------------------------------------------------------------


def test_an_env_context_is_the_keyword_arguments():
    config = EnvContext(
        {"verbose": False, "max_episode_steps": 2, "peer_seed": 4}, worker_index=1, num_workers=2
    )
    env = TradingUIEnv(config)
    try:
        assert (env.options.max_episode_steps, env.options.peer_seed, env.host) == (2, 4, "127.0.0.1")
        env.reset(seed=0)
        assert [env.step(0)[3] for _ in range(2)] == [False, True]
    finally:
        env.close()
    # What RLlib's vector entry point passes: the context with the number of environments.
    envs = TradingUIVectorEnv(config | {"num_envs": 2})
    try:
        assert envs.num_envs == 2 and envs.options.peer_seed == 4
    finally:
        envs.close()


@pytest.mark.parametrize(
    "make, config",
    [(TradingUIEnv, {"host": 8765}), (TradingUIVectorEnv, {"host": 8765, "num_envs": 1})],
    ids=["env", "vector"],
)
def test_a_host_that_is_no_str_is_refused(make, config):
    with pytest.raises(TypeError, match=r"^host must be a str, got int$"):
        make(EnvContext(config, worker_index=0))


# ---- what an env runner makes ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "env, mode, made",
    [
        (prg.ENV_ID, "sync", "SyncVectorEnv"),
        (prg.ENV_ID, "async", "AsyncVectorEnv"),
        (prg.ENV_ID, "vector_entry_point", "TradingUIVectorEnv"),
        (f"py_engine_rust_gym:{prg.ENV_ID}", "sync", "SyncVectorEnv"),
        (f"py_engine_rust_gym:{prg.ENV_ID}", "vector_entry_point", "TradingUIVectorEnv"),
        (TradingUIEnv, "sync", "SyncVectorEnv"),
        (TradingUIEnv, "async", "AsyncVectorEnv"),
        (TradingUIVectorEnv, "vector_entry_point", "TradingUIVectorEnv"),
    ],
    ids=[
        "id-sync",
        "id-async",
        "id-vector",
        "module-id-sync",
        "module-id-vector",
        "class-sync",
        "class-async",
        "vector-class-vector",
    ],
)
def test_an_env_runner_samples_whole_episodes_in_each_vectorize_mode(env, mode, made):
    # An env runner registers the class it is given under one name of its own; in one process the second
    # registration would warn.
    gymnasium.registry.pop("rllib-single-agent-env-v0", None)
    config = (
        PPOConfig()
        .environment(env, env_config={"verbose": False, "max_episode_steps": 4})
        .env_runners(num_envs_per_env_runner=2, gym_env_vectorize_mode=mode)
    )
    runner = SingleAgentEnvRunner(config=config)
    try:
        assert type(runner.env.unwrapped).__name__ == made and runner.num_envs == 2
        episodes = runner.sample(num_timesteps=16, random_actions=True)
        assert sum(len(e) for e in episodes) == 16
        done = [e for e in episodes if e.is_done]
        assert len(done) >= 2 and all(len(e) == 4 and e.is_truncated for e in done)
    finally:
        runner.stop()


# ---- a two-node cluster ------------------------------------------------------------------------------------


def test_ppo_trains_with_one_env_runner_per_node():
    if again_in_a_namespace(test_ppo_trains_with_one_env_runner_per_node):
        return
    cluster = Cluster(initialize_head=True, head_node_args=_node_args(NODES[0]))
    try:
        cluster.add_node(**_node_args(NODES[1]))
        cluster.wait_for_nodes(timeout=60)
        _the_id_in_workers(cluster.address)
        # Every worker of this job registers the id before it runs anything, so the plain id works.
        ray.init(
            address=cluster.address, runtime_env={"worker_process_setup_hook": "py_engine_rust_gym.register"}
        )
        node_ids = {
            name: n["NodeID"] for n in ray.nodes() if n["Alive"] for name in NODES if name in n["Resources"]
        }
        assert sorted(node_ids) == sorted(NODES)
        _train_and_stop(node_ids)
        assert procs.peers_below(os.getpid()) == set()
    finally:
        ray.shutdown()
        cluster.shutdown()


def again_in_a_namespace(test) -> bool:
    """Outside a network namespace of its own: runs ``test`` again in one, asserts it passed there, and
    returns True. Inside: returns False, and the test runs."""
    if netns.inside():
        return False
    why = netns.unavailable()
    if why is not None:
        pytest.skip(why)
    done = netns.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"{__file__}::{test.__name__}"],
        cwd=str(TESTS),
        env=os.environ,
        timeout=600,  # a guard against hangs only
    )
    assert done.returncode == 0, done.stdout[-8000:]
    assert "1 passed" in done.stdout, done.stdout[-8000:]
    return True


def _node_args(resource: str) -> dict:
    return {
        "num_cpus": 1,
        "resources": {resource: 1, "env_runner": 1},
        "object_store_memory": 100 * 1024 * 1024,
        "include_dashboard": False,
    }


def _the_id_in_workers(address: str) -> None:
    """A worker that has not imported the package knows the plain id only by the "module:id" form."""
    ray.init(address=address)
    try:
        make = ray.remote(num_cpus=0, max_retries=0)(workers.make_by_id)
        plain = ray.get(make.remote(prg.ENV_ID), timeout=120)
        assert plain == (
            "NamespaceNotFound: Namespace py_engine_rust_gym not found. Have you installed the proper "
            "package for py_engine_rust_gym?"
        )
        assert ray.get(make.remote(f"py_engine_rust_gym:{prg.ENV_ID}"), timeout=120) == "ok"
    finally:
        ray.shutdown()


def _train_and_stop(node_ids: dict) -> None:
    config = (
        PPOConfig()
        .environment(prg.ENV_ID, env_config={"verbose": False, "max_episode_steps": EPISODE})
        .env_runners(
            num_env_runners=len(NODES),
            num_envs_per_env_runner=ENVS_PER_RUNNER,
            num_cpus_per_env_runner=0,
            custom_resources_per_env_runner={"env_runner": 1},  # one per node
            rollout_fragment_length="auto",
            sample_timeout_s=120,
        )
        .training(train_batch_size_per_learner=BATCH, minibatch_size=BATCH // 2, num_epochs=1, lr=1e-4)
        .rl_module(model_config=DefaultModelConfig(fcnet_hiddens=[16]))
        .debugging(seed=0)
    )
    algo = config.build_algo()
    stopped = False
    try:
        results = [algo.train() for _ in range(ITERATIONS)]
        runners = algo.env_runner_group.foreach_env_runner(workers.describe_runner, local_env_runner=False)
        assert sorted(r["node_id"] for r in runners) == sorted(node_ids.values())  # one on each node
        for r in runners:
            assert len(r["peer_pids"]) == ENVS_PER_RUNNER and all(r["peer_pids"])
            assert procs.peers_below(r["pid"]) == set(r["peer_pids"])  # its own peers
            assert min(r["episodes"]) >= 2  # every environment played whole episodes
        sampled = [res["env_runners"]["num_env_steps_sampled_lifetime"] for res in results]
        assert sampled[-1] >= ITERATIONS * BATCH
        assert results[-1]["env_runners"]["num_episodes_lifetime"] >= len(NODES) * ENVS_PER_RUNNER
        assert math.isfinite(results[-1]["env_runners"]["episode_return_mean"])
        learner = results[-1]["learners"]["default_policy"]
        assert all(math.isfinite(learner[k]) for k in ("policy_loss", "vf_loss", "entropy"))
        algo.stop()
        stopped = True
    finally:
        if not stopped:
            algo.stop()
    pids = {r["pid"] for r in runners} | {p for r in runners for p in r["peer_pids"]}
    assert procs.wait_gone(pids, GONE_SECS) == set()


# ---- the documentation's code ------------------------------------------------------------------------------


def test_the_example_and_the_gym_page_snippet_train(tmp_path):
    if again_in_a_namespace(test_the_example_and_the_gym_page_snippet_train):
        return
    # Each starts a Ray of its own (address="local"), as written.
    code = docs.shrunk(
        docs.snippet("gym.md", "rllib"),
        {
            "range(10)": "range(1)",
            '"max_episode_steps": 100': '"max_episode_steps": 10',
            "num_envs_per_env_runner=4": "num_envs_per_env_runner=2",
            "train_batch_size_per_learner=4000": (
                "train_batch_size_per_learner=80, minibatch_size=40, num_epochs=1"
            ),
        },
    )
    done = docs.run_code(code, tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr[-8000:]
    assert re.fullmatch(r"0 [+-]?\d+\.\d+(e[+-]\d+)?\n", done.stdout), done.stdout[-4000:]

    small = [
        "--envs-per-runner",
        "2",
        "--iterations",
        "1",
        "--batch",
        "88",
        "--train-episodes",
        "4",
        "--test-episodes",
        "3",
        "--episode-length",
        "12",
    ]
    done = subprocess.run(
        [sys.executable, str(docs.ROOT / "examples" / "rllib_train.py"), *small],
        capture_output=True,
        text=True,
        timeout=300,
        stdin=subprocess.DEVNULL,
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-8000:]
    sampled = re.search(
        r"^iteration 1/1: mean train pnl +[+-]\d+\.\d, (\d+) steps in \d+ s$", done.stdout, re.M
    )
    assert sampled and int(sampled[1]) >= 88, done.stdout
    tables.check_report(done.stdout, 3)
    assert procs.peers_below(os.getpid()) == set()
