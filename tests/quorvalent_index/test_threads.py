"""Queries from many threads while another adds, without a wrong answer; a long join stops on
Ctrl-C."""
import re
import sys
import threading
import time

import numpy as np
import pytest

import quorvalent_index
from conftest import stops_on_ctrl_c
from quorvalent_index import HashIndex


def test_queries_concurrent_with_add_never_answer_wrong():
    rng = np.random.default_rng(3)
    base = rng.integers(0, 2**64 - 1, size=20_000, dtype=np.uint64, endpoint=True)
    hashes = [f"{c:016x}" for c in base.tolist()]
    index = HashIndex(hashes[:5000])
    # Each query's near-duplicates are planted once, before the threads start, so every answer
    # is known: ids below 5000 are fixed, and later additions are far from every query.
    queries = hashes[:64]
    expected = {q: index.within(q, 6)[0].tolist() for q in queries}
    far = hashes[5000:]
    errors = []
    stop = threading.Event()

    def query(seed):
        local = np.random.default_rng(seed)
        while not stop.is_set():
            q = queries[int(local.integers(len(queries)))]
            ids = index.within(q, 6)[0].tolist()
            # Additions only ever append ids >= 5000; those within 6 bits of a query are
            # vanishingly unlikely for random codes, and must then be exact anyway.
            old = [i for i in ids if i < 5000]
            if old != expected[q]:
                errors.append((q, ids))
            nids, _ = index.nearest(q, 1)
            if nids.tolist() != [expected[q][0]]:
                errors.append(("nearest", q, nids.tolist()))

    threads = [threading.Thread(target=query, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    # Small additions, so that many land while queries run, some of them rebuilding tables.
    for start in range(0, len(far), 200):
        index.add(far[start:start + 200])
        time.sleep(0.001)
    stop.set()
    for t in threads:
        t.join()
    assert not errors, errors[:3]
    assert len(index) == 20_000
    assert index.hex([19_999]) == [hashes[19_999]]


def test_within_many_and_joins_agree_across_thread_counts():
    rng = np.random.default_rng(8)
    codes = rng.integers(0, 2**64 - 1, size=8000, dtype=np.uint64, endpoint=True)
    codes[4000:4400] = codes[:400] ^ np.uint64(0b1011)
    index = HashIndex.from_codes(codes)
    queries = [f"{c:016x}" for c in codes[:300].tolist()]
    one = [a.tolist() for a in index.within_many(queries, 5, threads=1)]
    two = [a.tolist() for a in index.within_many(queries, 5, threads=2)]
    assert one == two
    assert [a.tolist() for a in index.pairs(5, threads=1)] == [a.tolist() for a in index.pairs(5, threads=2)]


def test_progress_is_reported_and_may_cancel():
    rng = np.random.default_rng(1)
    index = HashIndex.from_codes(rng.integers(0, 2**63, size=60_000, dtype=np.uint64))
    calls = []

    def progress(done, total):
        calls.append((done, total))
        if len(calls) == 2:
            raise RuntimeError("enough")
    with pytest.raises(RuntimeError, match="enough"):
        index.pairs(30, threads=1, progress=progress)
    assert calls and all(0 <= d <= t for d, t in calls)


def test_a_long_join_stops_on_ctrl_c():
    rng = np.random.default_rng(2)
    # A radius this large makes the join visit nearly every pair: tens of seconds of work,
    # with few pairs to keep.
    index = HashIndex.from_codes(rng.integers(0, 2**63, size=300_000, dtype=np.uint64))
    stops_on_ctrl_c(lambda: index.pairs(18, threads=2), within=2.0)


@pytest.mark.skipif(not hasattr(sys, "_is_gil_enabled"), reason="needs CPython 3.13 or later")
def test_the_module_does_not_need_the_gil():
    # On a free-threaded interpreter importing the module must not turn the GIL back on.
    if sysconfig_gil_disabled():
        assert not sys._is_gil_enabled()
    assert quorvalent_index.HashIndex is not None


def sysconfig_gil_disabled():
    import sysconfig
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_the_cores_name_their_kernel_choices():
    from quorvalent_index import _core
    import platform
    assert _core.hex_kernel in {"swar", "avx2", "avx512bw", "avx512vbmi", "avx512vbmi_aligned",
                                "avx512vbmi_no_prefetch", "neon"}
    assert _core.scan_kernel in {"unrolled", "avx2", "avx512", "neon"}
    if platform.machine().lower() in {"aarch64", "arm64"}:
        # Under qemu-user, /proc/cpuinfo is the x86 host's, which says nothing of this CPU.
        assert _core.hex_kernel == "neon" and _core.scan_kernel == "neon"
        return
    try:
        with open("/proc/cpuinfo") as f:
            cpuinfo = f.read()
        flags = set(cpuinfo.split("flags", 1)[1].split("\n", 1)[0].split())
    except (OSError, IndexError):
        return
    if {"avx512bw", "avx512vl", "avx512vbmi", "avx512_vpopcntdq"} <= flags:
        # The vendor picks the variant: Intel's cores get the one that aligns every loop, AMD's
        # family 19h (Zen 4) the one without software prefetches.
        intel = "GenuineIntel" in cpuinfo
        zen4 = "AuthenticAMD" in cpuinfo and re.search(r"^cpu family\s*:\s*25$", cpuinfo, re.M) is not None
        assert _core.hex_kernel == ("avx512vbmi_aligned" if intel else
                                    "avx512vbmi_no_prefetch" if zen4 else "avx512vbmi")
        assert _core.scan_kernel == "avx512"
    elif {"avx2", "bmi1", "bmi2", "popcnt"} <= flags:
        # A CPU with AVX2 must never be left on the portable kernels.
        assert _core.hex_kernel != "swar" and _core.scan_kernel == "avx2"
