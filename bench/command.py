"""The marlinox command against `seqkit fx2tab -n -g -l -j 2` on the same files.

    python3.14 bench/command.py [--genomes DIR] [--repeats 5] [--build-dir DIR] [--quick]

Data (made once, kept in build/bench-data/command/): 1,000,000 seeded random
reads of 150 bp as FASTA and as FASTQ, the FASTQ gzip-compressed, and 250 MB
of whole genomes (the real genomes in --genomes, see tools/bench.sh, repeated
as records of their own) as plain FASTA and as BGZF (bgzip -@2). Before any
timing, the command's table on every file must equal the table of
examples/fasta_pipeline.py (dnaio records through the Python API).

Both tools run with two threads on the same files, the page cache warm, each
writing into a pipe that this process drains; the rounds interleave the tools
and the files, and the table shows medians and the spread of the per-round
ratios. `getorf -find 0` (EMBOSS) on a real genome is timed for comparison.

In the same rounds the command also runs with `--columns all`, `--format bed`,
`--max-evalue 0.001`, `--orfs between-stops --min-length 300 --format bed`,
and the genetic codes `--table 2` (other stops) and `--table 11` (the standard
stops, other starts), reported as ratios to its default table (the codes' bound:
1.3); with `--previous BIN` (the command of an earlier build), so does that
build's default table.

The ORF mode then runs against `getorf -find 2` and `-find 3` (EMBOSS, its
ORFs written to a file) with `--orfs between-stops` / `start-stop --format
bed`, both at the default minimum of 30 bases, on the reads as FASTA, E. coli
K-12 MG1655 and the 156 contigs of its assembly (ragout's example), in
--orf-repeats interleaved rounds (getorf on a million reads takes tens of
seconds: --orf-reads caps the reads given to both); with `--previous BIN`,
that build's ORF mode runs in the same rounds.
"""

import argparse
import gzip
import hashlib
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
EXAMPLE = ROOT / "examples" / "fasta_pipeline.py"
GENOME_FILES = ["NC_008253.fna.gz", "MG1655-K12.fasta.gz", "N315.fasta.gz", "lambda_virus.fa.gz"]
ACGT = bytes(b"ACGT"[i & 3] for i in range(256))
QUALITY = b"I" * 100 + b"5" * 50


# --- data ---------------------------------------------------------------------


def write_reads(directory: Path, count: int) -> None:
    rng = random.Random(20261207)
    with open(directory / "reads.fa", "wb") as fa, open(directory / "reads.fq", "wb") as fq:
        for start in range(0, count, 100_000):
            block = min(100_000, count - start)
            bases = rng.randbytes(150 * block).translate(ACGT)
            for i in range(block):
                read = bases[150 * i:150 * (i + 1)]
                name = b"read%d" % (start + i)
                fa.write(b">%s\n%s\n" % (name, read))
                fq.write(b"@%s\n%s\n+\n%s\n" % (name, read, QUALITY))
    subprocess.run(f"gzip -6 -c {directory / 'reads.fq'} > {directory / 'reads.fq.gz'}",
                   shell=True, check=True)


def read_genomes(genome_dir: Path) -> list[tuple[bytes, bytes]]:
    records = []
    for name in GENOME_FILES:
        path = genome_dir / name
        if not path.exists():
            continue
        header, parts = None, []
        for line in gzip.open(path):
            if line.startswith(b">"):
                if header is not None:
                    records.append((header, b"".join(parts)))
                header, parts = line[1:].split()[0], []
            else:
                parts.append(line.strip())
        if header is not None:
            records.append((header, b"".join(parts)))
    return records


def write_genomes(directory: Path, genome_dir: Path, total: int) -> None:
    records = read_genomes(genome_dir)
    if not records:
        sys.exit(f"bench: no genomes in {genome_dir} (run tools/bench.sh)")
    written, copy = 0, 0
    with open(directory / "genomes.fa", "wb") as out:
        while written < total:
            for header, sequence in records:
                out.write(b">%s_copy%d whole genome\n" % (header, copy))
                for i in range(0, len(sequence), 60):
                    out.write(sequence[i:i + 60] + b"\n")
                written += len(sequence)
                if written >= total:
                    break
            copy += 1
    subprocess.run(f"bgzip -@2 -c {directory / 'genomes.fa'} > {directory / 'genomes.fa.gz'}",
                   shell=True, check=True)


