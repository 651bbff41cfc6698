"""Times quorvalent_index against faiss-cpu, numpy, simsimd and pybktree, in one run.

    python benchmarks/bench_index.py [--quick] [--large] [--plot docs/img/index.png]

Data: N random 64-bit codes, 1% of them planted near-duplicates (groups of ten copies of a
base code, each copy 1 to 8 random bits away from it). Every figure is single-threaded unless
it says otherwise, and exact: faiss's range search counts distances strictly below its radius,
so it is asked for r + 1, and its multi-hash index is exact only with nflip = r // nhash.
Pair counts are checked against brute force (numpy) in the same run.

Needs: pip install numpy faiss-cpu simsimd pybktree matplotlib
"""
import argparse
import os
import platform
import resource
import statistics
import sys
import threading
import time
from datetime import date

import numpy as np

import quorvalent
import quorvalent_index
from quorvalent_index import HashIndex

from bench import cpu_name  # the benchmark of quorvalent, beside this file

try:
    import faiss
except ImportError:  # the peers are optional; their rows are left out
    faiss = None
try:
    import simsimd
except ImportError:
    simsimd = None
try:
    import pybktree
except ImportError:
    pybktree = None


def make_codes(n, seed=1, words=1):
    """n codes of 64 * words bits: random, with 1% planted as ten copies of n / 1000 bases."""
    rng = np.random.default_rng(seed)
    codes = rng.integers(0, 2**64 - 1, size=(n, words), dtype=np.uint64, endpoint=True)
    groups = max(1, n // 1000)
    slots = rng.permutation(n)[: groups * 11].reshape(groups, 11)
    for base, *copies in slots:
        for c in copies:
            codes[c] = codes[base]
            for bit in rng.choice(64 * words, size=int(rng.integers(1, 9)), replace=False):
                codes[c, bit // 64] ^= np.uint64(1) << np.uint64(bit % 64)
    return codes, slots[:, 0]


def best_of(f, repeat=3):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        result = f()
        times.append(time.perf_counter() - t)
    return min(times), result


def per_call(f, items, budget=1.0):
    """Median over rounds of the mean time of f(item), in seconds."""
    rounds = []
    deadline = time.perf_counter() + budget
    while not rounds or (time.perf_counter() < deadline and len(rounds) < 7):
        t = time.perf_counter()
        for item in items:
            f(item)
        rounds.append((time.perf_counter() - t) / len(items))
    return statistics.median(rounds)


def fmt(seconds):
    if seconds is None:
        return "–"
    if seconds < 1e-3:
        return f"{seconds * 1e6:,.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:,.1f} ms"
    return f"{seconds:,.2f} s"


def ratio(peer, ours):
    if peer is None or ours is None:
        return "–"
    # Two decimals where a target sits near the ratio (0.2 of faiss's time is 5.00x).
    return f"{peer / ours:,.2f}×" if peer / ours < 10 else f"{peer / ours:,.1f}×"


class Report:
    def __init__(self):
        self.rows = []

    def add(self, what, ours, peers):
        self.rows.append((what, ours, peers))
        line = f"{what:<44} quorvalent_index {fmt(ours):>11}"
        for name, t in peers.items():
            line += f" | {name} {fmt(t)} ({ratio(t, ours)})"
        print(line, flush=True)


def clustered_codes(n, words, centres=5000, flip=0.06, seed=9):
    """n codes of 64 * words bits drawn around a few thousand random centres, each bit flipped
    with probability flip: real perceptual hashes cluster so."""
    rng = np.random.default_rng(seed)
    middle = rng.integers(0, 2**64 - 1, size=(centres, words), dtype=np.uint64, endpoint=True)
    codes = middle[rng.integers(0, centres, size=n)]
    bits = rng.random((n, words, 64), dtype=np.float32) < flip
    codes ^= np.packbits(bits, axis=2, bitorder="little").view(np.uint64).reshape(n, words)
    return codes


def scans(report, n):
    """Queries the plan answers by a scan of every code, in bytes per second, beside np.copyto
    of the same buffer (which reads it and writes as much again), and the 256-bit queries
    against faiss's flat index."""
    print(f"  scan kernel: {quorvalent_index._core.scan_kernel}")
    rng = np.random.default_rng(13)
    uniform, _ = make_codes(n, seed=5, words=4)
    cases = [("64-bit", np.ascontiguousarray(uniform[:, 0]), 64, (20,)),
             ("256-bit uniform", uniform, 256, (31, 40, 48, 56)),
             ("256-bit clustered", clustered_codes(n, 4), 256, (31, 48, 56))]
    for label, codes, bits, radii in cases:
        words = bits // 64
        rows = codes.astype(">u8").view(np.uint8).reshape(n, 8 * words)
        index = HashIndex.from_codes(rows if words > 1 else codes, bits=bits)
        if words > 1:
            print(f"  {label}: memory {index.nbytes / n:.1f} bytes per code, tables included (the codes: {8 * words})")
        dst = np.empty_like(codes)
        copy, _ = best_of(lambda: np.copyto(dst, codes), 5)
        picks = rng.integers(0, n, size=50)
        queries = [rows[p].tobytes().hex() for p in picks]
        flat = None
        if faiss is not None and words > 1:
            flat = faiss.IndexBinaryFlat(bits)
            flat.add(rows)
        for r in radii:
            plan = index.plan(r)
            ours = per_call(lambda q: index.within(q, r), queries)
            peers = {}
            if flat is not None:
                xq = rows[picks[:10]]
                peers["faiss flat"] = per_call(lambda q: flat.range_search(q[None], r + 1), xq, 0.5)
            report.add(f"{label}, N = {n:,}: one query, r = {r}", ours, peers)
            if "; scan (" in plan:
                print(f"    a scan of {codes.nbytes / 1e6:.0f} MB: {codes.nbytes / ours / 1e9:.1f} GB/s; "
                      f"np.copyto of the same buffer {codes.nbytes / copy / 1e9:.1f} GB/s "
                      f"(the scan at {copy / ours:.2f} of the copy's rate)")
            else:
                print(f"    plan: {plan}")
        if label == "256-bit clustered":
            # Every pair at PDQ's threshold, against faiss's flat index asked for each code's
            # neighbours (range_search of every code, extrapolated from a sample of them).
            print(f"  pairs r=31: {index.plan(31, kind='pairs')}")
            ours, (i, _, _) = best_of(lambda: index.pairs(31, threads=1), 1)
            if flat is not None:
                sample = rows[picks]
                per = per_call(lambda q: flat.range_search(q[None], 32), sample, 1.0)
                peers = {f"faiss flat range_search of every code (extrapolated from {len(sample)})": per * n}
            else:
                peers = {}
            report.add(f"{label}, N = {n:,}: all pairs, r = 31, one thread ({len(i):,} pairs)", ours, peers)
            del i
        del index, flat


def brute_pair_count(codes, r, block=2048):
    """Pairs i < j within r, counted by numpy over every pair."""
    flat = codes[:, 0]
    total = 0
    for start in range(0, len(flat), block):
        part = flat[start:start + block]
        d = np.bitwise_count(part[:, None] ^ flat[None, start:])
        # Within the diagonal block only j > i counts.
        tri = np.triu(np.ones((len(part), len(part)), dtype=bool), 1)
        total += int(np.count_nonzero(d[:, :len(part)][tri] <= r))
        total += int(np.count_nonzero(d[:, len(part):] <= r))
    return total


def run(args):
    n = 100_000 if args.quick else 1_000_000
    report = Report()
    print(f"CPU: {cpu_name()}; scan kernel: {quorvalent_index._core.scan_kernel}; "
          f"hex kernel: {quorvalent_index._core.hex_kernel}; quorvalent {quorvalent.__version__}; Python {platform.python_version()}; "
          f"numpy {np.__version__}; faiss {getattr(faiss, '__version__', 'absent')}\n", flush=True)
    codes, bases = make_codes(n)
    flat = np.ascontiguousarray(codes[:, 0])
    hashes = [f"{c:016x}" for c in flat.tolist()]

    # Build from a list of str, all validated, against the numpy one-liner that parses the same.
    ours, index = best_of(lambda: HashIndex(hashes))
    numpy_parse, _ = best_of(lambda: np.frombuffer(bytes.fromhex("".join(hashes)), ">u8"))
    report.add(f"build from {n:,} hex str", ours, {"numpy fromhex": numpy_parse})
    print(f"  memory: {index.nbytes / n:.1f} bytes per code ({index.nbytes / 2**20:.0f} MiB)")

    flat_index = mh_index = None
    if faiss is not None:
        faiss.omp_set_num_threads(1)
        xb = flat.view(np.uint8).reshape(n, 8)
        flat_index = faiss.IndexBinaryFlat(64)
        flat_index.add(xb)
        mh_index = faiss.IndexBinaryMultiHash(64, 3, 21)
        mh_index.add(xb)

    rng = np.random.default_rng(7)
    random_queries = [f"{q:016x}" for q in rng.integers(0, 2**63, size=300, dtype=np.uint64).tolist()]
    planted_queries = [hashes[b] for b in bases[:300]]
    for r in (4, 8, 12):
        print(f"  r={r}: {index.plan(r)}")
        ours = per_call(lambda q: index.within(q, r), random_queries)
        peers = {}
        if mh_index is not None:
            mh_index.nflip = r // 3
            xq = np.frombuffer(bytes.fromhex("".join(random_queries)), np.uint8).reshape(-1, 8)
            sample = xq[: 30 if r == 12 else 100]
            peers["faiss multi-hash"] = per_call(lambda q: mh_index.range_search(q[None], r + 1), sample, 0.5)
            peers["faiss flat"] = per_call(lambda q: flat_index.range_search(q[None], r + 1), xq[:20], 0.5)
        peers["numpy"] = per_call(lambda q: np.flatnonzero(np.bitwise_count(flat ^ np.uint64(int(q, 16))) <= r),
                                  random_queries[:20], 0.5)
        report.add(f"one query, r = {r}", ours, peers)

    xq_random = np.frombuffer(bytes.fromhex("".join(random_queries)), np.uint8).reshape(-1, 8)
    xq_planted = np.frombuffer(bytes.fromhex("".join(planted_queries)), np.uint8).reshape(-1, 8)
    for label, queries, xq in (("random", random_queries, xq_random), ("planted", planted_queries, xq_planted)):
        ours = per_call(lambda q: index.nearest(q, 10), queries[:100])
        peers = {}
        if flat_index is not None:
            peers["faiss flat"] = per_call(lambda q: flat_index.search(q[None], 10), xq[:20], 0.5)
        report.add(f"exact 10-nearest, {label} query", ours, peers)

    # All pairs. faiss's multi-hash join is timed on a sample of its queries and scaled up.
    for r, thread_counts in ((4, (1,)), (8, (1, 2))):
        print(f"  pairs r={r}: {index.plan(r, 'pairs')}")
        one = None
        for threads in thread_counts:
            t, (i, j, d) = best_of(lambda: index.pairs(r, threads=threads), 1)
            if threads == 1:
                one = t
                peers = {}
                if mh_index is not None:
                    mh_index.nflip = r // 3
                    sample = np.frombuffer(bytes.fromhex("".join(hashes[:2000 if r == 4 else 300])),
                                           np.uint8).reshape(-1, 8)
                    per = per_call(lambda q: mh_index.range_search(q[None], r + 1), sample, 1.0)
                    peers["faiss multi-hash (extrapolated)"] = per * n
                report.add(f"all pairs, r = {r}, one thread ({len(d):,} pairs)", t, peers)
            else:
                report.add(f"all pairs, r = {r}, {threads} threads", t, {"one thread": one})
        # Exactness: every pair of a sample of codes, by brute force.
        sample = rng.choice(n, size=500, replace=False)
        for a in sample.tolist():
            partners = set(np.flatnonzero(np.bitwise_count(flat ^ flat[a]) <= r).tolist()) - {a}
            found = set(j[i == a].tolist()) | set(i[j == a].tolist())
            assert found == partners, f"pairs at r={r} disagree with brute force for code {a}"
        print(f"  pairs r={r}: the partners of 500 sampled codes agree with brute force")
    small = flat[:50_000]
    for r in (4, 8):
        got = len(HashIndex.from_codes(small).pairs(r)[2])
        want = brute_pair_count(small[:, None], r)
        assert got == want, (r, got, want)
        print(f"  pairs r={r} among the first 50,000 codes: {got:,}, brute force {want:,}: agree")

    # Skewed codes: 64-bit codes whose top 40 bits never vary join as fast as the same values in
    # a 24-bit index, because the tables are cut from the bits that vary.
    low = np.random.default_rng(11).integers(0, 1 << 24, size=n, dtype=np.uint64)
    skewed, narrow = HashIndex.from_codes(low, bits=64), HashIndex.from_codes(low, bits=24)
    print(f"  skewed pairs r=1: {skewed.plan(1, 'pairs')}")
    for r in (1, 2):
        t64, got = best_of(lambda: skewed.pairs(r, threads=1), 1)
        t24, want = best_of(lambda: narrow.pairs(r, threads=1), 1)
        assert all(np.array_equal(a, b) for a, b in zip(got, want)), f"skewed pairs at r={r} differ"
        report.add(f"64-bit codes varying in their low 24 bits, all pairs, r = {r} ({len(got[0]):,} pairs)", t64,
                   {"the same values, bits=24": t24})
        print(f"  skewed r={r}: {t64 / t24:.2f} the time of the 24-bit index (target <= 3)")
    del skewed, narrow

    dedup(report, flat, n)
    scans(report, n)

    # The peers that only run at 100k.
    if n >= 100_000:
        sub = flat[:100_000]
        sub_index = HashIndex.from_codes(sub)
        sub_hashes = hashes[:100_000]
        for r in (4, 8):
            ours = per_call(lambda q: sub_index.within(q, r), random_queries)
            peers = {}
            if simsimd is not None:
                xb = sub.view(np.uint8).reshape(-1, 8)
                peers["simsimd cdist"] = per_call(
                    lambda q: np.flatnonzero(np.asarray(simsimd.cdist(q[None], xb, metric="hamming", dtype="bin8")) <= r),
                    xq_random[:10], 0.5)
            if pybktree is not None:
                tree = pybktree.BKTree(lambda a, b: (a ^ b).bit_count(), [int(h, 16) for h in sub_hashes[:100_000]])
                peers["pybktree"] = per_call(lambda q: tree.find(int(q, 16), r), random_queries[:5], 0.5)
            report.add(f"one query at N = 100,000, r = {r}", ours, peers)

    if args.large:
        big, _ = make_codes(10_000_000, seed=3)
        big_flat = np.ascontiguousarray(big[:, 0])
        del big
        t, big_index = best_of(lambda: HashIndex.from_codes(big_flat), 1)
        print(f"  N = 10,000,000: built from codes in {fmt(t)}; {big_index.nbytes / 1e6:,.0f} MB "
              f"({big_index.nbytes / 1e7:.1f} bytes per code)")
        print(f"  r=8: {big_index.plan(8)}")
        report.add("N = 10,000,000: one query, r = 8", per_call(lambda q: big_index.within(q, 8), random_queries), {})
        print(f"  pairs r=4: {big_index.plan(4, 'pairs')}")
        t, (_, _, d) = best_of(lambda: big_index.pairs(4, threads=1), 1)
        report.add(f"N = 10,000,000: all pairs, r = 4, one thread ({len(d):,})", t, {})
        del big_index
        repeated(report)

    # 256-bit codes (16 x 16 perceptual hashes).
    wide_n = 100_000 if args.quick else 1_000_000
    wide, wide_bases = make_codes(wide_n, seed=5, words=4)
    wide_rows = wide.astype(">u8").view(np.uint8).reshape(wide_n, 32)
    wide_index = HashIndex.from_codes(wide_rows, bits=256)
    wide_queries = [wide_rows[b].tobytes().hex() for b in wide_bases[:200]]
    print(f"  256-bit r=16: {wide_index.plan(16)}")
    ours = per_call(lambda q: wide_index.within(q, 16), wide_queries)
    peers = {}
    if faiss is not None:
        wide_flat = faiss.IndexBinaryFlat(256)
        wide_flat.add(wide_rows)
        xq = np.frombuffer(bytes.fromhex("".join(wide_queries)), np.uint8).reshape(-1, 32)
        peers["faiss flat"] = per_call(lambda q: wide_flat.range_search(q[None], 17), xq[:10], 0.5)
    report.add(f"256-bit codes, N = {wide_n:,}: one query, r = 16", ours, peers)
    return report


def rss_mib():
    """This process's resident memory now, from /proc (Linux)."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def dedup(report, flat, n):
    """Groups, the sweep, removal and ids, against the join they are built on."""
    index = HashIndex.from_codes(flat)
    t_pairs, _ = best_of(lambda: index.pairs(8, threads=1), 1)
    for method, target in (("components", 1.2), ("star", 2.0)):
        t, (ids, rep) = best_of(lambda: index.groups(8, method, threads=1), 1)
        report.add(f"groups(8, {method!r}), one thread ({int(np.count_nonzero(ids != rep)):,} grouped)", t,
                   {"pairs(8)": t_pairs})
        print(f"  groups {method}: {t / t_pairs:.2f} the time of pairs(8) (target <= {target})")
    t, table = best_of(lambda: index.sweep([0, 2, 4, 6, 8], threads=1), 1)
    report.add("sweep([0, 2, 4, 6, 8]), one thread", t, {"pairs(8)": t_pairs})
    print(f"  sweep: {t / t_pairs:.2f} the time of pairs(8) (target <= 1.3); dropped {table['dropped'].tolist()}")

    rng = np.random.default_rng(17)
    gone = rng.choice(n, size=n // 10, replace=False)
    removing = HashIndex.from_codes(flat)
    started = time.perf_counter()
    removing.remove(gone)
    report.add(f"remove {len(gone):,} random ids", time.perf_counter() - started, {})
    survivors = np.delete(flat, gone)
    fresh = HashIndex.from_codes(survivors)
    queries = [f"{q:016x}" for q in rng.integers(0, 2**63, size=300, dtype=np.uint64).tolist()]
    t_fresh = per_call(lambda q: fresh.within(q, 8), queries)
    t_removed = per_call(lambda q: removing.within(q, 8), queries)
    removing.compact()
    t_compacted = per_call(lambda q: removing.within(q, 8), queries)
    report.add("within(q, 8) after removing 10%", t_removed, {"a fresh index of the survivors": t_fresh})
    report.add("within(q, 8) after removing 10%, compacted", t_compacted, {"a fresh index of the survivors": t_fresh})
    print(f"  within after removals: {t_removed / t_fresh:.2f}, compacted {t_compacted / t_fresh:.2f} "
          f"the time of a fresh index (target <= 1.1)")
    for label, ids in (("ascending", np.arange(n, dtype=np.int64) * 3 + 11),
                       ("shuffled", rng.permutation(n).astype(np.int64) * 7 - 5)):
        named = HashIndex.from_codes(flat, ids=ids)
        print(f"  memory with given {label} ids: {named.nbytes / n:.1f} bytes per code "
              f"(without: {index.nbytes / n:.1f}; target <= 56)")


def repeated(report):
    """10,000,000 codes, 1,000,000 of them one hash: groups without the copies' pairs."""
    codes, _ = make_codes(9_000_000, seed=21)
    distinct = np.ascontiguousarray(codes[:, 0])
    del codes
    blank = distinct[0]
    full = np.concatenate([distinct, np.full(1_000_000, blank, dtype=np.uint64)])
    index = HashIndex.from_codes(full)
    unique = HashIndex.from_codes(distinct)
    t_pairs, _ = best_of(lambda: unique.pairs(4, threads=1), 1)
    del unique
    before = rss_mib()
    peak = [before]
    done = threading.Event()

    def watch():
        while not done.wait(0.01):
            peak[0] = max(peak[0], rss_mib())
    watcher = threading.Thread(target=watch)
    watcher.start()
    t, (ids, rep) = best_of(lambda: index.groups(4, threads=1), 1)
    done.set()
    watcher.join()
    report.add("N = 10,000,000 with 1,000,000 copies: groups(4)", t, {"pairs(4) of the distinct codes": t_pairs})
    own = index.nbytes / 2**20
    print(f"  repeated: groups(4) {t / t_pairs:.2f} the time of pairs(4) on the 9,000,001 distinct codes (target <= 2); "
          f"memory above the resident set before it: {peak[0] - before:,.0f} MiB, {(own + peak[0] - before) / own:.2f} "
          f"of the index's own {own:,.0f} MiB (target <= 1.5)")
    assert int(np.count_nonzero(rep == 0)) >= 1_000_001


def scaling(path):
    """Time per query and per join against N, for the plot."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [10_000, 30_000, 100_000, 300_000, 1_000_000]
    series = {k: [] for k in ("ours query r=8", "faiss multi-hash query r=8", "faiss flat query r=8",
                              "numpy query r=8", "ours pairs r=4", "faiss multi-hash pairs r=4 (extrapolated)")}
    rng = np.random.default_rng(9)
    for n in sizes:
        codes, _ = make_codes(n, seed=n)
        flat = np.ascontiguousarray(codes[:, 0])
        index = HashIndex.from_codes(flat)
        queries = [f"{q:016x}" for q in rng.integers(0, 2**63, size=200, dtype=np.uint64).tolist()]
        xq = np.frombuffer(bytes.fromhex("".join(queries)), np.uint8).reshape(-1, 8)
        series["ours query r=8"].append(per_call(lambda q: index.within(q, 8), queries, 0.3))
        series["numpy query r=8"].append(per_call(
            lambda q: np.flatnonzero(np.bitwise_count(flat ^ np.uint64(int(q, 16))) <= 8), queries[:10], 0.3))
        series["ours pairs r=4"].append(best_of(lambda: index.pairs(4, threads=1), 1)[0])
        if faiss is not None:
            xb = flat.view(np.uint8).reshape(n, 8)
            mh = faiss.IndexBinaryMultiHash(64, 3, 21)
            mh.add(xb)
            fl = faiss.IndexBinaryFlat(64)
            fl.add(xb)
            mh.nflip = 2
            series["faiss multi-hash query r=8"].append(per_call(lambda q: mh.range_search(q[None], 9), xq[:50], 0.3))
            series["faiss flat query r=8"].append(per_call(lambda q: fl.range_search(q[None], 9), xq[:10], 0.3))
            mh.nflip = 1
            series["faiss multi-hash pairs r=4 (extrapolated)"].append(
                per_call(lambda q: mh.range_search(q[None], 5), xb[:500], 0.3) * n)
        print(f"  scaling: N = {n:,} done", flush=True)
    fig, ax = plt.subplots(figsize=(8, 5.5))
    for name, values in series.items():
        if len(values) == len(sizes):
            ax.loglog(sizes, values, marker="o", linestyle="--" if "faiss" in name or "numpy" in name else "-",
                      label=name)
    ax.set_xlabel("hashes in the index (N)")
    ax.set_ylabel("seconds")
    ax.set_title(f"quorvalent_index {quorvalent_index.__version__}: exact search, 64-bit codes, one thread\n{cpu_name()}, measured {date.today():%Y-%m-%d}")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="N = 100,000 instead of 1,000,000")
    parser.add_argument("--large", action="store_true", help="also N = 10,000,000 (about 2 GB of memory)")
    parser.add_argument("--plot", help="write the scaling plot here (PNG)")
    args = parser.parse_args()
    run(args)
    if args.plot:
        scaling(args.plot)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak RSS of this run: {peak:,.0f} MiB")


if __name__ == "__main__":
    sys.exit(main())
