"""Shared fixtures and helpers for the Python-level tests of marlinox.

The module is imported from the interpreter's path (the build directory is
put on PYTHONPATH by whoever runs the suite).
"""

import ctypes
import math
import os
import struct

import pytest
from hypothesis import HealthCheck, settings

# The armhf interpreter runs under emulation, so property tests get far fewer
# examples there; MARLINOX_HYPOTHESIS_EXAMPLES overrides both profiles.
_DEFAULT_EXAMPLES = 20 if os.environ.get("MARLINOX_ARCH", "").startswith("arm") else 150
_EXAMPLES = int(os.environ.get("MARLINOX_HYPOTHESIS_EXAMPLES", _DEFAULT_EXAMPLES))

settings.register_profile(
    "marlinox",
    max_examples=_EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("marlinox")


def panic_exception_type():
    """Return the class the module raises for internal failures.

    It is not reachable as a module attribute, so provoke a failure that is
    guaranteed by the scan rules: a 5-byte upper-cased text with a non-ASCII
    character always hits a window that splits that character.
    """
    import marlinox

    try:
        marlinox.calculate_stop_free_run(["ATGÉ"])
    except BaseException as exc:  # noqa: BLE001 - the class is what we want
        return type(exc)
    raise AssertionError("calculate_stop_free_run(['ATGÉ']) did not fail")


@pytest.fixture(scope="session")
def panic_type():
    return panic_exception_type()


def float_bits(value):
    """The exact IEEE 754 bit pattern of a double, so -0.0 differs from 0.0."""
    return struct.pack("<d", value)


def same_float(actual, expected):
    """Bit-exact equality, with any NaN matching any NaN."""
    if isinstance(expected, float) and math.isnan(expected):
        return isinstance(actual, float) and math.isnan(actual)
    return type(actual) is float and float_bits(actual) == float_bits(expected)


def interpreter_error(api_name, restype, obj):
    """Call a C-API conversion function directly and return the exception it
    raises, so tests can compare against the interpreter's own wording."""
    func = getattr(ctypes.pythonapi, api_name)
    func.restype = restype
    func.argtypes = [ctypes.py_object]
    try:
        func(obj)
    except BaseException as exc:  # noqa: BLE001
        return exc
    return None


def long_error(obj):
    """The exception PyLong_AsLong raises for obj (None if it converts)."""
    return interpreter_error("PyLong_AsLong", ctypes.c_long, obj)


def float_error(obj):
    """The exception PyFloat_AsDouble raises for obj (None if it converts)."""
    return interpreter_error("PyFloat_AsDouble", ctypes.c_double, obj)
