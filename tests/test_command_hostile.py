"""The command against hostile input: every row of the table is a case, run
with several thread counts, from a file and through a pipe.

A case builds its input with a small function and states what must happen:
the exit status, the error line (a pattern; FILE stands for the name the
error gives, LINE for the line of the damage) and the rows written. Rows are
either a number with the line of the damage stated, or INTACT: the rows of
exactly the records that the reported line shows to be intact.
"""

import bz2
import dataclasses
import gzip
import lzma
import re
import struct
import subprocess
import zlib
from typing import Callable

import pytest

from test_command import COMMAND, HEADER, TIMEOUT, bgzf

zstd = pytest.importorskip("compression.zstd")

THREADS = (1, 2, 8)
INTACT = "intact"
READ_COUNT = 3000
# Enough blocks that the damage falls well inside the stream and runs of
# blocks are decoded in parallel.
BLOCK = 20000


def reads(count=READ_COUNT):
    """FASTA records of two lines: header, then 150 bases."""
    bases = b"ACGTTGCAAG" * 15
    return b"".join(b">read%d\n%s\n" % (i, bases[i % 10:] + bases[:i % 10]) for i in range(count))


DATA = reads()
EOF_BLOCK = bgzf(b"")


def bgzf_blocks(data):
    """The BGZF blocks of `data`, without the end-of-file block."""
    stream = bgzf(data, BLOCK)[:-len(EOF_BLOCK)]
    blocks = []
    while stream:
        size = struct.unpack("<H", stream[16:18])[0] + 1
        blocks.append(stream[:size])
        stream = stream[size:]
    return blocks


def intact_rows(decoded):
    """Records of two-line FASTA whose next header (or the end) was decoded."""
    return decoded.count(b"\n>")


def flip(block, at):
    return block[:at] + bytes([block[at] ^ 0x55]) + block[at + 1:]


@dataclasses.dataclass
class Given:
    data: bytes
    args: tuple = ()
    name: str = "in"


@dataclasses.dataclass
class Case:
    id: str
    build: Callable[[], Given]
    status: int
    error: str | None  # pattern of the error after "error: "
    rows: int | str | None  # None: a prefix of the records, in order
    line: int | None = None
    via: tuple = ("file", "pipe")
    threads: tuple = THREADS
    # False where wrong bytes may come out before the damage is found: the
    # rows then need not be those of the first records.
    exact_records: bool = True


def cut_bgzf_at_block(k):
    def build():
        return Given(b"".join(bgzf_blocks(DATA)[:k]))
    decoded = DATA[:k * BLOCK]
    return build, intact_rows(decoded), decoded.count(b"\n") + 1


def flipped_bgzf_block(k, where):
    def build():
        blocks = bgzf_blocks(DATA)
        # Inside the deflate data, or in the CRC of the trailer.
        blocks[k] = flip(blocks[k], 30 if where == "data" else len(blocks[k]) - 6)
        return Given(b"".join(blocks) + EOF_BLOCK)
    decoded = DATA[:k * BLOCK]
    return build, intact_rows(decoded), decoded.count(b"\n") + 1


def compress(data, how):
    if how == "bzip2":
        return bz2.compress(data)
    if how == "xz":
        return lzma.compress(data)
    return zstd.compress(data, options={zstd.CompressionParameter.checksum_flag: 1})


def whole(how, parts=1):
    def build():
        step = len(DATA) // parts + 1
        return Given(b"".join(compress(DATA[i:i + step], how) for i in range(0, len(DATA), step)))
    return build


