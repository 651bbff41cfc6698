"""Ids, removal, groups and the sweep: a stateful test against a plain model over
quorvalent.hamming_distance, grouping against union-find and greedy models, and bad input."""
import os
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from quorvalent import hamming_distance
from quorvalent_index import HashIndex

DIGITS = "0123456789abcdef"


def model_groups(items, r, method, priority=None):
    """(ids, reps) sorted by id. items: list of (id, hash) in insertion order; priority aligned."""
    n = len(items)
    prio = list(priority) if priority is not None else [0] * n
    # Precedence: higher priority first, then the lower id.
    order = sorted(range(n), key=lambda k: (-prio[k], items[k][0]))
    rank = {k: place for place, k in enumerate(order)}
    near = [[b for b in range(n) if hamming_distance(items[a][1], items[b][1]) <= r] for a in range(n)]
    rep = [None] * n
    if method == "components":
        parent = list(range(n))

        def find(x):
            while parent[x] != x:
                x = parent[x]
            return x
        for a in range(n):
            for b in near[a]:
                parent[find(a)] = find(b)
        best = {}
        for k in range(n):
            root = find(k)
            if root not in best or rank[k] < rank[best[root]]:
                best[root] = k
        rep = [best[find(k)] for k in range(n)]
    else:
        for x in order:
            if rep[x] is not None:
                continue
            for y in near[x]:
                if rep[y] is None:
                    rep[y] = x
    by_id = sorted(range(n), key=lambda k: items[k][0])
    return [items[k][0] for k in by_id], [items[rep[k]][0] for k in by_id]


def model_sweep(items, radii):
    rows = []
    for r in radii:
        ids, reps = model_groups(items, r, "components")
        sizes = {}
        for rep in reps:
            sizes[rep] = sizes.get(rep, 0) + 1
        pairs = sum(1 for a in range(len(items)) for b in range(a + 1, len(items))
                    if hamming_distance(items[a][1], items[b][1]) <= r)
        rows.append((r, pairs, sum(1 for s in sizes.values() if s >= 2), len(items) - len(sizes),
                     max(sizes.values(), default=0)))
    return rows


def as_rows(table):
    return list(zip(*(table[k].tolist() for k in ("radius", "pairs", "groups", "dropped", "largest"))))


