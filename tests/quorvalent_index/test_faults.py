"""The index under faults: too little memory, threads that cannot start, an interpreter that
exits mid-join, writers racing readers, files replaced while they are read, a CPU without an
instruction the build counts on. Each case once crashed, hung or answered from two states at
once."""
import os
import platform
import shutil
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from conftest import stops_on_ctrl_c
from quorvalent_index import HashIndex

# An address-space limit also binds a sanitizer's shadow memory and an emulator's own mappings:
# those runs cannot take one.
limits_apply = (sys.platform.startswith("linux") and "asan" not in os.environ.get("LD_PRELOAD", "")
                and not os.environ.get("QUORVALENT_EMULATED"))
linux_only = pytest.mark.skipif(not limits_apply, reason="needs RLIMIT_AS and /proc, natively")

# Run at the start of a child: limit(mb) caps the address space at what is in use now plus mb.
LIMIT = """
import resource
def limit(mb):
    with open("/proc/self/status") as f:
        used = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (used + (mb << 20), resource.RLIM_INFINITY))
"""


def child(code, timeout=180):
    result = subprocess.run([sys.executable, "-c", LIMIT + textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout)
    assert "terminate called" not in result.stderr and result.returncode == 0, result.stderr[-3000:]
    return result.stdout.split()


@linux_only
def test_identical_hashes_raise_memory_error_and_leave_the_index_whole():
    out = child("""
        from quorvalent_index import HashIndex
        index = HashIndex(["0" * 16] * 30_000)
        queries = ["0" * 16] * 12_000
        limit(1024)
        for call in (lambda: index.pairs(0), lambda: index.pairs(0, other=index),
                     lambda: index.within_many(queries, 0)):
            try:
                call()
                print("answered")
            except MemoryError:
                print("MemoryError")
        print(len(index), index.within("0" * 16, 0)[0].size, index.pairs(1, other=HashIndex(["1" * 16]))[0].size)
    """)
    assert out == ["MemoryError"] * 3 + ["30000", "30000", "0"]


@linux_only
def test_add_under_memory_pressure_is_all_or_nothing():
    out = child("""
        import numpy as np
        from quorvalent_index import HashIndex
        rng = np.random.default_rng(1)
        index = HashIndex.from_codes(rng.integers(0, 2**63, size=2_000_000, dtype=np.uint64))
        more = [f"{c:016x}" for c in rng.integers(0, 2**63, size=600_000, dtype=np.uint64).tolist()]
        probe = index.hex([5])[0]
        limit(64)
        try:
            index.add(more)
            print("added")
        except MemoryError:
            print("MemoryError")
        print(len(index), index.nearest(probe, 1)[0].tolist() == [5], index.plan(0, "pairs").startswith("tables"))
        print(len(index.pairs(0)[0]) >= 0)
    """)
    assert out == ["MemoryError", "2000000", "True", "True", "True"]


@linux_only
def test_threads_that_cannot_start_raise_runtime_error():
    out = child("""
        import numpy as np
        from quorvalent_index import HashIndex
        rng = np.random.default_rng(2)
        index = HashIndex.from_codes(rng.integers(0, 2**63, size=200_000, dtype=np.uint64))
        queries = index.hex(range(2000))
        calls = (lambda: index.pairs(2, threads=64), lambda: index.within_many(queries, 2, threads=64),
                 lambda: index.nearest_many(queries, 2, threads=64))
        limit(24)  # room for two or three threads' stacks, not for 64
        for call in calls:
            try:
                call()
                print("ran")
            except RuntimeError:
                print("RuntimeError")
        print(len(index))
    """)
    assert out == ["RuntimeError"] * 3 + ["200000"]


EXIT_DURING_JOIN = """
import threading, time
import numpy as np
from quorvalent_index import HashIndex
rng = np.random.default_rng(2)
index = HashIndex.from_codes(rng.integers(0, 2**63, size=300_000, dtype=np.uint64))
def join():
    index.pairs(18, threads=2)
def queries():
    while True:
        index.within("0" * 16, 20)
for target in (join, queries, queries):
    threading.Thread(target=target, daemon=True).start()
time.sleep(0.3)
print("exiting")
"""


def test_an_interpreter_exits_cleanly_with_joins_running_in_daemon_threads():
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", EXIT_DURING_JOIN], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0 and result.stdout.split() == ["exiting"], result.stderr[-2000:]
        assert "terminate" not in result.stderr


def test_an_add_from_inside_its_own_iterable_raises_instead_of_waiting_forever():
    index = HashIndex(["00" * 8])
    outcome = []

    def reentrant():
        yield "11" * 8
        index.add(["22" * 8])
        yield "33" * 8

    def run():
        try:
            index.add(reentrant())
        except RuntimeError as error:
            outcome.append(str(error))
    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(timeout=20)
    assert not worker.is_alive(), "add() waited for itself"
    assert outcome and "inside an add()" in outcome[0]
    assert len(index) == 1 and index.hex([0]) == ["00" * 8]
    assert index.add(["44" * 8]) == 1  # the index is usable again


def test_a_self_join_while_another_thread_adds_answers_from_one_state():
    rng = np.random.default_rng(4)
    index = HashIndex.from_codes(rng.integers(0, 2**63, size=50_000, dtype=np.uint64))
    more = [f"{c:016x}" for c in rng.integers(0, 2**63, size=40_000, dtype=np.uint64).tolist()]
    start = threading.Barrier(2)
    errors = []

    def adder():
        start.wait()
        for k in range(0, len(more), 2000):
            index.add(more[k:k + 2000])

    writer = threading.Thread(target=adder)
    writer.start()
    start.wait()
    while writer.is_alive():
        i, j, d = index.pairs(1, other=index, threads=2)
        # A cross join of a state with itself pairs every code with itself, and only within it.
        n = int(i.max()) + 1
        if np.count_nonzero(i == j) != n or j.max() >= n:
            errors.append((n, np.count_nonzero(i == j)))
    writer.join()
    assert not errors, errors[:3]


def test_a_cross_join_during_an_add_answers_from_one_state():
    # Every hash added matches the first and the last query exactly: a join that answers against
    # one state finds the same added hashes for both, however long it takes between them.
    rng = np.random.default_rng(5)
    index = HashIndex.from_codes(rng.integers(0, 2**63, size=20_000, dtype=np.uint64))
    target = "ab" * 8
    between = [f"{c:016x}" for c in rng.integers(0, 2**63, size=20_000, dtype=np.uint64).tolist()]
    queries = HashIndex([target] + between + [target])
    last = len(queries) - 1
    start = threading.Barrier(2)
    mixed = []

    def adder():
        start.wait()
        for _ in range(300):
            index.add([target] * 50)

    writer = threading.Thread(target=adder)
    writer.start()
    start.wait()
    while writer.is_alive():
        i, j, _ = index.pairs(0, other=queries, threads=2)
        if sorted(i[j == 0].tolist()) != sorted(i[j == last].tolist()):
            mixed.append(len(i))
    writer.join()
    assert not mixed


def test_skewed_codes_are_planned_on_their_varying_bits():
    rng = np.random.default_rng(6)
    low = rng.integers(0, 2**12, size=100_000, dtype=np.uint64)
    index = HashIndex.from_codes(low, bits=64)
    plan = index.plan(1, "pairs")
    # Two tables keyed on bits 0-5 and 6-11: nothing of the 52 constant bits.
    assert plan.startswith("tables [word 0 6 bits 0-5") and "6-11" in plan, plan
    narrow = HashIndex.from_codes(low, bits=12)
    assert [a.tolist() for a in index.pairs(1)] == [a.tolist() for a in narrow.pairs(1)]


def test_ctrl_c_stops_a_join_over_skewed_codes():
    rng = np.random.default_rng(7)
    index = HashIndex.from_codes(rng.integers(0, 2**12, size=200_000, dtype=np.uint64))
    stops_on_ctrl_c(lambda: index.pairs(12, threads=2))


@pytest.mark.skipif(os.name != "posix", reason="replaces a file other processes have open")
def test_loads_while_another_process_saves_the_same_path_see_one_file(tmp_path):
    path = tmp_path / "index.npz"
    HashIndex(["aa" * 8] * 1000).save(path)
    saver = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import time
        from quorvalent_index import HashIndex
        a, b = HashIndex(["aa" * 8] * 1000), HashIndex(["bb" * 8] * 3000)
        end = time.monotonic() + 3
        while time.monotonic() < end:
            a.save({str(path)!r})
            b.save({str(path)!r})
    """)])
    loads, wrong = 0, []
    try:
        while saver.poll() is None:
            index = HashIndex.load(path, mmap=True)
            expected = {1000: "aa" * 8, 3000: "bb" * 8}.get(len(index))
            if expected is None or set(index.hex([0, len(index) - 1])) != {expected} \
                    or len(index.within(expected, 0)[0]) != len(index):
                wrong.append(len(index))
            loads += 1
    finally:
        saver.wait()
    assert saver.returncode == 0 and loads > 10
    assert not wrong, f"{len(wrong)} of {loads} loads mixed two files"


@linux_only
def test_a_valid_file_loaded_under_memory_pressure_is_a_memory_error(tmp_path):
    path = tmp_path / "big.npz"
    HashIndex.from_codes(np.arange(3_000_000, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)).save(path)
    out = child(f"""
        from quorvalent_index import HashIndex
        limit(16)  # less than the 24 MB of codes
        try:
            HashIndex.load({str(path)!r}, mmap=False)
            print("loaded")
        except MemoryError:
            print("MemoryError")
    """)
    assert out == ["MemoryError"]


# The extension alone, imported as a top-level module from a folder that links to it: the
# package's own import would load numpy first, which may itself refuse an old CPU.
LOAD_EXTENSION = """
import sys
sys.path.insert(0, sys.argv[1])
import _core
print(_core.HashIndex(["00ff", "01ff", "ffff"]).within("00ff", 2)[0].tolist())
"""


@pytest.mark.skipif(not (sys.platform.startswith("linux") and platform.machine() == "x86_64")
                    or "asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an x86-64 CPU model under qemu-user, for a build without a sanitizer's runtime")
def test_a_cpu_without_popcnt_gets_an_import_error_not_an_illegal_instruction(tmp_path):
    from quorvalent_index import _core
    os.symlink(_core.__file__, tmp_path / os.path.basename(_core.__file__))
    qemu = shutil.which("qemu-x86_64")
    if qemu is None:
        if os.environ.get("QUORVALENT_REQUIRE_OPTIONAL"):
            pytest.fail("qemu-x86_64 is missing (Debian's qemu-user)")
        pytest.skip("needs qemu-x86_64")

    def load_on(cpu):
        return subprocess.run([qemu, "-cpu", cpu, sys.executable, "-c", LOAD_EXTENSION, str(tmp_path)],
                              capture_output=True, text=True, timeout=120)

    # qemu64 lacks POPCNT; a build that counted with it anyway died at the first search.
    old = load_on("qemu64")
    assert old.returncode == 1, (old.returncode, old.stderr[-2000:])
    assert "ImportError: quorvalent_index needs a CPU with the POPCNT instruction" in old.stderr, old.stderr[-2000:]
    # Nehalem, the first Intel core with it, loads the module and searches.
    new = load_on("Nehalem")
    assert new.returncode == 0, new.stderr[-2000:]
    assert new.stdout.split() == ["[0,", "1]"]
