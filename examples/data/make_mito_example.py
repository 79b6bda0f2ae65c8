#!/usr/bin/env python3
"""Write mito_example.fa: a small synthetic genome whose genes follow the
vertebrate mitochondrial code (NCBI table 2), for the README's example of
`--table 2`. Six genes, four on the forward strand and two on the reverse,
each an initiation codon of table 2, then codons drawn at random from the
codons that table 2 reads as amino acids (TGA, tryptophan there, among them;
AGA and AGG, stops there, never), then one of table 2's stops; random bases
at a GC fraction of 0.44 between them. Seeded: the same text every time.

    python3 examples/data/make_mito_example.py
"""

import itertools
import random
from pathlib import Path

HERE = Path(__file__).resolve().parent
SEED = 2
STOPS = ["TAA", "TAG", "AGA", "AGG"]
STARTS = ["ATG", "ATA", "ATT"]
SENSE = ["".join(c) for c in itertools.product("ACGT", repeat=3) if "".join(c) not in STOPS]
COMPLEMENT = str.maketrans("ACGT", "TGCA")
# (codons of the gene, its strand)
GENES = [(420, "+"), (230, "+"), (510, "-"), (160, "+"), (340, "-"), (260, "+")]


def spacer(rng: random.Random, length: int) -> str:
    return "".join(rng.choices("ACGT", weights=[28, 22, 22, 28], k=length))


def gene(rng: random.Random, codons: int) -> str:
    return rng.choice(STARTS) + "".join(rng.choices(SENSE, k=codons - 1)) + rng.choice(STOPS)


def genome() -> str:
    rng = random.Random(SEED)
    pieces = []
    for codons, strand in GENES:
        pieces.append(spacer(rng, rng.randrange(60, 240)))
        piece = gene(rng, codons)
        pieces.append(piece if strand == "+" else piece.translate(COMPLEMENT)[::-1])
    pieces.append(spacer(rng, 120))
    return "".join(pieces)


def fasta() -> str:
    sequence = genome()
    lines = [sequence[i:i + 70] for i in range(0, len(sequence), 70)]
    return ">mito_example synthetic genes of the vertebrate mitochondrial code\n" + "\n".join(lines) + "\n"


def main() -> None:
    (HERE / "mito_example.fa").write_text(fasta(), encoding="ascii")


if __name__ == "__main__":
    main()
