"""The saved file of a HashIndex: an uncompressed .npz archive that numpy.load opens.

Members, each a .npy array:

    format_version  int64 scalar: 1, or 2 for an index with ids of its own
    bits            int64 scalar: bits per code (0 for an index without a width)
    count           int64 scalar: N
    codes           '<u8' of shape (N, ceil(bits / 64)): word j of a code is the number spelled
                    by its digits 16j to 16j + 15; no bit outside the code is set

and, in format 2 only:

    ids             '<i8' of shape (N,): each code's id, unique
    given_ids       int64 scalar: 1 when the ids were given by the caller, 0 when they are
                    insertion numbers (some codes having been removed)
    next_id         int64 scalar: the insertion number of the next code added without ids

A format 1 file is an index numbered by insertion, ids 0 to N - 1. save() writes format 1
whenever that describes the index, so that readers of format 1 can still read it.

Every member is stored, never compressed, and the codes start on a 64-byte boundary of the
file, so that they can be mapped and read in place with aligned 64-bit loads. The padding that
aligns them sits in the codes member's local extra field, under the tag zipalign uses for it.

A file is opened once and read through that one descriptor, whether the codes are read or
mapped: a file replaced under the same name while it is read (as save() replaces one) cannot
mix two files. The mapping is private (copy on write), and holds the file that was opened, so
replacing the path atomically is safe for indexes that already mapped it. Truncating or
rewriting a mapped file in place is not: the process may then read the new bytes or die of
SIGBUS, as it would with any mapped file.
"""
from __future__ import annotations

import io
import mmap as _mmap
import os
import struct
import zipfile
from typing import IO, Any

import numpy as np

FORMAT_VERSION = 2
MEMBERS = {1: ("format_version.npy", "bits.npy", "count.npy", "codes.npy"),
           2: ("format_version.npy", "bits.npy", "count.npy", "codes.npy", "ids.npy", "given_ids.npy", "next_id.npy")}
MAX_BITS = 4096

ALIGN = 64
PADDING_TAG = 0xD935
# A zip local file header: signature, versions, flags, method, time, date, crc, sizes, then the
# lengths of the name and of the extra field that follow it.
LOCAL_HEADER = struct.Struct("<IHHHHHIIIHH")
LOCAL_SIGNATURE = 0x04034B50


class FormatError(ValueError):
    """A file that is not a whole, valid HashIndex file."""


def _npy_bytes(array: np.ndarray) -> bytes:
    buffer = io.BytesIO()
    np.lib.format.write_array(buffer, array, allow_pickle=False)
    return buffer.getvalue()


def write(f: IO[bytes], bits: int, codes: np.ndarray, ids: np.ndarray, given_ids: bool, next_id: int) -> None:
    """Writes the archive of an index of `bits` bits holding `codes` with these ids to the open
    file f: format 1 when the ids are insertion numbers 0..N-1, else format 2."""
    count = codes.shape[0]
    numbered = not given_ids and next_id == count and np.array_equal(ids, np.arange(count, dtype=np.int64))
    arrays: dict[str, Any] = {
        "format_version": np.array(1 if numbered else 2, dtype="<i8"),
        "bits": np.array(bits, dtype="<i8"),
        "count": np.array(count, dtype="<i8"),
        "codes": codes.astype("<u8", copy=False),
    }
    if not numbered:
        arrays["ids"] = ids.astype("<i8", copy=False)
        arrays["given_ids"] = np.array(int(given_ids), dtype="<i8")
        arrays["next_id"] = np.array(next_id, dtype="<i8")
    with zipfile.ZipFile(f, "w", compression=zipfile.ZIP_STORED) as archive:
        for name, array in arrays.items():
            data = _npy_bytes(array)
            info = zipfile.ZipInfo(name + ".npy", date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED
            if name == "codes":
                header = len(data) - array.nbytes  # the .npy header before the codes
                # Where the codes would start with an empty padding field (its 4-byte head
                # included), and the padding that moves them to the boundary.
                start = f.tell() + LOCAL_HEADER.size + len(info.filename.encode()) + 4 + header
                padding = (-start) % ALIGN
                info.extra = PADDING_TAG.to_bytes(2, "little") + padding.to_bytes(2, "little") + bytes(padding)
            archive.writestr(info, data)


def _scalar(archive: zipfile.ZipFile, name: str) -> int:
    with archive.open(name + ".npy") as member:
        try:
            value = np.lib.format.read_array(member, allow_pickle=False)
        except ValueError as error:
            raise FormatError(f"{name}.npy is malformed ({error})") from None
    if value.shape != () or value.dtype != np.dtype("<i8"):
        raise FormatError(f"{name} must be a little-endian int64 scalar")
    return int(value)


def _codes_header(archive: zipfile.ZipFile, info: zipfile.ZipInfo) -> tuple[tuple[int, ...], bool, np.dtype, int]:
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
            raise FormatError(f"codes.npy is malformed ({error})") from None
        return shape, fortran, dtype, member.tell()


def _data_offset(source: Any, size: int, info: zipfile.ZipInfo) -> int:
    # The local header repeats the name and may carry an extra field of its own: its lengths,
    # not the central directory's, say where the stored bytes begin.
    source.seek(info.header_offset)
    local = source.read(LOCAL_HEADER.size)
    if len(local) != LOCAL_HEADER.size:
        raise FormatError("corrupted zip member header")
    fields = LOCAL_HEADER.unpack(local)
    if fields[0] != LOCAL_SIGNATURE:
        raise FormatError("corrupted zip member header")
    offset = info.header_offset + LOCAL_HEADER.size + fields[9] + fields[10]
    if offset + info.file_size > size:
        raise FormatError("a member runs past the end of the file")
    return offset


class _Mapped(io.RawIOBase):
    """A mapping read as a file, for the zip reader: no second open of the path."""

    def __init__(self, mapping: _mmap.mmap) -> None:
        self.mapping = mapping

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_SET:
            self.mapping.seek(offset, io.SEEK_SET)
        elif whence == io.SEEK_CUR:
            self.mapping.seek(offset, io.SEEK_CUR)
        else:
            self.mapping.seek(offset, io.SEEK_END)
        return self.mapping.tell()

    def tell(self) -> int:
        return self.mapping.tell()

    def read(self, size: int | None = -1) -> bytes:
        return self.mapping.read(size)

    def readinto(self, buffer: Any) -> int:
        data = self.mapping.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)


