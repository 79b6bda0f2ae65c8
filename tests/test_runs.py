"""Stop-free runs through the three run functions: run lengths, ratios,
identifiers, batch order and character-boundary failures."""

import subprocess
import sys

import pytest

import marlinox

run = marlinox.calculate_stop_free_run
with_ids = marlinox.calculate_stop_free_runs_with_ids
with_ratio = marlinox.calculate_stop_free_run_with_ratio

RUN_LENGTHS = [
    ("", 0),
    ("AT", 0),
    ("ATG", 1),
    ("TAA", 1),               # forward 0; reverse complement TTA has no stop
    ("ATGTAA", 2),            # only the reverse complement reaches 2
    ("atgtaa", 2),
    ("AtGtAa", 2),
    ("TAATAATAA", 3),
    ("TAGTAGTAG", 3),
    ("TGATGATGA", 3),
    ("ATGAAATAGCCCGGGTTT", 6),
    ("NNNNNN", 2),
    ("AUGUAA", 2),            # U is not T
    ("UAAUAAUAA", 3),
    ("ATG TAA", 2),           # a blank is an ordinary byte
    ("ATGTA", 1),
    ("TAATAGTGA", 3),         # TTATCATTA on the reverse strand
    ("TAATAATAATTA", 3),
    ("TTATTATTATTA", 4),
    ("AAAAAAAAAAAA", 4),
    ("AAAAAAAAAAAAA", 4),     # trailing partial codon ignored
    ("ATGTAAATG", 3),
    ("TAAAAA", 2),            # frame 1 AAA A.. and reverse TTTTTA
    ("\x00\x00\x00", 1),
    ("T\x00AA", 1),
    ("RYSWKMBDHV", 3),
    ("taataataa", 3),
    ("tag" * 5 + "tga" * 5, 10),
    ("É", 0),                 # two bytes, no window
    ("AÉ", 1),                # one window spanning the whole text
    ("AÉA", 1),
    ("ßTAA", 1),              # scanned as SSTAA
    ("ſTAA", 1),              # long s becomes S
    ("ıTAA", 1),              # dotless i becomes I
    ("ﬁTAA", 1),              # the ligature becomes FI
    ("ŉ", 1),                 # becomes two characters, 3 bytes
    ("é", 0),
    ("😀", None),             # 4 bytes: byte 3 is inside the character
]


def _expected_runs():
    return [(seq, n) for seq, n in RUN_LENGTHS if n is not None]


@pytest.mark.parametrize("sequence, expected", _expected_runs())
def test_run_length(sequence, expected):
    assert run([sequence]) == [expected]
    assert with_ids([("id", sequence)]) == [("id", expected)]
    (ident, length, _), = with_ratio([("id", sequence)])
    assert (ident, length) == ("id", expected)


def test_run_length_batch_through_all_three_functions():
    sequences = [seq for seq, _ in _expected_runs()]
    expected = [n for _, n in _expected_runs()]
    ids = [f"seq{i}" for i in range(len(sequences))]
    assert run(sequences) == expected
    assert with_ids(list(zip(ids, sequences))) == list(zip(ids, expected))
    assert [r[:2] for r in with_ratio(list(zip(ids, sequences)))] == list(zip(ids, expected))


def test_result_types():
    result = run(["ATGTAA"])
    assert type(result) is list and type(result[0]) is int
    pair = with_ids([("a", "ATGTAA")])[0]
    assert type(pair) is tuple and len(pair) == 2
    assert type(pair[0]) is str and type(pair[1]) is int
    triple = with_ratio([("a", "ATGTAA")])[0]
    assert type(triple) is tuple and len(triple) == 3
    assert [type(v) for v in triple] == [str, int, float]


def test_long_sequence():
    # 30000 codons of A: frame 0 of either strand holds no stop.
    assert run(["A" * 90000]) == [30000]
    # reverse strand: GGG x 10, TTA, TTT x 30000 without a stop
    assert run(["A" * 90000 + "TAA" + "C" * 30]) == [30011]
    seq = ("ATGC" * 5000)[:-1] + "TAG"
    (ident, length, ratio), = with_ratio([("long", seq)])
    assert ratio == length / len(seq)


