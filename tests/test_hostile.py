"""Hostile Python objects: arguments whose methods lie, raise, mutate what is
being read, change type on every call, or call back into the module. Each call
must end in the result a plain-Python reading of the same objects gives, or in
the exception that reading predicts, and must leave no reference behind."""

import copy
import gc
import os
import sys
import threading
import weakref

import pytest
from hypothesis import given, settings, strategies as st

import marlinox
from conftest import float_error, long_error, panic_exception_type, same_float
from test_failures import run_python
from test_model import model_gc, model_run, model_single_probability

run = marlinox.calculate_stop_free_run
with_ids = marlinox.calculate_stop_free_runs_with_ids
ratio = marlinox.calculate_stop_free_run_with_ratio
gc_content = marlinox.calculate_gc_content
probability = marlinox.calculate_run_probability

# Examples per property; the emulated armhf run gets fewer.
HOSTILE_EXAMPLES = int(os.environ.get(
    "MARLINOX_HOSTILE_EXAMPLES", 15 if os.environ.get("MARLINOX_ARCH", "").startswith("arm") else 100))


def outcome(call):
    """The call's result, or (exception class, message) of what it raised."""
    try:
        return call()
    except BaseException as error:  # noqa: BLE001 - PanicException is a BaseException
        return type(error), str(error)


# --------------------------------------------------------------------------
# A plain-Python reading of an argument: what the module must deliver


class Refused(Exception):
    """The reading stops with this (exception class, message)."""

    def __init__(self, error_class, message):
        super().__init__(error_class, message)
        self.error_class, self.message = error_class, message


def type_name(obj):
    return "'None' is" if obj is None else f"'{type(obj).__qualname__}' object is"


def expect_text(obj):
    if not isinstance(obj, str):
        raise Refused(TypeError, f"{type_name(obj)} not an instance of 'str'")
    try:
        str.encode(obj)
    except UnicodeEncodeError as error:
        raise Refused(UnicodeEncodeError, str(error))
    return str.__str__(obj)


def expect_pair(obj, second):
    if not isinstance(obj, tuple):
        raise Refused(TypeError, f"{type_name(obj)} not an instance of 'tuple'")
    size = tuple.__len__(obj)
    if size != 2:
        raise Refused(ValueError, f"expected tuple of length 2, but got tuple of length {size}")
    return expect_text(tuple.__getitem__(obj, 0)), second(tuple.__getitem__(obj, 1))


def expect_int(obj):
    error = long_error(obj)
    if error is not None:
        raise Refused(type(error), str(error))
    value = obj.__index__() if not isinstance(obj, int) else int(obj)
    if not -2**31 <= value < 2**31:
        raise Refused(OverflowError, None)
    return value


def expect_float(obj):
    error = float_error(obj)
    if error is not None:
        raise Refused(type(error), str(error))
    return float(obj) if isinstance(obj, float) else float(obj.__float__() if hasattr(type(obj), "__float__")
                                                          else obj.__index__())


def expected_conversion(items, convert, name):
    """Converts scripted items as the module reads them; a refusal becomes the
    (class, message) the caller sees, with the argument name on a TypeError."""
    converted = []
    for item in items:
        if isinstance(item, Raise):
            error = item.error
            cls, message = type(error), str(error)
        else:
            try:
                converted.append(convert(item))
                continue
            except Refused as refusal:
                cls, message = refusal.error_class, refusal.message
        if cls is TypeError:
            message = f"argument '{name}': {message}"
        return None, (cls, message)
    return converted, None


# --------------------------------------------------------------------------
# Scripted outer arguments


class Raise:
    """A script step: the iterator raises this exception instead of an item."""

    def __init__(self, error, same_object=False):
        self.error = error
        self.same_object = same_object

    def raised(self):
        return self.error.with_traceback(None) if self.same_object else copy.copy(self.error)


