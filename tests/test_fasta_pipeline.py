"""The Python example examples/fasta_pipeline.py (dnaio records through the
module's functions), run as a user runs it. Expected rows come from a
plain-Python model written here, never from marlinox itself."""

from __future__ import annotations

import gzip
import hashlib
import importlib.util
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "examples" / "fasta_pipeline.py"
DATA = ROOT / "examples" / "data"
GENOME = DATA / "lambda_virus.fa.gz"
HEADER = b"identifier\tlength\tgc_fraction\tstop_free_run\tratio\tprobability\n"

pytest.importorskip("dnaio", reason="dnaio is not installed")

# ---------------------------------------------------------------------------
# Independent model of a row.

STOP_CODONS = {"TAA", "TAG", "TGA"}
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def model_run(sequence: str) -> int:
    """Longest count of consecutive stop-free codons over the six frames."""
    upper = sequence.upper()
    best = 0
    for strand in (upper, upper.translate(COMPLEMENT)[::-1]):
        for frame in range(3):
            current = 0
            for start in range(frame, len(strand) - 2, 3):
                current = 0 if strand[start : start + 3] in STOP_CODONS else current + 1
                best = max(best, current)
    return best


def model_probability(n: int, gc: float) -> float:
    d = 1.0 - gc
    q = 1.0 + ((gc + 1.0) * (d * d)) * (-0.125)
    m = abs(n)
    r = q if m & 1 else 1.0
    x = q
    while m > 1:
        x *= x
        if m & 2:
            r *= x
        m >>= 1
    return 1.0 / r if n < 0 else r


def model_row(identifier: str, sequence: str) -> bytes:
    length = len(sequence)
    run = model_run(sequence)
    gc = sum(map(sequence.count, "GCgc")) / length if length else 0.0
    ratio = run / length if length else 0.0
    return f"{identifier}\t{length}\t{gc!r}\t{run}\t{ratio!r}\t{model_probability(run, gc)!r}\n".encode()


@pytest.mark.parametrize(
    "sequence, run",
    [("AT", 0), ("TAA", 1), ("ATGTAA", 2), ("TAATAATAA", 3), ("ATGAAATAGCCCGGGTTT", 6), ("atgtaa", 2)],
)
def test_model_run_on_worked_examples(sequence, run):
    # The expectations below rest on the model, so it is pinned to hand-worked cases first.
    assert model_run(sequence) == run


@pytest.mark.parametrize(
    "n, gc, probability",
    [(10, 0.0, 0.2630755761638284), (-1, 0.0, 1.1428571428571428), (0, 0.3, 1.0), (7, 1.0, 1.0),
     # Binary exponentiation, not a correctly rounded power (...752).
     (100, 0.5, 0.008222163388141749)],
)
def test_model_probability_on_worked_examples(n, gc, probability):
    assert model_probability(n, gc) == probability


# ---------------------------------------------------------------------------
# Helpers.


def run_pipeline(*args: str | Path, stdin: bytes | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)], input=stdin,
                          capture_output=True, timeout=300)


def genome() -> str:
    with gzip.open(GENOME, "rt", encoding="ascii") as handle:
        return "".join(line.strip() for line in handle if not line.startswith(">"))


# (header, sequence as the command reads it): lower and mixed case, N runs,
# lengths not divisible by three, too short for a codon, empty, an identifier
# repeated with another GC fraction, a header starting with blanks.
RECORDS = [
    ("seq1 a description with  spaces", "ATGAAATAGCCCGGGTTT"),
    ("lower", "atgtaataatagtgaggcgcccaaatttgggcccatgaaacccgggttt"),
    ("mixed\tafter-a-tab", "AtGtAaCcGgNnTTAGGGATCCnnnRYKMSWtaa"),
    ("short", "AT"),
    ("empty", ""),
    ("Nrun", "ACG" + "N" * 90 + "TAA"),
    ("dup", "GGGCCCGGGCCCAAAT"),
    ("dup", "AAAAAAAAAATTTTTTTTTTTTC"),
    (" \tlead", "TAATAATAATAGTAGTGA" * 5),
    ("long", ("ATGCGTACGTTAGCATGCAAATTTGGGCCCTAG" * 40)[:1301]),
]


def table(records) -> bytes:
    return HEADER + b"".join(model_row(re.match(r"[ \t]*([^ \t]*)", h)[1], s) for h, s in records)


