"""Arrow columns, numpy text arrays, Polars and pandas series: every input gives the index the
iterable of str path gives, refuses what it refuses in the same words, and never reads past a
malformed array."""
import ctypes
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from quorvalent_index import HashError, HashIndex

pa = pytest.importorskip("pyarrow")

DIGITS = "0123456789abcdefABCDEF"


def same(a, b):
    return a.bits == b.bits and a.ids().tolist() == b.ids().tolist() and a.hex(a.ids()) == b.hex(b.ids())


def text_types():
    return [pa.string(), pa.large_string(), pa.string_view()]


def byte_types(width):
    return [pa.binary(), pa.large_binary(), pa.binary_view(), pa.binary(width)]


def chunked(values, typ, cuts, offset):
    """values as a chunked array of type typ, cut at `cuts`, each chunk a slice at `offset` of a
    longer array (so that every chunk has a non-zero offset)."""
    chunks = []
    for lo, hi in zip([0] + cuts, cuts + [len(values)]):
        padded = [values[lo]] * offset + values[lo:hi] if hi > lo else values[lo:hi]
        chunks.append(pa.array(padded, type=typ).slice(offset if hi > lo else 0))
    return pa.chunked_array(chunks, type=typ)


@st.composite
def columns(draw):
    digits = draw(st.sampled_from([1, 3, 16, 17, 32, 40, 64]))
    n = draw(st.integers(0, 40))
    hashes = [draw(st.text(DIGITS, min_size=digits, max_size=digits)) for _ in range(n)]
    cuts = sorted(set(draw(st.lists(st.integers(0, n), max_size=3))))
    return hashes, cuts, draw(st.integers(0, 3))


@settings(max_examples=60, deadline=None)
@given(columns(), st.data())
def test_every_arrow_type_gives_what_the_iterable_path_gives(case, data):
    hashes, cuts, offset = case
    want = HashIndex(hashes) if hashes else None
    for typ in text_types():
        got = HashIndex(chunked(hashes, typ, cuts, offset))
        assert want is None and len(got) == 0 or same(got, want), typ
    if not hashes:
        return
    # Big-endian bytes, as bytes.fromhex gives them; widths in whole bytes.
    even = [h if len(h) % 2 == 0 else "0" + h for h in hashes]
    raw = [bytes.fromhex(h) for h in even]
    width = len(raw[0])
    for typ in byte_types(width):
        got = HashIndex(chunked(raw, typ, cuts, offset))
        assert got.bits == 8 * width and got.hex(got.ids()) == [h.lower() for h in even], typ
    if len(hashes[0]) <= 16:
        values = [int(h, 16) for h in hashes]
        bits = 4 * len(hashes[0])
        expected = HashIndex(hashes)
        got = HashIndex(chunked(values, pa.uint64(), cuts, offset), bits=bits)
        assert same(got, expected)
        signed = [v - 2**64 if v >= 2**63 else v for v in values]
        assert same(HashIndex(chunked(signed, pa.int64(), cuts, offset), bits=bits), expected)
    # Nulls anywhere are refused, naming their row, and nothing is added.
    at = data.draw(st.integers(0, len(hashes) - 1))
    with_null = hashes[:at] + [None] + hashes[at + 1:]
    index = HashIndex(bits=4 * len(hashes[0]))
    for typ in text_types():
        with pytest.raises(HashError, match=f"hash at position {at} is null"):
            index.add(chunked(with_null, typ, cuts, offset))
    assert len(index) == 0


