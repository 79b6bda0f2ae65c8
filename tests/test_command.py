"""The marlinox command: its table against the module's functions, its errors,
and its float formatting against Python's repr().

The command is taken from MARLINOX_COMMAND, else <MARLINOX_BUILD_DIR>/bin/marlinox,
else the PATH.
"""

import gzip
import os
import pathlib
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import zlib

import pytest

import marlinox

HEADER = "identifier\tlength\tgc_fraction\tstop_free_run\tratio\tprobability"
# Generous: the armhf suite runs under emulation on a busy machine.
TIMEOUT = 600


def _find_command():
    if os.environ.get("MARLINOX_COMMAND"):
        return os.environ["MARLINOX_COMMAND"]
    build = os.environ.get("MARLINOX_BUILD_DIR")
    if build and (pathlib.Path(build) / "bin" / "marlinox").is_file():
        return str(pathlib.Path(build) / "bin" / "marlinox")
    return shutil.which("marlinox")


COMMAND = _find_command()
COMMAND = COMMAND and os.path.abspath(COMMAND)
pytestmark = pytest.mark.skipif(COMMAND is None, reason="the marlinox command was not built")


def run(*args, cwd=None, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE):
    return subprocess.run(
        [COMMAND, "--no-progress", *map(str, args)],
        cwd=cwd, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE, timeout=TIMEOUT,
    )


def first_word(header):
    return re.split(r"[ \t]", header.lstrip(" \t"), maxsplit=1)[0]


def expected_table(paths):
    """The table built from dnaio's records and the module's functions."""
    dnaio = pytest.importorskip("dnaio")
    records = []
    for path in paths:
        with dnaio.open(path) as reader:
            for record in reader:
                sequence = record.sequence
                if record.qualities is None:
                    sequence = sequence.replace(" ", "").replace("\t", "")
                records.append((first_word(record.name), sequence))
    keyed = [(str(i), sequence) for i, (_, sequence) in enumerate(records)]
    gc = marlinox.calculate_gc_content(keyed)
    runs = marlinox.calculate_stop_free_run_with_ratio(keyed)
    probability = marlinox.calculate_run_probability([(key, run) for key, run, _ in runs], gc)
    rows = [HEADER]
    for (identifier, sequence), (_, fraction), (_, run, ratio), (_, p) in zip(records, gc, runs, probability):
        rows.append(f"{identifier}\t{len(sequence)}\t{fraction!r}\t{run}\t{ratio!r}\t{p!r}")
    return "\n".join(rows) + "\n"


def bgzf(data, block=60000):
    """BGZF: gzip blocks that name their own size, then the empty end block."""
    out = bytearray()
    for start in range(0, len(data), block):
        piece = data[start:start + block]
        deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
        body = deflater.compress(piece) + deflater.flush()
        out += b"\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00BC\x02\x00"
        out += struct.pack("<H", len(body) + 25) + body
        out += struct.pack("<II", zlib.crc32(piece), len(piece))
    return bytes(out) + bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def random_records(rng, fastq):
    records = []
    for i in range(120):
        kind = i % 6
        if kind == 0:
            sequence = ""
        elif kind == 1:
            sequence = "N" * rng.randrange(1, 400) + "".join(rng.choices("ACGT", k=rng.randrange(1, 300)))
        elif kind == 2:
            sequence = "".join(rng.choices("acgtn", k=rng.randrange(1, 2000)))
        else:
            sequence = "".join(rng.choices("ACGTNRYSacgt", weights=[9] * 4 + [1] * 4 + [3] * 4,
                                           k=rng.randrange(1, 6000)))
        records.append((f"r{i}" if i % 7 else f"r{i % 3}\tdup description", sequence))
    return records


def write_fasta(records, rng, newline):
    out = []
    for name, sequence in records:
        width = rng.choice([60, 80, 70000])
        lines = [sequence[i:i + width] for i in range(0, len(sequence), width)]
        out.append(f">{name}{newline}" + "".join(line + newline for line in lines))
    return "".join(out).encode()


def write_fastq(records, newline):
    return "".join(f"@{n}{newline}{s}{newline}+{newline}{'I' * len(s)}{newline}" for n, s in records).encode()


