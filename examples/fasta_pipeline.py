#!/usr/bin/env python3.14
"""Analyse the records of a FASTA file with marlinox and print a table.

Usage:
    python3.14 examples/fasta_pipeline.py [FILE] [--batch-bytes SIZE] [--no-progress]

FILE is a FASTA file, plain or gzip-compressed (recognised by its first two
bytes, whatever its name), or "-" for standard input. Without FILE the
lambda phage genome shipped in examples/data/ is analysed.

For every record the script writes one tab-separated row to standard output,
after a header row:

    identifier  length  gc_fraction  stop_free_run  ratio  probability

- identifier: the first word of the header line (after '>' and any blanks
  that follow it, up to the next blank); the rest of the header, the
  description, is left out.
  Identifiers are written byte for byte as they stand in the file.
- length: the number of bases, i.e. bytes of sequence data once line breaks
  and blanks are removed.
- gc_fraction: the share of G and C (either case) among those bytes.
- stop_free_run: the longest run of consecutive codons without a stop codon
  (TAA, TAG, TGA) in any of the six reading frames.
- ratio: stop_free_run / length (codons per base, so at most 1/3).
- probability: the probability that a run of that many codons, drawn from a
  random sequence with the record's GC fraction, holds no stop codon.
Floating-point columns are written with Python's shortest round-trip repr.

Records are read in batches of about --batch-bytes (default 64 MiB) and
each batch goes through the whole pipeline before the next one is read, so
memory stays bounded by the batch size. A record counts its sequence bytes
plus 1 KiB for the Python objects that carry it through the pipeline, so
that files of many short reads stay within bounds too. A single record is
always analysed whole: one record larger than the batch makes a batch alone.

A malformed file (data before the first '>' header, a header without an
identifier, a record without sequence, non-ASCII sequence data, corrupt gzip
data) and an unreadable file end the run with exit status 2 and one line
"error: FILE:LINE: ..." on standard error. An empty file is malformed too: it
holds no record, and an empty table would hide a truncated download. Rows of
batches finished before the error have already been written.

While standard error is a terminal, a progress line is kept up to date there.
Piping the table into a command that stops reading early (head) ends the run
quietly with exit status 141, as a process killed by SIGPIPE would.
"""

from __future__ import annotations

import argparse
import gzip
import os
import stat
import sys
import time
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO

import marlinox

DEFAULT_INPUT = Path(__file__).resolve().parent / "data" / "lambda_virus.fa.gz"
DEFAULT_BATCH_BYTES = 64 * 1024 * 1024
# Rough memory cost of one record beyond its sequence bytes: its identifier,
# key, result tuples and numbers on the way through the pipeline (measured at
# about 1.2 kB per short read).
RECORD_OVERHEAD_BYTES = 1024
GZIP_MAGIC = b"\x1f\x8b"
HEADER_ROW = b"identifier\tlength\tgc_fraction\tstop_free_run\tratio\tprobability\n"
EXIT_MALFORMED = 2
EXIT_BROKEN_PIPE = 128 + 13
EXIT_INTERRUPTED = 128 + 2


class InputError(Exception):
    """A problem with the input, reported as one "error: FILE:LINE: ..." line."""

    def __init__(self, name: str, line: int | None, message: str):
        where = f"{name}:{line}" if line is not None else name
        super().__init__(f"{where}: {message}")


@dataclass(slots=True)
class Record:
    identifier: bytes  # first word of the header, as raw bytes
    line: int  # line number of the header, counting from 1
    sequence: str  # sequence data without line breaks or blanks (ASCII only)


