"""Stable-Baselines3 on the environments: its env checker, and SB3VecEnv against DummyVecEnv of the single
environments, PPO's rollouts bit for bit included."""

import sys
from pathlib import Path

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")
sb3 = pytest.importorskip("stable_baselines3")
torch = pytest.importorskip("torch")

try:
    import py_engine_rust_gym as prg
except ImportError:  # a development build of the module alone: take the package from the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))
    import py_engine_rust_gym as prg
from gymnasium.utils.env_checker import check_env as gymnasium_check_env  # noqa: E402
from gymnasium.vector import AutoresetMode  # noqa: E402
from py_engine_rust_gym import PeerError, TradingUIEnv, TradingUIVectorEnv  # noqa: E402
from py_engine_rust_gym.peer import node_command  # noqa: E402
from py_engine_rust_gym.sb3 import SB3VecEnv  # noqa: E402
from stable_baselines3 import PPO  # noqa: E402
from stable_baselines3.common.callbacks import BaseCallback  # noqa: E402
from stable_baselines3.common.env_checker import check_env as sb3_check_env  # noqa: E402
from stable_baselines3.common.env_util import make_vec_env  # noqa: E402
from stable_baselines3.common.monitor import Monitor  # noqa: E402
from stable_baselines3.common.vec_env import DummyVecEnv  # noqa: E402

from support.compare import same_bits  # noqa: E402

try:
    node_command()
except PeerError as e:
    pytest.skip(str(e), allow_module_level=True)