def compressed(data, how):
    if how == "gzip":
        middle = len(data) // 2
        return gzip.compress(data[:middle]) + gzip.compress(data[middle:])
    if how == "bgzf":
        return bgzf(data)
    return data


@pytest.mark.parametrize("how", ["plain", "gzip", "bgzf"])
@pytest.mark.parametrize("fastq", [False, True], ids=["fasta", "fastq"])
@pytest.mark.parametrize("newline", ["\n", "\r\n"], ids=["lf", "crlf"])
def test_table_equals_the_module(tmp_path, how, fastq, newline):
    rng = random.Random(f"{how}{fastq}{newline}")
    records = random_records(rng, fastq)
    data = write_fastq(records, newline) if fastq else write_fasta(records, rng, newline)
    path = tmp_path / "in"
    path.write_bytes(compressed(data, how))
    result = run(path)
    assert result.stderr == b"" and result.returncode == 0
    assert result.stdout.decode() == expected_table([path])


def test_genome_and_files_in_order_with_small_batches(tmp_path):
    genome = pathlib.Path(__file__).parent.parent / "examples" / "data" / "lambda_virus.fa.gz"
    reads = tmp_path / "reads.fq"
    reads.write_bytes(write_fastq(random_records(random.Random(5), True), "\n"))
    expected = expected_table([genome, reads, genome])
    # Batches far smaller than a record: every record moves on into a batch of its own.
    for batch in ["1", "2K", "64M"]:
        result = run("--batch-bytes", batch, "-j", "3", genome, reads, genome)
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout.decode() == expected
    with open(reads, "rb") as stdin:
        result = run("-", stdin=stdin)
    assert result.stdout.decode() == expected_table([reads])


GOOD = b">a\nACGT\n>b\nGG\n"
GZIP_GOOD = gzip.compress(GOOD)
IN = ["in"]