class Scripted:
    """A sequence (it has __getitem__) whose __len__ behaves as told and whose
    iterator delivers the scripted items, raising where the script says so."""

    def __init__(self, script, length):
        self.script = script
        self.length = length

    def __getitem__(self, index):
        raise AssertionError("an outer argument is read through its iterator")

    def __len__(self):
        if isinstance(self.length, BaseException):
            # A copy: a traceback on the shared instance would keep self alive.
            raise copy.copy(self.length)
        if self.length == "correct":
            return len(self.script)
        return self.length

    def __iter__(self):
        return ScriptedIterator(self.script)


class ScriptedIterator:
    def __init__(self, script):
        self.steps = iter(script)

    def __iter__(self):
        return self

    def __next__(self):
        step = next(self.steps)
        if isinstance(step, Raise):
            raise step.raised()
        return step


class WeirdStr(str):
    """A str subclass whose Python-level methods all lie; the module must read
    the characters themselves."""

    def __str__(self):
        return "lie"

    def __len__(self):
        return 10**6

    def __iter__(self):
        raise AssertionError("never iterated")

    def encode(self, *args, **kwargs):
        raise AssertionError("never encoded through Python")

    def upper(self):
        raise AssertionError("never upper-cased through Python")


class WeirdTuple(tuple):
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise AssertionError("elements are read from the tuple's storage")

    def __iter__(self):
        raise AssertionError("never iterated")


class FlakyIndex:
    """__index__ gives a different kind of answer on every call."""

    def __init__(self, answer):
        self.answer = answer

    def __index__(self):
        if isinstance(self.answer, BaseException):
            raise copy.copy(self.answer)
        return self.answer


class FlakyFloat:
    def __init__(self, answer):
        self.answer = answer

    def __float__(self):
        if isinstance(self.answer, BaseException):
            raise copy.copy(self.answer)
        return self.answer


class NoStr(Exception):
    def __str__(self):
        raise RuntimeError("no str")


errors = st.sampled_from([
    TypeError("boom"), ValueError("bad value"), KeyError("k"), RuntimeError(""), MemoryError(),
    OverflowError("too big"), UnicodeError("u"), LookupError("\udc80 surrogate"),
    StopAsyncIteration("odd"), ZeroDivisionError("z"),
])
# Under AddressSanitizer a reservation it cannot serve aborts instead of raising
# std::bad_alloc, so lengths in the tens of GiB are left to the other builds.
HUGE_LENGTHS = [2**31 - 1]
lengths = st.one_of(
    st.just("correct"), st.integers(0, 50),
    st.sampled_from([-1, 2**62, "x", 1.5, None] + HUGE_LENGTHS), errors,
)
ascii_texts = st.text(alphabet="ACGTacgtNRY \x00", max_size=30)
texts = st.one_of(ascii_texts, st.sampled_from(["AÉA", "ßTAA", "ſTAA", "É", "\ud800", "a\udfff"]),
                  ascii_texts.map(WeirdStr))
junk = st.sampled_from([None, 5, 2.5, b"ACGT", ["A", "C"], {"a": 1}, object(), True])


def scripts(item_strategy, max_size=8):
    step = st.one_of(item_strategy, item_strategy, item_strategy, errors.map(Raise))
    return st.lists(step, max_size=max_size)


def text_pairs():
    pair = st.one_of(st.tuples(texts, texts), st.tuples(texts, texts).map(WeirdTuple))
    odd = st.one_of(junk, st.tuples(texts), st.tuples(texts, texts, texts), st.tuples(junk, texts),
                    st.tuples(texts, junk))
    return st.one_of(pair, pair, pair, odd)


int_values = st.one_of(
    st.integers(-2**31, 2**31 - 1), st.sampled_from([2**31, -2**31 - 1, 2**64, True, False]),
    st.sampled_from([1.5, "3", None, b"1"]),
    st.one_of(st.integers(-5, 5), st.sampled_from([2.0, "1", 2**40]), errors).map(FlakyIndex),
)
float_values = st.one_of(
    st.floats(allow_nan=False), st.integers(-10, 10), st.sampled_from([10**400, "0.5", None, 1j]),
    st.one_of(st.floats(0, 1), st.sampled_from([1, "x", None]), errors).map(FlakyFloat),
)


