"""Property tests: the module against a small, plain-Python model of the same
computations."""

import math
import unicodedata

import pytest
from hypothesis import given, strategies as st

import marlinox
from conftest import panic_exception_type, same_float

# --------------------------------------------------------------------------
# The model

STOP_CODONS = (b"TAA", b"TAG", b"TGA")
COMPLEMENT = {"A": "T", "a": "T", "C": "G", "c": "G", "G": "C", "g": "C", "T": "A", "t": "A"}
MESSAGE_LIMIT = 256


class BoundaryFailure(Exception):
    """A codon window split a multi-byte character."""


def _is_continuation(byte):
    return 0x80 <= byte <= 0xBF


def _is_boundary(data, pos):
    return pos == 0 or pos == len(data) or not _is_continuation(data[pos])


def _quoted_char(ch):
    if unicodedata.combining(ch) or unicodedata.category(ch) in ("Mn", "Me") or not ch.isprintable():
        return "'\\u{%x}'" % ord(ch)
    return f"'{ch}'"


def _boundary_message(data, index):
    start = index
    while _is_continuation(data[start]):
        start -= 1
    end = start + 1
    while end < len(data) and _is_continuation(data[end]):
        end += 1
    char = data[start:end].decode()
    if len(data) > MESSAGE_LIMIT:
        cut = MESSAGE_LIMIT
        while _is_continuation(data[cut]):
            cut -= 1
        shown, ellipsis = data[:cut].decode(), "[...]"
    else:
        shown, ellipsis = data.decode(), ""
    return (f"byte index {index} is not a char boundary; it is inside {_quoted_char(char)} "
            f"(bytes {start}..{end}) of `{shown}`{ellipsis}")


