"""Tests of the command-line FASTA pipeline in examples/fasta_pipeline.py.

The command runs as a subprocess, as a user runs it. Expected values come from
a plain-Python model written here (six-frame stop-free runs, GC by bytes, the
run probability by least-significant-bit-first binary exponentiation), never
from marlinox itself.
"""

from __future__ import annotations

import gzip
import hashlib
import importlib.util
import os
import pty
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "examples" / "fasta_pipeline.py"
GENOME = ROOT / "examples" / "data" / "lambda_virus.fa.gz"
COLUMNS = ["identifier", "length", "gc_fraction", "stop_free_run", "ratio", "probability"]

# ---------------------------------------------------------------------------
# Independent model of the pipeline.

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
                if strand[start : start + 3] in STOP_CODONS:
                    current = 0
                else:
                    current += 1
                    best = max(best, current)
    return best


def model_gc(sequence: str) -> float:
    return sum(sequence.count(base) for base in "GCgc") / len(sequence)


def model_probability(n: int, gc: float) -> float:
    d = 1.0 - gc
    e = d * d
    s = (gc + 1.0) * e
    q = 1.0 + s * (-0.125)
    m = abs(n)
    r = q if m & 1 else 1.0
    x = q
    while m > 1:
        x *= x
        if m & 2:
            r *= x
        m >>= 1
    return 1.0 / r if n < 0 else r


def model_row(identifier: bytes, sequence: str) -> tuple:
    run = model_run(sequence)
    gc = model_gc(sequence)
    return (identifier, len(sequence), gc, run, run / len(sequence), model_probability(run, gc))


@pytest.mark.parametrize(
    "sequence, run",
    [("AT", 0), ("TAA", 1), ("ATGTAA", 2), ("TAATAATAA", 3), ("ATGAAATAGCCCGGGTTT", 6), ("atgtaa", 2)],
)
def test_model_run_on_worked_examples(sequence, run):
    # The expectations below rest on the model, so the model itself is pinned
    # to hand-worked cases first.
    assert model_run(sequence) == run


@pytest.mark.parametrize(
    "n, gc, probability",
    [
        (10, 0.0, 0.2630755761638284),
        (-1, 0.0, 1.1428571428571428),
        (0, 0.3, 1.0),
        (7, 1.0, 1.0),
        # Binary exponentiation, not a correctly rounded power (...752).
        (100, 0.5, 0.008222163388141749),
    ],
)
def test_model_probability_on_worked_examples(n, gc, probability):
    assert model_probability(n, gc) == probability


# ---------------------------------------------------------------------------
# Helpers.


def run_pipeline(*args: str | Path, stdin: bytes | None = None, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(SCRIPT), *map(str, args)],
        input=stdin,
        capture_output=True,
        timeout=120,
        **kwargs,
    )


def parse_table(stdout: bytes) -> list[tuple]:
    lines = stdout.split(b"\n")
    assert lines[-1] == b"", "the table must end with a line break"
    assert lines[0].decode().split("\t") == COLUMNS
    rows = []
    for line in lines[1:-1]:
        fields = line.split(b"\t")
        assert len(fields) == len(COLUMNS), line
        identifier, length, gc, run, ratio, probability = fields
        rows.append((identifier, int(length), float(gc), int(run), float(ratio), float(probability)))
    return rows


def fasta(records: list[tuple[str, str]], width: int | None, newline: str = "\n") -> bytes:
    """Write records as FASTA; width None keeps each sequence on one line."""
    out = []
    for header, sequence in records:
        out.append(">" + header)
        step = width or max(len(sequence), 1)
        out.extend(sequence[i : i + step] for i in range(0, len(sequence), step))
    return (newline.join(out) + newline).encode()


def first_word(header: str) -> bytes:
    return header.split()[0].encode()


# Records that exercise the model: lower and mixed case, ambiguity letters,
# runs bounded by stops in one frame only, lengths not divisible by three,
# sequences too short for a codon, an identifier repeated with a different
# GC fraction, and a non-ASCII identifier.
RECORDS = [
    ("seq1 a description with  spaces", "ATGAAATAGCCCGGGTTT"),
    ("lower", "atgtaataatagtgaggcgcccaaatttgggcccatgaaacccgggttt"),
    ("mixed\tafter-a-tab", "AtGtAaCcGgNnTTAGGGATCCnnnRYKMSWtaa"),
    ("short", "AT"),
    ("one_codon", "ATG"),
    ("stops", "TAATAATAATAGTAGTGA" * 5),
    ("dup", "GGGCCCGGGCCCAAAT"),
    ("dup", "AAAAAAAAAATTTTTTTTTTTTC"),
    ("séq/ü", "ACGTTGCA" * 13 + "A"),
    ("gc_only", "GCGCGCGCGCGCGCGCGCGCGCGCG"),
    ("long", ("ATGCGTACGTTAGCATGCAAATTTGGGCCCTAG" * 40)[:1301]),
]
EXPECTED = [model_row(first_word(header), sequence) for header, sequence in RECORDS]


