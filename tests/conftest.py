"""Helpers shared by the test modules."""

import os
import re

import numpy as np
import pytest

import _ornel
import ornel

try:
    from hypothesis import settings

    # CI runs a fixed, bounded number of examples; `--hypothesis-profile=long` runs more
    # (ORNEL_FUZZ_EXAMPLES per test, 5000 by default).
    settings.register_profile("ci", max_examples=60, deadline=None, derandomize=True)
    settings.register_profile("long", max_examples=int(os.environ.get("ORNEL_FUZZ_EXAMPLES", "5000")), deadline=None)
    settings.load_profile("ci")
except ImportError:  # pragma: no cover
    pass


def is_panic(error):
    return type(error).__name__ == "PanicException" and type(error).__bases__ == (BaseException,)


class raises_panic:
    """Context manager: the block must raise PanicException whose message starts with `prefix`."""

    def __init__(self, prefix):
        self.prefix = prefix

    def __enter__(self):
        return self

    def __exit__(self, kind, error, traceback):
        if error is None:
            raise AssertionError(f"no PanicException raised (expected {self.prefix!r})")
        if not is_panic(error):
            return False
        message = str(error)
        assert message.startswith(self.prefix), f"{message!r} does not start with {self.prefix!r}"
        self.message = message
        return True


def delaunay_graph(points):
    """The vertex adjacency of the Delaunay tetrahedralisation of `points`, as
    the CSR pair (indptr, indices) of uint32 arrays."""
    return ornel.delaunay_graph(points)


# The terminal's stderr as it was before pytest began capturing output: a report written
# there by a process that is about to end (a hang caught by a watchdog) is not lost with
# the capture.
terminal_stderr = None


def pytest_configure(config):
    global terminal_stderr
    terminal_stderr = os.dup(2)


def assert_argument_notes(error, note):
    """`error` carries the note `note` naming the parameter (or no note at all); an array
    refusal adds exactly one more, saying what was expected and what was given."""
    notes = getattr(error, "__notes__", None)
    if note is None:
        assert notes is None
        return
    assert notes[0] == note
    assert len(notes) <= 2 and all(re.fullmatch(r"expected .+; got .+", extra) for extra in notes[1:]), notes


def expect_error(error, message, call, note=None):
    """`call()` raises exactly `error(message)`, with the note `note` (or none)."""
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
    assert_argument_notes(info.value, note)