def _strand_score(data):
    best_of_frames = 0
    for frame in range(3):
        best = 0
        start = pos = frame
        while pos + 3 <= len(data):
            for edge in (pos, pos + 3):
                if not _is_boundary(data, edge):
                    raise BoundaryFailure(_boundary_message(data, edge))
            if data[pos:pos + 3] in STOP_CODONS:
                best = max(best, (pos - start) // 3)
                start = pos + 3
            pos += 3
        best = max(best, (pos - start) // 3)
        best_of_frames = max(best_of_frames, best)
    return best_of_frames


def model_run(sequence):
    upper = sequence.upper()
    reverse = "".join(COMPLEMENT.get(ch, ch) for ch in reversed(upper))
    forward_score = _strand_score(upper.encode())
    return max(forward_score, _strand_score(reverse.encode()))


def model_ratio(sequence):
    run = model_run(sequence)
    size = len(sequence.encode())
    return run, (run / size if size else 0.0)


def model_gc(sequence):
    data = sequence.encode()
    if not data:
        return 0.0
    return sum(data.count(letter) for letter in b"GCgc") / len(data)


def model_single_probability(n, gc):
    d = 1.0 - gc
    e = d * d
    s = (gc + 1.0) * e
    q = 1.0 + s * -0.125
    m = abs(n)
    r = q if m & 1 else 1.0
    x = q
    while m > 1:
        x = x * x
        if m & 2:
            r = r * x
        m >>= 1
    if n >= 0:
        return r
    if r == 0.0:
        # IEEE division by a signed zero, which Python's float refuses.
        return math.copysign(math.inf, r)
    return 1.0 / r


def model_probability(run_lengths, gc_contents):
    table = {}
    for ident, fraction in gc_contents:
        table[ident] = float(fraction)
    return [(ident, model_single_probability(n, table.get(ident, 0.0))) for ident, n in run_lengths]


# --------------------------------------------------------------------------
# Sanity checks of the model itself against known values


@pytest.mark.parametrize("sequence, expected", [
    ("", 0), ("ATGTAA", 2), ("TAATAATAA", 3), ("ATGAAATAGCCCGGGTTT", 6), ("ßTAA", 1), ("AÉA", 1),
])
def test_model_run_known_values(sequence, expected):
    assert model_run(sequence) == expected


def test_model_probability_known_values():
    assert model_single_probability(100, 0.5) == 0.008222163388141749
    assert model_single_probability(10, 0.0) == 0.2630755761638284
    assert model_single_probability(-1, 0.0) == 1.1428571428571428


# --------------------------------------------------------------------------
# Strategies

ASCII_ALPHABET = "ACGTacgtNnUuRYSWKMBDHVrysw \t\n\x00-*."
CODONS = ["TAA", "TAG", "TGA", "ATG", "AAA", "TTA", "CTA", "TCA", "GGG", "CCC", "taa", "tGa", "NNN"]
NON_ASCII = "ÉéßſıŉﬁñΩωжµǅ\u0301中😀"

ascii_sequences = st.text(alphabet=ASCII_ALPHABET, max_size=80)
codon_sequences = st.builds(
    lambda prefix, codons: prefix + "".join(codons),
    st.text(alphabet="ACGT", max_size=2),
    st.lists(st.sampled_from(CODONS), max_size=60),
)
nucleotide_sequences = st.one_of(ascii_sequences, codon_sequences)
identifiers = st.text(max_size=6)
mixed_sequences = st.text(alphabet="ACGTacgt" + NON_ASCII, max_size=8)

# Everything at once: nucleotides in both cases, IUPAC letters, blanks, NUL,
# and non-ASCII characters, among them ones whose upper case is longer (ŉ, ǰ,
# ﬁ, ß), shorter (ſ, ı) or of another byte length (ȿ: 2 bytes, upper 3).
IUPAC = "RYSWKMBDHVNUryswkmbdhvnu"
LENGTH_CHANGING = "ŉǰﬁßſıȿɐⱥ"
ANY_ALPHABET = "ACGTacgt" + IUPAC + " \t\n\r\x00" + NON_ASCII + LENGTH_CHANGING
any_sequences = st.one_of(
    st.text(alphabet=ANY_ALPHABET, max_size=12),
    st.text(max_size=6),  # any code point but surrogates
    # a long ASCII stretch with a few other characters: failure messages that
    # quote 256 bytes and cut inside a character
    st.builds(lambda head, tail: head + tail, st.text(alphabet="ACGTN", min_size=250, max_size=260),
              st.text(alphabet=ANY_ALPHABET, max_size=4)),
)


def _model_outcome(sequence):
    try:
        return model_run(sequence), None
    except BoundaryFailure as failure:
        return None, str(failure)


# --------------------------------------------------------------------------
# Properties


@given(st.lists(nucleotide_sequences, max_size=12))
def test_stop_free_run_matches_model(sequences):
    assert marlinox.calculate_stop_free_run(sequences) == [model_run(s) for s in sequences]


@given(st.lists(st.tuples(identifiers, nucleotide_sequences), max_size=12))
def test_runs_with_ids_match_model(pairs):
    expected = [(ident, model_run(seq)) for ident, seq in pairs]
    assert marlinox.calculate_stop_free_runs_with_ids(pairs) == expected


@given(st.lists(st.tuples(identifiers, nucleotide_sequences), max_size=12))
def test_ratio_matches_model(pairs):
    result = marlinox.calculate_stop_free_run_with_ratio(pairs)
    assert len(result) == len(pairs)
    for (ident, seq), (got_ident, got_run, got_ratio) in zip(pairs, result):
        run, ratio = model_ratio(seq)
        assert (got_ident, got_run) == (ident, run)
        assert same_float(got_ratio, ratio)
        if seq.isascii():
            assert got_ratio <= 1 / 3


@given(mixed_sequences)
def test_non_ascii_single_sequence_matches_model(sequence):
    panic = panic_exception_type()
    run, message = _model_outcome(sequence)
    upper = sequence.upper().encode()
    if len(upper) >= 5 and not upper.isascii():
        # Any non-ASCII character in a text of 5 or more bytes is split by
        # some window.
        assert message is not None
    if message is None:
        assert marlinox.calculate_stop_free_run([sequence]) == [run]
        assert marlinox.calculate_stop_free_run_with_ratio([("x", sequence)]) == [
            ("x", run, model_ratio(sequence)[1])]
    else:
        with pytest.raises(BaseException) as info:
            marlinox.calculate_stop_free_run([sequence])
        assert type(info.value) is panic
        assert info.value.args == (message,)


@given(st.lists(mixed_sequences, min_size=1, max_size=10))
def test_non_ascii_batch_reports_first_failure(sequences):
    panic = panic_exception_type()
    outcomes = [_model_outcome(s) for s in sequences]
    failures = [message for _, message in outcomes if message is not None]
    pairs = [(str(i), s) for i, s in enumerate(sequences)]
    if not failures:
        expected = [run for run, _ in outcomes]
        assert marlinox.calculate_stop_free_run(sequences) == expected
        assert marlinox.calculate_stop_free_runs_with_ids(pairs) == list(zip(map(str, range(len(sequences))), expected))
        return
    for call in (lambda: marlinox.calculate_stop_free_run(sequences),
                 lambda: marlinox.calculate_stop_free_runs_with_ids(pairs),
                 lambda: marlinox.calculate_stop_free_run_with_ratio(pairs)):
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value) is panic
        assert info.value.args == (failures[0],)


@given(st.lists(st.tuples(identifiers, st.text(max_size=40)), max_size=12))
def test_gc_content_matches_model(pairs):
    result = marlinox.calculate_gc_content(pairs)
    assert [ident for ident, _ in result] == [ident for ident, _ in pairs]
    for (_, seq), (_, fraction) in zip(pairs, result):
        assert same_float(fraction, model_gc(seq))
        assert 0.0 <= fraction <= 1.0


run_length_values = st.one_of(
    st.integers(-2**31, 2**31 - 1),
    st.integers(-300, 300),
    st.sampled_from([0, 1, -1, 2**31 - 1, -2**31, 2**30, -2**30]),
)
gc_values = st.one_of(
    st.floats(0.0, 1.0),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 0.5, 1.0, 3.0, 2.8, -1.0, math.nan, math.inf, -math.inf]),
)
probability_ids = st.sampled_from(["a", "b", "A", "a ", "", "é", "e\u0301", "a\x00"])


