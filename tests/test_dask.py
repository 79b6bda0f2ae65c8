"""examples/dask_pipeline.py: chunks cut by dnaio.read_chunks and analysed on
a local cluster of two worker processes must give, byte for byte, the table of
the single-process example on the same file. Skipped where dask's distributed
scheduler or dnaio is not installed."""

from __future__ import annotations

import gzip
import importlib.util
import io
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason="dask.distributed is not installed")
pytest.importorskip("dnaio", reason="dnaio is not installed")

from distributed import Client, LocalCluster  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
GENOME = EXAMPLES / "data" / "lambda_virus.fa.gz"
# Generous: a run takes a few seconds, CI machines are shared and busy.
TIMEOUT = 600


def load(name: str):
    loader_spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(loader_spec)
    sys.modules[name] = module
    loader_spec.loader.exec_module(module)
    return module


dask_pipeline = load("dask_pipeline")


def child_env() -> dict[str, str]:
    """Environment for the example scripts: this test's marlinox first."""
    import marlinox

    env = dict(os.environ)
    here = str(Path(marlinox.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join([here, *filter(None, [env.get("PYTHONPATH")])])
    return env


def genome() -> str:
    with gzip.open(GENOME, "rt", encoding="ascii") as handle:
        return "".join(line.strip() for line in handle if not line.startswith(">"))


def contigs() -> list[tuple[str, str]]:
    """The genome cut at random points into contigs of 1 to 8651 bases:
    a few shorter than a codon, one identifier used twice, one contig in
    lower case, headers with descriptions."""
    sequence = genome()
    rng = random.Random(20240611)
    cuts = sorted(rng.sample(range(1, len(sequence)), 40))
    cuts = sorted(set(cuts + [cuts[0] + 1, cuts[5] + 2, cuts[9] + 3]))
    pieces = [sequence[a:b] for a, b in zip([0, *cuts], [*cuts, len(sequence)])]
    records = [(f"contig_{i:03d} len={len(p)}", p) for i, p in enumerate(pieces)]
    records[7] = (records[7][0], records[7][1].lower())
    records[12] = ("contig_003 a second contig_003", records[12][1])
    return records


def fasta(records, width: int = 60) -> bytes:
    lines = []
    for header, sequence in records:
        lines.append(f">{header}")
        lines.extend(sequence[i:i + width] for i in range(0, len(sequence), width))
    return ("\n".join(lines) + "\n").encode()


def reads(count: int, bad: int | None = None) -> bytes:
    """FASTQ reads of the genome; read number `bad` gets a quality too short."""
    sequence = genome()
    rng = random.Random(5)
    out = []
    for number in range(count):
        start = rng.randrange(len(sequence) - 150)
        quality = "I" * (149 if number == bad else 150)
        out += [f"@read{number}", sequence[start:start + 150], "+", quality]
    return ("\n".join(out) + "\n").encode()


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, Path]:
    directory = tmp_path_factory.mktemp("dask")
    paths = {"contigs": directory / "contigs.fa.gz", "reads": directory / "reads.fq"}
    paths["contigs"].write_bytes(gzip.compress(fasta(contigs())))
    paths["reads"].write_bytes(reads(2000))
    return paths


def single_process(path: Path) -> bytes:
    result = subprocess.run([sys.executable, str(EXAMPLES / "fasta_pipeline.py"), str(path)],
                            capture_output=True, env=child_env(), timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def reference(files) -> dict[str, bytes]:
    return {name: single_process(path) for name, path in files.items()}


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0", env={"RAYON_NUM_THREADS": "2"}) as cluster:
        yield cluster


@pytest.fixture(scope="module")
def client(cluster):
    with Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def worker_pids(client) -> set[int]:
    return set(client.run(os.getpid).values())


def test_contigs_cover_the_genome(reference):
    rows = reference["contigs"].splitlines()[1:]
    assert len(rows) == len(contigs()) > 40
    assert sum(int(row.split(b"\t")[1]) for row in rows) == len(genome()) == 48502
    assert min(int(row.split(b"\t")[1]) for row in rows) < 3


@pytest.mark.parametrize("name, chunk_bytes, in_flight, stream", [
    ("contigs", 16 * 1024, 1, io.BytesIO),    # a few records per chunk, one chunk out at a time
    ("contigs", 16 * 1024, 5, io.BytesIO),    # several out at once
    ("contigs", 64 << 20, None, io.BytesIO),  # the whole file in one chunk
    ("reads", 4 * 1024, 3, io.BytesIO),
    ("reads", 4 * 1024, 3, io.StringIO),      # a text stream takes the same table
])
def test_cluster_table_equals_the_single_process_table(
        client, worker_pids, files, reference, name, chunk_bytes, in_flight, stream):
    out = stream()
    pids = dask_pipeline.run_on_cluster(client, str(files[name]), out,
                                        chunk_bytes=chunk_bytes, in_flight=in_flight)
    table = out.getvalue()
    if isinstance(table, str):
        table = table.encode("utf-8", "surrogateescape")
    assert table == reference[name]
    # Every chunk was analysed in a worker process, none in this one.
    assert pids and pids <= worker_pids
    assert os.getpid() not in pids


def test_both_workers_take_part_and_the_code_travels_with_the_tasks(client, worker_pids, files):
    pids = dask_pipeline.run_on_cluster(client, str(files["reads"]), io.BytesIO(),
                                        chunk_bytes=1024, in_flight=8)
    assert pids == worker_pids and len(pids) == 2
    # Workers on other machines have marlinox and dnaio but not these scripts:
    # the tasks must carry the code instead of importing the scripts by name.
    imported = client.run(eval, "[m for m in ('fasta_pipeline', 'dask_pipeline') "
                                "if m in __import__('sys').modules]")
    assert list(imported.values()) == [[], []]


def run_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(EXAMPLES / "dask_pipeline.py"), *args],
                          capture_output=True, env=child_env(), timeout=TIMEOUT)


def test_command_sends_chunks_to_a_running_scheduler(cluster, files, reference):
    result = run_cli(str(files["contigs"]), "--scheduler", cluster.scheduler_address,
                     "--chunk-bytes", "16K")
    assert result.returncode == 0, result.stderr
    assert result.stdout == reference["contigs"]


@pytest.mark.parametrize("where", ["worker", "reader"])
def test_command_on_its_own_cluster_ends_bad_input_with_one_error_line(tmp_path, files, reference, where):
    # A short quality in read 1500 is found by the worker that parses its
    # chunk; a record larger than a chunk is found while cutting the file.
    path = tmp_path / "bad.fq"
    if where == "worker":
        path.write_bytes(reads(2000, bad=1500))
        expected_error = f"error: {path}:{4 * 1500 + 4}: "
    else:
        path.write_bytes(reads(1500) + b"@huge\n" + b"A" * 9000 + b"\n+\n" + b"I" * 9000 + b"\n")
        expected_error = f"error: {path}:"
    result = run_cli(str(path), "--workers", "2", "--chunk-bytes", "8K")
    assert result.returncode == 2
    # Nothing after the error line: no traceback, no log of the cluster's shutdown.
    stderr = result.stderr.decode()
    assert stderr.startswith(expected_error) and stderr.count("\n") == 1 and stderr.endswith("\n"), stderr
    # The rows of the chunks before the bad one, in order.
    rows = result.stdout.splitlines(keepends=True)
    assert 100 < len(rows) <= 1501
    assert reference["reads"].startswith(result.stdout)
