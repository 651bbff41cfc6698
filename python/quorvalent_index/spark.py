"""Exact near-duplicate joins and groups on Apache Spark, for collections past one machine.

    from quorvalent_index.spark import near_duplicate_pairs, near_duplicate_groups, near_duplicates_of, hamming_distance

    pairs  = near_duplicate_pairs(df, "phash", max_dist=4, id_col="id")       # id_a, id_b, distance
    groups = near_duplicate_groups(df, "phash", max_dist=4, id_col="id")      # id, representative
    hits   = near_duplicates_of(queries, corpus, "phash", max_dist=31, id_col="id")
    df.select(hamming_distance("a", "b"))

The hash column is hex text (string), big-endian bytes (binary) or a 64-bit code's bit pattern
(long). The answers are those of quorvalent_index.HashIndex on the same rows: a distance equal
to max_dist is within, and no pair is left out or given twice (see
quorvalent_index.distributed for why). Every step runs over Arrow batches (mapInArrow), with no
Python object per row.

Installed with ``pip install "quorvalent[spark]"``; nothing else in the package imports
pyspark.
"""
from __future__ import annotations

import math
import uuid
from typing import Any, Callable, Iterator

import numpy as np
import pyarrow as pa
from pyspark.sql import Column, DataFrame
from pyspark.sql import functions as F
from pyspark.sql import types as T

from . import HashError, HashIndex, distributed, pack_codes

__all__ = ["near_duplicate_pairs", "near_duplicate_groups", "near_duplicates_of", "hamming_distance", "plan"]

# Rows of the bucket shuffle a task holds at the most: its join's index then stays near
# 100 MB, however large the collection. A bucket larger than half of it (one block value held
# by millions of rows) is cut into chunks, joined two at a time.
ROWS_PER_TASK = 2_000_000
# The queries' index of the latest near_duplicates_of, in each worker process.
_QUERY_INDEXES: dict[str, HashIndex] = {}
# Rows of the corpus near_duplicates_of joins with the queries at once. The queries search a
# slice's tables all together, a region of buckets at a time, so a slice costs them little more
# for 2.5 million codes than for 5 million (100,000 queries at r = 8: 0.4-0.7 s of one core).
# A slice's batches and index are fresh memory, which some virtual machines make slow to touch
# again seconds after it was freed; a smaller slice touches less, and the next one reuses what
# the last freed at once. In local[2] on 10 million codes, alternately: slices of 2.5 million
# 3.75-4.34 s in five runs (7.3 and 8.6 in two), of 5 million 4.74-6.02 s in five (7.6 and 11.3
# in two). Codes of w words are joined CORPUS_SLICE / w at a time.
CORPUS_SLICE = 2_500_000
# The share of rows_per_task up to which all rows are joined in one task, without blocks (the
# tests set it to 0 to send small inputs through the buckets).
ONE_TASK_SHARE = 1.0
# Rows sampled, for each chunk's worth of rows, to find the buckets to cut.
HEAVY_SAMPLE = 2_000
# Codes whose copies groups() collapses before its join, at the most: those seen most often in
# the sample (the rest are collapsed inside their buckets).
FREQUENT_CODES = 10_000
# Ids up to which a table of them is broadcast to every task, not shuffled.
BROADCAST_IDS = 5_000_000
# Edges of the near-duplicate graph that groups() unites on the driver at the most.
MAX_DRIVER_EDGES = 50_000_000


#--- Checks made before any job runs ---------------------------------------------------------

def _hash_kind(df: DataFrame, column: str) -> str:
    if column not in df.columns:
        raise ValueError(f"no column {column!r} (columns: {', '.join(df.columns)})")
    kind = df.schema[column].dataType
    if isinstance(kind, T.StringType):
        return "text"
    if isinstance(kind, T.BinaryType):
        return "bytes"
    if isinstance(kind, T.LongType):
        return "long"
    raise ValueError(f"column {column!r} must hold hex text (string), big-endian bytes (binary) or 64-bit codes "
                     f"(long), not {kind.simpleString()}")


def _id_column(df: DataFrame, id_col: str | None) -> Column:
    """The ids: a long column, or monotonically_increasing_id(), which is unique but not the
    same from one run to the next."""
    if id_col is None:
        return F.monotonically_increasing_id()
    if id_col not in df.columns:
        raise ValueError(f"no id column {id_col!r} (columns: {', '.join(df.columns)})")
    if not isinstance(df.schema[id_col].dataType, (T.LongType, T.IntegerType)):
        raise ValueError(f"the id column {id_col!r} must hold integers (long), not {df.schema[id_col].dataType.simpleString()}")
    return F.col(id_col).cast("long")


def _check_radius(max_dist: Any) -> int:
    if isinstance(max_dist, bool) or not isinstance(max_dist, (int, np.integer)) or max_dist < 0:
        raise ValueError(f"max_dist must be an int >= 0, got {max_dist!r}")
    return int(max_dist)