def test_views_inline_and_out_of_line_and_bad_text_in_the_iterable_path_words():
    short, long = "0123456789ab", "0123456789abcdef0123456789abcdef"  # 12 bytes fit in a view
    for values in ([short, short.upper()], [long, long[::-1]]):
        assert same(HashIndex(pa.array(values, type=pa.string_view())), HashIndex(values))
    for bad, fragment in ((["ff", "fg"], "hash at position 1 has an invalid character 'g' at offset 1"),
                          (["ff", "fff"], "hash at position 1 has 3 digits, but the index holds 2-digit hashes"),
                          (["ff", "é0"], "hash at position 1 has an invalid character 'é' at offset 0"),
                          ([""], "hash at position 0 is empty")):
        for typ in text_types():
            with pytest.raises(HashError) as arrow_error:
                HashIndex(pa.array(bad, type=typ))
            with pytest.raises(HashError) as list_error:
                HashIndex(bad)
            assert str(arrow_error.value) == str(list_error.value) == fragment
            assert arrow_error.value.position == list_error.value.position
    with pytest.raises(HashError, match="has 3 bytes, but the index holds 2-byte codes"):
        HashIndex(pa.array([b"\x01\x02", b"\x01\x02\x03"]))
    with pytest.raises(HashError, match="sets bits above the index's 10 bits"):
        HashIndex(pa.array([b"\x04\x00"]), bits=10)
    with pytest.raises(ValueError, match="needs the index's bits"):
        HashIndex(pa.array([1, 2], type=pa.int64()))
    with pytest.raises(HashError, match="code at position|hash at position 1 sets bits above the index's 8 bits"):
        HashIndex(pa.array([1, 256], type=pa.uint64()), bits=8)
    with pytest.raises(ValueError, match="got a column of Arrow format 'g'"):
        HashIndex(pa.array([1.5]))
    with pytest.raises(ValueError, match="dictionary-encoded"):
        HashIndex(pa.array(["ff", "ff"]).dictionary_encode())


def test_ids_and_priorities_take_arrow_columns():
    index = HashIndex(pa.array(["ff00", "ff01", "0000"]), ids=pa.chunked_array([[10, 20], [30]], type=pa.int32()))
    assert index.ids().tolist() == [10, 20, 30]
    assert index.groups(1, priority=pa.array([0.0, 5.0, 1.0]))[1].tolist() == [20, 20, 30]
    with pytest.raises(ValueError, match="must not hold nulls, and row 1 is null"):
        HashIndex(["00", "01"], ids=pa.array([1, None]))
    with pytest.raises(ValueError, match="ids must be integers, got a column of Arrow format 'u'"):
        HashIndex(["00"], ids=pa.array(["a"]))


def test_polars_pandas_and_numpy_text_arrays():
    hashes = ["00ff", "0f0f", "FFFF", "f0f0"]
    want = HashIndex(hashes)
    candidates = [np.array(hashes), np.array([h.encode() for h in hashes]),
                  np.array(hashes, dtype=np.dtypes.StringDType())]
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    candidates += [pl.Series(hashes), pd.Series(hashes), pd.Series(hashes, dtype="string[pyarrow]"),
                   pd.Series(hashes, dtype=object), pl.DataFrame({"h": hashes})["h"]]
    for source in candidates:
        assert same(HashIndex(source), want), type(source)
    with pytest.raises(HashError, match="hash at position 2 has an invalid character 'z' at offset 1"):
        HashIndex(np.array(["00ff", "0f0f", "fzff"]))
    with pytest.raises(HashError, match="hash at position 1 is null"):
        HashIndex(pl.Series(["00ff", None]))
    # Queries take the same inputs.
    offsets, ids, _ = want.within_many(pl.Series(["00ff", "ffff"]), 0)
    assert offsets.tolist() == [0, 1, 2] and ids.tolist() == [0, 2]


# The C Data Interface by hand: arrays that a broken producer could hand over.
class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


RELEASE_SCHEMA = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))
RELEASE_ARRAY = ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))
ArrowSchema._fields_ = [("format", ctypes.c_char_p), ("name", ctypes.c_char_p), ("metadata", ctypes.c_char_p),
                        ("flags", ctypes.c_int64), ("n_children", ctypes.c_int64), ("children", ctypes.c_void_p),
                        ("dictionary", ctypes.c_void_p), ("release", RELEASE_SCHEMA), ("private_data", ctypes.c_void_p)]
ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                       ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                       ("buffers", ctypes.POINTER(ctypes.c_void_p)), ("children", ctypes.c_void_p),
                       ("dictionary", ctypes.c_void_p), ("release", RELEASE_ARRAY), ("private_data", ctypes.c_void_p)]


