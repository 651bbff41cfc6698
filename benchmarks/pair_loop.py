"""Times the pair-by-pair loop over quorvalent that quorvalent_index replaces, against
index.pairs() on the same hashes.

    python benchmarks/pair_loop.py [N]
"""
import sys
import time

import numpy as np

from quorvalent import check_hexstrings_within_dist, hamming_distance
from quorvalent_index import HashIndex


def loop(hashes, max_dist):
    return [(hamming_distance(a, b), i, j)
            for i, a in enumerate(hashes) for j, b in enumerate(hashes[i + 1:], i + 1)
            if check_hexstrings_within_dist(a, b, max_dist)]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    rng = np.random.default_rng(4)
    codes = rng.integers(0, 2**64 - 1, size=n, dtype=np.uint64, endpoint=True)
    codes[n // 2: n // 2 + n // 100] = codes[: n // 100] ^ np.uint64(0b101)
    hashes = [f"{c:016x}" for c in codes.tolist()]
    t = time.perf_counter()
    slow = loop(hashes, 8)
    t_loop = time.perf_counter() - t
    t = time.perf_counter()
    i, j, d = HashIndex(hashes).pairs(8, threads=1)
    t_index = time.perf_counter() - t
    assert sorted((int(a), int(b)) for a, b in zip(i, j)) == sorted((a, b) for _, a, b in slow)
    pairs = n * (n - 1) // 2
    print(f"N = {n:,}: the loop {t_loop:.2f} s ({t_loop / pairs * 1e9:.0f} ns a pair), "
          f"HashIndex(...).pairs(8) {t_index * 1e3:.1f} ms including the build: {t_loop / t_index:,.0f} times faster; "
          f"{len(d)} pairs, the same")
    print(f"at N = 100,000 the loop would take about {t_loop / pairs * 100_000 * 99_999 / 2 / 60:.0f} minutes")


if __name__ == "__main__":
    main()