RATIOS = [
    ("", 0, 0.0),
    ("AT", 0, 0.0),
    ("ATG", 1, 1 / 3),
    ("ATGTAA", 2, 0.3333333333333333),
    ("TAGATAG", 2, 0.2857142857142857),
    ("ſTAA", 1, 0.2),         # divides by the 5 input bytes, not 4
    ("ŉ", 1, 0.5),            # 2 bytes that become 3
    ("ﬁTAA", 1, 1 / 6),
    ("ßTAA", 1, 0.2),
    ("AÉ", 1, 1 / 3),
    ("É", 0, 0.0),
    ("TAATAATAA", 3, 1 / 3),
    ("TTATTATTATTA", 4, 1 / 3),
    ("AAAAAAAAAAAAA", 4, 4 / 13),
    ("TAGTAGTAGTAG", 4, 1 / 3),
    ("TAGTAGTAGTAGA", 4, 4 / 13),
    ("TAATAA", 2, 1 / 3),
]


@pytest.mark.parametrize("sequence, length, ratio", RATIOS)
def test_ratio(sequence, length, ratio):
    result = with_ratio([("r", sequence)])
    assert result == [("r", length, ratio)]
    assert result[0][2].hex() == ratio.hex()


def test_empty_sequence_ratio_is_zero_not_nan():
    (_, length, ratio), = with_ratio([("", "")])
    assert length == 0 and ratio == 0.0 and ratio.hex() == "0x0.0p+0"


IDENTIFIERS = [
    "",
    "a",
    "seq_1",
    "a b\tc\n",
    "\x00",
    "id\x00with\x00nuls",
    "é",
    "e\u0301",                # not normalised
    "中文标识",
    "😀",
    "\U0010ffff",
    "Σ",                      # not case-folded
    "ß",
    "x" * 1000,
]


@pytest.mark.parametrize("func", [with_ids, with_ratio])
def test_identifiers_round_trip(func):
    pairs = [(ident, "ATG") for ident in IDENTIFIERS]
    result = func(pairs)
    assert [r[0] for r in result] == IDENTIFIERS
    for (ident, _), out in zip(pairs, result):
        assert type(out[0]) is str
        assert out[0].encode() == ident.encode()


@pytest.mark.parametrize("func", [with_ids, with_ratio])
def test_duplicate_identifiers_pass_through(func):
    pairs = [("dup", "ATG"), ("dup", "ATGTAA"), ("", "TAA"), ("dup", ""), ("", "")]
    result = func(pairs)
    assert [r[:2] for r in result] == [("dup", 1), ("dup", 2), ("", 1), ("dup", 0), ("", 0)]


def test_identifiers_are_rebuilt_not_shared():
    ident = "".join(["identifier-", "0042"])  # built at run time, not interned
    (out, _), = with_ids([(ident, "ATG")])
    assert out == ident and out is not ident


def test_results_are_new_lists():
    data = ["ATG"]
    first = run(data)
    second = run(data)
    assert first == second == [1]
    assert first is not second and first is not data
    assert data == ["ATG"]
    pairs = [("a", "ATG")]
    out = with_ids(pairs)
    assert out == [("a", 1)] and out is not pairs
    assert pairs == [("a", "ATG")]


@pytest.mark.parametrize("size", [2, 3, 17, 1000, 5003])
def test_order_preserved_in_large_batches(size):
    # Lengths vary and repeat so that a shuffle of results cannot go unseen.
    lengths = [(i * 7919) % 97 for i in range(size)]
    sequences = ["AAA" * n + ("TAA" if i % 3 == 0 else "") for i, n in enumerate(lengths)]
    # "AAA" * n scores n; with "TAA" appended the reverse strand TTA TTT...
    # holds n + 1 stop-free codons.
    expected = [n + 1 if i % 3 == 0 else n for i, n in enumerate(lengths)]
    assert run(sequences) == expected
    ids = [f"id-{i}" for i in range(size)]
    assert with_ids(list(zip(ids, sequences))) == list(zip(ids, expected))
    ratios = with_ratio(list(zip(ids, sequences)))
    assert [r[0] for r in ratios] == ids
    assert [r[1] for r in ratios] == expected
    assert all(r[2] == (e / len(s) if s else 0.0) for r, e, s in zip(ratios, expected, sequences))


def test_repeated_calls_are_stable():
    batch = ["ATGTAA", "TAATAATAA", "AUGUAA"] * 200
    expected = [2, 3, 2] * 200
    for _ in range(20):
        assert run(batch) == expected


# --------------------------------------------------------------------------
# Character-boundary failures


