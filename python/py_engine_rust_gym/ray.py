"""Rollouts on a Ray cluster: W rollout actors, each with its own engines and UI peers, one learner.

Each UI peer costs a core, so one machine runs out of them long before a learner does. Here every rollout
actor owns a ``TradingUIVectorEnv`` of E engines and their headless peers on the node where Ray placed it
(the engines listen on that node's loopback, each on a free port); the driver sends the policy's
parameters to all actors and gets back one batch of trajectories from each, as NumPy arrays through
Ray's object store::

    import ray
    from py_engine_rust_gym.ray import RolloutPool

    ray.init()                                          # or ray.init(address="HEAD:6379")
    with RolloutPool(2, 4, policy, steps=256) as pool:  # 2 actors with 4 engines and peers each
        for _ in range(10):
            batches = pool.collect(params)              # one Trajectories per actor
            params = update(params, batches)

``policy(params, obs, rng)`` maps the flat parameter vector, a batch of E observations and the actor's
NumPy generator to E actions (observations and actions are arrays: Box, Discrete or MultiDiscrete spaces).
It and ``make_env`` are pickled to the actors, so they must be importable there (module-level functions,
``functools.partial`` of them, or instances of module-level classes).

A worker that fails (its UI peer died, an engine command failed, its process or node was lost, or it did
not answer in time) is reported with its index, host and message; the pool replaces it with a new actor
made with the same options and runs its collection again, once. A second failure fails the call with
``RolloutError``. ``close()`` stops every actor's peers and then the actor's process, which ends its
engines (they live as long as their process).

Needs Ray: ``pip install "py_engine_rust[ray]"``.
"""

from __future__ import annotations

import functools
import logging
import os
import socket
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

try:
    import ray
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError('py_engine_rust_gym.ray needs Ray: pip install "py_engine_rust[ray]"') from e

from .options import EnvOptions, whole_number
from .vector import TradingUIVectorEnv

log = logging.getLogger(__name__)

Policy = Callable[[np.ndarray, np.ndarray, np.random.Generator], Any]
EnvFactory = Callable[[int], TradingUIVectorEnv]

# What a worker's environments are made with unless env_kwargs say otherwise.
WORKER_ENV_DEFAULTS: dict[str, Any] = {"launch_peer": True, "verbose": False}
# Actor options unless the caller gives its own: a core each, spread over the nodes.
DEFAULT_ACTOR_OPTIONS: dict[str, Any] = {"num_cpus": 1, "scheduling_strategy": "SPREAD"}
# A worker that is being replaced gets this long to stop its peers before its process is killed.
_CLOSE_GRACE_SECS = 15.0


class RolloutError(RuntimeError):
    """A rollout worker failed. The message names the worker, its host and node, and what happened."""


@dataclass
class Trajectories:
    """What one rollout actor collected with one parameter vector: T steps of each of its E environments.

    Step t of environment e chose ``actions[t, e]`` on ``obs[t, e]`` and received ``rewards[t, e]``;
    ``terminated``/``truncated`` mark the last step of an episode, after which the environment was reset
    at once, so ``starts[t + 1, e]`` is True and every (t, e) is a real step. ``starts[0, e]`` says
    whether the batch opens a new episode or continues one from the previous batch; ``last_obs[e]`` is
    the observation the next batch starts from (for bootstrapping an unfinished episode).

    ``episode_returns`` and ``episode_lengths`` describe the episodes that ended in this batch, counted
    from their first step even when it was in an earlier batch.
    """

    worker: int
    hostname: str
    node_id: str
    obs: np.ndarray
    actions: np.ndarray
    rewards: np.ndarray
    terminated: np.ndarray
    truncated: np.ndarray
    starts: np.ndarray
    last_obs: np.ndarray
    episode_returns: np.ndarray
    episode_lengths: np.ndarray
    seconds: float

    @property
    def steps(self) -> int:
        """Environment steps in the batch (T x E)."""
        return int(self.rewards.size)

    @property
    def steps_per_s(self) -> float:
        """The worker's collection rate: steps over the wall time of its loop, policy included."""
        return self.steps / self.seconds if self.seconds > 0 else 0.0

    @property
    def dones(self) -> np.ndarray:
        """(T, E) bool: the step ended an episode (terminated or truncated)."""
        return self.terminated | self.truncated


