#!/usr/bin/env python3.14
"""A small, fully annotated use of marlinox that mypy --strict accepts.

It shows the types the module's functions take and return: each function
takes a sequence of str or of tuples and returns a new list, and the results
of calculate_stop_free_runs_with_ids and calculate_gc_content have exactly the
shapes that calculate_run_probability takes.

    python3.14 examples/typed_example.py
    python3.14 -m mypy --strict examples/typed_example.py
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import marlinox


@dataclass(frozen=True, slots=True)
class Summary:
    identifier: str
    length: int
    gc_fraction: float
    stop_free_run: int
    ratio: float
    probability: float


def summarise(records: Sequence[tuple[str, str]]) -> list[Summary]:
    """One Summary per (identifier, sequence) record, in input order.

    Identifiers must be unique here, because calculate_run_probability looks
    GC fractions up by identifier.
    """
    gc: list[tuple[str, float]] = marlinox.calculate_gc_content(records)
    runs: list[tuple[str, int, float]] = marlinox.calculate_stop_free_run_with_ratio(records)
    run_lengths: list[tuple[str, int]] = [(key, run) for key, run, _ in runs]
    probabilities = marlinox.calculate_run_probability(run_lengths, gc)
    return [
        Summary(identifier, len(sequence.encode()), fraction, run, ratio, probability)
        for (identifier, sequence), (_, fraction), (_, run, ratio), (_, probability)
        in zip(records, gc, runs, probabilities, strict=True)
    ]


def longest_runs(sequences: Sequence[str]) -> dict[str, int]:
    """The longest stop-free run of each distinct sequence."""
    unique = sorted(set(sequences))
    return dict(zip(unique, marlinox.calculate_stop_free_run(unique), strict=True))


def unlikely(records: Sequence[tuple[str, str]], threshold: float = 0.01) -> list[str]:
    """Identifiers whose longest run is less likely than threshold by chance."""
    runs = marlinox.calculate_stop_free_runs_with_ids(records)
    gc = marlinox.calculate_gc_content(records)
    return [key for key, p in marlinox.calculate_run_probability(runs, gc) if p < threshold]


def main() -> None:
    records = [
        ("orf", "ATG" + "GCA" * 60 + "TAA"),
        ("repeat", "TAGTAATGA" * 20),
        ("short", "ATGAAATAGCCCGGGTTT"),
    ]
    for row in summarise(records):
        print(f"{row.identifier}\t{row.length}\t{row.gc_fraction:.3f}\t"
              f"{row.stop_free_run}\t{row.ratio:.3f}\t{row.probability:.3g}")
    print("longest runs:", longest_runs(["ATGTAA", "TAATAATAA", "ATGTAA"]))
    print("unlikely by chance:", unlikely(records))


if __name__ == "__main__":
    main()
