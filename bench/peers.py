"""The approaches a user has without marlinox, each giving marlinox's result.

Stop-free run: the longest run of codons free of TAA, TAG and TGA over the six
reading frames. On a text of m bytes, forward window starts s = c, c + 3, ...
(s <= m - 3) form class c, and the reverse strand's frame f reads exactly the
windows of class (m - 3 - f) % 3, backwards; a window is a reverse stop when it
reads TTA, CTA or TCA. So each class carries one forward and one reverse frame,
and the run is the widest gap between stops of one kind in one class.
"""

import numpy as np

T, A, G, C = (ord(x) for x in "TAGC")


def _longest_gap(stops):
    """Longest run of False in a bool array."""
    where = np.flatnonzero(stops)
    if where.size == 0:
        return int(stops.size)
    edges = np.concatenate(([-1], where, [stops.size]))
    return int((np.diff(edges) - 1).max())


def numpy_stop_free_run(seq):
    """Vectorised stop masks over the upper-cased bytes (ASCII text)."""
    b = np.frombuffer(seq.encode(), dtype=np.uint8)
    m = b.size
    if m < 3:
        return 0
    b = b & 0xDF  # upper-case ASCII letters
    p0, p1, p2 = b[:-2], b[1:-1], b[2:]
    t0, a1, a2, g1, g2 = p0 == T, p1 == A, p2 == A, p1 == G, p2 == G
    forward = t0 & ((a1 & (a2 | g2)) | (g1 & a2))
    t1 = p1 == T
    reverse = a2 & ((t1 & (t0 | (p0 == C))) | ((p1 == C) & t0))
    best = 0
    for c in range(3):
        best = max(best, _longest_gap(forward[c::3]), _longest_gap(reverse[c::3]))
    return best


_LETTER = {
    letter: bytes(1 if chr(i).upper() == letter else 0 for i in range(256)) for letter in "TAGC"
}


def python_stop_free_run(seq):
    """bytes.translate into one byte per position, big-int masks, split per class."""
    data = seq.encode()
    m = len(data)
    if m < 3:
        return 0
    t, a, g, c = (int.from_bytes(data.translate(_LETTER[x]), "little") for x in "TAGC")
    forward = t & (a >> 8) & ((a | g) >> 16) | t & (g >> 8) & (a >> 16)
    reverse = (a >> 16) & ((t >> 8) & (t | c) | (c >> 8) & t)
    windows = m - 2
    best = 0
    for mask in (forward, reverse):
        per_window = mask.to_bytes(m, "little")[:windows]
        for cls in range(3):
            best = max(best, max(map(len, per_window[cls::3].split(b"\x01"))))
    return best


def biopython_stop_free_run(seq):
    """Six-frame translation with Biopython, split at the stops."""
    from Bio.Seq import Seq

    best = 0
    forward = Seq(seq.upper())
    for strand in (forward, forward.reverse_complement()):
        for frame in range(3):
            piece = strand[frame:]
            piece = piece[: len(piece) // 3 * 3]
            best = max(best, max(len(run) for run in str(piece.translate()).split("*")))
    return best


def str_count_gc(seq):
    if not seq:
        return 0.0
    return (seq.count("G") + seq.count("C") + seq.count("g") + seq.count("c")) / len(seq.encode())


def python_run_probability(run_lengths, gc_contents):
    """The exact loop: the same rounded double operations, in the same order."""
    table = dict(gc_contents)
    out = []
    for ident, run in run_lengths:
        gc = table.get(ident, 0.0)
        at = 1.0 - gc
        q = 1.0 + ((gc + 1.0) * (at * at)) * -0.125
        m = -run if run < 0 else run
        result = q if m & 1 else 1.0
        power = q
        while m > 1:
            power = power * power
            if m & 2:
                result = result * power
            m >>= 1
        out.append((ident, 1.0 / result if run < 0 else result))
    return out