@given(st.lists(st.tuples(probability_ids, run_length_values), max_size=12),
       st.lists(st.tuples(probability_ids, gc_values), max_size=12))
def test_run_probability_matches_model(run_lengths, gc_contents):
    result = marlinox.calculate_run_probability(run_lengths, gc_contents)
    expected = model_probability(run_lengths, gc_contents)
    assert len(result) == len(expected)
    for (got_ident, got), (want_ident, want) in zip(result, expected):
        assert got_ident == want_ident
        assert same_float(got, want), (got, want)


@given(st.integers(-2**31, 2**31 - 1), st.floats(allow_nan=False))
def test_single_probability_matches_model(n, gc):
    (_, got), = marlinox.calculate_run_probability([("k", n)], [("k", gc)])
    assert same_float(got, model_single_probability(n, gc))


@given(st.lists(st.tuples(identifiers, nucleotide_sequences), max_size=12))
def test_pipeline_matches_model(pairs):
    runs = marlinox.calculate_stop_free_runs_with_ids(pairs)
    fractions = marlinox.calculate_gc_content(pairs)
    result = marlinox.calculate_run_probability(runs, fractions)
    gc_table = {ident: model_gc(seq) for ident, seq in pairs}
    expected = [(ident, model_single_probability(model_run(seq), gc_table[ident])) for ident, seq in pairs]
    assert len(result) == len(expected)
    for (got_ident, got), (want_ident, want) in zip(result, expected):
        assert got_ident == want_ident and same_float(got, want)


@given(st.lists(st.tuples(identifiers, any_sequences), max_size=6))
def test_all_five_functions_on_any_text(pairs):
    """Every function on text over the whole alphabet, against the model."""
    panic = panic_exception_type()
    sequences = [seq for _, seq in pairs]
    outcomes = [_model_outcome(seq) for seq in sequences]
    failures = [message for _, message in outcomes if message is not None]
    run_calls = [
        (lambda: marlinox.calculate_stop_free_run(sequences), lambda runs: runs),
        (lambda: marlinox.calculate_stop_free_runs_with_ids(pairs),
         lambda runs: [(ident, r) for (ident, _), r in zip(pairs, runs)]),
    ]
    for call, shape in run_calls:
        if failures:
            with pytest.raises(BaseException) as info:
                call()
            assert type(info.value) is panic and info.value.args == (failures[0],)
        else:
            assert call() == shape([run for run, _ in outcomes])
    if failures:
        with pytest.raises(BaseException) as info:
            marlinox.calculate_stop_free_run_with_ratio(pairs)
        assert type(info.value) is panic and info.value.args == (failures[0],)
        runs = None
    else:
        result = marlinox.calculate_stop_free_run_with_ratio(pairs)
        for (ident, seq), (got_ident, got_run, got_ratio) in zip(pairs, result):
            run, expected_ratio = model_ratio(seq)
            assert (got_ident, got_run) == (ident, run) and same_float(got_ratio, expected_ratio)
        runs = [(ident, run) for (ident, _), (run, _) in zip(pairs, outcomes)]
    fractions = marlinox.calculate_gc_content(pairs)
    assert len(fractions) == len(pairs)
    for (ident, seq), (got_ident, got) in zip(pairs, fractions):
        assert got_ident == ident and same_float(got, model_gc(seq))
    if runs is not None:
        got = marlinox.calculate_run_probability(runs, fractions)
        want = model_probability(runs, fractions)
        assert [g[0] for g in got] == [w[0] for w in want]
        assert all(same_float(g[1], w[1]) for g, w in zip(got, want))
