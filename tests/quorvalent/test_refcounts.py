"""Reference-count balance of every success and error path. Runs under a debug build of the
interpreter (one that has sys.gettotalrefcount); elsewhere it is skipped."""
import gc
import sys

import pytest

import quorvalent
from model import INVALID, LENGTH, NEGATIVE, PARSE

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug build of the interpreter")

hd = quorvalent.hamming_distance
check = quorvalent.check_hexstrings_within_dist
LONG_A = "0123456789abcdef" * 2048   # past the size where the interpreter's lock is released
LONG_B = LONG_A[::-1]


class Limit:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BrokenLimit:
    def __index__(self):
        raise RuntimeError("no")


CASES = [
    # (function, arguments, expected message or None for success)
    (hd, ("ff", "0f"), None),
    (hd, ("f" * 64, "0" * 64), None),
    (hd, (LONG_A, LONG_B), None),
    (hd, ("f" * 100, "0" * 100), None),       # a result beyond the cached small ints
    (hd, ("ff",), PARSE),
    (hd, (b"ff", "ff"), PARSE),
    (hd, ("f\0", "ff"), PARSE),
    (hd, ("\ud800", "ff"), PARSE),
    (hd, ("é", "é"), INVALID),                # through the UTF-8 route
    (hd, ("ff", "fff"), LENGTH),
    (hd, ("zz", "zz"), INVALID),
    (check, ("ff", "0f", 4), None),
    (check, ("ff", "0f", 3), None),
    (check, ("zz", "zz", 1), None),
    (check, ("zz", "yy", 9), None),
    (check, (LONG_A, LONG_B, 10), None),
    (check, ("ff", "0f", 2**70), None),       # past 64 bits
    (check, ("ff", "0f", Limit(4)), None),
    (check, ("ff", "0f", True), None),
    (check, ("ff", "ff"), PARSE),
    (check, ("ff", "ff", 1.0), PARSE),
    (check, ("ff", "ff", BrokenLimit()), PARSE),
    (check, ("f\0", "ff", Limit(1)), PARSE),
    (check, ("f0\0", "00\0", 1), PARSE),      # NUL found after an early answer
    (check, ("ff", "fff", 1), LENGTH),
    (check, ("ff", "ff", -1), NEGATIVE),
    (check, ("ff", "ff", -(2**70)), NEGATIVE),
    (check, ("0z", "1z", 3), INVALID),
]


def run(function, args, expected, times):
    for _ in range(times):
        try:
            function(*args)
        except ValueError as error:
            assert str(error) == expected
        else:
            assert expected is None


@pytest.mark.parametrize("function, args, expected", CASES,
                         ids=[f"{f.__name__}-{i}" for i, (f, _, _) in enumerate(CASES)])
def test_reference_counts_stay_flat(function, args, expected):
    run(function, args, expected, 200)  # warm caches and specialisations
    gc.collect()
    before = sys.gettotalrefcount()
    run(function, args, expected, 5000)
    gc.collect()
    grown = sys.gettotalrefcount() - before
    # A leak on the path grows by at least one per call, i.e. by thousands.
    assert abs(grown) < 100, f"reference total moved by {grown} over 5000 calls"
