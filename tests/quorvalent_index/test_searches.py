"""Every kind of search against the brute-force model, on random sets of every width."""
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import index_model as model
from quorvalent_index import HashIndex

DIGITS = "0123456789abcdefABCDEF"


def as_pairs(ids, dists):
    assert ids.dtype == np.int64 and dists.dtype == np.int32
    return list(zip(ids.tolist(), dists.tolist()))


@st.composite
def hash_sets(draw, max_size=40):
    """Hashes of one width with planted near-duplicates and exact duplicates."""
    width = draw(st.integers(1, 300))
    digit = st.sampled_from(DIGITS)
    fresh = st.text(digit, min_size=width, max_size=width)
    hashes = draw(st.lists(fresh, min_size=1, max_size=max_size))
    for _ in range(draw(st.integers(0, len(hashes)))):
        source = draw(st.sampled_from(hashes))
        pos = draw(st.integers(0, width - 1))
        hashes.append(source[:pos] + draw(digit) + source[pos + 1:])
    return width, hashes


@settings(max_examples=150, deadline=None)
@given(hash_sets(), st.data())
def test_every_search_agrees_with_the_model(case, data):
    width, hashes = case
    # Added in parts, so that ids continue across add() calls.
    split = data.draw(st.integers(0, len(hashes)))
    index = HashIndex(hashes[:split], bits=4 * width)
    assert index.add(hashes[split:]) == split
    assert len(index) == len(hashes) and index.bits == 4 * width
    query = data.draw(st.sampled_from(hashes + [hashes[0][::-1]]))
    r = data.draw(st.integers(0, 4 * width))
    k = data.draw(st.integers(0, len(hashes) + 2))
    assert as_pairs(*index.within(query, r)) == model.within(hashes, query, r)
    assert as_pairs(*index.nearest(query, k)) == model.nearest(hashes, query, k)
    i, j, d = index.pairs(r)
    assert list(zip(i.tolist(), j.tolist(), d.tolist())) == model.pairs(hashes, r)
    # The same pairs, in the same order, a batch at a time.
    batch = data.draw(st.integers(1, 8))
    streamed = [(a, b, c) for part in index.iter_pairs(r, batch=batch) for a, b, c in zip(*(x.tolist() for x in part))]
    assert streamed == model.pairs(hashes, r)
    assert index.hex(range(len(hashes))) == [h.lower() for h in hashes]


@settings(max_examples=60, deadline=None)
@given(hash_sets(max_size=20), st.data())
def test_many_queries_and_cross_joins(case, data):
    width, hashes = case
    index = HashIndex(hashes)
    queries = data.draw(st.lists(st.sampled_from(hashes), min_size=0, max_size=6))
    r = data.draw(st.integers(0, 4 * width))
    k = data.draw(st.integers(0, 5))
    offsets, ids, dists = index.within_many(queries, r, threads=data.draw(st.sampled_from([None, 1, 3])))
    assert offsets.tolist()[0] == 0 and len(offsets) == len(queries) + 1
    for q, query in enumerate(queries):
        row = slice(offsets[q], offsets[q + 1])
        assert as_pairs(ids[row], dists[row]) == model.within(hashes, query, r)
    nids, ndists = index.nearest_many(queries, k, threads=2)
    assert nids.shape == (len(queries), min(k, len(hashes)))
    for q, query in enumerate(queries):
        assert as_pairs(nids[q], ndists[q]) == model.nearest(hashes, query, k)
    other = HashIndex(queries, bits=4 * width)
    i, j, d = index.pairs(r, other=other, threads=2)
    assert list(zip(i.tolist(), j.tolist(), d.tolist())) == model.cross_pairs(hashes, queries, r)
    streamed = [row for part in index.iter_pairs(r, other=other, batch=3) for row in zip(*(x.tolist() for x in part))]
    assert streamed == model.cross_pairs(hashes, queries, r)


def test_empty_indexes():
    index = HashIndex()
    assert len(index) == 0 and index.bits is None
    for result in (index.within("ff", 3), index.nearest("ff", 3)):
        assert [a.tolist() for a in result] == [[], []]
    assert [a.tolist() for a in index.pairs(3)] == [[], [], []]
    assert index.add([]) == 0 and index.bits is None
    assert index.add(["00ff"]) == 0 and index.bits == 16
    sized = HashIndex(bits=64)
    assert sized.bits == 64 and len(sized) == 0
    assert [a.tolist() for a in sized.within("0" * 16, 64)] == [[], []]
    assert sized.nearest_many([], 3)[0].shape == (0, 0)


def test_a_distance_equal_to_max_dist_is_within():
    index = HashIndex(["00", "0f", "ff"])
    assert index.within("00", 4)[0].tolist() == [0, 1]
    assert index.within("00", 3)[0].tolist() == [0]