def _bits(df: DataFrame, column: str, kind: str, bits: int | None) -> int:
    """The width of the codes: given, or read off the first hash (a small job)."""
    if kind == "long":
        bits = 64 if bits is None else bits
        if not 1 <= bits <= 64:
            raise ValueError(f"a long column holds codes of at most 64 bits, not {bits}")
        return bits
    if bits is not None:
        return bits
    first = df.where(F.col(column).isNotNull()).select(F.length(column).alias("n")).first()
    if first is None:
        return 64  # no hash at all: any width answers nothing
    return int(first["n"]) * (4 if kind == "text" else 8)


#--- Codes -------------------------------------------------------------------------------------

def _code_type(bits: int) -> T.DataType:
    """A code travels as a long (its bit pattern) up to 64 bits, as its words' bytes beyond."""
    return T.LongType() if bits <= 64 else T.BinaryType()


def _code_column(codes: np.ndarray, bits: int) -> pa.Array:
    if bits <= 64:
        return pa.array(codes[:, 0].view(np.int64))
    width = 8 * codes.shape[1]
    offsets = pa.py_buffer(np.arange(0, (len(codes) + 1) * width, width, dtype=np.int32).tobytes())
    return pa.Array.from_buffers(pa.binary(), len(codes), [None, offsets, pa.py_buffer(np.ascontiguousarray(codes).tobytes())])


def _codes_from(column: pa.ChunkedArray | pa.Array, bits: int) -> np.ndarray:
    """Codes of shape (N, words) from the column _code_column made: longs, or binary values of
    equal length, whose bytes lie end to end."""
    words = (bits + 63) // 64
    if bits <= 64:
        return np.asarray(column.to_numpy(zero_copy_only=False), dtype=np.int64).view(np.uint64).reshape(-1, 1)
    chunks = column.chunks if isinstance(column, pa.ChunkedArray) else [column]
    parts = []
    for chunk in chunks:
        if len(chunk) == 0:
            continue
        offsets = np.frombuffer(chunk.buffers()[1], dtype=np.int32)[chunk.offset:chunk.offset + len(chunk) + 1]
        data = np.frombuffer(chunk.buffers()[2], dtype=np.uint8)[offsets[0]:offsets[-1]]
        parts.append(data.view(np.uint64).reshape(-1, words))
    return np.concatenate(parts) if parts else np.zeros((0, words), dtype=np.uint64)


def _parse(batches: Iterator[pa.RecordBatch], bits: int, kind: str) -> Iterator[pa.RecordBatch]:
    """(id, h) to (id, code): a hash that is refused fails the task, naming its row's id."""
    for batch in batches:
        ids, hashes = batch.column(0), batch.column(1)
        try:
            codes, _ = pack_codes(hashes, None if kind == "long" and bits == 64 else bits)
        except HashError as error:
            where = f"id {ids[error.position].as_py()}" if error.position is not None else "a row"
            raise ValueError(f"quorvalent_index: the hash of {where} {error.reason}") from None
        yield pa.RecordBatch.from_arrays([ids, _code_column(codes, bits)], names=["id", "code"])


def codes_frame(df: DataFrame, column: str, id_col: str | None = None, bits: int | None = None) -> tuple[DataFrame, int]:
    """(DataFrame[id, code], bits): the hashes of `column` as packed codes."""
    kind = _hash_kind(df, column)
    width = _bits(df, column, kind, bits)
    source = df.select(_id_column(df, id_col).alias("id"), F.col(column).alias("h"))
    if kind == "long" and width == 64:
        return source.select("id", F.col("h").alias("code")).where(_not_null("h", "id")), width
    schema = T.StructType([T.StructField("id", T.LongType()), T.StructField("code", _code_type(width))])
    return source.mapInArrow(lambda it: _parse(it, width, kind), schema), width


def _not_null(column: str, id_column: str) -> Column:
    return F.when(F.col(column).isNull(),
                  F.raise_error(F.concat(F.lit("quorvalent_index: the hash of id "), F.col(id_column).cast("string"),
                                         F.lit(" is null")))).otherwise(F.lit(True))


#--- Joins -------------------------------------------------------------------------------------

def _partitions(df: DataFrame, rows: int | None, rows_per_task: int) -> int:
    """Buckets are shuffled into this many partitions: the session's spark.sql.shuffle.partitions
    (its users tune it to their cluster), at least two a core, and more when the rows are
    known to be many."""
    spark = df.sparkSession
    configured = int(spark.conf.get("spark.sql.shuffle.partitions", "200"))
    least = max(configured, 2 * spark.sparkContext.defaultParallelism)
    return least if rows is None else max(least, math.ceil(rows / rows_per_task))


