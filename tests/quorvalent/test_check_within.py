import pytest

import quorvalent
from model import INVALID, LENGTH, NEGATIVE, PARSE

check = quorvalent.check_hexstrings_within_dist

WITHIN_DOC = (
    "Check if the hex strings are within a specified Hamming Distance\n"
    "\n"
    "This is equivalent to\n"
    "\n"
    "    bin(int(a, 16) ^ int(b, 16)).count('1') < max_dist \n"
    "\n"
    "with the only difference being it was written in C and optimized\n"
    "using a lookup table of pre-calculated hexadecimal hamming distances.\n"
    ":param a: hexadecimal string\n"
    ":type a: str\n"
    ":param b: hexadecimal string\n"
    ":type b: str\n"
    ":param max_dist: maximum allowable Hamming Distance\n"
    ":type max_dist: int\n"
    ":returns: whether or not the two hex strings are within `max_dist`\n"
    ":rtype: int\n"
    ":raises ValueError: if either string doesn't exist, if the strings are different lengths, "
    "or if the strings aren't valid hex"
)


def test_docstring_and_table_order():
    assert check.__doc__ == WITHIN_DOC
    assert len(check.__doc__.split("\n")) == 17
    names = [n for n in vars(quorvalent) if not n.startswith("_")]
    assert names == ["hamming_distance", "check_hexstrings_within_dist"]


class TestAnswers:
    @pytest.mark.parametrize("a, b, limit, expected", [
        ("ff", "0f", 4, True), ("ff", "0f", 3, False), ("0", "f", 2, False), ("0", "f", 4, True),
        ("0", "f", 5, True), ("00", "ff", 7, False), ("00", "ff", 8, True), ("00", "ff", 9, True),
        ("", "", 0, True), ("", "", 5, True), ("ab", "ab", 0, True), ("ab", "aa", 0, False),
        ("A", "a", 0, True),
    ])
    def test_distance_equal_to_the_limit_is_within(self, a, b, limit, expected):
        assert check(a, b, limit) is expected

    @pytest.mark.parametrize("a, b, limit, expected", [
        ("zz", "zz", 1, True),        # identical: nothing decoded
        ("zz", "yy", 9, True),        # limit above 4n: nothing read
        ("f0zz", "00zz", 1, False),   # passes the limit before the bad digits
        ("7z", "8z", 3, False),       # 7^8 has 4 bits: beyond at position 0
        ("\x80\x80", "\x80\x80", 0, True),
        ("é", "é", 0, True),
    ])
    def test_short_cuts_and_early_stop_skip_validation(self, a, b, limit, expected):
        assert check(a, b, limit) is expected

    @pytest.mark.parametrize("a, b, limit", [
        ("0z", "1z", 3), ("7z", "8z", 4), ("zz", "zy", 0), ("00zz", "00zy", 8), ("é", "ab", 8),
    ])
    def test_characters_the_answer_needs_are_validated(self, a, b, limit, raises_exactly):
        raises_exactly(INVALID, check, a, b, limit)

    def test_long_strings_stop_early_at_the_first_difference(self, raises_exactly):
        a = "f" + "0" * 100_000 + "z"
        b = "0" + "0" * 100_000 + "z"
        assert check(a, b, 3) is False
        raises_exactly(INVALID, check, a, b, 4)


class TestLimit:
    @pytest.mark.parametrize("limit", [-1, -(2**31), 2**31 * -1 - 1, -(2**32) + 3, -(10**30), True - 2])
    def test_every_negative_limit_is_refused(self, limit, raises_exactly):
        raises_exactly(NEGATIVE, check, "ff", "ff", limit)

    def test_large_limits_are_taken_as_they_are(self):
        assert check("00", "ff", 2**32 + 5) is True   # not 5
        assert check("0" * 10, "f" * 10, 2**32 + 5) is True
        assert check("ff", "ff", 2**31) is True
        assert check("zz", "yy", 10**30) is True
        assert check("0" * 10**6, "f" * 10**6, 2**64 + 1) is True

    def test_zero_is_within_only_when_all_digits_are_equal(self):
        assert check("DEADbeef", "deadBEEF", 0) is True
        assert check("deadbeef", "deadbeee", 0) is False

    def test_index_objects_are_integers(self):
        class Limit:
            def __index__(self):
                return 4
        assert check("ff", "0f", Limit()) is True
        assert check("0f", "0e", True) is True
        assert check("0f", "0e", False) is False

    def test_numpy_integers_are_integers(self, raises_exactly):
        numpy = pytest.importorskip("numpy")
        assert check("ff", "0f", numpy.int64(3)) is False
        assert check("ff", "0f", numpy.uint8(4)) is True
        raises_exactly(NEGATIVE, check, "ff", "0f", numpy.int32(-1))
        raises_exactly(PARSE, check, "ff", "0f", numpy.float64(4.0))

    @pytest.mark.parametrize("limit", [1.0, "1", None, [1], 1j, b"1"])
    def test_non_integers_are_parse_errors(self, limit, raises_exactly):
        raises_exactly(PARSE, check, "ff", "ff", limit)

    def test_failing_index_is_a_parse_error(self, raises_exactly):
        class Broken:
            def __index__(self):
                raise RuntimeError("boom")
        raises_exactly(PARSE, check, "ff", "ff", Broken())

    def test_index_is_not_called_when_a_string_is_refused_first(self, raises_exactly):
        calls = []

        class Counting:
            def __index__(self):
                calls.append(1)
                return 1
        raises_exactly(PARSE, check, "f\0", "ff", Counting())
        raises_exactly(PARSE, check, b"ff", "ff", Counting())
        assert calls == []


class TestOrderOfChecks:
    def test_lengths_before_the_limit(self, raises_exactly):
        raises_exactly(LENGTH, check, "ff", "fff", -1)

    def test_limit_before_characters(self, raises_exactly):
        raises_exactly(NEGATIVE, check, "zz", "yy", -1)

    def test_parse_before_everything(self, raises_exactly):
        raises_exactly(PARSE, check, "ff", "fff", 1.0)
        raises_exactly(PARSE, check, "f\0", "fff", 1)
        raises_exactly(PARSE, check, "f\0", "ff", -1)

    @pytest.mark.parametrize("a, b, limit", [
        ("f\0", "f\0", 1),          # identical
        ("\0\0", "zz", 9),          # limit short cut
        ("f0\0", "00\0", 1),        # early stop before the NUL
        ("0" * 200 + "\0", "f" * 200 + "\0", 3),
        ("\0", "0", 0),
    ])
    def test_embedded_nul_is_a_parse_error_even_where_a_short_cut_answers(self, a, b, limit, raises_exactly):
        raises_exactly(PARSE, check, a, b, limit)

    @pytest.mark.parametrize("args", [("ff", "ff"), ("ff", "ff", 1, 2), (b"ff", "ff", 1), ("ff", 1, 1)])
    def test_wrong_arguments_are_parse_errors(self, args, raises_exactly):
        raises_exactly(PARSE, check, *args)
