"""A NumPy-only policy-gradient learner: a small MLP softmax policy trained by REINFORCE with a baseline.

Split so that a distributed rollout (for example Ray workers, each with its own environments) can reuse it:
workers build a ``Policy``, load the driver's ``get_params()`` with ``set_params`` and ``act`` on batches of
observations; the driver turns what they collected into a ``Batch`` and calls ``Reinforce.update``.

    policy = Policy(obs_dim, n_actions, hidden=32, seed=0)
    learner = Reinforce(policy, lr=3e-3)
    actions = policy.act(obs, rng)                 # obs: (N, obs_dim) -> (N,) int64
    stats = learner.update(Batch(obs, actions, rewards, dones))
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

import numpy as np


@dataclass
class Batch:
    """Transitions of N environments over T steps, time first.

    ``obs`` (T, N, obs_dim), ``actions`` (T, N), ``rewards`` (T, N): the reward that followed the action.
    ``dones`` (T, N) marks the last step of an episode (terminated or truncated): returns do not flow back
    across it. ``mask`` (T, N), optional, leaves steps out of the update, for example the autoreset steps
    of a Gymnasium vector environment, whose action was ignored. A batch should end at episode ends: the
    return of an episode cut off by the end of the batch counts only the rewards inside it.
    """

    obs: np.ndarray
    actions: np.ndarray
    rewards: np.ndarray
    dones: np.ndarray
    mask: Optional[np.ndarray] = None


def discounted_returns(rewards: np.ndarray, dones: np.ndarray, gamma: float) -> np.ndarray:
    """G[t] = rewards[t] + gamma * G[t + 1], restarting after every done; shapes (T, N)."""
    returns = np.zeros(rewards.shape, dtype=np.float64)
    following = np.zeros(rewards.shape[1:], dtype=np.float64)
    for t in range(rewards.shape[0] - 1, -1, -1):
        following = rewards[t] + gamma * following * (1.0 - dones[t])
        returns[t] = following
    return returns


class Policy:
    """pi(a | obs) = softmax(W2 tanh(W1 obs + b1) + b2). The output layer starts at zero: uniform actions."""

    def __init__(self, obs_dim: int, n_actions: int, hidden: int = 32, seed: int = 0):
        rng = np.random.default_rng(seed)
        self.obs_dim, self.n_actions, self.hidden = obs_dim, n_actions, hidden
        self.shapes = [(obs_dim, hidden), (hidden,), (hidden, n_actions), (n_actions,)]
        w1 = rng.normal(0.0, 1.0 / np.sqrt(obs_dim), (obs_dim, hidden))
        self.params = [w1, np.zeros(hidden), np.zeros((hidden, n_actions)), np.zeros(n_actions)]

    @property
    def size(self) -> int:
        return sum(int(np.prod(s)) for s in self.shapes)

    def get_params(self) -> np.ndarray:
        """All weights as one float64 vector (a copy)."""
        return np.concatenate([p.ravel() for p in self.params])

    def set_params(self, theta: np.ndarray) -> None:
        theta = np.asarray(theta, dtype=np.float64)
        if theta.shape != (self.size,):
            raise ValueError(f"expected {self.size} parameters, got shape {theta.shape}")
        out, at = [], 0
        for shape in self.shapes:
            n = int(np.prod(shape))
            out.append(theta[at:at + n].reshape(shape).copy())
            at += n
        self.params = out

    def save(self, path: Path, **settings: Any) -> None:
        """Writes the weights and the shape of the policy to ``path`` (.npz), with ``settings`` beside them
        (numbers or strings the caller needs to use it again)."""
        path.parent.mkdir(parents=True, exist_ok=True)
        np.savez(path, params=self.get_params(), obs_dim=self.obs_dim, n_actions=self.n_actions,
                 hidden=self.hidden, **settings)

    @classmethod
    def load(cls, path: Path) -> tuple["Policy", dict[str, Any]]:
        """A policy written by ``save``, and the settings saved with it."""
        with np.load(path) as saved:
            fields = {k: saved[k].item() for k in saved.files if k != "params"}
            policy = cls(int(fields.pop("obs_dim")), int(fields.pop("n_actions")), int(fields.pop("hidden")))
            policy.set_params(saved["params"])
        return policy, fields

    def _forward(self, obs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        w1, b1, w2, b2 = self.params
        hidden = np.tanh(np.asarray(obs, dtype=np.float64) @ w1 + b1)
        logits = hidden @ w2 + b2
        logits -= logits.max(axis=-1, keepdims=True)
        probs = np.exp(logits)
        probs /= probs.sum(axis=-1, keepdims=True)
        return hidden, probs

    def probs(self, obs: np.ndarray) -> np.ndarray:
        """Action probabilities, (N, n_actions) for obs (N, obs_dim)."""
        return self._forward(obs)[1]

    def act(self, obs: np.ndarray, rng: Optional[np.random.Generator] = None, greedy: bool = False) -> np.ndarray:
        """One action per row of obs: sampled with rng, or the most likely one when greedy."""
        p = self.probs(obs)
        if greedy:
            return p.argmax(axis=-1).astype(np.int64)
        if rng is None:
            raise ValueError("sampling needs an rng (or greedy=True)")
        # Inverse-CDF sampling, one uniform per row.
        u = rng.random((p.shape[0], 1))
        return np.minimum((p.cumsum(axis=-1) < u).sum(axis=-1), self.n_actions - 1).astype(np.int64)

    def gradient(self, obs: np.ndarray, actions: np.ndarray, weights: np.ndarray,
                 entropy_coef: float) -> tuple[np.ndarray, float]:
        """Gradient of mean(weights * log pi(actions | obs)) + entropy_coef * mean(entropy), as one vector;
        and the mean entropy."""
        w1, _, w2, _ = self.params
        hidden, p = self._forward(obs)
        n = len(actions)
        log_p = np.log(np.maximum(p, 1e-12))
        entropy = -(p * log_p).sum(axis=-1)
        onehot = np.zeros_like(p)
        onehot[np.arange(n), actions] = 1.0
        # d log pi(a) / d logits = onehot - p;  d entropy / d logits = -p * (log p + entropy).
        d_logits = (weights[:, None] * (onehot - p) - entropy_coef * p * (log_p + entropy[:, None])) / n
        d_hidden = (d_logits @ w2.T) * (1.0 - hidden ** 2)
        grads = [np.asarray(obs, dtype=np.float64).T @ d_hidden, d_hidden.sum(axis=0), hidden.T @ d_logits,
                 d_logits.sum(axis=0)]
        return np.concatenate([g.ravel() for g in grads]), float(entropy.mean())


class Reinforce:
    """REINFORCE with a baseline, Adam steps on the policy's parameter vector.

    The baseline is the mean return of the batch's episodes at the same step of the episode (the
    episodes of a batch start together, so step t of one is comparable with step t of another);
    advantages are then scaled to unit variance, so the step size does not depend on the reward's units.
    """

    def __init__(self, policy: Policy, lr: float = 3e-3, gamma: float = 0.95, entropy_coef: float = 0.01,
                 beta1: float = 0.9, beta2: float = 0.999):
        self.policy = policy
        self.lr, self.gamma, self.entropy_coef = lr, gamma, entropy_coef
        self.beta1, self.beta2 = beta1, beta2
        self.m = np.zeros(policy.size)
        self.v = np.zeros(policy.size)
        self.steps = 0

    def update(self, batch: Batch) -> dict[str, float]:
        """One gradient step from the batch; returns what it saw (mean episode return, entropy, ...)."""
        rewards = np.asarray(batch.rewards, dtype=np.float64)
        dones = np.asarray(batch.dones, dtype=np.float64)
        mask = np.ones(rewards.shape, dtype=bool) if batch.mask is None else np.asarray(batch.mask, dtype=bool)
        returns = discounted_returns(rewards * mask, dones, self.gamma)
        counted = np.maximum(mask.sum(axis=1, keepdims=True), 1)
        baseline = (returns * mask).sum(axis=1, keepdims=True) / counted
        advantages = returns - baseline
        flat = mask.ravel()
        adv = advantages.ravel()[flat]
        adv = adv / (adv.std() + 1e-8)
        obs = np.asarray(batch.obs).reshape(-1, batch.obs.shape[-1])[flat]
        actions = np.asarray(batch.actions).ravel()[flat]
        grad, entropy = self.policy.gradient(obs, actions, adv, self.entropy_coef)
        # Adam, ascending the objective.
        self.steps += 1
        self.m = self.beta1 * self.m + (1 - self.beta1) * grad
        self.v = self.beta2 * self.v + (1 - self.beta2) * grad ** 2
        m_hat = self.m / (1 - self.beta1 ** self.steps)
        v_hat = self.v / (1 - self.beta2 ** self.steps)
        self.policy.set_params(self.policy.get_params() + self.lr * m_hat / (np.sqrt(v_hat) + 1e-8))
        episodes = max(1.0, float((dones * mask).sum()))
        return {"episode_return": float((rewards * mask).sum() / episodes), "entropy": entropy,
                "grad_norm": float(np.linalg.norm(grad)), "samples": float(flat.sum())}
