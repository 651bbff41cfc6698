"""Exact near-duplicate search over hex hashes (perceptual hashes, simhashes).

    >>> from quorvalent_index import HashIndex
    >>> index = HashIndex(["ff00", "ff01", "0000"])
    >>> ids, dists = index.within("ff00", 1)
    >>> ids.tolist(), dists.tolist()
    ([0, 1], [0, 1])

Distances are those of ``quorvalent.hamming_distance``: the bits in which two hashes differ.
A distance equal to ``max_dist`` is within.
"""
from __future__ import annotations

import io
import os
import tempfile
import zipfile
from typing import Any

import numpy as np

from . import _core
from ._core import __version__

__all__ = ["HashIndex", "__version__"]

# Bumped whenever the saved layout changes; load() refuses any other.
FORMAT_VERSION = 1
_MEMBERS = ("format_version.npy", "bits.npy", "count.npy", "codes.npy")


class HashIndex(_core.HashIndex):
    __doc__ = _core.HashIndex.__doc__

    @classmethod
    def from_codes(cls, codes: Any, bits: int = 64) -> "HashIndex":
        """An index of packed codes: uint64 of shape (N,) for bits <= 64, or uint8 of shape
        (N, ceil(bits / 8)) holding each code's big-endian bytes, as bytes.fromhex gives them."""
        index = cls(bits=bits)
        array = np.asarray(codes)
        if array.dtype not in (np.uint64, np.uint8):
            raise ValueError(f"codes must be uint64 or uint8, got {array.dtype}")
        index._add_codes(np.ascontiguousarray(array))
        return index

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the index to `path` as an uncompressed .npz file, atomically: a temporary
        file in the same folder, flushed to disk, then renamed over the old one."""
        path = os.fspath(path)
        folder = os.path.dirname(os.path.abspath(path))
        codes = self._codes()
        arrays: dict[str, Any] = {
            "format_version": np.array(FORMAT_VERSION, dtype="<i8"),
            "bits": np.array(self.bits or 0, dtype="<i8"),
            "count": np.array(codes.shape[0], dtype="<i8"),
            "codes": codes.astype("<u8", copy=False),
        }
        fd, temporary = tempfile.mkstemp(prefix=".hashindex-", suffix=".tmp", dir=folder)
        try:
            with os.fdopen(fd, "wb") as f:
                _write_archive(f, arrays)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temporary, path)
        except BaseException:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
            raise
        if hasattr(os, "O_DIRECTORY"):
            # The rename itself must reach the disk too.
            dir_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(dir_fd)
            finally:
                os.close(dir_fd)

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True) -> "HashIndex":
        """Reads an index written by save(). With mmap=True the codes are mapped from the file
        instead of read; the tables are rebuilt in memory either way."""
        path = os.fspath(path)
        try:
            return _load(cls, path, mmap)
        except (ValueError, FileNotFoundError, PermissionError, IsADirectoryError):
            raise
        except Exception as error:
            # A damaged archive fails in the zip reader in many ways (BadZipFile, EOFError,
            # NotImplementedError for a mangled version field, zlib errors...): all are a
            # file that is not a HashIndex.
            raise ValueError(f"{path}: not a HashIndex file ({type(error).__name__}: {error})") from None


def _load(cls: type[HashIndex], path: str, mmap: bool) -> HashIndex:
    with zipfile.ZipFile(path) as archive:
        names = sorted(archive.namelist())
        if names != sorted(_MEMBERS):
            raise ValueError(f"{path}: not a HashIndex file (members {names})")
        if archive.testzip() is not None:
            raise ValueError(f"{path}: corrupted (a member fails its checksum)")
        scalars = {}
        for name in ("format_version", "bits", "count"):
            value = _read_npy(archive, name + ".npy", path)
            if value.shape != () or value.dtype != np.dtype("<i8"):
                raise ValueError(f"{path}: {name} must be a little-endian int64 scalar")
            scalars[name] = int(value)
        if scalars["format_version"] != FORMAT_VERSION:
            raise ValueError(f"{path}: format version {scalars['format_version']}, "
                             f"this quorvalent_index reads {FORMAT_VERSION}")
        bits, count = scalars["bits"], scalars["count"]
        if not 0 <= bits <= 4096 or count < 0:
            raise ValueError(f"{path}: bits {bits} and count {count} are out of range")
        words = (bits + 63) // 64
        info = archive.getinfo("codes.npy")
        with archive.open(info) as member:
            try:
                version = np.lib.format.read_magic(member)
                if version == (1, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_1_0(member)
                elif version == (2, 0):
                    shape, fortran, dtype = np.lib.format.read_array_header_2_0(member)
                else:
                    raise ValueError(f"unsupported .npy version {version}")
            except ValueError as error:
                raise ValueError(f"{path}: codes.npy is malformed ({error})") from None
            header_size = member.tell()
        if dtype != np.dtype("<u8") or fortran or shape != (count, words):
            raise ValueError(f"{path}: codes must be C-ordered '<u8' of shape ({count}, {words}), "
                             f"got {dtype.str} {shape}")
        if info.compress_type != zipfile.ZIP_STORED:
            mmap = False
        codes: np.ndarray
        if mmap and count:
            codes = np.memmap(path, dtype="<u8", mode="r", shape=(count, words),
                              offset=_member_data_offset(path, info) + header_size)
        else:
            codes = _read_npy(archive, "codes.npy", path)
    if bits == 0:
        if count:
            raise ValueError(f"{path}: an index without a width holds no codes")
        return cls()
    top = bits - 64 * (words - 1)
    if count and top < 64 and np.any(codes[:, -1] >> np.uint64(top)):
        raise ValueError(f"{path}: a code sets bits above its {bits} bits (padding must be zero)")
    index = cls(bits=bits)
    if count:
        if mmap and codes.dtype.isnative:
            index._borrow_codes(codes, codes)
        else:
            index._add_codes(np.ascontiguousarray(codes, dtype=np.uint64))
    return index


# The codes are stored uncompressed and start on a 64-byte boundary of the file, so that a
# mapping of them is aligned for 64-bit loads. The padding goes into the member's local extra
# field under the tag that zipalign uses for the same purpose.
_ALIGN = 64
_PADDING_TAG = 0xD935


def _npy_bytes(array: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    np.lib.format.write_array(buffer, array, allow_pickle=False)
    return buffer.getvalue()


def _write_archive(f: Any, arrays: dict[str, Any]) -> None:
    with zipfile.ZipFile(f, "w", compression=zipfile.ZIP_STORED) as archive:
        for name, array in arrays.items():
            data = _npy_bytes(array)
            info = zipfile.ZipInfo(name + ".npy", date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED
            if name == "codes":
                header = len(data) - array.nbytes  # the .npy header before the codes
                start = f.tell() + 30 + len(info.filename.encode()) + 4 + header
                info.extra = _PADDING_TAG.to_bytes(2, "little") + ((-start) % _ALIGN).to_bytes(2, "little") \
                    + bytes((-start) % _ALIGN)
            archive.writestr(info, data)


def _read_npy(archive: zipfile.ZipFile, name: str, path: str) -> np.ndarray:
    with archive.open(name) as member:
        try:
            return np.lib.format.read_array(member, allow_pickle=False)
        except ValueError as error:
            raise ValueError(f"{path}: {name} is malformed ({error})") from None


def _member_data_offset(path: str, info: zipfile.ZipInfo) -> int:
    # The local header repeats the name and may carry its own extra field: its lengths, not
    # the central directory's, say where the stored bytes begin.
    with open(path, "rb") as f:
        f.seek(info.header_offset)
        local = f.read(30)
    if len(local) != 30 or local[:4] != b"PK\x03\x04":
        raise ValueError(f"{path}: corrupted zip member header")
    name_length = int.from_bytes(local[26:28], "little")
    extra_length = int.from_bytes(local[28:30], "little")
    return info.header_offset + 30 + name_length + extra_length
