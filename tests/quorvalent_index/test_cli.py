"""python -m quorvalent_index: true line numbers, both formats, gzip, and bad input."""
import gzip
import json
import os
import subprocess
import sys

import pytest

import index_model as model

HASHES = ["ff00ff00", "ff00ff01", "12345678", "FF00FF03", "12345679", "00000000"]


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvalent_index", *map(str, args)],
                          capture_output=True, text=True, **kwargs)


@pytest.fixture
def hash_file(tmp_path):
    # Comments and blank lines count as lines: reports must name the file's own numbers.
    lines = ["# sample", "", HASHES[0], HASHES[1], "   ", "# more", HASHES[2], HASHES[3], "",
             HASHES[4], HASHES[5]]
    path = tmp_path / "hashes.txt"
    path.write_text("\n".join(lines) + "\n")
    return path, [3, 4, 7, 8, 10, 11]


def test_pairs_as_csv_name_the_file_lines(hash_file):
    path, line_of = hash_file
    result = run("pairs", path, "--max-dist", 2)
    assert result.returncode == 0, result.stderr
    rows = result.stdout.splitlines()
    assert rows[0] == "line_a,line_b,distance"
    expected = [f"{line_of[i]},{line_of[j]},{d}" for i, j, d in model.pairs(HASHES, 2)]
    assert rows[1:] == expected and len(expected) == 4
    assert "4 pairs within 2 bits among 6 hashes" in result.stderr


def test_pairs_as_jsonl_from_a_gzip_file(tmp_path, hash_file):
    path, line_of = hash_file
    packed = tmp_path / "hashes.txt.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    result = run("pairs", packed, "--max-dist", 1, "--format", "jsonl", "--threads", 2)
    assert result.returncode == 0, result.stderr
    got = [json.loads(line) for line in result.stdout.splitlines()]
    assert got == [{"line_a": line_of[i], "line_b": line_of[j], "distance": d}
                   for i, j, d in model.pairs(HASHES, 1)]


def test_query_by_radius_and_by_k(hash_file):
    path, line_of = hash_file
    result = run("query", path, "ff00ff00", "--max-dist", 2)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == [
        f"{line_of[i]},{HASHES[i].lower()},{d}" for i, d in model.within(HASHES, "ff00ff00", 2)]
    result = run("query", path, "12345678", "-k", 2, "--format", "jsonl")
    assert [json.loads(x)["line"] for x in result.stdout.splitlines()] == [line_of[2], line_of[4]]


@pytest.mark.parametrize("content, fragment", [
    ("ff00\nff0\n", "line 2: hash has 3 digits"),
    ("# c\n\nff00\nfz00\n", "line 4: hash has an invalid character 'z'"),
])
def test_bad_files_report_line_and_reason(tmp_path, content, fragment):
    path = tmp_path / "bad.txt"
    path.write_text(content)
    result = run("pairs", path, "--max-dist", 1)
    assert result.returncode == 2
    assert str(path) in result.stderr and fragment in result.stderr
    assert "Traceback" not in result.stderr


def test_other_failures_exit_with_status_2(tmp_path, hash_file):
    path, _ = hash_file
    missing = run("pairs", tmp_path / "missing.txt", "--max-dist", 1)
    assert missing.returncode == 2 and "missing.txt" in missing.stderr
    bad_query = run("query", path, "xyz", "--max-dist", 1)
    assert bad_query.returncode == 2 and "HASH 'xyz'" in bad_query.stderr
    negative = run("pairs", path, "--max-dist", -1)
    assert negative.returncode == 2
    binary = tmp_path / "binary.txt"
    binary.write_bytes(b"\xff\xfe\x00")
    undecodable = run("pairs", binary, "--max-dist", 1)
    assert undecodable.returncode == 2 and "not UTF-8" in undecodable.stderr


def test_a_damaged_gzip_file_and_a_huge_thread_count_are_reported_without_a_traceback(tmp_path, hash_file):
    path, line_of = hash_file
    packed = bytearray(gzip.compress(path.read_bytes() * 50))
    packed[len(packed) // 2] ^= 0xFF  # inside the deflate stream
    damaged = tmp_path / "damaged.txt.gz"
    damaged.write_bytes(bytes(packed))
    result = run("pairs", damaged, "--max-dist", 1)
    assert result.returncode == 2 and result.stderr.startswith("error:") and "Traceback" not in result.stderr
    many = run("pairs", path, "--max-dist", 2, "--threads", "99999999999999999999")
    assert many.returncode == 0, many.stderr
    assert many.stdout.splitlines()[1:] == [f"{line_of[i]},{line_of[j]},{d}" for i, j, d in model.pairs(HASHES, 2)]


def test_lines_are_split_at_line_feeds_only(tmp_path):
    # A lone carriage return (an old Mac line end) does not end a line: the hash after it sits in
    # a comment line, and line numbers stay those that sed counts. CRLF line ends are fine.
    content = b"# note\rffffffff\r\n00000000\r\n\n\t00000001  \n"
    path = tmp_path / "hashes.txt"
    path.write_bytes(content)
    result = run("pairs", path, "--max-dist", 1)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["line_a,line_b,distance", "2,4,1"]
    assert "among 2 hashes" in result.stderr


@pytest.mark.parametrize("space, shown", [("\f", "'\\x0c'"), ("\xa0", "'\\xa0'"), ("\u2028", "'\\u2028'"),
                                          ("\r", "'\\r'")])
def test_other_whitespace_around_a_hash_is_an_invalid_character(tmp_path, space, shown):
    path = tmp_path / "hashes.txt"
    path.write_text(f"00000000\n{space}fffffff\n", encoding="utf-8", newline="")
    result = run("pairs", path, "--max-dist", 1)
    assert result.returncode == 2, result.stdout
    assert f"line 2: hash has an invalid character {shown}" in result.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux") or "asan" in os.environ.get("LD_PRELOAD", "")
                    or bool(os.environ.get("QUORVALENT_EMULATED")),
                    reason="reads the child's peak memory, which a sanitizer's quarantine or an emulator inflates")
