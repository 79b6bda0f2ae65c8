"""The FASTA pipeline on a Dask distributed cluster (examples/dask_pipeline.py).

A local cluster of two worker processes analyses the shipped lambda phage
genome cut into contigs; its table must equal, byte for byte, the table of
the single-process pipeline (examples/fasta_pipeline.py) on the same file.
Skipped where dask's distributed scheduler is not installed.
"""

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

from distributed import Client, LocalCluster  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
GENOME = EXAMPLES / "data" / "lambda_virus.fa.gz"


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
    """The genome cut at random points into contigs of 1 to about 4000 bases:
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


def write_fasta(path: Path, records, width: int = 60) -> Path:
    lines = []
    for header, sequence in records:
        lines.append(f">{header}")
        lines.extend(sequence[i:i + width] for i in range(0, len(sequence), width))
    data = ("\n".join(lines) + "\n").encode("utf-8")
    path.write_bytes(gzip.compress(data) if path.suffix == ".gz" else data)
    return path


@pytest.fixture(scope="module")
def contig_file(tmp_path_factory) -> Path:
    return write_fasta(tmp_path_factory.mktemp("contigs") / "lambda_contigs.fa.gz", contigs())


def single_process(path: Path, *options: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(EXAMPLES / "fasta_pipeline.py"), str(path), "--no-progress", *options],
        capture_output=True, env=child_env())


@pytest.fixture(scope="module")
def reference(contig_file) -> bytes:
    result = single_process(contig_file)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, env={"RAYON_NUM_THREADS": "2"}) as cluster:
        yield cluster


@pytest.fixture(scope="module")
def client(cluster):
    with Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def worker_pids(client) -> set[int]:
    return set(client.run(os.getpid).values())


def test_contigs_cover_the_genome(contig_file, reference):
    rows = reference.splitlines()[1:]
    assert len(rows) == len(contigs()) > 40
    assert sum(int(row.split(b"\t")[1]) for row in rows) == len(genome()) == 48502
    assert min(int(row.split(b"\t")[1]) for row in rows) < 3


@pytest.mark.parametrize("chunk_bytes, in_flight", [
    (1, 1),            # one record per chunk, one chunk out at a time
    (1, 5),            # one record per chunk, several out at once
    (6 * 1024, 3),     # a few records per chunk
    (64 << 20, None),  # the whole file in one chunk
], ids=["record-each-serial", "record-each-parallel", "few-records", "one-chunk"])
def test_cluster_table_equals_the_single_process_table(
        client, worker_pids, contig_file, reference, chunk_bytes, in_flight):
    out = io.BytesIO()
    pids = dask_pipeline.run_on_cluster(client, str(contig_file), out,
                                        chunk_bytes=chunk_bytes, in_flight=in_flight)
    assert out.getvalue() == reference
    # Every chunk was analysed in a worker process, none in this one.
    assert pids and pids <= worker_pids
    assert os.getpid() not in pids


def test_both_workers_take_part(client, worker_pids, contig_file):
    pids = dask_pipeline.run_on_cluster(client, str(contig_file), io.BytesIO(),
                                        chunk_bytes=1, in_flight=8)
    assert pids == worker_pids and len(pids) == 2


def test_the_code_travels_with_the_tasks(client, contig_file):
    # Workers on other machines have marlinox but not these scripts: the
    # tasks must carry the code instead of importing the scripts by name.
    dask_pipeline.run_on_cluster(client, str(contig_file), io.BytesIO(), chunk_bytes=1 << 16)
    imported = client.run(eval, "[m for m in ('fasta_pipeline', 'dask_pipeline') "
                                "if m in __import__('sys').modules]")
    assert list(imported.values()) == [[], []]


def test_a_record_that_fails_in_marlinox_is_reported_by_its_worker(client, worker_pids):
    chunk = [(b"good", 1, "ATGTAA"), (b"bad\xff", 3, "ATG\u00c9")]
    pid, ok, message = client.submit(dask_pipeline.analyse_chunk, chunk, "x.fa",
                                     pure=False).result()
    assert pid in worker_pids and not ok
    assert message.startswith("x.fa:3: record 'bad\\xff' cannot be analysed: byte index 4 ")
    # The worker survives and goes on analysing.
    pid, ok, rows = client.submit(dask_pipeline.analyse_chunk, chunk[:1], "x.fa",
                                  pure=False).result()
    assert ok and rows.startswith(b"good\t6\t0.16666666666666666\t2\t0.3333333333333333\t")
    assert (ok, rows) == dask_pipeline.analyse_chunk(chunk[:1], "x.fa")[1:]


def run_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(EXAMPLES / "dask_pipeline.py"), *args],
                          capture_output=True, env=child_env(), timeout=300)


def test_command_sends_chunks_to_a_running_scheduler(cluster, contig_file, reference):
    result = run_cli(str(contig_file), "--scheduler", cluster.scheduler_address,
                     "--chunk-bytes", "4K")
    assert result.returncode == 0, result.stderr
    assert result.stdout == reference


def test_command_on_its_own_local_cluster_reports_malformed_input_like_the_pipeline(tmp_path):
    # The bad record comes after several chunks: their rows are written first,
    # exactly as the single-process pipeline writes its finished batches.
    records = contigs()[:20] + [("broken", "ACGT\u00e9ACGT")] + contigs()[20:25]
    path = write_fasta(tmp_path / "broken.fa", records)
    expected = single_process(path, "--batch-bytes", "8K")
    result = run_cli(str(path), "--workers", "2", "--chunk-bytes", "8K")
    assert expected.returncode == result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == expected.stderr.decode().strip()
    assert result.stderr.decode().splitlines()[-1].startswith(f"error: {path}:")
    assert result.stdout == expected.stdout
    assert 1 < len(result.stdout.splitlines()) < 21