@pytest.mark.parametrize(
    "data, args, status, error, kept",
    [
        (b"", IN, 0, None, []),
        (b"\n \t\r\n\n", IN, 0, None, []),
        (b">a\n!~\n", IN, 0, None, ["a"]),
        (b"ACGT\n>a\nAC\n", IN, 2, "in:1: sequence data before the first '>' or '@' header line", []),
        (b" >a\nAC\n", IN, 2, "in:1: sequence data before the first '>' or '@' header line", []),
        (b">a\nACGT\n>b\nAC\x01T\n", IN, 2, "in:4: byte 0x01 is not allowed in a sequence", ["a"]),
        (b">a\nAC\rGT\n>b\nA\n", IN, 2, "in:2: a line ends in CR without LF", []),
        (b">a\rACGT\r>b\rA\r", IN, 2, "in:1: a line ends in CR without LF", []),
        (b">a\nA\n>b c\rd\r\nA\n", IN, 2, "in:3: a line ends in CR without LF", ["a"]),
        (b"@a\nA\n+\nI\r\r\n", IN, 2, "in:4: a line ends in CR without LF", []),
        (b"@a\n\n+\r", IN, 0, None, ["a"]),
        (b"@a x\n\n+a x\r", IN, 0, None, ["a"]),
        (b">a\nA\n>b\nAC\xc3\xa9\n", IN, 2, "in:4: byte 0xC3 is not allowed in a sequence", ["a"]),
        (b">a\nA\n>b\nA\x7f\n", IN, 2, "in:4: byte 0x7F is not allowed in a sequence", ["a"]),
        (b"@a\nACGT\n+\nIIII\n@b\nACGT\n+\nIII\n", IN, 2, "in:8: the quality has 3 bytes, the sequence 4", ["a"]),
        (b"@a\nACGT\nIIII\n", IN, 2, "in:3: expected a '+' line after the sequence", []),
        (b"@a x\nAC\n+a y\nII\n", IN, 2, "in:3: the '+' line does not repeat the header", []),
        (b"@a\nAC\n+\nII\n@b\nAC\n+c\nII\n", IN, 2, "in:7: the '+' line does not repeat the header", ["a"]),
        (b"@a\nAC\n+a\nII\n@b\nAC\n+b\nI \n@c\n\n+\n\n", IN, 0, None, ["a", "b", "c"]),
        (b"@a\nAC\n+\nII\n@b\nAC\n", IN, 2, "in:7: the file ends inside a FASTQ record", ["a"]),
        (b"@a\nA C\n+\nIII\n", IN, 2, "in:2: byte 0x20 is not allowed in a sequence", []),
        (b"@a\nAC\n+\nII\n\n>b\n", IN, 2, "in:6: expected '@' at the start of a FASTQ record", ["a"]),
        (GZIP_GOOD[:-4], IN, 2, "in:5: truncated gzip data", ["a"]),
        (GZIP_GOOD[:12] + bytes(12) + GZIP_GOOD[24:], IN, 2, re.compile(r"in:1: corrupt gzip data.*"), []),
        (bgzf(GOOD)[:18] + bytes(8) + bgzf(GOOD)[26:], IN, 2, re.compile(r"in:1: corrupt BGZF data: .*"), []),
        (bgzf(GOOD)[:-28], IN, 2, "in:5: truncated BGZF data: the end-of-file block is missing", ["a"]),
        (b"\xfd7zXZ\x00\x00\x04" + bytes(40), IN, 2, "in:1: corrupt xz data", []),
        (b"\x28\xb5\x2f\xfd" + bytes(40), IN, 2, "in:1: truncated zstd data", []),
        (b"BZh91AY&SY" + bytes(40), IN, 2, "in:1: corrupt bzip2 data", []),
        (bgzf(b"BAM\x01" + bytes(40)), IN, 2, "in: BAM input is not supported (FASTA or FASTQ expected)", []),
        (b"CRAM\x03\x00" + bytes(40), IN, 2, "in: CRAM input is not supported (FASTA or FASTQ expected)", []),
        (GOOD, ["in", "missing"], 2, "missing: No such file or directory", ["a", "b"]),
        (GOOD, ["in", "."], 2, ".: is a directory", ["a", "b"]),
        (GOOD, ["in", "new\nline\t\x01\x7f\\é"], 2, "new\\nline\\t\\x01\\x7F\\\\é: No such file or directory",
         ["a", "b"]),
        (GOOD, ["--batch-bytes", "12X", "in"], 2, re.compile(r"--batch-bytes: a size such as .*"), None),
        (GOOD, ["--threads", "0", "in"], 0, None, ["a", "b"]),
        (GOOD, ["in", "--no-such\noption"], 2, re.compile(r"[^\n]*--no-such\\noption[^\n]*"), None),
        (GOOD, ["-j", "abc", "in"], 2, "-j: not a number: abc (see marlinox --help)", None),
        (GOOD, ["-j", "0x10", "in"], 2, "-j: not a number: 0x10 (see marlinox --help)", None),
        (GOOD, ["-j", "300", "in"], 2, "-j: out of range (0 to 255): 300 (see marlinox --help)", None),
        (GOOD, ["--columns", "length,nope", "in"], 2,
         re.compile(r"--columns: unknown column 'nope' \(columns: all, identifier, .*, non_acgt\)"), None),
        (GOOD, ["--columns", "all,length", "in"], 2, "--columns: column 'length' is given twice", None),
        (GOOD, ["--format", "bed", "--columns", "length", "in"], 2, "--columns applies to --format tsv only", None),
        (GOOD, ["--format", "gff", "in"], 2,
         "--format: unknown format 'gff' (formats: tsv, bed, fasta, protein, gff3)", None),
        (GOOD, ["--orfs", "all", "in"], 2, "--orfs: unknown mode 'all' (modes: between-stops, start-stop)", None),
        (GOOD, ["--orfs", "start-stop", "--columns", "orf,ratio", "in"], 2,
         "--columns: column 'ratio' does not apply to --orfs", None),
        (GOOD, ["--orfs", "between-stops", "--columns", "stop_free_run", "in"], 2,
         "--columns: column 'stop_free_run' does not apply to --orfs", None),
        (GOOD, ["--orfs", "start-stop", "--columns", "probability", "in"], 2,
         "--columns: column 'probability' does not apply to --orfs", None),
        (GOOD, ["--orfs", "start-stop", "--columns", "nope", "in"], 2,
         re.compile(r"--columns: unknown column 'nope' \(columns: all, identifier, file, orf, .*, log10_probability\)"),
         None),
        (GOOD, ["--orfs", "start-stop", "--min-run", "3", "in"], 2,
         "--min-run does not apply to --orfs (see --min-length)", None),
        *[(GOOD, ["--columns", f"length,{column}", "in"], 2, f"--columns: column '{column}' applies to --orfs only",
           None) for column in ["orf", "codons", "partial", "start_codon", "stop_codon", "record_length"]],
        *[(GOOD, [*option, "in"], 2, f"{option[0]} applies to --orfs only", None)
          for option in [["--strand", "+"], ["--include-stop"], ["--starts", "ATG"], ["--min-length", "30"], ["--max-length", "90"]]],
        (GOOD, ["--orfs", "between-stops", "--starts", "ATG", "in"], 2,
         "--starts applies to --orfs start-stop only", None),
        (GOOD, ["--orfs", "start-stop", "--starts", "ATG,AUG", "in"], 2,
         "--starts: not a comma-separated list of codons of A, C, G, T: ATG,AUG", None),
        (GOOD, ["--orfs", "start-stop", "--starts", "ATG,", "in"], 2,
         "--starts: not a comma-separated list of codons of A, C, G, T: ATG,", None),
        (GOOD, ["--orfs", "start-stop", "--strand", "forward", "in"], 2,
         "--strand: unknown strand 'forward' (strands: both, +, -)", None),
        (GOOD, ["--orfs", "start-stop", "--min-length", "+30", "in"], 2,
         "--min-length: not a whole number of bases from 0 up: +30", None),
        (GOOD, ["--orfs", "start-stop", "--max-length", "1e3", "in"], 2,
         "--max-length: not a whole number of bases from 0 up: 1e3", None),
        (GOOD, ["--orfs", "start-stop", "--min-length", "1", "--min-length", "2", "in"], 2, re.compile(r".*--min-length.*"), None),
        (GOOD, ["--table", "0", "in"], 2,
         "--table: no table 0 (getorf's table 0 is --table 1 with the default --starts ATG)", None),
        *[(GOOD, ["--table", number, "in"], 2, f"--table: no table {number} (see --list-tables)", None)
          for number in ["7", "8", "17", "18", "19", "20", "34", "4294967297"]],
        *[(GOOD, ["--orfs", "start-stop", "--table", text, "in"], 2,
           f"--table: not a table number: {text} (see --list-tables)", None) for text in ["two", "+2", "0x2", "2.0"]],
        (GOOD, ["--table", "2", "--table", "2", "in"], 2, re.compile(r".*--table.*"), None),
        (GOOD, ["--table", "33", "in"], 0, None, ["a", "b"]),
        (GOOD, ["--orfs", "between-stops", "--starts", "table", "in"], 2,
         "--starts applies to --orfs start-stop only", None),
        (GOOD, ["--max-non-acgt", "-1", "in"], 2, "--max-non-acgt: not a whole number of bytes from 0 up: -1", None),
        (GOOD, ["--min-run", "-1", "in"], 2, "--min-run: not a whole number of codons from 0 up: -1", None),
        (GOOD, ["--min-run", "2.5", "in"], 2, "--min-run: not a whole number of codons from 0 up: 2.5", None),
        (GOOD, ["--max-evalue", "-0.1", "in"], 2, "--max-evalue: not a number from 0 up: -0.1", None),
        (GOOD, ["--max-evalue", "abc", "in"], 2, "--max-evalue: not a number from 0 up: abc", None),
        # Beyond the range of double, float() gives 0.0 and inf: every evalue is above 0.
        (GOOD, ["--max-evalue", "1e-400", "in"], 0, None, []),
        (GOOD, ["--max-evalue", "1e400", "in"], 0, None, ["a", "b"]),
        # CLI11 alone would take the next argument as the value.
        (GOOD, ["--format=", "bed", "in"], 2, "--format: empty value after '=' (see marlinox --help)", None),
    ],
)
def test_bad_input(tmp_path, data, args, status, error, kept):
    (tmp_path / "in").write_bytes(data)
    result = run(*args, cwd=tmp_path)
    assert result.returncode == status
    if error is None:
        assert result.stderr == b""
    else:
        message = result.stderr.decode()
        if isinstance(error, re.Pattern):
            assert re.fullmatch(f"error: {error.pattern}\n", message), message
        else:
            assert message == f"error: {error}\n"
    if kept is not None:
        lines = result.stdout.decode().splitlines()
        assert lines[0] == HEADER and [line.split("\t")[0] for line in lines[1:]] == kept


