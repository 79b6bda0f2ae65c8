"""The command against hostile input and a hostile run. Every row of the two
tables is a case, run with several thread counts: CASES from a file and
through a pipe, HOSTILE_PROCESS_CASES each its own way (threads the system
refuses, an output that fails while the input stalls, termination signals,
records without bytes or with huge headers).

A case builds its input with a small function and states what must happen:
the exit status, the error line (a pattern; FILE stands for the name the
error gives, LINE for the line of the damage) and the rows written. Rows are
either a number with the line of the damage stated, or INTACT: the rows of
exactly the records that the reported line shows to be intact.
"""

import bz2
import dataclasses
import fcntl
import gzip
import lzma
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
import zlib
from typing import Callable

import pytest

from test_command import COMMAND, GOOD, HEADER, TIMEOUT, bgzf, peak_memory_mib

pytestmark = pytest.mark.skipif(COMMAND is None, reason="the marlinox command was not built")

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


def checksum_flipped(how):
    """The last check of the stream damaged: every byte before it decodes right."""
    def build():
        packed = compress(DATA, how)
        if how == "xz":
            # The block's check ends right before the index, whose size the
            # stream footer gives.
            index = (struct.unpack("<I", packed[-8:-4])[0] + 1) * 4
            at = len(packed) - 12 - index - 1
        else:
            # zstd: the frame's checksum ends it; bzip2: the stream's CRC holds
            # every bit of the byte before the last, which may be padding.
            at = len(packed) - (1 if how == "zstd" else 2)
        return Given(flip(packed, at))
    return build


def zstd_window_of(log):
    """A zstd frame of DATA that declares a window of 2**log bytes (a window
    descriptor is free to exceed what the data needs)."""
    def build():
        compressor = zstd.ZstdCompressor()
        packed = bytearray(compressor.compress(DATA) + compressor.flush())
        assert packed[4] & 0x20 == 0  # not a single segment: byte 5 is the window descriptor
        packed[5] = (log - 10) << 3
        return Given(bytes(packed))
    return build


def zstd_with_dictionary_after_a_frame():
    samples = [DATA[i:i + 800] for i in range(0, len(DATA), 800)]
    dictionary = zstd.train_dict(samples, 4096)
    return Given(compress(DATA, "zstd") + zstd.compress(DATA, zstd_dict=dictionary))


def xz_declaring_dictionary(size_byte, data=DATA):
    """xz output whose LZMA2 block declares another dictionary size (its byte,
    0 to 40: 4 GiB), the block header's CRC32 fixed."""
    packed = bytearray(lzma.compress(data, preset=0))
    start = 12  # after the stream header
    header_size = (packed[start] + 1) * 4
    flags = packed[start + 1]
    at = start + 2
    for present in (flags & 0x40, flags & 0x80):  # compressed and uncompressed sizes
        if present:
            while packed[at] & 0x80:
                at += 1
            at += 1
    assert packed[at:at + 2] == b"\x21\x01"  # the LZMA2 filter, one byte of properties
    packed[at + 2] = size_byte
    end = start + header_size - 4
    packed[end:end + 4] = struct.pack("<I", zlib.crc32(packed[start:end]))
    return bytes(packed)


BYTE_ORDER_MARK = b"\xef\xbb\xbf"


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
        # A skippable frame (here the last of its sixteen magic numbers) is zstd, first or not.
        Case("zstd-skippable-frame-first",
             lambda: Given(struct.pack("<II", 0x184D2A5F, 4) + b"meta" + compress(DATA, "zstd")), 0, None, ALL),
        Case("zstd-2-gib-window", zstd_window_of(31), 2,
             r"FILE:1: the zstd frame needs a 2 GiB window \(zstd --long=31\); marlinox reads windows up to 128 MiB", 0),
        Case("zstd-dictionary-after-a-frame", zstd_with_dictionary_after_a_frame, 2,
             r"FILE:LINE: the zstd frame needs a zstd dictionary", ALL - 1, END_LINE),
        Case("xz-4-gib-dictionary", lambda: Given(xz_declaring_dictionary(40)), 2,
             r"FILE:1: the xz stream needs 4\d{3} MiB of memory to decode; marlinox decodes xz in up to 256 MiB", 0),
        Case("utf8-byte-order-mark", lambda: Given(BYTE_ORDER_MARK + DATA), 0, None, ALL),
        Case("byte-order-mark-after-the-start", lambda: Given(b"\n" + BYTE_ORDER_MARK + DATA), 2,
             r"FILE:LINE: sequence data before the first '>' or '@' header line", 0, 2),
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
            # Everything decoded before a failed check is kept, whatever
            # the pieces the input came in.
            Case(f"{how}-checksum-flipped", checksum_flipped(how), 2, rf"FILE:LINE: corrupt {how} data.*", ALL - 1,
                 END_LINE),
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


