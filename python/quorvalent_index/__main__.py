"""Near-duplicate search over a file of hex hashes, one a line.

    quorvalent-index pairs FILE --max-dist R [--other FILE2] [--format csv|jsonl] [--threads N]
    quorvalent-index query FILE HASH (--max-dist R | -k K) [--format csv|jsonl]
    quorvalent-index groups FILE --max-dist R [--method components|star] [--format csv|jsonl]
    quorvalent-index dedup FILE --max-dist R [--method components|star]
    quorvalent-index sweep FILE --radii 0,2,4,6,8 [--format csv|jsonl]

(`python -m quorvalent_index` runs the same.) Lines are split at line feeds only, so line
numbers are those `sed -n Np` shows; a line's leading and trailing spaces and tabs, and the
carriage return of a CRLF line end, are ignored. Blank lines and lines starting with '#' are
skipped. Any other character around a hash (a form feed, a no-break space) is an invalid
character. A FILE ending in .gz is read through gzip. Bad input reports the file, the line and
the reason on stderr and exits with status 2.
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


class HashFile:
    """The hashes of a file, the 1-based line number of each, and each line as written."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.hashes: list[str] = []
        self.raw: list[bytes] = []
        numbers: list[int] = []
        for number, line in enumerate(read_bytes(path).split(b"\n"), start=1):
            text = line[:-1] if line.endswith(b"\r") else line
            text = text.strip(b" \t")
            if not text or text.startswith(b"#"):
                continue
            try:
                self.hashes.append(text.decode("utf-8"))
            except UnicodeDecodeError as error:
                raise InputError(f"{path}: line {number}: not UTF-8 text ({error.reason})") from None
            self.raw.append(line)
            numbers.append(number)
        self.lines = np.asarray(numbers, dtype=np.int64)

    def index(self) -> HashIndex:
        """An index whose ids are the line numbers: every answer names lines."""
        try:
            return HashIndex(self.hashes, ids=self.lines)
        except HashError as error:
            where = f"line {self.lines[error.position]}: " if error.position is not None else ""
            raise InputError(f"{self.path}: {where}hash {error.reason}") from None


def row_format(fmt: str, header: Sequence[str]) -> tuple[list[str], str]:
    """Prefixes of each column and the row's end, for _core._format_rows."""
    if fmt == "csv":
        return [""] + [","] * (len(header) - 1), "\n"
    return ["{" + json.dumps(header[0]) + ": "] + [", " + json.dumps(h) + ": " for h in header[1:]], "}\n"


def write_table(fmt: str, header: Sequence[str], columns: Sequence[np.ndarray]) -> None:
    out = sys.stdout.buffer
    if fmt == "csv":
        out.write((",".join(header) + "\n").encode())
    prefixes, end = row_format(fmt, header)
    out.write(_core._format_rows([np.ascontiguousarray(c, dtype=np.int64) for c in columns], prefixes, end))
    out.flush()


# Pairs written at a time: a few megabytes of text, enough to keep the join's threads busy.
BATCH = 1 << 16


