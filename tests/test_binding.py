"""Argument binding and conversion: exact exception classes, messages and the
order in which problems are found."""

import collections
import enum
import fractions
import decimal
import math
import sys

import pytest

import marlinox
from conftest import float_error, long_error, same_float
from test_model import model_single_probability

run = marlinox.calculate_stop_free_run
with_ids = marlinox.calculate_stop_free_runs_with_ids
with_ratio = marlinox.calculate_stop_free_run_with_ratio


def gc(*args, **kwargs):
    return marlinox.calculate_gc_content(*args, **kwargs)


def prob(*args, **kwargs):
    return marlinox.calculate_run_probability(*args, **kwargs)


def assert_raises_exactly(exc_class, message, func, *args, **kwargs):
    """Call func and check the exception's exact class and exact str()."""
    with pytest.raises(BaseException) as info:
        func(*args, **kwargs)
    exc = info.value
    assert type(exc) is exc_class, f"{type(exc).__name__}: {exc}"
    assert str(exc) == message
    assert exc.args == (message,)
    return exc


# --------------------------------------------------------------------------
# Binding


BINDING_ERRORS = [
    # too many positional values
    (run, ([], []), {}, "calculate_stop_free_run() takes 1 positional arguments but 2 were given"),
    (run, ([], [], []), {}, "calculate_stop_free_run() takes 1 positional arguments but 3 were given"),
    (with_ids, ([], []), {},
     "calculate_stop_free_runs_with_ids() takes 1 positional arguments but 2 were given"),
    (with_ratio, ([], [], [], []), {},
     "calculate_stop_free_run_with_ratio() takes 1 positional arguments but 4 were given"),
    (gc, ([], []), {}, "calculate_gc_content() takes 1 positional arguments but 2 were given"),
    (prob, ([], [], []), {}, "calculate_run_probability() takes 2 positional arguments but 3 were given"),
    # too many positional values win over keyword problems
    (run, ([], []), {"seqs": []}, "calculate_stop_free_run() takes 1 positional arguments but 2 were given"),
    (run, ([], []), {"sequences": []},
     "calculate_stop_free_run() takes 1 positional arguments but 2 were given"),
    # unexpected keywords
    (run, (), {"seqs": []}, "calculate_stop_free_run() got an unexpected keyword argument 'seqs'"),
    (run, (), {"Sequences": []}, "calculate_stop_free_run() got an unexpected keyword argument 'Sequences'"),
    (run, (), {"seq_tuples": []},
     "calculate_stop_free_run() got an unexpected keyword argument 'seq_tuples'"),
    (with_ids, (), {"sequences": []},
     "calculate_stop_free_runs_with_ids() got an unexpected keyword argument 'sequences'"),
    (with_ratio, (), {"seq_tuples": []},
     "calculate_stop_free_run_with_ratio() got an unexpected keyword argument 'seq_tuples'"),
    (gc, (), {"sequence": []}, "calculate_gc_content() got an unexpected keyword argument 'sequence'"),
    (gc, (), {"sequences\x00": []},
     "calculate_gc_content() got an unexpected keyword argument 'sequences\x00'"),
    (prob, ([],), {"foo": 1}, "calculate_run_probability() got an unexpected keyword argument 'foo'"),
    (prob, (), {"run_lengths": [], "gc_content": []},
     "calculate_run_probability() got an unexpected keyword argument 'gc_content'"),
    (run, (), {"séquences": []}, "calculate_stop_free_run() got an unexpected keyword argument 'séquences'"),
    # a keyword that cannot be encoded: three replacement characters per lone surrogate
    (run, (), {"\ud800": []},
     "calculate_stop_free_run() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    (run, (), {"a\udcffb": []},
     "calculate_stop_free_run() got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"),
    # multiple values
    (run, ([],), {"sequences": []}, "calculate_stop_free_run() got multiple values for argument 'sequences'"),
    (with_ids, ([],), {"seq_tuples": []},
     "calculate_stop_free_runs_with_ids() got multiple values for argument 'seq_tuples'"),
    (prob, ([],), {"run_lengths": []},
     "calculate_run_probability() got multiple values for argument 'run_lengths'"),
    (prob, ([], []), {"gc_contents": []},
     "calculate_run_probability() got multiple values for argument 'gc_contents'"),
    # keyword names are examined in call order; the first bad one wins
    (prob, ([],), {"run_lengths": [], "foo": 1},
     "calculate_run_probability() got multiple values for argument 'run_lengths'"),
    (prob, ([],), {"foo": 1, "run_lengths": []},
     "calculate_run_probability() got an unexpected keyword argument 'foo'"),
    (prob, (), {"bar": 1, "foo": 1}, "calculate_run_probability() got an unexpected keyword argument 'bar'"),
    # missing parameters
    (run, (), {}, "calculate_stop_free_run() missing 1 required positional argument: 'sequences'"),
    (with_ids, (), {},
     "calculate_stop_free_runs_with_ids() missing 1 required positional argument: 'seq_tuples'"),
    (with_ratio, (), {},
     "calculate_stop_free_run_with_ratio() missing 1 required positional argument: 'sequences'"),
    (gc, (), {}, "calculate_gc_content() missing 1 required positional argument: 'sequences'"),
    (prob, (), {},
     "calculate_run_probability() missing 2 required positional arguments: 'run_lengths' and 'gc_contents'"),
    (prob, ([],), {}, "calculate_run_probability() missing 1 required positional argument: 'gc_contents'"),
    (prob, (), {"run_lengths": []},
     "calculate_run_probability() missing 1 required positional argument: 'gc_contents'"),
    (prob, (), {"gc_contents": []},
     "calculate_run_probability() missing 1 required positional argument: 'run_lengths'"),
    # keyword problems come before missing parameters
    (prob, (), {"foo": 1}, "calculate_run_probability() got an unexpected keyword argument 'foo'"),
    (prob, ([],), {"run_lengths": "bad"},
     "calculate_run_probability() got multiple values for argument 'run_lengths'"),
]