def _checked_call(call, argument):
    """Runs `call` on `argument` and checks that the module kept no reference
    to the argument once the call is over."""
    alive = weakref.ref(argument)
    got = outcome(lambda: call(argument))
    del argument
    gc.collect()
    assert alive() is None, "the module kept the argument alive"
    return got


def _matches(got, expected_error, expected_value, compare):
    if expected_error is not None:
        cls, message = expected_error
        assert isinstance(got, tuple) and len(got) == 2 and got[0] is cls, (got, expected_error)
        if message is not None:
            assert got[1] == message
        return
    compare(got, expected_value)


PANIC = []


def _expected_runs(texts_read):
    if not PANIC:
        PANIC.append(panic_exception_type())
    panic = PANIC[0]
    for text in texts_read:
        try:
            model_run(text)
        except Exception as failure:  # the model's BoundaryFailure
            return None, (panic, str(failure))
    return [model_run(t) for t in texts_read], None


@settings(max_examples=HOSTILE_EXAMPLES)
@given(scripts(st.one_of(texts, junk)), lengths)
def test_hostile_sequences_of_texts(script, length):
    got = _checked_call(run, Scripted(script, length))
    read, error = expected_conversion(script, expect_text, "sequences")
    if error is None:
        value, error = _expected_runs(read)
    else:
        value = None
    def compare(got_value, want):
        assert type(got_value) is list and got_value == want

    _matches(got, error, value, compare)


@pytest.mark.parametrize("func", [with_ids, ratio, gc_content], ids=lambda f: f.__name__)
@settings(max_examples=HOSTILE_EXAMPLES)
@given(script=scripts(text_pairs()), length=lengths)
def test_hostile_sequences_of_pairs(func, script, length):
    name = "seq_tuples" if func is with_ids else "sequences"
    got = _checked_call(func, Scripted(script, length))
    read, error = expected_conversion(script, lambda item: expect_pair(item, expect_text), name)
    value = None
    if error is None and func is not gc_content:
        runs, error = _expected_runs([seq for _, seq in read])
        if error is None:
            value = [(ident, r) for (ident, _), r in zip(read, runs)]
            if func is ratio:
                value = [(ident, r, r / len(seq.encode()) if seq else 0.0)
                         for (ident, seq), r in zip(read, runs)]
    elif error is None:
        value = [(ident, model_gc(seq)) for ident, seq in read]

    def compare(got_value, want):
        assert type(got_value) is list and len(got_value) == len(want)
        for g, w in zip(got_value, want):
            assert type(g) is tuple and type(g[0]) is str and g[:-1] == w[:-1]
            if isinstance(w[-1], float):
                assert same_float(g[-1], w[-1])
            else:
                assert g[-1] == w[-1]

    _matches(got, error, value, compare)


@settings(max_examples=HOSTILE_EXAMPLES)
@given(run_script=scripts(st.one_of(st.tuples(st.sampled_from(["a", "b", WeirdStr("a")]), int_values),
                                    junk)),
       gc_script=scripts(st.one_of(st.tuples(st.sampled_from(["a", "b", "c"]), float_values), junk)),
       run_length_len=lengths, gc_len=lengths)
def test_hostile_probability_arguments(run_script, gc_script, run_length_len, gc_len):
    got = outcome(lambda: probability(Scripted(run_script, run_length_len), Scripted(gc_script, gc_len)))
    runs, error = expected_conversion(run_script, lambda item: expect_pair(item, expect_int), "run_lengths")
    if error is None:
        fractions, error = expected_conversion(gc_script, lambda item: expect_pair(item, expect_float),
                                               "gc_contents")
    if error is not None:
        _matches(got, error, None, None)
        return
    table = dict(fractions)
    want = [(ident, model_single_probability(n, table.get(ident, 0.0))) for ident, n in runs]
    assert type(got) is list and [g[0] for g in got] == [w[0] for w in want]
    assert all(same_float(g[1], w[1]) for g, w in zip(got, want))