def test_pairs_of_many_identical_hashes_stream_in_bounded_memory(tmp_path):
    path = tmp_path / "same.txt"
    path.write_text("0123456789abcdef\n" * 10_000)
    measure = ("import resource, subprocess, sys; "
               "r = subprocess.run([sys.executable, '-m', 'quorvalent_index', 'pairs', sys.argv[1], '--max-dist', '0'], "
               "stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True); "
               "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss); print(r.stderr)")
    result = subprocess.run([sys.executable, "-c", measure, str(path)], capture_output=True, text=True, timeout=600)
    code, peak_kib = map(int, result.stdout.split("\n", 1)[0].split())
    assert code == 0, result.stdout
    assert "49995000 pairs within 0 bits among 10000 hashes" in result.stdout
    # 49,995,000 pairs held at once would take over a gigabyte.
    assert peak_kib < 200 * 1024, f"peak {peak_kib / 1024:.0f} MiB"


def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path):
    path = tmp_path / "same.txt"
    path.write_text("0123456789abcdef\n" * 3000)
    process = subprocess.Popen([sys.executable, "-m", "quorvalent_index", "pairs", str(path), "--max-dist", "0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = [process.stdout.readline() for _ in range(3)]
    process.stdout.close()
    _, err = process.communicate(timeout=120)
    assert first[0] == b"line_a,line_b,distance\n" and first[1] == b"1,2,0\n"
    assert process.returncode == 0 and b"Traceback" not in err


def test_groups_dedup_and_sweep_name_the_file_lines(hash_file):
    path, line_of = hash_file
    # HASHES: 0, 1 and 3 are within 2 bits of one another; 2 and 4 differ in one bit.
    result = run("groups", path, "--max-dist", 2)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["line,representative_line,distance",
                                          f"{line_of[1]},{line_of[0]},1", f"{line_of[3]},{line_of[0]},2",
                                          f"{line_of[4]},{line_of[2]},1"]
    kept = run("dedup", path, "--max-dist", 2)
    assert kept.returncode == 0, kept.stderr
    # The kept lines exactly as written, in file order: the first line of each group.
    assert kept.stdout.splitlines() == [HASHES[0], HASHES[2], HASHES[5]]
    assert "kept 3 of 6 hashes" in kept.stderr
    star = run("groups", path, "--max-dist", 1, "--method", "star", "--format", "jsonl")
    assert [json.loads(line) for line in star.stdout.splitlines()] == [
        {"line": line_of[1], "representative_line": line_of[0], "distance": 1},
        {"line": line_of[4], "representative_line": line_of[2], "distance": 1}]
    table = run("sweep", path, "--radii", "2,0,1")
    assert table.stdout.splitlines() == ["radius,pairs,groups,dropped,largest", "2,4,2,3,3", "0,0,0,0,1", "1,3,2,3,3"]


def test_pairs_against_another_file_name_its_lines(tmp_path, hash_file):
    path, line_of = hash_file
    other = tmp_path / "other.txt"
    other.write_text("# other\n12345670\n\nff00ff00\n")
    result = run("pairs", path, "--other", other, "--max-dist", 1)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["line_a,line_b,distance", f"{line_of[0]},4,0", f"{line_of[1]},4,1",
                                          f"{line_of[2]},2,1"]
    wide = tmp_path / "wide.txt"
    wide.write_text("0123456789abcdef0123\n")
    mismatch = run("pairs", path, "--other", wide, "--max-dist", 1)
    assert mismatch.returncode == 2 and "80-bit hashes" in mismatch.stderr


def test_a_chained_group_warns_and_the_console_script_runs_the_same_command_line(tmp_path):
    # A chain: each hash one bit from the next, so all join one component at radius 1.
    chain = [f"{(1 << k) - 1:016x}" for k in range(64)]
    path = tmp_path / "chain.txt"
    path.write_text("\n".join(chain) + "\n")
    result = run("dedup", path, "--max-dist", 1)
    assert result.stdout.splitlines() == [chain[0]]
    assert "warning: the largest group holds 64 of 64 hashes" in result.stderr and "--method star" in result.stderr
    star = run("dedup", path, "--max-dist", 1, "--method", "star")
    assert "warning" not in star.stderr and len(star.stdout.splitlines()) == 32
    script = os.path.join(os.path.dirname(sys.executable), "quorvalent-index")
    if not os.path.exists(script) and os.environ.get("QUORVALENT_EMULATED"):
        return  # the emulated run puts the modules on a path; pip installs no scripts there
    same = subprocess.run([script, "dedup", str(path), "--max-dist", "1"], capture_output=True, text=True)
    assert same.returncode == 0 and same.stdout == result.stdout
    assert "usage: quorvalent-index" in subprocess.run([script], capture_output=True, text=True).stderr
