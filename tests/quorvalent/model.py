"""A plain-Python statement of what the module answers, used as the oracle of the tests."""

PARSE = "error occurred while parsing arguments"
LENGTH = "strings are NOT the same length"
INVALID = "hex string contains invalid char"
NEGATIVE = "`max_dist` must be >0"

_DIGITS = {c: int(chr(c), 16) for c in b"0123456789abcdefABCDEF"}


class Refused(Exception):
    """The ValueError message the module must raise."""


def _text(s):
    if not isinstance(s, str):
        raise Refused(PARSE)
    try:
        data = s.encode("utf-8")
    except UnicodeEncodeError:
        raise Refused(PARSE) from None
    if b"\0" in data:
        raise Refused(PARSE)
    return data


def _limit(value):
    if isinstance(value, float) or not hasattr(type(value), "__index__"):
        raise Refused(PARSE)
    return value.__index__()


def hamming_distance(a, b):
    x, y = _text(a), _text(b)
    if len(x) != len(y):
        raise Refused(LENGTH)
    total = 0
    for p, q in zip(x, y):
        if p not in _DIGITS or q not in _DIGITS:
            raise Refused(INVALID)
        total += bin(_DIGITS[p] ^ _DIGITS[q]).count("1")
    return total


def check_hexstrings_within_dist(a, b, max_dist):
    x, y = _text(a), _text(b)
    limit = _limit(max_dist)
    if len(x) != len(y):
        raise Refused(LENGTH)
    if limit < 0:
        raise Refused(NEGATIVE)
    if limit > 4 * len(x) or x == y:
        return True
    count = 0
    for p, q in zip(x, y):
        if p not in _DIGITS or q not in _DIGITS:
            raise Refused(INVALID)
        count += bin(_DIGITS[p] ^ _DIGITS[q]).count("1")
        if count > limit:
            return False
    return True


def outcome(function, *args):
    """What a call answers: ("ok", value) or ("error", message)."""
    try:
        return ("ok", function(*args))
    except Refused as refused:
        return ("error", str(refused))
    except ValueError as error:
        assert type(error) is ValueError, f"{type(error).__name__} escaped: {error}"
        return ("error", str(error))
