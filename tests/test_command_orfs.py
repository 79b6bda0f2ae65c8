"""The command's ORF mode: every ORF of generated records against a small model
of the definition written here, in every format, and the ORFs, their bases,
proteins and GFF3 against EMBOSS getorf and transeq, bedtools and genometools
on the shipped lambda genome."""

import bz2
import gzip
import itertools
import math
import os
import random
import re
import shutil
import subprocess
import sys
import warnings

import pytest

from test_command import COMMAND, TIMEOUT, bgzf, peak_memory_mib, run
from test_command_runs import (BENCH_DATA, COMPLEMENT, DATA, ROOT, bed_score, field, genetic_code, no_stop,
                               run_probability)

pytestmark = pytest.mark.skipif(COMMAND is None, reason="the marlinox command was not built")

ALL = ["identifier", "file", "orf", "strand", "frame", "start", "end", "length", "codons", "partial",
       "start_codon", "stop_codon", "gc_fraction", "non_acgt", "record_length", "evalue", "log10_probability"]
DEFAULT = ["identifier", "orf", "strand", "frame", "start", "end", "length", "partial", "evalue"]


# --- the model ----------------------------------------------------------------


def strand_orfs(strand, from_start, starts, stops):
    """(p, e, open_five, open_three, first codon) of every ORF of one strand, p, e on that strand."""
    upper = strand.upper()
    found = []
    for frame in range(3):
        run_start, i = frame, frame
        while True:
            ended = i + 3 > len(upper)
            if ended or upper[i:i + 3] in stops:
                p = run_start
                if from_start:
                    while p < i and upper[p:p + 3] not in starts:
                        p += 3
                if p < i:
                    found.append((p, i, not from_start and p == frame, ended, upper[p:p + 3] if from_start else ""))
                if ended:
                    break
                run_start = i + 3
            i += 3
    return found


