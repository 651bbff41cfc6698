"""Brute force over quorvalent.hamming_distance: what every search of the index must answer."""
from quorvalent import hamming_distance


def within(hashes, query, max_dist):
    found = sorted((hamming_distance(query, h), i) for i, h in enumerate(hashes))
    return [(i, d) for d, i in found if d <= max_dist]


def nearest(hashes, query, k):
    found = sorted((hamming_distance(query, h), i) for i, h in enumerate(hashes))
    return [(i, d) for d, i in found[:k]]


def pairs(hashes, max_dist):
    return [(i, j, d) for i in range(len(hashes)) for j in range(i + 1, len(hashes))
            if (d := hamming_distance(hashes[i], hashes[j])) <= max_dist]


def cross_pairs(left, right, max_dist):
    return [(i, j, d) for i in range(len(left)) for j in range(len(right))
            if (d := hamming_distance(left[i], right[j])) <= max_dist]