def fasta(records, width: int | None, newline: str = "\n", blanks: bool = False) -> bytes:
    out = []
    for header, sequence in records:
        out.append(">" + header)
        step = width or max(len(sequence), 1)
        lines = [sequence[i : i + step] for i in range(0, len(sequence), step)]
        if blanks:  # blanks inside and around sequence lines are no sequence
            lines = [f" {line[:2]} \t{line[2:]}\t" for line in lines] + [""]
        out.extend(lines)
    return (newline.join(out) + newline).encode()


def fastq(records, newline: str = "\n", repeat_name: bool = False) -> bytes:
    out = []
    for header, sequence in records:
        out += ["@" + header, sequence, "+" + (header if repeat_name else ""), "I" * len(sequence)]
    return (newline.join(out) + newline).encode()


# ---------------------------------------------------------------------------
# Shipped data.


def test_default_input_is_the_shipped_lambda_genome_and_matches_the_model():
    result = run_pipeline()
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    assert len(genome()) == 48502
    assert result.stdout == HEADER + model_row("gi|9626243|ref|NC_001416.1|", genome())


def sample_script(name):
    loader_spec = importlib.util.spec_from_file_location(name, DATA / f"{name}.py")
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, content", [
    ("`lambda_virus.fa.gz`", lambda: (DATA / "lambda_virus.fa.gz").read_bytes()),
    # The sample reads are what their script makes, and the README records that text.
    ("the decompressed FASTQ text", lambda: sample_script("make_lambda_reads").reads().encode()),
    ("`mito_example.fa`", lambda: sample_script("make_mito_example").fasta().encode()),
])
def test_shipped_data_matches_the_recorded_checksum(name, content):
    readme = (DATA / "README.md").read_text()
    recorded = re.search(rf"sha256 of {re.escape(name)}.*?\b([0-9a-f]{{64}})\b", readme)
    assert recorded, f"examples/data/README.md must record the sha256 of {name}"
    assert hashlib.sha256(content()).hexdigest() == recorded[1]
    if "FASTQ" in name:
        assert gzip.decompress((DATA / "lambda_reads.fq.gz").read_bytes()) == content()
    if "mito" in name:
        assert (DATA / "mito_example.fa").read_bytes() == content()


# ---------------------------------------------------------------------------
# Well-formed inputs.

FASTQ_RECORDS = [(h, s) for h, s in RECORDS if h.strip()]  # a FASTQ name has no leading blanks

INPUTS = {
    # name: (file name, content, records in order)
    "fasta-unwrapped": ("r.fa", fasta(RECORDS, None), RECORDS),
    "fasta-width60": ("r.fasta", fasta(RECORDS, 60), RECORDS),
    "fasta-width7-crlf-blanks": ("r.fa", fasta(RECORDS, 7, "\r\n", blanks=True), RECORDS),
    "fasta-gzip-no-extension": ("r", gzip.compress(fasta(RECORDS, 1)), RECORDS),
    "fastq": ("r.fq", fastq(FASTQ_RECORDS), FASTQ_RECORDS),
    "fastq-crlf-named-plus-gzip": ("r.fastq.gz", gzip.compress(fastq(FASTQ_RECORDS, "\r\n", True)),
                                   FASTQ_RECORDS),
}