def test_ties_are_broken_by_id():
    index = HashIndex(["f0", "0f", "00", "f0", "0f"])
    assert as_pairs(*index.nearest("ff", 4)) == [(0, 4), (1, 4), (3, 4), (4, 4)]


# Big enough that the tables are built and the planner chooses them; checked against a
# vectorised brute force, and a sample of the answers against quorvalent itself.
@pytest.fixture(scope="module")
def large():
    rng = np.random.default_rng(11)
    codes = rng.integers(0, 2**64 - 1, size=30_000, dtype=np.uint64, endpoint=True)
    planted = rng.integers(0, len(codes), size=600)
    for k, target in enumerate(rng.integers(0, len(codes), size=600)):
        flips = rng.choice(64, size=1 + k % 8, replace=False)
        codes[target] = codes[planted[k]] ^ np.bitwise_or.reduce(np.uint64(1) << flips.astype(np.uint64))
    hashes = [f"{c:016x}" for c in codes.tolist()]
    index = HashIndex(hashes[:25_000])
    index.add(hashes[25_000:])  # the last part stays in the scanned tail
    return codes, hashes, index


def brute(codes, query_code):
    return np.bitwise_count(codes ^ np.uint64(query_code)).astype(np.int64)


@pytest.mark.parametrize("r", [0, 1, 3, 4, 6, 8, 10, 12, 20])
def test_large_index_within(large, r):
    codes, hashes, index = large
    rng = np.random.default_rng(r)
    assert "tables" in index.plan(4)
    for q in rng.integers(0, len(codes), size=20):
        query = f"{codes[q] ^ np.uint64(1 << int(q % 64)):016x}"
        d = brute(codes, int(query, 16))
        want = sorted((int(d[i]), int(i)) for i in np.flatnonzero(d <= r))
        ids, dists = index.within(query, r)
        assert list(zip(dists.tolist(), ids.tolist())) == want
    from quorvalent import hamming_distance
    assert all(hamming_distance(query, hashes[i]) == dd for i, dd in zip(ids.tolist(), dists.tolist()))


def test_large_index_nearest_and_pairs(large):
    codes, hashes, index = large
    rng = np.random.default_rng(5)
    for q in rng.integers(0, 2**63, size=5, dtype=np.uint64).tolist() + [int(codes[7])]:
        d = brute(codes, q)
        order = np.lexsort((np.arange(len(codes)), d))[:10]
        ids, dists = index.nearest(f"{q:016x}", 10)
        assert ids.tolist() == order.tolist() and dists.tolist() == d[order].tolist()
    i, j, dd = index.pairs(8, threads=2)
    assert len(i) >= 500
    assert np.all(i < j)
    assert np.all(np.bitwise_count(codes[i] ^ codes[j]) == dd)
    keys = i * len(codes) + j
    assert np.all(np.diff(keys) > 0), "sorted by (i, j) without repeats"
    # Exactness of the count: the pairs of a random sample of codes, by brute force.
    for a in rng.integers(0, len(codes), size=30).tolist():
        d = brute(codes, int(codes[a]))
        partners = set(np.flatnonzero(d <= 8).tolist()) - {a}
        found = set(j[i == a].tolist()) | set(i[j == a].tolist())
        assert found == partners


def test_from_codes_matches_hex():
    rng = np.random.default_rng(2)
    codes = rng.integers(0, 2**64 - 1, size=500, dtype=np.uint64, endpoint=True)
    hashes = [f"{c:016x}" for c in codes.tolist()]
    a, b = HashIndex(hashes), HashIndex.from_codes(codes)
    assert b.hex(range(500)) == hashes
    assert [x.tolist() for x in a.within(hashes[3], 20)] == [x.tolist() for x in b.within(hashes[3], 20)]
    rows = np.frombuffer(bytes.fromhex("".join(hashes)), np.uint8).reshape(500, 8)
    assert HashIndex.from_codes(rows, bits=64).hex(range(500)) == hashes
    wide = ["".join(rng.choice(list("0123456789abcdef"), 64)) for _ in range(50)]
    wide_rows = np.frombuffer(bytes.fromhex("".join(wide)), np.uint8).reshape(50, 32)
    assert HashIndex.from_codes(wide_rows, bits=256).hex(range(50)) == wide
    # An odd number of digits: the rows hold each code's value in big-endian bytes.
    odd = ["abc", "001", "fff"]
    odd_rows = np.array([[0x0a, 0xbc], [0x00, 0x01], [0x0f, 0xff]], dtype=np.uint8)
    assert HashIndex.from_codes(odd_rows, bits=12).hex([0, 1, 2]) == odd
    small = HashIndex.from_codes(np.array([5, 9], dtype=np.uint64), bits=10)
    assert small.bits == 10 and small.hex([0, 1]) == ["005", "009"]