class IndexMachine(RuleBasedStateMachine):
    """Any interleaving of adds (with and without ids, failing ones included), removals,
    compactions, saves and loads, against the model; every query and join checked after each."""

    @initialize(width=st.integers(1, 300), given_ids=st.booleans())
    def start(self, width, given_ids):
        self.width, self.given = width, given_ids
        self.index = HashIndex(bits=4 * width)
        self.items = []  # (id, hash) in insertion order
        self.next_id = 0
        self.folder = tempfile.mkdtemp()
        # The first add fixes whether the index takes ids.
        first = "0" * width
        if given_ids:
            self.index.add([first], ids=[-1])
            self.items.append((-1, first))
        else:
            self.index.add([first])
            self.items.append((0, first))
            self.next_id = 1

    def fresh_hash(self, data, near=True):
        if self.items and near and data.draw(st.booleans()):
            base = data.draw(st.sampled_from(self.items))[1]
            pos = data.draw(st.integers(0, self.width - 1))
            return base[:pos] + data.draw(st.sampled_from(DIGITS)) + base[pos + 1:]
        return data.draw(st.text(DIGITS, min_size=self.width, max_size=self.width))

    @rule(data=st.data(), n=st.integers(0, 8))
    def add(self, data, n):
        hashes = [self.fresh_hash(data) for _ in range(n)]
        if self.given:
            ids = data.draw(st.lists(st.integers(-2**63, 2**63 - 1), min_size=n, max_size=n, unique=True))
            live = {i for i, _ in self.items}
            if any(i in live for i in ids):
                with pytest.raises(ValueError, match="is already in the index"):
                    self.index.add(hashes, ids=ids)
                return
            self.index.add(hashes, ids=np.array(ids, dtype=np.int64))
        else:
            first = self.index.add(hashes)
            ids = list(range(self.next_id, self.next_id + n))
            if n:
                assert first == self.next_id
            self.next_id += n
        self.items += list(zip(ids, hashes))

    @rule(data=st.data())
    def add_that_fails(self, data):
        before = self.snapshot()
        bad = [self.fresh_hash(data), self.fresh_hash(data)[:-1] + "g"]
        with pytest.raises(ValueError):
            self.index.add(bad, ids=[10**12, 10**12 + 1] if self.given else None)
        # An id the index does not hold, given twice (one it holds would be refused as held).
        twice = next(i for i in range(7, 100) if i not in {held for held, _ in self.items})
        with pytest.raises(ValueError, match="given more than once" if self.given else "numbers its codes by insertion"):
            self.index.add([self.fresh_hash(data)] * 2, ids=[twice, twice])
        assert self.snapshot() == before

    @precondition(lambda self: self.items)
    @rule(data=st.data())
    def remove(self, data):
        chosen = data.draw(st.lists(st.sampled_from([i for i, _ in self.items]), max_size=4))
        assert self.index.remove(chosen) == len(set(chosen))
        self.items = [item for item in self.items if item[0] not in set(chosen)]

    @rule(data=st.data())
    def remove_that_fails(self, data):
        before = self.snapshot()
        live = [i for i, _ in self.items]
        unknown = 0
        while unknown in live:
            unknown += 1
        with pytest.raises(KeyError):
            self.index.remove(live[:2] + [unknown])
        assert self.snapshot() == before

    @rule()
    def compact(self):
        self.index.compact()

    @rule(mmap=st.booleans())
    def save_and_load(self, mmap):
        path = os.path.join(self.folder, "index.npz")
        self.index.save(path)
        self.index = HashIndex.load(path, mmap=mmap)

    def snapshot(self):
        return self.index.ids().tolist(), self.index.hex(self.index.ids())

    @invariant()
    def answers_agree(self):
        if not hasattr(self, "index"):
            return
        ids = [i for i, _ in self.items]
        assert self.index.ids().tolist() == ids and len(self.index) == len(ids)
        assert self.index.hex(ids) == [h.lower() for _, h in self.items]
        assert all(i in self.index for i in ids[:5])
        if not self.items:
            return
        query = self.items[len(self.items) // 2][1]
        r = 2 * self.width // 3
        found = sorted((hamming_distance(query, h), i) for i, h in self.items)
        got_ids, got_d = self.index.within(query, r)
        assert list(zip(got_d.tolist(), got_ids.tolist())) == [(d, i) for d, i in found if d <= r]
        near_ids, near_d = self.index.nearest(query, 3)
        assert list(zip(near_d.tolist(), near_ids.tolist())) == found[:3]
        want = sorted((min(a, b), max(a, b), hamming_distance(x, y))
                      for k, (a, x) in enumerate(self.items) for b, y in self.items[k + 1:]
                      if hamming_distance(x, y) <= r)
        i, j, d = self.index.pairs(r)
        assert list(zip(i.tolist(), j.tolist(), d.tolist())) == want
        streamed = [row for part in self.index.iter_pairs(r, batch=3) for row in zip(*(x.tolist() for x in part))]
        assert streamed == want
        for method in ("components", "star"):
            gids, reps = self.index.groups(r, method)
            assert (gids.tolist(), reps.tolist()) == model_groups(self.items, r, method)
        assert as_rows(self.index.sweep([0, r])) == model_sweep(self.items, [0, r])


TestIndexMachine = IndexMachine.TestCase
TestIndexMachine.settings = settings(max_examples=60, stateful_step_count=12, deadline=None,
                                     suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])


@st.composite
def grouped_sets(draw):
    """Random, clustered or heavily repeated hashes of 16 digits, with ids not 0..N-1."""
    kind = draw(st.sampled_from(["random", "clustered", "repeated"]))
    n = draw(st.integers(1, 60))
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    if kind == "random":
        codes = rng.integers(0, 2**63, size=n, dtype=np.uint64)
    else:
        centres = rng.integers(0, 2**63, size=3 if kind == "clustered" else 1, dtype=np.uint64)
        codes = centres[rng.integers(0, len(centres), size=n)]
        flips = rng.integers(0, 64, size=n).astype(np.uint64)
        flip = rng.random(n) < (0.9 if kind == "clustered" else 0.2)
        codes = np.where(flip, codes ^ (np.uint64(1) << flips), codes)
    hashes = [f"{c:016x}" for c in codes.tolist()]
    ids = draw(st.lists(st.integers(-10**6, 10**6), min_size=n, max_size=n, unique=True))
    priority = draw(st.none() | st.lists(st.integers(-3, 3), min_size=n, max_size=n))
    return hashes, ids, priority