def test_output_failures(tmp_path):
    (tmp_path / "in").write_bytes(GOOD * 20000)
    if os.path.exists("/dev/full"):
        with open("/dev/full", "wb") as full:
            result = run(tmp_path / "in", stdout=full)
        assert result.returncode == 1
        assert result.stderr.decode() == "error: cannot write the table: No space left on device\n"
    # A reader that stops early ends the command silently, as SIGPIPE would.
    with subprocess.Popen([COMMAND, tmp_path / "in"], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdout.readline().decode() == HEADER + "\n"
        proc.stdout.close()
        assert proc.wait(TIMEOUT) == -signal.SIGPIPE
        assert proc.stderr.read() == b""


# A child's peak memory starts at its parent's (fork and exec keep the high
# mark), so the command is started from a small interpreter, not from pytest.
_PEAK_MEMORY = """
import os, sys
pid = os.fork()
if pid == 0:
    fd = os.open(os.devnull, os.O_WRONLY)
    os.dup2(fd, 1)
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss)
"""


def peak_memory_mib(*args, status=0):
    result = subprocess.run([sys.executable, "-I", "-S", "-c", _PEAK_MEMORY, COMMAND, *map(str, args)],
                            capture_output=True, timeout=TIMEOUT, check=True)
    exit_status, kib = map(int, result.stdout.split())
    assert exit_status == status, result.stderr
    return kib / 1024


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="emulated processes report the emulator's memory")
@pytest.mark.skipif(os.environ.get("MARLINOX_SANITIZED") == "1", reason="sanitizers hold memory of their own")
@pytest.mark.parametrize("records, largest", [(200_000, 0), (1, 24)], ids=["reads", "one-large-record"])
def test_memory_stays_below_four_batches_and_the_largest_record(tmp_path, records, largest):
    read = b">read sample\n" + b"ACGTTGCA" * 16 + b"\n"
    data = read * records if records > 1 else b">big\n" + b"ACGTTGCA" * (largest << 17) + b"\n"
    (tmp_path / "in.fa").write_bytes(data)
    (tmp_path / "empty.fa").write_bytes(b"")
    baseline = peak_memory_mib(tmp_path / "empty.fa")
    # Several times the budget of four 2 MiB batches, or one record of 24 MiB.
    assert len(data) > 6 * 2**20
    assert peak_memory_mib("--batch-bytes", "2M", tmp_path / "in.fa") - baseline < 4 * 2 + largest * 1.1 + 2