@pytest.mark.parametrize("name, content, records", INPUTS.values(), ids=INPUTS.keys())
def test_table_matches_the_model(tmp_path, name, content, records):
    path = tmp_path / name
    path.write_bytes(content)
    result = run_pipeline(path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == table(records)


def test_files_and_standard_input_in_order(tmp_path):
    first = tmp_path / "a.fq"
    first.write_bytes(fastq(FASTQ_RECORDS))
    result = run_pipeline(first, "-", first, stdin=gzip.compress(fasta(RECORDS, 60)))
    assert result.returncode == 0, result.stderr
    fastq_rows = table(FASTQ_RECORDS)[len(HEADER):]
    assert result.stdout == table(FASTQ_RECORDS) + table(RECORDS)[len(HEADER):] + fastq_rows


def many_records(count: int, seed: int = 7) -> list[tuple[str, str]]:
    rng = random.Random(seed)
    return [(f"r{i} batch", "".join(rng.choice("ACGTN") for _ in range(rng.randrange(0, 98))))
            for i in range(count)]


def test_batch_size_does_not_change_the_output(tmp_path):
    records = many_records(300)
    path = tmp_path / "many.fa"
    path.write_bytes(fasta(records, 50))
    expected = table(records)
    for size in ["1", "100", "1K", "64M"]:
        result = run_pipeline(path, "--batch-bytes", size)
        assert (result.returncode, result.stdout) == (0, expected), size


# Runs the command in this interpreter and then reports its peak resident size
# from /proc (VmHWM belongs to the new process image alone, whereas the peak
# that wait4 reports is inherited from the forking test process).
PEAK_MEMORY_WRAPPER = """
import re, runpy, sys
sys.argv = sys.argv[1:]
try:
    runpy.run_path(sys.argv[0], run_name="__main__")
except SystemExit as stop:
    assert not stop.code, stop.code
with open("/proc/self/status") as status:
    print(re.search(r"VmHWM:\\s+(\\d+) kB", status.read()).group(1), file=sys.stderr)
"""


def peak_memory_kib(*args: str | Path) -> int:
    result = subprocess.run([sys.executable, "-c", PEAK_MEMORY_WRAPPER, str(SCRIPT), *map(str, args)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=300)
    assert result.returncode == 0, result.stderr
    return int(result.stderr)


@pytest.mark.skipif(bool(os.environ.get("MARLINOX_SANITIZED")),
                    reason="AddressSanitizer keeps freed memory in quarantine, so peaks do not shrink")
def test_small_batches_bound_memory(tmp_path):
    # 16 records of 1 MiB: in one batch all of them are held at once (several
    # times over, as str and in the module); in 1 MiB batches one is.
    path = tmp_path / "big.fa"
    with path.open("wb") as handle:
        for i in range(16):
            sequence = random.Random(i).randbytes(1 << 20).translate(b"ACGT" * 64)
            handle.write(b">big%d\n" % i)
            for start in range(0, len(sequence), 80):
                handle.write(sequence[start : start + 80] + b"\n")
    whole = peak_memory_kib(path, "--batch-bytes", "1G")
    batched = peak_memory_kib(path, "--batch-bytes", "1M")
    assert batched + 12 * 1024 < whole, (batched, whole)


# ---------------------------------------------------------------------------
# Bad input: exit status 2, the rows of earlier files, one "error:" line.

GOOD = fastq(FASTQ_RECORDS[:2])
BAD_INPUTS = {
    # name: (file name, content or None for no file, "FILE:LINE" or "FILE" named)
    "data-before-header": ("bad.fa", b"ACGT\n>a\nACGT\n", "{path}:1"),
    "short-quality": ("bad.fq", GOOD + b"@c\nACGT\n+\nIII\n", "{path}:12"),
    "truncated-gzip": ("bad.fa.gz", gzip.compress(fasta(RECORDS, 60))[:40], "{path}"),
    "missing": ("missing.fa", None, "{path}"),
}


@pytest.mark.parametrize("name, content, where", BAD_INPUTS.values(), ids=BAD_INPUTS.keys())
def test_bad_input_after_a_good_file(tmp_path, name, content, where):
    good = tmp_path / "good.fq"
    good.write_bytes(GOOD)
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    result = run_pipeline(good, path)
    assert result.returncode == 2
    assert result.stdout == table(FASTQ_RECORDS[:2])
    stderr = result.stderr.decode()
    assert stderr.count("\n") == 1 and stderr.startswith(f"error: {where.format(path=path)}: "), stderr


@pytest.mark.parametrize("size", ["0", "-5", "lots", "12X"])
def test_bad_batch_size_is_rejected(size):
    result = run_pipeline("--batch-bytes", size)
    assert (result.returncode, result.stdout) == (2, b"")
    assert b"--batch-bytes" in result.stderr and b"Traceback" not in result.stderr


def test_closed_pipe_ends_quietly(tmp_path):
    path = tmp_path / "many.fa"
    path.write_bytes(fasta(many_records(4000), 60))
    process = subprocess.Popen([sys.executable, str(SCRIPT), str(path), "--batch-bytes", "1K"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline() == HEADER
    process.stdout.close()  # like `| head -1`
    stderr = process.stderr.read()
    assert process.wait(timeout=300) == 141
    assert stderr == b""
