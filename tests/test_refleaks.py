"""Reference and memory-block leaks, measured with the debug interpreter
(python3.14d): every function on valid input and on every kind of error path
must leave sys.gettotalrefcount() and sys.getallocatedblocks() where they were."""

import gc
import sys

import pytest

import marlinox

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug build of the interpreter")

ROUNDS = 200


def panic():
    try:
        marlinox.calculate_stop_free_run(["ATGÉ"])
    except BaseException as error:
        return error
    raise AssertionError("no PanicException")


class RaisingIter(list):
    def __init__(self, error):
        super().__init__(["ACGT"])
        self.error = error

    def __iter__(self):
        # Raising one object again and again would grow its traceback chain.
        raise self.error.with_traceback(None)


class BadLen(list):
    def __len__(self):
        raise RuntimeError("len")


class Unprintable(TypeError):
    def __str__(self):
        raise ValueError("no str")


class Index:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 0.25


CALLS = {
    # valid input
    "run": lambda: marlinox.calculate_stop_free_run(["ATGTAA", "", "acgtn" * 20]),
    "run ids": lambda: marlinox.calculate_stop_free_runs_with_ids([("a", "ATGTAA"), ("", "TAA")]),
    "ratio": lambda: marlinox.calculate_stop_free_run_with_ratio([("a", "ATGTAA"), ("b", "")]),
    "gc": lambda: marlinox.calculate_gc_content([("a", "GCAT"), ("b", "é")]),
    "probability": lambda: marlinox.calculate_run_probability(
        [("a", 10), ("b", Index()), ("a", True)], [("a", 0.5), ("a", Floaty()), ("c", 1)]),
    "empty": lambda: marlinox.calculate_run_probability([], []),
    "bad len": lambda: marlinox.calculate_stop_free_run(BadLen(["ATG"])),
    # binding errors
    "too many": lambda: marlinox.calculate_stop_free_run([], []),
    "unexpected keyword": lambda: marlinox.calculate_stop_free_run(seqs=[]),
    "surrogate keyword": lambda: marlinox.calculate_stop_free_run(**{"\ud800": []}),
    "multiple values": lambda: marlinox.calculate_stop_free_run([], sequences=[]),
    "missing": lambda: marlinox.calculate_run_probability(),
    # conversion errors
    "str argument": lambda: marlinox.calculate_stop_free_run("ACGT"),
    "not a sequence": lambda: marlinox.calculate_stop_free_run({"a": 1}),
    "none": lambda: marlinox.calculate_stop_free_run(None),
    "bad item": lambda: marlinox.calculate_stop_free_run(["ACG", "ACG", 5]),
    "surrogate": lambda: marlinox.calculate_stop_free_run(["\ud800"]),
    "not a tuple": lambda: marlinox.calculate_gc_content([["a", "ACG"]]),
    "tuple length": lambda: marlinox.calculate_gc_content([("a", "ACG", "x")]),
    "int overflow": lambda: marlinox.calculate_run_probability([("a", 2**31)], []),
    "int type": lambda: marlinox.calculate_run_probability([("a", 1.5)], []),
    "float type": lambda: marlinox.calculate_run_probability([], [("a", "0.5")]),
    "float overflow": lambda: marlinox.calculate_run_probability([], [("a", 10**400)]),
    "iter TypeError with cause": lambda: marlinox.calculate_stop_free_run(
        RaisingIter(TypeError("boom"))),
    "iter ValueError": lambda: marlinox.calculate_stop_free_run(RaisingIter(ValueError("boom"))),
    "unprintable TypeError": lambda: marlinox.calculate_stop_free_run(RaisingIter(Unprintable())),
    # internal failures
    "kernel failure": lambda: marlinox.calculate_stop_free_runs_with_ids([("a", "ACGT"), ("b", "ATGÉ")]),
    "panic from python": lambda: marlinox.calculate_stop_free_run(RaisingIter(PANIC)),
    "unprintable keyword": lambda: marlinox.calculate_gc_content(**{"\udcff": 1}),
}

PANIC = None


def call_once(call):
    try:
        call()
    except BaseException:
        pass


@pytest.fixture(autouse=True, scope="module")
def quiet_stderr():
    """Internal failures write diagnostics to fd 2 and the unraisable hook prints;
    keep the test log readable."""
    global PANIC
    PANIC = panic()
    hook = sys.unraisablehook
    sys.unraisablehook = lambda info: None
    yield
    sys.unraisablehook = hook


def counts():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.mark.parametrize("name", list(CALLS))
def test_no_leak(name, capfd):
    call = CALLS[name]
    for _ in range(20):  # warm caches: interned names, classes, the pool
        call_once(call)
    before = counts()
    for _ in range(ROUNDS):
        call_once(call)
    after = counts()
    capfd.readouterr()
    refs, blocks = after[0] - before[0], after[1] - before[1]
    # A leak of one reference or block per call shows up as >= ROUNDS.
    assert refs < ROUNDS // 10 and blocks < ROUNDS // 10, (name, refs, blocks)
