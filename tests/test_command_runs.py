"""Where the command's longest run lies and how surprising it is: a small model
of the columns, the filters and the BED and FASTA output against the command
on generated records, the E-value against a simulation, and the location
against EMBOSS getorf on real genomes.
"""

import gzip
import math
import os
import pathlib
import random
import shutil
import statistics
import subprocess

import pytest

import marlinox
from test_command import COMMAND, bgzf, run

pytestmark = pytest.mark.skipif(COMMAND is None, reason="the marlinox command was not built")

ROOT = pathlib.Path(__file__).parent.parent
DATA = ROOT / "examples" / "data"
# Where tools/bench.sh puts the benchmark's genomes.
BENCH_DATA = ROOT / "build" / "bench-data"
STOPS = {"TAA", "TAG", "TGA"}
COMPLEMENT = str.maketrans("ACGTacgt", "TGCAtgca")
CODE = {a + b + c: "FFLLSSSSYY**CC*WLLLLPPPPHHQQRRRRIIIMTTTTNNKKSSRRVVVVAAAADDEEGGGG"[16 * i + 4 * j + k]
        for i, a in enumerate("TCAG") for j, b in enumerate("TCAG") for k, c in enumerate("TCAG")}
ALL = ["identifier", "length", "gc_fraction", "stop_free_run", "ratio", "probability", "file",
       "strand", "frame", "start", "end", "log10_probability", "evalue", "non_acgt"]


def genetic_code(number):
    """(stops, starts, amino acid of each codon) of an NCBI table as Biopython has it; a codon
    that NCBI lists among the stops is one, whatever amino acid it may also code for."""
    if number == 1:
        return STOPS, {"ATG"}, CODE
    table = pytest.importorskip("Bio.Data.CodonTable").unambiguous_dna_by_id[number]
    stops = set(table.stop_codons)
    return stops, set(table.start_codons), {c: "*" if c in stops else table.forward_table[c] for c in CODE}


def no_stop(gc, stops):
    """q at GC fraction gc: for TAA, TAG, TGA the module's expression, else 1 minus the stops'
    chances, added by their count of G and C bases, 0 to 3, as the command adds them."""
    if stops == STOPS:
        d = 1.0 - gc
        return 1.0 + ((gc + 1.0) * (d * d)) * -0.125
    strong, weak = gc * 0.5, (1.0 - gc) * 0.5
    chances = [weak * weak * weak, strong * (weak * weak), (strong * strong) * weak, (strong * strong) * strong]
    mass = 0.0
    for k, chance in enumerate(chances):
        mass = mass + sum(sum(b in "GC" for b in codon) == k for codon in stops) * chance
    return 1.0 - mass


def run_probability(q, gc, codons, stops):
    """q to the codons: the module's value for TAA, TAG, TGA; else its binary exponentiation."""
    if stops == STOPS:
        return marlinox.calculate_run_probability([("r", codons)], [("r", gc)])[0][1]
    result, square = (q if codons & 1 else 1.0), q
    while codons > 1:
        square = square * square
        if codons & 2:
            result = result * square
        codons >>= 1
    return result


# --- the model ----------------------------------------------------------------


def frame_runs(strand, frame, stops=STOPS):
    """(start, end) of every maximal stop-free run of one frame, in order."""
    runs, run_start, i = [], frame, frame
    while True:
        if i + 3 > len(strand) or strand[i:i + 3] in stops:
            runs.append((run_start, i))
            if i + 3 > len(strand):
                return runs
            run_start = i + 3
        i += 3