@pytest.mark.skipif(os.environ.get("MARLINOX_HOOKS") != "1", reason="needs a build with test hooks")
def test_internal_failure_is_one_line(tmp_path):
    (tmp_path / "in").write_bytes(GOOD)
    result = subprocess.run([COMMAND, tmp_path / "in"], capture_output=True, timeout=TIMEOUT,
                            env={**os.environ, "MARLINOX_FAULTS": "pool_start"})
    assert result.returncode == 1 and result.stdout == b""
    assert re.fullmatch(r"error: internal: The global thread pool has not been initialized\.[^\n]*\n",
                        result.stderr.decode()), result.stderr


def test_interrupt_leaves_whole_rows(tmp_path):
    # A shell without job control starts its background commands with SIGINT
    # ignored, which the command keeps: give the command a Ctrl-C to handle.
    with subprocess.Popen([COMMAND, "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL)) as proc:
        # The header row shows that the command is running; standard input
        # stays open, so it waits for more records when the signal comes.
        proc.stdin.write(GOOD * 1000)
        proc.stdin.flush()
        assert proc.stdout.readline().decode() == HEADER + "\n"
        proc.send_signal(signal.SIGINT)
        assert proc.wait(TIMEOUT) == 130
        rest = proc.stdout.read().decode()
        assert rest == "" or rest.endswith("\n")
        proc.stdin.close()


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="one processor: every count gives the same pool")
def test_threads_zero_means_every_processor_whatever_the_environment():
    def threads_while_waiting(env):
        # Standard input stays open, so the command waits with all its threads started.
        with subprocess.Popen([COMMAND, "--no-progress", "-j", "0", "-"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env={**os.environ, **env}) as proc:
            proc.stdin.write(GOOD)
            proc.stdin.flush()
            assert proc.stdout.readline().decode() == HEADER + "\n"
            threads = len(os.listdir(f"/proc/{proc.pid}/task"))
            proc.stdin.close()
            assert proc.wait(TIMEOUT) == 0
            return threads
    unset = {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}
    assert threads_while_waiting({**unset, "RAYON_NUM_THREADS": "1"}) == threads_while_waiting(unset)
    assert threads_while_waiting({**unset, "RAYON_RS_NUM_CPUS": "1"}) == threads_while_waiting(unset)


def test_usage_help_and_version():
    pty = pytest.importorskip("pty")
    primary, secondary = pty.openpty()
    try:
        # Emulated processes (armhf) cannot tell a terminal, and would wait for input.
        if os.isatty(secondary):
            result = run(stdin=secondary)
            assert result.returncode == 2 and result.stdout == b""
            assert "marlinox [OPTIONS] [FILE...]" in result.stderr.decode()
    finally:
        os.close(primary)
        os.close(secondary)
    help_text = run("--help").stdout.decode()
    assert help_text.startswith("marlinox [OPTIONS] [FILE...]\n\nAnalyse")
    for topic in ["gc_fraction", "TAA, TAG", "G, C, g or c", "Exit status", "130", "--list-tables"]:
        assert topic in help_text
    assert re.fullmatch(r"marlinox \d+\.\d+\.\d+ \(gzip by .*, BGZF by libdeflate .*\)\n", run("--version").stdout.decode())


def test_floats_as_python_repr():
    build = os.environ.get("MARLINOX_BUILD_DIR")
    formatter = build and pathlib.Path(build).resolve() / "marlinox_float_repr"
    if not formatter or not formatter.is_file():
        pytest.skip("the float formatter test program is not in the build tree")
    rng = random.Random(20240611)
    patterns = [rng.getrandbits(64) for _ in range(20000)]
    patterns += [rng.getrandbits(52) | (rng.getrandbits(1) << 63) for _ in range(5000)]  # subnormals
    # Powers of ten and their neighbours, around the switches between notations.
    for exponent in range(-330, 310):
        value = float(f"1e{exponent}")
        bits = struct.unpack("<Q", struct.pack("<d", value))[0]
        patterns += [bits - 1, bits, bits + 1]
    specials = [0.0, -0.0, 1.0, 5e-324, 1e16, 9999999999999998.0, 1e-4, 0.0001, 1e22, float("inf"), -float("inf")]
    patterns += [struct.unpack("<Q", struct.pack("<d", v))[0] for v in specials]
    patterns = [p & (2**64 - 1) for p in patterns]
    patterns = [p for p in patterns if (p >> 52) & 0x7FF != 0x7FF or p & (2**52 - 1) == 0]  # no NaN payloads
    patterns *= 2  # the second time, what the formatter remembers of the first
    result = subprocess.run([formatter], input="".join(f"{p:016x}\n" for p in patterns).encode(),
                            capture_output=True, timeout=TIMEOUT, check=True)
    got = result.stdout.decode().splitlines()
    expected = [repr(struct.unpack("<d", struct.pack("<Q", p))[0]) for p in patterns]
    mismatches = [(f"{p:016x}", g, e) for p, g, e in zip(patterns, got, expected) if g != e]
    assert len(got) == len(expected) and mismatches == []
