"""Times quorvalent_index.spark against the pigeonhole join a Spark user writes without it, and
against the single-machine index, in one Spark session (local[2]).

    python benchmarks/bench_spark.py [--large]

Data: random 64-bit codes, 1% of them planted near-duplicates (as bench_index.py makes them).
The plain join splits the 64 bits into r + 1 blocks, self-joins on each block's value, keeps
bit_count(a ^ b) <= r, and takes the union's distinct rows. The jobs at N = 1,000,000 and
near_duplicates_of are run once before they are timed; the pairs and groups of 10,000,000 are
timed on their first run (each takes tens of seconds, in a session the earlier jobs warmed),
each to a count; the groups are then collected in a second run and checked equal to the
single-machine index's, as every pair count is checked. The peak resident set of every
Spark Python worker is read from /proc while the jobs run.

Needs: pip install "quorvalent[spark]" numpy, and Java 17.
"""
import argparse
import os
import sys
import threading
import time

import numpy as np

os.environ.setdefault("PYSPARK_PYTHON", sys.executable)

from pyspark.sql import SparkSession  # noqa: E402
from pyspark.sql import functions as F  # noqa: E402

from quorvalent_index import HashIndex, distributed  # noqa: E402
from quorvalent_index.spark import near_duplicate_groups, near_duplicate_pairs, near_duplicates_of  # noqa: E402
from quorvalent_index import spark as spark_adapter  # noqa: E402

from bench import cpu_name  # noqa: E402
from bench_index import make_codes  # noqa: E402


def timed(f):
    start = time.perf_counter()
    result = f()
    return time.perf_counter() - start, result


def plain_pigeonhole(df, r):
    """The join without quorvalent: r + 1 blocks of the 64 bits, equality on each."""
    width = 64 // (r + 1)
    parts = []
    for k in range(r + 1):
        shift = k * width
        bits = 64 - shift if k == r else width
        key = F.shiftrightunsigned(F.col("code"), shift).bitwiseAND(F.lit((1 << bits) - 1 if bits < 64 else -1))
        keyed = df.select("id", "code", key.alias("key"))
        a, b = keyed.alias("a"), keyed.alias("b")
        joined = a.join(b, (F.col("a.key") == F.col("b.key")) & (F.col("a.id") < F.col("b.id")))
        parts.append(joined.select(F.col("a.id").alias("id_a"), F.col("b.id").alias("id_b"),
                                   F.bit_count(F.col("a.code").bitwiseXOR(F.col("b.code"))).alias("distance"))
                     .where(F.col("distance") <= r))
    union = parts[0]
    for p in parts[1:]:
        union = union.unionByName(p)
    return union.distinct()


