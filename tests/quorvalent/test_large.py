import pytest

import quorvalent


@pytest.mark.slow
def test_distance_past_two_to_the_31_is_exact():
    # 2**29 + 3 digits of maximal difference: 2**31 + 12 bits, beyond any 32-bit signed count.
    n = 2**29 + 3
    a = "f" * n
    b = "0" * n
    assert quorvalent.hamming_distance(a, b) == 4 * n == 2**31 + 12
    assert quorvalent.check_hexstrings_within_dist(a, b, 4 * n) is True
    assert quorvalent.check_hexstrings_within_dist(a, b, 4 * n - 1) is False
    del a
    # Mixed digits, so that each position contributes a different count.
    c = "4e" * (n // 2) + "4"
    d = "17" * (n // 2) + "1"
    assert quorvalent.hamming_distance(c, d) == 2 * (n // 2 + 1) + 2 * (n // 2)
