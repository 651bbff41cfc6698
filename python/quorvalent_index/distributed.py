"""The engine-neutral half of an exact near-duplicate join spread over machines.

A join at radius r cuts every code into r + 1 disjoint blocks (split_into_blocks of the core: a
function of the width and the count alone, so every process computes the same). Two codes
within r bits agree exactly on at least one of r + 1 disjoint blocks (the pigeonhole
principle), so every pair within r meets in at least one bucket (block k, value v). Of the
buckets a pair meets in, only its owning block's (the first block it agrees on) reports it: no
pair is reported twice, and nothing needs deduplicating.

An engine (Spark, Dask, Ray) then needs three steps, each a map over Arrow batches:

1. ``codes_of(batch column)``: hashes (hex text, big-endian bytes, 64-bit integers) to codes;
2. ``block_rows(codes, plan, ids, heavy)``: each code's bucket keys, one row per block (the
   shuffle key), with the buckets too large for one worker cut into parts of two chunks;
3. after a shuffle that brings every bucket part whole to one worker, ``owned_pairs(...)`` on
   all the rows a worker holds: a join of each bucket part (the core's owned_bucket_pairs),
   and the pairs each part owns.

Everything here is numpy in, numpy out; the engine adapters (quorvalent_index.spark) are thin
layers over it.
"""
from __future__ import annotations

from typing import Any

import numpy as np

from . import HashIndex, _core, pack_codes

__all__ = ["BlockPlan", "codes_of", "chunk_of", "block_rows", "owned_pairs", "cross_pairs"]


class BlockPlan:
    """How a join at radius `max_dist` over codes of `bits` bits is cut into buckets.

    Exact blocks, r + 1 of them: each code is sent to r + 1 buckets, and a bucket holds the
    codes that agree on one block. Fewer, wider blocks matched within a threshold would shuffle
    each code to every key near its own (a block of b bits within t bits: sum of C(b, s) for
    s <= t keys), which costs more bytes than it saves work at every radius a near-duplicate
    search uses; r + 1 exact blocks is the fewest rows a code can be sent as. A radius of the
    width or more needs no blocks: every pair is within it, and one bucket holds all; so does
    `whole`, for rows few enough for one worker, where a shuffle by blocks would cost more than
    the join."""

    def __init__(self, bits: int, max_dist: int, whole: bool = False) -> None:
        if not 1 <= bits <= 4096:
            raise ValueError(f"bits must be between 1 and 4096, got {bits}")
        if max_dist < 0:
            raise ValueError(f"max_dist must be >= 0, got {max_dist}")
        self.bits, self.max_dist = bits, max_dist
        self.words = (bits + 63) // 64
        self.whole = whole or max_dist >= bits
        self.count = 0 if self.whole else max_dist + 1
        self.blocks = _core.split_into_blocks(bits, self.count) if self.count else []

    def describe(self) -> str:
        if self.max_dist >= self.bits:
            return f"radius {self.max_dist} >= {self.bits} bits: one bucket, every pair"
        if not self.count:
            return f"one bucket of every row: few enough rows for one worker, joined at radius {self.max_dist} without blocks"
        widths = sorted({bin(mask).count("1") for _, mask in self.blocks})
        return (f"{self.count} exact blocks of {'-'.join(map(str, widths))} bits over {self.bits}-bit codes: "
                f"each code is sent to {self.count} buckets")


def codes_of(column: Any, bits: int | None = None) -> tuple[np.ndarray, int | None]:
    """(codes of shape (N, words), bits) of a column of hashes: anything an index takes."""
    return pack_codes(column, bits)


def chunk_of(ids: np.ndarray, chunks: int) -> np.ndarray:
    """The chunk of a heavy bucket each id falls in: a fixed mix of the id, so that every
    process (and every run) puts a row in the same chunk, and patterned ids still spread."""
    mixed = (np.asarray(ids).astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)) >> np.uint64(33)
    return (mixed % np.uint64(chunks)).astype(np.int64)