def model_orfs(sequence, mode="between-stops", min_length=30, max_length=None, starts="ATG", strand="both",
               include_stop=False, max_evalue=None, max_non_acgt=None, table=1):
    """Each ORF's values as the command writes them, in the command's order."""
    m = len(sequence)
    stops, table_starts, _ = genetic_code(table)
    starts = table_starts if starts == "table" else {codon.upper() for codon in starts.split(",")}
    gc = sum(sequence.count(c) for c in "GCgc") / m if m else 0.0
    q = no_stop(gc, stops)
    reverse = sequence.translate(COMPLEMENT)[::-1]
    orfs = []
    for sign, text in (("+", sequence), ("-", reverse)):
        if strand not in ("both", sign):
            continue
        for p, e, open_five, open_three, first in strand_orfs(text, mode == "start-stop", starts, stops):
            codons = (e - p) // 3
            if 3 * codons < min_length or (max_length is not None and 3 * codons > max_length):
                continue
            stop = "" if open_three else text[e:e + 3].upper()
            written_end = e + (3 if include_stop and stop else 0)
            start, end = (p, written_end) if sign == "+" else (m - written_end, m - p)
            orfs.append(dict(strand=sign, frame=p % 3, start=start, end=end, codons=codons, length=end - start,
                             partial=f"{int(open_five)}{int(open_three)}" if sign == "+" else
                             f"{int(open_three)}{int(open_five)}",
                             start_codon=first, stop_codon=stop, record_length=m,
                             bases=text[p:written_end]))
    orfs.sort(key=lambda o: (o["start"], o["end"], o["strand"]))
    for o in orfs:
        p = run_probability(q, gc, o["codons"], stops)
        terms = [p * (1.0 + float((m - f) // 3 - o["codons"]) * (1.0 - q)) if (m - f) // 3 >= o["codons"]
                 else 0.0 for f in range(3)]
        evalue = terms[0]
        for term in terms[1:] + terms:
            evalue = evalue + term
        piece = sequence[o["start"]:o["end"]]
        o.update(evalue=evalue, log10_probability=0.0 if p == 1.0 else float(o["codons"]) * math.log10(q),
                 gc_fraction=sum(piece.count(c) for c in "GCgc") / len(piece),
                 non_acgt=sum(c not in "ACGTacgt" for c in piece))
    kept = [o for o in orfs if (max_evalue is None or o["evalue"] <= max_evalue)
            and (max_non_acgt is None or o["non_acgt"] <= max_non_acgt)]
    for number, o in enumerate(kept, 1):
        o["orf"] = number
    return kept


def encoded(text, plain):
    return "".join(c if plain(c) else f"%{ord(c):02X}" for c in text)


def seqid(identifier):
    return encoded(identifier, lambda c: c.isascii() and (c.isalnum() or c in ".:^*$@!+_?-|")) or "."


def attribute(text):
    return encoded(text, lambda c: "!" <= c <= "~" and c not in "%;=&,")


def expected_output(records, file_name, fmt, columns=DEFAULT, header=True, **options):
    out = []
    if header and fmt == "tsv":
        out.append("\t".join(columns) + "\n")
    if header and fmt == "gff3":
        out.append("##gff-version 3\n")
    for identifier, sequence in records:
        for o in model_orfs(sequence, **options):
            o.update(identifier=identifier, file=file_name)
            name = f"{identifier}_{o['orf']}"
            if fmt == "tsv":
                out.append("\t".join(field(o[c]) for c in columns) + "\n")
            elif fmt == "bed":
                out.append(f"{identifier or '.'}\t{o['start']}\t{o['end']}\t{name}\t{bed_score(o['evalue'])}\t"
                           f"{o['strand']}\n")
            elif fmt == "gff3":
                starts = f";start_codon={o['start_codon']}" if o["start_codon"] else ""
                out.append(f"{seqid(identifier)}\tmarlinox\tORF\t{o['start'] + 1}\t{o['end']}\t{o['evalue']!r}\t"
                           f"{o['strand']}\t0\tID={attribute(identifier)}_{o['orf']};codons={o['codons']};"
                           f"partial={o['partial']};evalue={o['evalue']!r}{starts}\n")
            else:
                bases = o["bases"]
                if fmt == "protein":
                    upper = bases.upper()
                    code = genetic_code(options.get("table", 1))[2]
                    bases = "".join(code.get(upper[i:i + 3], "X") for i in range(0, len(upper) - 2, 3))
                    if o["start_codon"]:
                        bases = "M" + bases[1:]
                out.append(f">{name} {o['strand']}:{o['start']}-{o['end']} codons={o['codons']} "
                           f"partial={o['partial']} evalue={o['evalue']!r}\n{bases}\n")
    return "".join(out)


# --- generated records --------------------------------------------------------


def generated_records(rng):
    records = [("empty", ""), ("one", "A"), ("codon", "ATG"), ("atg-at-end", "CCCCATG"), ("stop", "TAA"),
               ("edges", "TAAATGCCCTAG"), ("rev-edges", "CTAGGGCATTTA"), ("n", "ATGNNNTAA"),
               ("a;b=c%d,e&f", "ATGAAATGA"), ("", "GTGAAACCCTTGTAG")]
    for i in range(60):
        alphabet = ["ACGT", "ACGTacgtN", "TAACG", "ATGC" + "N" * 2, "atgcTAG"][i % 5]
        sequence = "".join(rng.choices(alphabet, k=rng.randrange(3, 900)))
        if i % 4 == 1:
            # Runs touching both edges, and stops at the edges on both strands.
            sequence = rng.choice(["ATG", "TTA", "tga"]) + sequence + rng.choice(["TAG", "CAT", "atg"])
        records.append((f"r{i}", sequence))
    return records


@pytest.fixture(scope="module")
def records():
    return generated_records(random.Random(20261208))


def write_input(path, records, form):
    if form.startswith("fastq"):
        data = "".join(f"@{n}\n{s}\n+\n{'I' * len(s)}\n" for n, s in records).encode()
    else:
        newline = "\r\n" if form.endswith("crlf") else "\n"
        data = "".join(f">{n}{newline}" + "".join(s[i:i + 61] + newline for i in range(0, len(s), 61))
                       for n, s in records).encode()
    if form.endswith("gzip"):
        data = gzip.compress(data)
    elif form.endswith("bgzf"):
        data = bgzf(data, 997)
    elif form.endswith("bzip2"):
        data = bz2.compress(data)
    path.write_bytes(data)


@pytest.mark.parametrize("form, args, fmt, columns, header, options", [
    ("fasta-crlf", ["--orfs", "between-stops", "--min-length", "3", "--columns", "all"], "tsv", ALL, True,
     dict(min_length=3)),
    ("fastq-gzip", ["--orfs", "start-stop", "--min-length", "1", "--columns", "all", "--include-stop"], "tsv", ALL,
     True, dict(mode="start-stop", min_length=1, include_stop=True)),
    ("fasta-bgzf", ["--orfs", "between-stops", "--format", "bed"], "bed", None, True, {}),
    ("fasta", ["--orfs", "start-stop", "--format", "gff3", "--starts", "ATG,GTG,ttg", "--min-length", "4"],
     "gff3", None, True, dict(mode="start-stop", starts="ATG,GTG,TTG", min_length=4)),
    ("fastq-bzip2", ["--orfs", "between-stops", "--format", "fasta", "--include-stop", "--strand", "-",
                     "--min-length", "9"], "fasta", None, True, dict(include_stop=True, strand="-", min_length=9)),
    ("fasta", ["--orfs", "start-stop", "--format", "protein", "--include-stop", "--min-length", "6",
               "--max-length", "60"], "protein", None, True,
     dict(mode="start-stop", include_stop=True, min_length=6, max_length=60)),
    ("fasta", ["--orfs", "start-stop", "--strand", "+", "--max-evalue", "50", "--max-non-acgt", "2",
               "--min-length", "0", "--no-header"], "tsv", DEFAULT, False,
     dict(mode="start-stop", strand="+", max_evalue=50.0, max_non_acgt=2, min_length=0)),
    ("fasta", ["--orfs", "between-stops", "--format", "gff3", "--no-header", "--max-length", "5",
               "--min-length", "3"], "gff3", None, False, dict(min_length=3, max_length=5)),
    ("fasta", ["--orfs", "between-stops", "--min-length", "3", "--max-non-acgt", "0", "--format", "bed",
               "--no-header", "-j", "1", "--batch-bytes", "1"], "bed", None, False, dict(min_length=3, max_non_acgt=0)),
    ("fasta", ["--orfs", "between-stops", "--table", "2", "--min-length", "3", "--columns", "all"], "tsv", ALL, True,
     dict(table=2, min_length=3)),
    ("fastq-gzip", ["--orfs", "start-stop", "--table", "11", "--starts", "table", "--min-length", "3",
                    "--format", "gff3"], "gff3", None, True, dict(mode="start-stop", table=11, starts="table",
                                                                 min_length=3)),
    ("fasta", ["--orfs", "start-stop", "--table", "4", "--min-length", "3", "--include-stop", "--format",
               "protein"], "protein", None, True, dict(mode="start-stop", table=4, min_length=3, include_stop=True)),
    ("fasta", ["--orfs", "between-stops", "--table", "31", "--min-length", "3", "--include-stop", "--format",
               "protein"], "protein", None, True, dict(table=31, min_length=3, include_stop=True)),
    ("fasta", ["--orfs", "start-stop", "--table", "22", "--starts", "table", "--min-length", "3", "--columns",
               "all"], "tsv", ALL, True, dict(mode="start-stop", table=22, starts="table", min_length=3)),
])
def test_orfs_equal_the_model(tmp_path, records, form, args, fmt, columns, header, options):
    path = tmp_path / "in put"
    write_input(path, records, form)
    result = run(*args, path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == expected_output(records, str(path), fmt, columns or DEFAULT, header, **options)


@pytest.mark.parametrize("args, options, rows", [
    (["--orfs", "between-stops", "--min-length", "3"], dict(min_length=3), 20_000),  # several units of rows
    # Runs long enough to cross from one piece of the record into the next.
    (["--orfs", "start-stop", "--min-length", "150", "--starts", "ATG,GTG"],
     dict(mode="start-stop", min_length=150, starts="ATG,GTG"), 100),
])
def test_a_long_record_gives_the_same_rows_on_every_thread_count(tmp_path, args, options, rows):
    rng = random.Random(3)
    record = [("long", "".join(rng.choices("ACGT", k=300_000)))]
    (tmp_path / "in.fa").write_text(f">long\n{record[0][1]}\n")
    expected = expected_output(record, "x", "bed", header=False, **options)
    assert expected.count("\n") > rows
    for threads in ["1", "2", "8"]:
        result = run("-j", threads, *args, "--format", "bed", tmp_path / "in.fa")
        assert result.stdout.decode() == expected


# --- against the tools users know ----------------------------------------------


@pytest.fixture(scope="module")
def lambda_fasta(tmp_path_factory):
    path = tmp_path_factory.mktemp("lambda") / "lambda.fa"
    path.write_bytes(gzip.decompress((DATA / "lambda_virus.fa.gz").read_bytes()))
    return path


def getorf_set(path, tmp_path, find, minsize, table=0):
    out = tmp_path / "getorf.fa"
    subprocess.run(["getorf", "-sequence", path, "-outseq", out, "-find", str(find), "-minsize", str(minsize),
                    "-table", str(table), "-auto"], check=True, capture_output=True)
    found = set()
    for line in out.read_text().splitlines():
        if line.startswith(">"):
            a, b = (int(x) for x in line.split("[", 1)[1].split("]", 1)[0].split(" - "))
            found.add(("-", b - 1, a) if "(REVERSE SENSE)" in line else ("+", a - 1, b))
    return found


# getorf's genetic codes; its table 0 is our default, the standard code with ATG alone.
EMBOSS_TABLES = [1, 2, 3, 4, 5, 6, 9, 10, 11, 12, 13, 14, 15, 16, 21, 22, 23]
MODES = [("between-stops", 2), ("start-stop", 3)]


@pytest.fixture(scope="module")
def random_genome(tmp_path_factory):
    rng = random.Random(29)
    path = tmp_path_factory.mktemp("random") / "random.fa"
    sequence = "".join(rng.choices("ACGT", k=20_000))
    # Lower case in places: a codon is read the same in either case.
    sequence = "".join(piece.lower() if i % 3 == 1 else piece
                       for i, piece in enumerate(sequence[k:k + 700] for k in range(0, len(sequence), 700)))
    path.write_text(f">random\n{sequence}\n")
    return path


@pytest.mark.skipif(shutil.which("getorf") is None, reason="EMBOSS getorf is not installed")
@pytest.mark.parametrize("genome, table, mode, find, minsize", [
    *[(genome, 0, mode, find, minsize) for genome in ["lambda", "ecoli"] for mode, find in MODES
      for minsize in [30, 300]],
    *[("random", table, mode, find, 30) for table in EMBOSS_TABLES for mode, find in MODES],
    ("ecoli", 2, "between-stops", 2, 30),
    ("ecoli", 11, "start-stop", 3, 30),
])
def test_orfs_are_getorfs(tmp_path, lambda_fasta, random_genome, genome, table, mode, find, minsize):
    if mode == "start-stop" and table in (3, 13):
        pytest.skip("EMBOSS keeps NCBI's start codons of 1995 for tables 3 and 13; Biopython has today's")
    path = lambda_fasta if genome == "lambda" else random_genome
    if genome == "ecoli":
        packed = BENCH_DATA / "MG1655-K12.fasta.gz"
        if not packed.exists():
            pytest.skip(f"{packed} is not present")
        path = tmp_path / "ecoli.fa"
        path.write_bytes(gzip.decompress(packed.read_bytes()))
    code = ["--table", table, *(["--starts", "table"] if mode == "start-stop" else [])] if table else []
    result = run("--orfs", mode, *code, "--min-length", minsize, "--columns", "strand,start,end", "--no-header", path)
    ours = {(s, int(a), int(b)) for s, a, b in (line.split("\t") for line in result.stdout.decode().splitlines())}
    assert len(ours) > 10 and ours == getorf_set(path, tmp_path, find, minsize, table)


TABLES = [*range(1, 7), *range(9, 17), *range(21, 34)]


@pytest.mark.parametrize("table", TABLES)
def test_proteins_are_biopythons_translations(tmp_path, records, table):
    seq = pytest.importorskip("Bio.Seq")
    path = tmp_path / "in.fa"
    # Biopython reads a codon with N as any amino acid it can stand for; the command writes X.
    write_input(path, [(n, s) for n, s in records if "n" not in s.lower()], "fasta")
    orfs = ["--orfs", "between-stops", "--table", table, "--min-length", "3", "--include-stop"]
    bases = run(*orfs, "--format", "fasta", path).stdout.decode().splitlines()[1::2]
    proteins = run(*orfs, "--format", "protein", path).stdout.decode().splitlines()[1::2]
    stops = genetic_code(table)[0]
    expected = []
    with warnings.catch_warnings():
        # Tables 27, 28 and 31 warn of their codons read by context.
        warnings.simplefilter("ignore")
        for orf in bases:
            stop = orf[-3:].upper() in stops
            expected.append(str(seq.Seq(orf[:-3] if stop else orf).translate(table=table)) + "*" * stop)
    assert len(proteins) > 100 and proteins == expected


def test_the_generated_codes_are_biopythons():
    tables = pytest.importorskip("Bio.Data.CodonTable").unambiguous_dna_by_id
    generated = (ROOT / "src" / "analysis" / "genetic_codes.cpp").read_text()
    entries = re.findall(r'\{(\d+), "([^"]*)",\s*"(\S{64})",\s*0x(\w{16})u, 0x(\w{16})u, 0x(\w{16})u\}', generated)
    codons = ["".join(bases) for bases in itertools.product("ACGT", repeat=3)]

    def codon_set(bits):
        return {codon for k, codon in enumerate(codons) if int(bits, 16) >> k & 1}

    assert [int(number) for number, *_ in entries] == sorted(tables) == TABLES
    for number, _, amino_acids, stops, starts, context in entries:
        table = tables[int(number)]
        assert codon_set(stops) == set(table.stop_codons)
        assert codon_set(starts) == set(table.start_codons)
        assert codon_set(context) == set(table.stop_codons) & set(table.forward_table)
        assert dict(zip(codons, amino_acids)) == {
            codon: "*" if codon in table.stop_codons else table.forward_table[codon] for codon in codons}
    listed = run("--list-tables").stdout.decode().splitlines()
    assert [int(line.split("\t")[0]) for line in listed] == TABLES
    assert [line for line in listed if "by context" in line] == [
        "27\tKaryorelict Nuclear (TGA: a stop or an amino acid by context; always a stop here)",
        "28\tCondylostoma Nuclear (TAA, TAG, TGA: a stop or an amino acid by context; always a stop here)",
        "31\tBlastocrithidia Nuclear (TAA, TAG: a stop or an amino acid by context; always a stop here)"]


def tool(*argv, **kwargs):
    # The tools are no part of the sanitized build: they run without its runtime.
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run([str(a) for a in argv], env=plain, check=True, capture_output=True, text=True,
                          timeout=TIMEOUT, **kwargs).stdout


@pytest.mark.skipif(shutil.which("bedtools") is None or shutil.which("transeq") is None,
                    reason="bedtools or EMBOSS transeq is not installed")
@pytest.mark.parametrize("mode", ["between-stops", "start-stop"])
def test_bedtools_cuts_our_bases_and_transeq_translates_them(tmp_path, lambda_fasta, mode):
    orfs = ["--orfs", mode, "--include-stop", "--min-length", "90"]
    bed = tmp_path / "orfs.bed"
    bed.write_bytes(run(*orfs, "--format", "bed", lambda_fasta).stdout)
    cut = tool("bedtools", "getfasta", "-fi", lambda_fasta, "-bed", bed, "-s", "-tab")
    bases = run(*orfs, "--format", "fasta", lambda_fasta).stdout.decode().splitlines()[1::2]
    assert len(bases) > 100 and [line.split("\t")[1] for line in cut.splitlines()] == bases
    fasta = tmp_path / "orfs.fa"
    fasta.write_text("".join(f">s{i}\n{b}\n" for i, b in enumerate(bases)))
    translated = tool("transeq", "-sequence", fasta, "-outseq", "stdout", "-auto").split(">")[1:]
    proteins = run(*orfs, "--format", "protein", lambda_fasta).stdout.decode().splitlines()[1::2]
    expected = ["".join(entry.splitlines()[1:]) for entry in translated]
    if mode == "start-stop":
        expected = ["M" + p[1:] for p in expected]
    assert proteins == expected


@pytest.mark.skipif(shutil.which("gt") is None, reason="genometools is not installed")
@pytest.mark.parametrize("args", [["--orfs", "start-stop"], ["--orfs", "between-stops", "--include-stop"], []])
def test_genometools_accepts_the_gff3(tmp_path, lambda_fasta, records, args):
    path = tmp_path / "in.fa"
    path.write_text(lambda_fasta.read_text() + "".join(f">{n or 'x'}\n{s}\n" for n, s in records if n != "one"))
    gff = tmp_path / "orfs.gff3"
    gff.write_bytes(run(*args, "--format", "gff3", "--min-length", "3", path).stdout if args else
                    run("--format", "gff3", path).stdout)
    tool("gt", "gff3validator", gff)


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="emulated processes report the emulator's memory")
@pytest.mark.skipif(os.environ.get("MARLINOX_SANITIZED") == "1", reason="sanitizers hold memory of their own")
def test_a_million_orfs_of_one_record_stay_in_bounded_memory(tmp_path):
    rng = random.Random(11)
    (tmp_path / "in.fa").write_bytes(b">big\n" + rng.randbytes(10_000_000).translate(bytes(b"ACGT"[i & 3] for i in range(256))) + b"\n")
    assert peak_memory_mib("--orfs", "between-stops", "--min-length", "3", tmp_path / "in.fa") < 400