def cut(how):
    def build():
        packed = compress(DATA, how)
        return Given(packed[:len(packed) // 2])
    return build


def damaged(how):
    def build():
        packed = compress(DATA, how)
        return Given(flip(packed, len(packed) // 2))
    return build


def followed_by(how, tail):
    def build():
        return Given(compress(DATA, how) + tail)
    return build


GARBAGE = b"\x07\x13garbage\x00\xff"
ALL = READ_COUNT
END_LINE = DATA.count(b"\n") + 1


def _cases():
    cases = []
    for k in (1, 5, 17):
        build, rows, line = cut_bgzf_at_block(k)
        cases.append(Case(f"bgzf-cut-after-block-{k}", build, 2,
                          r"FILE:LINE: truncated BGZF data: the end-of-file block is missing", rows, line))
        for where in ("data", "crc"):
            build, rows, line = flipped_bgzf_block(k, where)
            cases.append(Case(f"bgzf-{where}-flipped-in-block-{k}", build, 2, r"FILE:LINE: corrupt BGZF data: .*",
                              rows, line))
    cases += [
        Case("bgzf-then-gzip-member", lambda: Given(bgzf(DATA, BLOCK) + gzip.compress(b">z\nACGT\n")), 0, None,
             ALL + 1),
        Case("gzip-member-then-bgzf", lambda: Given(gzip.compress(b">z\nACGT\n") + bgzf(DATA, BLOCK)), 0, None,
             ALL + 1),
        Case("bgzf-then-garbage", lambda: Given(bgzf(DATA, BLOCK) + GARBAGE), 2,
             r"FILE:LINE: unexpected data after the end of the gzip data", ALL, END_LINE),
        Case("gzip-then-garbage", lambda: Given(gzip.compress(DATA) + GARBAGE), 2,
             r"FILE:LINE: unexpected data after the end of the gzip data", ALL, END_LINE),
        Case("gzip-reserved-flag", lambda: Given(gzip.compress(DATA)[:3] + b"\x20" + gzip.compress(DATA)[4:]), 2,
             r"FILE:LINE: corrupt gzip data: reserved header flags are set", 0, 1),
        Case("gzip-cut", lambda: Given(gzip.compress(DATA)[:-4]), 2, r"FILE:LINE: truncated gzip data", ALL - 1,
             END_LINE),
        Case("data-url-name-is-a-file", lambda: Given(b">real\nACGT\n", name="data:,>fake"), 0, None, 1, via=("file",)),
        Case("missing-url-name", lambda: Given(b"", args=("preload:in",)), 2,
             r"preload:in: No such file or directory", 0, via=("file",)),
    ]
    for how in ("bzip2", "xz", "zstd"):
        cases += [
            Case(f"{how}-whole", whole(how), 0, None, ALL),
            Case(f"{how}-concatenated", whole(how, parts=3), 0, None, ALL),
            Case(f"{how}-cut", cut(how), 2, rf"FILE:LINE: truncated {how} data", INTACT),
            # Bytes decoded before the damage is found may already be wrong
            # (these formats check a whole block or stream at its end), so
            # the error may come from the parser.
            Case(f"{how}-damaged", damaged(how), 2, r"FILE:LINE: .*", None, exact_records=False),
            Case(f"{how}-then-garbage", followed_by(how, GARBAGE), 2,
                 rf"FILE:LINE: unexpected data after the end of the {how} data", ALL, END_LINE),
        ]
    return cases


CASES = _cases()


def run_case(tmp_path, case, via, threads):
    given = case.build()
    (tmp_path / given.name).write_bytes(given.data)
    if via == "pipe":
        args, stdin, name = ["-"], given.data, "-"
    else:
        # The name as it stands: whatever it looks like, it names a file.
        args, stdin, name = list(given.args) or [given.name], None, given.name
    result = subprocess.run([COMMAND, "--no-progress", "-j", str(threads), *args], input=stdin, cwd=tmp_path,
                            capture_output=True, timeout=TIMEOUT)
    return result, name


RUNS = [(case, via, threads) for case in CASES for via in case.via for threads in case.threads]


@pytest.mark.parametrize("case, via, threads", RUNS, ids=[f"{c.id}-{v}-j{t}" for c, v, t in RUNS])
def test_hostile_input(tmp_path, case, via, threads):
    result, name = run_case(tmp_path, case, via, threads)
    lines = result.stdout.decode().splitlines()
    assert lines[:1] == [HEADER]
    rows = lines[1:]
    assert all(row.count("\t") == 5 for row in rows)
    stderr = result.stderr.decode()
    assert result.returncode == case.status, stderr
    line = None
    if case.error is None:
        assert stderr == ""
    else:
        pattern = case.error.replace("FILE", re.escape(name)).replace("LINE", r"(?P<line>\d+)")
        match = re.fullmatch(f"error: {pattern}\n", stderr)
        assert match, stderr
        line = int(match.group("line")) if "line" in match.groupdict() else None
    if case.line is not None:
        assert line == case.line
    if case.rows == INTACT:
        # The decoded bytes end inside line `line`: the records before it are
        # whole, and the last of them is intact if its successor's '>' came.
        complete = (line - 1) // 2
        assert len(rows) in ({complete} if (line - 1) % 2 else {complete, complete - 1})
        assert complete < ALL
    elif case.rows is not None:
        assert len(rows) == case.rows
    if not case.exact_records:
        return
    names = [row.split("\t", 1)[0] for row in rows]
    reads_written = [n for n in names if n.startswith("read")]
    assert reads_written == [f"read{i}" for i in range(len(reads_written))]