@settings(max_examples=80, deadline=None)
@given(grouped_sets(), st.integers(0, 10), st.sampled_from(["components", "star"]), st.randoms())
def test_groups_agree_with_the_models_in_any_insertion_order(case, r, method, random):
    hashes, ids, priority = case
    items = list(zip(ids, hashes))
    want = model_groups(items, r, method, priority)
    order = list(range(len(items)))
    random.shuffle(order)
    index = HashIndex([hashes[k] for k in order], ids=[ids[k] for k in order])
    shuffled_priority = None if priority is None else np.array([priority[k] for k in order], dtype=np.float64)
    for threads in (1, 3):
        got = index.groups(r, method, priority=shuffled_priority, threads=threads)
        assert (got[0].tolist(), got[1].tolist()) == want
    radii = sorted({0, r, r + 3})
    assert as_rows(index.sweep(radii)) == model_sweep(items, radii)


def test_a_code_alone_is_its_own_representative_and_the_kept_set_is_deduplicated():
    index = HashIndex(["ff00ff00", "ff00ff01", "12345678", "ff00ff03"], ids=[40, 10, 30, 20])
    ids, rep = index.groups(2)
    assert ids.tolist() == [10, 20, 30, 40] and rep.tolist() == [10, 10, 30, 10]
    assert ids[ids == rep].tolist() == [10, 30]
    # The largest file wins: priority aligned with ids(), in insertion order.
    sizes = np.array([5.0, 1.0, 3.0, 9.0])
    assert index.groups(2, priority=sizes)[1].tolist() == [20, 20, 30, 20]
    # A star takes only what lies within reach of its centre: 40 and 20 differ in 2 bits, so a
    # star around 40 of radius 1 takes 10 and leaves 20, which the chain 40-10-20 joins to it.
    first = np.array([9, 0, 0, 0])
    assert index.groups(1, "star", priority=first)[1].tolist() == [40, 20, 30, 40]
    assert index.groups(1, "components", priority=first)[1].tolist() == [40, 40, 30, 40]


@pytest.mark.parametrize("call, error, fragment", [
    (lambda ix: HashIndex(["00", "01"], ids=[1]), ValueError, "ids has 1 entries, but 2 hashes were given"),
    (lambda ix: HashIndex(["00", "01"], ids=[1, 1]), ValueError, "id 1 is given more than once"),
    (lambda ix: HashIndex(["00", "01"], ids=[1.0, 2.0]), ValueError, "ids must be integers, got float"),
    (lambda ix: HashIndex(["00", "01"], ids=np.array([1.5, 2.5])), ValueError, "ids must be integers, got an array of dtype('float64')"),
    (lambda ix: HashIndex(["00", "01"], ids=[True, False]), ValueError, "ids must be integers, got bool"),
    (lambda ix: HashIndex(["00"], ids=np.array([2**64 - 1], dtype=np.uint64)), ValueError, "ids must fit in int64"),
    (lambda ix: HashIndex(["00"], ids="7"), ValueError, "ids must be integers, got a single str"),
    (lambda ix: ix.add(["02"], ids=[7]), ValueError, "is already in the index"),
    (lambda ix: ix.add(["02"]), ValueError, "this index holds given ids: every add must give ids"),
    (lambda ix: HashIndex(["00"]).add(["01"], ids=[3]), ValueError, "numbers its codes by insertion"),
    (lambda ix: ix.remove([7, 99]), KeyError, "99"),
    (lambda ix: ix.groups(1, priority=[1.0]), ValueError, "one number per hash (2)"),
    (lambda ix: ix.groups(1, priority=[1.0, float("nan")]), ValueError, "priority holds NaN at position 1"),
    (lambda ix: ix.groups(1, priority=["a", "b"]), ValueError, "priority must be numbers"),
    (lambda ix: ix.groups(1, method="chain"), ValueError, "method must be 'components' or 'star', got 'chain'"),
    (lambda ix: ix.groups(-1), ValueError, "max_dist must be >= 0"),
    (lambda ix: ix.sweep([2, -1]), ValueError, "a radius must be >= 0"),
    (lambda ix: ix.sweep(3), ValueError, "radii must be an iterable of int"),
])
def test_bad_ids_priorities_and_methods_are_refused_and_change_nothing(call, error, fragment):
    index = HashIndex(["00", "ff"], ids=[7, 8])
    with pytest.raises(error) as info:
        call(index)
    assert fragment in str(info.value)
    assert index.ids().tolist() == [7, 8] and index.hex([7, 8]) == ["00", "ff"]


