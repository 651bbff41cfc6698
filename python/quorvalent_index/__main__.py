"""Near-duplicate search over a file of hex hashes: a text file, one hash a line, or a table.

    quorvalent-index pairs FILE --max-dist R [--other FILE2] [--threads N]
    quorvalent-index query FILE HASH (--max-dist R | -k K)
    quorvalent-index groups FILE --max-dist R [--method components|star]
    quorvalent-index dedup FILE --max-dist R [--method components|star]
    quorvalent-index sweep FILE --radii 0,2,4,6,8

(`python -m quorvalent_index` runs the same.) Every command takes --format csv|jsonl for what
it prints, or --output FILE (.csv, .jsonl or .parquet) to write it there.

A text FILE: lines are split at line feeds only, so line numbers are those `sed -n Np` shows; a
line's leading and trailing spaces and tabs, and the carriage return of a CRLF line end, are
ignored. Blank lines and lines starting with '#' are skipped. Any other character around a hash
(a form feed, a no-break space) is an invalid character. A FILE ending in .gz is read through
gzip. Results name lines.

A table FILE (.parquet, .arrow, .feather or .csv; needs pyarrow, `pip install
"quorvalent[arrow]"`): --column names the hash column (hex text, big-endian bytes, or 64-bit
integers with --bits), --id-column a column of integer ids. Results name the ids, or the rows
(from 0) without an id column.

Bad input reports the file, the line or row, and the reason on stderr and exits with status 2.
"""
from __future__ import annotations

import argparse
import gzip
import json
import os
import sys
import time
import zlib
from typing import IO, Any, Sequence

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


TABLE_SUFFIXES = (".parquet", ".arrow", ".feather", ".csv")


def pyarrow_for(path: str) -> Any:
    """pyarrow, or an InputError that says how to install it."""
    try:
        import pyarrow
        import pyarrow.csv
        import pyarrow.feather
        import pyarrow.parquet  # noqa: F401  (the submodules the tables need)
    except ImportError:
        raise InputError(f"{path}: reading and writing tables needs pyarrow: pip install \"quorvalent[arrow]\"") from None
    return pyarrow


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


class TextSource:
    """The hashes of a text file, one a line; ids are line numbers."""

    label = "line"

    def __init__(self, path: str, bits: int | None) -> None:
        self.path, self.bits = path, bits
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
        self.ids = np.asarray(numbers, dtype=np.int64)

    def where(self, position: int) -> str:
        return f"line {self.ids[position]}"

    def index(self) -> HashIndex:
        return build_index(self, self.path)

    def write_kept(self, ids: np.ndarray, out: "Output") -> None:
        kept = set(ids.tolist())
        stream = out.text_stream()
        stream.writelines(raw + b"\n" for raw, line in zip(self.raw, self.ids.tolist()) if line in kept)


class TableSource:
    """The hashes of a column of a table; ids from an id column, or row numbers from 0."""

    def __init__(self, path: str, column: str | None, id_column: str | None, bits: int | None) -> None:
        pa = pyarrow_for(path)
        self.path, self.bits = path, bits
        lower = path.lower()
        try:
            if lower.endswith(".parquet"):
                table = pa.parquet.read_table(path)
            elif lower.endswith(".csv"):
                # Hashes stay text: a column of digits alone must not become integers.
                header = pa.csv.read_csv(path, read_options=pa.csv.ReadOptions(block_size=1 << 16)).schema.names \
                    if column is None else [column]
                types = {name: pa.string() for name in header if name != id_column}
                table = pa.csv.read_csv(path, convert_options=pa.csv.ConvertOptions(column_types=types))
            else:
                table = pa.feather.read_table(path)
        except (OSError, pa.ArrowException) as error:
            raise InputError(f"{path}: {error}") from None
        names = table.schema.names
        if column is None:
            candidates = [name for name in names if name != id_column]
            if len(candidates) != 1:
                raise InputError(f"{path} has the columns {', '.join(names)}: name the one of hashes with --column")
            column = candidates[0]
        for name in (column, id_column):
            if name is not None and name not in names:
                raise InputError(f"{path} has no column {name!r} (its columns: {', '.join(names)})")
        self.table, self.column = table, column
        self.hashes = table.column(column)
        if id_column is not None:
            self.label = "id"
            self.ids: Any = table.column(id_column)
        else:
            self.label = "row"
            self.ids = np.arange(table.num_rows, dtype=np.int64)

    def where(self, position: int) -> str:
        return f"row {position}"

    def index(self) -> HashIndex:
        return build_index(self, f"{self.path}: column {self.column!r}")

    def write_kept(self, ids: np.ndarray, out: "Output") -> None:
        pa = pyarrow_for(self.path)
        index_ids = np.asarray(self.ids if isinstance(self.ids, np.ndarray) else self.ids.to_numpy(), dtype=np.int64)
        kept = self.table.filter(pa.array(np.isin(index_ids, ids)))
        out.write_table(kept)