def test_any_iterable_of_str_is_accepted():
    hashes = ["00ff", "0f0f", "ffff"]
    expected = HashIndex(hashes).within("00ff", 8)[0].tolist()
    for source in (tuple(hashes), np.array(hashes), (h for h in hashes), iter(hashes), dict.fromkeys(hashes)):
        assert HashIndex(source).within("00ff", 8)[0].tolist() == expected


@pytest.fixture(scope="module")
def clustered_256():
    """256-bit codes around a couple of hundred centres, about 15 bits from theirs (as real
    perceptual hashes cluster): every radius from 0 to 64 finds something, and the tables see
    buckets far from uniform. The last codes are added apart and stay in the scanned tail."""
    n = 6_000
    codes = clustered_codes_256(np.random.default_rng(21), n, 150)
    codes[:50] = codes[50:100]  # and exact copies
    rows = codes.astype(">u8").view(np.uint8).reshape(n, 32)
    index = HashIndex.from_codes(rows[:5_500], bits=256)
    index.add([r.tobytes().hex() for r in rows[5_500:]])
    return codes, rows, index


def clustered_codes_256(rng, n, centres):
    """n 256-bit codes around random centres, each bit flipped with probability 0.06."""
    middle = rng.integers(0, 2**64 - 1, size=(centres, 4), dtype=np.uint64, endpoint=True)
    codes = middle[rng.integers(0, centres, size=n)]
    flips = rng.random((n, 4, 64), dtype=np.float32) < 0.06
    return codes ^ np.packbits(flips, axis=2, bitorder="little").view(np.uint64).reshape(n, 4)


def brute_256(codes, query):
    return np.bitwise_count(codes ^ query[None, :]).sum(axis=1).astype(np.int64)


def assert_within_at_every_radius(index, codes, query):
    """within() at every radius from 0 to 64 against brute force; returns the distances."""
    d = brute_256(codes, query)
    text = query.astype(">u8").tobytes().hex()
    for r in range(65):
        ids, dists = index.within(text, r)
        want = sorted((int(d[i]), int(i)) for i in np.flatnonzero(d <= r))
        assert list(zip(dists.tolist(), ids.tolist())) == want, r
    return d


def test_256_bit_clustered_codes_at_every_radius(clustered_256):
    codes, rows, index = clustered_256
    rng = np.random.default_rng(3)
    picks = rng.integers(0, len(codes), size=4)
    queries = [codes[p].copy() for p in picks]
    queries[1][2] ^= np.uint64(0xFF)  # eight bits off a code
    queries.append(rng.integers(0, 2**64 - 1, size=4, dtype=np.uint64, endpoint=True))  # far from all
    for query in queries:
        d = assert_within_at_every_radius(index, codes, query)
        order = np.lexsort((np.arange(len(codes)), d))[:10]
        ids, dists = index.nearest(query.astype(">u8").tobytes().hex(), 10)
        assert ids.tolist() == order.tolist() and dists.tolist() == d[order].tolist()


def test_256_bit_codes_many_enough_for_compact_tables_at_every_radius():
    """Past about 260,000 codes of 256 bits a table keys on 16 or more of its block's 32 bits
    and keeps only the rest beside the key: its probe tests a bucket's rests eight at a time
    against what the key leaves of the threshold. Clustered codes (crowded buckets, many
    candidates) and far queries, at every radius the tables serve and past it."""
    rng = np.random.default_rng(8)
    n = 300_000
    codes = clustered_codes_256(rng, n, 3_000)
    codes[:40] = codes[40]  # a bucket of copies, past eight entries
    rows = codes.astype(">u8").view(np.uint8).reshape(n, 32)
    index = HashIndex.from_codes(rows, bits=256)
    assert "(16-bit keys)" in index.plan(0) or "(17-bit keys)" in index.plan(0), index.plan(0)
    probed = [r for r in range(65) if "; scan (" not in index.plan(r)]
    assert max(probed) >= 40, probed
    queries = [codes[0].copy(), codes[12345].copy(), codes[777].copy()]
    queries[2][1] ^= np.uint64(0x1F0)  # five bits off a code
    queries.append(rng.integers(0, 2**64 - 1, size=4, dtype=np.uint64, endpoint=True))  # far from all
    for query in queries:
        assert_within_at_every_radius(index, codes, query)


@pytest.mark.parametrize("r", [0, 8, 20, 31, 40])
def test_256_bit_clustered_pairs(clustered_256, r):
    codes, _, index = clustered_256
    i, j, d = index.pairs(r, threads=2)
    want_i, want_j, want_d = [], [], []
    for a in range(len(codes) - 1):
        dist = brute_256(codes[a + 1:], codes[a])
        near = np.flatnonzero(dist <= r)
        want_i.append(np.full(len(near), a))
        want_j.append(near + a + 1)
        want_d.append(dist[near])
    assert i.tolist() == np.concatenate(want_i).tolist()
    assert j.tolist() == np.concatenate(want_j).tolist()
    assert d.tolist() == np.concatenate(want_d).tolist()