# --- A hostile run ---------------------------------------------------------------


HOOKS = os.environ.get("MARLINOX_HOOKS") == "1"
# The armhf suite runs its processes under an emulator.
EMULATED = os.uname().machine != "x86_64"
# A failure bound for waits that only a broken command would reach.
DEADLINE = 120


def _wait_for_header(proc):
    ready, _, _ = select.select([proc.stdout], [], [], DEADLINE)
    assert ready, "the command wrote nothing"
    assert proc.stdout.readline().decode() == HEADER + "\n"


def _stalled_input(output, source="pipe"):
    """Records, then an input that stays open; the table goes to /dev/full or
    to a closed standard output. The source "fifo" is a FIFO that no writer
    ever opens."""
    def start(args, tmp_path):
        def close_output():
            os.close(1)
        fifo = tmp_path / "fifo"
        if source == "fifo":
            os.mkfifo(fifo)
        with open("/dev/full", "wb") as full, subprocess.Popen(
                [COMMAND, *args, fifo if source == "fifo" else "-"], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                stdout=full if output == "full" else None,
                preexec_fn=close_output if output == "closed" else None) as proc:
            try:
                # More than the format check reads ahead, so that the wait
                # for more input comes when the records are being read.
                if source == "pipe":
                    proc.stdin.write(GOOD * 5000)
                    proc.stdin.flush()
            except BrokenPipeError:
                pass  # the command has stopped reading already
            try:
                # Only a command that keeps reading for a table it cannot
                # write waits here until the deadline.
                status = proc.wait(DEADLINE)
            except subprocess.TimeoutExpired:
                proc.kill()
                raise
            finally:
                try:
                    proc.stdin.close()
                except BrokenPipeError:
                    pass  # what was left unread in the pipe's buffer
            return status, b"", proc.stderr.read()
    return start


