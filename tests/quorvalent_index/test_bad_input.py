"""Every method refuses bad input with a ValueError that names what and where, and a refused
add() leaves the index exactly as it was."""
import numpy as np
import pytest

from quorvalent_index import HashIndex


def state(index):
    return len(index), index.bits, index.hex(range(len(index)))


@pytest.mark.parametrize("hashes, fragments", [
    (["ff", "f"], ["hash at position 1", "1 digits", "2-digit"]),
    (["ff", "fff"], ["hash at position 1", "3 digits"]),
    (["ff", "fg"], ["hash at position 1", "invalid character 'g'", "offset 1"]),
    (["ff", "0x"], ["invalid character 'x'"]),
    (["ff", "é0"], ["hash at position 1", "invalid character 'é'", "offset 0"]),
    (["ff", " f"], ["invalid character ' '"]),
    (["ff", "f\0"], ["invalid character '\\x00'"]),
    (["ff", 255], ["hash at position 1", "int, not str"]),
    (["ff", b"ff"], ["bytes, not str"]),
    (["ff", None], ["NoneType, not str"]),
    ([""], ["hash at position 0"]),
    (["0" * 1025], ["hash at position 0", "1025 digits"]),
    ("ffff", ["single str"]),
    (b"ffff", ["single bytes"]),
    (5, ["iterable"]),
])
def test_construction_and_add_refuse_bad_hashes(refuses, hashes, fragments):
    refuses(fragments, HashIndex, hashes)
    index = HashIndex(["00", "01"])
    before = state(index)
    refuses(fragments, index.add, hashes)
    assert state(index) == before
    assert index.within("00", 1)[0].tolist() == [0, 1]


def test_the_first_hash_must_set_a_usable_width(refuses):
    refuses("hash at position 0 is empty", HashIndex, [""])
    refuses("1025 digits; at most 1024 are supported", HashIndex, ["0" * 1025])
    assert HashIndex(["f" * 1024]).bits == 4096


def test_a_failed_first_add_leaves_the_width_open(refuses):
    index = HashIndex()
    refuses("position 2", index.add, ["aa", "bb", "c"])
    assert index.bits is None and len(index) == 0
    assert index.add(["abc"]) == 0 and index.bits == 12


def test_generators_are_refused_at_the_right_position(refuses):
    refuses("hash at position 3", HashIndex, (f"{i:02x}" if i != 3 else "zz" for i in range(6)))

    def broken():
        yield "ff"
        raise RuntimeError("source failed")
    with pytest.raises(RuntimeError, match="source failed"):
        HashIndex(broken())


def test_width_from_bits_is_enforced(refuses):
    refuses("bits must be between 1 and 4096", HashIndex, bits=0)
    refuses("bits must be between 1 and 4096", HashIndex, bits=4097)
    refuses("bits must be between 1 and 4096, got -8", HashIndex, bits=-8)
    refuses("3 digits, but the index holds 2-digit", HashIndex, ["abc"], bits=8)
    # 10 bits are 3 digits whose top two bits must stay clear.
    index = HashIndex(["3ff"], bits=10)
    refuses("sets bits above the index's 10 bits", index.add, ["400"])
    refuses("sets bits above", index.within, "fff", 1)


QUERY_METHODS = [
    ("within", lambda ix, q: ix.within(q, 2)),
    ("nearest", lambda ix, q: ix.nearest(q, 2)),
    ("within_many", lambda ix, q: ix.within_many([q], 2)),
    ("nearest_many", lambda ix, q: ix.nearest_many([q], 2)),
]


@pytest.mark.parametrize("name, call", QUERY_METHODS)
@pytest.mark.parametrize("query, fragment", [
    ("fff", "3 digits, but the index holds 2-digit"),
    ("g0", "invalid character 'g'"),
    (12, "int, not str"),
    ("", "0 digits"),
])
def test_queries_refuse_bad_hashes(refuses, name, call, query, fragment):
    refuses(["query", fragment], call, HashIndex(["00", "ff"]), query)


def test_many_queries_name_the_position(refuses):
    index = HashIndex(["00", "ff"])
    refuses("query at position 2", index.within_many, ["00", "ff", "f"], 1)
    refuses("query at position 1", index.nearest_many, ["00", 7], 1)


