"""Finds the pairs of near-duplicate hashes in a file of hex hashes, one per line.

    python examples/near_duplicates.py examples/hashes.txt 6

prints every pair whose distance is at most the given number of bits (default 6), closest
first. Lines that are blank or start with '#' are skipped.
"""
import argparse
import sys
import time

from quorvalent import check_hexstrings_within_dist, hamming_distance


def read_hashes(path):
    with open(path, encoding="utf-8") as f:
        return [line.strip() for line in f if line.strip() and not line.startswith("#")]


def near_pairs(hashes, max_dist, progress=sys.stderr):
    """Every (distance, i, j) with i < j whose hashes differ in at most max_dist bits."""
    found = []
    started = time.monotonic()
    last_report = started
    for i, a in enumerate(hashes):
        for j in range(i + 1, len(hashes)):
            # The bounded test stops at the first digits that settle the answer; the exact
            # distance is only worth computing for the few pairs that pass.
            if check_hexstrings_within_dist(a, hashes[j], max_dist):
                found.append((hamming_distance(a, hashes[j]), i, j))
        now = time.monotonic()
        if progress is not None and now - last_report >= 1.0:
            done = (i + 1) * (2 * len(hashes) - i - 2) // 2
            total = len(hashes) * (len(hashes) - 1) // 2
            print(f"... {done:,} of {total:,} pairs compared, {len(found)} found", file=progress)
            last_report = now
    return sorted(found)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", help="file of hex hashes, one per line")
    parser.add_argument("max_dist", nargs="?", type=int, default=6, help="largest distance in bits")
    args = parser.parse_args(argv)

    hashes = read_hashes(args.path)
    lengths = {len(h) for h in hashes}
    if len(lengths) > 1:
        parser.error(f"hashes of different lengths: {sorted(lengths)}")
    started = time.monotonic()
    try:
        pairs = near_pairs(hashes, args.max_dist)
    except ValueError as error:
        parser.error(str(error))
    elapsed = time.monotonic() - started
    for distance, i, j in pairs:
        print(f"{distance:3d}  {hashes[i]}  {hashes[j]}  (lines {i + 1} and {j + 1})")
    compared = len(hashes) * (len(hashes) - 1) // 2
    print(f"{len(pairs)} pairs within {args.max_dist} bits among {len(hashes)} hashes "
          f"({compared:,} pairs compared in {elapsed:.2f} s)")


if __name__ == "__main__":
    main()