def _explode(batches: Iterator[pa.RecordBatch], plan: distributed.BlockPlan,
             heavy: dict[tuple[int, int], int] | None) -> Iterator[pa.RecordBatch]:
    for batch in batches:
        codes = _codes_from(batch.column(1), plan.bits)
        blocks, values, parts, sides, rows = distributed.block_rows(codes, plan, batch.column(0).to_numpy(), heavy)
        take = pa.array(rows)
        yield pa.RecordBatch.from_arrays([pa.array(blocks.astype(np.int32)), pa.array(values.view(np.int64)),
                                          pa.array(parts), pa.array(sides), batch.column(0).take(take),
                                          batch.column(1).take(take)],
                                         names=["block", "value", "part", "side", "id", "code"])


def _join_partition(batches: Iterator[pa.RecordBatch], plan: distributed.BlockPlan,
                    collapse: bool = False) -> Iterator[pa.RecordBatch]:
    held = list(batches)  # the partition holds its buckets whole: all of it, then one join
    if not held:
        return
    table = pa.Table.from_batches(held)
    if table.num_rows:
        table = table.combine_chunks()
        column = lambda name: table.column(name).to_numpy()  # noqa: E731
        codes = _codes_from(table.column("code"), plan.bits)
        cut = "part" in table.column_names
        if "bucket" in table.column_names:
            blocks, values = _split_buckets(column("bucket"), plan)
        else:
            blocks, values = column("block").astype(np.int64), column("value").view(np.uint64)
        a, b, d = distributed.owned_pairs(codes, column("id"), blocks, values, plan, threads=1,
                                          parts=column("part") if cut else None, sides=column("side") if cut else None,
                                          collapse=collapse)
        yield pa.RecordBatch.from_arrays([pa.array(a), pa.array(b), pa.array(d)], names=["id_a", "id_b", "distance"])


def _join_whole(batches: Iterator[pa.RecordBatch], plan: distributed.BlockPlan,
                collapse: bool = False) -> Iterator[pa.RecordBatch]:
    held = [batch for batch in batches if batch.num_rows]
    if not held:
        return
    table = pa.Table.from_batches(held).combine_chunks()
    codes, ids = _codes_from(table.column("code"), plan.bits), table.column("id").to_numpy()
    star = np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    if collapse:
        # Each code once, with the id of one of its rows; every other row of it is an edge to
        # that one.
        _, first, inverse = np.unique(np.ascontiguousarray(codes).view(np.dtype((np.void, 8 * codes.shape[1]))),
                                      return_index=True, return_inverse=True)
        inverse = inverse.reshape(-1)
        copy = first[inverse] != np.arange(len(ids))
        star = ids[first[inverse][copy]], ids[copy]
        codes, ids = codes[first], ids[first]
    a, b, d = HashIndex.from_codes(codes, bits=plan.bits, ids=ids).pairs(plan.max_dist, threads=1)
    if len(star[0]):
        a = np.concatenate([a, np.minimum(*star)])
        b = np.concatenate([b, np.maximum(*star)])
        d = np.concatenate([d, np.zeros(len(star[0]), dtype=d.dtype)])
    yield pa.RecordBatch.from_arrays([pa.array(a), pa.array(b), pa.array(d)], names=["id_a", "id_b", "distance"])


PAIRS_SCHEMA = T.StructType([T.StructField("id_a", T.LongType()), T.StructField("id_b", T.LongType()),
                             T.StructField("distance", T.IntegerType())])


def _keyed_schema(bits: int) -> T.StructType:
    return T.StructType([T.StructField("block", T.IntegerType()), T.StructField("value", T.LongType()),
                         T.StructField("part", T.LongType()), T.StructField("side", T.ByteType()),
                         T.StructField("id", T.LongType()), T.StructField("code", _code_type(bits))])


def _jvm_buckets(plan: distributed.BlockPlan) -> list[Column] | None:
    """For codes held as longs (64 bits and fewer), each block's bucket as one long computed by
    Spark itself, so that the rows need not cross to Python and back before the shuffle: the
    block's value (its bits shifted down, as block_rows computes it) with the block's number
    above it (_split_buckets reads it back). A row then crosses to the join as three longs, not
    four columns: that crossing, not the join, is most of a join's time. None where a block is
    not one run of bits."""
    if plan.bits > 64 or not plan.count:
        return None
    buckets = []
    for k, (_, mask) in enumerate(plan.blocks):
        shift = (mask & -mask).bit_length() - 1
        run = mask >> shift
        if run & (run + 1):
            return None
        signed = mask - (1 << 64) if mask >= 1 << 63 else mask
        value = F.shiftrightunsigned(F.col("code").bitwiseAND(F.lit(signed)), shift)
        # With two blocks or more, a block of a 64-bit code holds at most 32 bits.
        buckets.append(value if plan.count == 1 else value.bitwiseOR(F.lit(k << 32).cast("long")))
    return buckets


