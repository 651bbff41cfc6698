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
from ._core import HashError, __version__, pack_codes

__all__ = ["HashError", "HashIndex", "__version__", "pack_codes"]


class HashIndex(_core.HashIndex):
    __doc__ = _core.HashIndex.__doc__

    @classmethod
    def from_codes(cls, codes: Any, bits: int = 64, ids: Any = None) -> "HashIndex":
        """An index of packed codes: uint64 of shape (N,) for bits <= 64, or uint8 of shape
        (N, ceil(bits / 8)) holding each code's big-endian bytes, as bytes.fromhex gives them;
        `ids` as for HashIndex()."""
        index = cls(bits=bits)
        array = np.asarray(codes)
        if array.dtype not in (np.uint64, np.uint8):
            raise ValueError(f"codes must be uint64 or uint8, got {array.dtype}")
        if array.ndim not in (1, 2):
            raise ValueError(f"codes must be an array of shape (N,) or (N, bytes), got shape {array.shape}")
        index._add_codes(np.ascontiguousarray(array), ids)
        return index

    def groups(self, max_dist: int, method: str = "components", priority: Any = None,
               threads: int | None = None) -> tuple[np.ndarray, np.ndarray]:
        """Groups of near-duplicates: (ids, rep), two int64 arrays over the hashes held, sorted
        by id, where rep[k] is the id of the representative of ids[k]'s group. A hash alone is
        its own representative, so ids[ids == rep] is the deduplicated set.

        method "components": the connected components of the pairs within max_dist bits, each
        represented by its member of highest priority. method "star": hashes are visited by
        priority, highest first; an unassigned one becomes a representative and takes every
        unassigned hash within max_dist of itself, so no chain can grow a group.

        priority: numbers aligned with ids(), higher first; ties, and the default, go to the
        lowest id. The answer depends only on the codes, ids, priority, max_dist and method."""
        precedence = None
        if priority is not None:
            ids = self.ids()
            p = np.asarray(priority)
            if p.ndim != 1 or len(p) != len(ids):
                raise ValueError(f"priority must have one number per hash ({len(ids)}), got shape {p.shape}")
            if p.dtype.kind not in "biuf":
                raise ValueError(f"priority must be numbers, got {p.dtype}")
            if p.dtype.kind == "f" and np.isnan(p).any():
                raise ValueError(f"priority holds NaN at position {int(np.flatnonzero(np.isnan(p))[0])}")
            id_rank = np.empty(len(ids), dtype=np.int64)
            id_rank[np.argsort(ids, kind="stable")] = np.arange(len(ids))
            # Higher priority first, then the lower id: sorted by (priority, -id), reversed.
            order = np.lexsort((-id_rank, p))[::-1]
            precedence = np.empty(len(ids), dtype=np.uint32)
            precedence[order] = np.arange(len(ids), dtype=np.uint32)
        return self._groups(max_dist, method, precedence, threads)

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
        codes, ids, given_ids, next_id = self._live()
        try:
            mode = os.stat(target).st_mode & 0o7777
        except FileNotFoundError:
            mode = None
        temporary = os.path.join(folder, f".hashindex-{secrets.token_hex(8)}.tmp")
        # 0o666 less the umask, as open() does; mkstemp would give 0o600.
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
        try:
            with os.fdopen(fd, "wb") as f:
                _format.write(f, self.bits or 0, codes, ids, given_ids, next_id)
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
            contents = _format.read(path, mmap)
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
        if contents.bits == 0:
            return cls()
        index = cls(bits=contents.bits)
        try:
            index._borrow_codes(contents.codes, contents.owner, contents.ids, contents.given_ids, contents.next_id,
                                contents.owner is not contents.codes)
        except HashError:
            raise ValueError(f"{path}: a code sets bits above its {contents.bits} bits (padding must be zero)") from None
        except ValueError as error:
            raise ValueError(f"{path}: {error}") from None
        return index


def _drain(batches: Any) -> Iterator[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    while (part := batches.next()) is not None:
        yield part
