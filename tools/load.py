#!/usr/bin/env python3
"""Load runs of marlinox that print figures: one batch holding a large amount
of sequence, a batch of many tiny items, Python threads calling all five
functions at once, and calls running while a sub-interpreter imports the module
and the module is imported afresh.

    python3.14 tools/load.py [--gib 1.0] [--items 10000000] [--threads 8]
                             [--seconds 20] [--light]

Each scenario runs in a child process of its own, so its peak resident memory
(ru_maxrss) is measured alone. Every result is checked; the script exits non-zero
when any check fails. --light runs small sizes in a few seconds (CI).
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Scenario bodies run in the child; each prints one JSON line of figures.

BIG_BATCH = r"""
import json, resource, sys, time
import marlinox
target = int(sys.argv[1])
unit = "ATGAAACCCGGGTTTTAA"
piece = unit * ((1 << 20) // len(unit))     # about 1 MiB per item
tags = ["".join("ACGT"[(i >> (2 * k)) & 3] for k in range(8)) for i in range(target // len(piece) or 1)]
seqs = [piece + tag for tag in tags]        # distinct objects: the input really is that large
pairs = [(tag, s) for tag, s in zip(tags, seqs)]
input_bytes = sum(map(len, seqs))
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
runs = marlinox.calculate_stop_free_run(seqs)
t1 = time.perf_counter()
fractions = marlinox.calculate_gc_content(pairs)
t2 = time.perf_counter()
assert len(runs) == len(seqs) and len(fractions) == len(seqs)
for i in sorted({0, len(seqs) // 2, len(seqs) - 1}):
    assert runs[i] == marlinox.calculate_stop_free_run([seqs[i]])[0]
    assert fractions[i] == (tags[i], (seqs[i].count("G") + seqs[i].count("C")) / len(seqs[i]))
# Frame 0 of the reverse strand of the repeated unit holds no stop.
assert min(runs) >= len(piece) // 3 - 1, min(runs)
print(json.dumps({"bytes": input_bytes, "items": len(seqs), "run_seconds": t1 - t0,
                  "gc_seconds": t2 - t1, "rss_before_calls_kib": base,
                  "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

TINY_ITEMS = r"""
import json, resource, sys, time
import marlinox
n = int(sys.argv[1])
tiny = ["ATG", "TAA", "AT", "", "ACGTACGT", "taa"]
expected = [1, 1, 0, 0, 2, 1]
seqs = tiny * (n // len(tiny))
t0 = time.perf_counter()
runs = marlinox.calculate_stop_free_run(seqs)
t1 = time.perf_counter()
assert len(runs) == len(seqs) and runs[:6] == expected and runs[-6:] == expected
assert runs == expected * (n // len(tiny))
del runs
pairs = [("i", s) for s in seqs]
t2 = time.perf_counter()
with_ratio = marlinox.calculate_stop_free_run_with_ratio(pairs)
t3 = time.perf_counter()
assert len(with_ratio) == len(pairs) and with_ratio[4] == ("i", 2, 0.25)
print(json.dumps({"items": len(seqs), "run_seconds": t1 - t0, "ratio_seconds": t3 - t2,
                  "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

THREADS = r"""
import json, resource, sys, threading, time
import marlinox
threads, seconds = int(sys.argv[1]), float(sys.argv[2])
seqs = ["ATGAAATAGCCCGGGTTT", "TAATAATAA", "", "acgtn" * 40, "AÉA"] * 40
pairs = [(str(i), s) for i, s in enumerate(seqs)]
expected_runs = marlinox.calculate_stop_free_run(seqs)
expected_ratio = marlinox.calculate_stop_free_run_with_ratio(pairs)
expected_gc = marlinox.calculate_gc_content(pairs)
expected_ids = marlinox.calculate_stop_free_runs_with_ids(pairs)
expected_prob = marlinox.calculate_run_probability(expected_ids, expected_gc)
panic = None
try:
    marlinox.calculate_stop_free_run(["ATGÉ"])
except BaseException as error:
    panic = type(error)
calls = [0] * threads
errors = []
stop = time.monotonic() + seconds

# Each loop runs at least once, however busy the machine: the run checks
# something whatever the clock says.
def worker(k):
    try:
        first = True
        while first or time.monotonic() < stop:
            first = False
            assert marlinox.calculate_stop_free_run(seqs) == expected_runs
            assert marlinox.calculate_stop_free_runs_with_ids(pairs) == expected_ids
            assert marlinox.calculate_stop_free_run_with_ratio(pairs) == expected_ratio
            assert marlinox.calculate_gc_content(pairs) == expected_gc
            assert marlinox.calculate_run_probability(expected_ids, expected_gc) == expected_prob
            try:
                marlinox.calculate_stop_free_run(seqs + ["ATGÉ"])
                raise AssertionError("no failure")
            except BaseException as error:
                assert type(error) is panic, error
            calls[k] += 6
    except BaseException as error:
        errors.append(repr(error))

workers = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
for w in workers: w.start()
for w in workers: w.join(seconds + 120)
assert not any(w.is_alive() for w in workers), "a thread hangs"
assert not errors, errors
print(json.dumps({"threads": threads, "seconds": seconds, "calls": sum(calls),
                  "items_per_call": len(seqs),
                  "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""

INTERPRETERS = r"""
import _interpreters, importlib, json, resource, sys, threading, time
from concurrent import interpreters
import marlinox
seconds = float(sys.argv[1])
seqs = ["ATGTAA", "TAATAATAA", "ATGAAATAGCCCGGGTTT"] * 50
expected = [2, 3, 6] * 50
stop = time.monotonic() + seconds
calls, errors = [0], []
# Checked inside a sub-interpreter that shares the main interpreter's lock: a
# result, a conversion error and an internal failure.
SUB_CODE = '''
import marlinox
assert marlinox.calculate_stop_free_run(["ATGTAA"] * 5) == [2] * 5
assert marlinox.calculate_gc_content([("a", "GC")]) == [("a", 1.0)]
try:
    marlinox.calculate_stop_free_run(None)
    raise AssertionError("no TypeError")
except TypeError as error:
    assert str(error) == "argument 'sequences': 'None' is not an instance of 'Sequence'", error
try:
    marlinox.calculate_stop_free_run(["ATG\u00c9"])
    raise AssertionError("no failure")
except BaseException as error:
    assert type(error).__name__ == "PanicException", error
'''

def caller():
    try:
        first = True
        while first or time.monotonic() < stop:
            first = False
            assert marlinox.calculate_stop_free_run(seqs) == expected
            calls[0] += 1
    except BaseException as error:
        errors.append(repr(error))

thread = threading.Thread(target=caller)
thread.start()
shared, isolated_refused, reimports = 0, 0, 0
while reimports == 0 or time.monotonic() < stop:
    # A sub-interpreter with a lock of its own must refuse the module cleanly.
    isolated = interpreters.create()
    try:
        isolated.exec("import marlinox")
        raise AssertionError("an isolated sub-interpreter imported the module")
    except interpreters.ExecutionFailed as failure:
        assert "does not support loading in subinterpreters" in str(failure), failure
        isolated_refused += 1
    finally:
        isolated.close()
    legacy = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failure = _interpreters.exec(legacy, SUB_CODE)
        assert failure is None, failure
        shared += 1
    finally:
        _interpreters.destroy(legacy)
    sys.modules.pop("marlinox", None)
    fresh = importlib.import_module("marlinox")
    assert fresh.calculate_stop_free_run(seqs) == expected
    reimports += 1
thread.join(120)
assert not thread.is_alive() and not errors, errors
print(json.dumps({"seconds": seconds, "caller_calls": calls[0], "reimports": reimports,
                  "shared_lock_subinterpreters": shared, "isolated_refused": isolated_refused,
                  "peak_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def run_child(body, *args):
    start = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", body, *map(str, args)], capture_output=True,
                          text=True, timeout=3600)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr[-4000:])
        raise SystemExit(f"load scenario failed with exit code {proc.returncode}")
    figures = json.loads(proc.stdout.strip().splitlines()[-1])
    figures["wall_seconds"] = round(time.perf_counter() - start, 2)
    return figures


def mib(kib):
    return f"{kib / 1024:.0f} MiB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=float, default=1.0, help="sequence bytes in the big batch")
    parser.add_argument("--items", type=int, default=10_000_000, help="tiny items in one batch")
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=20.0, help="duration of the thread runs")
    parser.add_argument("--light", action="store_true", help="small sizes, for CI")
    options = parser.parse_args()
    if options.light:
        options.gib, options.items, options.seconds = 1 / 16, 300_000, 2.0

    big = run_child(BIG_BATCH, int(options.gib * (1 << 30)))
    print(f"big batch: {big['bytes']:,} bytes in {big['items']:,} items; "
          f"run {big['run_seconds']:.2f} s, gc {big['gc_seconds']:.2f} s; "
          f"peak RSS {mib(big['peak_rss_kib'])} (before the calls {mib(big['rss_before_calls_kib'])}; "
          f"input {mib(big['bytes'] / 1024)})")
    tiny = run_child(TINY_ITEMS, options.items)
    print(f"tiny items: {tiny['items']:,} items; run {tiny['run_seconds']:.2f} s, "
          f"ratio {tiny['ratio_seconds']:.2f} s; peak RSS {mib(tiny['peak_rss_kib'])}")
    threads = run_child(THREADS, options.threads, options.seconds)
    print(f"threads: {threads['threads']} threads for {threads['seconds']} s, "
          f"{threads['calls']:,} calls of {threads['items_per_call']} items, all results checked; "
          f"peak RSS {mib(threads['peak_rss_kib'])}")
    interp = run_child(INTERPRETERS, options.seconds)
    print(f"sub-interpreters and re-import: {interp['shared_lock_subinterpreters']} sub-interpreters "
          f"sharing the lock ran calls, {interp['isolated_refused']} isolated ones refused the import, "
          f"{interp['reimports']} re-imports, "
          f"{interp['caller_calls']:,} concurrent calls checked; peak RSS {mib(interp['peak_rss_kib'])}")


if __name__ == "__main__":
    main()