def _split_buckets(buckets: np.ndarray, plan: distributed.BlockPlan) -> tuple[np.ndarray, np.ndarray]:
    """(blocks, values) of the buckets _jvm_buckets made."""
    buckets = buckets.view(np.uint64)
    if plan.count == 1:
        return np.zeros(len(buckets), dtype=np.int64), buckets
    return (buckets >> np.uint64(32)).astype(np.int64), buckets & np.uint64(0xFFFFFFFF)


def _keyed(codes: DataFrame, plan: distributed.BlockPlan, heavy: dict[tuple[int, int], int] | None) -> DataFrame:
    """The rows of every code's buckets: (bucket, id, code) where Spark computes the buckets,
    otherwise (block, value, part, side, id, code), with (part, side) where heavy buckets are
    cut."""
    buckets = None if heavy else _jvm_buckets(plan)
    if buckets is None:
        return codes.mapInArrow(lambda it: _explode(it, plan, heavy), _keyed_schema(plan.bits))
    return codes.select(F.explode(F.array(*buckets)).alias("bucket"), "id", "code")


def _heavy_buckets(sample: Callable[[float], DataFrame], plan: distributed.BlockPlan, chunk_rows: int,
                   collapse: bool = False) -> tuple[dict[tuple[int, int], int], int, int, np.ndarray]:
    """(heavy buckets, bucket rows, rows, frequent codes): the buckets of more than chunk_rows
    rows, each with the chunks to cut it into, the rows of all buckets, and the rows, estimated
    from a sample of about HEAVY_SAMPLE rows a chunk. An estimate is enough: however a bucket is
    cut, every pair of it is found once; the cut only bounds what one task holds. With
    collapse, the codes seen twice or more in the sample (the FREQUENT_CODES seen most) are
    frequent: the join takes one row of each, so the buckets are sized without their copies.

    The sampled codes come to the driver (16 bytes a row of 64-bit codes: 32 MB for 10^9 rows)
    and are counted there: one stage of a job, where counting on the executors took a shuffle
    and a second stage, which cost a join of a million rows a third of its time."""
    fraction = min(1.0, HEAVY_SAMPLE / chunk_rows)
    held = sample(fraction).select("code").toArrow()
    rows = math.ceil(held.num_rows / fraction)
    codes = _codes_from(held.column("code"), plan.bits)
    frequent = codes[:0]
    if collapse and len(codes):
        _, first, inverse, counts = np.unique(np.ascontiguousarray(codes).view(np.dtype((np.void, 8 * codes.shape[1]))),
                                              return_index=True, return_inverse=True, return_counts=True)
        inverse = inverse.reshape(-1)
        seen = np.flatnonzero(counts > 1)
        chosen = seen[np.argsort(-counts[seen], kind="stable")[:FREQUENT_CODES]]
        is_frequent = np.zeros(len(counts), dtype=bool)
        is_frequent[chosen] = True
        frequent = codes[first[chosen]]
        codes = codes[~is_frequent[inverse] | (first[inverse] == np.arange(len(codes)))]
    blocks, values, _, _, _ = distributed.block_rows(codes, plan)
    if not len(blocks):
        return {}, 0, rows, frequent
    keys, counts = np.unique(np.stack([blocks, values.view(np.int64)]), axis=1, return_counts=True)
    large = counts > chunk_rows * fraction
    heavy = {(int(b), int(np.int64(v).view(np.uint64))): math.ceil(c / fraction / chunk_rows)
             for b, v, c in zip(keys[0][large].tolist(), keys[1][large].tolist(), counts[large].tolist())}
    return heavy, math.ceil(len(blocks) / fraction), rows, frequent


def _collapse_frequent(codes: DataFrame, frequent: np.ndarray, bits: int) -> tuple[DataFrame, DataFrame]:
    """(codes, edges): the frequent codes' rows replaced by one row each, the one of lowest id,
    and the edges from it to every other. Broadcast joins and an aggregate of the copies alone:
    the rows are not shuffled."""
    spark = codes.sparkSession
    wanted = F.broadcast(spark.createDataFrame(pa.table({"code": _code_column(frequent, bits)}),
                                               T.StructType([T.StructField("code", _code_type(bits))])))
    copies = codes.join(wanted, "code", "left_semi")
    leads = copies.groupBy("code").agg(F.min("id").alias("lead")).localCheckpoint()
    edges = copies.join(F.broadcast(leads), "code").where(F.col("id") != F.col("lead")).select(
        F.col("lead").alias("id_a"), F.col("id").alias("id_b"), F.lit(0).alias("distance"))
    rest = codes.join(wanted, "code", "left_anti").select("id", "code")
    return rest.unionByName(leads.select(F.col("lead").alias("id"), "code")), edges


