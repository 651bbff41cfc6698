"""save() and load(): round trips with and without mapping, atomic replacement, and files that
are truncated or have a flipped byte, which must give a ValueError or the very same index."""
import os
import zipfile

import numpy as np
import pytest

from quorvalent_index import HashIndex, _format


def same_index(a, b):
    return (len(a) == len(b) and a.bits == b.bits and a.hex(range(len(a))) == b.hex(range(len(b))))


@pytest.fixture(params=[16, 64, 100, 256])
def index(request):
    digits = request.param // 4
    rng = np.random.default_rng(digits)
    hashes = ["".join(rng.choice(list("0123456789abcdef"), digits)) for _ in range(700)]
    hashes += [h[:-1] + ("0" if h[-1] != "0" else "1") for h in hashes[:50]]
    return HashIndex(hashes)


@pytest.mark.parametrize("mmap", [True, False])
def test_round_trip(tmp_path, index, mmap):
    path = tmp_path / "index.npz"
    index.save(path)
    loaded = HashIndex.load(path, mmap=mmap)
    assert type(loaded) is HashIndex and same_index(index, loaded)
    query = index.hex([3])[0]
    for r in (0, 2, 9):
        assert [a.tolist() for a in loaded.within(query, r)] == [a.tolist() for a in index.within(query, r)]
    assert [a.tolist() for a in loaded.pairs(3)] == [a.tolist() for a in index.pairs(3)]
    # A mapped index still takes additions (it copies its codes first).
    first = loaded.add(index.hex([0, 1]))
    assert first == len(index) and loaded.hex([first]) == index.hex([0])


def test_numpy_opens_the_file(tmp_path, index):
    path = tmp_path / "index.npz"
    index.save(path)
    with np.load(path) as data:
        assert int(data["format_version"]) == 1 and int(data["bits"]) == index.bits
        assert data["codes"].dtype == np.dtype("<u8") and data["codes"].shape[0] == len(index)
        if index.bits == 64:
            assert [f"{c:016x}" for c in data["codes"][:5, 0].tolist()] == index.hex(range(5))


def test_codes_are_stored_aligned_for_mapping(tmp_path, index):
    path = tmp_path / "index.npz"
    index.save(path)
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo("codes.npy")
        with archive.open(info) as member:
            np.lib.format.read_magic(member)
            np.lib.format.read_array_header_1_0(member)
            header = member.tell()
    with open(path, "rb") as f:
        start = _format._data_offset(f, path.stat().st_size, info) + header
    assert info.compress_type == zipfile.ZIP_STORED and start % 64 == 0


def test_mmap_maps_instead_of_reading(tmp_path):
    index = HashIndex.from_codes(np.arange(50_000, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15))
    path = tmp_path / "big.npz"
    index.save(path)
    mapped = HashIndex.load(path, mmap=True)
    read = HashIndex.load(path, mmap=False)
    # The mapped index owns no copy of its codes: only the tables count.
    assert mapped.nbytes <= read.nbytes - 8 * 50_000 + 4096
    assert same_index(mapped, read)


def test_save_is_atomic_and_leaves_no_temporary(tmp_path, index, monkeypatch):
    path = tmp_path / "index.npz"
    HashIndex(["00"]).save(path)
    before = path.read_bytes()

    def crash(f, bits, codes, ids, given_ids, next_id):
        f.write(b"PK\x03\x04 half a file")
        raise OSError("disk full")
    monkeypatch.setattr(_format, "write", crash)
    with pytest.raises(OSError, match="disk full"):
        index.save(path)
    assert path.read_bytes() == before, "the old file must survive a failed save"
    assert os.listdir(tmp_path) == ["index.npz"]
    monkeypatch.undo()
    index.save(path)
    assert os.listdir(tmp_path) == ["index.npz"]
    assert same_index(HashIndex.load(path), index)


def test_empty_and_unset_indexes_round_trip(tmp_path):
    for original in (HashIndex(), HashIndex(bits=64)):
        path = tmp_path / "e.npz"
        original.save(path)
        loaded = HashIndex.load(path)
        assert len(loaded) == 0 and loaded.bits == original.bits