def block_rows(codes: np.ndarray, plan: BlockPlan, ids: np.ndarray | None = None,
               heavy: dict[tuple[int, int], int] | None = None) -> tuple[np.ndarray, ...]:
    """(block, value, part, side, row): every code's buckets, one entry per block, row indexing
    `codes`.

    A heavy bucket (a (block, value) key of `heavy`, mapped to its number of chunks k) is too
    large for one worker. Its rows are spread over k chunks by id, and the bucket becomes the
    k (k + 1) / 2 parts that pair the chunks: part number 1 + i k + j for chunks i <= j, each holding
    chunks i and j, so every pair of the bucket's rows meets in exactly one part. A row is sent
    to the k parts of its chunk; `side` is -1 in a part of one chunk (every pair counts) and
    otherwise 0 or 1 for the lower or the higher chunk (only pairs across the two count). Rows
    of other buckets have part 0 and side -1. Needs the ids when `heavy` is given."""
    n = len(codes)
    if not plan.count:
        blocks, values, rows = np.zeros(n, dtype=np.int64), np.zeros(n, dtype=np.uint64), np.arange(n, dtype=np.int64)
    else:
        values = _core.block_values(np.ascontiguousarray(codes, dtype=np.uint64), plan.blocks).reshape(-1)
        blocks = np.tile(np.arange(plan.count, dtype=np.int64), n)
        rows = np.repeat(np.arange(n, dtype=np.int64), plan.count)
    parts = np.zeros(len(rows), dtype=np.int64)
    sides = np.full(len(rows), -1, dtype=np.int8)
    if not heavy:
        return blocks, values, parts, sides, rows
    if ids is None:
        raise ValueError("block_rows needs the ids to split heavy buckets")
    keep = np.ones(len(rows), dtype=bool)
    extra = []
    for (block, value), chunks in heavy.items():
        hit = np.flatnonzero((blocks == block) & (values == np.uint64(value)))
        if len(hit) == 0 or chunks < 2:
            continue
        keep[hit] = False
        own = np.repeat(chunk_of(np.asarray(ids)[rows[hit]], chunks), chunks)
        other = np.tile(np.arange(chunks, dtype=np.int64), len(hit))
        low, high = np.minimum(own, other), np.maximum(own, other)
        side = np.where(own == other, -1, np.where(own == low, 0, 1)).astype(np.int8)
        extra.append((np.repeat(hit, chunks), 1 + low * chunks + high, side))
    if not extra:
        return blocks, values, parts, sides, rows
    at = np.concatenate([np.flatnonzero(keep)] + [e[0] for e in extra])
    parts = np.concatenate([parts[keep]] + [e[1] for e in extra])
    sides = np.concatenate([sides[keep]] + [e[2] for e in extra])
    return blocks[at], values[at], parts, sides, rows[at]


def owned_pairs(codes: np.ndarray, ids: np.ndarray, blocks: np.ndarray, values: np.ndarray, plan: BlockPlan,
                threads: int | None = None, parts: np.ndarray | None = None,
                sides: np.ndarray | None = None, collapse: bool = False) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The pairs within plan.max_dist that the buckets held here own, as (id_a, id_b, distance)
    with id_a < id_b. The rows (one per code and bucket: its code, its id, its block, that
    block's value, and its part and side of a split bucket, from block_rows) must hold every
    bucket part they touch whole. `threads` is not used: a worker's join runs on its own
    thread, as an engine runs a task a core. With collapse, the pairs are edges for connected
    components: each copy of a code is paired with one other copy, not with all, and the
    edges connect the same rows as all the pairs."""
    n = len(codes)
    if n < 2:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0, dtype=np.int32)
    if parts is not None and sides is None:
        raise ValueError("owned_pairs needs the sides of the parts")
    codes = np.ascontiguousarray(codes, dtype=np.uint64).reshape(n, -1)
    ids = np.asarray(ids)
    # Each bucket part joined on its own, by the core.
    part_of = None if parts is None else np.ascontiguousarray(parts, dtype=np.int64)
    side_of = None if parts is None or sides is None else np.ascontiguousarray(sides, dtype=np.int8)
    i, j, d = _core.owned_bucket_pairs(codes, plan.bits, plan.blocks, np.ascontiguousarray(blocks, dtype=np.int64),
                                       np.ascontiguousarray(values, dtype=np.uint64), part_of, side_of, plan.max_dist,
                                       collapse)
    keep = ids[i] != ids[j]
    i, j, d = i[keep], j[keep], d[keep]
    a, b = ids[i], ids[j]
    return np.minimum(a, b), np.maximum(a, b), d


def cross_pairs(queries: HashIndex, codes: np.ndarray, ids: np.ndarray, max_dist: int,
                threads: int | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(query id, id, distance) of every query within max_dist of a code: the queries held
    whole as one index (built once a worker, HashIndex.from_codes with their ids), the other
    side streamed a slice at a time."""
    if len(queries) == 0 or len(codes) == 0:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0, dtype=np.int32)
    bits = queries.bits
    if bits is None:
        raise ValueError("cross_pairs needs an index of the queries with codes in it")
    # The slice's index without ids (an index with ids of its own builds their lookup too, up
    # to twice the time), its positions then turned into ids: only the pairs need them.
    codes = np.ascontiguousarray(codes, dtype=np.uint64)
    if codes.ndim == 1:
        # Codes of one word are the index's own layout: borrowed, not copied. A copy of 5
        # million cost 0.15-0.6 s of a task's join, most of it the fresh memory's page faults.
        batch = HashIndex(bits=bits)
        batch._borrow_codes(codes.reshape(-1, 1), codes, None, False, len(codes), False)
    else:
        batch = HashIndex.from_codes(codes, bits=bits)
    q, at, d = queries.pairs(max_dist, other=batch, threads=threads)
    return q, np.asarray(ids, dtype=np.int64)[at], d