class RolloutWorker:
    """The body of a rollout actor: a ``TradingUIVectorEnv`` on this node, and the loop that steps it.

    A Ray actor runs one method at a time, so nothing here is shared between threads. Environments keep
    running across ``collect`` calls: an episode cut by the end of a batch goes on in the next one.
    After a failed ``collect`` the environments' state is unknown and every further call fails; the
    pool replaces the actor.
    """

    def __init__(
        self,
        worker: int,
        num_envs: int,
        policy: Policy,
        steps: int,
        *,
        make_env: EnvFactory | None = None,
        env_kwargs: dict[str, Any] | None = None,
        seed: int = 0,
    ):
        self.worker = worker
        self.policy = policy
        self.steps = steps
        self.hostname = socket.gethostname()
        self.node_id = ray.get_runtime_context().get_node_id()
        self.rng = np.random.default_rng([seed, worker])
        self._failure: str | None = None
        self.envs: TradingUIVectorEnv | None = None
        self._starts = np.ones(num_envs, dtype=np.bool_)
        self._returns = np.zeros(num_envs)
        self._lengths = np.zeros(num_envs, dtype=np.int64)
        try:
            if make_env is not None:
                self.envs = make_env(num_envs)
            else:
                # Headless Node peers unless env_kwargs say otherwise (launch_peer="browser" for pages).
                self.envs = TradingUIVectorEnv(num_envs, **{**WORKER_ENV_DEFAULTS, **(env_kwargs or {})})
            if self.envs.num_envs != num_envs:
                raise ValueError(f"make_env({num_envs}) made {self.envs.num_envs} environments")
            # Sub-environment i of worker w draws its episodes from seed + w * E + i: no two alike.
            self._obs, _ = self.envs.reset(seed=seed + worker * num_envs)
        except Exception as e:
            # Raising here would kill the actor and bury this text in Ray's account of its death; the
            # first call (describe) raises it instead, as a plain task error.
            if self.envs is not None:
                self.envs.close()
                self.envs = None
            self._failure = str(self._error("could not start its environments", e))

    def _error(self, what: str, e: BaseException) -> RolloutError:
        # Only the text crosses the object store: some exception types cannot be rebuilt from their args.
        return RolloutError(
            f"rollout worker {self.worker} on {self.hostname} (node {self.node_id[:12]}): "
            f"{what}: {type(e).__name__}: {e}"
        )

    def describe(self) -> dict[str, Any]:
        """Where this worker runs: index, host, node id, process id, engine URLs and peer process ids."""
        if self.envs is None:
            raise RolloutError(self._failure)
        return {
            "worker": self.worker,
            "hostname": self.hostname,
            "node_id": self.node_id,
            "pid": os.getpid(),
            "urls": list(self.envs.urls),
            "peer_pids": [p for p in self.envs.peer_pids if p is not None],
        }

    def collect(self, params: np.ndarray) -> Trajectories:
        """Runs ``steps`` steps of every environment with the policy at ``params``."""
        if self._failure is not None:
            raise RolloutError(f"{self._failure} (an earlier failure; the worker must be replaced)")
        try:
            return self._collect(np.asarray(params))
        except Exception as e:
            error = self._error("collection failed", e)
            self._failure = str(error)
            raise error from e

    def _collect(self, params: np.ndarray) -> Trajectories:
        envs = self.envs
        assert envs is not None
        n, t_max = envs.num_envs, self.steps
        act_space = envs.single_action_space
        obs_buf = np.empty((t_max, *self._obs.shape), dtype=self._obs.dtype)
        act_buf = np.empty((t_max, n, *(act_space.shape or ())), dtype=act_space.dtype)
        rewards = np.empty((t_max, n), dtype=np.float64)
        terminated = np.empty((t_max, n), dtype=np.bool_)
        truncated = np.empty((t_max, n), dtype=np.bool_)
        starts = np.empty((t_max, n), dtype=np.bool_)
        ended_returns: list[float] = []
        ended_lengths: list[int] = []
        obs = self._obs
        began = time.perf_counter()
        for t in range(t_max):
            obs_buf[t] = obs
            starts[t] = self._starts
            actions = np.asarray(self.policy(params, obs, self.rng))
            if actions.shape != act_buf.shape[1:]:
                raise ValueError(
                    f"the policy returned actions of shape {actions.shape}, not {act_buf.shape[1:]}"
                )
            act_buf[t] = actions
            obs, rewards[t], terminated[t], truncated[t], _ = envs.step(actions)
            self._returns += rewards[t]
            self._lengths += 1
            done = terminated[t] | truncated[t]
            if done.any():
                ended_returns.extend(self._returns[done].tolist())
                ended_lengths.extend(self._lengths[done].tolist())
                self._returns[done] = 0.0
                self._lengths[done] = 0
                # Reset the finished ones now rather than on the next step, so no step is a dummy.
                obs, _ = envs.reset(options={"reset_mask": done})
            self._starts = done
        seconds = time.perf_counter() - began
        self._obs = obs
        return Trajectories(
            worker=self.worker,
            hostname=self.hostname,
            node_id=self.node_id,
            obs=obs_buf,
            actions=act_buf,
            rewards=rewards,
            terminated=terminated,
            truncated=truncated,
            starts=starts,
            last_obs=obs.copy(),
            episode_returns=np.array(ended_returns, dtype=np.float64),
            episode_lengths=np.array(ended_lengths, dtype=np.int64),
            seconds=seconds,
        )

    def close(self) -> list[int]:
        """Closes the environments (their peers get SIGTERM and are waited for); returns the peers' pids."""
        if self.envs is None:
            return []
        pids = [p for p in self.envs.peer_pids if p is not None]
        self.envs.close()
        return pids