def test_truncated_files_are_refused(tmp_path):
    path = tmp_path / "index.npz"
    HashIndex([f"{i * 7919:08x}" for i in range(300)]).save(path)
    data = path.read_bytes()
    broken = tmp_path / "broken.npz"
    for size in sorted({0, 1, 4, 22, 100, len(data) // 2, len(data) - 22, len(data) - 1} | set(range(0, len(data), 97))):
        broken.write_bytes(data[:size])
        with pytest.raises(ValueError):
            HashIndex.load(broken)


@pytest.mark.parametrize("mmap", [True, False])
def test_flipped_bytes_give_an_error_or_the_same_index(tmp_path, mmap):
    original = HashIndex([f"{i * 2654435761 % 2**32:08x}" for i in range(200)])
    path = tmp_path / "index.npz"
    original.save(path)
    data = path.read_bytes()
    broken = tmp_path / "broken.npz"
    rng = np.random.default_rng(0)
    refused = 0
    for pos in sorted(set(range(0, len(data), 7)) | set(rng.integers(0, len(data), 300).tolist())):
        for flip in (0x01, 0x80):
            mutated = bytearray(data)
            mutated[pos] ^= flip
            broken.write_bytes(bytes(mutated))
            try:
                loaded = HashIndex.load(broken, mmap=mmap)
            except ValueError:
                refused += 1
                continue
            # Some bytes (a zip comment, a timestamp) carry nothing; the index must be intact.
            assert same_index(loaded, original), f"byte {pos} ^ {flip:#x} gave a different index"
    assert refused > 0


def test_files_of_another_kind_are_refused(tmp_path):
    path = tmp_path / "other.npz"
    np.savez(path, codes=np.zeros((3, 1), "<u8"))
    with pytest.raises(ValueError, match="not a HashIndex file"):
        HashIndex.load(path)
    for name, value, match in [
        ("format_version", np.array(2, "<i8"), "format version 2"),
        ("bits", np.array(5000, "<i8"), "out of range"),
        ("codes", np.zeros((3, 2), "<u8"), "codes must be"),
        ("codes", np.zeros((3, 1), ">u8"), "codes must be"),
        ("codes", np.full((3, 1), 1 << 40, "<u8"), "padding must be zero"),
    ]:
        arrays = {"format_version": np.array(1, "<i8"), "bits": np.array(40, "<i8"),
                  "count": np.array(3, "<i8"), "codes": np.zeros((3, 1), "<u8")}
        arrays[name] = value
        np.savez(path, **arrays)
        with pytest.raises(ValueError, match=match):
            HashIndex.load(path)
    path.write_text("not a zip file")
    with pytest.raises(ValueError, match="not a HashIndex file"):
        HashIndex.load(path)
    with pytest.raises(FileNotFoundError):
        HashIndex.load(tmp_path / "missing.npz")
    assert zipfile.is_zipfile(tmp_path / "other.npz") is False


def _rewrite_codes_header(path, declared_rows):
    """A copy of the archive whose codes.npy header declares `declared_rows` rows, with the
    member's bytes and checksum otherwise as they were."""
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    data = members["codes.npy"]
    header_end = data.index(b"\n") + 1
    old_header = data[:header_end]
    new_header = old_header.replace(b"(3, 1)", f"({declared_rows}, 1)".encode())
    new_header = new_header[:-1].rstrip(b" ") + b" " * (len(old_header) - len(new_header[:-1].rstrip(b" ")) - 1) + b"\n"
    members["codes.npy"] = new_header + data[header_end:]
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        for name, member in members.items():
            archive.writestr(name, member)


@pytest.mark.parametrize("mmap", [True, False])
def test_a_header_declaring_more_codes_than_the_member_holds_is_refused(tmp_path, mmap):
    path = tmp_path / "crafted.npz"
    np.savez(path, format_version=np.array(1, "<i8"), bits=np.array(64, "<i8"), count=np.array(40, "<i8"),
             codes=np.arange(3, dtype="<u8").reshape(3, 1))
    _rewrite_codes_header(path, 40)
    with pytest.raises(ValueError, match="declares 40 codes"):
        HashIndex.load(path, mmap=mmap)


def test_files_numpy_writes_load_mapped_or_not_and_compressed_ones_are_refused(tmp_path):
    codes = (np.arange(1000, dtype="<u8") * np.uint64(0x9E3779B97F4A7C15)).reshape(-1, 1)
    arrays = dict(format_version=np.array(1, "<i8"), bits=np.array(64, "<i8"), count=np.array(1000, "<i8"), codes=codes)
    plain = tmp_path / "plain.npz"
    np.savez(plain, **arrays)
    for mmap in (True, False):
        # numpy does not align the codes for mapping: they are read instead.
        assert HashIndex.load(plain, mmap=mmap).hex([999]) == [f"{int(codes[999, 0]):016x}"]
    packed = tmp_path / "packed.npz"
    np.savez_compressed(packed, **arrays)
    for mmap in (True, False):
        with pytest.raises(ValueError, match="compressed; HashIndex files are stored uncompressed"):
            HashIndex.load(packed, mmap=mmap)


@pytest.mark.skipif(os.name != "posix", reason="POSIX permissions and symbolic links")
def test_save_keeps_the_mode_of_the_file_it_replaces_and_follows_a_link(tmp_path):
    index = HashIndex(["00ff", "ff00"])
    path = tmp_path / "index.npz"
    index.save(path)
    umask = os.umask(0o022)
    os.umask(umask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~umask, "a new file gets open()'s mode"
    os.chmod(path, 0o644)
    index.save(path)
    assert path.stat().st_mode & 0o777 == 0o644
    os.chmod(path, 0o640)
    HashIndex(["1234"]).save(path)
    assert path.stat().st_mode & 0o777 == 0o640
    link = tmp_path / "link.npz"
    link.symlink_to(path)
    index.save(link)
    assert link.is_symlink() and same_index(HashIndex.load(path), index)
    assert sorted(os.listdir(tmp_path)) == ["index.npz", "link.npz"]
    # Paths as bytes, as os.fsencode gives them.
    assert same_index(HashIndex.load(os.fsencode(path)), index)


def test_a_mapped_index_keeps_its_codes_when_the_file_is_replaced(tmp_path):
    path = tmp_path / "index.npz"
    first = HashIndex.from_codes(np.arange(20_000, dtype=np.uint64))
    first.save(path)
    mapped = HashIndex.load(path, mmap=True)
    HashIndex.from_codes(np.arange(20_000, dtype=np.uint64) + np.uint64(1 << 40)).save(path)
    assert mapped.hex([123]) == [f"{123:016x}"]
    assert mapped.within(f"{123:016x}", 0)[0].tolist() == [123]
