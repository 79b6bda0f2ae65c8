"""GC content and run probability: exact values, table lookup rules and
argument order."""

import math

import pytest

import marlinox
from conftest import float_bits, same_float

gc = marlinox.calculate_gc_content
prob = marlinox.calculate_run_probability

GC_CONTENT = [
    ("", 0.0),
    ("GGCC", 1.0),
    ("gGcC", 1.0),
    ("ATAT", 0.0),
    ("gcAT", 0.5),
    ("GCNN", 0.5),
    ("GCS", 0.6666666666666666),   # S is no G or C
    ("GSS", 0.3333333333333333),
    ("SSSS", 0.0),
    ("GCé", 0.5),                  # é is two bytes: 2 / 4
    ("G" + "é" * 3, 1 / 7),
    ("Gé😀", 1 / 7),
    ("G\x00C\x00", 0.5),
    ("G C\n", 0.5),
    ("ACGTN", 0.4),
    ("AAAAAAAAAG", 0.1),
    ("é", 0.0),
    ("ĠĊ", 0.0),                   # no byte of a multi-byte character counts
    ("G" * 1000 + "A" * 2000, 1 / 3),
]


@pytest.mark.parametrize("sequence, expected", GC_CONTENT)
def test_gc_content(sequence, expected):
    result = gc([("id", sequence)])
    assert result == [("id", expected)]
    assert type(result[0][1]) is float
    assert result[0][1].hex() == expected.hex()


def test_gc_content_batch_keeps_order_and_duplicates():
    pairs = [("x", "GG"), ("x", "AA"), ("", "GA"), ("y", ""), ("x", "GC")]
    assert gc(pairs) == [("x", 1.0), ("x", 0.0), ("", 0.5), ("y", 0.0), ("x", 1.0)]


def test_gc_content_empty_batch():
    data = []
    result = gc(data)
    assert result == [] and result is not data


def test_gc_content_large_batch_order():
    pairs = [(f"id{i}", "G" * (i % 11) + "A" * (10 - i % 11)) for i in range(4000)]
    result = gc(pairs)
    assert [r[0] for r in result] == [p[0] for p in pairs]
    assert [r[1] for r in result] == [(i % 11) / 10 for i in range(4000)]


def test_gc_content_identifiers_round_trip():
    ids = ["", "\x00", "é", "e\u0301", "😀", "A B", "a" * 500]
    result = gc([(i, "G") for i in ids])
    assert [r[0] for r in result] == ids
    assert all(type(r[0]) is str and r[1] == 1.0 for r in result)


# --------------------------------------------------------------------------
# Run probability


PROBABILITIES = [
    # (run length, gc fraction, probability)
    (1, 0.0, 0.875),
    (2, 0.0, 0.765625),
    (10, 0.0, 0.2630755761638284),
    (0, 0.0, 1.0),
    (-1, 0.0, 1.1428571428571428),
    (1, 0.5, 0.953125),
    (100, 0.5, 0.008222163388141749),   # binary exponentiation, not pow()
    (0, math.nan, 1.0),
    (0, math.inf, 1.0),
    (0, 0.3, 1.0),
    (1, 1.0, 1.0),
    (1000, 1.0, 1.0),
    (-1000, 1.0, 1.0),
    (2147483647, 1.0, 1.0),
    (-2147483648, 1.0, 1.0),
    (-2147483648, 0.0, math.inf),       # the power underflows to 0
    (2147483647, 0.0, 0.0),
    (3, 3.0, -1.0),                     # q = -1: no range check on gc
    (-3, 3.0, -1.0),
    (4, 3.0, 1.0),
    (1, math.inf, -math.inf),
    (2, math.inf, math.inf),
    (-1, -math.inf, 0.0),
    (5, -1.0, 1.0),
    (1, math.nan, math.nan),
    (-7, math.nan, math.nan),
    (2147483647, 2.8, -0.0),            # odd power of a negative q underflows to -0.0
    (-2147483647, 2.8, -math.inf),
    (2147483646, 2.8, 0.0),
]


@pytest.mark.parametrize("n, fraction, expected", PROBABILITIES)
def test_probability(n, fraction, expected):
    result = prob([("id", n)], [("id", fraction)])
    assert len(result) == 1 and result[0][0] == "id"
    assert same_float(result[0][1], expected), (result[0][1], expected)


def test_binary_exponentiation_differs_from_correct_rounding():
    (_, value), = prob([("a", 100)], [("a", 0.5)])
    assert value == 0.008222163388141749
    assert value != 0.008222163388141752


def test_negative_zero_survives_result_conversion():
    (_, value), = prob([("a", 2147483647)], [("a", 2.8)])
    assert value == 0.0 and float_bits(value) == float_bits(-0.0)