@pytest.mark.parametrize("call, fragment", [
    (lambda ix: ix.within("00", -1), "max_dist must be >= 0, got -1"),
    (lambda ix: ix.within("00", 1.5), "max_dist must be an int, got float"),
    (lambda ix: ix.within("00", "1"), "max_dist must be an int, got str"),
    (lambda ix: ix.within("00", True), "max_dist must be an int, got bool"),
    (lambda ix: ix.nearest("00", -3), "k must be >= 0, got -3"),
    (lambda ix: ix.nearest("00", None), "k must be an int, got NoneType"),
    (lambda ix: ix.within_many(["00"], -2**70), "max_dist must be >= 0"),
    (lambda ix: ix.nearest_many(["00"], -1), "k must be >= 0"),
    (lambda ix: ix.pairs(-1), "max_dist must be >= 0"),
    (lambda ix: ix.pairs(1, threads=0), "threads must be a positive int"),
    (lambda ix: ix.pairs(1, threads=True), "threads must be a positive int or None, got True"),
    (lambda ix: ix.pairs(1, threads=2.0), "threads must be a positive int"),
    (lambda ix: ix.pairs(1, progress=5), "progress must be a callable or None, got int"),
    (lambda ix: ix.plan(2, "bogus"), "kind must be 'within' or 'pairs', got 'bogus'"),
    (lambda ix: ix.hex([True]), "id at position 0 is bool, not int"),
    (lambda ix: ix.iter_pairs(1, batch=0), "batch must be >= 1"),
    (lambda ix: ix.iter_pairs(-1), "max_dist must be >= 0"),
    (lambda ix: ix.within_many("00", 1), "expected an iterable of str queries, got a single str"),
    (lambda ix: ix.within_many(["00"], 1, threads=-2), "threads must be a positive int"),
    (lambda ix: ix.pairs(1, other=HashIndex(["000"])), "other holds 12-bit codes, but this index holds 8-bit"),
    (lambda ix: ix.pairs(1, other=["00"]), "other must be a HashIndex"),
    (lambda ix: ix.hex(["0"]), "id at position 0 is str, not int"),
    (lambda ix: ix.hex(3), "ids must be an iterable of int"),
])
def test_arguments_are_checked(refuses, call, fragment):
    refuses(fragment, call, HashIndex(["00", "ff"]))


def test_ids_the_index_does_not_hold_are_key_errors():
    index = HashIndex(["00", "ff"])
    for call in (lambda: index.hex([2]), lambda: index.hex([0, -1]), lambda: index.remove([1, 5])):
        with pytest.raises(KeyError) as info:
            call()
        assert info.value.args[0] in (2, -1, 5)
    assert len(index) == 2, "a refused remove removes nothing"


def test_numpy_integers_are_integers():
    index = HashIndex(["00", "01", "ff"])
    assert index.within("00", np.int64(1))[0].tolist() == [0, 1]
    assert index.hex(np.array([2, 0])) == ["ff", "00"]
    assert [a.tolist() for a in index.pairs(8, threads=np.int64(2))] == [a.tolist() for a in index.pairs(8)]
    assert index.within_many(["00"], 1, threads=np.uint8(3))[1].tolist() == [0, 1]


def test_objects_whose_text_cannot_be_encoded_get_a_clear_error(refuses):
    class Surrogate:
        def __str__(self):
            return "\udc80"

        def __repr__(self):
            return "\udc80"

        def __index__(self):
            return -5
    refuses(["max_dist must be >= 0", "udc80"], HashIndex(["00"]).within, "00", Surrogate())
    refuses("hash at position 0 is Surrogate, not str", HashIndex, [Surrogate()])


def test_hash_errors_carry_their_position():
    from quorvalent_index import HashError
    with pytest.raises(HashError) as info:
        HashIndex(["00", "01", "0g"])
    assert info.value.position == 2 and info.value.reason == "has an invalid character 'g' at offset 1"
    with pytest.raises(HashError) as info:
        HashIndex(["00"]).within("000", 1)
    assert info.value.position is None and isinstance(info.value, ValueError)


def test_huge_radii_and_k_are_clamped():
    index = HashIndex(["00", "01", "ff"])
    assert index.within("00", 10**30)[0].tolist() == [0, 1, 2]
    assert index.nearest("00", 10**30)[0].tolist() == [0, 1, 2]


@pytest.mark.parametrize("codes, bits, fragment", [
    (np.array([1, 2], dtype=np.uint32), 64, "must be uint64 or uint8"),
    (np.array([[1, 2]], dtype=np.uint8), 64, "rows of 8 bytes, got 2"),
    (np.array([1 << 20], dtype=np.uint64), 20, "code at position 0 sets bits above the index's 20 bits"),
    (np.array([[0x10, 0]], dtype=np.uint8), 12, "code at position 0 sets bits above"),
    (np.array([1], dtype=np.uint64), 128, "uint64 codes hold at most 64 bits"),
    (np.array([1, 2], dtype=np.uint64), 0, "bits must be between 1 and 4096"),
    (np.array([1, 2], dtype=np.uint64), -1, "bits must be between 1 and 4096, got -1"),
    (np.uint64(5), 64, "codes must be an array of shape (N,) or (N, bytes), got shape ()"),
    (np.zeros((2, 2, 8), dtype=np.uint8), 64, "got shape (2, 2, 8)"),
])
def test_from_codes_refuses_bad_arrays(refuses, codes, bits, fragment):
    refuses(fragment, HashIndex.from_codes, codes, bits=bits)
