"""The engine-neutral join: rows keyed by block_rows, shuffled to workers however buckets fall,
joined by owned_pairs, must give the single-machine index's pairs: each once, none missing,
with heavy buckets cut into chunks or not."""
import numpy as np
import pytest

from quorvalent_index import HashIndex, distributed


def skewed_codes(rng, n, bits, words):
    """Codes whose low half of the rows share their top bits: the first blocks' buckets are
    heavy, and the codes in them still differ (so identical codes are not the only pairs)."""
    codes = rng.integers(0, 2**63, size=(n, words), dtype=np.uint64) * np.uint64(2) + rng.integers(0, 2, size=(n, words), dtype=np.uint64)
    if bits % 64:
        codes[:, -1] &= np.uint64((1 << (bits % 64)) - 1)
    top = words - 1
    shift = np.uint64(max(0, (bits - 64 * top) - 12))
    keep_low = (np.uint64(1) << shift) - np.uint64(1)
    codes[: n // 2, top] &= keep_low  # the top 12 bits of the last word zero: one value a block
    # Near-duplicates among them, so that the heavy buckets hold pairs to find.
    near = rng.integers(0, n, size=n // 5)
    codes[near[: len(near) // 2]] = codes[near[len(near) // 2: 2 * (len(near) // 2)]] ^ np.uint64(1)
    codes[n - 30:] = codes[n - 31]  # and thirty copies of one code: heavy in every block
    return codes


def shuffle_and_join(codes, ids, plan, heavy, workers, rng):
    """What an engine does: key every row, send each bucket part whole to one worker (at
    random), and join each worker's rows."""
    blocks, values, parts, sides, rows = distributed.block_rows(codes, plan, ids, heavy)
    keys = {}
    worker = np.array([keys.setdefault(k, int(rng.integers(0, workers)))
                       for k in zip(blocks.tolist(), values.tolist(), parts.tolist())], dtype=np.int64)
    found = []
    for w in range(workers):
        at = np.flatnonzero(worker == w)
        a, b, d = distributed.owned_pairs(codes[rows[at]], ids[rows[at]], blocks[at], values[at], plan,
                                          parts=parts[at], sides=sides[at])
        found += list(zip(a.tolist(), b.tolist(), d.tolist()))
    return sorted(found)


@pytest.mark.parametrize("bits", [64, 256, 37])
def test_every_pair_once_with_and_without_cut_buckets(bits):
    rng = np.random.default_rng(bits)
    words = (bits + 63) // 64
    n = 600
    codes = skewed_codes(rng, n, bits, words)
    ids = rng.permutation(n).astype(np.int64) * 13 - 2000
    index = HashIndex.from_codes(codes, bits=bits, ids=ids)
    for r in [0, 1, 3, 6, 12, bits]:  # at r = bits, no blocks: one bucket, every pair
        plan = distributed.BlockPlan(bits, r)
        i, j, d = index.pairs(r)
        want = sorted(zip(i.tolist(), j.tolist(), d.tolist()))
        blocks, values, _, _, _ = distributed.block_rows(codes, plan)
        # The largest buckets (of 25 rows and more) cut, into 2 to 5 chunks.
        keys, counts = np.unique(np.stack([blocks, values.view(np.int64)]), axis=1, return_counts=True)
        heavy = {(int(b), int(np.int64(v).view(np.uint64))): int(rng.integers(2, 6))
                 for (b, v), c in zip(keys.T.tolist(), counts.tolist()) if c >= 25}
        assert heavy, "the data must have heavy buckets to cut"
        for cut in ({}, heavy):
            for workers in (1, 3):
                got = shuffle_and_join(codes, ids, plan, cut, workers, rng)
                assert got == want, (r, bool(cut), workers)


def test_a_cut_bucket_sends_each_row_to_its_chunks_parts():
    plan = distributed.BlockPlan(64, 3)
    codes = np.zeros((50, 1), dtype=np.uint64)  # fifty copies: every block one heavy bucket
    ids = np.arange(50, dtype=np.int64) * 7
    heavy = {(b, 0): 4 for b in range(plan.count)}
    blocks, values, parts, sides, rows = distributed.block_rows(codes, plan, ids, heavy)
    # Each row goes to its chunk's 4 parts in each of the 4 blocks: 10 parts a block.
    assert len(rows) == 50 * plan.count * 4
    assert len(np.unique(parts)) == 4 * 5 // 2
    assert set(np.unique(sides).tolist()) == {-1, 0, 1}
    with pytest.raises(ValueError, match="needs the ids"):
        distributed.block_rows(codes, plan, None, heavy)
    # Every pair of copies once, and each is distance 0.
    a, b, d = distributed.owned_pairs(codes[rows], ids[rows], blocks, values, plan, parts=parts, sides=sides)
    assert len(a) == 50 * 49 // 2 and len(set(zip(a.tolist(), b.tolist()))) == len(a) and not d.any()
    with pytest.raises(ValueError, match="sides"):
        distributed.owned_pairs(codes[rows], ids[rows], blocks, values, plan, parts=parts)


def test_the_bucket_join_refuses_rows_it_cannot_read():
    from quorvalent_index import _core
    plan = distributed.BlockPlan(64, 3)
    codes = np.arange(8, dtype=np.uint64).reshape(8, 1)
    blocks, values, _, _, rows = distributed.block_rows(codes, plan)
    good = (codes[rows], 64, plan.blocks, blocks, values, None, None, 3)
    a, b, d = _core.owned_bucket_pairs(*good)
    assert len(a) == 8 * 7 // 2 and (d <= 3).all()  # 0 to 7 lie within 3 bits of one another
    bad_block = blocks.copy()
    bad_block[5] = plan.count  # past the last block: read out of bounds if taken
    cases = [
        ((codes[rows], 64, plan.blocks, bad_block, values, None, None, 3), "is not one of the 4 blocks"),
        ((codes[rows], 64, plan.blocks, blocks[:-1], values, None, None, 3), "one block, value, part and side per code"),
        ((codes[rows], 64, plan.blocks, blocks, values, None, np.zeros(3, dtype=np.int8), 3), "one block, value"),
        ((codes[rows], 128, plan.blocks, blocks, values, None, None, 3), "words do not match bits"),
        ((codes[rows], 64, [], blocks, values, None, None, 3), "is not one of the 1 blocks"),  # none: all block 0
        ((codes[rows], 64, plan.blocks, blocks, values, None, None, -1), "max_dist must be >= 0"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError, match=message):
            _core.owned_bucket_pairs(*args)
