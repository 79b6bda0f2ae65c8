"""The worker pool as a user sees it: its size from the environment, when it is
created, and which thread runs a batch. Each case runs in a fresh interpreter,
since the size is read once per process."""

import os
import subprocess
import sys
import textwrap

import pytest

import marlinox

MODULE_DIR = os.path.dirname(marlinox.__file__)

PROBE = """
import os, sys
def threads():
    return len(os.listdir("/proc/self/task"))
if len(sys.argv) > 1:
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
import marlinox
before = threads()
marlinox.calculate_stop_free_run([])          # an empty batch creates the pool
after_empty = threads()
marlinox.calculate_gc_content([("a", "GC")] * 50)
print(after_empty - before, threads() - before)
"""


def run_probe(env, *args):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment["PYTHONPATH"] = MODULE_DIR
    environment = {k.encode(): v.encode() if isinstance(v, str) else v for k, v in environment.items()}
    for key, value in env.items():
        if value is not None:
            environment[key.encode()] = value if isinstance(value, bytes) else value.encode()
    result = subprocess.run([sys.executable, "-c", PROBE, *args], env=environment,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    created, total = map(int, result.stdout.split())
    assert created == total, "the pool must not grow after its creation"
    return created


@pytest.fixture(scope="module")
def default_size():
    return run_probe({})


def test_default_size_is_the_processors_available(default_size):
    assert 1 <= default_size <= min(255, len(os.sched_getaffinity(0)))


def test_default_follows_the_affinity_mask():
    assert run_probe({}, "one-cpu") == 1


@pytest.mark.parametrize("num_threads, rs_num_cpus, expected", [
    ("3", None, 3),
    ("3", "5", 3),
    ("+4", None, 4),
    ("1", None, 1),
    ("1000", None, 255),
    ("4294967295", None, 255),
    ("4294967296", "3", 3),
    (" 4", "3", 3),
    ("4 ", "3", 3),
    ("-4", "3", 3),
    ("+", "3", 3),
    ("++4", "3", 3),
    ("four", "3", 3),
    ("", "3", 3),
    ("٣", "3", 3),          # a non-ASCII digit is not a digit here
    (b"\xff4", "3", 3),     # not UTF-8: as if unset
    (None, "5", 5),
    (None, "+2", 2),
    (None, "2000", 255),
])
def test_requested_size(num_threads, rs_num_cpus, expected):
    assert run_probe({"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_num_cpus}) == expected


@pytest.mark.parametrize("num_threads, rs_num_cpus", [
    ("0", "3"),      # 0 selects the default and the second variable is not read
    ("00", "7"),
    (None, "0"),
    (None, "x"),
])
def test_default_selected(num_threads, rs_num_cpus, default_size):
    assert run_probe({"RAYON_NUM_THREADS": num_threads, "RAYON_RS_NUM_CPUS": rs_num_cpus}) == default_size


FAILING_BATCH = """
import marlinox
try:
    marlinox.calculate_stop_free_run(%r)
except BaseException as error:
    print(type(error).__name__)
"""


@pytest.mark.parametrize("batch, on_worker", [
    (["ATGÉ"], False),              # one item: the calling thread
    (["ATGÉ", "ACGT"], True),       # two or more: always the pool, even with one worker
    (["ACGT"] * 40 + ["ATGÉ"], True),
])
def test_which_thread_runs_a_batch(batch, on_worker):
    environment = dict(os.environ, PYTHONPATH=MODULE_DIR, RAYON_NUM_THREADS="1")
    result = subprocess.run([sys.executable, "-c", FAILING_BATCH % (batch,)], env=environment,
                            capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "PanicException", result.stderr
    names = [line.split("'")[1] for line in result.stderr.splitlines() if line.startswith("thread '")]
    assert len(names) == 1
    assert names[0].startswith("marlinox-") == on_worker, names