# The bundled peer's defaults (docs/protocol.md): 8 train episodes from candle 31 to 999, 2 test episodes.
TRAIN_STARTS = [31 + (i * (999 - 31)) // 7 for i in range(8)]
TEST_STARTS = [1231, 1299]
N = 3
# Small networks: more threads only wait on each other, and on a busy machine for long.
torch.set_num_threads(1)


def test_both_env_checkers_pass_on_the_registered_id_with_no_arguments():
    # No arguments: the default is the headless peer, so this neither waits for a person nor warns.
    env = gym.make(prg.ENV_ID)
    try:
        sb3_check_env(env)
        gymnasium_check_env(env.unwrapped)
    finally:
        env.close()


def test_both_env_checkers_pass_on_the_single_environment():
    env = TradingUIEnv()
    try:
        sb3_check_env(env)
        # Gymnasium remakes an environment from its spec to try other render modes; one made without
        # gymnasium.make has none, which it says, and checks everything else.
        with pytest.warns(UserWarning, match="Not able to test alternative render modes") as warned:
            gymnasium_check_env(env)
        assert len(warned) == 1
    finally:
        env.close()


def test_make_vec_env_builds_the_registered_id_without_warnings():
    # make_vec_env asks for render_mode="rgb_array" unless told otherwise, and that means browser peers.
    kwargs = {"render_mode": None, "verbose": False, "max_episode_steps": 2}
    venv = make_vec_env(prg.ENV_ID, n_envs=2, seed=3, env_kwargs=kwargs)
    try:
        assert venv.env_is_wrapped(Monitor) == [True, True]
        assert venv.reset().shape == (2, 32 * 5 + 3)
        venv.step(np.array([1, 2]))
        _, _, dones, infos = venv.step(np.array([0, 0]))
        assert dones.tolist() == [True, True] and [i["TimeLimit.truncated"] for i in infos] == [True, True]
        assert [i["episode"]["l"] for i in infos] == [2, 2]
    finally:
        venv.close()


# ---- PPO through SB3VecEnv and through DummyVecEnv ---------------------------------------------------------

ENDINGS = {
    "terminated": {"peer_args": ["--episode-length", "6"]},  # the peer ends each episode after 5 steps
    "truncated": {"max_episode_steps": 4},  # SB3 bootstraps these from the terminal observation's value
}
N_STEPS = 8
ROLLOUTS = 2
BUFFER = (
    "observations",
    "actions",
    "rewards",
    "returns",
    "episode_starts",
    "values",
    "log_probs",
    "advantages",
)


class Recorder(BaseCallback):
    """Everything PPO saw: each step's results as the vector environment gave them, each rollout's buffer."""

    def __init__(self) -> None:
        super().__init__()
        self.steps: list[tuple] = []
        self.buffers: list[dict[str, np.ndarray]] = []

    def _on_step(self) -> bool:
        got = self.locals
        self.steps.append(
            (np.copy(got["new_obs"]), np.copy(got["rewards"]), np.copy(got["dones"]), got["infos"])
        )
        return True

    def _on_rollout_end(self) -> None:
        buffer = self.model.rollout_buffer
        self.buffers.append({name: np.copy(getattr(buffer, name)) for name in BUFFER})


def train(venv) -> tuple[Recorder, dict, list]:
    recorder = Recorder()
    model = PPO(
        "MlpPolicy",
        venv,
        n_steps=N_STEPS,
        batch_size=N_STEPS * N // 2,
        n_epochs=2,
        policy_kwargs={"net_arch": [16]},
        seed=0,
        device="cpu",
    )
    try:
        model.learn(total_timesteps=ROLLOUTS * N_STEPS * N, callback=recorder)
        return recorder, model.policy.state_dict(), list(venv.reset_infos)
    finally:
        venv.close()


@pytest.mark.parametrize("ending", sorted(ENDINGS))
def test_ppo_sees_the_same_rollouts_as_through_dummy_vec_env(ending):
    kwargs = {"verbose": False, **ENDINGS[ending]}
    theirs = train(DummyVecEnv([lambda: TradingUIEnv(**kwargs)] * N))
    ours = train(SB3VecEnv(TradingUIVectorEnv(N, autoreset_mode=AutoresetMode.SAME_STEP, **kwargs)))
    (recorded, params, reset_infos), (recorded_b, params_b, reset_infos_b) = ours, theirs
    assert len(recorded.steps) == ROLLOUTS * N_STEPS and len(recorded.buffers) == ROLLOUTS
    same_bits(recorded.steps, recorded_b.steps, "steps")
    same_bits(recorded.buffers, recorded_b.buffers, "rollout buffers")
    same_bits(reset_infos, reset_infos_b, "reset infos")
    assert list(params) == list(params_b)
    for name in params:
        assert torch.equal(params[name], params_b[name]), name
    # The runs crossed episode ends of the kind asked for, with SB3's keys.
    ended = [info for _, _, dones, infos in recorded.steps for info, done in zip(infos, dones) if done]
    assert len(ended) >= N
    assert {info["TimeLimit.truncated"] for info in ended} == {ending == "truncated"}
    assert all(info["terminal_observation"].shape == (32 * 5 + 3,) for info in ended)


# ---- the VecEnv methods ------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def venv():
    base = TradingUIVectorEnv(N, autoreset_mode=AutoresetMode.SAME_STEP, verbose=False)
    adapted = SB3VecEnv(base)
    yield adapted
    adapted.close()


def test_attributes_are_each_sub_environments_own_or_shared(venv):
    base = venv.venv
    assert venv.num_envs == N and venv.observation_space == base.single_observation_space
    assert venv.action_space == gym.spaces.Discrete(4) and venv.render_mode is None
    assert venv.get_attr("url") == base.urls
    assert venv.get_attr("port", indices=1) == [base.ports[1]]
    assert venv.get_attr("peer_pid", indices=[2, 0]) == [base.peer_pids[2], base.peer_pids[0]]
    assert venv.get_attr("session", indices=[1])[0] is base.sessions[1]
    assert venv.get_attr("config") == [s.config for s in base.sessions] and venv.get_attr("config")[0]
    assert venv.get_attr("episode_type") == ["train"] * N
    assert venv.has_attr("units") and not venv.has_attr("no_such_attribute")
    with pytest.raises(AttributeError):
        venv.get_attr("no_such_attribute")


def test_set_attr_sets_what_all_sub_environments_share(venv):
    venv.set_attr("episode_type", "test")
    try:
        assert venv.venv.episode_type == "test"
        venv.reset()
        assert {info["start_candle"] for info in venv.reset_infos} <= set(TEST_STARTS)
    finally:
        venv.set_attr("episode_type", "train")
    with pytest.raises(ValueError) as shared:
        venv.set_attr("episode_type", "test", indices=[0])
    assert str(shared.value) == (
        "set_attr('episode_type'): episode_type belongs to the TradingUIVectorEnv, which all "
        "sub-environments share: give no indices"
    )
    with pytest.raises(AttributeError, match=r"^url is each sub-environment's own and cannot be set$"):
        venv.set_attr("url", "ws://elsewhere")


def test_env_method_runs_commands_on_the_chosen_sub_environments(venv):
    venv.reset()
    venv.step(np.array([1, 0, 2]))  # long, hold, short
    snapshots = venv.env_method("command", "get_snapshot", indices=[2, 0])
    assert [type(s) for s in snapshots] == [np.ndarray, np.ndarray]
    assert [s[3] for s in snapshots] == [1.0, 1.0]  # one open position each
    assert venv.env_method("command", "get_snapshot", indices=1)[0][3] == 0.0
    cpu = venv.env_method("loop_cpu_time")
    assert len(cpu) == N and len(set(cpu)) == 1 and cpu[0] > 0
    with pytest.raises(ValueError, match=r"^env_method\('loop_cpu_time'\): loop_cpu_time belongs to"):
        venv.env_method("loop_cpu_time", indices=[0])


def test_env_is_wrapped_sees_vector_wrappers_only(venv):
    assert venv.env_is_wrapped(Monitor) == [False] * N
    wrapped = SB3VecEnv(gym.vector.VectorWrapper(venv.venv))  # shares the fixture's environment
    assert wrapped.env_is_wrapped(gym.vector.VectorWrapper, indices=[0, 2]) == [True, True]
    assert wrapped.env_is_wrapped(Monitor) == [False] * N


def test_seeds_and_options_apply_at_the_next_reset_only(venv):
    assert venv.seed(7) == [7, 8, 9]
    first = venv.reset()
    starts = [info["start_candle"] for info in venv.reset_infos]
    venv.reset()  # unseeded: the generators go on
    again = [info["start_candle"] for info in venv.reset_infos]
    venv.seed(7)
    np.testing.assert_array_equal(venv.reset(), first)
    assert [info["start_candle"] for info in venv.reset_infos] == starts
    assert all(s in TRAIN_STARTS for s in starts + again)
    # One reset per distinct options, each of its own sub-environments.
    venv.set_options([{"episode_type": "test", "episode_index": 1}, {}, {"episode_index": 2}])
    obs = venv.reset()
    assert [info["start_candle"] for info in venv.reset_infos][::2] == [TEST_STARTS[1], TRAIN_STARTS[2]]
    assert venv.reset_infos[1]["start_candle"] in TRAIN_STARTS
    assert obs.shape == (N, 32 * 5 + 3) and obs.dtype == np.float32
    venv.set_options({"episode_type": "test", "episode_index": 0})
    venv.reset()
    assert [info["start_candle"] for info in venv.reset_infos] == [TEST_STARTS[0]] * N
    venv.reset()
    assert all(info["start_candle"] in TRAIN_STARTS for info in venv.reset_infos)


def test_images_need_rgb_array(venv):
    with pytest.warns(
        UserWarning, match="^The render mode is None, but this method assumes it is `rgb_array`"
    ):
        assert venv.get_images() == [None] * N


@pytest.mark.parametrize(
    "make, error, message",
    [
        (
            lambda: TradingUIVectorEnv(1, verbose=False),
            ValueError,
            (
                "SB3VecEnv needs a TradingUIVectorEnv made with autoreset_mode=AutoresetMode.SAME_STEP (SB3 "
                "resets an ended environment in the step that ends it), got AutoresetMode.NEXT_STEP"
            ),
        ),
        (
            lambda: gym.vector.SyncVectorEnv(
                [lambda: TradingUIEnv(verbose=False)], autoreset_mode="SameStep"
            ),
            TypeError,
            "SB3VecEnv adapts a TradingUIVectorEnv, got SyncVectorEnv",
        ),
    ],
    ids=["next-step", "not-ours"],
)
def test_what_cannot_be_adapted_is_refused(make, error, message):
    env = make()
    try:
        with pytest.raises(error) as refused:
            SB3VecEnv(env)
        assert str(refused.value) == message
    finally:
        env.close()