def run_pairs(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    source = HashFile(args.file)
    index = source.index()
    other = None
    if args.other is not None:
        other = HashFile(args.other).index()
        if index.bits is not None and other.bits is not None and index.bits != other.bits:
            raise InputError(f"{args.other} holds {other.bits}-bit hashes, but {args.file} holds {index.bits}-bit hashes")
    header = ("line_a", "line_b", "distance")
    prefixes, end = row_format(args.format, header)
    out = sys.stdout.buffer
    if args.format == "csv":
        out.write((",".join(header) + "\n").encode())
    progress = Progress("pairs")
    total = 0
    try:
        # Streamed: memory for a batch at a time, however many pairs there are.
        for i, j, d in index.iter_pairs(args.max_dist, other=other, threads=args.threads, batch=BATCH):
            out.write(_core._format_rows([i, j, d.astype(np.int64)], prefixes, end))
            total += len(d)
            progress.note(f"{total:,} pairs written")
    finally:
        progress.close()
    out.flush()
    elapsed = time.perf_counter() - started
    among = f"{len(index)} hashes" + (f" and {len(other)} in {args.other}" if other is not None else "")
    print(f"{total} pairs within {args.max_dist} bits among {among} in {elapsed:.2f} s", file=sys.stderr)
    return 0


def run_query(args: argparse.Namespace) -> int:
    index = HashFile(args.file).index()
    try:
        if args.k is not None:
            ids, dists = index.nearest(args.hash, args.k)
        else:
            ids, dists = index.within(args.hash, args.max_dist)
    except ValueError as error:
        raise InputError(f"HASH {args.hash!r}: {error}") from None
    header = ("line", "hash", "distance")
    rows = zip(ids.tolist(), index.hex(ids), dists.tolist())
    if args.format == "csv":
        sys.stdout.write(",".join(header) + "\n")
        sys.stdout.writelines(f"{a},{b},{c}\n" for a, b, c in rows)
    else:
        sys.stdout.writelines(json.dumps(dict(zip(header, row))) + "\n" for row in rows)
    return 0


# A component larger than this share of the lines is most likely a chain of near-duplicates
# that are not near one another.
CHAIN_WARNING_SHARE = 0.01


def grouped(args: argparse.Namespace) -> tuple[HashFile, HashIndex, np.ndarray, np.ndarray]:
    source = HashFile(args.file)
    index = source.index()
    # The ids are line numbers, so the default priority (the lowest id) keeps the earliest line.
    lines, reps = index.groups(args.max_dist, args.method, threads=args.threads)
    if args.method == "components" and len(lines):
        largest = int(np.unique(reps, return_counts=True)[1].max())
        if largest > CHAIN_WARNING_SHARE * len(lines) and largest > 1:
            print(f"warning: the largest group holds {largest} of {len(lines)} lines "
                  f"({100 * largest / len(lines):.1f}%): near-duplicates may chain into groups whose members "
                  f"are not near one another; try --method star or a smaller --max-dist", file=sys.stderr)
    return source, index, lines, reps


def run_groups(args: argparse.Namespace) -> int:
    _, index, lines, reps = grouped(args)
    moved = lines != reps
    write_table(args.format, ("line", "representative_line", "distance"),
                (lines[moved], reps[moved], index.distances(lines[moved], reps[moved])))
    return 0


def run_dedup(args: argparse.Namespace) -> int:
    source, _, lines, reps = grouped(args)
    kept = set(lines[lines == reps].tolist())
    out = sys.stdout.buffer
    out.writelines(raw + b"\n" for raw, line in zip(source.raw, source.lines.tolist()) if line in kept)
    out.flush()
    print(f"kept {len(kept)} of {len(lines)} hashes ({len(lines) - len(kept)} near-duplicates within "
          f"{args.max_dist} bits dropped)", file=sys.stderr)
    return 0


def run_sweep(args: argparse.Namespace) -> int:
    index = HashFile(args.file).index()
    table = index.sweep(args.radii, threads=args.threads)
    names = ("radius", "pairs", "groups", "dropped", "largest")
    write_table(args.format, names, [table[name] for name in names])
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


def radii(text: str) -> list[int]:
    parts = [part.strip() for part in text.split(",")]
    if not all(parts):
        raise argparse.ArgumentTypeError(f"must be radii separated by commas, got {text!r}")
    return [non_negative(part) for part in parts]


def parser(prog: str = "quorvalent-index") -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog=prog, description=(__doc__ or "").splitlines()[0])
    commands = top.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--threads", type=positive, default=None,
                        help="threads to use (default: every CPU this process may run on; at most 1024)")
    formats = argparse.ArgumentParser(add_help=False)
    formats.add_argument("--format", choices=("csv", "jsonl"), default="csv")
    radius = argparse.ArgumentParser(add_help=False)
    radius.add_argument("--max-dist", type=non_negative, required=True, help="the largest distance, in bits, that counts")
    method = argparse.ArgumentParser(add_help=False)
    method.add_argument("--method", choices=("components", "star"), default="components",
                        help="components: every chain of near-duplicates is one group; star: every member is "
                             "within --max-dist of its group's first line")

    pairs = commands.add_parser("pairs", parents=[common, formats, radius], help="every pair of near-duplicate hashes")
    pairs.add_argument("file")
    pairs.add_argument("--other", help="pair the hashes of FILE with those of this file instead of with each other")
    query = commands.add_parser("query", parents=[common, formats], help="the hashes near one hash")
    query.add_argument("file")
    query.add_argument("hash")
    how = query.add_mutually_exclusive_group(required=True)
    how.add_argument("--max-dist", type=non_negative)
    how.add_argument("-k", type=non_negative)
    groups = commands.add_parser("groups", parents=[common, formats, radius, method],
                                 help="each line that is a near-duplicate, and the first line of its group")
    groups.add_argument("file")
    dedup = commands.add_parser("dedup", parents=[common, radius, method],
                                help="the lines that remain when each group keeps only its first line")
    dedup.add_argument("file")
    sweep = commands.add_parser("sweep", parents=[common, formats],
                                help="pairs, groups and dropped lines at several radii, from one join")
    sweep.add_argument("file")
    sweep.add_argument("--radii", type=radii, required=True, help="radii separated by commas, as 0,2,4,6,8")
    return top


RUN = {"pairs": run_pairs, "query": run_query, "groups": run_groups, "dedup": run_dedup, "sweep": run_sweep}


def main(argv: Sequence[str] | None = None) -> int:
    script = os.path.basename(sys.argv[0]) if argv is None else ""
    args = parser("python -m quorvalent_index" if script == "__main__.py" else "quorvalent-index").parse_args(argv)
    try:
        return RUN[args.command](args)
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
