#!/usr/bin/env python3.14
"""Run the FASTA pipeline of fasta_pipeline.py on a Dask distributed cluster.

Usage:
    python3.14 examples/dask_pipeline.py [FILE] [--scheduler ADDRESS | --workers N]
                                         [--chunk-bytes SIZE] [--in-flight N]

The output is the table of fasta_pipeline.py, byte for byte: a header row,
then one row per record, in file order (see that script for the columns and
the accepted input).

This process reads FILE (plain or gzip-compressed FASTA, or "-" for standard
input), cuts it into chunks of whole records of about --chunk-bytes each
(sequence bytes plus 1 KiB per record; default 16M), and sends each chunk to
a worker of the cluster, where marlinox analyses it with that machine's
cores. Rows come back and are written in input order. At most --in-flight
chunks (default: two per worker thread) are out at a time, so memory stays
bounded here and on the workers whatever the size of the file.

Without --scheduler a local cluster of --workers worker processes (default 2)
is started on this machine and stopped at the end. With --scheduler
tcp://HOST:8786 the chunks go to an existing cluster. Its workers need
CPython 3.14 with marlinox, dask and distributed installed, nothing else:
the code of this script and of fasta_pipeline.py travels with the tasks.

Exit status: 0 on success; 2 with one line "error: FILE:LINE: ..." on
standard error for malformed input (rows of earlier chunks are written
first); 141 when the reader of standard output goes away.
"""

from __future__ import annotations

import argparse
import collections
import os
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import BinaryIO

import cloudpickle
from distributed import Client, Future, LocalCluster

