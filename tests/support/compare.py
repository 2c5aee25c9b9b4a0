"""Comparing what two environments returned, bit for bit."""

from __future__ import annotations

from typing import Any

import numpy as np


def same_bits(ours: Any, theirs: Any, where: str = "") -> None:
    """Asserts ``ours`` equals ``theirs`` as built: the same types, dict keys in the same order, arrays of
    the same dtype, shape and bytes, recursively through dicts, tuples, lists and object arrays; anything
    else by ``==``. ``where`` names the spot in the failure."""
    assert type(ours) is type(theirs), (where, type(ours), type(theirs))
    if isinstance(ours, dict):
        assert list(ours) == list(theirs), where
        for key in ours:
            same_bits(ours[key], theirs[key], f"{where}[{key!r}]")
    elif isinstance(ours, (tuple, list)):
        assert len(ours) == len(theirs), where
        for i, (a, b) in enumerate(zip(ours, theirs)):
            same_bits(a, b, f"{where}[{i}]")
    elif isinstance(ours, np.ndarray):
        assert (ours.dtype, ours.shape) == (theirs.dtype, theirs.shape), where
        if ours.dtype == object:
            for i, (a, b) in enumerate(zip(ours, theirs)):
                same_bits(a, b, f"{where}[{i}]")
        else:
            assert ours.tobytes() == theirs.tobytes(), (where, ours, theirs)
    else:
        assert ours == theirs, (where, ours, theirs)