class WorkerPeaks(threading.Thread):
    """The peak resident set (VmHWM) of every Spark Python worker process, read from /proc
    while the jobs run: a worker's peak is gone when it exits, and the workers that ran the
    joins are not the ones a later job would be given (so asking a job for its own getrusage
    measures idle workers)."""

    def __init__(self):
        super().__init__(daemon=True)
        self.peaks: dict[int, float] = {}
        self.done = threading.Event()

    def run(self):
        while not self.done.wait(0.1):
            for pid in os.listdir("/proc"):
                if not pid.isdigit() or int(pid) == os.getpid():
                    continue
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        command = f.read()
                    if b"pyspark.daemon" not in command and b"pyspark.worker" not in command:
                        continue
                    with open(f"/proc/{pid}/status") as f:
                        for line in f:
                            if line.startswith("VmHWM:"):
                                mib = int(line.split()[1]) / 1024
                                self.peaks[int(pid)] = max(self.peaks.get(int(pid), 0.0), mib)
                except OSError:
                    continue

    def largest(self):
        return max(self.peaks.values(), default=0.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="also N = 10,000,000 (several GB and minutes)")
    args = parser.parse_args()
    spark = (SparkSession.builder.master("local[2]").config("spark.driver.host", "127.0.0.1")
             .config("spark.ui.enabled", "false").config("spark.driver.memory", "6g")
             .config("spark.sql.shuffle.partitions", "8").config("spark.ui.showConsoleProgress", "false").getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    peaks = WorkerPeaks()
    peaks.start()
    print(f"CPU: {cpu_name()}; Spark {spark.version}, local[2]\n", flush=True)

    r = 4
    codes, _ = make_codes(1_000_000)
    flat = np.ascontiguousarray(codes[:, 0])
    signed = flat.view(np.int64)
    df = frame(spark, signed)
    print(f"plan at N = 1,000,000: the rows fit one task (rows_per_task = {spark_adapter.ROWS_PER_TASK:,}), "
          f"so they are joined there: {distributed.BlockPlan(64, r, whole=True).describe()}")
    print(f"plan at N = 10,000,000: {distributed.BlockPlan(64, r).describe()}, "
          f"shuffled into a task for every {spark_adapter.ROWS_PER_TASK:,} bucket rows")
    want = len(HashIndex.from_codes(flat).pairs(r)[2])
    for label, job in (("plain Spark SQL pigeonhole join", lambda: plain_pigeonhole(df, r).count()),
                       ("near_duplicate_pairs", lambda: near_duplicate_pairs(df, "code", r, id_col="id").count())):
        job()  # warm
        t, count = timed(job)
        assert count == want, (label, count, want)
        print(f"N = 1,000,000, r = {r}: {label:<34} {t:7.2f} s ({count:,} pairs)", flush=True)
        if label.startswith("plain"):
            plain = t
    print(f"  ratio: {plain / t:.1f}x faster than the plain join (target >= 5)")

    if args.large:
        big, _ = make_codes(10_000_000, seed=3)
        big_flat = np.ascontiguousarray(big[:, 0])
        del big
        big_df = frame(spark, big_flat.view(np.int64))
        index_time, (i, _, _) = timed(lambda: HashIndex.from_codes(big_flat).pairs(r, threads=2))
        t, count = timed(lambda: near_duplicate_pairs(big_df, "code", r, id_col="id").count())
        assert count == len(i)
        print(f"N = 10,000,000, r = {r}: near_duplicate_pairs {t:.1f} s, HashIndex.pairs(threads=2) {index_time:.1f} s "
              f"(ratio {t / index_time:.1f}, target <= 10)", flush=True)
        queries = big_df.limit(100_000).cache()
        queries.count()
        q_flat = np.asarray(queries.select("code").toArrow().column(0).to_numpy()).view(np.uint64)
        index = HashIndex.from_codes(big_flat)
        hexes = [f"{c:016x}" for c in q_flat.tolist()]
        local, found = timed(lambda: index.within_many(hexes, 8, threads=2))
        near_duplicates_of(queries, big_df, "code", 8, id_col="id").count()  # warm
        t, count = timed(lambda: near_duplicates_of(queries, big_df, "code", 8, id_col="id").count())
        assert count == len(found[1]), "near_duplicates_of and within_many differ"
        print(f"near_duplicates_of 100,000 queries against 10,000,000, r = 8: {t:.1f} s, within_many {local:.1f} s "
              f"(ratio {t / local:.1f}, target <= 3)", flush=True)
        copies = np.concatenate([big_flat[:9_000_000], np.full(1_000_000, big_flat[0], dtype=np.uint64)])
        copies_df = frame(spark, copies.view(np.int64))
        distinct_df = frame(spark, big_flat[:9_000_000].view(np.int64))
        pairs_time, _ = timed(lambda: near_duplicate_pairs(distinct_df, "code", r, id_col="id").count())
        # The job timed as the pairs are, to a count; the rows are then brought to the driver
        # (timed apart) to be checked.
        t, _ = timed(lambda: near_duplicate_groups(copies_df, "code", r, id_col="id").count())
        collect_time, got = timed(lambda: near_duplicate_groups(copies_df, "code", r, id_col="id").toArrow())
        order = np.argsort(got.column("id").to_numpy())
        want_ids, want_reps = HashIndex.from_codes(copies).groups(r, threads=2)
        assert np.array_equal(got.column("id").to_numpy()[order], want_ids)
        assert np.array_equal(got.column("representative").to_numpy()[order], want_reps), "groups differ"
        print(f"near_duplicate_groups of 10,000,000 with 1,000,000 copies: {t:.1f} s (the index's groups); pairs of "
              f"the distinct codes {pairs_time:.1f} s (ratio {t / pairs_time:.2f}, target <= 1.5); a second run "
              f"collected for the check: {collect_time:.1f} s", flush=True)
    peaks.done.set()
    peaks.join()
    print(f"largest Python worker resident set: {peaks.largest():,.0f} MiB, of {len(peaks.peaks)} worker processes "
          f"(target: no task over 1 GB)")
    spark.stop()


def pa_table(signed):
    import pyarrow as pa
    return pa.table({"id": np.arange(len(signed), dtype=np.int64), "code": signed})


def frame(spark, signed):
    """A cached DataFrame of (id, code) in 8 partitions, about what Parquet files of this size
    make (a DataFrame made from one Arrow table comes in one partition per 10,000 rows)."""
    df = spark.createDataFrame(pa_table(signed)).coalesce(8).cache()
    df.count()
    return df


if __name__ == "__main__":
    sys.exit(main())