def _signal_while_reading(signum, ignored_at_start=False):
    """A signal while the command waits for more input after some rows."""
    def start(args, tmp_path):
        def disposition():
            # Whatever the test runner's own shell left it at.
            signal.signal(signum, signal.SIG_IGN if ignored_at_start else signal.SIG_DFL)
        with subprocess.Popen([COMMAND, *args, "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=disposition) as proc:
            proc.stdin.write(GOOD * 1000)
            proc.stdin.flush()
            _wait_for_header(proc)
            if ignored_at_start and not EMULATED:
                # Still ignored, not merely blocked and waited for. (An
                # emulator keeps the command's dispositions to itself.)
                with open(f"/proc/{proc.pid}/status") as status:
                    ignored = next(int(line.split()[1], 16) for line in status if line.startswith("SigIgn:"))
                assert ignored >> (signum - 1) & 1
            proc.send_signal(signum)
            if ignored_at_start:
                proc.stdin.close()
            status = proc.wait(TIMEOUT)
            out = (HEADER + "\n").encode() + proc.stdout.read()
            if not ignored_at_start:
                proc.stdin.close()
            return status, out, proc.stderr.read()
    return start


def _signal_while_output_stalls(signum):
    """A signal once the table's reader has stopped reading, the pipe between
    them filled by rows that cannot all fit."""
    def start(args, tmp_path):
        (tmp_path / "in").write_bytes(GOOD * 100_000)
        read_end, write_end = os.pipe()
        try:
            with subprocess.Popen([COMMAND, *args, tmp_path / "in"], stdout=write_end, stderr=subprocess.PIPE,
                                  preexec_fn=lambda: signal.signal(signum, signal.SIG_DFL)) as proc:
                os.close(write_end)
                write_end = None
                try:
                    # At least half full: the writer is at it, and nothing
                    # will ever empty the pipe.
                    half = fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ) // 2
                    deadline = time.monotonic() + DEADLINE
                    while struct.unpack("i", fcntl.ioctl(read_end, termios.FIONREAD, b"\0" * 4))[0] < half:
                        assert time.monotonic() < deadline and proc.poll() is None, "the rows never filled the pipe"
                        time.sleep(0.05)
                    proc.send_signal(signum)
                    status = proc.wait(DEADLINE)
                except BaseException:
                    proc.kill()
                    raise
                # The reader never reads: what the pipe holds may end mid-row.
                return status, b"", proc.stderr.read()
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
    return start


def _fifo_written_late():
    """A FIFO that gets its writer after the command has opened it."""
    def start(args, tmp_path):
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        with subprocess.Popen([COMMAND, *args, fifo], stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            # Opening for writing waits for the command to open it for reading.
            with open(fifo, "wb") as writer:
                writer.write(GOOD * 1000)
            out, err = proc.communicate(timeout=TIMEOUT)
            return proc.returncode, out, err
    return start


def _rows_while_input_comes(records):
    """Records without bytes through a pipe that stays open: rows must come
    before the input ends."""
    def start(args, tmp_path):
        with subprocess.Popen([COMMAND, *args, "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as proc:
            rows_came = threading.Event()

            def feed():
                proc.stdin.write(b">\n" * records)
                proc.stdin.flush()
                rows_came.wait()
                proc.stdin.close()

            # The command stops reading while its table is not read (its
            # memory is bounded), so the table is read while the input comes.
            feeder = threading.Thread(target=feed)
            feeder.start()
            out = b""
            try:
                while out.count(b"\n") < 2:
                    ready, _, _ = select.select([proc.stdout], [], [], DEADLINE)
                    assert ready, "no row while the input was still open"
                    out += os.read(proc.stdout.fileno(), 1 << 16)
            finally:
                rows_came.set()
            out += proc.stdout.read()
            feeder.join()
            return proc.wait(TIMEOUT), out, proc.stderr.read()
    return start


def _faults(*names):
    """The command on a small file, with the test build's faults `names` on."""
    def start(args, tmp_path):
        (tmp_path / "in").write_bytes(GOOD)
        result = subprocess.run([COMMAND, *args, tmp_path / "in"], capture_output=True, timeout=TIMEOUT,
                                env={**os.environ, "MARLINOX_FAULTS": ",".join(names)})
        return result.returncode, result.stdout, result.stderr
    return start


def _few_threads(*limit):
    """The command on a small file under a limit that leaves it few threads."""
    def start(args, tmp_path):
        (tmp_path / "in").write_bytes(GOOD)
        result = subprocess.run([*limit, COMMAND, *args, tmp_path / "in"], capture_output=True, timeout=TIMEOUT)
        return result.returncode, result.stdout, result.stderr
    return start


def _can_drop_to_nobody():
    if COMMAND is None or os.geteuid() != 0 or not shutil.which("setpriv") or not shutil.which("prlimit"):
        return False
    # The command may lie where nobody can reach it (a private temporary
    # directory): every directory on its path must let others through.
    path = os.path.realpath(COMMAND)
    while path != "/":
        if not os.stat(path).st_mode & 0o001:
            return False
        path = os.path.dirname(path)
    probe = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "true"],
                           capture_output=True, timeout=TIMEOUT)
    return probe.returncode == 0


needs_hooks = pytest.mark.skipif(not HOOKS, reason="needs a build with test hooks")
REFUSED = r"error: internal: cannot start the thread {}: Resource temporarily unavailable\n"

def case(name, start, status, error, rows, marks=()):
    return pytest.param(start, status, error, rows, id=name, marks=marks)


# How the command runs, its status, its standard error (a pattern) and the
# number of rows it writes (None: any number of whole rows).
HOSTILE_PROCESS_CASES = [
    case("full-output-stalled-input", _stalled_input("full"), 1,
         r"error: cannot write the table: No space left on device\n", 0),
    case("closed-output-stalled-input", _stalled_input("closed"), 1,
         r"error: cannot write the table: Bad file descriptor\n", 0),
    case("full-output-fifo-without-writer", _stalled_input("full", source="fifo"), 1,
         r"error: cannot write the table: No space left on device\n", 0),
    case("fifo-writer-comes-late", _fifo_written_late(), 0, "", 2000),
    case("signal-thread-refused", _faults("no_thread:marlinox-signal"), 1,
         REFUSED.format("marlinox-signal"), 0, needs_hooks),
    case("reader-refused", _faults("no_thread:marlinox-read"), 1, REFUSED.format("marlinox-read"), 0, needs_hooks),
    case("read-ahead-refused", _faults("no_thread:marlinox-fetch"), 1, REFUSED.format("marlinox-fetch"), 0,
         needs_hooks),
    case("writer-refused-while-reader-runs", _faults("no_thread:marlinox-write"), 1,
         REFUSED.format("marlinox-write"), 0, needs_hooks),
    case("few-processes-allowed",
         _few_threads("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "prlimit", "--nproc=3"),
         1, r"error: internal: [^\n]*\n", 0,
         pytest.mark.skipif(not _can_drop_to_nobody(), reason="needs root, setpriv and prlimit")),
    case("sigterm", _signal_while_reading(signal.SIGTERM), 128 + signal.SIGTERM, "", None),
    case("sighup", _signal_while_reading(signal.SIGHUP), 128 + signal.SIGHUP, "", None),
    case("sigterm-output-stalled", _signal_while_output_stalls(signal.SIGTERM), 128 + signal.SIGTERM, "", None),
    case("sigint-output-stalled", _signal_while_output_stalls(signal.SIGINT), 128 + signal.SIGINT, "", None),
    case("sighup-output-stalled", _signal_while_output_stalls(signal.SIGHUP), 128 + signal.SIGHUP, "", None),
    case("sigterm-ignored-at-start", _signal_while_reading(signal.SIGTERM, ignored_at_start=True), 0, "", 2000),
    case("empty-records-flow", _rows_while_input_comes(100_000), 0, "", 100_000),
]


@pytest.mark.parametrize("jobs", [1, 2, 8])
@pytest.mark.parametrize("start, status, error, rows", HOSTILE_PROCESS_CASES)
def test_hostile_process(tmp_path, jobs, start, status, error, rows):
    returncode, out, err = start(["--no-progress", "-j", str(jobs)], tmp_path)
    assert returncode == status, err
    assert re.fullmatch(error, err.decode()), err
    lines = out.decode().split("\n")
    # Whole rows only: the header, rows of six fields, nothing after the last line end.
    assert lines[-1] == ""
    assert all(line.count("\t") == 5 for line in lines[:-1])
    if out:
        assert lines[0] == HEADER
    if rows is not None:
        assert max(len(lines) - 2, 0) == rows


def _stop_free_record():
    """300 Mb without a stop in any frame, made only where a row needs it."""
    return b">r\n" + b"GCC" * 100_000_000 + b"\n"


@pytest.mark.skipif(EMULATED, reason="emulated processes report the emulator's memory")
@pytest.mark.skipif(os.environ.get("MARLINOX_SANITIZED") == "1", reason="sanitizers hold memory of their own")
@pytest.mark.parametrize("data, compared_with, margin_mib, args, status, folder", [
    # Records without bytes cost no more than records of one base each.
    (lambda: b">\n" * 20_000_000, lambda: b">x\nA\n" * 20_000_000, 20, [], 0, "."),
    # The '+' check keeps the header within the record's own size (64 MiB).
    (lambda: b"@r " + b"h" * (64 << 20) + b"\nA\n+\nI\n", lambda: b">r\n" + b"A" * (64 << 20) + b"\n", 8, [], 0, "."),
    # A declared 4 GiB dictionary is refused before the decoder takes it, for
    # data that fills more than the margin of it.
    (lambda: xz_declaring_dictionary(40, reads(400_000)), lambda: lzma.compress(reads(400_000), preset=0), 20, [], 2,
     "."),
    # A run written as bases or protein is its record plus one output piece:
    # the table's memory and the run's output (286 MiB; 95 MiB of protein).
    (_stop_free_record, _stop_free_record, 310, ["--format", "fasta"], 0, "."),
    (_stop_free_record, _stop_free_record, 115, ["--format", "protein"], 0, "."),
    # Rows that each name a path of nearly 4,000 bytes count toward the batch.
    (lambda: b">\n" * 200_000, lambda: b">\n" * 200_000, 20, ["--columns", "file"], 0, "/".join(["d" * 250] * 15)),
], ids=["empty-records", "huge-fastq-header", "xz-4-gib-dictionary", "stop-free-run-fasta", "stop-free-run-protein",
        "file-column-long-path"])
def test_memory_stays_within_the_records_own_size(tmp_path, data, compared_with, margin_mib, args, status, folder):
    folder = tmp_path / folder
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "in").write_bytes(data())
    (folder / "reference").write_bytes(compared_with())
    reference = peak_memory_mib("--batch-bytes", "2M", folder / "reference")
    assert peak_memory_mib("--batch-bytes", "2M", *args, folder / "in", status=status) < reference + margin_mib
