import re
from importlib import metadata
from pathlib import Path

import pytest

import quorvalent
from model import INVALID, LENGTH, PARSE

HAMMING_DOC = (
    "Calculate the hamming distance of two strings\n"
    "\n"
    "This is equivalent to\n"
    "\n"
    "    bin(int(a, 16) ^ int(b, 16)).count('1')\n"
    "\n"
    "with the only difference being it was written in C and optimized\n"
    "using a lookup table of pre-calculated hexadecimal hamming distances.\n"
    ":param a: hexadecimal string\n"
    ":type a: str\n"
    ":param b: hexadecimal string\n"
    ":type b: str\n"
    ":returns: the hamming distance between the bits of two hexadecimal strings\n"
    ":rtype: int\n"
    ":raises ValueError: if either string doesn't exist, if the strings are different lengths, "
    "or if the strings aren't valid hex"
)



class TestModuleSurface:
    def test_identity(self):
        assert quorvalent.__name__ == "quorvalent"
        assert quorvalent.__doc__ == "Module for calculating hamming distance of two hexadecimal strings"
        assert type(quorvalent.__version__) is str

    def test_version_is_the_one_in_the_source_and_the_metadata(self):
        # The one source of the version; the package metadata is built from it too.
        header = Path(__file__).parents[2] / "module" / "version.h"
        declared = re.search(r'#define\s+QUORVALENT_VERSION\s+"([^"]+)"', header.read_text())[1]
        assert quorvalent.__version__ == declared
        assert metadata.version("quorvalent") == declared

    def test_public_attributes_are_exactly_the_two_functions_and_version(self):
        public = {name for name in dir(quorvalent) if not name.startswith("_")}
        assert public == {"hamming_distance", "check_hexstrings_within_dist"}
        own_dunders = {name for name in vars(quorvalent) if name.startswith("__")}
        assert own_dunders == {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                               "__file__", "__version__"}

    def test_extension_file_carries_the_interpreter_suffix(self):
        import sysconfig
        assert quorvalent.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX"))

    def test_docstring(self):
        assert quorvalent.hamming_distance.__doc__ == HAMMING_DOC
        assert len(quorvalent.hamming_distance.__doc__.split("\n")) == 15

    @pytest.mark.parametrize("function, signature", [
        (quorvalent.hamming_distance, "(a, b, /)"),
        (quorvalent.check_hexstrings_within_dist, "(a, b, max_dist, /)"),
    ])
    def test_signature_is_positional_only_and_kept_out_of_the_docstring(self, function,
                                                                        signature):
        import inspect
        assert str(inspect.signature(function)) == signature
        assert function.__text_signature__ == signature.replace("(", "($module, ", 1)
        assert not function.__doc__.startswith(function.__name__)
        assert "--" not in function.__doc__.split("\n")[:2]

    @pytest.mark.parametrize("function", [quorvalent.hamming_distance,
                                          quorvalent.check_hexstrings_within_dist])
    def test_keywords_are_refused_by_the_interpreter(self, function):
        with pytest.raises(TypeError, match="keyword arguments"):
            function(a="ff", b="ff")
        with pytest.raises(TypeError, match="keyword arguments"):
            function("ff", "ff", max_dist=1)


class TestDistances:
    @pytest.mark.parametrize("a, b, expected", [
        ("ff", "0f", 4), ("", "", 0), ("ABC", "abc", 0), ("ff", "00", 8), ("0", "f", 4),
        ("1", "2", 2), ("DEADBEEF", "deadbeef", 0), ("0123456789abcdef", "fedcba9876543210", 64), ("0123", "1032", 4),
    ])
    def test_known_values(self, a, b, expected):
        assert quorvalent.hamming_distance(a, b) == expected

    def test_agrees_with_int_xor_on_many_lengths(self):
        import random
        rng = random.Random(7)
        for n in list(range(0, 300)) + [1000, 4095, 4096, 4097, 65536]:
            a = "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(n))
            b = "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(n))
            expected = (int(a, 16) ^ int(b, 16)).bit_count() if n else 0
            assert quorvalent.hamming_distance(a, b) == expected, n

    def test_result_is_an_exact_int(self):
        assert type(quorvalent.hamming_distance("f" * 1000, "0" * 1000)) is int
        assert quorvalent.hamming_distance("f" * 1000, "0" * 1000) == 4000

    def test_str_subclass_is_accepted(self):
        class Hex(str):
            pass
        assert quorvalent.hamming_distance(Hex("ff"), Hex("0f")) == 4


class TestErrors:
    @pytest.mark.parametrize("a, b", [("ff", "fff"), ("", "0"), ("é", "a"), ("abc", "ab")])
    def test_length_mismatch(self, a, b, raises_exactly):
        raises_exactly(LENGTH, quorvalent.hamming_distance, a, b)

    @pytest.mark.parametrize("a, b", [
        ("fg", "ff"), ("zz", "zz"), ("é", "ab"), ("0x", "00"), ("@", "0"), ("`", "0"),
        ("G", "0"), (" 1", "01"), ("ff", "f\x7f"),
    ])
    def test_invalid_characters(self, a, b, raises_exactly):
        raises_exactly(INVALID, quorvalent.hamming_distance, a, b)

    @pytest.mark.parametrize("args", [
        (b"ff", b"ff"), ("ff",), (), ("ff", "ff", "ff"), ("ff", 1), (1, "ff"), (None, None),
        (bytearray(b"ff"), "ff"), ("f\0", "ff"), ("\ud800f", "ff"), ("ff", "f\udfff"),
    ])
    def test_parse_errors_are_value_errors(self, args, raises_exactly):
        raises_exactly(PARSE, quorvalent.hamming_distance, *args)

    @pytest.mark.parametrize("a, b", [
        ("f\0", "fff"),       # NUL and different lengths: the NUL wins
        ("\0z", "zz"),        # NUL and an invalid character
        ("ff", "f\0"),        # NUL in the second string only
        ("é\0", "ab"),        # NUL in a string that is not ASCII
    ])
    def test_embedded_nul_is_reported_before_everything_else(self, a, b, raises_exactly):
        raises_exactly(PARSE, quorvalent.hamming_distance, a, b)

    def test_length_is_checked_before_characters(self, raises_exactly):
        raises_exactly(LENGTH, quorvalent.hamming_distance, "zz", "zzz")

    def test_lengths_are_utf8_byte_counts(self, raises_exactly):
        raises_exactly(INVALID, quorvalent.hamming_distance, "é", "ab")
        raises_exactly(INVALID, quorvalent.hamming_distance, "€", "abc")
        raises_exactly(LENGTH, quorvalent.hamming_distance, "€", "ab")

    def test_a_failed_call_leaves_no_error_behind(self, raises_exactly):
        raises_exactly(PARSE, quorvalent.hamming_distance, "\ud800", "ff")
        assert quorvalent.hamming_distance("ff", "0f") == 4
        # A result returned with the error indicator still set would raise SystemError here.
        assert quorvalent.check_hexstrings_within_dist("ff", "0f", 4) is True