def located(sequence, stops):
    """(run, strand, frame, start, end): the first longest run in scan order."""
    m = len(sequence)
    upper = sequence.upper()
    best = (0, "", "", "", "")
    for sign, strand in (("+", upper), ("-", upper.translate(COMPLEMENT)[::-1])):
        for frame in range(3):
            for start, end in frame_runs(strand, frame, stops):
                if (end - start) // 3 > best[0]:
                    where = (start, end) if sign == "+" else (m - end, m - start)
                    best = ((end - start) // 3, sign, frame, *where)
    return best


def statistics_of(sequence, stops=STOPS):
    m = len(sequence)
    gc = sum(sequence.count(c) for c in "GCgc") / m if m else 0.0
    run, strand, frame, start, end = located(sequence, stops)
    q = no_stop(gc, stops)
    p = run_probability(q, gc, run, stops)
    terms = []
    for f in range(3):
        codons = max(0, (m - f) // 3)
        terms.append(p * (1.0 + float(codons - run) * (1.0 - q)) if codons >= run else 0.0)
    evalue = terms[0]
    for term in terms[1:] + terms:
        evalue = evalue + term
    return {
        "length": m, "gc_fraction": gc, "stop_free_run": run, "ratio": run / m if m else 0.0,
        "probability": p, "strand": strand, "frame": frame, "start": start, "end": end,
        "log10_probability": 0.0 if p == 1.0 else float(run) * math.log10(q), "evalue": evalue,
        "non_acgt": sum(c not in "ACGTacgt" for c in sequence),
    }


def bed_score(evalue):
    """min(1000, max(0, round(-10 log10(evalue)))), halves away from zero."""
    if evalue == 0.0:
        return 1000
    return min(1000, max(0, math.floor(-10 * math.log10(evalue) + 0.5)))


def field(value):
    return repr(value) if isinstance(value, float) else str(value)


def expected_output(records, file_name, fmt, columns=ALL, min_run=None, max_evalue=None, max_non_acgt=None,
                    header=True, table=1):
    stops, _, code = genetic_code(table)
    out = []
    if header and fmt == "tsv":
        out.append("\t".join(columns) + "\n")
    if header and fmt == "gff3":
        out.append("##gff-version 3\n")
    for identifier, sequence in records:
        values = statistics_of(sequence, stops)
        values.update(identifier=identifier, file=file_name)
        run = values["stop_free_run"]
        if (min_run is not None and run < min_run) or (max_evalue is not None and values["evalue"] > max_evalue):
            continue
        if max_non_acgt is not None and values["non_acgt"] > max_non_acgt:
            continue
        if fmt == "tsv":
            out.append("\t".join(field(values[c]) for c in columns) + "\n")
            continue
        if run == 0:
            continue
        start, end, strand = values["start"], values["end"], values["strand"]
        if fmt == "bed":
            out.append(f"{identifier or '.'}\t{start}\t{end}\trun={run}\t{bed_score(values['evalue'])}\t{strand}\n")
            continue
        if fmt == "gff3":
            partial = f"{int(start < 3)}{int(end + 3 > len(sequence))}"
            seqid = identifier or "."
            out.append(f"{seqid}\tmarlinox\tORF\t{start + 1}\t{end}\t{values['evalue']!r}\t{strand}\t0\t"
                       f"ID={identifier}_1;codons={run};partial={partial};evalue={values['evalue']!r}\n")
            continue
        piece = sequence[start:end] if strand == "+" else sequence[start:end].translate(COMPLEMENT)[::-1]
        if fmt == "protein":
            upper = piece.upper()
            piece = "".join(code.get(upper[i:i + 3], "X") for i in range(0, len(upper), 3))
        out.append(f">{identifier} {strand}:{start}-{end} run={run} evalue={values['evalue']!r}\n{piece}\n")
    return "".join(out)


# --- generated records --------------------------------------------------------


def generated_records(rng):
    lengths = [0, 1, 2, 3, 4, 5, 6, 7] + [n + d for n in (64, 128, 192, 256, 320, 384) for d in (-2, -1, 0, 1, 2)]
    lengths += [rng.randrange(8, 401) for _ in range(40)]
    records = []
    for i, length in enumerate(lengths):
        # Few letters make long runs and ties between frames and strands common.
        alphabet = ["ACGT", "TA", "acgtN", "TTAAC", "CG", "ACGTNNNNRY"][i % 6]
        sequence = "".join(rng.choices(alphabet, k=length))
        if i % 5 == 1 and length >= 6:
            # Stops at both edges, on both strands.
            sequence = rng.choice(["TAA", "TTA", "tga"]) + sequence[3:-3] + rng.choice(["TAG", "CTA", "tca"])
        if i % 7 == 3 and length > 40:
            cut = rng.randrange(length - 30)
            sequence = sequence[:cut] + "N" * 30 + sequence[cut + 30:]
        records.append((f"r{i}" if i % 9 else "", sequence))
    # Palindromes: the same run on both strands, in every frame.
    for unit in ["TTAA", "CTAG", "AATT" * 16 + "TTAA"]:
        records.append((f"p{unit[:4]}", unit * 25))
    return records


@pytest.fixture(scope="module")
def records():
    return generated_records(random.Random(20261207))


@pytest.mark.parametrize("fmt", ["tsv", "bed", "fasta", "protein", "gff3"])
@pytest.mark.parametrize("form", ["fasta-crlf", "fastq-gzip", "fasta-bgzf"])
def test_output_equals_the_model(tmp_path, records, fmt, form):
    newline = "\r\n" if form.endswith("crlf") else "\n"
    if form.startswith("fastq"):
        text = "".join(f"@{n}{newline}{s}{newline}+{newline}{'I' * len(s)}{newline}" for n, s in records)
    else:
        text = "".join(f">{n}{newline}" + "".join(s[i:i + 61] + newline for i in range(0, len(s), 61))
                       for n, s in records)
    data = text.encode()
    data = gzip.compress(data) if form.endswith("gzip") else bgzf(data, 997) if form.endswith("bgzf") else data
    path = tmp_path / "in put"
    path.write_bytes(data)
    args = ["--columns", "all"] if fmt == "tsv" else ["--format", fmt]
    result = run(*args, path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == expected_output(records, str(path), fmt)


@pytest.mark.parametrize(
    "args, columns, min_run, max_evalue, max_non_acgt",
    [
        (["--columns", "evalue,identifier,start,file"], ["evalue", "identifier", "start", "file"], None, None, None),
        (["--min-run", "20", "--columns", "all"], ALL, 20, None, None),
        (["--max-evalue", "0.5", "--columns", "stop_free_run,evalue"], ["stop_free_run", "evalue"], None, 0.5, None),
        (["--min-run", "5", "--max-evalue", "3", "--format", "bed"], "bed", 5, 3.0, None),
        (["--max-evalue", "1e-2", "--format", "protein"], "protein", None, 1e-2, None),
        (["--min-run", "0", "--no-header"], None, 0, None, None),
        (["--max-non-acgt", "0", "--columns", "identifier,non_acgt"], ["identifier", "non_acgt"], None, None, 0),
        (["--max-non-acgt", "3", "--format", "gff3", "--no-header"], "gff3", None, None, 3),
        # Other stops: vertebrate mitochondria, ciliates, one stop only, a stop by context.
        (["--table", "2", "--columns", "all"], ALL, None, None, None),
        (["--table", "6", "--format", "fasta"], "fasta", None, None, None),
        (["--table", "14", "--max-evalue", "1", "--columns", "all"], ALL, None, 1.0, None),
        (["--table", "23", "--format", "bed"], "bed", None, None, None),
        (["--table", "27", "--format", "protein"], "protein", None, None, None),
        (["--table", "5", "--format", "protein"], "protein", None, None, None),
        # The standard stops under another table: the module's values.
        (["--table", "11", "--columns", "all"], ALL, None, None, None),
    ],
)
def test_columns_and_filters(tmp_path, records, args, columns, min_run, max_evalue, max_non_acgt):
    path = tmp_path / "in.fa"
    path.write_text("".join(f">{n}\n{s}\n" for n, s in records))
    result = run(*args, path)
    assert (result.returncode, result.stderr) == (0, b"")
    table = int(args[args.index("--table") + 1]) if "--table" in args else 1
    if columns is None:
        expected = expected_output(records, str(path), "tsv", ALL[:6], min_run, max_evalue).split("\n", 1)[1]
    elif isinstance(columns, str):
        expected = expected_output(records, str(path), columns, min_run=min_run, max_evalue=max_evalue,
                                   max_non_acgt=max_non_acgt, header="--no-header" not in args, table=table)
    else:
        expected = expected_output(records, str(path), "tsv", columns, min_run, max_evalue, max_non_acgt,
                                   table=table)
    assert result.stdout.decode() == expected


def test_file_column_names_each_file_with_control_bytes_escaped(tmp_path):
    (tmp_path / "a\tb\\c").write_text(">x\nATG\n")
    (tmp_path / "plain").write_text(">y\nATG\n>z\n")
    with open(tmp_path / "plain", "rb") as stdin:
        result = run("--columns", "identifier,file", "--no-header", "a\tb\\c", "-", cwd=tmp_path, stdin=stdin)
    assert result.stdout.decode() == "x\ta\\tb\\\\c\ny\t-\nz\t-\n"


# --- the E-value against chance -------------------------------------------------


def test_evalue_is_the_mean_number_of_maximal_runs_at_random():
    rng = random.Random(7)
    gc, length, at_least, trials = 0.4, 300, 25, 3000
    weights = [(1 - gc) / 2, gc / 2, gc / 2, (1 - gc) / 2]
    counts = []
    for _ in range(trials):
        sequence = "".join(rng.choices("ACGT", weights, k=length))
        strands = (sequence, sequence.translate(COMPLEMENT)[::-1])
        counts.append(sum((end - start) // 3 >= at_least
                          for strand in strands for frame in range(3) for start, end in frame_runs(strand, frame)))
    d = 1.0 - gc
    q = 1.0 + ((gc + 1.0) * (d * d)) * -0.125
    p = q ** at_least
    expected = 2 * sum(p * (1.0 + ((length - f) // 3 - at_least) * (1.0 - q)) for f in range(3))
    error = statistics.stdev(counts) / math.sqrt(trials)
    assert abs(statistics.fmean(counts) - expected) < 5 * error, (statistics.fmean(counts), expected, error)


# --- against getorf ---------------------------------------------------------------


def getorf_longest(path, tmp_path):
    """The first longest region of `getorf -find 0` in our scan order, as (start, end, strand)."""
    plain = tmp_path / "genome.fa"
    plain.write_bytes(gzip.decompress(path.read_bytes()))
    out = tmp_path / "regions.fa"
    subprocess.run(["getorf", "-sequence", plain, "-outseq", out, "-find", "0", "-minsize", "3", "-auto"],
                   check=True, capture_output=True)
    m = sum(len(line.strip()) for line in plain.read_text().splitlines()[1:])
    regions = []
    for line in out.read_text().splitlines():
        if line.startswith(">"):
            first, second = (int(x) for x in line.split("[", 1)[1].split("]", 1)[0].split(" - "))
            reverse = "(REVERSE SENSE)" in line
            low, high = min(first, second), max(first, second)
            # Scan order: forward by frame and position, then reverse by frame
            # and decreasing end; frames counted on each strand.
            frame = (m - high) % 3 if reverse else (low - 1) % 3
            regions.append((-(high - low + 1), reverse, frame, -high if reverse else low, low - 1, high))
    best = min(regions)
    return best[4], best[5], "-" if best[1] else "+"


@pytest.mark.skipif(shutil.which("getorf") is None, reason="EMBOSS getorf is not installed")
@pytest.mark.parametrize("genome", [DATA / "lambda_virus.fa.gz", BENCH_DATA / "MG1655-K12.fasta.gz"],
                         ids=["lambda", "ecoli"])
def test_location_is_getorfs_longest_region(tmp_path, genome):
    if not genome.exists():
        pytest.skip(f"{genome} is not present")
    result = run("--columns", "start,end,strand", "--no-header", genome)
    start, end, strand = result.stdout.decode().split()
    assert (int(start), int(end), strand) == getorf_longest(genome, tmp_path)


@pytest.mark.skipif(shutil.which("bedtools") is None, reason="bedtools is not installed")
def test_bedtools_reads_the_bed_and_cuts_the_fasta_runs(tmp_path):
    reads = gzip.decompress((DATA / "lambda_reads.fq.gz").read_bytes()).decode().splitlines()
    fasta = tmp_path / "in.fa"
    fasta.write_text(gzip.decompress((DATA / "lambda_virus.fa.gz").read_bytes()).decode()
                     + "".join(f">{reads[i][1:]}\n{reads[i + 1]}\n" for i in range(0, 800, 4)))
    bed = tmp_path / "runs.bed"
    bed.write_bytes(run("--format", "bed", fasta).stdout)
    # bedtools is no part of the sanitized build: it runs without its runtime.
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    cut = subprocess.run(["bedtools", "getfasta", "-fi", fasta, "-bed", bed, "-s", "-tab"], env=plain,
                         check=True, capture_output=True, text=True).stdout
    ours = run("--format", "fasta", fasta).stdout.decode().splitlines()[1::2]
    assert len(ours) == 201 and [line.split("\t")[1] for line in cut.splitlines()] == ours