RolloutActor = ray.remote(RolloutWorker)


@dataclass
class _Slot:
    actor: Any
    info: dict[str, Any]


class _Attempt(NamedTuple):
    worker: int
    retry: bool
    deadline: float


class RolloutPool:
    """The driver's side: ``num_workers`` rollout actors with ``envs_per_worker`` engines and peers each.

    ``steps`` is the number of steps per environment in one ``collect``. The environments are
    ``make_env(envs_per_worker)`` (a picklable callable that builds a ``TradingUIVectorEnv``, e.g. one
    that also loads candles), or ``TradingUIVectorEnv(envs_per_worker, launch_peer=True, verbose=False,
    **env_kwargs)``. ``actor_options`` are Ray's actor options, one dict for all workers or one per
    worker (e.g. ``{"resources": {"node_a": 1}}`` to pin a worker to a node); the default asks for a
    core per actor and spreads them over the nodes. ``timeout`` bounds each worker's collection and
    ``start_timeout`` its start, in seconds.

    The constructor waits until every actor is up and raises ``RolloutError`` (after stopping the ones
    that came up) if one is not. Use from one thread.
    """

    def __init__(
        self,
        num_workers: int,
        envs_per_worker: int,
        policy: Policy,
        steps: int,
        *,
        make_env: EnvFactory | None = None,
        env_kwargs: dict[str, Any] | None = None,
        seed: int = 0,
        actor_options: dict[str, Any] | Sequence[dict[str, Any]] | None = None,
        timeout: float = 300.0,
        start_timeout: float = 120.0,
        verbose: bool = True,
    ):
        whole_number("num_workers", num_workers)
        whole_number("envs_per_worker", envs_per_worker)
        whole_number("steps", steps)
        if make_env is not None and env_kwargs:
            raise ValueError("give make_env or env_kwargs, not both")
        # Checked here, where a mistake costs nothing, rather than in every actor.
        EnvOptions.of("TradingUIVectorEnv", {**WORKER_ENV_DEFAULTS, **(env_kwargs or {})})
        if actor_options is None:
            actor_options = DEFAULT_ACTOR_OPTIONS
        options = (
            [dict(actor_options)] * num_workers if isinstance(actor_options, dict) else list(actor_options)
        )
        if len(options) != num_workers:
            raise ValueError(
                f"actor_options must be one dict or num_workers={num_workers} dicts, got {len(options)}"
            )
        self._options = options
        self._new_actor = functools.partial(
            _spawn,
            policy=policy,
            num_envs=envs_per_worker,
            steps=steps,
            make_env=make_env,
            env_kwargs=env_kwargs,
            seed=seed,
        )
        self.timeout = timeout
        self.start_timeout = start_timeout
        self.verbose = verbose
        self.failures: list[str] = []  # every worker failure seen, in order, including retried ones
        self._slots: list[_Slot | None] = [None] * num_workers
        self._closed = False
        actors = [self._new_actor(i, options[i]) for i in range(num_workers)]
        try:
            infos = _wait_all([a.describe.remote() for a in actors], list(range(num_workers)), start_timeout)
        except BaseException:
            _stop(actors)
            raise
        self._slots = [_Slot(a, info) for a, info in zip(actors, infos, strict=True)]

    @property
    def num_workers(self) -> int:
        return len(self._slots)

    def workers(self) -> list[dict[str, Any]]:
        """Each worker's ``describe()``: index, hostname, node_id, pid, engine urls and peer pids."""
        return [dict(s.info) for s in self._live_slots()]

    def _live_slots(self) -> list[_Slot]:
        if self._closed:
            raise RuntimeError("the rollout pool is closed")
        return [s for s in self._slots if s is not None]

    def collect(self, params: np.ndarray) -> list[Trajectories]:
        """Sends ``params`` to every worker (once, through the object store) and returns each worker's batch,
        in worker order. A failed worker is replaced and run again once; a second failure raises
        ``RolloutError`` with its message."""
        slots = self._live_slots()
        params_ref = ray.put(np.ascontiguousarray(params))
        pending: dict[Any, _Attempt] = {}
        for i in range(len(slots)):
            self._submit(pending, i, params_ref, retry=False)
        results: list[Trajectories | None] = [None] * len(slots)
        while pending:
            ref, failure = self._next_finished(pending)
            attempt = pending.pop(ref)
            i = attempt.worker
            # A worker past its deadline is busy: it would answer a request to close only after its
            # collection, so it is killed at once (its peers exit when their engines' process ends).
            stuck = failure is not None
            if failure is None:
                try:
                    results[i] = ray.get(ref)
                    continue
                except (ray.exceptions.RayError, RolloutError) as e:
                    failure = _describe_failure(i, e)
            self.failures.append(failure)
            if attempt.retry:
                raise RolloutError(f"{failure} (after one retry with a new actor)")
            if self.verbose:
                log.warning("%s; replacing rollout worker %d and collecting again", failure, i)
            try:
                self._replace(i, stuck=stuck)
            except RolloutError as e:
                raise RolloutError(f"{failure}; and its replacement: {e}") from e
            self._submit(pending, i, params_ref, retry=True)
        return results  # type: ignore[return-value]

    def _submit(self, pending: dict[Any, _Attempt], i: int, params_ref: Any, *, retry: bool) -> None:
        slot = self._slots[i]
        assert slot is not None
        pending[slot.actor.collect.remote(params_ref)] = _Attempt(i, retry, time.monotonic() + self.timeout)

    def _next_finished(self, pending: dict[Any, _Attempt]) -> tuple[Any, str | None]:
        """The next collection to finish, or the first to pass its deadline (with why it failed)."""
        first_due = min(pending, key=lambda ref: pending[ref].deadline)
        due = pending[first_due]
        ready, _ = ray.wait(list(pending), num_returns=1, timeout=max(0.0, due.deadline - time.monotonic()))
        if ready:
            return ready[0], None
        slot = self._slots[due.worker]
        assert slot is not None
        host, node = slot.info["hostname"], slot.info["node_id"][:12]
        return first_due, (
            f"rollout worker {due.worker} on {host} (node {node}): "
            f"did not finish its collection within {self.timeout:g} s"
        )

    def _replace(self, i: int, *, stuck: bool) -> None:
        slot = self._slots[i]
        assert slot is not None
        self._slots[i] = None
        if stuck:
            ray.kill(slot.actor, no_restart=True)
        else:
            _stop([slot.actor])
        actor = self._new_actor(i, self._options[i])
        try:
            (info,) = _wait_all([actor.describe.remote()], [i], self.start_timeout)
        except BaseException:
            _stop([actor])
            raise
        self._slots[i] = _Slot(actor, info)

    def close(self) -> dict[int, dict[str, Any]]:
        """Stops every worker's peers, then its process (and so its engines). Safe to call more than once.

        Returns, per worker index, what was stopped: ``pid`` (the actor's process) and ``peer_pids``."""
        if self._closed:
            return {}
        self._closed = True
        slots = [s for s in self._slots if s is not None]
        self._slots = []
        _stop([s.actor for s in slots])
        return {s.info["worker"]: {"pid": s.info["pid"], "peer_pids": s.info["peer_pids"]} for s in slots}

    def __enter__(self) -> RolloutPool:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _spawn(
    worker: int,
    options: dict[str, Any],
    *,
    policy: Policy,
    num_envs: int,
    steps: int,
    make_env: EnvFactory | None,
    env_kwargs: dict[str, Any] | None,
    seed: int,
) -> Any:
    # Restarts are the pool's business, not Ray's: a worker is replaced only where the driver sees why.
    return RolloutActor.options(**{**options, "max_restarts": 0, "max_task_retries": 0}).remote(
        worker, num_envs, policy, steps, make_env=make_env, env_kwargs=env_kwargs, seed=seed
    )


