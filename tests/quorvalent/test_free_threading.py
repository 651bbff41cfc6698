"""Many threads at once, with answers known in advance. Under a free-threaded interpreter the
calls really overlap; under the GIL this still checks that the calls share no state."""
import os
import random
import subprocess
import sys
import sysconfig
import threading

import pytest

import quorvalent

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_importing_both_modules_leaves_the_gil_off():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    script = ("import sys, quorvalent, quorvalent_index; "
              "quorvalent.hamming_distance('ff', '0f'); "
              "quorvalent_index.HashIndex(['ff', '0f']).within('ff', 4); "
              "print(sys._is_gil_enabled())")
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, check=True)
    assert out.stdout.strip() == "False"
    assert "GIL" not in out.stderr  # the interpreter warns when a module turns it back on


def run_together(work, count):
    """work(seed) on `count` threads at once; each is expected to wait on a shared barrier."""
    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def _cases(rng):
    """(a, b, distance or error message) for short, block-sized and long inputs, and bad ones."""
    cases = []
    for n in [1, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 128, 1000, 4096, 65_537, 200_000]:
        a = "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(n))
        b = "".join(rng.choice("0123456789abcdefABCDEF") for _ in range(n))
        cases.append((a, b, (int(a, 16) ^ int(b, 16)).bit_count()))
    long = "0" * 70_000
    cases.append((long, long[:-1] + "g", "hex string contains invalid char"))
    cases.append(("0" * 16, "0" * 15 + "x", "hex string contains invalid char"))
    cases.append(("0" * 16, "0" * 17, "strings are NOT the same length"))
    cases.append(("00\0", "000", "error occurred while parsing arguments"))
    return cases


def test_sixteen_threads_agree_with_known_answers():
    shared = _cases(random.Random(11))
    barrier = threading.Barrier(16)
    failures = []

    def work(seed):
        rng = random.Random(seed)
        # Private copies as well as the shared objects: both ways of meeting in the interpreter.
        own = [("".join(a), "".join(b), want) for a, b, want in shared]
        barrier.wait()
        for _ in range(1_500):
            a, b, want = rng.choice(own if rng.random() < 0.5 else shared)
            try:
                if isinstance(want, str):
                    quorvalent.hamming_distance(a, b)
                    failures.append(("no error", len(a), want))
                    continue
                got = quorvalent.hamming_distance(a, b)
                if got != want:
                    failures.append(("distance", len(a), got, want))
                limit = max(want + rng.choice([-1, 0, 1]), 0)
                if quorvalent.check_hexstrings_within_dist(a, b, limit) is not (want <= limit):
                    failures.append(("within", len(a), limit, want))
            except ValueError as error:
                if str(error) != want:
                    failures.append(("message", len(a), str(error), want))

    run_together(work, 16)
    assert failures == []


def test_index_queries_and_hex_calls_overlap():
    np = pytest.importorskip("numpy")
    import quorvalent_index
    rng = np.random.default_rng(4)
    codes = rng.integers(0, 2**63, size=20_000, dtype=np.uint64)
    hexes = [f"{c:016x}" for c in codes.tolist()]
    index = quorvalent_index.HashIndex(hexes)
    probes = hexes[:64]
    want = {p: sorted(i for i, h in enumerate(hexes) if quorvalent.hamming_distance(p, h) <= 6)
            for p in probes}
    barrier = threading.Barrier(8)
    failures = []

    def work(seed):
        local = random.Random(seed)
        barrier.wait()
        for _ in range(200):
            probe = local.choice(probes)
            if seed % 2:
                got = sorted(int(i) for i in index.within(probe, 6)[0].tolist())
                if got != want[probe]:
                    failures.append(("query", probe))
            else:
                other = local.choice(hexes)
                if quorvalent.hamming_distance(probe, other) != \
                        (int(probe, 16) ^ int(other, 16)).bit_count():
                    failures.append(("distance", probe, other))

    run_together(work, 8)
    assert failures == []