def make_data(directory: Path, genome_dir: Path, reads: int, genome_bytes: int) -> dict[str, Path]:
    directory.mkdir(parents=True, exist_ok=True)
    stamp = directory / f"complete-{reads}-{genome_bytes}"
    if not stamp.exists():
        for old in directory.glob("complete-*"):
            old.unlink()
        print("making the data sets ...", flush=True)
        write_reads(directory, reads)
        write_genomes(directory, genome_dir, genome_bytes)
        stamp.touch()
    return {"reads FASTA": directory / "reads.fa", "reads FASTQ": directory / "reads.fq",
            "reads FASTQ gzip": directory / "reads.fq.gz", "genomes FASTA": directory / "genomes.fa",
            "genomes BGZF": directory / "genomes.fa.gz"}


# --- running ------------------------------------------------------------------


def build(build_dir: Path | None) -> Path:
    if build_dir is None:
        build_dir = ROOT / "build" / f"bench-{platform.machine()}"
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", "-DMARLINOX_COMMAND=ON",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(build_dir), "-j2"], check=True, stdout=subprocess.DEVNULL)
    return build_dir


def digest_of(argv: list[str], env: dict[str, str] | None = None) -> str:
    """Run argv; return the sha256 of its standard output."""
    digest = hashlib.sha256()
    with subprocess.Popen(argv, stdout=subprocess.PIPE, env=env) as process:
        while chunk := process.stdout.read(1 << 20):
            digest.update(chunk)
    if process.returncode != 0:
        sys.exit(f"bench: {' '.join(argv)} exited with status {process.returncode}")
    return digest.hexdigest()


