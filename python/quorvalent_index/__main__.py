"""Near-duplicate search over a file of hex hashes, one a line.

    python -m quorvalent_index pairs FILE --max-dist R [--format csv|jsonl] [--threads N]
    python -m quorvalent_index query FILE HASH (--max-dist R | -k K) [--format csv|jsonl]

Lines are split at line feeds only, so line numbers are those `sed -n Np` shows; a line's
leading and trailing spaces and tabs, and the carriage return of a CRLF line end, are ignored.
Blank lines and lines starting with '#' are skipped. Any other character around a hash (a form
feed, a no-break space) is an invalid character. A FILE ending in .gz is read through gzip.
Bad input reports the file, the line and the reason on stderr and exits with status 2.
"""
from __future__ import annotations

import argparse
import gzip
import json
import os
import sys
import time
import zlib
from typing import IO, Sequence

import numpy as np

from . import HashError, HashIndex, _core


class InputError(Exception):
    pass


class Progress:
    """A line on stderr, shown only on a terminal and only once a run passes a second."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.start = time.monotonic()
        self.shown = False
        self.enabled = sys.stderr.isatty()

    def note(self, text: str) -> None:
        if not self.enabled or time.monotonic() - self.start < 1.0:
            return
        sys.stderr.write(f"\r{self.label}: {text}")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r" + " " * 60 + "\r")
            sys.stderr.flush()


def read_bytes(path: str) -> bytes:
    try:
        if path.endswith(".gz"):
            with gzip.open(path, "rb") as f:
                return f.read()
        with open(path, "rb") as f:
            return f.read()
    except (OSError, EOFError, zlib.error) as error:
        # gzip.BadGzipFile is an OSError; a damaged deflate stream is a zlib.error.
        raise InputError(f"{path}: {error}") from None


def read_hashes(path: str) -> tuple[list[str], np.ndarray]:
    """The hashes of a file and the 1-based line number of each."""
    data = read_bytes(path)
    hashes: list[str] = []
    lines: list[int] = []
    for number, raw in enumerate(data.split(b"\n"), start=1):
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        text = raw.strip(b" \t")
        if not text or text.startswith(b"#"):
            continue
        try:
            hashes.append(text.decode("utf-8"))
        except UnicodeDecodeError as error:
            raise InputError(f"{path}: line {number}: not UTF-8 text ({error.reason})") from None
        lines.append(number)
    return hashes, np.asarray(lines, dtype=np.int64)


def build_index(path: str) -> tuple[HashIndex, np.ndarray]:
    hashes, lines = read_hashes(path)
    try:
        return HashIndex(hashes), lines
    except HashError as error:
        where = f"line {lines[error.position]}: " if error.position is not None else ""
        raise InputError(f"{path}: {where}hash {error.reason}") from None


# Pairs written at a time: a few megabytes of text, enough to keep the join's threads busy.
BATCH = 1 << 16

COLUMNS = {"pairs": ("line_a", "line_b", "distance"), "query": ("line", "hash", "distance")}


def row_format(fmt: str, header: Sequence[str]) -> tuple[list[str], str]:
    """Prefixes of each column and the row's end, for _core._format_rows."""
    if fmt == "csv":
        return [""] + [","] * (len(header) - 1), "\n"
    return ["{" + json.dumps(header[0]) + ": "] + [", " + json.dumps(h) + ": " for h in header[1:]], "}\n"


def run_pairs(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    index, lines = build_index(args.file)
    header = COLUMNS["pairs"]
    prefixes, end = row_format(args.format, header)
    out = sys.stdout.buffer
    if args.format == "csv":
        out.write((",".join(header) + "\n").encode())
    progress = Progress("pairs")
    total = 0
    try:
        # Streamed: memory for a batch at a time, however many pairs there are.
        for i, j, d in index.iter_pairs(args.max_dist, threads=args.threads, batch=BATCH):
            out.write(_core._format_rows([lines[i], lines[j], d.astype(np.int64)], prefixes, end))
            total += len(d)
            progress.note(f"{total:,} pairs written")
    finally:
        progress.close()
    out.flush()
    elapsed = time.perf_counter() - started
    print(f"{total} pairs within {args.max_dist} bits among {len(index)} hashes in {elapsed:.2f} s", file=sys.stderr)
    return 0


def run_query(args: argparse.Namespace) -> int:
    index, lines = build_index(args.file)
    try:
        if args.k is not None:
            ids, dists = index.nearest(args.hash, args.k)
        else:
            ids, dists = index.within(args.hash, args.max_dist)
    except ValueError as error:
        raise InputError(f"HASH {args.hash!r}: {error}") from None
    header = COLUMNS["query"]
    rows = zip(lines[ids].tolist(), index.hex(ids), dists.tolist())
    if args.format == "csv":
        sys.stdout.write(",".join(header) + "\n")
        sys.stdout.writelines(f"{a},{b},{c}\n" for a, b, c in rows)
    else:
        sys.stdout.writelines(json.dumps(dict(zip(header, row))) + "\n" for row in rows)
    return 0


def count(minimum: int, text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be an integer, got {text!r}") from None
    if value < minimum:
        raise argparse.ArgumentTypeError(f"must be >= {minimum}, got {value}")
    return value


def non_negative(text: str) -> int:
    return count(0, text)


def positive(text: str) -> int:
    return count(1, text)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m quorvalent_index", description=(__doc__ or "").splitlines()[0])
    commands = top.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--format", choices=("csv", "jsonl"), default="csv")
    common.add_argument("--threads", type=positive, default=None,
                        help="threads to use (default: every CPU this process may run on; at most 1024)")
    pairs = commands.add_parser("pairs", parents=[common], help="every pair of near-duplicate hashes")
    pairs.add_argument("file")
    pairs.add_argument("--max-dist", type=non_negative, required=True)
    query = commands.add_parser("query", parents=[common], help="the hashes near one hash")
    query.add_argument("file")
    query.add_argument("hash")
    how = query.add_mutually_exclusive_group(required=True)
    how.add_argument("--max-dist", type=non_negative)
    how.add_argument("-k", type=non_negative)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return run_pairs(args) if args.command == "pairs" else run_query(args)
    except InputError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except (MemoryError, RuntimeError) as error:
        print(f"error: {type(error).__name__}: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # A reader such as `head` went away; that is not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