@RELEASE_SCHEMA
def release_schema(schema):
    schema.contents.release = RELEASE_SCHEMA()


@RELEASE_ARRAY
def release_array(array):
    array.contents.release = RELEASE_ARRAY()


capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


class Handmade:
    """An object that hands over a schema and an array through __arrow_c_array__."""

    def __init__(self, format, length, buffers, offset=0, null_count=0, n_buffers=None):
        self.keep = [ctypes.create_string_buffer(bytes(b)) if isinstance(b, (bytes, bytearray)) else b for b in buffers]
        pointers = (ctypes.c_void_p * len(buffers))(*[ctypes.addressof(b) if b is not None else None for b in self.keep])
        self.pointers = pointers
        self.schema = ArrowSchema(format.encode(), None, None, 2, 0, None, None, release_schema, None)
        self.array = ArrowArray(length, null_count, offset, len(buffers) if n_buffers is None else n_buffers, 0,
                                ctypes.cast(pointers, ctypes.POINTER(ctypes.c_void_p)), None, None, release_array, None)

    def __arrow_c_array__(self, requested_schema=None):
        return (capsule_new(ctypes.addressof(self.schema), b"arrow_schema", None),
                capsule_new(ctypes.addressof(self.array), b"arrow_array", None))


def offsets32(*values):
    return np.array(values, dtype=np.int32).tobytes()


@pytest.mark.parametrize("make, fragment", [
    (lambda: Handmade("u", 2, [None, offsets32(0, 4, 2), b"ff00ff00"]), "offsets out of order at row 1"),
    (lambda: Handmade("u", 1, [None, offsets32(-4, 4), b"ff00ff00"]), "a negative offset"),
    (lambda: Handmade("u", -1, [None, offsets32(0), b""]), "a negative or overflowing length"),
    (lambda: Handmade("u", 1, [None, offsets32(0, 4)], n_buffers=2), "2 buffers, where a utf8 array has 3"),
    (lambda: Handmade("u", 1, [None, offsets32(0, 4), None]), "values without a data buffer"),
    (lambda: Handmade("u", 1, [None, offsets32(0, 4), b"ff00"], null_count=1), "nulls without a validity bitmap"),
    (lambda: Handmade("u", 1, [None, None, b"ff00"]), "no data buffer"),
    (lambda: Handmade("w:0", 1, [None, b"ff"]), "fixed_size_binary of width '0'"),
    (lambda: Handmade("vu", 1, [None, np.array([20, 0, 5, 0], dtype=np.int32).tobytes(), b"x" * 20,
                                np.array([20], dtype=np.int64).tobytes()]), "a view outside its data buffers at row 0"),
    (lambda: Handmade("vu", 1, [None, np.array([20, 0, 0, 10], dtype=np.int32).tobytes(), b"x" * 20,
                                np.array([20], dtype=np.int64).tobytes()]), "a view outside its data buffers at row 0"),
    (lambda: Handmade("vu", 1, [None, np.array([-1, 0, 0, 0], dtype=np.int32).tobytes(),
                                np.array([], dtype=np.int64).tobytes()]), "a negative length at row 0"),
    (lambda: Handmade("+s", 0, [None]), "got a column of Arrow format '+s'"),
])
def test_malformed_arrays_are_refused_before_a_byte_is_read(make, fragment):
    with pytest.raises(ValueError) as info:
        HashIndex(make())
    assert fragment in str(info.value)
    # A well-formed handmade array is read, and its release callbacks run.
    good = Handmade("u", 2, [None, offsets32(0, 4, 8), b"ff000f0f"])
    assert HashIndex(good).hex([0, 1]) == ["ff00", "0f0f"]
    assert not good.array.release and not good.schema.release


def test_the_module_imports_without_pyarrow():
    import subprocess
    code = ("import sys; sys.modules['pyarrow'] = None; sys.modules['polars'] = None; sys.modules['pandas'] = None\n"
            "from quorvalent_index import HashIndex\n"
            "print(HashIndex(['ff00']).hex([0])[0])")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout.strip() == "ff00", result.stderr