def test_removed_codes_never_answer_and_compaction_changes_nothing():
    rng = np.random.default_rng(3)
    codes = rng.integers(0, 2**63, size=20_000, dtype=np.uint64)
    codes[10_000:10_100] = codes[:100] ^ np.uint64(3)
    ids = rng.permutation(10**6)[:20_000].astype(np.int64)
    index = HashIndex.from_codes(codes, ids=ids)
    gone = ids[rng.choice(20_000, size=1500, replace=False)]
    assert index.remove(gone) == 1500
    answers = lambda: ([a.tolist() for a in index.pairs(2)], [a.tolist() for a in index.groups(2)],
                       [a.tolist() for a in index.within(f"{codes[5]:016x}", 3)], index.ids().tolist())
    before = answers()
    assert not set(gone.tolist()) & set(before[0][0] + before[0][1] + before[3])
    index.compact()
    assert answers() == before
    # A removed id may be added again, and then answers with its new code.
    index.add(["0123456789abcdef"], ids=[int(gone[0])])
    assert index.hex([int(gone[0])]) == ["0123456789abcdef"] and int(gone[0]) in index


def test_ids_near_one_another_cost_four_bytes_and_a_far_one_widens_them():
    rng = np.random.default_rng(8)
    n = 50_000
    codes = rng.integers(0, 2**63, size=n, dtype=np.uint64)
    ids = rng.permutation(n).astype(np.int64) * 7 - 5
    near = HashIndex.from_codes(codes, ids=ids)
    far = HashIndex.from_codes(codes, ids=ids * 2**20)
    assert far.nbytes - near.nbytes >= 4 * n
    # An add far outside the window: every id before it still names its own code.
    query = f"{codes[7]:016x}"
    near.add(["00000000000000ff", "000000000000ff00"], ids=[-(2**63), 2**63 - 1])
    assert near.nbytes >= far.nbytes
    assert near.within(query, 0)[0].tolist() == [ids[7]]
    assert near.hex([-(2**63), 2**63 - 1, int(ids[9])]) == ["00000000000000ff", "000000000000ff00", f"{codes[9]:016x}"]
    assert sorted(near.ids().tolist()) == sorted(ids.tolist() + [-(2**63), 2**63 - 1])


def test_saved_files_keep_ids_and_removals_and_files_of_format_1_still_load(tmp_path):
    index = HashIndex(["00ff", "0f0f", "ffff", "f0f0"], ids=[9, -4, 2**40, 3])
    index.remove([2**40])
    for mmap in (True, False):
        path = tmp_path / f"given{mmap}.npz"
        index.save(path)
        loaded = HashIndex.load(path, mmap=mmap)
        assert loaded.ids().tolist() == [9, -4, 3] and loaded.hex([3]) == ["f0f0"]
        with pytest.raises(ValueError, match="every add must give ids"):
            loaded.add(["1111"])
    numbered = HashIndex(["00ff", "0f0f", "ffff"])
    numbered.remove([1])
    numbered.save(tmp_path / "numbered.npz")
    loaded = HashIndex.load(tmp_path / "numbered.npz")
    assert loaded.ids().tolist() == [0, 2] and loaded.add(["1234"]) == 3
    # An index numbered 0..N-1 is written as format 1, which every reader knows.
    HashIndex(["00ff", "0f0f"]).save(tmp_path / "plain.npz")
    with np.load(tmp_path / "plain.npz") as data:
        assert int(data["format_version"]) == 1 and "ids" not in data
    # A format 1 file as an older release wrote it.
    np.savez(tmp_path / "old.npz", format_version=np.array(1, "<i8"), bits=np.array(16, "<i8"),
             count=np.array(2, "<i8"), codes=np.array([[0x00ff], [0x0f0f]], "<u8"))
    old = HashIndex.load(tmp_path / "old.npz")
    assert old.ids().tolist() == [0, 1] and old.add(["ffff"]) == 2


def test_a_removal_is_seen_whole_or_not_at_all_by_concurrent_queries():
    import threading
    rng = np.random.default_rng(9)
    codes = rng.integers(0, 2**63, size=30_000, dtype=np.uint64)
    codes[:500] = codes[0]  # one group of 500 identical codes, removed in one call
    index = HashIndex.from_codes(codes, ids=np.arange(30_000) * 2)
    query = f"{codes[0]:016x}"
    start, mixed = threading.Barrier(2), []

    def remover():
        start.wait()
        index.remove(np.arange(500) * 2)

    thread = threading.Thread(target=remover)
    thread.start()
    start.wait()
    while thread.is_alive():
        found = len(index.within(query, 0)[0])
        pairs = len(index.pairs(0, other=HashIndex([query]))[0])
        if found not in (0, 500) or pairs not in (0, 500):
            mixed.append((found, pairs))
    thread.join()
    assert not mixed and len(index.within(query, 0)[0]) == 0