# --------------------------------------------------------------------------
# Mutation while the module reads


class MutatingIndex:
    """Clears or extends the list that holds it when the module converts it."""

    def __init__(self, target, action, value=3):
        self.target, self.action, self.value = target, action, value

    def __index__(self):
        if self.action == "clear":
            self.target.clear()
        elif self.action == "extend":
            self.target.extend([("late", 1)] * 3)
        elif self.action == "replace":
            self.target[:] = [("x", 2**40)]
        return self.value


@pytest.mark.parametrize("action, position", [
    ("clear", 0), ("clear", 1), ("extend", 0), ("extend", 2), ("replace", 0), ("replace", 1),
])
@pytest.mark.parametrize("container", ["list", "list subclass"])
def test_list_mutated_while_converted(action, position, container):
    cls = list if container == "list" else type("ListSub", (list,), {})
    items = cls([("a", 1), ("b", 2), ("c", 3)])
    items[position] = ("m", MutatingIndex(items, action))
    # The list iterator, which re-reads the length at every step, predicts the
    # items the module sees.
    mirror = cls(items)
    mirror[position] = ("m", MutatingIndex(mirror, action))
    seen = []
    for ident, n in mirror:
        seen.append((ident, n if isinstance(n, int) else n.__index__()))
    got = outcome(lambda: probability(items, []))
    if any(not -2**31 <= n < 2**31 for _, n in seen):
        assert got[0] is OverflowError
    else:
        assert got == [(ident, model_single_probability(n, 0.0)) for ident, n in seen]


class ClearsOnFloat:
    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 0.5


class ClearsOnLen(list):
    def __init__(self, items, target):
        super().__init__(items)
        self.target = target

    def __len__(self):
        self.target.clear()
        return list.__len__(self)


@pytest.mark.parametrize("make_gc_contents", [
    lambda runs: [("id0", ClearsOnFloat(runs))],
    lambda runs: ClearsOnLen([("id0", 0.5)], runs),
])
def test_first_argument_emptied_while_the_second_is_converted(make_gc_contents):
    # The identifiers of run_lengths are held by its list alone, so emptying
    # it frees them unless the module keeps them.
    runs = [(f"id{i}", i + 1) for i in range(100)]
    got = probability(runs, make_gc_contents(runs))
    assert runs == []
    want = [(f"id{i}", model_single_probability(i + 1, 0.5 if i == 0 else 0.0)) for i in range(100)]
    assert [g[0] for g in got] == [w[0] for w in want]
    assert all(same_float(g[1], w[1]) for g, w in zip(got, want))


class ShrinkingIter(list):
    """An iterator that empties its own list after the first item."""

    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if i == 0:
                self.clear()
            yield item


class GrowingIter(list):
    def __iter__(self):
        for i, item in enumerate(list.__iter__(self)):
            if i < 5:
                self.append("ATG" * (i + 1))
            yield item


@pytest.mark.parametrize("value, expected", [
    (ShrinkingIter(["ATGTAA", "ATG", "TAA"]), [2]),
    (GrowingIter(["TAA"]), [1, 1, 2, 3, 4, 5]),
])
def test_iterator_that_mutates_its_list(value, expected):
    assert run(value) == expected


class ShapeShifter:
    """Delivers a str, then a tuple, then an int, then None, ..."""

    def __getitem__(self, index):
        raise AssertionError("not used")

    def __iter__(self):
        yield from ["ATG", ("a", "ATG"), 3, None]


@pytest.mark.parametrize("func, message", [
    (run, "argument 'sequences': 'tuple' object is not an instance of 'str'"),
    (with_ids, "argument 'seq_tuples': 'str' object is not an instance of 'tuple'"),
    (gc_content, "argument 'sequences': 'str' object is not an instance of 'tuple'"),
])
def test_items_of_changing_type(func, message):
    assert outcome(lambda: func(ShapeShifter())) == (TypeError, message)


