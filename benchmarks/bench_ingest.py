"""Times building an index from every kind of column against the peers that parse the same text,
in one run, and prints the ratios.

    python benchmarks/bench_ingest.py [--n 10000000] [--quick]

Peers: numpy's one-liner np.frombuffer(bytes.fromhex("".join(hashes)), ">u8") on a list of str,
the same on an Arrow array's data buffer, and Polars' own str.decode("hex"). Every build of ours
includes the tables. "One thread" and "two threads" are set with the process's CPU affinity,
which the index reads (os.sched_getaffinity), so every thread count is the index's own choice.

Needs: pip install numpy pyarrow polars
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import polars as pl

from quorvalent_index import HashIndex, pack_codes

from bench import cpu_name  # the benchmark of quorvalent, beside this file


def best_of(f, repeat=3):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


class cpus:
    """Runs the body on the first `count` CPUs this process may use."""

    def __init__(self, count):
        self.count = count

    def __enter__(self):
        self.saved = os.sched_getaffinity(0)
        os.sched_setaffinity(0, sorted(self.saved)[:self.count])

    def __exit__(self, *exc):
        os.sched_setaffinity(0, self.saved)


def line(what, ours, peer_name, peer, target):
    print(f"{what:<58} {ours * 1e3:9.1f} ms | {peer_name} {peer * 1e3:9.1f} ms | ratio {ours / peer:5.2f} (target <= {target})",
          flush=True)


def run(n, quick):
    threads = len(os.sched_getaffinity(0))
    print(f"CPU: {cpu_name()}; {threads} CPUs; numpy {np.__version__}, pyarrow {pa.__version__}, polars {pl.__version__}\n")
    rng = np.random.default_rng(1)
    codes = rng.integers(0, 2**64 - 1, size=n, dtype=np.uint64, endpoint=True)
    for size in sorted({min(1_000_000, n), n}):
        hashes = [f"{c:016x}" for c in codes[:size].tolist()]
        numpy_route = best_of(lambda: np.frombuffer(bytes.fromhex("".join(hashes)), ">u8"))
        ours = best_of(lambda: HashIndex(hashes))
        line(f"HashIndex(list of {size:,} str), {threads} threads", ours, "numpy fromhex", numpy_route,
             "1.0" if size <= 1_000_000 else "1.5")
    column = pa.array(hashes)
    data = column.buffers()[2]
    arrow_numpy = best_of(lambda: np.frombuffer(bytes.fromhex(data.to_pybytes().decode("ascii")), ">u8"))
    line(f"HashIndex(pyarrow string array of {n:,})", best_of(lambda: HashIndex(column)), "numpy on its buffer", arrow_numpy, "1.0")
    series = pl.Series(hashes)
    line(f"HashIndex(Polars Series of {n:,})", best_of(lambda: HashIndex(series)), "Polars str.decode", best_of(lambda: series.str.decode("hex")), "1.0")

    # Parsing alone, one thread.
    with cpus(1):
        parse = best_of(lambda: pack_codes(column))
    print(f"hex parsing alone, Arrow input, one thread: {16 * n / parse / 1e9:.2f} GB/s of digits "
          f"({parse * 1e3:.1f} ms; target >= 2 GB/s)")
    if threads >= 2:
        with cpus(1):
            one = best_of(lambda: HashIndex(column), 2)
        with cpus(2):
            two = best_of(lambda: HashIndex(column), 2)
        line(f"build of {n:,} on 2 threads against 1", two, "1 thread", one, "0.6")
    del hashes, series

    if not quick:
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "hashes.parquet")
            pq.write_table(pa.table({"phash": column}), path)
            read = best_of(lambda: pq.read_table(path, columns=["phash"]), 1)
            index = HashIndex(column)
            joined = best_of(lambda: index.pairs(4), 1)
            start = time.perf_counter()
            subprocess.run([sys.executable, "-m", "quorvalent_index", "pairs", path, "--column", "phash", "--max-dist", "4",
                            "--output", os.path.join(folder, "pairs.parquet")], check=True, capture_output=True)
            cli = time.perf_counter() - start
            line(f"quorvalent-index pairs on {n:,} rows of Parquet, r = 4", cli, "read_table + pairs(4)", read + joined, "2.0")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--quick", action="store_true", help="N = 1,000,000 and no command-line run")
    args = parser.parse_args()
    run(1_000_000 if args.quick else args.n, args.quick)


if __name__ == "__main__":
    sys.exit(main())