def timed(argv: list[str]) -> tuple[float, float]:
    """(wall seconds, CPU seconds) of argv, its output drained from a pipe."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE)
    while process.stdout.read(1 << 20):
        pass
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.stdout.close()
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        sys.exit(f"bench: {' '.join(argv)} exited with status {process.returncode}")
    return elapsed, usage.ru_utime + usage.ru_stime


def warm(path: Path) -> None:
    with open(path, "rb") as handle:
        while handle.read(1 << 24):
            pass


def median(samples: list[tuple[float, float]], field: int) -> float:
    return statistics.median(sample[field] for sample in samples)


def spread(values: list[float]) -> str:
    return f"{min(values):.2f}–{max(values):.2f}"


def cpu_model() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith(("model name", "Model")):
            return line.split(":", 1)[1].strip()
    return "unknown cpu"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--genomes", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--build-dir", type=Path, help="a build tree holding bin/marlinox and the module")
    parser.add_argument("--quick", action="store_true", help="100,000 reads and 25 MB of genomes")
    parser.add_argument("--previous", type=Path,
                        help="the marlinox command of an earlier build, timed alongside (the ORF rounds too)")
    parser.add_argument("--orf-repeats", type=int, default=10)
    parser.add_argument("--orf-reads", type=int, default=1_000_000, help="most reads in the ORF rounds")
    parser.add_argument("--orfs-only", action="store_true", help="only the ORF mode against getorf")
    args = parser.parse_args()

    build_dir = build(args.build_dir)
    marlinox = str(build_dir / "bin" / "marlinox")
    reads, genome_bytes = (100_000, 25_000_000) if args.quick else (1_000_000, 250_000_000)
    data_dir = ROOT / "build" / "bench-data" / ("command-quick" if args.quick else "command")
    files = make_data(data_dir, args.genomes, reads, genome_bytes)

    if args.orfs_only:
        print_machine(marlinox)
        orfs_against_getorf(marlinox, files["reads FASTA"], args, data_dir)
        return

    env = dict(os.environ, PYTHONPATH=str(build_dir))
    for label, path in files.items():
        ours = digest_of([marlinox, "--no-progress", str(path)])
        api = digest_of([sys.executable, str(EXAMPLE), str(path)], env)
        if ours != api:
            sys.exit(f"bench: the command's table of {path} differs from the Python API's")
        print(f"{label}: the command's table equals the Python API's", flush=True)

    tools = {
        "marlinox": lambda path: [marlinox, "--no-progress", "-j", "2", str(path)],
        "seqkit": lambda path: ["seqkit", "fx2tab", "-n", "-g", "-l", "-j", "2", str(path)],
    }
    # Ratios to the default table, in the same rounds.
    variants = {
        "--columns all": ["--columns", "all"],
        "--format bed": ["--format", "bed"],
        "--max-evalue 0.001": ["--max-evalue", "0.001"],
        "--orfs between-stops --min-length 300 --format bed":
            ["--orfs", "between-stops", "--min-length", "300", "--format", "bed"],
        "--table 2": ["--table", "2"],
        "--table 11": ["--table", "11"],
    }
    # Another genetic code costs at most this much of the default table's time.
    table_bound = 1.3
    for name, options in variants.items():
        tools[name] = lambda path, options=options: [marlinox, "--no-progress", "-j", "2", *options, str(path)]
    if args.previous:
        variants["previous build"] = []
        tools["previous build"] = lambda path: [str(args.previous), "--no-progress", "-j", "2", str(path)]
    baselines = {
        "reads FASTQ gzip": ["gzip", "-dc", str(files["reads FASTQ gzip"])],
        "genomes BGZF": ["bgzip", "-d", "-@2", "-c", str(files["genomes BGZF"])],
    }
    samples: dict[tuple[str, str], list[tuple[float, float]]] = {}
    for label, path in files.items():
        warm(path)
        for tool, argv in tools.items():
            timed(argv(path))
    print(f"timing {len(files)} files x {len(tools)} runs, {args.repeats} interleaved rounds ...",
          flush=True)
    # The runs of a round in a shuffled order: whatever runs first after
    # another file's runs is slower, and a fixed order would put that on the
    # default table, the ratios' denominator.
    order = random.Random(1)
    for _ in range(args.repeats):
        for label, path in files.items():
            runs = list(tools.items())
            order.shuffle(runs)
            for tool, argv in runs:
                samples.setdefault((label, tool), []).append(timed(argv(path)))
            if label in baselines:
                samples.setdefault((label, "baseline"), []).append(timed(baselines[label]))

    genome = args.genomes / "MG1655-K12.fasta.gz"
    getorf = None
    if shutil.which("getorf") and genome.exists():
        plain = data_dir / "MG1655-K12.fasta"
        plain.write_bytes(gzip.decompress(genome.read_bytes()))
        warm(plain)
        getorf_argv = ["getorf", "-sequence", str(plain), "-find", "0", "-outseq", "stdout", "-auto"]
        getorf = [statistics.median(timed(getorf_argv)[0] for _ in range(3)),
                  statistics.median(timed(tools["marlinox"](plain))[0] for _ in range(3)),
                  plain.stat().st_size]

    print_machine(marlinox)
    print("| data | size | marlinox | seqkit | seqkit / marlinox (spread) | CPU s marlinox / seqkit |")
    print("|---|---|---|---|---|---|")
    for label, path in files.items():
        ours, theirs = samples[(label, "marlinox")], samples[(label, "seqkit")]
        ratios = [t[0] / o[0] for t, o in zip(theirs, ours)]
        print(f"| {label} | {path.stat().st_size / 1e6:.0f} MB | {median(ours, 0):.3f} s | "
              f"{median(theirs, 0):.3f} s | {statistics.median(ratios):.2f} ({spread(ratios)}) | "
              f"{median(ours, 1):.2f} / {median(theirs, 1):.2f} |")
    print()
    print("| data | " + " | ".join(f"{name} / default (spread)" for name in variants) + " |")
    print("|---|" + "---|" * len(variants))
    for label in files:
        ours = samples[(label, "marlinox")]
        cells = []
        for name in variants:
            ratios = [v[0] / o[0] for v, o in zip(samples[(label, name)], ours)]
            cells.append(f"{statistics.median(ratios):.3f} ({min(ratios):.3f}–{max(ratios):.3f})")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print()
    for name in ["--table 2", "--table 11"]:
        # Wall time, and processor time, which a busy machine disturbs less.
        worst = [max(statistics.median(v[field] / o[field] for v, o in zip(samples[(label, name)],
                                                                          samples[(label, "marlinox")]))
                     for label in files) for field in (0, 1)]
        verdict = "within" if worst[0] <= table_bound else "ABOVE"
        print(f"{name}: at most {worst[0]:.3f} x the default table's time ({worst[1]:.3f} x its processor "
              f"time), {verdict} the bound of {table_bound}")
    print()
    for label, argv in baselines.items():
        print(f"{' '.join(argv[:-1])} alone ({label}): {median(samples[(label, 'baseline')], 0):.3f} s")
    if getorf:
        print(f"getorf -find 0 on E. coli K-12 MG1655 ({getorf[2] / 1e6:.1f} MB): {getorf[0]:.3f} s; "
              f"marlinox on the same file: {getorf[1]:.3f} s")
    orfs_against_getorf(marlinox, files["reads FASTA"], args, data_dir)


def print_machine(marlinox: str) -> None:
    print()
    print(f"machine: {platform.machine()}, {cpu_model()}, {os.cpu_count()} cpus; "
          f"{time.strftime('%Y-%m-%d')}; {version([marlinox, '--version'])}; "
          f"{version(['seqkit', 'version'])}")
    print()


def orfs_against_getorf(marlinox: str, reads: Path, args: argparse.Namespace, data_dir: Path) -> None:
    """The ORF mode against getorf, which reads plain FASTA only, on the same files."""
    if not shutil.which("getorf"):
        print("getorf is not installed: no ORF rounds")
        return
    files = {}
    for label, name in [("E. coli K-12 MG1655", "MG1655-K12.fasta.gz"), ("156 contigs", "mg1655_contigs.fasta.gz")]:
        packed = args.genomes / name
        if packed.exists():
            files[label] = data_dir / name.removesuffix(".gz")
            files[label].write_bytes(gzip.decompress(packed.read_bytes()))
    with open(reads, "rb") as whole, open(data_dir / "orf-reads.fa", "wb") as part:
        for _ in range(2 * args.orf_reads):
            line = whole.readline()
            if not line:
                break
            part.write(line)
    files[f"reads FASTA ({args.orf_reads:,})"] = data_dir / "orf-reads.fa"
    out = data_dir / "getorf-out.fa"
    modes = {"between-stops": "2", "start-stop": "3"}
    runs = {}
    for mode, find in modes.items():
        runs[(mode, "marlinox")] = lambda path, mode=mode: [marlinox, "--no-progress", "-j", "2", "--orfs", mode,
                                                            "--format", "bed", str(path)]
        runs[(mode, "getorf")] = lambda path, find=find: ["getorf", "-sequence", str(path), "-find", find,
                                                          "-outseq", str(out), "-auto"]
        if args.previous:
            runs[(mode, "previous")] = lambda path, mode=mode: [str(args.previous), "--no-progress", "-j", "2",
                                                                "--orfs", mode, "--format", "bed", str(path)]
    samples: dict[tuple[str, str, str], list[float]] = {}
    for path in files.values():
        warm(path)
    print(f"timing the ORF mode: {len(files)} files x {len(runs)} runs, {args.orf_repeats} interleaved rounds ...",
          flush=True)
    for _ in range(args.orf_repeats):
        for label, path in files.items():
            for (mode, tool), argv in runs.items():
                samples.setdefault((label, mode, tool), []).append(timed(argv(path))[0])
    out.unlink(missing_ok=True)
    print()
    previous = " previous build / marlinox (spread) |" if args.previous else ""
    print("| data | mode | marlinox | getorf | getorf / marlinox (spread) |" + previous)
    print("|---|---|---|---|---|" + ("---|" if args.previous else ""))
    for label in files:
        for mode, find in modes.items():
            ours, theirs = samples[(label, mode, "marlinox")], samples[(label, mode, "getorf")]
            ratios = [t / o for t, o in zip(theirs, ours)]
            row = (f"| {label} | {mode} (getorf -find {find}) | {statistics.median(ours):.3f} s | "
                   f"{statistics.median(theirs):.3f} s | {statistics.median(ratios):.1f} ({spread(ratios)}) |")
            if args.previous:
                before = [p / o for p, o in zip(samples[(label, mode, "previous")], ours)]
                row += f" {statistics.median(before):.2f} ({spread(before)}) |"
            print(row)


def version(argv: list[str]) -> str:
    return subprocess.run(argv, capture_output=True, text=True).stdout.strip().splitlines()[0]


if __name__ == "__main__":
    main()
