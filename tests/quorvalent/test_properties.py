"""Random differential tests of the module against the plain-Python model."""
from hypothesis import given, settings, strategies as st

import quorvalent
import model

# Mostly digits, with the characters that sit next to the digit ranges, a NUL, non-ASCII text
# and a lone surrogate mixed in.
alphabet = st.sampled_from(list("0123456789abcdefABCDEF") * 4 + list("gG@`:/ z\0é€\x7f") + ["\ud800"])


@st.composite
def pairs(draw):
    a = draw(st.text(alphabet, max_size=150))
    mode = draw(st.sampled_from(["same", "edit", "fresh", "resize"]))
    if mode == "same":
        b = a
    elif mode == "edit" and a:
        chars = list(a)
        for _ in range(draw(st.integers(1, 4))):
            chars[draw(st.integers(0, len(a) - 1))] = draw(alphabet)
        b = "".join(chars)
    elif mode == "fresh":
        b = draw(st.text(alphabet, min_size=len(a), max_size=len(a)))
    else:
        b = draw(st.text(alphabet, max_size=150))
    return a, b


limits = st.one_of(st.integers(-3, 40), st.integers(-(2**70), 2**70), st.integers(0, 600))


@settings(max_examples=3000, deadline=None)
@given(pairs())
def test_hamming_distance_matches_model(pair):
    a, b = pair
    assert model.outcome(quorvalent.hamming_distance, a, b) == model.outcome(model.hamming_distance, a, b)


@settings(max_examples=3000, deadline=None)
@given(pairs(), limits)
def test_check_within_matches_model(pair, limit):
    a, b = pair
    assert model.outcome(quorvalent.check_hexstrings_within_dist, a, b, limit) == model.outcome(
        model.check_hexstrings_within_dist, a, b, limit)