# --------------------------------------------------------------------------
# Exceptions that cannot be printed, keyword names that cannot be encoded


@pytest.mark.parametrize("error, message", [
    (TypeError(NoStr()), "argument 'sequences': <unprintable TypeError object>"),
    (TypeError("tab\tand \udcff"), "argument 'sequences': tab\tand \ufffd\ufffd\ufffd"),
    (TypeError(), "argument 'sequences': "),
])
def test_unprintable_inner_errors(error, message, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    got = outcome(lambda: run(Scripted([Raise(error)], "correct")))
    assert got == (TypeError, message)
    assert len(reported) == (1 if "unprintable" in message else 0)


def test_exception_subclass_whose_str_fails_passes_unchanged():
    # Not exactly TypeError, so it reaches the caller as the same object.
    error = NoStr("x")
    with pytest.raises(NoStr) as info:
        run(Scripted([Raise(error, same_object=True)], "correct"))
    assert info.value is error


@settings(max_examples=HOSTILE_EXAMPLES)
@given(st.text(min_size=1, max_size=6).filter(lambda name: name not in ("sequences",)),
       st.sampled_from(["", "\ud800", "\udfff", "x\udc80y"]))
def test_keyword_names_with_lone_surrogates(prefix, surrogate):
    name = prefix + surrogate
    shown = name.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    got = outcome(lambda: gc_content(**{name: []}))
    assert got == (TypeError, f"calculate_gc_content() got an unexpected keyword argument '{shown}'")


# --------------------------------------------------------------------------
# Calling back into the module


class Reentrant:
    """Its iterator calls the module, `depth` levels deep, before delivering."""

    def __init__(self, depth):
        self.depth = depth

    def __getitem__(self, index):
        raise AssertionError("not used")

    def __iter__(self):
        inner = run(Reentrant(self.depth - 1)) if self.depth > 0 else []
        yield "ATG" * (len(inner) + 1)
        yield from ["TAA"] * len(inner)


@pytest.mark.parametrize("depth", [1, 5, 40])
def test_reentrant_calls_from_iter(depth):
    assert run(Reentrant(depth)) == [depth + 1] + [1] * depth


def test_unbounded_recursion_raises_recursion_error():
    class Forever(Reentrant):
        def __iter__(self):
            run(Forever(0))
            yield "ATG"

    with pytest.raises(RecursionError):
        run(Forever(0))
    assert run(["ATGTAA"]) == [2]


class ThreadedIter:
    """Its iterator runs other threads that call every function, and waits
    for them, while the outer call is still converting."""

    def __init__(self, threads):
        self.threads = threads
        self.results = []

    def __getitem__(self, index):
        raise AssertionError("not used")

    def __iter__(self):
        def work(n):
            seq = "ATGAAA" * (n + 1) + "TAA"
            self.results.append((
                n, seq,
                run([seq] * 3),
                with_ids([(str(n), seq)] * 3),
                gc_content([(str(n), "GC" * n + "AT")]),
                probability([(str(n), n)], [(str(n), 0.5)]),
            ))

        workers = [threading.Thread(target=work, args=(n,)) for n in range(self.threads)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(timeout=60)
        yield "ATGTAA"


@pytest.mark.parametrize("threads", [1, 4])
def test_threads_calling_from_inside_iter(threads):
    argument = ThreadedIter(threads)
    assert run(argument) == [2]
    assert len(argument.results) == threads
    assert sorted(result[0] for result in argument.results) == list(range(threads))
    for n, seq, runs, pairs, fractions, probabilities in argument.results:
        assert runs == [model_run(seq)] * 3
        assert pairs == [(str(n), model_run(seq))] * 3
        assert fractions == [(str(n), model_gc("GC" * n + "AT"))]
        assert probabilities == [(str(n), model_single_probability(n, 0.5))]


# The first lookup of collections.abc.Sequence imports it: an import hook that
# calls the module again, from the same thread or from a thread holding another
# module's import lock, must get its TypeError without waiting. Each script
# prints what the inner and the outer call raised.
NOT_A_SEQUENCE = "argument 'sequences': 'None' is not an instance of 'Sequence'"
FIRST_LOOKUP_REENTERED = {
    "same thread": """
        import builtins, marlinox
        real = builtins.__import__
        def hook(name, *args, **kwargs):
            if name == "collections.abc":
                try:
                    marlinox.calculate_stop_free_run(None)
                except TypeError as error:
                    print(error)
            return real(name, *args, **kwargs)
        builtins.__import__ = hook
    """,
    "thread holding an import lock": """
        import builtins, importlib.abc, importlib.util, sys, threading, marlinox
        hook_entered, module_entered = threading.Event(), threading.Event()
        main = threading.get_ident()

        class Loader(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                return importlib.util.spec_from_loader(name, self) if name == "held" else None
            def exec_module(self, module):
                module_entered.set()
                hook_entered.wait()
                try:
                    marlinox.calculate_stop_free_run(None)
                except TypeError as error:
                    module.message = str(error)

        sys.meta_path.insert(0, Loader())
        real = builtins.__import__
        def hook(name, *args, **kwargs):
            if name == "collections.abc" and threading.get_ident() == main and not hook_entered.is_set():
                hook_entered.set()
                module_entered.wait()
                import held  # waits for the other thread's import of it
                print(held.message)
            return real(name, *args, **kwargs)
        builtins.__import__ = hook
        threading.Thread(target=__import__, args=("held",)).start()
        module_entered.wait()
    """,
}


@pytest.mark.parametrize("script", FIRST_LOOKUP_REENTERED.values(), ids=FIRST_LOOKUP_REENTERED.keys())
def test_first_sequence_lookup_reentered_by_an_import_hook(script):
    result = run_python(script + """
        try:
            marlinox.calculate_stop_free_run(None)
        except TypeError as error:
            print(error)
        builtins.__import__ = real
        print(marlinox.calculate_stop_free_run(["ATGTAA", "TAA"]))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [NOT_A_SEQUENCE, NOT_A_SEQUENCE, "[2, 1]"]


# The same first lookup runs Python code while run_lengths, already converted,
# is held only by the caller's list: a hook that empties that list and calls
# the module again must find nothing of it still in use.
EMPTIED_DURING_THE_FIRST_LOOKUP = {
    "import hook": """
        import builtins, marlinox
        real = builtins.__import__
        def hook(name, *args, **kwargs):
            if name == "collections.abc":
                builtins.__import__ = real
                run_lengths.clear()
                marlinox.calculate_stop_free_run(range(0))
            return real(name, *args, **kwargs)
        builtins.__import__ = hook
    """,
    "audit hook": """
        import sys, marlinox
        def hook(event, args):
            if event == "import" and args[0] == "collections.abc" and len(run_lengths) > 10:
                del run_lengths[10:]
                marlinox.calculate_stop_free_run(range(0))
        sys.addaudithook(hook)
    """,
}


@pytest.mark.parametrize("script", EMPTIED_DURING_THE_FIRST_LOOKUP.values(),
                         ids=EMPTIED_DURING_THE_FIRST_LOOKUP.keys())
def test_first_argument_emptied_during_the_first_sequence_lookup(script):
    result = run_python("""
        run_lengths = [("id%d" % i, i) for i in range(1000)]
    """ + script + """
        try:
            marlinox.calculate_run_probability(run_lengths, 5)
        except TypeError as error:
            print(error)
        print(marlinox.calculate_run_probability([("id0", 0), ("id1", 1)], [("id1", 0.5)]))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "argument 'gc_contents': 'int' object is not an instance of 'Sequence'",
        "[('id0', 1.0), ('id1', 0.953125)]"]


def test_child_forked_during_the_first_lookup_gets_usable_guards():
    # Another thread is inside the first lookup when the process forks; the
    # child dies of SIGALRM if it waits for that thread, which it has not.
    result = run_python("""
        import builtins, os, signal, threading, warnings, marlinox
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        inside, release = threading.Event(), threading.Event()
        real = builtins.__import__
        def hook(name, *args, **kwargs):
            if name == "collections.abc" and threading.current_thread() is lookup:
                inside.set()
                release.wait()
            return real(name, *args, **kwargs)
        def first_lookup():
            try:
                marlinox.calculate_stop_free_run(None)
            except TypeError:
                pass
        lookup = threading.Thread(target=first_lookup)
        builtins.__import__ = hook
        lookup.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            signal.alarm(100)
            try:
                marlinox.calculate_stop_free_run(None)
            except TypeError as error:
                ok = str(error) == "%s" and marlinox.calculate_stop_free_run(["ATGTAA", "TAA"]) == [2, 1]
                os._exit(0 if ok else 1)
            os._exit(2)
        release.set()
        lookup.join()
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """ % NOT_A_SEQUENCE)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["0"]


# An ordinary Exception where the module only wants a hint or a message text is
# dropped; KeyboardInterrupt, SystemExit and other BaseExceptions propagate.
# Each row prints the class of what the call raised.
@pytest.mark.parametrize("setup, call, raised", [
    ("error = KeyboardInterrupt()", "run(Sized())", "KeyboardInterrupt"),
    ("error = SystemExit(3)", "run(Sized())", "SystemExit"),
    ("error = type('Stop', (BaseException,), {})()", "run(Sized())", "Stop"),
    # a PanicException keeps its own rule: a new one with the same message
    ("error = panic_error()", "run(Sized())", "PanicException"),
    # str() of a TypeError, for the message that names the argument
    ("error = KeyboardInterrupt()", "run(Failing())", "KeyboardInterrupt"),
    # str() of an unexpected keyword name
    ("error = SystemExit(3)", "gc_content(**{LoudName('x'): []})", "SystemExit"),
], ids=["len-interrupt", "len-exit", "len-base", "len-panic", "message-interrupt", "keyword-exit"])
def test_interrupts_where_errors_are_dropped_propagate(setup, call, raised):
    result = run_python("""
        import marlinox
        run, gc_content = marlinox.calculate_stop_free_run, marlinox.calculate_gc_content
        def panic_error():
            try:
                run(["ATG\u00c9"])
            except BaseException as panic:
                return panic
        %s
        class Loud:
            def __str__(self):
                raise error
        class Sized:
            def __len__(self):
                raise error
            def __getitem__(self, index):
                if index:
                    raise IndexError
                return "ATGTAA"
        class Failing:
            def __len__(self):
                return 1
            def __getitem__(self, index):
                raise TypeError(Loud())
        class LoudName(str):
            def __str__(self):
                raise error
        try:
            print(%s)
        except BaseException as caught:
            print(type(caught).__name__)
    """ % (setup, call))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == raised


# --------------------------------------------------------------------------
# No reference survives a hostile call


@pytest.mark.parametrize("call", [
    lambda arg: run(arg),
    lambda arg: with_ids(arg),
    lambda arg: probability(arg, arg),
])
def test_hostile_argument_is_released(call):
    class Holder(Scripted):
        pass

    argument = Holder(["ATG", Raise(ValueError("stop"))], ValueError("len"))
    alive = weakref.ref(argument)
    outcome(lambda: call(argument))
    del argument
    gc.collect()
    assert alive() is None


def test_items_keep_their_reference_counts():
    items = [WeirdStr("ATGTAA"), "TAA" * 3, "GC" * 7]
    before = [sys.getrefcount(item) for item in items]
    for _ in range(50):
        run(items)
        outcome(lambda: run(items + [None]))
    assert [sys.getrefcount(item) for item in items] == before
