"""marlinox benchmark: builds the module and the kernel microbenchmarks, makes
the data sets, times marlinox against its peers interleaved in one process and
prints a table of medians and rates, then the ratios between them.

    python3.14 bench/run.py [--genomes DIR] [--repeats 5] [--module-dir DIR] [--quick]

Synthetic sets are seeded: 10,000 random ACGT texts of 10 kb (100 MB) and
1,000,000 reads of 150 bp. Real genomes are read from --genomes (gzipped FASTA,
see tools/bench.sh); missing ones are skipped.
"""

import argparse
import ctypes
import gc
import gzip
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

GENOMES = {
    "phage lambda": "lambda_virus.fa.gz",
    "E. coli 536": "NC_008253.fna.gz",
    "E. coli K-12 MG1655": "MG1655-K12.fasta.gz",
    "S. aureus N315": "N315.fasta.gz",
}
NUMPY_READS = 20_000  # numpy spends tens of microseconds per short read: a subset
ACGT = bytes(b"ACGT"[i & 3] for i in range(256))


# --- data ---------------------------------------------------------------------


def random_texts(seed, count, length):
    rng = random.Random(seed)
    blob = rng.randbytes(count * length).translate(ACGT).decode("ascii")
    return [blob[i * length:(i + 1) * length] for i in range(count)]


def read_fasta(path):
    records, name, parts = [], None, []
    with gzip.open(path, "rt", encoding="ascii", errors="replace") as handle:
        for line in handle:
            if line.startswith(">"):
                if name is not None:
                    records.append((name, "".join(parts)))
                name, parts = line[1:].split()[0], []
            else:
                parts.append(line.strip())
    if name is not None:
        records.append((name, "".join(parts)))
    return records


# --- build --------------------------------------------------------------------


def build(module_dir):
    if module_dir:
        return Path(module_dir), None
    arch = platform.machine()
    build_dir = ROOT / "build" / f"bench-{arch}"
    kernels_dir = ROOT / "build" / f"bench-kernels-{arch}"
    generator = ["-G", "Ninja"] if subprocess.run(["sh", "-c", "command -v ninja"],
                                                  capture_output=True).returncode == 0 else []
    for source, target, extra in ((ROOT, build_dir, [f"-DPython_EXECUTABLE={sys.executable}"]),
                                  (HERE / "kernels", kernels_dir, [])):
        subprocess.run(["cmake", "-S", str(source), "-B", str(target), *generator,
                        "-DCMAKE_BUILD_TYPE=Release", *extra], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(target), "-j2"], check=True, stdout=subprocess.DEVNULL)
    return build_dir, kernels_dir / "marlinox_kernel_bench"


# --- timing -------------------------------------------------------------------


class Timings:
    """Runs every task once per round, round after round, and keeps medians."""

    def __init__(self):
        self.tasks, self.samples = {}, {}

    def add(self, name, fn):
        self.tasks[name] = fn
        self.samples[name] = []

    def run(self, rounds):
        for _ in range(rounds):
            for name, fn in self.tasks.items():
                gc.collect()
                start = time.perf_counter()
                fn()
                self.samples[name].append(time.perf_counter() - start)

    def median(self, name):
        return statistics.median(self.samples[name])

    def ratio(self, numerator, denominator):
        """Median, lowest and highest of the per-round ratios of two tasks."""
        ratios = sorted(a / b for a, b in zip(self.samples[numerator], self.samples[denominator]))
        return statistics.median(ratios), ratios[0], ratios[-1]


def per_call(fn, calls=2000):
    samples = []
    for _ in range(calls):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def mbps(nbytes, seconds):
    return nbytes / seconds / 1e6


# --- child processes: pool size and memory ---------------------------------------


CHILD_TIMING = """
import sys, time, statistics
sys.path[:0] = [{module!r}, {bench!r}]
import run, marlinox
texts = run.random_texts(1, 10000, 10000)
marlinox.calculate_stop_free_run(texts)
samples = []
for _ in range({rounds}):
    t = time.perf_counter(); marlinox.calculate_stop_free_run(texts); samples.append(time.perf_counter() - t)
print(statistics.median(samples))
"""