class Progress:
    """A progress line on standard error, redrawn at most a few times a second.

    It counts records read and analysed, and shows how much of the input file
    has been consumed (compressed bytes for gzip input).
    """

    INTERVAL = 0.2

    def __init__(self, enabled: bool, raw: BinaryIO, total_bytes: int | None):
        self.enabled = enabled
        self.raw = raw
        self.total_bytes = total_bytes
        self.read = 0
        self.analysed = 0
        self.last_draw = 0.0
        self.drawn = False

    def count_read(self, records: Iterator[Record]) -> Iterator[Record]:
        for record in records:
            self.read += 1
            self.draw()
            yield record

    def count_analysed(self, count: int) -> None:
        self.analysed += count
        self.draw()

    def draw(self, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.last_draw < self.INTERVAL:
            return
        self.last_draw = now
        text = f"{self.read} records read, {self.analysed} analysed"
        position = raw_position(self.raw)
        if position is not None:
            text += f", {position / 1e6:.1f} MB of input"
            if self.total_bytes:
                text += f" ({100 * position / self.total_bytes:.0f}%)"
        sys.stderr.write(f"\r\x1b[K{text}")
        sys.stderr.flush()
        self.drawn = True

    def finish(self) -> None:
        if self.drawn:
            self.draw(force=True)
            sys.stderr.write("\n")
            sys.stderr.flush()
            self.drawn = False


def open_input(path: str) -> tuple[BinaryIO, BinaryIO, str, int | None]:
    """Open a FASTA input; return (text stream, raw stream, display name, size).

    The raw stream is the file itself: its position measures progress, also
    for gzip input. Size is None when unknown (a pipe).
    """
    if path == "-":
        raw: BinaryIO = sys.stdin.buffer
        name = "<stdin>"
    else:
        name = path
        try:
            raw = open(path, "rb")
        except OSError as err:
            raise InputError(name, None, f"cannot open: {err.strerror or err}") from None
    size = None
    try:
        status = os.fstat(raw.fileno())
        if stat.S_ISREG(status.st_mode):
            size = status.st_size
    except (OSError, ValueError):
        pass
    try:
        magic = raw.peek(2)[:2]
    except OSError as err:
        raise InputError(name, None, f"cannot read: {err.strerror or err}") from None
    stream = gzip.GzipFile(fileobj=raw, mode="rb") if magic == GZIP_MAGIC else raw
    return stream, raw, name, size


def raw_position(raw: BinaryIO) -> int | None:
    try:
        return raw.tell()
    except (OSError, ValueError):
        return None


def read_records(stream: BinaryIO, name: str) -> Iterator[Record]:
    """Yield the records of a FASTA stream in file order.

    Accepts any line width, LF or CRLF line ends, blank lines anywhere, and
    blanks inside sequence lines (they are dropped). Raises InputError for
    malformed input, naming the offending line.
    """
    identifier: bytes | None = None
    header_line = 0
    sequence = bytearray()
    line_number = 0
    try:
        for line_number, line in enumerate(stream, start=1):
            if line.startswith(b">"):
                if identifier is not None:
                    yield finish_record(name, identifier, header_line, sequence)
                words = line[1:].split(maxsplit=1)
                if not words:
                    raise InputError(name, line_number, "header line has no identifier after '>'")
                identifier = words[0]
                header_line = line_number
                sequence = bytearray()
                continue
            # Line breaks (LF or CRLF) and any blanks are not sequence data.
            data = b"".join(line.split())
            if not data:
                continue
            if identifier is None:
                raise InputError(name, line_number, "sequence data before the first '>' header line")
            if not data.isascii():
                column = 1 + next(i for i, byte in enumerate(line) if byte >= 0x80)
                raise InputError(
                    name,
                    line_number,
                    f"non-ASCII byte 0x{line[column - 1]:02x} at column {column} "
                    f"in the sequence of record '{show(identifier)}'",
                )
            sequence += data
    except (gzip.BadGzipFile, EOFError, zlib.error) as err:
        raise InputError(name, line_number + 1, f"corrupt or truncated gzip data ({err})") from None
    except OSError as err:
        raise InputError(name, line_number + 1, f"read failed: {err.strerror or err}") from None
    if identifier is None:
        what = "the file is empty" if line_number == 0 else "no '>' header line in the file"
        raise InputError(name, max(line_number, 1), f"no FASTA record: {what}")
    yield finish_record(name, identifier, header_line, sequence)


def finish_record(name: str, identifier: bytes, line: int, sequence: bytearray) -> Record:
    if not sequence:
        raise InputError(name, line, f"record '{show(identifier)}' has no sequence")
    return Record(identifier, line, sequence.decode("ascii"))


def show(identifier: bytes) -> str:
    return identifier.decode("utf-8", errors="backslashreplace")


def batches(records: Iterator[Record], batch_bytes: int) -> Iterator[list[Record]]:
    """Group records into lists that cost about batch_bytes of memory each."""
    batch: list[Record] = []
    size = 0
    for record in records:
        batch.append(record)
        size += len(record.sequence) + RECORD_OVERHEAD_BYTES
        if size >= batch_bytes:
            yield batch
            batch = []
            size = 0
    if batch:
        yield batch


def is_panic(exc: BaseException) -> bool:
    # The module's internal-failure exception derives from BaseException and
    # is not exposed as a module attribute, so it is recognised by name.
    return type(exc).__name__ == "PanicException"


def analyse(batch: list[Record], name: str) -> list[tuple[int, float, int, float, float]]:
    """Run the pipeline over one batch: (length, gc, run, ratio, probability) per record.

    FASTA identifiers need not be unique, and the probability step looks GC
    fractions up by identifier, so the module gets each record's position in
    the batch as its key instead of the file's identifier.
    """
    pairs = [(str(index), record.sequence) for index, record in enumerate(batch)]
    try:
        gc_contents = marlinox.calculate_gc_content(pairs)
        runs = marlinox.calculate_stop_free_run_with_ratio(pairs)
        probabilities = marlinox.calculate_run_probability(
            [(key, run) for key, run, _ in runs], gc_contents
        )
    except BaseException as exc:
        if is_panic(exc):
            raise InputError(name, *locate_failure(batch, exc)) from None
        raise
    rows = []
    for index, record in enumerate(batch):
        key = str(index)
        gc_key, gc = gc_contents[index]
        run_key, run, ratio = runs[index]
        probability_key, probability = probabilities[index]
        if not gc_key == run_key == probability_key == key:
            raise RuntimeError(f"marlinox returned results out of order at record {key}")
        rows.append((len(record.sequence), gc, run, ratio, probability))
    return rows


def locate_failure(batch: list[Record], exc: BaseException) -> tuple[int, str]:
    """Find the record whose analysis fails; return (header line, message)."""
    for record in batch:
        try:
            marlinox.calculate_stop_free_run([record.sequence])
        except BaseException as again:
            if not is_panic(again):
                raise
            return record.line, f"record '{show(record.identifier)}' cannot be analysed: {again}"
    return batch[0].line, f"analysis of the batch starting here failed: {exc}"


def format_rows(batch: list[Record], rows: list[tuple[int, float, int, float, float]]) -> bytes:
    out = []
    for record, (length, gc, run, ratio, probability) in zip(batch, rows, strict=True):
        tail = f"\t{length}\t{gc!r}\t{run}\t{ratio!r}\t{probability!r}\n"
        out.append(record.identifier + tail.encode("ascii"))
    return b"".join(out)


def parse_size(text: str) -> int:
    """Parse a byte count with an optional K, M or G suffix (powers of 1024)."""
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    text = text.strip().upper().removesuffix("B").removesuffix("I")
    factor = units.get(text[-1:], 1)
    if factor != 1:
        text = text[:-1]
    try:
        value = int(text) * factor
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1 byte")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Tabulate length, GC fraction, longest stop-free run, its ratio "
        "to the length and its probability for every record of a FASTA file.",
    )
    parser.add_argument(
        "file",
        nargs="?",
        default=str(DEFAULT_INPUT),
        help="FASTA file, plain or gzip-compressed, or '-' for standard input "
        "(default: the shipped lambda phage genome)",
    )
    parser.add_argument(
        "--batch-bytes",
        type=parse_size,
        default=DEFAULT_BATCH_BYTES,
        metavar="SIZE",
        help="memory budget of one batch: sequence bytes plus 1 KiB per record, "
        "e.g. 4096, 512K, 64M (default: 64M)",
    )
    parser.add_argument(
        "--no-progress",
        action="store_true",
        help="never show progress, even when standard error is a terminal",
    )
    return parser


def run(args: argparse.Namespace) -> None:
    stream, raw, name, size = open_input(args.file)
    progress = Progress(not args.no_progress and sys.stderr.isatty(), raw, size)
    out = sys.stdout.buffer
    try:
        out.write(HEADER_ROW)
        records = progress.count_read(read_records(stream, name))
        for batch in batches(records, args.batch_bytes):
            out.write(format_rows(batch, analyse(batch, name)))
            progress.count_analysed(len(batch))
        out.flush()
    finally:
        progress.finish()
        if stream is not raw:
            stream.close()
        if raw is not sys.stdin.buffer:
            raw.close()


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        run(args)
    except InputError as err:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            silence_stdout()
        print(f"error: {err}", file=sys.stderr)
        return EXIT_MALFORMED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop without a traceback, and
        # keep the interpreter's final flush from failing a second time.
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    return 0


def silence_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


if __name__ == "__main__":
    sys.exit(main())
