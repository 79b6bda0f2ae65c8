#!/usr/bin/env python3.14
"""The marlinox command's table, written with dnaio and the Python API.

    python3.14 examples/fasta_pipeline.py [FILE ...] [--batch-bytes SIZE]

FILE is FASTA or FASTQ, plain or compressed (xopen, dnaio's opener, tells by
the content), or "-" for standard input (plain or gzip); without FILE the
shipped lambda phage genome is read. The
output is the command's table: a header row, then for every record its
identifier (first word of the header), length, gc_fraction, stop_free_run,
ratio and probability, floats as Python's repr prints them.

Records go to marlinox in batches of about --batch-bytes (sequence bytes plus
1 KiB per record), which bounds memory whatever the file size.

Unlike the command, dnaio skips FASTA lines that start with '#', and it needs
a first byte of '>' or '@' to tell the format.
"""

from __future__ import annotations

import argparse
import gzip
import os
import re
import sys
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import BinaryIO

import dnaio
import marlinox
from xopen import xopen

DEFAULT_INPUT = Path(__file__).resolve().parent / "data" / "lambda_virus.fa.gz"
HEADER_ROW = "identifier\tlength\tgc_fraction\tstop_free_run\tratio\tprobability\n"
RECORD_OVERHEAD_BYTES = 1024
FIRST_WORD = re.compile(r"[ \t]*([^ \t]*)")
# FASTA sequence lines may hold blanks; they are not sequence.
DROP_BLANKS = str.maketrans("", "", " \t")

INPUT_ERRORS = (dnaio.UnknownFileFormat, dnaio.FileFormatError, OSError, EOFError, ValueError)

Batch = list[tuple[str, str]]  # (identifier, sequence)


def open_binary(name: str) -> BinaryIO:
    """The decompressed bytes of a file, or of standard input for "-"."""
    if name != "-":
        return xopen(name, "rb", threads=0)
    stdin = sys.stdin.buffer
    return gzip.GzipFile(fileobj=stdin) if stdin.peek(2)[:2] == b"\x1f\x8b" else stdin


def batches(records: Iterable[dnaio.SequenceRecord], batch_bytes: int) -> Iterator[Batch]:
    batch: Batch = []
    size = 0
    for record in records:
        sequence = record.sequence
        if record.qualities is None:
            sequence = sequence.translate(DROP_BLANKS)
        if not sequence.isascii():
            raise ValueError(f"record {record.name!r}: sequence is not ASCII")
        batch.append((FIRST_WORD.match(record.name).group(1), sequence))
        size += len(sequence) + RECORD_OVERHEAD_BYTES
        if size >= batch_bytes:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch


def table_rows(batch: Batch) -> str:
    # Identifiers may repeat, and the probability looks GC fractions up by
    # identifier: key each record by its position instead.
    keyed = [(str(index), sequence) for index, (_, sequence) in enumerate(batch)]
    gc_contents = marlinox.calculate_gc_content(keyed)
    runs = marlinox.calculate_stop_free_run_with_ratio(keyed)
    probabilities = marlinox.calculate_run_probability([(key, run) for key, run, _ in runs], gc_contents)
    return "".join(
        f"{identifier}\t{len(sequence)}\t{gc!r}\t{run}\t{ratio!r}\t{probability!r}\n"
        for (identifier, sequence), (_, gc), (_, run, ratio), (_, probability)
        in zip(batch, gc_contents, runs, probabilities, strict=True)
    )


def describe(err: BaseException, name: str, first_line: int = 0) -> str:
    """The message: "FILE:LINE: what is wrong", or "FILE: ..." where no line is known."""
    line = getattr(err, "line", None)  # dnaio counts lines from 0
    where = name if line is None else f"{name}:{first_line + line + 1}"
    return f"{where}: {getattr(err, 'message', None) or err}"


def parse_size(text: str) -> int:
    """A byte count with an optional K, M or G suffix (powers of 1024)."""
    match = re.fullmatch(r"([1-9][0-9]*)([KMG]?)", text.strip().upper())
    if not match:
        raise argparse.ArgumentTypeError(f"not a positive byte count: {text!r}")
    return int(match[1]) << {"": 0, "K": 10, "M": 20, "G": 30}[match[2]]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", metavar="FILE", default=[str(DEFAULT_INPUT)])
    parser.add_argument("--batch-bytes", type=parse_size, default=64 << 20, metavar="SIZE")
    args = parser.parse_args(argv)
    out = sys.stdout.buffer
    name = ""
    try:
        out.write(HEADER_ROW.encode())
        for name in args.files:
            with open_binary(name) as stream, dnaio.open(stream) as reader:
                for batch in batches(reader, args.batch_bytes):
                    out.write(table_rows(batch).encode())
        out.flush()
    except BrokenPipeError:
        # Nobody reads any more (`| head`): stop quietly, and point standard
        # output at /dev/null so that the interpreter's last flush succeeds.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except INPUT_ERRORS as err:
        out.flush()
        print(f"error: {describe(err, name)}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
