"""Every argument position of both functions against every kind of bad input."""
import pytest

import quorvalent
from model import INVALID, LENGTH, NEGATIVE, PARSE

hd = quorvalent.hamming_distance
check = quorvalent.check_hexstrings_within_dist


class HexStr(str):
    pass


LONG = "ab" * 300_000

# kind -> (value, message when it stands in a string position of a two-digit call)
STRING_POSITION = {
    "bytes": (b"ff", PARSE),
    "bytearray": (bytearray(b"ff"), PARSE),
    "memoryview": (memoryview(b"ff"), PARSE),
    "int": (255, PARSE),
    "float": (1.5, PARSE),
    "None": (None, PARSE),
    "list": (["f", "f"], PARSE),
    "str subclass": (HexStr("0f"), None),         # accepted: same as "0f"
    "lone surrogate": ("\udc80f", PARSE),
    "embedded NUL": ("f\0", PARSE),
    "non-ASCII text": ("é", INVALID),              # two bytes, like the other argument
    "very long": (LONG, LENGTH),
}


@pytest.mark.parametrize("kind", STRING_POSITION)
@pytest.mark.parametrize("position", [0, 1])
def test_hamming_distance_string_positions(kind, position, raises_exactly):
    value, message = STRING_POSITION[kind]
    args = ["ff", "ff"]
    args[position] = value
    if message is None:
        assert hd(*args) == 4
    else:
        raises_exactly(message, hd, *args)


@pytest.mark.parametrize("kind", STRING_POSITION)
@pytest.mark.parametrize("position", [0, 1])
def test_check_within_string_positions(kind, position, raises_exactly):
    value, message = STRING_POSITION[kind]
    args = ["ff", "ff", 3]
    args[position] = value
    if message is None:
        assert check(*args) is False                 # 4 bits apart, limit 3
    else:
        raises_exactly(message, check, *args)


# kind -> expected answer (True/False) or message, for check("ff", "0f", value)
LIMIT_POSITION = {
    "bytes": b"4", "bytearray": bytearray(b"4"), "memoryview": memoryview(b"4"),
    "float": 4.0, "None": None, "list": [4], "str": "4", "str subclass": HexStr("4"),
    "lone surrogate": "\udc80", "embedded NUL": "\0", "non-ASCII text": "é",
    "very long": LONG,
}


@pytest.mark.parametrize("kind", LIMIT_POSITION)
def test_check_within_limit_position_refuses_non_integers(kind, raises_exactly):
    raises_exactly(PARSE, check, "ff", "0f", LIMIT_POSITION[kind])


@pytest.mark.parametrize("limit, expected", [(4, True), (3, False), (2**64, True), (-1, NEGATIVE)])
def test_check_within_limit_position_integers(limit, expected, raises_exactly):
    if expected is NEGATIVE:
        raises_exactly(NEGATIVE, check, "ff", "0f", limit)
    else:
        assert check("ff", "0f", limit) is expected


@pytest.mark.parametrize("function, args", [(hd, ()), (hd, ("ff",)), (hd, ("ff", "ff", "ff")),
                                            (check, ()), (check, ("ff", "ff")),
                                            (check, ("ff", "ff", 1, 1))])
def test_wrong_counts(function, args, raises_exactly):
    raises_exactly(PARSE, function, *args)


def test_long_strings_in_both_positions(raises_exactly):
    assert hd(LONG, LONG) == 0
    assert check(LONG, LONG[:-1] + "c", 0) is False
    raises_exactly(INVALID, hd, LONG, LONG[:-1] + "g")
    raises_exactly(PARSE, check, LONG, "\0" + LONG[1:], 0)
