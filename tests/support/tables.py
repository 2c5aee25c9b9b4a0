"""Reading the table the training examples print (examples/train_demo.py's report)."""

from __future__ import annotations

import re

POLICIES = ["learned (greedy)", "random", "buy-and-hold"]
VERDICT = re.compile(
    r"^on the held-out test episodes the learned policy (?:beats|does not beat) (random|buy-and-hold): "
    r"[+-]\d+\.\d ± \d+\.\d per episode(?: \(within noise: less than 2 standard errors\))?$",
    re.M,
)


def table(stdout: str, test_episodes: int) -> list[tuple[str, ...]]:
    """The rows: policy, train mean pnl and its error, test mean pnl and its error, test %, best on test."""
    row = re.compile(
        r"^(learned \(greedy\)|random|buy-and-hold) +([+-]\d+\.\d) ± +(\d+\.\d) +([+-]\d+\.\d) ± +"
        rf"(\d+\.\d) +([+-]\d+\.\d{{3}}) +(\d+)/{test_episodes}$"
    )
    return [m.groups() for m in map(row.match, stdout.splitlines()) if m]


def check_report(stdout: str, test_episodes: int) -> list[tuple[str, ...]]:
    """Asserts the whole report is there: a row per policy, a best policy per test episode, both
    verdicts. Returns the rows."""
    rows = table(stdout, test_episodes)
    assert [r[0] for r in rows] == POLICIES, stdout
    # Each test episode has one best policy (or a tie, counted for the first of them).
    assert sum(int(r[6]) for r in rows) == test_episodes
    assert VERDICT.findall(stdout) == POLICIES[1:], stdout
    return rows