@pytest.mark.parametrize("func, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(func, args, kwargs, message):
    exc = assert_raises_exactly(TypeError, message, func, *args, **kwargs)
    assert exc.__cause__ is None


def test_binding_happens_before_conversion():
    # The bad argument values would fail conversion; binding reports first.
    assert_raises_exactly(
        TypeError,
        "calculate_run_probability() missing 1 required positional argument: 'gc_contents'",
        prob, "x")
    assert_raises_exactly(
        TypeError, "calculate_stop_free_run() takes 1 positional arguments but 2 were given",
        run, None, None)


@pytest.mark.parametrize("call, expected", [
    (lambda: run(sequences=["ATG"]), [1]),
    (lambda: with_ids(seq_tuples=[("a", "ATG")]), [("a", 1)]),
    (lambda: prob(gc_contents=[], run_lengths=[]), []),
    (lambda: prob([("a", 1)], gc_contents=[]), [("a", 0.875)]),
    (lambda: prob(**{"gc_contents": [("a", 1.0)], "run_lengths": [("a", 3)]}), [("a", 1.0)]),
])
def test_keyword_binding(call, expected):
    assert call() == expected


# --------------------------------------------------------------------------
# Outer sequence conversion


class StrSub(str):
    pass


class Outer:
    class DictSub(dict):
        pass


class ItemsOnly:
    """Old-style sequence: only __getitem__, ended by IndexError."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, index):
        return self.items[index]


def _generator():
    yield "ATG"


class WeirdName(dict):
    pass


WeirdName.__qualname__ = "Weird\ud800Name"

OUTER_TYPE_ERRORS = [
    ("ACGT", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    (StrSub("ACGT"), "Can't extract `str` to `Vec`"),
    (None, "'None' is not an instance of 'Sequence'"),
    ({}, "'dict' object is not an instance of 'Sequence'"),
    ({"ATG": 1}, "'dict' object is not an instance of 'Sequence'"),
    (Outer.DictSub(), "'Outer.DictSub' object is not an instance of 'Sequence'"),
    ((s for s in ["ATG"]), "'generator' object is not an instance of 'Sequence'"),
    (_generator(), "'generator' object is not an instance of 'Sequence'"),
    ({"ATG"}, "'set' object is not an instance of 'Sequence'"),
    (frozenset(), "'frozenset' object is not an instance of 'Sequence'"),
    (iter(["ATG"]), "'list_iterator' object is not an instance of 'Sequence'"),
    (5, "'int' object is not an instance of 'Sequence'"),
    (1.5, "'float' object is not an instance of 'Sequence'"),
    (object(), "'object' object is not an instance of 'Sequence'"),
    ({}.keys(), "'dict_keys' object is not an instance of 'Sequence'"),
    (WeirdName(), "'Weird\ufffd\ufffd\ufffdName' object is not an instance of 'Sequence'"),
]


@pytest.mark.parametrize("func, param", [
    (run, "sequences"), (with_ids, "seq_tuples"), (with_ratio, "sequences"), (gc, "sequences"),
])
@pytest.mark.parametrize("value, message", OUTER_TYPE_ERRORS)
def test_outer_argument_refused(func, param, value, message):
    exc = assert_raises_exactly(TypeError, f"argument '{param}': {message}", func, value)
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True
    assert exc.__context__ is None


@pytest.mark.parametrize("args, kwargs, message", [
    (("x", "y"), {}, "argument 'run_lengths': Can't extract `str` to `Vec`"),
    ((), {"gc_contents": "y", "run_lengths": "x"}, "argument 'run_lengths': Can't extract `str` to `Vec`"),
    ((None, None), {}, "argument 'run_lengths': 'None' is not an instance of 'Sequence'"),
    (([], "y"), {}, "argument 'gc_contents': Can't extract `str` to `Vec`"),
    (([], None), {}, "argument 'gc_contents': 'None' is not an instance of 'Sequence'"),
    (([], {}), {}, "argument 'gc_contents': 'dict' object is not an instance of 'Sequence'"),
    (([("a", 1)], [("a", None)]), {},
     lambda: f"argument 'gc_contents': {float_error(None)}"),
    (([("a", None)], [("a", None)]), {},
     lambda: f"argument 'run_lengths': {long_error(None)}"),
])
def test_probability_argument_refused(args, kwargs, message):
    if callable(message):
        message = message()
    assert_raises_exactly(TypeError, message, prob, *args, **kwargs)


@pytest.mark.parametrize("value", [
    [], (), range(0), b"", bytearray(), ItemsOnly([]), collections.deque(), memoryview(b""),
])
@pytest.mark.parametrize("func", [run, with_ids, with_ratio, gc])
def test_empty_sequences_give_new_empty_list(func, value):
    result = func(value)
    assert type(result) is list and result == []
    assert result is not value


@pytest.mark.parametrize("make", [
    list, tuple, ItemsOnly, collections.deque,
    lambda items: collections.UserList(items),
])
def test_accepted_outer_sequences(make):
    items = ["ATGTAA", "TAA", "", "NNNNNN"]
    assert run(make(items)) == [2, 1, 0, 2]
    pairs = [("a", "ATGTAA"), ("b", "GGCC")]
    assert with_ids(make(pairs)) == [("a", 2), ("b", 1)]
    assert gc(make(pairs)) == [("a", 1 / 6), ("b", 1.0)]


@pytest.mark.parametrize("value, message", [
    (b"AC", "'int' object is not an instance of 'str'"),
    (bytearray(b"A"), "'int' object is not an instance of 'str'"),
    (range(3), "'int' object is not an instance of 'str'"),
    (["ACG", 5], "'int' object is not an instance of 'str'"),
    (["ACG", None], "'None' is not an instance of 'str'"),
    ([b"ACG"], "'bytes' object is not an instance of 'str'"),
    ([["A"]], "'list' object is not an instance of 'str'"),
    ([("A",)], "'tuple' object is not an instance of 'str'"),
    (ItemsOnly(["A", 1.0]), "'float' object is not an instance of 'str'"),
])
def test_sequence_items_must_be_str(value, message):
    assert_raises_exactly(TypeError, "argument 'sequences': " + message, run, value)


class Point(collections.namedtuple("Point", "ident seq")):
    pass


PlainPair = collections.namedtuple("PlainPair", "ident seq")


class Untouchable(tuple):
    """A tuple subclass whose Python-level protocol must never be used."""

    def __len__(self):
        raise AssertionError("__len__ called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")


class LyingTuple(tuple):
    def __len__(self):
        return 2


@pytest.mark.parametrize("func, param", [
    (with_ids, "seq_tuples"), (with_ratio, "sequences"), (gc, "sequences"),
])
@pytest.mark.parametrize("items, exc_class, message", [
    ([["a", "ACG"]], TypeError, "'list' object is not an instance of 'tuple'"),
    ([None], TypeError, "'None' is not an instance of 'tuple'"),
    (["ab"], TypeError, "'str' object is not an instance of 'tuple'"),
    ([("a", "ACG"), {"a": "ACG"}], TypeError, "'dict' object is not an instance of 'tuple'"),
    ([("a", "ACG", "x")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([("a",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ([LyingTuple(("a", "A", "C"))], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([("a", None)], TypeError, "'None' is not an instance of 'str'"),
    ([(None, "ACG")], TypeError, "'None' is not an instance of 'str'"),
    ([(1, "ACG")], TypeError, "'int' object is not an instance of 'str'"),
    ([("a", b"ACG")], TypeError, "'bytes' object is not an instance of 'str'"),
    # element 0 is converted before element 1
    ([(None, 5)], TypeError, "'None' is not an instance of 'str'"),
    ([(5, None)], TypeError, "'int' object is not an instance of 'str'"),
    # items are converted in iteration order
    ([("a", None), 5], TypeError, "'None' is not an instance of 'str'"),
    ([5, ("a", None)], TypeError, "'int' object is not an instance of 'tuple'"),
    ([("a", "A", "C"), None], ValueError, "expected tuple of length 2, but got tuple of length 3"),
])
def test_pair_items(func, param, items, exc_class, message):
    if exc_class is TypeError:
        message = f"argument '{param}': {message}"
    exc = assert_raises_exactly(exc_class, message, func, items)
    assert exc.__cause__ is None


@pytest.mark.parametrize("func", [with_ids, with_ratio, gc])
def test_tuple_subclasses_are_read_directly(func):
    items = [PlainPair("p", "GGCC"), Point("q", "ATGTAA"), Untouchable(("r", "TAA"))]
    result = func(items)
    assert [r[0] for r in result] == ["p", "q", "r"]
    assert all(type(r) is tuple for r in result)


def test_tuple_subclass_values():
    items = [PlainPair("p", "GGCC"), Point("q", "ATGTAA"), Untouchable(("r", "TAA"))]
    assert with_ids(items) == [("p", 1), ("q", 2), ("r", 1)]
    assert gc(items) == [("p", 1.0), ("q", 1 / 6), ("r", 0.0)]
    assert prob([Untouchable(("r", 2))], [Untouchable(("r", 0.0))]) == [("r", 0.765625)]


def test_str_subclass_items_are_accepted():
    assert run([StrSub("ATGTAA")]) == [2]
    result = with_ids([(StrSub("ident-one"), StrSub("TAA"))])
    assert result == [("ident-one", 1)]
    assert type(result[0][0]) is str


# --------------------------------------------------------------------------
# Text encoding


@pytest.mark.parametrize("func, value", [
    (run, ["\ud800"]),
    (run, ["ATG", "A\udfffA"]),
    (with_ids, [("\udc80", "ATG")]),
    (with_ids, [("a", "\ud83d")]),
    (with_ratio, [("a", "\ud800")]),
    (gc, [("a", "GC\udcff")]),
    (lambda v: prob(v, []), [("\ud800", 1)]),
    (lambda v: prob([], v), [("\ud800", 1.0)]),
])
def test_lone_surrogates_raise_unicode_encode_error(func, value):
    with pytest.raises(UnicodeEncodeError) as info:
        func(value)
    assert type(info.value) is UnicodeEncodeError
    assert not str(info.value).startswith("argument")
    assert info.value.encoding == "utf-8"


def test_astral_characters_are_not_surrogates():
    # A character outside the BMP is one code point and encodes normally.
    assert gc([("😀", "GC")]) == [("😀", 1.0)]
    assert gc([("a", "G😀")]) == [("a", 0.2)]


# --------------------------------------------------------------------------
# Run lengths of calculate_run_probability


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Colour(enum.IntEnum):
    RED = 3


class IntSub(int):
    pass


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("value, expected_n", [
    (True, 1),
    (False, 0),
    (0, 0),
    (1, 1),
    (-1, -1),
    (2147483647, 2147483647),
    (-2147483648, -2147483648),
    (IntSub(2), 2),
    (Colour.RED, 3),
    (Indexable(2), 2),
    (Indexable(-1), -1),
])
def test_run_length_accepted(value, expected_n):
    # With a GC fraction just below 1 the probability differs for every run
    # length in range, so the converted value shows in the result.
    fraction = 0.9999999
    result = prob([("id", value)], [("id", fraction)])
    assert len(result) == 1 and result[0][0] == "id"
    assert same_float(result[0][1], model_single_probability(expected_n, fraction))


def test_run_length_true_is_one():
    assert prob([("a", True)], []) == [("a", 0.875)]
    assert prob([("a", False)], [("a", float("nan"))]) == [("a", 1.0)]


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**63, -2**63 - 1, 2**64, 10**30,
                                   Indexable(2**31), Indexable(-2**31 - 1)])
def test_run_length_out_of_range(value):
    with pytest.raises(OverflowError) as info:
        prob([("a", value)], [])
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("value", [1.5, 2.0, "2", None, b"2", [1], 1j,
                                   fractions.Fraction(2), decimal.Decimal(2), Indexable(1.5)])
def test_run_length_not_an_integer(value):
    inner = long_error(value)
    assert type(inner) is TypeError
    assert_raises_exactly(TypeError, f"argument 'run_lengths': {inner}", prob, [("a", value)], [])


@pytest.mark.parametrize("exc_factory, exc_class, message", [
    (lambda: TypeError("no index"), TypeError, "argument 'run_lengths': no index"),
    (lambda: ValueError("bad index"), ValueError, "bad index"),
    (lambda: ZeroDivisionError("zero"), ZeroDivisionError, "zero"),
])
def test_run_length_index_raises(exc_factory, exc_class, message):
    assert_raises_exactly(exc_class, message, prob, [("a", IndexRaises(exc_factory()))], [])


@pytest.mark.parametrize("items, message", [
    ([("a", 1, 2)], "expected tuple of length 2, but got tuple of length 3"),
    ([("a",)], "expected tuple of length 2, but got tuple of length 1"),
])
def test_run_length_tuple_length(items, message):
    assert_raises_exactly(ValueError, message, prob, items, [])
    assert_raises_exactly(ValueError, message, prob, [], items)


# --------------------------------------------------------------------------
# GC fractions of calculate_run_probability


class Floatable:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatSub(float):
    pass


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize("value, as_float", [
    (1, 1.0),
    (0, 0.0),
    (True, 1.0),
    (False, 0.0),
    (0.5, 0.5),
    (FloatSub(1.0), 1.0),
    (Floatable(0.5), 0.5),
    (Indexable(1), 1.0),
    (IntSub(0), 0.0),
    (fractions.Fraction(1, 2), 0.5),
    (decimal.Decimal("0.5"), 0.5),
    (2**53, float(2**53)),
    (-1, -1.0),
])
def test_gc_fraction_accepted(value, as_float):
    got = prob([("a", 5)], [("a", value)])
    want = prob([("a", 5)], [("a", as_float)])
    assert len(got) == 1 and got[0][0] == "a"
    assert same_float(got[0][1], want[0][1])


def test_gc_fraction_int_one_is_one():
    assert prob([("a", 123)], [("a", 1)]) == [("a", 1.0)]


@pytest.mark.parametrize("value", ["0.5", None, b"0", [0.5], 1j, object()])
def test_gc_fraction_not_a_number(value):
    inner = float_error(value)
    assert type(inner) is TypeError
    assert_raises_exactly(TypeError, f"argument 'gc_contents': {inner}", prob, [], [("a", value)])


@pytest.mark.parametrize("value", [10**400, -(10**400), 2**1024, Indexable(10**400)])
def test_gc_fraction_huge_int_overflows(value):
    with pytest.raises(OverflowError) as info:
        prob([], [("a", value)])
    assert type(info.value) is OverflowError
    assert str(info.value) == str(float_error(value))


@pytest.mark.parametrize("exc, exc_class, message", [
    (TypeError("no float"), TypeError, "argument 'gc_contents': no float"),
    (ValueError("bad float"), ValueError, "bad float"),
])
def test_gc_fraction_float_raises(exc, exc_class, message):
    assert_raises_exactly(exc_class, message, prob, [], [("a", FloatRaises(exc))])


# --------------------------------------------------------------------------
# Hostile outer sequences


class Recorder:
    """A sequence whose __len__ and iteration are scripted and logged."""

    def __init__(self, items, length=None, log=None, name="seq", fail_at=None):
        self.items = list(items)
        self.length = length
        self.log = log if log is not None else []
        self.name = name
        self.fail_at = fail_at

    def __getitem__(self, index):
        raise AssertionError("outer sequences are read through their iterator")

    def __len__(self):
        self.log.append((self.name, "len"))
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        self.log.append((self.name, "iter"))
        return RecordingIterator(self)


class RecordingIterator:
    def __init__(self, owner):
        self.owner = owner
        self.position = 0

    def __iter__(self):
        return self

    def __next__(self):
        owner = self.owner
        owner.log.append((owner.name, "next", self.position))
        if owner.fail_at is not None and self.position == owner.fail_at[0]:
            raise owner.fail_at[1]
        if self.position >= len(owner.items):
            raise StopIteration
        item = owner.items[self.position]
        self.position += 1
        return item


ITEMS = ["ATGTAA", "TAA", "AT"]


@pytest.mark.parametrize("length", [
    RuntimeError("len broke"), TypeError("len broke"), ValueError("len"), 0, 1, 2, 3, 1000,
    -1, 2**70,
])
def test_length_is_only_a_hint(length):
    assert run(Recorder(ITEMS, length=length)) == [2, 1, 0]


@pytest.mark.parametrize("length", [2**31 - 1, 2**40, sys.maxsize])
def test_huge_claimed_length_does_not_crash(length, panic_type):
    # The claimed length may be impossible to reserve; reserving less or
    # refusing the call are both fine, taking the process down is not.
    try:
        result = run(Recorder(ITEMS, length=length))
    except (MemoryError, OverflowError, panic_type):
        result = None
    assert result in (None, [2, 1, 0])
    assert run(["ATG"]) == [1]


def test_length_errors_are_not_reported_later():
    # A dropped __len__ error must not leak into the next call either.
    assert run(Recorder(ITEMS, length=RuntimeError("len broke"))) == [2, 1, 0]
    assert run(["ATG"]) == [1]


class IterRaises:
    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, index):
        raise AssertionError("not used")

    def __len__(self):
        return 1

    def __iter__(self):
        raise self.exc


class IterReturnsJunk:
    def __getitem__(self, index):
        raise AssertionError("not used")

    def __iter__(self):
        return 42


@pytest.mark.parametrize("func, param, wrap", [
    (run, "sequences", lambda items: items),
    (with_ids, "seq_tuples", lambda items: [("id", s) for s in items]),
    (gc, "sequences", lambda items: [("id", s) for s in items]),
])
@pytest.mark.parametrize("exc, exc_class, message", [
    (TypeError("boom"), TypeError, "argument '{param}': boom"),
    (ValueError("boom"), ValueError, "boom"),
    (KeyError("k"), KeyError, "'k'"),
    (RuntimeError(), RuntimeError, ""),
])
def test_iterator_next_raises(func, param, wrap, exc, exc_class, message):
    seq = Recorder(wrap(ITEMS), fail_at=(2, exc))
    with pytest.raises(BaseException) as info:
        func(seq)
    got = info.value
    assert type(got) is exc_class
    assert str(got) == message.format(param=param)
    if exc_class is TypeError:
        assert got is not exc
        assert got.__cause__ is None and got.__suppress_context__ is True
        assert got.__context__ is None
    else:
        # Any other class reaches the caller as the very same object.
        assert got is exc
    # Iteration stopped at the raising call.
    assert seq.log[-1] == ("seq", "next", 2)


def test_prefixed_error_keeps_the_original_cause():
    cause = KeyError("root")

    class Failing:
        def __getitem__(self, index):
            raise AssertionError("not used")

        def __iter__(self):
            try:
                raise cause
            except KeyError as err:
                raise TypeError("boom") from err

    with pytest.raises(TypeError) as info:
        run(Failing())
    exc = info.value
    assert str(exc) == "argument 'sequences': boom"
    assert exc.__cause__ is cause
    assert exc.__suppress_context__ is True


def test_typeerror_subclass_is_not_prefixed():
    class MyTypeError(TypeError):
        pass

    original = MyTypeError("subclass")
    exc = assert_raises_exactly(MyTypeError, "subclass", run, IterRaises(original))
    assert exc is original


@pytest.mark.parametrize("obj, exc_class, message", [
    (IterRaises(TypeError("no iter")), TypeError, "argument 'sequences': no iter"),
    (IterRaises(ValueError("no iter")), ValueError, "no iter"),
    (IterReturnsJunk(), TypeError, "argument 'sequences': iter() returned non-iterator of type 'int'"),
])
def test_iter_raises(obj, exc_class, message):
    assert_raises_exactly(exc_class, message, run, obj)


def test_prefixed_error_suppresses_context_inside_handler():
    # A prefixed error is a new exception; inside an except block the
    # interpreter may link the handled exception as context, but the cleared
    # cause keeps it from being displayed.
    handled = LookupError("outer")
    try:
        raise handled
    except LookupError:
        with pytest.raises(TypeError) as info:
            run(None)
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__ is True


def test_bad_third_item_stops_iteration():
    seq = Recorder(["ATG", "TAA", 5, "ATG"])
    assert_raises_exactly(TypeError, "argument 'sequences': 'int' object is not an instance of 'str'",
                          run, seq)
    nexts = [entry for entry in seq.log if entry[1] == "next"]
    assert nexts == [("seq", "next", 0), ("seq", "next", 1), ("seq", "next", 2)]
    # The module is unaffected and the same object converts once it is fixed.
    seq.items[2] = "GGG"
    assert run(seq) == [1, 1, 1, 1]


def test_run_lengths_fully_converted_before_gc_contents():
    log = []
    rl = Recorder([("a", 1), ("b", 2)], log=log, name="rl")
    gcs = Recorder([("a", 0.5)], log=log, name="gc")
    result = prob(gc_contents=gcs, run_lengths=rl)
    assert result == [("a", 0.953125), ("b", 0.765625)]
    names = [entry[0] for entry in log]
    first_gc = names.index("gc")
    assert set(names[:first_gc]) == {"rl"} and set(names[first_gc:]) == {"gc"}
    # Each iteration ran to its end (the StopIteration call is logged too).
    assert ("rl", "next", 2) in log and ("gc", "next", 1) in log


def test_gc_contents_untouched_when_run_lengths_fail():
    log = []
    rl = Recorder([("a", 1), ("b", "x")], log=log, name="rl")
    gcs = Recorder([("a", "not a number")], log=log, name="gc")
    with pytest.raises(TypeError) as info:
        prob(rl, gcs)
    assert str(info.value).startswith("argument 'run_lengths': ")
    assert all(entry[0] == "rl" for entry in log)


def test_gc_contents_error_after_valid_run_lengths():
    log = []
    rl = Recorder([("a", 1)], log=log, name="rl")
    gcs = Recorder([("a", 0.5), ("b", "x")], log=log, name="gc")
    with pytest.raises(TypeError) as info:
        prob(rl, gcs)
    inner = float_error("x")
    assert str(info.value) == f"argument 'gc_contents': {inner}"
    assert ("gc", "next", 1) in log


def test_invalid_run_lengths_reported_before_invalid_gc_contents():
    assert_raises_exactly(ValueError, "expected tuple of length 2, but got tuple of length 1",
                          prob, [("a",)], None)
    with pytest.raises(OverflowError):
        prob([("a", 2**31)], [("a", "x")])
    assert_raises_exactly(ValueError, "x", prob, Recorder([], fail_at=(0, ValueError("x"))), "y")


@pytest.mark.parametrize("bad_call", [
    lambda: run(None),
    lambda: run([1]),
    lambda: with_ids([("a", "b", "c")]),
    lambda: prob([("a", 1.5)], []),
    lambda: run(["\ud800"]),
])
def test_module_usable_after_conversion_failure(bad_call):
    with pytest.raises(Exception):
        bad_call()
    assert run(["ATGTAA", "TAGTAGTAG"]) == [2, 3]


def test_nan_and_inf_fractions_pass_conversion():
    result = prob([("a", 0), ("b", 1), ("c", 1)], [("a", math.nan), ("b", math.nan), ("c", math.inf)])
    assert result[0] == ("a", 1.0)
    assert math.isnan(result[1][1])
    assert result[2] == ("c", -math.inf)


# --------------------------------------------------------------------------
# Iteration protocol details


class ReversedList(list):
    """A list whose iterator disagrees with its storage."""

    def __iter__(self):
        return iter(self[::-1])


class ExtendedTuple(tuple):
    def __iter__(self):
        yield from tuple.__iter__(self)
        yield "TAATAATAA"


class LenRaisingList(list):
    def __len__(self):
        raise RuntimeError("no length")


@pytest.mark.parametrize("value, expected", [
    (ReversedList(["ATG", "ATGTAA", ""]), [0, 2, 1]),
    (ExtendedTuple(("ATG",)), [1, 3]),
    (LenRaisingList(["ATGTAA", "ATG"]), [2, 1]),
])
def test_outer_argument_is_read_through_its_iterator(value, expected):
    assert run(value) == expected


def test_panic_exception_from_len_is_not_dropped(panic_type):
    with pytest.raises(BaseException) as info:
        run(Recorder(ITEMS, length=panic_type("from __len__")))
    assert type(info.value) is panic_type
    assert info.value.args == ("from __len__",)
    assert run(Recorder(ITEMS)) == [2, 1, 0]


class Unprintable:
    def __str__(self):
        raise ValueError("cannot print")


def test_inner_message_with_lone_surrogate():
    exc = assert_raises_exactly(TypeError, "argument 'sequences': bad\ufffd\ufffd\ufffd!",
                                run, IterRaises(TypeError("bad\udc80!")))
    assert exc.__cause__ is None


def test_inner_message_that_cannot_be_printed(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    failure = TypeError(Unprintable())
    assert_raises_exactly(TypeError, "argument 'sequences': <unprintable TypeError object>",
                          run, IterRaises(failure))
    assert len(seen) == 1
    assert seen[0].exc_type is ValueError
    assert str(seen[0].exc_value) == "cannot print"
