"""Fast batch analysis of nucleotide sequences.

Every function takes a whole batch and returns a new list with one result per
input item, in input order. The work runs on a process-wide pool of native
worker threads, sized by RAYON_NUM_THREADS (then RAYON_RS_NUM_CPUS, then the
processors available to the process), read once, at the first call.

Conventions shared by all functions:

- Lengths, positions and ratios count bytes of the UTF-8 encoding, not
  characters: "GCé" is 4 bytes long.
- An identifier is copied into the result unchanged and never inspected;
  duplicates and the empty identifier pass through.
- The outer argument must be a sequence (list, tuple, range, ...), not a str,
  not a generator, not None; pairs must be tuples of exactly two items. A
  wrong argument raises TypeError (or ValueError for a tuple of the wrong
  length) before any work starts, and nothing is computed.
- An internal failure of the native code raises
  ``pyo3_runtime.PanicException``, which derives from BaseException, not
  Exception, and is not an attribute of this module.
"""

from collections.abc import Sequence

__all__ = [
    "calculate_stop_free_run",
    "calculate_stop_free_runs_with_ids",
    "calculate_stop_free_run_with_ratio",
    "calculate_gc_content",
    "calculate_run_probability",
]

def calculate_stop_free_run(sequences: Sequence[str]) -> list[int]:
    """Longest stop-free run of each sequence, in codons.

    The sequence is upper-cased (full Unicode mapping: "ß" becomes "SS") and
    scanned in six reading frames: frames 0, 1 and 2 of the upper-cased text
    and of its reverse complement (A<->T, C<->G; every other character,
    N, U and the IUPAC ambiguity letters included, stays as it is). In each
    frame the text is cut into complete 3-byte codons from the frame's first
    byte; a trailing partial codon is ignored. A stop is exactly one of the
    codons TAA, TAG or TGA: a codon holding N, U, another IUPAC letter or any
    other byte is never a stop, and a blank or a digit is an ordinary byte
    that shifts the frame. The run is the largest number of consecutive
    non-stop codons between two stops, or between a stop and the start or
    end of the frame, in any of the six frames; stops never count.

    >>> calculate_stop_free_run(["", "AT", "ATG", "ATGTAA", "atgtaa"])
    [0, 0, 1, 2, 2]
    >>> calculate_stop_free_run(["TAATAATAA", "NNNNNN", "AUGUAA", "ATG TAA"])
    [3, 2, 2, 2]

    ATGTAA scores 2 through its reverse complement TTACAT; TAATAATAA scores
    3 through TTATTATTA.

    Raises PanicException when a codon window of the upper-cased text would
    split a multi-byte UTF-8 character, which happens for any non-ASCII
    character once the upper-cased text is 5 bytes or longer; the message
    names the byte index, the character and its byte range:

    >>> calculate_stop_free_run(["ATGÉ"])
    Traceback (most recent call last):
    ...
    pyo3_runtime.PanicException: byte index 4 is not a char boundary; it is inside 'É' (bytes 3..5) of `ATGÉ`
    """

def calculate_stop_free_runs_with_ids(seq_tuples: Sequence[tuple[str, str]]) -> list[tuple[str, int]]:
    """(identifier, longest stop-free run) for each (identifier, sequence).

    The run is computed exactly as by calculate_stop_free_run. The result
    has the shape that calculate_run_probability takes as run_lengths.

    >>> calculate_stop_free_runs_with_ids([("a", "ATGTAA"), ("b", "TAA"), ("a", "")])
    [('a', 2), ('b', 1), ('a', 0)]
    """

def calculate_stop_free_run_with_ratio(sequences: Sequence[tuple[str, str]]) -> list[tuple[str, int, float]]:
    """(identifier, run, run / length) for each (identifier, sequence).

    run is the longest stop-free run of calculate_stop_free_run, in codons;
    length is the sequence's length in bytes of UTF-8, before upper-casing.
    The ratio sets codons against bytes, so for ASCII text it is at most
    1/3; the empty sequence gives a ratio of 0.0, never NaN.

    >>> calculate_stop_free_run_with_ratio([("a", "ATGTAA"), ("b", "TAGATAG"), ("c", "")])
    [('a', 2, 0.3333333333333333), ('b', 2, 0.2857142857142857), ('c', 0, 0.0)]
    """

def calculate_gc_content(sequences: Sequence[tuple[str, str]]) -> list[tuple[str, float]]:
    """(identifier, GC fraction) for each (identifier, sequence).

    The fraction is the number of bytes that are exactly G, C, g or c,
    divided by the sequence's length in bytes of UTF-8. Every other byte
    counts in the denominator only: N and the other IUPAC letters (S too,
    although S stands for G or C) lower the fraction. The empty sequence
    gives 0.0. The result has the shape that calculate_run_probability
    takes as gc_contents.

    >>> calculate_gc_content([("a", "GGCC"), ("b", "gcAT"), ("c", "GCNN"), ("d", "")])
    [('a', 1.0), ('b', 0.5), ('c', 0.5), ('d', 0.0)]
    >>> calculate_gc_content([("s", "GSS"), ("e", "GCé")])  # é is two bytes
    [('s', 0.3333333333333333), ('e', 0.5)]
    """

def calculate_run_probability(
    run_lengths: Sequence[tuple[str, int]], gc_contents: Sequence[tuple[str, float]]
) -> list[tuple[str, float]]:
    """(identifier, probability) for each (identifier, run length).

    The probability that n codons drawn at random from a sequence of GC
    fraction gc hold no stop codon, with independent bases,
    P(G) = P(C) = gc/2 and P(A) = P(T) = (1 - gc)/2: a codon is not a stop
    with probability q = 1 - (1 + gc)(1 - gc)^2 / 8, and the result is q^n,
    computed by binary exponentiation (the same bits on every platform; it
    may differ from q ** n in the last digits).

    gc is looked up in gc_contents by exact identifier (same characters,
    case matters). A missing identifier means gc = 0.0, so q = 0.875; for a
    repeated identifier the last pair wins. Run lengths must fit in a signed
    32-bit integer (OverflowError otherwise); n = 0 gives 1.0 and a negative
    n gives 1 / q^|n|. GC fractions are not checked.

    >>> calculate_run_probability([("a", 100), ("b", 1), ("A", 2)], [("a", 0.5)])
    [('a', 0.008222163388141749), ('b', 0.875), ('A', 0.765625)]
    >>> calculate_run_probability([("a", 0), ("a", -1)], [("a", 0.2), ("a", 0.0)])
    [('a', 1.0), ('a', 1.1428571428571428)]
    """