def _msg(index, char, start, end, text, ellipsis=""):
    return (f"byte index {index} is not a char boundary; it is inside {char} "
            f"(bytes {start}..{end}) of `{text}`{ellipsis}")


BOUNDARY_FAILURES = [
    ("ATGÉ", _msg(4, "'É'", 3, 5, "ATGÉ")),
    ("atgé", _msg(4, "'É'", 3, 5, "ATGÉ")),
    ("ÉAA", _msg(1, "'É'", 0, 2, "ÉAA")),
    ("éaa", _msg(1, "'É'", 0, 2, "ÉAA")),
    ("ATGE\u0301", _msg(5, "'\\u{301}'", 4, 6, "ATGE\u0301")),
    ("A" * 300 + "É", _msg(301, "'É'", 300, 302, "A" * 256, "[...]")),
    # byte 256 is inside the character: the quote stops before it
    ("A" * 255 + "É", _msg(256, "'É'", 255, 257, "A" * 255, "[...]")),
    # exactly 256 bytes: quoted whole
    ("A" * 254 + "É", _msg(255, "'É'", 254, 256, "A" * 254 + "É")),
    ("😀", _msg(3, "'😀'", 0, 4, "😀")),
    ("AAAA\u200b", _msg(6, "'\\u{200b}'", 4, 7, "AAAA\u200b")),
    ("ATGTAAÑ", _msg(7, "'Ñ'", 6, 8, "ATGTAAÑ")),
]


@pytest.mark.parametrize("sequence, message", BOUNDARY_FAILURES)
def test_boundary_failure(sequence, message, panic_type):
    for call in (lambda: run([sequence]),
                 lambda: with_ids([("id", sequence)]),
                 lambda: with_ratio([("id", sequence)])):
        with pytest.raises(BaseException) as info:
            call()
        exc = info.value
        assert type(exc) is panic_type
        assert exc.args == (message,)
        assert str(exc) == message
    # The module keeps working after the failure.
    assert run(["ATGTAA"]) == [2]


def test_upper_casing_to_ascii_is_no_failure():
    assert run(["ßßß", "ſſſſſ", "ııııı"]) == [2, 1, 1]


def test_panic_exception_is_not_an_exception(panic_type):
    caught_as_exception = False
    try:
        try:
            run(["ATGÉ"])
        except Exception:  # noqa: BLE001 - proving it does not match
            caught_as_exception = True
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) is panic_type
        assert isinstance(exc, BaseException) and not isinstance(exc, Exception)
        assert type(exc).__module__ == "pyo3_runtime"
    assert not caught_as_exception


def test_first_failing_item_in_input_order_wins(panic_type):
    batch = ["ATG"] * 1000
    batch[300] = "ÉAA"
    batch[700] = "ATGÉ"
    batch[900] = "A" * 300 + "É"
    for call in (lambda: run(batch),
                 lambda: with_ids([(str(i), s) for i, s in enumerate(batch)])):
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value) is panic_type
        assert info.value.args == (_msg(1, "'É'", 0, 2, "ÉAA"),)


@pytest.mark.parametrize("positions", [(3, 7), (0, 1), (9,), (1, 9)])
def test_failure_position_in_small_batch(positions, panic_type):
    batch = ["ACGTACGT"] * 10
    for p in positions:
        batch[p] = "ATGÉ" if p == positions[0] else "ÉAA"
    with pytest.raises(BaseException) as info:
        run(batch)
    assert type(info.value) is panic_type
    assert info.value.args == (_msg(4, "'É'", 3, 5, "ATGÉ"),)
    assert run(["ACGTACGT"] * 10) == [2] * 10


def test_failure_writes_diagnostic_to_stderr(capfd, panic_type):
    capfd.readouterr()
    with pytest.raises(panic_type):
        run(["ÉAA"])
    err = capfd.readouterr().err
    assert _msg(1, "'É'", 0, 2, "ÉAA") in err


def test_worker_failure_gives_one_diagnostic(capfd, panic_type):
    message = _msg(4, "'É'", 3, 5, "ATGÉ")
    batch = ["ACG"] * 500 + ["ATGÉ"] + ["ACG"] * 500
    capfd.readouterr()
    with pytest.raises(panic_type):
        run(batch)
    err = capfd.readouterr().err
    assert err.count(message) == 1