class Contents:
    """What a file holds: codes of shape (count, words), mapped or read, the object that must
    outlive them, and the ids (None for 0..count-1)."""

    def __init__(self, bits: int, codes: np.ndarray, owner: Any, ids: np.ndarray | None, given_ids: bool,
                 next_id: int) -> None:
        self.bits, self.codes, self.owner = bits, codes, owner
        self.ids, self.given_ids, self.next_id = ids, given_ids, next_id


def read(path: str, mmap: bool) -> Contents:
    """The contents of the file at path, its codes mapped when mmap is true and the file allows
    it."""
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        mapping = None
        if mmap and size > 0:
            # Private: the mapping keeps the pages of the file opened here, whatever replaces it.
            mapping = _mmap.mmap(f.fileno(), 0, access=_mmap.ACCESS_COPY)
        source: Any = _Mapped(mapping) if mapping is not None else f
        with zipfile.ZipFile(source) as archive:
            names = sorted(archive.namelist())
            if names not in [sorted(m) for m in MEMBERS.values()]:
                raise FormatError(f"not a HashIndex file (members {names})")
            for info in archive.infolist():
                if info.compress_type != zipfile.ZIP_STORED:
                    # A compressed member may expand to any size; a HashIndex file has none.
                    raise FormatError(f"{info.filename} is compressed; HashIndex files are stored uncompressed")
            if archive.testzip() is not None:
                raise FormatError("corrupted (a member fails its checksum)")
            version = _scalar(archive, "format_version")
            if version not in MEMBERS:
                raise FormatError(f"format version {version}, this quorvalent_index reads 1 and 2")
            if names != sorted(MEMBERS[version]):
                raise FormatError(f"format version {version} with the members of another (members {names})")
            bits, count = _scalar(archive, "bits"), _scalar(archive, "count")
            if not 0 <= bits <= MAX_BITS or count < 0:
                raise FormatError(f"bits {bits} and count {count} are out of range")
            words = (bits + 63) // 64
            info = archive.getinfo("codes.npy")
            shape, fortran, dtype, header_size = _codes_header(archive, info)
            if dtype != np.dtype("<u8") or fortran or shape != (count, words):
                raise FormatError(f"codes must be C-ordered '<u8' of shape ({count}, {words}), got {dtype.str} {shape}")
            if info.file_size != header_size + 8 * count * words:
                raise FormatError(f"codes.npy declares {count} codes but holds {info.file_size - header_size} bytes of them")
            if bits == 0 and count:
                raise FormatError("an index without a width holds no codes")
            ids, given_ids, next_id = None, False, count
            if version == 2:
                with archive.open("ids.npy") as member:
                    try:
                        ids = np.lib.format.read_array(member, allow_pickle=False)
                    except ValueError as error:
                        raise FormatError(f"ids.npy is malformed ({error})") from None
                if ids.dtype != np.dtype("<i8") or ids.shape != (count,):
                    raise FormatError(f"ids must be '<i8' of shape ({count},), got {ids.dtype.str} {ids.shape}")
                given_ids, next_id = bool(_scalar(archive, "given_ids")), _scalar(archive, "next_id")
            start = _data_offset(source, size, info) + header_size
            if mapping is not None and start % 8 == 0 and np.dtype("<u8").isnative:
                codes = np.frombuffer(mapping, dtype="<u8", count=count * words, offset=start).reshape(count, words)
                return Contents(bits, codes, mapping, ids, given_ids, next_id)
            # Not mapped, or not aligned for it (numpy.savez does not align): read, from the
            # same descriptor.
            source.seek(start)
            data = source.read(8 * count * words)
            codes = np.frombuffer(data, dtype="<u8").reshape(count, words).astype(np.uint64)
            return Contents(bits, codes, codes, ids, given_ids, next_id)
