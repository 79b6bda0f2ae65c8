#!/usr/bin/env python3.14
"""The table of fasta_pipeline.py, analysed on a Dask distributed cluster.

    python3.14 examples/dask_pipeline.py [FILE] [--scheduler ADDRESS | --workers N]
                                         [--chunk-bytes SIZE] [--in-flight N]

This process cuts FILE (FASTA or FASTQ, plain or compressed, "-" for standard
input; default: the shipped lambda genome) into chunks of whole records with
dnaio.read_chunks and sends each chunk to a worker, which parses it with dnaio
and analyses it with marlinox. Rows are written in input order. A chunk is at
most --chunk-bytes (default 16M) of file text, so no record may be larger; at
most --in-flight chunks (default: two per worker thread) are out at a time.

Without --scheduler a local cluster of --workers processes (default 2) is
started and stopped here. The scheduler and every worker must import
marlinox and dnaio from the same environment; the code of this script and of
fasta_pipeline.py travels with the tasks.

Bad input: rows of the chunks before it, then one line "error: ..." on
standard error and exit status 2.
"""

from __future__ import annotations

import argparse
import collections
import io
import logging
import os
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import BinaryIO, TextIO

import cloudpickle
import dnaio
from distributed import Client, Future, LocalCluster

_HERE = str(Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import fasta_pipeline  # noqa: E402
from fasta_pipeline import (  # noqa: E402
    DEFAULT_INPUT, HEADER_ROW, INPUT_ERRORS, batches, describe, open_binary, parse_size, table_rows)

# Workers need marlinox and dnaio, not these scripts: ship their code by value.
cloudpickle.register_pickle_by_value(fasta_pipeline)
if __name__ != "__main__":
    cloudpickle.register_pickle_by_value(sys.modules[__name__])


class InputError(Exception):
    """Bad input; the message names the file and, where known, the line."""


def _analyse_chunk_task():
    # Local, so that no pickler can refer to it by module and name: Dask then
    # sends it with cloudpickle, by value, with the functions it calls.
    def analyse_chunk(chunk: bytes, name: str, first_line: int) -> tuple[int, bool, bytes | str]:
        """On a worker: (process id, True, rows) or (process id, False, error message)."""
        fileformat = "fastq" if chunk[:1] == b"@" else "fasta"
        try:
            with dnaio.open(io.BytesIO(chunk), fileformat=fileformat) as reader:
                rows = "".join(table_rows(batch) for batch in batches(reader, len(chunk) + 1))
        except INPUT_ERRORS as err:
            return os.getpid(), False, describe(err, name, first_line)
        return os.getpid(), True, rows.encode()

    return analyse_chunk


analyse_chunk = _analyse_chunk_task()


def chunks(stream: BinaryIO, name: str, chunk_bytes: int) -> Iterator[tuple[bytes, int]]:
    """(chunk, number of lines before it) for the chunks of whole records of stream."""
    first_line = 0
    try:
        for view in dnaio.read_chunks(stream, chunk_bytes):
            chunk = bytes(view)
            yield chunk, first_line
            first_line += chunk.count(b"\n")
    except OverflowError:
        raise InputError(f"{name}:{first_line + 1}: a record is larger than --chunk-bytes "
                         f"({chunk_bytes} bytes)") from None
    except INPUT_ERRORS as err:
        raise InputError(describe(err, name, first_line)) from None


def byte_writer(out: BinaryIO | TextIO) -> Callable[[bytes], object]:
    """A write function taking bytes, for a binary or a text stream.

    Identifiers are bytes that need not be UTF-8: a text stream gets them
    decoded with surrogateescape, so encoding its text the same way gives the
    command's bytes back.
    """
    if isinstance(out, io.TextIOBase):
        return lambda data: out.write(data.decode("utf-8", "surrogateescape"))
    return out.write


def run_on_cluster(client: Client, path: str, out: BinaryIO | TextIO, *,
                   chunk_bytes: int = 16 << 20, in_flight: int | None = None) -> set[int]:
    """Write the table of the file at path to out; return the worker process ids used.

    out is a binary stream (sys.stdout.buffer, open(name, "wb"), io.BytesIO)
    or a text one (sys.stdout, open(name, "w"), io.StringIO). The table has
    the six default columns of the marlinox command, not its location or
    statistics columns. Raises InputError after writing the rows of every
    chunk before the bad one.
    """
    write = byte_writer(out)
    in_flight = in_flight or max(2, 2 * sum(client.nthreads().values()))
    pending: collections.deque[Future] = collections.deque()
    pids: set[int] = set()

    def write_oldest() -> None:
        pid, ok, payload = pending.popleft().result()
        pids.add(pid)
        if not ok:
            raise InputError(payload)
        write(payload)

    try:
        write(HEADER_ROW.encode())
        try:
            stream = open_binary(path)
        except INPUT_ERRORS as err:
            raise InputError(describe(err, path)) from None
        with stream:
            source = chunks(stream, path, chunk_bytes)
            while True:
                try:
                    chunk, first_line = next(source)
                except StopIteration:
                    break
                except InputError:
                    # The rows of the chunks before the bad one come first.
                    while pending:
                        write_oldest()
                    raise
                # Straight to a worker, not through the scheduler inside the task.
                [data] = client.scatter([chunk], hash=False)
                pending.append(client.submit(analyse_chunk, data, path, first_line, pure=False))
                while len(pending) >= in_flight:
                    write_oldest()
        while pending:
            write_oldest()
        out.flush()
    finally:
        for future in pending:
            future.cancel()
    return pids


def log_level(level: int) -> None:
    for handler in logging.getLogger("distributed").handlers:
        handler.setLevel(level)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file", nargs="?", default=str(DEFAULT_INPUT), metavar="FILE")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", metavar="ADDRESS", help="e.g. tcp://10.0.0.5:8786")
    where.add_argument("--workers", type=int, default=2, metavar="N")
    parser.add_argument("--chunk-bytes", type=parse_size, default=16 << 20, metavar="SIZE")
    parser.add_argument("--in-flight", type=int, default=None, metavar="N")
    args = parser.parse_args(argv)
    if args.workers < 1 or (args.in_flight is not None and args.in_flight < 1):
        parser.error("--workers and --in-flight must be at least 1")

    message, status = None, 0
    # Failures reach this process through the futures; the cluster's own log
    # keeps only errors, and nothing of its shutdown, which would follow the
    # error line. Worker processes read the level from the environment.
    os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "error")
    log_level(logging.ERROR)
    cluster = None
    try:
        if not args.scheduler:
            threads = max(1, (os.cpu_count() or 1) // args.workers)
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   dashboard_address=":0", silence_logs=logging.ERROR,
                                   env={"RAYON_NUM_THREADS": str(threads)})
        with Client(args.scheduler or cluster) as client:
            run_on_cluster(client, args.file, sys.stdout.buffer,
                           chunk_bytes=args.chunk_bytes, in_flight=args.in_flight)
    except InputError as err:
        message, status = f"error: {err}", 2
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 141
    finally:
        log_level(logging.CRITICAL + 1)
        if cluster is not None:
            cluster.close()
    if message:
        sys.stdout.flush()
        print(message, file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
