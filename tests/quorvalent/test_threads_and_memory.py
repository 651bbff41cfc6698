import random
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvalent


def test_many_threads_get_the_right_answers():
    rng = random.Random(3)
    pairs = []
    for n in [16, 64, 100, 20_000, 300_000]:
        a = "".join(rng.choice("0123456789abcdef") for _ in range(n))
        b = "".join(rng.choice("0123456789abcdef") for _ in range(n))
        pairs.append((a, b, (int(a, 16) ^ int(b, 16)).bit_count()))
    errors = []

    def work(seed):
        local = random.Random(seed)
        for _ in range(300):
            a, b, d = local.choice(pairs)
            if quorvalent.hamming_distance(a, b) != d:
                errors.append(("distance", len(a)))
            limit = local.choice([d - 1, d, d + 1])
            if quorvalent.check_hexstrings_within_dist(a, b, max(limit, 0)) != (d <= max(limit, 0)):
                errors.append(("within", len(a), limit))

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.slow
@pytest.mark.skipif(sys.platform == "win32", reason="reads the peak size through resource")
def test_no_copy_of_ascii_strings():
    # In a fresh process, so that the peak is this test's alone: two 256 MiB strings, then
    # calls on them must not raise the peak resident size by more than a few MiB.
    script = textwrap.dedent("""
        import resource, sys, quorvalent
        n = 256 * 1024 * 1024
        a = "0123456789abcdef" * (n // 16)
        b = a[:-1] + "e"
        quorvalent.hamming_distance("ff", "0f")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        assert quorvalent.hamming_distance(a, b) == 1
        assert quorvalent.check_hexstrings_within_dist(a, b, 1) is True
        assert quorvalent.check_hexstrings_within_dist(a, b, 0) is False
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        # ru_maxrss is in KiB on Linux and in bytes on macOS.
        print((after - before) / (1024 * 1024 if sys.platform == "darwin" else 1024))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    grown_mib = float(out.stdout.strip())
    assert grown_mib < 4, f"peak memory grew by {grown_mib:.1f} MiB"