_HERE = str(Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import fasta_pipeline  # noqa: E402
from fasta_pipeline import (  # noqa: E402
    HEADER_ROW,
    InputError,
    Record,
    analyse,
    batches,
    format_rows,
    open_input,
    parse_size,
    read_records,
)

# Ship the code of both scripts with the tasks, so that workers need only
# marlinox itself.
cloudpickle.register_pickle_by_value(fasta_pipeline)
if __name__ != "__main__":
    cloudpickle.register_pickle_by_value(sys.modules[__name__])

DEFAULT_CHUNK_BYTES = 16 * 1024 * 1024
DEFAULT_LOCAL_WORKERS = 2

# A chunk as it travels: plain tuples (identifier, header line, sequence).
Chunk = list[tuple[bytes, int, str]]


def _analyse_chunk_task():
    # Defined inside a function so that no pickler can refer to it by module
    # and name: Dask then serialises it with cloudpickle, by value, together
    # with the functions of fasta_pipeline that it calls.
    def analyse_chunk(chunk: Chunk, name: str) -> tuple[int, bool, bytes | str]:
        """Run on a worker: the table rows of one chunk of records.

        Returns (worker process id, True, rows) on success, or (process id,
        False, message) when a record cannot be analysed; the message is
        returned rather than raised so that no exception needs pickling.
        """
        records = [Record(identifier, line, sequence) for identifier, line, sequence in chunk]
        try:
            rows = analyse(records, name)
        except InputError as err:
            return os.getpid(), False, str(err)
        return os.getpid(), True, format_rows(records, rows)

    return analyse_chunk


analyse_chunk = _analyse_chunk_task()


class WorkerError(Exception):
    """A chunk could not be analysed on its worker; the message says why."""


def chunks(path: str, chunk_bytes: int) -> tuple[Iterator[Chunk], str, BinaryIO, BinaryIO]:
    """Open path and return (chunks of its records, display name, streams)."""
    stream, raw, name, _size = open_input(path)
    records = read_records(stream, name)

    def generate() -> Iterator[Chunk]:
        for batch in batches(records, chunk_bytes):
            yield [(r.identifier, r.line, r.sequence) for r in batch]

    return generate(), name, stream, raw


def run_on_cluster(client: Client, path: str, out: BinaryIO, *,
                   chunk_bytes: int = DEFAULT_CHUNK_BYTES,
                   in_flight: int | None = None) -> set[int]:
    """Write the table for the FASTA file at path to out, analysed on client's cluster.

    Returns the process ids of the workers that analysed chunks. Raises
    InputError for malformed input and WorkerError when a chunk fails on
    its worker, in both cases after writing the rows of all earlier chunks.
    """
    if in_flight is None:
        in_flight = max(2, 2 * sum(client.nthreads().values()))
    pending: collections.deque[Future] = collections.deque()
    pids: set[int] = set()

    def write_oldest() -> None:
        pid, ok, payload = pending.popleft().result()
        pids.add(pid)
        if not ok:
            raise WorkerError(payload)
        out.write(payload)

    generate, name, stream, raw = chunks(path, chunk_bytes)
    try:
        out.write(HEADER_ROW)
        try:
            for chunk in generate:
                # Scatter the chunk straight to a worker rather than embedding
                # it in the task, which would route it through the scheduler.
                [data] = client.scatter([chunk], hash=False)
                pending.append(client.submit(analyse_chunk, data, name, pure=False))
                while len(pending) >= in_flight:
                    write_oldest()
        except InputError:
            # Rows of the chunks read before the error come first.
            while pending:
                write_oldest()
            raise
        while pending:
            write_oldest()
        out.flush()
    finally:
        for future in pending:
            future.cancel()
        if stream is not raw:
            stream.close()
        if raw is not sys.stdin.buffer:
            raw.close()
    return pids


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Tabulate every record of a FASTA file like fasta_pipeline.py, "
        "analysing chunks of records on a Dask distributed cluster.",
    )
    parser.add_argument("file", nargs="?", default=str(fasta_pipeline.DEFAULT_INPUT),
                        help="FASTA file, plain or gzip-compressed, or '-' for standard input "
                        "(default: the shipped lambda phage genome)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="address of a running scheduler, e.g. tcp://10.0.0.5:8786")
    where.add_argument("--workers", type=int, default=DEFAULT_LOCAL_WORKERS, metavar="N",
                       help="worker processes of the local cluster started without "
                       f"--scheduler (default: {DEFAULT_LOCAL_WORKERS})")
    parser.add_argument("--chunk-bytes", type=parse_size, default=DEFAULT_CHUNK_BYTES,
                        metavar="SIZE", help="records per task: sequence bytes plus 1 KiB per "
                        "record, e.g. 512K, 16M (default: 16M)")
    parser.add_argument("--in-flight", type=int, default=None, metavar="N",
                        help="chunks out on the cluster at a time "
                        "(default: two per worker thread)")
    return parser


def local_cluster(workers: int) -> LocalCluster:
    """Worker processes with one task thread each; marlinox's own threads
    share the processors among the workers."""
    threads = max(1, (os.cpu_count() or 1) // workers)
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                        dashboard_address=None,
                        env={"RAYON_NUM_THREADS": str(threads)})


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    if args.workers < 1:
        print("error: --workers must be at least 1", file=sys.stderr)
        return 2
    if args.in_flight is not None and args.in_flight < 1:
        print("error: --in-flight must be at least 1", file=sys.stderr)
        return 2
    cluster = None if args.scheduler else local_cluster(args.workers)
    try:
        with Client(args.scheduler or cluster) as client:
            run_on_cluster(client, args.file, sys.stdout.buffer,
                           chunk_bytes=args.chunk_bytes, in_flight=args.in_flight)
    except (InputError, WorkerError) as err:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            fasta_pipeline.silence_stdout()
        print(f"error: {err}", file=sys.stderr)
        return fasta_pipeline.EXIT_MALFORMED
    except BrokenPipeError:
        fasta_pipeline.silence_stdout()
        return fasta_pipeline.EXIT_BROKEN_PIPE
    except KeyboardInterrupt:
        return fasta_pipeline.EXIT_INTERRUPTED
    finally:
        if cluster is not None:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