def _stop(actors: list[Any]) -> None:
    """Lets the actors stop their peers (together, bounded), then ends their processes, engines and all."""
    refs = [a.close.remote() for a in actors]
    ray.wait(refs, num_returns=len(refs), timeout=_CLOSE_GRACE_SECS)
    for a in actors:
        ray.kill(a, no_restart=True)


def _wait_all(refs: list[Any], workers: list[int], timeout: float) -> list[Any]:
    """The results of ``refs`` (calls to the actors of ``workers``), or RolloutError naming the first
    worker that failed or did not answer within ``timeout`` seconds."""
    ready, _ = ray.wait(refs, num_returns=len(refs), timeout=timeout)
    results = []
    for ref, worker in zip(refs, workers, strict=True):
        if ref not in ready:
            raise RolloutError(
                f"rollout worker {worker} did not start within {timeout:g} s "
                "(is there a node with the resources its actor options ask for?)"
            )
        try:
            results.append(ray.get(ref))
        except ray.exceptions.RayError as e:
            raise RolloutError(_describe_failure(worker, e)) from e
    return results


def _describe_failure(worker: int, e: BaseException) -> str:
    """The worker's own message where it sent one, else Ray's account of what happened to its actor."""
    if isinstance(e, ray.exceptions.RayTaskError) and isinstance(e.cause, RolloutError):
        return str(e.cause)
    return f"rollout worker {worker}: {type(e).__name__}: {e}"