CHILD_MEMORY = """
import sys, gc
sys.path[:0] = [{module!r}, {bench!r}]
import run, marlinox

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

texts = run.random_texts(1, 10000, 10000)
pairs = [(str(i), s) for i, s in enumerate(texts)]
marlinox.calculate_stop_free_run(texts[:4]); marlinox.calculate_gc_content(pairs[:4])
out = {{}}
for name, call in (("calculate_stop_free_run", lambda: marlinox.calculate_stop_free_run(texts)),
                   ("calculate_gc_content", lambda: marlinox.calculate_gc_content(pairs))):
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak resident size to the current one
    before = status("VmRSS")
    result = call()
    peak = status("VmHWM") - before
    del result
    gc.collect()
    after_one = status("VmRSS")
    for _ in range(10):
        call()
    gc.collect()
    out[name] = [peak, status("VmRSS") - after_one, sum(map(len, texts))]
print(run.json.dumps(out))
"""


def child(code, env_extra=None):
    env = dict(os.environ, **(env_extra or {}))
    env.pop("OPENBLAS_CORETYPE", None)
    env.pop("OPENBLAS_L2_SIZE", None)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return done.stdout.strip().splitlines()[-1]


# --- main ---------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--genomes", default=str(ROOT / "build" / "bench-data"))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--module-dir")
    parser.add_argument("--quick", action="store_true", help="smaller sets, for a smoke run")
    args = parser.parse_args()

    module_dir, kernel_bench = build(args.module_dir)
    sys.path.insert(0, str(module_dir))
    import numpy as np
    import marlinox
    import peers

    rounds = args.repeats
    n_long, n_reads = (1000, 100_000) if args.quick else (10_000, 1_000_000)
    long_texts = random_texts(1, n_long, 10_000)
    reads = random_texts(2, n_reads, 150)
    read_pairs = [(f"read{i}", s) for i, s in enumerate(reads)]
    long_pairs = [(f"seq{i}", s) for i, s in enumerate(long_texts)]
    long_bytes = sum(map(len, long_texts))
    bio_subset = long_texts[:20]
    numpy_reads = reads[:NUMPY_READS]
    bio_bytes = sum(map(len, bio_subset))

    # Every peer must agree with marlinox before it is timed.
    sample = long_texts[:50] + reads[:2000]
    expected = marlinox.calculate_stop_free_run(sample)
    for peer in (peers.numpy_stop_free_run, peers.python_stop_free_run):
        assert [peer(s) for s in sample] == expected, peer.__name__
    assert [peers.biopython_stop_free_run(s) for s in sample[:60]] == expected[:60]
    assert [x for _, x in marlinox.calculate_gc_content(read_pairs[:5000])] == \
        [peers.str_count_gc(s) for s in reads[:5000]]
    runs = marlinox.calculate_stop_free_runs_with_ids(read_pairs)
    gcs = marlinox.calculate_gc_content(read_pairs)
    # Lookups in the order of the table would walk it like an array.
    random.Random(3).shuffle(gcs)
    assert marlinox.calculate_run_probability(runs[:5000], gcs[:5000]) == \
        peers.python_run_probability(runs[:5000], gcs[:5000])

    big = bytearray(long_bytes)
    target = bytearray(long_bytes)
    source_address = ctypes.addressof(ctypes.c_char.from_buffer(big))
    target_address = ctypes.addressof(ctypes.c_char.from_buffer(target))

    def memcpy():
        ctypes.memmove(target_address, source_address, long_bytes)

    t = Timings()
    # 100 MB set
    t.add("long: marlinox run", lambda: marlinox.calculate_stop_free_run(long_texts))
    t.add("long: numpy run", lambda: [peers.numpy_stop_free_run(s) for s in long_texts])
    t.add("long: pure Python run", lambda: [peers.python_stop_free_run(s) for s in long_texts])
    t.add("long: Biopython run (20 texts)", lambda: [peers.biopython_stop_free_run(s) for s in bio_subset])
    t.add("long: [s.encode() for s in seqs]", lambda: [s.encode() for s in long_texts])
    t.add("long: marlinox GC", lambda: marlinox.calculate_gc_content(long_pairs))
    t.add("long: str.count GC", lambda: [(i, peers.str_count_gc(s)) for i, s in long_pairs])
    t.add("long: memcpy", memcpy)
    t.add("long: copy into fresh memory", lambda: bytes(big))
    # reads
    t.add("reads: marlinox run", lambda: marlinox.calculate_stop_free_run(reads))
    t.add("reads: marlinox runs with ids", lambda: marlinox.calculate_stop_free_runs_with_ids(read_pairs))
    t.add("reads: marlinox GC", lambda: marlinox.calculate_gc_content(read_pairs))
    t.add(f"reads: numpy run ({NUMPY_READS} reads)", lambda: [peers.numpy_stop_free_run(s) for s in numpy_reads])
    t.add("reads: str.count GC", lambda: [(i, peers.str_count_gc(s)) for i, s in read_pairs])
    t.add("reads: [s.encode() for s in seqs]", lambda: [s.encode() for s in reads])
    t.add("reads: list(map(len, seqs))", lambda: list(map(len, reads)))
    t.add("reads: marlinox run probability", lambda: marlinox.calculate_run_probability(runs, gcs))
    t.add("reads: pure Python run probability", lambda: peers.python_run_probability(runs, gcs))

    genomes = []
    for label, name in GENOMES.items():
        path = Path(args.genomes) / name
        if not path.exists():
            print(f"(skipping {label}: {path} not found)")
            continue
        records = read_fasta(path)
        texts = [s for _, s in records]
        nbytes = sum(map(len, texts))
        assert marlinox.calculate_stop_free_run(texts) == [peers.numpy_stop_free_run(s) for s in texts]
        genomes.append((label, nbytes, len(texts)))
        t.add(f"{label}: marlinox run", lambda texts=texts: marlinox.calculate_stop_free_run(texts))
        t.add(f"{label}: numpy run", lambda texts=texts: [peers.numpy_stop_free_run(s) for s in texts])
        t.add(f"{label}: pure Python run", lambda texts=texts: [peers.python_stop_free_run(s) for s in texts])
        t.add(f"{label}: marlinox GC", lambda r=records: marlinox.calculate_gc_content(r))
        t.add(f"{label}: str.count GC", lambda r=records: [(i, peers.str_count_gc(s)) for i, s in r])

    print(f"timing {len(t.tasks)} tasks, {rounds} interleaved rounds ...", flush=True)
    t.run(rounds)

    # Hand-off: a 2-item batch goes to the pool, a 1-item batch runs on the caller.
    one, two = ["ACGTACGTTAA"], ["ACGTACGTTAA", "ACGTACGTTAA"]
    hand_off = per_call(lambda: marlinox.calculate_stop_free_run(two)) - \
        per_call(lambda: marlinox.calculate_stop_free_run(one))

    here = dict(module=str(module_dir), bench=str(HERE), rounds=rounds)
    single = float(child(CHILD_TIMING.format(**here), {"RAYON_NUM_THREADS": "1"}))
    default = float(child(CHILD_TIMING.format(**here)))
    memory = json.loads(child(CHILD_MEMORY.format(**here)))

    kernels = {}
    if kernel_bench:
        out = subprocess.run([str(kernel_bench), "--benchmark_format=json", "--benchmark_min_time=1s",
                              "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                             capture_output=True, text=True, check=True)
        for entry in json.loads(out.stdout)["benchmarks"]:
            if entry.get("aggregate_name") == "median":
                kernels[entry["run_name"].removesuffix("/real_time")] = entry.get("bytes_per_second", 0.0)

    report(t, long_bytes, bio_bytes, n_reads, genomes, hand_off, single, default, memory, kernels)


def report(t, long_bytes, bio_bytes, n_reads, genomes, hand_off, single, default, memory, kernels):
    m = t.median
    print()
    print(f"machine: {platform.machine()}, {cpu_model()}, {os.cpu_count()} cpus; "
          f"Python {platform.python_version()}; default pool")
    print()
    print(f"| task | median | rate |")
    print(f"|---|---|---|")
    for name in t.tasks:
        if name.startswith("reads: numpy"):
            rate = f"{m(name) / NUMPY_READS * 1e9:.0f} ns per read"
        elif name.startswith("reads:"):
            rate = f"{m(name) / n_reads * 1e9:.0f} ns per read"
        elif "Biopython" in name:
            rate = f"{mbps(bio_bytes, m(name)):.2f} MB/s"
        elif name.startswith("long:"):
            rate = f"{mbps(long_bytes, m(name)):.0f} MB/s"
        else:
            nbytes = next(n for label, n, _ in genomes if name.startswith(label))
            rate = f"{mbps(nbytes, m(name)):.0f} MB/s"
        print(f"| {name} | {m(name) * 1e3:.2f} ms | {rate} |")
    for name, rate in kernels.items():
        print(f"| kernel {name} (Google Benchmark, 1 core) | | {rate / 1e9:.2f} GB/s |")
    print()

    ratios = []
    memcpy_rate = kernels.get("memcpy")
    # Levels in the benchmark's order, from the plainest to the best.
    level_names = ("portable", "sse2", "avx2", "avx512", "avx512vbmi", "neon")
    levels = {k.split("/", 1)[1]: v for k, v in kernels.items()
              if k.startswith("stop_free_run/") and k.split("/", 1)[1] in level_names}
    if memcpy_rate and levels:
        below = None
        for level, rate in levels.items():
            ratios.append((f"run kernel {level} / memcpy over the same bytes", f"{rate / memcpy_rate:.3f}"))
            if below:
                ratios.append((f"run kernel {level} / {below} (rates)", f"{rate / levels[below]:.2f}"))
            located = kernels.get(f"located_scan/{level}")
            if located:
                ratios.append((f"located scan {level} / run kernel {level} (times)", f"{rate / located:.2f}"))
            below = level
    run_long = m("long: marlinox run")
    bio_rate = bio_bytes / m("long: Biopython run (20 texts)")
    ratios.append(("100 MB: numpy time / marlinox time", f"{m('long: numpy run') / run_long:.1f}"))
    ratios.append(("100 MB: marlinox rate / Biopython rate", f"{long_bytes / run_long / bio_rate:.0f}"))
    enc = m("long: [s.encode() for s in seqs]")
    ratios.append(("100 MB: encode time / marlinox time", f"{enc / run_long:.2f}"))
    enc_reads = m("reads: [s.encode() for s in seqs]")
    for name in ("reads: marlinox run", "reads: marlinox GC", "reads: marlinox runs with ids"):
        ratios.append((f"{name} time / encode time", f"{m(name) / enc_reads:.2f}"))
    ratios.append(("long: str.count GC time / marlinox GC time",
                   f"{m('long: str.count GC') / m('long: marlinox GC'):.1f}"))
    ratios.append(("reads: pure Python run probability time / marlinox time",
                   f"{m('reads: pure Python run probability') / m('reads: marlinox run probability'):.1f}"))
    ratios.append(("100 MB (separate processes): 1-thread time / default-pool time", f"{single / default:.2f}"))
    ratios.append(("2-item batch hand-off, µs", f"{hand_off * 1e6:.1f}"))
    for name, (peak, growth, input_bytes) in memory.items():
        ratios.append((f"{name}, 100 MB: peak added / input bytes", f"{peak / input_bytes:.3f}"))
        ratios.append((f"{name}, 100 MB: growth over 10 more calls, MB", f"{growth / 1e6:.2f}"))
    print("| measure | value |")
    print("|---|---|")
    for text, value in ratios:
        print(f"| {text} | {value} |")
    print()
    print("| ratio of the same round's times | median | lowest | highest |")
    print("|---|---|---|---|")
    for text, numerator, denominator in (
            ("run probability: pure Python / marlinox", "reads: pure Python run probability",
             "reads: marlinox run probability"),
            ("reads: runs with ids / [s.encode() for s in reads]", "reads: marlinox runs with ids",
             "reads: [s.encode() for s in seqs]"),
            ("reads: GC / [s.encode() for s in reads]", "reads: marlinox GC", "reads: [s.encode() for s in seqs]")):
        print(f"| {text} | " + " | ".join(f"{x:.2f}" for x in t.ratio(numerator, denominator)) + " |")


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith(("model name", "Model")):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown cpu"


if __name__ == "__main__":
    main()