def _pairs_of_codes(codes: DataFrame, bits: int, max_dist: int, rows: int | None, rows_per_task: int,
                    sample: Callable[[float], DataFrame], collapse: bool = False) -> DataFrame:
    """The pairs within max_dist of the codes' rows; with collapse, edges that connect the same
    rows, each copy of a code joined to one other copy rather than to all."""
    plan = distributed.BlockPlan(bits, max_dist)
    chunk_rows = max(1, rows_per_task // 2)
    bucket_rows = None if rows is None else rows * max(plan.count, 1)
    heavy: dict[tuple[int, int], int] = {}
    frequent = np.zeros((0, (bits + 63) // 64), dtype=np.uint64)
    one_task = rows_per_task * ONE_TASK_SHARE
    if rows is None or (rows > chunk_rows and rows > one_task):
        heavy, bucket_rows, rows, frequent = _heavy_buckets(sample, plan, chunk_rows, collapse)
        # A cut bucket sends each of its rows once for each chunk.
        bucket_rows += sum(chunks * chunks * chunk_rows for chunks in heavy.values())
    if rows <= one_task:
        # Rows one task holds are joined there, all at once: no rows sent to r + 1 buckets.
        return codes.repartition(1).mapInArrow(lambda it: _join_whole(it, plan, collapse), PAIRS_SCHEMA)
    star = None
    if len(frequent):
        codes, star = _collapse_frequent(codes, frequent, bits)
    keyed = _keyed(codes, plan, heavy)
    by = ["bucket"] if "bucket" in keyed.columns else ["block", "value", *(["part"] if heavy else [])]
    shuffled = keyed.repartition(_partitions(codes, bucket_rows, rows_per_task), *by)
    pairs = shuffled.mapInArrow(lambda it: _join_partition(it, plan, collapse), PAIRS_SCHEMA)
    return pairs if star is None else pairs.unionByName(star)


def near_duplicate_pairs(df: DataFrame, column: str, max_dist: int, id_col: str | None = None,
                         bits: int | None = None, rows_per_task: int = ROWS_PER_TASK) -> DataFrame:
    """Every pair of rows whose hashes differ in at most max_dist bits: DataFrame[id_a, id_b,
    distance], id_a < id_b. id_col names a long column of ids; without it,
    monotonically_increasing_id() numbers the rows, which is unique but not stable from one run
    to the next. Identical hashes are pairs too, every one of them.

    rows_per_task bounds the rows one task joins (its memory is about 50 bytes a row). A
    sampling job first estimates the rows and finds the buckets of the join larger than half of
    it, which are cut into chunks; rows that fit one task are joined there, without buckets."""
    r = _check_radius(max_dist)
    rows_per_task = _check_rows_per_task(rows_per_task)
    codes, width = codes_frame(df, column, id_col, bits)
    sample = lambda fraction: codes_frame(df.sample(fraction, seed=1) if fraction < 1 else df, column, id_col, width)[0]  # noqa: E731
    return _pairs_of_codes(codes, width, r, None, rows_per_task, sample)


def _check_rows_per_task(rows: Any) -> int:
    if isinstance(rows, bool) or not isinstance(rows, (int, np.integer)) or rows < 2:
        raise ValueError(f"rows_per_task must be an int >= 2, got {rows!r}")
    return int(rows)


def plan(df: DataFrame, column: str, max_dist: int, bits: int | None = None) -> str:
    """How near_duplicate_pairs would cut the join, and why."""
    kind = _hash_kind(df, column)
    return distributed.BlockPlan(_bits(df, column, kind, bits), _check_radius(max_dist)).describe()


#--- Groups ----------------------------------------------------------------------------------

def _union_find(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(keys, root of each): the connected components of the edges (a, b), every root the
    smallest key of its component."""
    keys, inverse = np.unique(np.concatenate([a, b]), return_inverse=True)
    left, right = inverse[: len(a)], inverse[len(a):]
    label = np.arange(len(keys))
    # Label propagation to the minimum, with pointer jumping: a few passes for any graph of
    # near-duplicates.
    while True:
        low = np.minimum(label[left], label[right])
        new = label.copy()
        np.minimum.at(new, left, low)
        np.minimum.at(new, right, low)
        new = new[new]
        if np.array_equal(new, label):
            return keys, keys[label]
        label = new


def _priorities(members: DataFrame | None, ids: np.ndarray) -> np.ndarray:
    """The priority of each of ids (sorted and unique), from members' (id, priority) rows;
    zeros without priorities."""
    if members is None or not len(ids):
        return np.zeros(len(ids))
    wanted = members.sparkSession.createDataFrame(pa.table({"id": ids}))
    join = F.broadcast(wanted) if len(ids) <= BROADCAST_IDS else wanted
    info = members.join(join, "id").select("id", "priority").toArrow()
    got = info.column("id").to_numpy()
    at = np.argsort(got)
    if not np.array_equal(got[at], ids):
        raise ValueError("quorvalent_index: an id of the edges is missing from the rows, or held by two rows")
    return info.column("priority").to_numpy()[at]


def _best_first(ids: np.ndarray, priorities: np.ndarray) -> np.ndarray:
    """The order of ids best first: highest priority, then lowest id."""
    return np.lexsort((ids, -priorities))


def _star_components(edges: DataFrame) -> DataFrame:
    """DataFrame[key, root] for every key with an edge: the smallest key of its connected
    component, by large-star and small-star (Kiveris et al., SoCC 2014) over DataFrames, for
    edge lists too large for the driver. Each round rewires every edge toward smaller keys and
    leaves the components as they are; the rounds stop when the edges form stars, every key
    joined to its component's smallest key alone, after O(log N) rounds."""
    current = edges.select(F.greatest("id_a", "id_b").alias("u"), F.least("id_a", "id_b").alias("v")).distinct()
    current = current.localCheckpoint()
    while True:
        # Large-star: each key's larger neighbours are joined to the smallest of its
        # neighbourhood, itself included.
        both = current.union(current.select(F.col("v").alias("u"), F.col("u").alias("v")))
        lowest = both.groupBy("u").agg(F.least(F.min("v"), F.col("u")).alias("m"))
        large = both.join(lowest, "u").where(F.col("v") > F.col("u")).select(F.col("v").alias("u"), "m")
        large = large.where(F.col("u") != F.col("m")).select("u", F.col("m").alias("v")).distinct()
        # Small-star: each key and its smaller neighbours are joined to the smallest of them.
        smallest = large.groupBy("u").agg(F.min("v").alias("m"))
        small = large.join(smallest, "u").select(F.col("v").alias("u"), "m").where(F.col("u") != F.col("m")) \
                     .union(smallest.select("u", "m")).select("u", F.col("m").alias("v")).distinct()
        small = small.localCheckpoint()
        # Stars: no key is joined to two keys, and no key that others are joined to is joined to one.
        doubled = small.groupBy("u").count().where(F.col("count") > 1).limit(1).count()
        chained = small.select("v").distinct().join(small.select(F.col("u").alias("v")), "v").limit(1).count()
        current = small
        if doubled == 0 and chained == 0:
            break
    roots = current.select(F.col("v").alias("key")).distinct().select("key", F.col("key").alias("root"))
    return current.select(F.col("u").alias("key"), F.col("v").alias("root")).union(roots)


def near_duplicate_groups(df: DataFrame, column: str, max_dist: int, id_col: str | None = None,
                          method: str = "components", priority_col: str | None = None,
                          bits: int | None = None, max_driver_edges: int = MAX_DRIVER_EDGES,
                          rows_per_task: int = ROWS_PER_TASK) -> DataFrame:
    """A group for every row: DataFrame[id, representative]. method "components": connected
    components of the pairs within max_dist; "star": by priority, each unassigned row takes
    every unassigned row within max_dist of itself. The representative is the member of highest
    priority_col (ties, and no priority_col, to the lowest id): the same groups as
    HashIndex.groups for the same rows, ids and priorities, whatever the partitioning. Without
    id_col, the rows are numbered by monotonically_increasing_id() and held in the session's
    cache, so that every pass over them sees the same numbers.

    Copies of one hash are never joined pair by pair: the hashes the sampling job sees often
    enter the join as one row each, and other copies are joined as one inside their buckets,
    each copy linked to one other. The edges are united on the driver when there are at most
    max_driver_edges of them, and by a distributed connected-components algorithm (large-star
    and small-star) past that. "star" is a greedy order over the edges and runs on the driver
    only: past max_driver_edges it raises rather than exhaust the driver."""
    r = _check_radius(max_dist)
    if method not in ("components", "star"):
        raise ValueError(f"method must be 'components' or 'star', got {method!r}")
    if priority_col is not None:
        if priority_col not in df.columns:
            raise ValueError(f"no priority column {priority_col!r} (columns: {', '.join(df.columns)})")
        if not isinstance(df.schema[priority_col].dataType, T.NumericType):
            raise ValueError(f"the priority column {priority_col!r} must hold numbers")
    rows_per_task = _check_rows_per_task(rows_per_task)
    _hash_kind(df, column)
    if id_col is None:
        # Every pass below must see the same ids, which monotonically_increasing_id() promises
        # only for the same partitions of the same rows.
        id_col = "_quorvalent_id"
        kept = [column] if priority_col is None or priority_col == column else [column, priority_col]
        df = df.select(F.monotonically_increasing_id().alias(id_col), *kept).cache()
    codes, width = codes_frame(df, column, id_col, bits)
    if _hash_kind(df, column) != "long" or width != 64:
        # Hashes parsed in Python are parsed once: the sample, the copies and the join each
        # read the codes.
        codes = codes.cache()
    members = None
    if priority_col is not None:
        members = df.select(_id_column(df, id_col).alias("id"), F.col(priority_col).cast("double").alias("priority"))
        members = members.withColumn("priority", F.when(F.isnan("priority") | F.col("priority").isNull(),
                                                        F.raise_error(F.lit("quorvalent_index: a priority is NaN or null")))
                                     .otherwise(F.col("priority")))
    sample = lambda fraction: codes.sample(fraction, seed=1) if fraction < 1 else codes  # noqa: E731
    edges = _pairs_of_codes(codes, width, r, None, rows_per_task, sample, collapse=True).localCheckpoint()
    count = edges.count()
    spark = df.sparkSession
    every = df.select(_id_column(df, id_col).alias("id"))
    if count > max_driver_edges and method == "star":
        raise ValueError(f"{count} edges within {r} bits pass max_driver_edges ({max_driver_edges}), and "
                         f"method='star' runs on the driver: raise max_driver_edges, use a smaller max_dist, "
                         f"or method='components'")
    if count > max_driver_edges:
        label = _star_components(edges).select(F.col("key").alias("id"), "root")
        if members is None:
            # Roots are their components' lowest ids.
            reps = label.select("id", F.col("root").alias("representative"))
        else:
            ranked = label.join(members, "id")
            best = ranked.groupBy("root").agg(F.max(F.struct("priority", (-F.col("id")).alias("neg_id"))).alias("best"))
            reps = ranked.join(best, "root").select("id", (-F.col("best.neg_id")).alias("representative"))
        return every.join(reps, "id", "left").select("id", F.coalesce("representative", "id").alias("representative"))
    held = edges.toArrow()
    a, b, d = (held.column(name).to_numpy() for name in ("id_a", "id_b", "distance"))
    if method == "components":
        ids, roots = _union_find(a, b)
        priorities = _priorities(members, ids)
        # The best member of each component: the first of its ids in the order of priority,
        # then of lowest id.
        order = _best_first(ids, priorities)
        group_roots, first = np.unique(roots[order], return_index=True)
        reps = ids[order][first][np.searchsorted(group_roots, roots)]
    else:
        ids, reps = _star_on_driver(a, b, d, members)
    if len(ids) <= BROADCAST_IDS:
        # Sent to every worker as arrays, and looked up a batch at a time: half the time of a
        # broadcast join, most of which went to making a DataFrame of the driver's arrays.
        shared = spark.sparkContext.broadcast((ids, reps))
        return every.mapInArrow(lambda it: _representatives(it, shared), GROUPS_SCHEMA)
    assigned = spark.createDataFrame(pa.table({"id": ids, "rep": reps}))
    return every.join(assigned, "id", "left").select("id", F.coalesce("rep", "id").alias("representative"))


GROUPS_SCHEMA = T.StructType([T.StructField("id", T.LongType()), T.StructField("representative", T.LongType())])


def _representatives(batches: Iterator[pa.RecordBatch], shared: Any) -> Iterator[pa.RecordBatch]:
    """(id, representative) of each id: its own, or the one shared (ids sorted) names."""
    ids, reps = shared.value
    for batch in batches:
        x = batch.column(0).to_numpy(zero_copy_only=False)
        at = np.minimum(np.searchsorted(ids, x), max(len(ids) - 1, 0))
        found = ids[at] == x if len(ids) else np.zeros(len(x), dtype=bool)
        rep = np.where(found, reps[at] if len(ids) else x, x)
        yield pa.RecordBatch.from_arrays([batch.column(0), pa.array(rep, type=pa.int64())], names=["id", "representative"])


def _star_on_driver(a: np.ndarray, b: np.ndarray, d: np.ndarray, members: DataFrame | None) -> tuple[np.ndarray, np.ndarray]:
    """(ids, representative of each) of the rows with edges, by the greedy star over their
    codes: the rows of one code (the edges at distance 0 join them all) go together, led by
    their best, and in that order each code not yet taken takes every code within the radius
    not yet taken."""
    ids = np.unique(np.concatenate([a, b]))
    same = d == 0
    copy_ids, copy_roots = _union_find(a[same], b[same])
    code_of = ids.copy()  # each row's code, by the lowest id of its rows
    at = np.searchsorted(ids, copy_ids)
    code_of[at] = copy_roots
    priorities = _priorities(members, ids)
    order = _best_first(ids, priorities)
    codes, first = np.unique(code_of[order], return_index=True)
    best = ids[order][first]  # of each code, in the order of codes
    best_priority = priorities[order][first]
    code_a = np.searchsorted(codes, code_of[np.searchsorted(ids, a)])
    code_b = np.searchsorted(codes, code_of[np.searchsorted(ids, b)])
    near = code_a != code_b
    neighbours: dict[int, list[int]] = {}
    for x, y in zip(code_a[near].tolist(), code_b[near].tolist()):
        neighbours.setdefault(x, []).append(y)
        neighbours.setdefault(y, []).append(x)
    centre = np.zeros(len(codes), dtype=np.int64)
    taken = np.zeros(len(codes), dtype=bool)
    for c in np.lexsort((best, -best_priority)).tolist():
        if taken[c]:
            continue
        centre[c], taken[c] = best[c], True
        for n in neighbours.get(c, []):
            if not taken[n]:
                centre[n], taken[n] = best[c], True
    return ids, centre[np.searchsorted(codes, code_of)]


#--- Queries against a corpus ------------------------------------------------------------------

def near_duplicates_of(queries: DataFrame, corpus: DataFrame, column: str, max_dist: int, id_col: str | None = None,
                       bits: int | None = None) -> DataFrame:
    """Every (query, corpus row) within max_dist: DataFrame[query_id, corpus_id, distance]. The
    queries, the smaller side, are held whole by every task (broadcast) and the corpus streams
    through them a batch at a time: the corpus is never shuffled."""
    r = _check_radius(max_dist)
    kinds = {_hash_kind(queries, column), _hash_kind(corpus, column)}
    if len(kinds) != 1:
        raise ValueError(f"the queries' and the corpus's {column!r} columns hold different kinds of hashes: {sorted(kinds)}")
    query_codes, width = codes_frame(queries, column, id_col, bits)
    corpus_codes, corpus_width = codes_frame(corpus, column, id_col, width)
    held = query_codes.toArrow()
    qids = held.column("id").to_numpy()
    qcodes = _codes_from(held.column("code"), width)
    context = queries.sparkSession.sparkContext
    shared = context.broadcast((qids, qcodes))
    # A wider code costs more bytes a row, in the index and in the batches held.
    slice_rows = max(1, CORPUS_SLICE // ((width + 63) // 64))
    # One task a core, each joining its share in slices as large as it may hold: more, smaller
    # partitions (a Parquet table's files, a DataFrame made from Arrow) would each cost a probe
    # of every query. coalesce merges partitions where they are and shuffles nothing.
    cores = max(1, context.defaultParallelism)
    if corpus_codes.rdd.getNumPartitions() > cores:
        corpus_codes = corpus_codes.coalesce(cores)

    token = uuid.uuid4().hex

    def join(batches: Iterator[pa.RecordBatch]) -> Iterator[pa.RecordBatch]:
        # The queries' index is built once a worker process (Spark reuses them from task to
        # task), not once a task: a corpus of a thousand small partitions would otherwise
        # build it a thousand times.
        index = _QUERY_INDEXES.get(token)
        if index is None:
            ids_q, codes_q = shared.value
            index = HashIndex.from_codes(codes_q, bits=width, ids=ids_q)
            _QUERY_INDEXES.clear()
            _QUERY_INDEXES[token] = index

        def joined(held: list[pa.RecordBatch]) -> pa.RecordBatch:
            table = pa.Table.from_batches(held).combine_chunks()
            q, c, d = distributed.cross_pairs(index, _codes_from(table.column(1), width), table.column(0).to_numpy(), r,
                                              threads=1)
            return pa.RecordBatch.from_arrays([pa.array(q), pa.array(c), pa.array(d)], names=["query_id", "corpus_id", "distance"])

        # The corpus in slices of about CORPUS_SLICE rows: few joins, and bounded memory.
        held: list[pa.RecordBatch] = []
        rows = 0
        for batch in batches:
            held.append(batch)
            rows += batch.num_rows
            if rows >= slice_rows:
                yield joined(held)
                held, rows = [], 0
        if rows:
            yield joined(held)

    schema = T.StructType([T.StructField("query_id", T.LongType()), T.StructField("corpus_id", T.LongType()),
                           T.StructField("distance", T.IntegerType())])
    return corpus_codes.mapInArrow(join, schema)


#--- A column function -------------------------------------------------------------------------

def _distance(x: pa.Array, y: pa.Array) -> pa.Array:
    present = np.asarray(x.is_valid()) & np.asarray(y.is_valid())
    out = np.zeros(len(x), dtype=np.int32)
    if present.any():
        keep = pa.array(present)
        left, _ = pack_codes(x.filter(keep))
        right, _ = pack_codes(y.filter(keep))
        if left.shape != right.shape:
            raise ValueError("quorvalent_index: hamming_distance of hashes of different widths")
        out[present] = np.bitwise_count(left ^ right).sum(axis=1)
    return pa.array(out, mask=~present)


def hamming_distance(a: str | Column, b: str | Column) -> Column:
    """The bits in which the hashes of two columns differ, row by row (null where either is
    null), computed a batch at a time on the Arrow arrays themselves."""
    from pyspark.sql.functions import arrow_udf

    return arrow_udf(_distance, "int")(a, b)