def assert_rows_match(actual: list[tuple], expected: list[tuple]) -> None:
    assert [row[0] for row in actual] == [row[0] for row in expected]
    for got, want in zip(actual, expected, strict=True):
        # Floats are printed with repr, so they must round-trip exactly.
        assert got == want, f"row {got[0]!r}"


# ---------------------------------------------------------------------------
# The shipped genome.


def test_default_input_is_the_shipped_lambda_genome_and_matches_the_model():
    result = run_pipeline()
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""  # not a terminal: no progress line
    with gzip.open(GENOME, "rt", encoding="ascii") as handle:
        lines = handle.read().splitlines()
    assert lines[0].startswith(">")
    sequence = "".join(line.strip() for line in lines[1:])
    # The lambda phage reference genome is 48502 bases long.
    assert len(sequence) == 48502
    rows = parse_table(result.stdout)
    assert rows == [model_row(b"gi|9626243|ref|NC_001416.1|", sequence)]


def test_shipped_genome_matches_the_recorded_checksum():
    readme = (GENOME.parent / "README.md").read_text()
    recorded = re.search(r"lambda_virus\.fa\.gz.*?\b([0-9a-f]{64})\b", readme, re.S)
    assert recorded, "examples/data/README.md must record the sha256 of the genome"
    assert hashlib.sha256(GENOME.read_bytes()).hexdigest() == recorded.group(1)


# ---------------------------------------------------------------------------
# Well-formed crafted inputs.


@pytest.mark.parametrize(
    "width, newline",
    [(None, "\n"), (60, "\n"), (7, "\r\n"), (1, "\n"), (61, "\r\n")],
    ids=["unwrapped", "width60", "width7-crlf", "width1", "width61-crlf"],
)
def test_multi_record_file_matches_the_model(tmp_path, width, newline):
    path = tmp_path / "records.fa"
    path.write_bytes(fasta(RECORDS, width, newline))
    result = run_pipeline(path)
    assert result.returncode == 0, result.stderr
    assert_rows_match(parse_table(result.stdout), EXPECTED)


def test_blank_lines_and_blanks_inside_lines_are_ignored(tmp_path):
    text = b"\n\n>a desc\r\n\r\nATG TAA\tCC\n\n  \n>  b\tx\nggg\n\nccc\n\n"
    path = tmp_path / "blanks.fa"
    path.write_bytes(text)
    result = run_pipeline(path)
    assert result.returncode == 0, result.stderr
    assert parse_table(result.stdout) == [model_row(b"a", "ATGTAACC"), model_row(b"b", "gggccc")]


def test_identifier_bytes_are_copied_unchanged(tmp_path):
    # Identifiers need not be UTF-8; the table repeats them byte for byte.
    path = tmp_path / "latin1.fa"
    path.write_bytes(b">caf\xe9|1 description\nACGTAC\n>\xff\xfe\nTTT\n")
    result = run_pipeline(path)
    assert result.returncode == 0, result.stderr
    assert parse_table(result.stdout) == [model_row(b"caf\xe9|1", "ACGTAC"), model_row(b"\xff\xfe", "TTT")]


def test_repeated_identifier_keeps_each_records_own_gc_fraction(tmp_path):
    # Same identifier, very different GC: a lookup keyed on the identifier
    # would give both rows the same probability.
    path = tmp_path / "dup.fa"
    records = [("x", "ATATATATATATATATATAT"), ("x", "GCGCGCGCGCGCGCGCGCGC")]
    path.write_bytes(fasta(records, 60))
    rows = parse_table(run_pipeline(path).stdout)
    assert rows == [model_row(b"x", seq) for _, seq in records]
    assert rows[0][5] != rows[1][5]


