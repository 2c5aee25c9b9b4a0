"""The snippets of docs/gym.md that train with the RL libraries, run as written with fewer steps.

The RLlib snippet needs RLlib's own venv and a network namespace: tests/test_rllib.py runs it."""

import re

import pytest

pytest.importorskip("gymnasium")
pytest.importorskip("stable_baselines3")
pytest.importorskip("torch")

from support.docs import run_code, shrunk, snippet  # noqa: E402

OBS = "(4, 163)"
SNIPPETS = {
    "sb3": (
        {"n_steps=256": "n_steps=16", "total_timesteps=20_000": "total_timesteps=256"},
        r"(?s)Using cpu device\n.*\|\s+total_timesteps\s+\| 256\s+\|.*",
    ),
    "cleanrl": (
        {"num_steps = 512": "num_steps = 30", "max_episode_steps=100": "max_episode_steps=5"},
        r"48 episodes, mean return [+-]\d+\.\d\n",
    ),
    "vectorizers": (
        {"range(100)": "range(12)", "max_episode_steps=50": "max_episode_steps=5"},
        re.escape(
            f"TradingUIVectorEnv: obs {OBS}, AutoresetMode.SAME_STEP\n"
            f"SyncVectorEnv: obs {OBS}, AutoresetMode.SAME_STEP\n"
            f"AsyncVectorEnv: obs {OBS}, AutoresetMode.NEXT_STEP\n"
        ),
    ),
}


@pytest.mark.parametrize("name", sorted(SNIPPETS))
def test_the_gym_page_snippet_runs(name, tmp_path):
    replacements, output = SNIPPETS[name]
    done = run_code(shrunk(snippet("gym.md", name), replacements), tmp_path, timeout=240)
    assert done.returncode == 0, done.stderr[-4000:]
    assert re.fullmatch(output, done.stdout), done.stdout[-4000:]
