"""Load in small: the light run of tools/load.py (a large batch, many tiny
items, eight threads calling all five functions, sub-interpreters and a fresh
import while calls run), and counts past 32 bits in the GC kernel."""

import os
import subprocess
import sys

import pytest

import marlinox

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SANITIZED = bool(os.environ.get("MARLINOX_SANITIZED"))


@pytest.mark.skipif(os.environ.get("MARLINOX_ARCH", "").startswith("arm"),
                    reason="too slow under emulation")
def test_light_load_run():
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "load.py"), "--light"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = proc.stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == [
        "big batch", "tiny items", "threads", "sub-interpreters and re-import"]
    assert "8 threads" in lines[2] and "all results checked" in lines[2]


def _available_bytes():
    try:
        with open("/proc/meminfo") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


BEYOND_32_BITS = 2**32 + 2


@pytest.mark.skipif(sys.maxsize < 2**40, reason="a text over 4 GiB needs a 64-bit host")
@pytest.mark.skipif(SANITIZED, reason="too large for the sanitizer's shadow memory")
@pytest.mark.skipif(_available_bytes() < 2 * BEYOND_32_BITS,
                    reason="needs about 9 GiB of free memory")
def test_gc_counts_beyond_32_bits():
    # 2**32 + 2 G's then two A's: 32-bit counts would wrap to 2 of 4 and
    # report 0.5; counted exactly the fraction is (2**32 + 2) / (2**32 + 4).
    text = "AA".rjust(BEYOND_32_BITS + 2, "G")  # built in place: one 4 GiB allocation
    ((_, fraction),) = marlinox.calculate_gc_content([("big", text)])
    assert fraction == BEYOND_32_BITS / (BEYOND_32_BITS + 2)
    assert fraction > 0.999999999