def build_index(source: TextSource | TableSource, name: str) -> HashIndex:
    """The index of a source's hashes, named by its ids; a refusal names the line or row."""
    try:
        return HashIndex(source.hashes, ids=source.ids, bits=source.bits)
    except HashError as error:
        where = f"{source.where(error.position)}: " if error.position is not None else ""
        raise InputError(f"{name}: {where}hash {error.reason}") from None
    except ValueError as error:
        raise InputError(f"{name}: {error}") from None


def source_for(path: str, args: argparse.Namespace) -> TextSource | TableSource:
    if path.lower().endswith(TABLE_SUFFIXES):
        return TableSource(path, args.column, args.id_column, args.bits)
    if args.column is not None or args.id_column is not None:
        raise InputError(f"{path}: --column and --id-column are for tables (.parquet, .arrow, .feather, .csv)")
    return TextSource(path, args.bits)


def row_format(fmt: str, header: Sequence[str]) -> tuple[list[str], str]:
    """Prefixes of each column and the row's end, for _core._format_rows."""
    if fmt == "csv":
        return [""] + [","] * (len(header) - 1), "\n"
    return ["{" + json.dumps(header[0]) + ": "] + [", " + json.dumps(h) + ": " for h in header[1:]], "}\n"


class Output:
    """Where results go: stdout as CSV or JSON lines, or a .csv, .jsonl or .parquet file; rows
    of integer columns arrive a batch at a time."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.path: str | None = args.output
        self.fmt = args.format
        self.file: IO[bytes] | None = None
        self.writer: Any = None
        self.header: Sequence[str] = ()
        if self.path is not None:
            lower = self.path.lower()
            if lower.endswith(".parquet"):
                self.fmt = "parquet"
                pyarrow_for(self.path)
            elif lower.endswith((".csv", ".jsonl")):
                self.fmt = "csv" if lower.endswith(".csv") else "jsonl"
            else:
                raise InputError(f"{self.path}: --output must end in .csv, .jsonl or .parquet")

    def text_stream(self) -> IO[bytes]:
        if self.path is None:
            return sys.stdout.buffer
        if self.file is None:
            try:
                self.file = open(self.path, "wb")
            except OSError as error:
                raise InputError(f"{self.path}: {error}") from None
        return self.file

    def start(self, header: Sequence[str]) -> None:
        self.header = header
        if self.fmt == "csv":
            self.text_stream().write((",".join(header) + "\n").encode())

    def rows(self, columns: Sequence[np.ndarray]) -> None:
        if self.fmt == "parquet":
            assert self.path is not None
            pa = pyarrow_for(self.path)
            batch = pa.table({name: pa.array(np.asarray(c, dtype=np.int64)) for name, c in zip(self.header, columns)})
            if self.writer is None:
                self.writer = pa.parquet.ParquetWriter(self.path, batch.schema)
            self.writer.write_table(batch)
            return
        prefixes, end = row_format(self.fmt, self.header)
        self.text_stream().write(_core._format_rows([np.ascontiguousarray(c, dtype=np.int64) for c in columns], prefixes, end))

    def write_table(self, table: Any) -> None:
        pa = pyarrow_for(self.path or "the output")
        if self.fmt == "parquet":
            pa.parquet.write_table(table, self.path)
        elif self.fmt == "csv":
            pa.csv.write_csv(table, self.text_stream())
        else:
            stream = self.text_stream()
            stream.writelines((json.dumps(row) + "\n").encode() for row in table.to_pylist())

    def close(self) -> None:
        if self.fmt == "parquet" and self.writer is None and self.header:
            self.rows([np.zeros(0, dtype=np.int64)] * len(self.header))  # an empty table, with its columns
        if self.writer is not None:
            self.writer.close()
        if self.file is not None:
            self.file.close()
        else:
            sys.stdout.flush()


# Pairs written at a time: a few megabytes of text, enough to keep the join's threads busy.
BATCH = 1 << 16


def run_pairs(args: argparse.Namespace, out: Output) -> int:
    started = time.perf_counter()
    source = source_for(args.file, args)
    index = source.index()
    other = None
    label_b = source.label
    if args.other is not None:
        other_source = source_for(args.other, args)
        other = other_source.index()
        label_b = other_source.label
        if index.bits is not None and other.bits is not None and index.bits != other.bits:
            raise InputError(f"{args.other} holds {other.bits}-bit hashes, but {args.file} holds {index.bits}-bit hashes")
    out.start((f"{source.label}_a", f"{label_b}_b", "distance"))
    progress = Progress("pairs")
    total = 0
    try:
        # Streamed: memory for a batch at a time, however many pairs there are.
        for i, j, d in index.iter_pairs(args.max_dist, other=other, threads=args.threads, batch=BATCH):
            out.rows((i, j, d))
            total += len(d)
            progress.note(f"{total:,} pairs written")
    finally:
        progress.close()
    out.close()
    elapsed = time.perf_counter() - started
    among = f"{len(index)} hashes" + (f" and {len(other)} in {args.other}" if other is not None else "")
    print(f"{total} pairs within {args.max_dist} bits among {among} in {elapsed:.2f} s", file=sys.stderr)
    return 0


def run_query(args: argparse.Namespace, out: Output) -> int:
    source = source_for(args.file, args)
    index = source.index()
    try:
        if args.k is not None:
            ids, dists = index.nearest(args.hash, args.k)
        else:
            ids, dists = index.within(args.hash, args.max_dist)
    except ValueError as error:
        raise InputError(f"HASH {args.hash!r}: {error}") from None
    header = (source.label, "hash", "distance")
    if out.fmt == "parquet":
        pa = pyarrow_for(out.path or "")
        out.write_table(pa.table({header[0]: ids, header[1]: index.hex(ids), header[2]: dists}))
        out.close()
        return 0
    stream = out.text_stream()
    rows = zip(ids.tolist(), index.hex(ids), dists.tolist())
    if out.fmt == "csv":
        stream.write((",".join(header) + "\n").encode())
        stream.writelines(f"{a},{b},{c}\n".encode() for a, b, c in rows)
    else:
        stream.writelines((json.dumps(dict(zip(header, row))) + "\n").encode() for row in rows)
    out.close()
    return 0


# A component larger than this share of the hashes is most likely a chain of near-duplicates
# that are not near one another.
CHAIN_WARNING_SHARE = 0.01


def grouped(args: argparse.Namespace) -> tuple[TextSource | TableSource, HashIndex, np.ndarray, np.ndarray]:
    source = source_for(args.file, args)
    index = source.index()
    # Without an id column the ids are line or row numbers, so the default priority (the lowest
    # id) keeps the earliest.
    ids, reps = index.groups(args.max_dist, args.method, threads=args.threads)
    if args.method == "components" and len(ids):
        largest = int(np.unique(reps, return_counts=True)[1].max())
        if largest > CHAIN_WARNING_SHARE * len(ids) and largest > 1:
            print(f"warning: the largest group holds {largest} of {len(ids)} hashes "
                  f"({100 * largest / len(ids):.1f}%): near-duplicates may chain into groups whose members "
                  f"are not near one another; try --method star or a smaller --max-dist", file=sys.stderr)
    return source, index, ids, reps


def run_groups(args: argparse.Namespace, out: Output) -> int:
    source, index, ids, reps = grouped(args)
    moved = ids != reps
    out.start((source.label, f"representative_{source.label}", "distance"))
    out.rows((ids[moved], reps[moved], index.distances(ids[moved], reps[moved])))
    out.close()
    return 0


def run_dedup(args: argparse.Namespace, out: Output) -> int:
    source, _, ids, reps = grouped(args)
    kept = ids[ids == reps]
    source.write_kept(kept, out)
    out.close()
    print(f"kept {len(kept)} of {len(ids)} hashes ({len(ids) - len(kept)} near-duplicates within "
          f"{args.max_dist} bits dropped)", file=sys.stderr)
    return 0


def run_sweep(args: argparse.Namespace, out: Output) -> int:
    index = source_for(args.file, args).index()
    table = index.sweep(args.radii, threads=args.threads)
    names = ("radius", "pairs", "groups", "dropped", "largest")
    out.start(names)
    out.rows([table[name] for name in names])
    out.close()
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
    common.add_argument("--format", choices=("csv", "jsonl"), default="csv", help="what to print (default: csv)")
    common.add_argument("--output", help="write the result to this file instead: .csv, .jsonl or .parquet")
    common.add_argument("--column", help="a table's column of hashes (needed when it has several columns)")
    common.add_argument("--id-column", help="a table's column of integer ids, which results then name")
    common.add_argument("--bits", type=positive, default=None,
                        help="bits per hash, for a column of 64-bit integers (or to check the width)")
    radius = argparse.ArgumentParser(add_help=False)
    radius.add_argument("--max-dist", type=non_negative, required=True, help="the largest distance, in bits, that counts")
    method = argparse.ArgumentParser(add_help=False)
    method.add_argument("--method", choices=("components", "star"), default="components",
                        help="components: every chain of near-duplicates is one group; star: every member is "
                             "within --max-dist of its group's first hash")

    pairs = commands.add_parser("pairs", parents=[common, radius], help="every pair of near-duplicate hashes")
    pairs.add_argument("file")
    pairs.add_argument("--other", help="pair the hashes of FILE with those of this file instead of with each other")
    query = commands.add_parser("query", parents=[common], help="the hashes near one hash")
    query.add_argument("file")
    query.add_argument("hash")
    how = query.add_mutually_exclusive_group(required=True)
    how.add_argument("--max-dist", type=non_negative)
    how.add_argument("-k", type=non_negative)
    groups = commands.add_parser("groups", parents=[common, radius, method],
                                 help="each hash that is a near-duplicate, and the first hash of its group")
    groups.add_argument("file")
    dedup = commands.add_parser("dedup", parents=[common, radius, method],
                                help="the lines or rows that remain when each group keeps only its first")
    dedup.add_argument("file")
    sweep = commands.add_parser("sweep", parents=[common],
                                help="pairs, groups and dropped hashes at several radii, from one join")
    sweep.add_argument("file")
    sweep.add_argument("--radii", type=radii, required=True, help="radii separated by commas, as 0,2,4,6,8")
    return top


RUN = {"pairs": run_pairs, "query": run_query, "groups": run_groups, "dedup": run_dedup, "sweep": run_sweep}


def main(argv: Sequence[str] | None = None) -> int:
    script = os.path.basename(sys.argv[0]) if argv is None else ""
    args = parser("python -m quorvalent_index" if script == "__main__.py" else "quorvalent-index").parse_args(argv)
    try:
        return RUN[args.command](args, Output(args))
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