@pytest.mark.parametrize("gc_contents", [
    [],
    [("b", 0.5)],
    [("A", 0.5)],        # identifiers match exactly: case differs
    [("a ", 0.5)],       # trailing blank
    [(" a", 0.5)],
    [("a\x00", 0.5)],
    [("á", 0.5)],
])
def test_missing_identifier_uses_gc_zero(gc_contents):
    run_lengths = [("a", 1), ("a", 2), ("a", 10)]
    assert prob(run_lengths, gc_contents) == [("a", 0.875), ("a", 0.765625), ("a", 0.2630755761638284)]


def test_unicode_identifiers_are_not_normalised():
    composed, decomposed = "é", "e\u0301"
    result = prob([(composed, 1), (decomposed, 1)], [(decomposed, 0.5)])
    assert result == [(composed, 0.875), (decomposed, 0.953125)]


def test_nul_inside_identifier_is_part_of_the_key():
    result = prob([("a\x00b", 1), ("a", 1), ("a\x00c", 1)], [("a\x00b", 1.0), ("a", 0.5)])
    assert result == [("a\x00b", 1.0), ("a", 0.953125), ("a\x00c", 0.875)]


def test_empty_identifier_is_a_key():
    assert prob([("", 1), ("x", 1)], [("", 0.5)]) == [("", 0.953125), ("x", 0.875)]


@pytest.mark.parametrize("gc_contents, expected", [
    ([("a", 0.0), ("a", 1.0)], 1.0),
    ([("a", 1.0), ("a", 0.0)], 0.875 ** 1),
    ([("a", 1.0), ("b", 0.3), ("a", 0.5), ("c", 0.1)], 0.953125),
    ([("a", math.nan), ("a", 0.5)], 0.953125),
    ([("a", 0.5), ("a", math.nan)], math.nan),
])
def test_last_duplicate_wins(gc_contents, expected):
    (_, value), = prob([("a", 1)], gc_contents)
    assert same_float(value, expected)


def test_duplicate_run_length_identifiers_each_give_a_pair():
    run_lengths = [("a", 1), ("b", 2), ("a", 2), ("a", 0), ("b", 1)]
    gc_contents = [("a", 0.5), ("unused", 1.0), ("b", 0.0)]
    assert prob(run_lengths, gc_contents) == [
        ("a", 0.953125), ("b", 0.765625), ("a", 0.953125 * 0.953125), ("a", 1.0), ("b", 0.875)]


def test_unused_gc_entries_have_no_effect():
    base = prob([("a", 5)], [("a", 0.5)])
    noisy = prob([("a", 5)], [("z", 1.0), ("a", 0.5), ("A", 0.0), ("y", math.nan)])
    assert base == noisy


@pytest.mark.parametrize("gc_contents", [[], [("a", 0.5)], [("a", 0.5)] * 100])
def test_empty_run_lengths_give_empty_list(gc_contents):
    data = []
    result = prob(data, gc_contents)
    assert result == [] and result is not data


def test_gc_contents_is_converted_even_when_run_lengths_is_empty():
    with pytest.raises(TypeError) as info:
        prob([], "y")
    assert str(info.value) == "argument 'gc_contents': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        prob([], [("a", "0.5")])
    assert str(info.value).startswith("argument 'gc_contents': ")


def test_run_lengths_converted_before_gc_contents():
    order = []

    class Logged:
        def __init__(self, name, items):
            self.name, self.items = name, items

        def __getitem__(self, index):
            raise AssertionError("not used")

        def __iter__(self):
            order.append(self.name)
            for item in self.items:
                order.append(self.name)
                yield item

    result = prob(gc_contents=Logged("gc", [("a", 0.5)]), run_lengths=Logged("rl", [("a", 1), ("b", 1)]))
    assert result == [("a", 0.953125), ("b", 0.875)]
    assert order == ["rl", "rl", "rl", "gc", "gc"]
    # When both are invalid the run lengths are reported.
    with pytest.raises(TypeError) as info:
        prob(gc_contents="y", run_lengths="x")
    assert str(info.value) == "argument 'run_lengths': Can't extract `str` to `Vec`"


def test_probability_large_batch_order():
    fractions = [("id%d" % i, (i % 5) / 4) for i in range(50)]
    run_lengths = [("id%d" % (i % 60), i % 13) for i in range(5000)]
    result = prob(run_lengths, fractions)
    assert [r[0] for r in result] == [r[0] for r in run_lengths]
    table = dict(fractions)
    for (ident, n), (_, value) in zip(run_lengths, result):
        g = table.get(ident, 0.0)
        q = 1.0 + ((g + 1.0) * ((1.0 - g) * (1.0 - g))) * -0.125
        expected = 1.0
        for _ in range(n):
            expected *= q
        if n < 4:
            # For n up to 3 repeated multiplication is the binary method.
            assert value == expected
        else:
            assert value == pytest.approx(expected, rel=1e-14)


def test_result_types():
    result = prob([("a", 1)], [])
    assert type(result) is list
    assert type(result[0]) is tuple and len(result[0]) == 2
    assert type(result[0][0]) is str and type(result[0][1]) is float
