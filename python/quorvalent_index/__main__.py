"""Near-duplicate search over a file of hex hashes, one a line.

    python -m quorvalent_index pairs FILE --max-dist R [--format csv|jsonl] [--threads N]
    python -m quorvalent_index query FILE HASH (--max-dist R | -k K) [--format csv|jsonl]

Blank lines and lines starting with '#' are skipped; reported line numbers are those of the
file. A FILE ending in .gz is read through gzip. Bad input reports the file, the line and the
reason on stderr and exits with status 2.
"""
from __future__ import annotations

import argparse
import gzip
import json
import os
import sys
import time
from typing import IO, Sequence

import numpy as np

from . import HashIndex


class InputError(Exception):
    pass


class Progress:
    """A progress bar on stderr, shown only on a terminal and only once a run passes a second."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.start = time.monotonic()
        self.shown = False
        self.enabled = sys.stderr.isatty()

    def __call__(self, done: int, total: int) -> None:
        if not self.enabled or time.monotonic() - self.start < 1.0 or total <= 0:
            return
        width = 30
        filled = width * done // total
        sys.stderr.write(f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] "
                         f"{100 * done // total:3d}%")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r" + " " * (len(self.label) + 40) + "\r")
            sys.stderr.flush()


def open_text(path: str) -> IO[str]:
    if path.endswith(".gz"):
        return gzip.open(path, "rt", encoding="utf-8", newline=None)
    return open(path, "r", encoding="utf-8", newline=None)


def read_hashes(path: str) -> tuple[list[str], np.ndarray]:
    """The hashes of a file and the 1-based line number of each."""
    hashes: list[str] = []
    lines: list[int] = []
    try:
        with open_text(path) as f:
            for number, line in enumerate(f, start=1):
                text = line.strip()
                if not text or text.startswith("#"):
                    continue
                hashes.append(text)
                lines.append(number)
    except UnicodeDecodeError as error:
        raise InputError(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    except (OSError, EOFError) as error:
        raise InputError(f"{path}: {error}") from None
    return hashes, np.asarray(lines, dtype=np.int64)


def build_index(path: str) -> tuple[HashIndex, np.ndarray]:
    hashes, lines = read_hashes(path)
    try:
        return HashIndex(hashes), lines
    except ValueError as error:
        message = str(error)
        # "hash at position K ..." names the K-th hash read; the user wants the line.
        prefix = "hash at position "
        if message.startswith(prefix):
            position, rest = message[len(prefix):].split(" ", 1)
            message = f"line {lines[int(position)]}: hash {rest}"
        raise InputError(f"{path}: {message}") from None


def write_rows(out: IO[str], fmt: str, header: Sequence[str], columns: Sequence[np.ndarray]) -> None:
    if fmt == "csv":
        out.write(",".join(header) + "\n")
        for row in zip(*(c.tolist() for c in columns)):
            out.write(",".join(map(str, row)) + "\n")
    else:
        for row in zip(*(c.tolist() for c in columns)):
            out.write(json.dumps(dict(zip(header, row))) + "\n")


def run_pairs(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    index, lines = build_index(args.file)
    progress = Progress("pairs")
    try:
        i, j, d = index.pairs(args.max_dist, threads=args.threads, progress=progress)
    finally:
        progress.close()
    elapsed = time.perf_counter() - started
    write_rows(sys.stdout, args.format, ("line_a", "line_b", "distance"), (lines[i], lines[j], d))
    sys.stdout.flush()
    print(f"{len(d)} pairs within {args.max_dist} bits among {len(index)} hashes "
          f"in {elapsed:.2f} s", file=sys.stderr)
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
    write_rows(sys.stdout, args.format, ("line", "hash", "distance"),
               (lines[ids], np.asarray(index.hex(ids), dtype=object), dists))
    return 0


def non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be >= 0, got {value}")
    return value


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quorvalent_index", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--format", choices=("csv", "jsonl"), default="csv")
    common.add_argument("--threads", type=positive, default=None,
                        help="threads to use (default: every CPU this process may run on)")
    pairs = commands.add_parser("pairs", parents=[common], help="every pair of near-duplicate hashes")
    pairs.add_argument("file")
    pairs.add_argument("--max-dist", type=non_negative, required=True)
    query = commands.add_parser("query", parents=[common], help="the hashes near one hash")
    query.add_argument("file")
    query.add_argument("hash")
    how = query.add_mutually_exclusive_group(required=True)
    how.add_argument("--max-dist", type=non_negative)
    how.add_argument("-k", type=non_negative)
    args = parser.parse_args(argv)
    try:
        return run_pairs(args) if args.command == "pairs" else run_query(args)
    except InputError as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # A reader such as `head` went away; that is not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(main())
