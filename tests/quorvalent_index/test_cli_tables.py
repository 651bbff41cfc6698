"""The command line on tables: Parquet, Feather and CSV in, Parquet, CSV and JSON lines out, and
a clear word when pyarrow is not installed."""
import json
import subprocess
import sys

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.csv  # noqa: E402
import pyarrow.feather  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import index_model as model  # noqa: E402

HASHES = ["ff00ff00", "ff00ff01", "12345678", "FF00FF03", "12345679", "00000000"]
IDS = [70, 10, 30, 50, 20, 60]


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvalent_index", *map(str, args)], capture_output=True, text=True,
                          **kwargs)


@pytest.fixture(params=["parquet", "feather", "csv"])
def table_file(request, tmp_path):
    table = pa.table({"name": [f"img{k}.jpg" for k in range(6)], "phash": HASHES, "id": IDS})
    path = tmp_path / f"hashes.{request.param}"
    if request.param == "parquet":
        pq.write_table(table, path)
    elif request.param == "feather":
        pa.feather.write_feather(table, path)
    else:
        pa.csv.write_csv(table, path)
    return path


def test_pairs_name_rows_or_ids(table_file):
    rows = run("pairs", table_file, "--column", "phash", "--max-dist", 2)
    assert rows.returncode == 0, rows.stderr
    assert rows.stdout.splitlines() == ["row_a,row_b,distance"] + [f"{i},{j},{d}" for i, j, d in model.pairs(HASHES, 2)]
    named = run("pairs", table_file, "--column", "phash", "--id-column", "id", "--max-dist", 2, "--format", "jsonl")
    want = sorted((min(IDS[i], IDS[j]), max(IDS[i], IDS[j]), d) for i, j, d in model.pairs(HASHES, 2))
    assert [tuple(json.loads(x).values()) for x in named.stdout.splitlines()] == want


def test_groups_and_dedup_write_parquet(table_file, tmp_path):
    out = tmp_path / "groups.parquet"
    result = run("groups", table_file, "--column", "phash", "--id-column", "id", "--max-dist", 2, "--output", out)
    assert result.returncode == 0, result.stderr
    groups = pq.read_table(out).to_pylist()
    # 10, 50 and 70 are within 2 bits of one another: the lowest id represents them; 20 and 30.
    assert groups == [{"id": 30, "representative_id": 20, "distance": 1}, {"id": 50, "representative_id": 10, "distance": 1},
                      {"id": 70, "representative_id": 10, "distance": 1}]
    kept = tmp_path / "kept.parquet"
    result = run("dedup", table_file, "--column", "phash", "--id-column", "id", "--max-dist", 2, "--output", kept)
    assert result.returncode == 0, result.stderr
    assert pq.read_table(kept).column("id").to_pylist() == [10, 20, 60]  # the kept rows, whole, in file order
    streamed = tmp_path / "pairs.parquet"
    assert run("pairs", table_file, "--column", "phash", "--max-dist", 0, "--output", streamed).returncode == 0
    assert pq.read_table(streamed).num_rows == 0 and pq.read_table(streamed).column_names == ["row_a", "row_b", "distance"]


def test_bad_tables_are_reported_in_one_line(tmp_path):
    nulls = tmp_path / "nulls.parquet"
    pq.write_table(pa.table({"phash": ["ff00", None, "0f0f"]}), nulls)
    cases = [
        (("pairs", nulls, "--max-dist", 1), "column 'phash': row 1: hash is null"),
        (("pairs", nulls, "--column", "nope", "--max-dist", 1), "has no column 'nope' (its columns: phash)"),
    ]
    floats = tmp_path / "floats.parquet"
    pq.write_table(pa.table({"phash": [1.5, 2.5]}), floats)
    cases.append((("pairs", floats, "--max-dist", 1), "got a column of Arrow format 'g'"))
    both = tmp_path / "both.parquet"
    pq.write_table(pa.table({"a": ["ff"], "b": ["ee"]}), both)
    cases.append((("pairs", both, "--max-dist", 1), "has the columns a, b: name the one of hashes with --column"))
    ints = tmp_path / "ints.parquet"
    pq.write_table(pa.table({"code": pa.array([1, 3], type=pa.int64())}), ints)
    cases.append((("pairs", ints, "--max-dist", 1), "needs the index's bits"))
    bad_csv = tmp_path / "bad.csv"
    bad_csv.write_text("phash\nff00\nfzff\n")
    cases.append((("pairs", bad_csv, "--max-dist", 1), "row 1: hash has an invalid character 'z' at offset 1"))
    for args, fragment in cases:
        result = run(*args)
        assert result.returncode == 2 and fragment in result.stderr and "Traceback" not in result.stderr, result.stderr
    # 64-bit integers, as Spark's LongType stores them, with --bits.
    assert run("pairs", ints, "--bits", 64, "--max-dist", 1).stdout.splitlines() == ["row_a,row_b,distance", "0,1,1"]


def test_without_pyarrow_a_table_asks_for_the_extra(tmp_path, table_file):
    hidden = ("import runpy, sys; sys.modules['pyarrow'] = None; sys.argv = ['quorvalent-index'] + sys.argv[1:]; "
              "runpy.run_module('quorvalent_index', run_name='__main__')")
    result = subprocess.run([sys.executable, "-c", hidden, "pairs", str(table_file), "--max-dist", "1"],
                            capture_output=True, text=True)
    assert result.returncode == 2
    assert result.stderr.strip().splitlines()[-1].endswith('needs pyarrow: pip install "quorvalent[arrow]"')
    text = tmp_path / "plain.txt"
    text.write_text("ff00\nff01\n")
    plain = subprocess.run([sys.executable, "-c", hidden, "pairs", str(text), "--max-dist", "1"], capture_output=True,
                           text=True)
    assert plain.returncode == 0 and plain.stdout.splitlines()[1:] == ["1,2,1"]
