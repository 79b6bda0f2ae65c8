#!/usr/bin/env python3
"""Write lambda_reads.fq.gz: 1,000 reads of 150 bases cut from the shipped
lambda phage genome (seeded, so the same reads every time; half of them from
the reverse strand, every 25th with one base called N) under a fixed quality
string of 100 x 'I' (Q40) and 50 x '5' (Q20).

    python3 examples/data/make_lambda_reads.py
"""

import gzip
import random
from pathlib import Path

HERE = Path(__file__).resolve().parent
READS, LENGTH, SEED = 1000, 150, 12
QUALITY = "I" * 100 + "5" * 50
COMPLEMENT = str.maketrans("ACGT", "TGCA")


def genome() -> str:
    with gzip.open(HERE / "lambda_virus.fa.gz", "rt", encoding="ascii") as handle:
        return "".join(line.strip() for line in handle if not line.startswith(">"))


def reads() -> str:
    sequence = genome()
    rng = random.Random(SEED)
    lines = []
    for number in range(1, READS + 1):
        start = int(rng.random() * (len(sequence) - LENGTH + 1))
        read = sequence[start:start + LENGTH]
        strand = "+" if rng.random() < 0.5 else "-"
        if strand == "-":
            read = read.translate(COMPLEMENT)[::-1]
        if number % 25 == 0:
            at = int(rng.random() * LENGTH)
            read = read[:at] + "N" + read[at + 1:]
        lines += [f"@lambda_{number:04d} start={start + 1} strand={strand}", read, "+", QUALITY]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    # mtime=0 keeps the compressed file free of the time it was written.
    with open(HERE / "lambda_reads.fq.gz", "wb") as raw, \
            gzip.GzipFile(fileobj=raw, mode="wb", mtime=0, filename="") as out:
        out.write(reads().encode("ascii"))
