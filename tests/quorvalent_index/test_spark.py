"""quorvalent_index.spark against the single-machine index, on a local Spark and once on a local
cluster whose executors are processes of their own."""
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

pytest.importorskip("pyspark")
pa = pytest.importorskip("pyarrow")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    if os.environ.get("QUORVALENT_REQUIRE_OPTIONAL"):
        raise RuntimeError("the Spark tests need Java (openjdk-17-jre-headless)")
    pytest.skip("needs Java", allow_module_level=True)

from quorvalent_index import HashIndex, distributed  # noqa: E402
from quorvalent_index import spark as adapter  # noqa: E402

# PySpark's own notice about pandas 3, which these tests do not use.
pytestmark = pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")


def session(master):
    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    from pyspark.sql import SparkSession
    spark = (SparkSession.builder.master(master).appName("quorvalent_index tests")
             .config("spark.driver.host", "127.0.0.1").config("spark.ui.enabled", "false")
             .config("spark.sql.shuffle.partitions", "4").config("spark.python.worker.reuse", "true")
             .getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    return spark


@pytest.fixture(autouse=True)
def through_the_buckets(monkeypatch):
    """Inputs as small as these are joined in one task; the tests send them through the
    buckets, as large inputs go, unless a test says otherwise."""
    monkeypatch.setattr(adapter, "ONE_TASK_SHARE", 0.0)


@pytest.fixture(scope="module")
def spark():
    spark = session("local[2]")
    yield spark
    spark.stop()


def frame(spark, values, ids, kind, partitions=None):
    from pyspark.sql import types as T
    hash_type = {"text": T.StringType(), "bytes": T.BinaryType(), "long": T.LongType()}[kind]
    schema = T.StructType([T.StructField("id", T.LongType()), T.StructField("h", hash_type),
                           T.StructField("prio", T.DoubleType())])
    rng = np.random.default_rng(len(values))
    rows = [(int(i), v, float(rng.integers(0, 3))) for i, v in zip(ids, values)]
    df = spark.createDataFrame(rows, schema)
    return df.repartition(partitions) if partitions else df


def data(kind, bits, n, seed):
    """Hashes of one kind (random, clustered, repeated) as hex text."""
    rng = np.random.default_rng(seed)
    digits = (bits + 3) // 4
    top = 1 << min(bits, 62)
    base = [int(x) for x in rng.integers(0, top, size=n)]
    if kind == "clustered":
        centres = base[:5]
        base = [centres[k % 5] ^ (1 << int(rng.integers(0, min(bits, 62)))) ^ (1 << int(rng.integers(0, min(bits, 62))))
                for k in range(n)]
    elif kind == "repeated":
        base = [base[0] if k % 3 else base[k] for k in range(n)]
    elif kind == "skewed":
        # Half the rows share their top bits and a tenth are one hash: the buckets of the first
        # blocks are heavy, with distinct codes in them as well as copies.
        low = 1 << max(1, min(bits, 62) - 16)
        base = [base[0] if k % 10 == 0 else (v % low if k % 2 else v) for k, v in enumerate(base)]
    return [f"{v:0{digits}x}" for v in base]


def encode(hashes, kind):
    if kind == "text":
        return hashes
    if kind == "bytes":
        return [bytes.fromhex(h if len(h) % 2 == 0 else "0" + h) for h in hashes]
    return [int(h, 16) - (1 << 64) if int(h, 16) >= 1 << 63 else int(h, 16) for h in hashes]


CASES = [  # (data, bits, column kind, radius, partitions)
    ("random", 64, "text", 0, None), ("clustered", 64, "text", 4, None), ("repeated", 64, "long", 3, 1),
    ("clustered", 64, "bytes", 12, 40), ("clustered", 256, "text", 10, None), ("random", 256, "bytes", 0, None),
    ("clustered", 37, "text", 6, 3), ("repeated", 20, "text", 20, None),
]


@pytest.mark.parametrize("kind, bits, column, r, partitions", CASES)
def test_pairs_and_groups_are_those_of_the_index(spark, kind, bits, column, r, partitions):
    from quorvalent_index.spark import near_duplicate_groups, near_duplicate_pairs
    n = 30 if partitions == 40 else 150
    hashes = data(kind, bits, n, seed=bits + r)
    ids = [int(x) for x in np.random.default_rng(r).permutation(n) * 11 - 400]
    df = frame(spark, encode(hashes, column), ids, column, partitions)
    index = HashIndex(hashes, ids=ids)
    width = None if column != "long" else bits
    got = sorted(tuple(row) for row in near_duplicate_pairs(df, "h", r, id_col="id", bits=width).collect())
    i, j, d = index.pairs(r)
    assert got == list(zip(i.tolist(), j.tolist(), d.tolist()))
    prio = [row["prio"] for row in sorted(df.select("id", "prio").collect(), key=lambda row: ids.index(row["id"]))]
    for method in ("components", "star"):
        groups = near_duplicate_groups(df, "h", r, id_col="id", method=method, priority_col="prio", bits=width)
        rows = sorted(tuple(row) for row in groups.collect())
        want_ids, want_reps = index.groups(r, method, priority=np.array(prio))
        assert rows == list(zip(want_ids.tolist(), want_reps.tolist())), method
        if kind in ("random", "repeated"):
            # Without priorities (and with no edges at all, for random codes at r = 0).
            rows = sorted(tuple(row) for row in near_duplicate_groups(df, "h", r, id_col="id", method=method, bits=width).collect())
            want_ids, want_reps = index.groups(r, method)
            assert rows == list(zip(want_ids.tolist(), want_reps.tolist())), (method, "no priority")


@pytest.mark.parametrize("bits, r, frequent", [(64, 3, 10_000), (256, 8, 10_000), (64, 3, 0)])
def test_heavy_buckets_are_cut_and_still_give_every_pair_once(spark, monkeypatch, bits, r, frequent):
    from quorvalent_index.spark import near_duplicate_groups, near_duplicate_pairs
    # Groups take the copies of the hashes the sample sees often out of the join; without
    # any, the copies meet in the cut buckets and are collapsed there.
    monkeypatch.setattr(adapter, "FREQUENT_CODES", frequent)
    hashes = data("skewed", bits, 300, seed=5)
    ids = list(range(7, 7 + 3 * 300, 3))
    df = frame(spark, hashes, ids, "text", 3)
    index = HashIndex(hashes, ids=ids)
    i, j, d = index.pairs(r)
    # At most 60 rows a task: buckets of more than 30 are cut (and there are such buckets).
    codes, _ = adapter.codes_frame(df, "h", "id")
    heavy, bucket_rows, rows, _ = adapter._heavy_buckets(lambda fraction: codes, distributed.BlockPlan(bits, r), 30)
    assert bucket_rows == 300 * (r + 1) and rows == 300
    assert heavy and all(chunks >= 2 for chunks in heavy.values())
    # The keys Spark found are those the rows are cut by.
    held = codes.toArrow()
    _, _, parts, _, _ = distributed.block_rows(adapter._codes_from(held.column("code"), bits), distributed.BlockPlan(bits, r),
                                               held.column("id").to_numpy(), heavy)
    assert (parts > 0).any()
    got = sorted(tuple(row) for row in near_duplicate_pairs(df, "h", r, id_col="id", rows_per_task=60).collect())
    assert got == list(zip(i.tolist(), j.tolist(), d.tolist()))
    groups = near_duplicate_groups(df, "h", r, id_col="id", rows_per_task=60)
    want_ids, want_reps = index.groups(r)
    assert sorted(tuple(row) for row in groups.collect()) == list(zip(want_ids.tolist(), want_reps.tolist()))


@pytest.mark.parametrize("kind, bits, column, r", [("clustered", 64, "text", 4), ("repeated", 256, "bytes", 10)])
def test_rows_one_task_holds_are_joined_there(spark, monkeypatch, kind, bits, column, r):
    from quorvalent_index.spark import near_duplicate_groups, near_duplicate_pairs
    monkeypatch.setattr(adapter, "ONE_TASK_SHARE", 1.0)
    hashes = data(kind, bits, 200, seed=r)
    ids = [int(x) for x in np.random.default_rng(r).permutation(200) * 3 - 50]
    df = frame(spark, encode(hashes, column), ids, column, 5)
    index = HashIndex(hashes, ids=ids)
    pairs = near_duplicate_pairs(df, "h", r, id_col="id")
    assert pairs.rdd.getNumPartitions() == 1, "joined in one task"
    i, j, d = index.pairs(r)
    assert sorted(tuple(row) for row in pairs.collect()) == list(zip(i.tolist(), j.tolist(), d.tolist()))
    # Past rows_per_task, the buckets again.
    assert near_duplicate_pairs(df, "h", r, id_col="id", rows_per_task=150).rdd.getNumPartitions() > 1
    groups = near_duplicate_groups(df, "h", r, id_col="id")
    want_ids, want_reps = index.groups(r)
    assert sorted(tuple(row) for row in groups.collect()) == list(zip(want_ids.tolist(), want_reps.tolist()))


def test_components_past_the_driver_bound_are_found_on_the_executors(spark):
    from quorvalent_index.spark import near_duplicate_groups
    rng = np.random.default_rng(11)
    # Long chains (each hash one bit from the one before it, in shuffled order), so that the
    # distributed rounds have far to go, beside clusters and copies.
    chains = []
    for _ in range(4):
        v = int(rng.integers(0, 2**62))
        for _ in range(40):
            v ^= 1 << int(rng.integers(0, 64))
            chains.append(f"{v:016x}")
    hashes = chains + data("clustered", 64, 100, seed=12) + data("repeated", 64, 60, seed=13)
    order = rng.permutation(len(hashes))
    hashes = [hashes[k] for k in order]
    ids = [int(x) for x in rng.permutation(len(hashes)) * 5 + 100]
    df = frame(spark, hashes, ids, "text", 3)
    index = HashIndex(hashes, ids=ids)
    for r in (1, 4):
        groups = near_duplicate_groups(df, "h", r, id_col="id", priority_col="prio", max_driver_edges=0)
        prio = dict(df.select("id", "prio").collect())
        want_ids, want_reps = index.groups(r, priority=np.array([prio[i] for i in ids]))
        assert sorted(tuple(row) for row in groups.collect()) == list(zip(want_ids.tolist(), want_reps.tolist())), r
    with pytest.raises(ValueError, match="method='star' runs on the driver"):
        near_duplicate_groups(df, "h", 4, id_col="id", method="star", max_driver_edges=10)


def test_groups_without_ids_number_the_rows_once(spark):
    """Without an id column the rows are numbered by Spark; every pass of the groups must see
    the same numbers, on both paths that unite the edges."""
    from quorvalent_index.spark import near_duplicate_groups
    hashes = data("clustered", 64, 120, seed=21) + data("repeated", 64, 60, seed=22)
    df = frame(spark, hashes, range(len(hashes)), "text", 4).select("h", "prio")
    index = HashIndex(hashes)
    for bound in (10**9, 0):
        rows = near_duplicate_groups(df, "h", 3, max_driver_edges=bound).collect()
        assert len({row["id"] for row in rows}) == len(hashes)
        groups: dict[int, list[int]] = {}
        for row in rows:
            groups.setdefault(row["representative"], []).append(row["id"])
        assert all(rep == min(members) for rep, members in groups.items()), bound
        _, want = index.groups(3)
        assert sorted(len(m) for m in groups.values()) == sorted(np.unique(want, return_counts=True)[1].tolist()), bound


def test_queries_against_a_corpus_and_the_column_function(spark, monkeypatch):
    from pyspark.sql import functions as F
    from quorvalent_index.spark import hamming_distance, near_duplicates_of
    corpus_hashes = data("clustered", 64, 200, seed=3)
    query_hashes = corpus_hashes[:20] + data("random", 64, 10, seed=4)
    corpus = frame(spark, corpus_hashes, list(range(1000, 1200)), "text", 5)
    queries = frame(spark, query_hashes, list(range(30)), "text")
    i, j, d = HashIndex(query_hashes).pairs(8, other=HashIndex(corpus_hashes))
    for slice_rows in (None, 7):  # the corpus joined a partition at once, and in slices of 7 rows
        if slice_rows:
            monkeypatch.setattr(adapter, "CORPUS_SLICE", slice_rows)
        got = sorted(tuple(row) for row in near_duplicates_of(queries, corpus, "h", 8, id_col="id").collect())
        assert got == sorted(zip(i.tolist(), (j + 1000).tolist(), d.tolist()))
    # 256-bit codes, whose slices hold a quarter of the rows: 7 // 4, one row at a time.
    wide_corpus = data("clustered", 256, 60, seed=5)
    wide_queries = wide_corpus[:5] + data("random", 256, 3, seed=6)
    i, j, d = HashIndex(wide_queries).pairs(40, other=HashIndex(wide_corpus))
    assert len(i) > len(wide_queries), "the clusters must give hits beyond each query's own"
    got = sorted(tuple(row) for row in near_duplicates_of(frame(spark, wide_queries, list(range(8)), "text"),
                                                          frame(spark, wide_corpus, list(range(500, 560)), "text", 3),
                                                          "h", 40, id_col="id").collect())
    assert got == sorted(zip(i.tolist(), (j + 500).tolist(), d.tolist()))
    # 37-bit codes: one word narrower than the word, which the slices' indexes borrow as is.
    odd_corpus = data("clustered", 37, 80, seed=7)
    odd_queries = odd_corpus[:6] + data("random", 37, 2, seed=8)
    i, j, d = HashIndex(odd_queries, bits=37).pairs(6, other=HashIndex(odd_corpus, bits=37))
    assert len(i) > len(odd_queries)
    got = sorted(tuple(row) for row in near_duplicates_of(frame(spark, odd_queries, list(range(8)), "text"),
                                                          frame(spark, odd_corpus, list(range(700, 780)), "text", 3),
                                                          "h", 6, id_col="id", bits=37).collect())
    assert got == sorted(zip(i.tolist(), (j + 700).tolist(), d.tolist()))
    pairs = spark.createDataFrame([("ff00", "0f00"), ("abcd", None), ("0000", "ffff")], ["a", "b"])
    assert [row.d for row in pairs.select(hamming_distance("a", "b").alias("d")).collect()] == [4, None, 16]
    assert pairs.select(hamming_distance(F.col("a"), F.lit("ffff")).alias("d")).collect()[0].d == 8


def test_bad_input_is_refused_before_a_job_or_named_by_row(spark):
    from pyspark.sql import types as T
    from quorvalent_index.spark import near_duplicate_groups, near_duplicate_pairs, near_duplicates_of
    df = frame(spark, ["ff00", "ff01", "fz00"], [5, 6, 7], "text")
    for call, fragment in [
        (lambda: near_duplicate_pairs(df, "nope", 1), "no column 'nope'"),
        (lambda: near_duplicate_pairs(df, "prio", 1), "must hold hex text (string), big-endian bytes (binary) or 64-bit codes"),
        (lambda: near_duplicate_pairs(df, "h", -1), "max_dist must be an int >= 0"),
        (lambda: near_duplicate_pairs(df, "h", 1, id_col="h"), "must hold integers (long)"),
        (lambda: near_duplicate_groups(df, "h", 1, method="chain"), "method must be 'components' or 'star'"),
        (lambda: near_duplicate_groups(df, "h", 1, priority_col="h"), "must hold numbers"),
        (lambda: near_duplicate_pairs(df, "h", 1, rows_per_task=1), "rows_per_task must be an int >= 2"),
        (lambda: near_duplicates_of(df, frame(spark, [b"\xff\x00"], [1], "bytes"), "h", 1), "different kinds of hashes"),
    ]:
        with pytest.raises(ValueError) as info:
            call()
        assert fragment in str(info.value)
    # Found inside a task: the job fails, and the message names the row's id and the reason.
    with pytest.raises(Exception) as info:
        near_duplicate_pairs(df, "h", 1, id_col="id").collect()
    assert "the hash of id 7 has an invalid character 'z' at offset 1" in str(info.value)
    nulls = spark.createDataFrame([(1, "ff00"), (2, None)], T.StructType([T.StructField("id", T.LongType()),
                                                                         T.StructField("h", T.StringType())]))
    with pytest.raises(Exception) as info:
        near_duplicate_pairs(nulls, "h", 1, id_col="id").collect()
    assert "the hash of id 2 is null" in str(info.value)
    mixed = frame(spark, ["ff00", "ff011"], [1, 2], "text")
    with pytest.raises(Exception) as info:
        near_duplicate_pairs(mixed, "h", 1, id_col="id").collect()
    assert "the hash of id 2 has 5 digits, but the index holds 4-digit hashes" in str(info.value)


def test_on_a_local_cluster_the_executors_reach_the_extension_module(tmp_path):
    # A cluster of two worker processes of one core each, started by Spark itself: the code
    # and the compiled module must reach executors that are not the driver.
    script = tmp_path / "cluster.py"
    script.write_text(textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_spark import session, data
        from quorvalent_index import HashIndex
        from quorvalent_index import spark as adapter
        from quorvalent_index.spark import near_duplicate_pairs
        spark = session("local-cluster[2,1,1024]")
        hashes = data("clustered", 64, 400, seed=9)
        df = spark.createDataFrame(list(enumerate(hashes)), ["id", "h"]).repartition(4)
        i, j, d = HashIndex(hashes).pairs(6)
        for share in (1.0, 0.0):  # in one task, and through the buckets
            adapter.ONE_TASK_SHARE = share
            got = sorted(tuple(row) for row in near_duplicate_pairs(df, "h", 6, id_col="id").collect())
            assert got == list(zip(i.tolist(), j.tolist(), d.tolist())), ("pairs differ", share)
        pids = df.rdd.mapPartitions(lambda rows: [os.getpid()]).collect()
        assert os.getpid() not in pids, "the tasks ran in the driver"
        print("cluster ok", len(got))
        spark.stop()
    """))
    env = dict(os.environ, PYSPARK_PYTHON=sys.executable)
    result = subprocess.run([sys.executable, "-W", "ignore::FutureWarning", str(script)], capture_output=True, text=True,
                            timeout=600, env=env)
    assert result.returncode == 0 and "cluster ok" in result.stdout, result.stderr[-3000:]
