"""Runs a command in a network namespace of its own, where only the loopback interface exists.

Ray binds its nodes to the machine's interface address even when told 127.0.0.1; in a fresh namespace
the only address is 127.0.0.1, so a whole cluster stays on loopback. Needs root (or user namespaces)
and ``ip`` (Debian's iproute2).
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
from collections.abc import Mapping, Sequence

# Set in the namespace, so the re-executed test knows it is there.
INSIDE = "PY_ENGINE_RUST_TEST_NETNS"

_BRING_UP_LO = 'ip link set lo up && exec "$@"'


def inside() -> bool:
    return os.environ.get(INSIDE) == "1"


def unavailable() -> str | None:
    """Why a private network namespace cannot be made here, or None when it can."""
    for tool, package in (("unshare", "util-linux"), ("ip", "iproute2")):
        if shutil.which(tool) is None:
            return (
                f"no `{tool}` command (Debian package {package}) to run the test in its own network namespace"
            )
    probe = subprocess.run(
        ["unshare", "-n", "sh", "-c", _BRING_UP_LO, "sh", "true"],
        check=False,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=30,
    )
    if probe.returncode != 0:
        return f"`unshare -n` is not permitted here (it needs root): {probe.stderr.strip()}"
    return None


def run(
    argv: Sequence[str], *, cwd: str, env: Mapping[str, str], timeout: float
) -> subprocess.CompletedProcess[str]:
    """Runs ``argv`` under ``unshare -n`` with ``lo`` up and ``INSIDE`` set; stdout and stderr together.

    On timeout the whole process group goes, whatever it started, and TimeoutExpired is raised."""
    command = ["unshare", "-n", "sh", "-c", _BRING_UP_LO, "sh", *argv]
    with subprocess.Popen(
        command,
        cwd=cwd,
        env={**env, INSIDE: "1"},
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,
    ) as proc:
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired as e:
            os.killpg(proc.pid, signal.SIGKILL)
            e.output, _ = proc.communicate()
            raise
        return subprocess.CompletedProcess(command, proc.returncode, out)