@pytest.mark.parametrize("name", ["records.fa.gz", "records.fa", "records"])
def test_gzip_input_is_recognised_by_its_content(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(gzip.compress(fasta(RECORDS, 60)))
    result = run_pipeline(path)
    assert result.returncode == 0, result.stderr
    assert_rows_match(parse_table(result.stdout), EXPECTED)


def test_plain_file_with_a_gz_name_is_read_as_plain(tmp_path):
    path = tmp_path / "plain.fa.gz"
    path.write_bytes(fasta(RECORDS, 60))
    result = run_pipeline(path)
    assert result.returncode == 0, result.stderr
    assert_rows_match(parse_table(result.stdout), EXPECTED)


def test_multi_member_gzip_is_read_whole(tmp_path):
    path = tmp_path / "members.fa.gz"
    path.write_bytes(gzip.compress(fasta(RECORDS[:4], 60)) + gzip.compress(fasta(RECORDS[4:], 60)))
    result = run_pipeline(path)
    assert result.returncode == 0, result.stderr
    assert_rows_match(parse_table(result.stdout), EXPECTED)


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
def test_standard_input(compress):
    data = fasta(RECORDS, 60)
    result = run_pipeline("-", stdin=gzip.compress(data) if compress else data)
    assert result.returncode == 0, result.stderr
    assert_rows_match(parse_table(result.stdout), EXPECTED)


def many_records(count: int) -> list[tuple[str, str]]:
    bases = "ACGT"
    records = []
    for i in range(count):
        # A deterministic, varied sequence per record (lengths 1 to 97).
        length = 1 + (i * 37) % 97
        seq = "".join(bases[(i * 7 + j * j + (j >> 2)) % 4] for j in range(length))
        records.append((f"r{i} batch test", seq))
    return records


def test_batch_size_does_not_change_the_output(tmp_path):
    records = many_records(300)
    path = tmp_path / "many.fa"
    path.write_bytes(fasta(records, 50))
    outputs = {}
    for size in ["1", "100", "1K", "64M"]:
        result = run_pipeline(path, "--batch-bytes", size)
        assert result.returncode == 0, result.stderr
        outputs[size] = result.stdout
    assert len(set(outputs.values())) == 1
    assert parse_table(outputs["1"]) == [model_row(first_word(h), s) for h, s in records]


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
    """Run the command with its output discarded; return its peak resident size."""
    result = subprocess.run(
        [sys.executable, "-c", PEAK_MEMORY_WRAPPER, str(SCRIPT), *map(str, args)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return int(result.stderr)


@pytest.mark.skipif(
    bool(os.environ.get("MARLINOX_SANITIZED")),
    reason="AddressSanitizer keeps freed memory in quarantine, so peaks do not shrink",
)
def test_small_batches_bound_memory(tmp_path):
    # 16 records of 1 MiB each. Read in one batch, the whole sequence data is
    # held at once (several times over, as str and in the module); read in
    # 1 MiB batches only one record is.
    path = tmp_path / "big.fa"
    with path.open("wb") as handle:
        for i in range(16):
            sequence = random_bases(1 << 20, seed=i)
            handle.write(b">big%d\n" % i)
            for start in range(0, len(sequence), 80):
                handle.write(sequence[start : start + 80] + b"\n")
    whole = peak_memory_kib(path, "--batch-bytes", "1G")
    batched = peak_memory_kib(path, "--batch-bytes", "1M")
    assert batched + 12 * 1024 < whole, (batched, whole)


def random_bases(count: int, seed: int) -> bytes:
    # Each random byte picks one of the four bases (256 = 4 x 64).
    return random.Random(seed).randbytes(count).translate(b"ACGT" * 64)


# ---------------------------------------------------------------------------
# Malformed input: exit status 2, one line naming the file and the line.

BAD_FILES = [
    # (content, line named, words the message must hold)
    (b"", 1, "empty"),
    (b"\n\r\n\n", 3, "no '>' header"),
    (b"ACGT\n>a\nACGT\n", 1, "before the first '>'"),
    (b"\n\nacgt\n>a\nACGT\n", 3, "before the first '>'"),
    (b">a\nACGT\n>b\n>c\nAC\n", 3, "record 'b' has no sequence"),
    (b">a\nACGT\n>b desc\r\n\r\n", 3, "record 'b' has no sequence"),
    (b">only\n", 1, "record 'only' has no sequence"),
    (b">a\nACGT\n>\nACGT\n", 3, "no identifier"),
    (b">a\nACGT\n> \t\r\nACGT\n", 3, "no identifier"),
    (">a\nACGT\nATGÉA\n".encode(), 3, "non-ASCII byte 0xc3 at column 4 in the sequence of record 'a'"),
    (b">a\nAC\xffGT\n", 2, "non-ASCII byte 0xff at column 3"),
]


def assert_one_line_error(result: subprocess.CompletedProcess, prefix: str, fragment: str) -> None:
    assert result.returncode == 2
    stderr = result.stderr.decode()
    assert "Traceback" not in stderr
    assert stderr.count("\n") == 1 and stderr.endswith("\n"), stderr
    assert stderr.startswith(prefix), stderr
    assert fragment in stderr, stderr


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("content, line, fragment", BAD_FILES)
def test_malformed_file_is_reported_with_its_line(tmp_path, content, line, fragment, compress):
    path = tmp_path / "bad.fa"
    path.write_bytes(gzip.compress(content) if compress else content)
    result = run_pipeline(path)
    assert_one_line_error(result, f"error: {path}:{line}: ", fragment)


def test_rows_before_a_malformed_record_are_written(tmp_path):
    path = tmp_path / "late.fa"
    path.write_bytes(b">a\nATGTAA\n>b\n")
    result = run_pipeline(path, "--batch-bytes", "1")
    assert_one_line_error(result, f"error: {path}:3: ", "has no sequence")
    assert parse_table(result.stdout) == [model_row(b"a", "ATGTAA")]


@pytest.mark.parametrize("cut", [10, 20, -9], ids=["in-header", "in-data", "no-trailer"])
def test_truncated_gzip_is_reported(tmp_path, cut):
    path = tmp_path / "cut.fa.gz"
    path.write_bytes(gzip.compress(fasta(RECORDS, 60))[:cut])
    result = run_pipeline(path)
    assert_one_line_error(result, f"error: {path}:", "gzip")


@pytest.mark.parametrize("kind", ["missing", "directory"])
def test_unreadable_path_is_reported(tmp_path, kind):
    path = tmp_path / "nothing.fa"
    if kind == "directory":
        path.mkdir()
    result = run_pipeline(path)
    assert_one_line_error(result, f"error: {path}: cannot open: ", "")


@pytest.mark.parametrize("size", ["0", "-5", "lots", "12X"])
def test_bad_batch_size_is_rejected(size):
    result = run_pipeline("--batch-bytes", size)
    assert result.returncode == 2
    assert b"--batch-bytes" in result.stderr
    assert b"Traceback" not in result.stderr
    assert result.stdout == b""


# ---------------------------------------------------------------------------
# Output handling.


def test_closed_pipe_ends_quietly(tmp_path):
    path = tmp_path / "many.fa"
    path.write_bytes(fasta(many_records(4000), 60))
    process = subprocess.Popen(
        [sys.executable, str(SCRIPT), str(path), "--batch-bytes", "1K"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    assert process.stdout.readline().decode().split("\t")[0] == "identifier"
    process.stdout.close()  # like `| head -1`
    stderr = process.stderr.read()
    assert process.wait(timeout=120) == 141
    assert stderr == b""


def run_with_terminal_stderr(*args: str | Path) -> tuple[int, bytes, bytes]:
    controller, terminal = pty.openpty()
    if not os.isatty(terminal):
        # qemu user emulation does not pass the terminal query through.
        os.close(controller)
        os.close(terminal)
        pytest.skip("a pseudo-terminal does not count as a terminal on this platform")
    try:
        process = subprocess.Popen(
            [sys.executable, str(SCRIPT), *map(str, args)],
            stdout=subprocess.PIPE,
            stderr=terminal,
        )
        os.close(terminal)
        stdout = process.stdout.read()
        status = process.wait(timeout=120)
        chunks = []
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # EIO once the terminal side is closed
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(controller)
    return status, stdout, b"".join(chunks)


def test_progress_is_shown_when_stderr_is_a_terminal():
    status, stdout, stderr = run_with_terminal_stderr()
    assert status == 0
    assert b"1 records read, 1 analysed" in stderr and b"(100%)" in stderr
    # Progress never mixes into the table.
    assert parse_table(stdout)[0][0] == b"gi|9626243|ref|NC_001416.1|"


def test_no_progress_option_silences_the_terminal():
    status, stdout, stderr = run_with_terminal_stderr("--no-progress")
    assert status == 0
    assert stderr == b""
    assert len(parse_table(stdout)) == 1


# ---------------------------------------------------------------------------
# A record the module cannot analyse. The reader rejects non-ASCII sequence
# data first, so this drives the batch analysis directly.


def load_pipeline_module():
    loader_spec = importlib.util.spec_from_file_location("fasta_pipeline", SCRIPT)
    module = importlib.util.module_from_spec(loader_spec)
    sys.modules[loader_spec.name] = module  # dataclasses look their module up there
    loader_spec.loader.exec_module(module)
    return module


def test_module_failure_names_the_record():
    pipeline = load_pipeline_module()
    batch = [
        pipeline.Record(b"fine", 1, "ATGTAA"),
        pipeline.Record(b"broken", 3, "ATGÉ"),
        pipeline.Record(b"later", 5, "ATGÉÉÉ"),
    ]
    with pytest.raises(pipeline.InputError) as caught:
        pipeline.analyse(batch, "x.fa")
    message = str(caught.value)
    assert message.startswith("x.fa:3: record 'broken' cannot be analysed: ")
    assert "not a char boundary" in message
    # The module stays usable afterwards.
    assert pipeline.analyse(batch[:1], "x.fa") == [model_row(b"fine", "ATGTAA")[1:]]