_HINT_SCRIPT = r"""
import sys, marlinox
def fail(seq):
    try:
        marlinox.calculate_stop_free_run([seq])
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException", exc
    else:
        raise SystemExit("no failure")
fail("ATGÉ")
sys.stderr.write("=====\n"); sys.stderr.flush()
fail("ATGÉ")
print(marlinox.calculate_stop_free_run(["ATGTAA"]))
"""


def test_hint_follows_only_the_first_diagnostic():
    proc = subprocess.run([sys.executable, "-c", _HINT_SCRIPT], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "[2]\n"
    first, second = proc.stderr.split("=====\n")
    message = _msg(4, "'É'", 3, 5, "ATGÉ")
    assert message in first and message in second
    # Same diagnostic both times, plus exactly one hint line the first time.
    assert len(first.splitlines()) == len(second.splitlines()) + 1


def test_panic_raised_back_from_python_code(capfd, panic_type):
    try:
        run(["ATGÉ"])
    except BaseException as exc:  # noqa: BLE001
        original = exc
    message = str(original)

    class Hostile:
        def __getitem__(self, index):
            raise AssertionError("not used")

        def __iter__(self):
            raise original

    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        run(Hostile())
    err = capfd.readouterr().err
    new = info.value
    assert type(new) is panic_type
    assert new is not original
    assert new.args == (message,)
    assert new.__cause__ is None
    assert "Python stack trace below:" in err
    assert f"pyo3_runtime.PanicException: {message}" in err
    assert "__iter__" in err   # the traceback of the re-raised exception
    assert run(["ATGTAA"]) == [2]


def test_panic_raised_back_with_custom_message(capfd, panic_type):
    custom = panic_type("custom text \u00e9")

    class Hostile:
        def __getitem__(self, index):
            raise AssertionError("not used")

        def __iter__(self):
            raise custom

    with pytest.raises(BaseException) as info:
        with_ids(Hostile())
    assert type(info.value) is panic_type
    assert info.value.args == ("custom text \u00e9",)
    assert info.value is not custom


def test_panic_from_element_conversion(panic_type):
    custom = panic_type("from __index__")

    class Bad:
        def __index__(self):
            raise custom

    with pytest.raises(BaseException) as info:
        marlinox.calculate_run_probability([("a", Bad())], [])
    assert type(info.value) is panic_type
    assert info.value.args == ("from __index__",)


# --------------------------------------------------------------------------
# Several Python threads


def test_concurrent_callers(panic_type):
    import threading

    errors = []
    batch = ["ATGTAA", "TAATAATAA", "AUGUAA", "A" * 300] * 50
    expected = [2, 3, 2, 100] * 50

    def worker(seed):
        try:
            for i in range(30):
                kind = (seed + i) % 4
                if kind == 0:
                    assert run(batch) == expected
                elif kind == 1:
                    with pytest.raises(TypeError) as info:
                        run([("not", "a str")])
                    assert str(info.value) == (
                        "argument 'sequences': 'tuple' object is not an instance of 'str'")
                elif kind == 2:
                    with pytest.raises(BaseException) as info:
                        run(["ACG"] * 20 + ["ATGÉ"])
                    assert type(info.value) is panic_type
                else:
                    assert marlinox.calculate_gc_content([("x", "GA")] * 40) == [("x", 0.5)] * 40
        except BaseException as exc:  # noqa: BLE001
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []


_ORDER_SCRIPT = r"""
import marlinox
seqs = ["AAA" * (i % 41) + ("TAG" if i % 2 else "") for i in range(3001)]
want = [(i % 41) + (1 if i % 2 else 0) for i in range(3001)]
assert marlinox.calculate_stop_free_run(seqs) == want
ids = [str(i) for i in range(3001)]
assert marlinox.calculate_stop_free_runs_with_ids(list(zip(ids, seqs))) == list(zip(ids, want))
try:
    marlinox.calculate_stop_free_run(["ACG"] * 3 + ["ATGÉ"] + ["ACG"] * 3 + ["ÉAA"] + ["ACG"] * 5)
except BaseException as exc:
    assert "bytes 3..5" in str(exc), exc
else:
    raise SystemExit("no failure")
print("ok")
"""


@pytest.mark.parametrize("threads", ["1", "2", "7", "0", "not-a-number"])
def test_order_whatever_the_pool_size(threads):
    import os

    env = dict(os.environ, RAYON_NUM_THREADS=threads)
    proc = subprocess.run([sys.executable, "-c", _ORDER_SCRIPT], capture_output=True, text=True,
                          timeout=300, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"
