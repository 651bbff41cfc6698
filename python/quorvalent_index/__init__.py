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

import os
import secrets
import struct
import zipfile
import zlib
from collections.abc import Iterator
from typing import Any

import numpy as np

from . import _core, _format
from ._core import HashError, __version__

__all__ = ["HashError", "HashIndex", "__version__"]


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
        if array.ndim not in (1, 2):
            raise ValueError(f"codes must be an array of shape (N,) or (N, bytes), got shape {array.shape}")
        index._add_codes(np.ascontiguousarray(array))
        return index

    def iter_pairs(self, max_dist: int, *, other: "HashIndex | None" = None, batch: int = 1_000_000,
                   threads: int | None = None) -> Iterator[tuple[np.ndarray, np.ndarray, np.ndarray]]:
        """The pairs of pairs(max_dist, other=other), in the same order, as (i, j, d) batches of
        at most `batch` pairs: memory for about a batch at a time, however many pairs there are.
        The pairs are those of the index as it was when iter_pairs was called."""
        batches = _core._PairBatches(self, max_dist, other, batch, threads)
        return _drain(batches)

    def save(self, path: str | bytes | os.PathLike[str] | os.PathLike[bytes]) -> None:
        """Writes the index to `path` as an uncompressed .npz file, atomically: a temporary
        file in the same folder, flushed to disk, then renamed over the old one. A file it
        replaces keeps its permissions, and a symbolic link at `path` keeps pointing where it
        did (its target is replaced); a new file gets the permissions open() would give it."""
        target = os.path.realpath(os.fsdecode(path))
        folder = os.path.dirname(target)
        codes = self._codes()
        try:
            mode = os.stat(target).st_mode & 0o7777
        except FileNotFoundError:
            mode = None
        temporary = os.path.join(folder, f".hashindex-{secrets.token_hex(8)}.tmp")
        # 0o666 less the umask, as open() does; mkstemp would give 0o600.
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
        try:
            with os.fdopen(fd, "wb") as f:
                _format.write(f, self.bits or 0, codes)
                f.flush()
                if mode is not None:
                    os.chmod(temporary, mode)
                os.fsync(f.fileno())
            os.replace(temporary, target)
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
    def load(cls, path: str | bytes | os.PathLike[str] | os.PathLike[bytes], mmap: bool = True) -> "HashIndex":
        """Reads an index written by save(). With mmap=True the codes are mapped from the file
        instead of read; the tables are rebuilt in memory either way. See the file format's
        notes on mapped files: replacing the file atomically is safe, truncating it is not."""
        path = os.fsdecode(path)
        try:
            bits, codes, owner = _format.read(path, mmap)
        except _format.FormatError as error:
            raise ValueError(f"{path}: {error}") from None
        except (FileNotFoundError, PermissionError, IsADirectoryError):
            raise
        except (ValueError, RuntimeError, zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError, OSError,
                struct.error, OverflowError) as error:
            # A damaged archive fails in the zip reader in many ways (RuntimeError for a member
            # flagged as encrypted, among others): all are a file that is not a HashIndex. A
            # MemoryError stays one.
            raise ValueError(f"{path}: not a HashIndex file ({type(error).__name__}: {error})") from None
        if bits == 0:
            return cls()
        index = cls(bits=bits)
        if len(codes):
            try:
                if owner is not None:
                    index._borrow_codes(codes, owner)
                else:
                    index._add_codes(codes)
            except HashError:
                raise ValueError(f"{path}: a code sets bits above its {bits} bits (padding must be zero)") from None
        return index


def _drain(batches: Any) -> Iterator[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    while (part := batches.next()) is not None:
        yield part
