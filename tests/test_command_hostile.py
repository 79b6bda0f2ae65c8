"""The marlinox command against a hostile run: threads the system refuses, an
output that fails while the input stalls, termination signals, and inputs of
records without bytes or with huge headers.

Each case of the table runs with -j 1, 2 and 8; a case is a small function
that starts the command its own way and returns (status, stdout, stderr).
"""

import os
import re
import select
import shutil
import signal
import subprocess
import threading

import pytest

from test_command import COMMAND, GOOD, HEADER, TIMEOUT, peak_memory_mib

pytestmark = pytest.mark.skipif(COMMAND is None, reason="the marlinox command was not built")

HOOKS = os.environ.get("MARLINOX_HOOKS") == "1"
# A failure bound for waits that only a broken command would reach.
DEADLINE = 120


def _wait_for_header(proc):
    ready, _, _ = select.select([proc.stdout], [], [], DEADLINE)
    assert ready, "the command wrote nothing"
    assert proc.stdout.readline().decode() == HEADER + "\n"


def _stalled_input(output):
    """Records, then an input that stays open; the table goes to /dev/full or
    to a closed standard output."""
    def start(args, tmp_path):
        def close_output():
            os.close(1)
        with open("/dev/full", "wb") as full, subprocess.Popen(
                [COMMAND, *args, "-"], stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                stdout=full if output == "full" else None,
                preexec_fn=close_output if output == "closed" else None) as proc:
            try:
                # More than the format check reads ahead, so that the wait
                # for more input comes when the records are being read.
                proc.stdin.write(GOOD * 5000)
                proc.stdin.flush()
            except BrokenPipeError:
                pass  # the command has stopped reading already
            try:
                # Only a command that keeps reading for a table it cannot
                # write waits here until the deadline.
                status = proc.wait(DEADLINE)
            finally:
                proc.stdin.close()
            return status, b"", proc.stderr.read()
    return start


def _signal_while_reading(signum, ignored_at_start=False):
    """A signal while the command waits for more input after some rows."""
    def start(args, tmp_path):
        def ignore():
            signal.signal(signum, signal.SIG_IGN)
        with subprocess.Popen([COMMAND, *args, "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, preexec_fn=ignore if ignored_at_start else None) as proc:
            proc.stdin.write(GOOD * 1000)
            proc.stdin.flush()
            _wait_for_header(proc)
            if ignored_at_start:
                # Still ignored, not merely blocked and waited for.
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


def _rows_while_input_comes(records):
    """Records without bytes through a pipe that stays open: rows must come
    before the input ends."""
    def start(args, tmp_path):
        with subprocess.Popen([COMMAND, *args, "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE) as proc:
            feeder = threading.Thread(target=lambda: (proc.stdin.write(b">\n" * records), proc.stdin.flush()))
            feeder.start()
            out = b""
            while out.count(b"\n") < 2:
                ready, _, _ = select.select([proc.stdout], [], [], DEADLINE)
                assert ready, "no row while the input was still open"
                out += os.read(proc.stdout.fileno(), 1 << 16)
            feeder.join()
            proc.stdin.close()
            out += proc.stdout.read()
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
    if os.geteuid() != 0 or not shutil.which("setpriv") or not shutil.which("prlimit"):
        return False
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
    case("signal-thread-refused", _faults("no_thread:marlinox-signal"), 1,
         REFUSED.format("marlinox-signal"), 0, needs_hooks),
    case("reader-refused", _faults("no_thread:marlinox-read"), 1, REFUSED.format("marlinox-read"), 0, needs_hooks),
    case("writer-refused-while-reader-runs", _faults("no_thread:marlinox-write"), 1,
         REFUSED.format("marlinox-write"), 0, needs_hooks),
    case("few-processes-allowed",
         _few_threads("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "prlimit", "--nproc=3"),
         1, r"error: internal: [^\n]*\n", 0,
         pytest.mark.skipif(not _can_drop_to_nobody(), reason="needs root, setpriv and prlimit")),
    case("sigterm", _signal_while_reading(signal.SIGTERM), 128 + signal.SIGTERM, "", None),
    case("sighup", _signal_while_reading(signal.SIGHUP), 128 + signal.SIGHUP, "", None),
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


@pytest.mark.skipif(os.uname().machine != "x86_64", reason="emulated processes report the emulator's memory")
@pytest.mark.skipif(os.environ.get("MARLINOX_SANITIZED") == "1", reason="sanitizers hold memory of their own")
@pytest.mark.parametrize("data, compared_with, margin_mib", [
    # Records without bytes cost no more than records of one base each.
    (b">\n" * 20_000_000, b">x\nA\n" * 20_000_000, 20),
    # The '+' check keeps the header within the record's own size (64 MiB).
    (b"@r " + b"h" * (64 << 20) + b"\nA\n+\nI\n", b">r\n" + b"A" * (64 << 20) + b"\n", 8),
], ids=["empty-records", "huge-fastq-header"])
def test_memory_stays_within_the_records_own_size(tmp_path, data, compared_with, margin_mib):
    (tmp_path / "in").write_bytes(data)
    (tmp_path / "reference").write_bytes(compared_with)
    reference = peak_memory_mib("--batch-bytes", "2M", tmp_path / "reference")
    assert peak_memory_mib("--batch-bytes", "2M", tmp_path / "in") < reference + margin_mib
