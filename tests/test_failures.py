"""Internal failures: diagnostics on standard error, PanicException, and the
paths on which raising itself fails."""

import os
import subprocess
import sys
import textwrap

import pytest

import marlinox

BOUNDARY_MESSAGE = "byte index 4 is not a char boundary; it is inside 'É' (bytes 3..5) of `ATGÉ`"
HINT = "note: run with `MARLINOX_BACKTRACE=1` environment variable to display a backtrace"

needs_hooks = pytest.mark.skipif(os.environ.get("MARLINOX_HOOKS") != "1",
                                 reason="fault injection exists only in test builds")


def run_python(code, **env):
    """Runs `code` in a fresh interpreter that imports the same module."""
    environment = dict(os.environ)
    environment.pop("MARLINOX_FAULTS", None)
    environment["PYTHONPATH"] = os.path.dirname(os.path.dirname(marlinox.__file__)) + os.pathsep + \
        os.path.dirname(marlinox.__file__)
    environment.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=environment, timeout=120)


def diagnostics(stderr):
    return [line for line in stderr.splitlines() if line.startswith("thread '")]


def test_first_failure_prints_diagnostic_and_hint_later_ones_only_the_diagnostic():
    result = run_python("""
        import marlinox
        for _ in range(3):
            try:
                marlinox.calculate_stop_free_run(["ATGÉ"])
            except BaseException as error:
                print(type(error).__name__, error.args[0] == %r)
    """ % BOUNDARY_MESSAGE)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException True"] * 3
    found = diagnostics(result.stderr)
    assert len(found) == 3
    # The source location is relative to the project, the same on every machine.
    assert all(" failed at src/analysis/stop_free_run.cpp:" in line for line in found)
    assert result.stderr.count(BOUNDARY_MESSAGE) == 3
    assert result.stderr.count(HINT) == 1
    # The hint follows the first diagnostic directly.
    lines = result.stderr.splitlines()
    assert lines.index(HINT) == lines.index(BOUNDARY_MESSAGE) + 1


def test_the_hint_tells_the_truth_a_native_backtrace_is_printed():
    result = run_python("""
        import marlinox
        try:
            marlinox.calculate_stop_free_run(["ATGÉ"])
        except BaseException as error:
            print(type(error).__name__)
    """, MARLINOX_BACKTRACE="1")
    assert result.stdout.strip() == "PanicException"
    assert "stack backtrace:" in result.stderr
    trace = result.stderr.split("stack backtrace:", 1)[1].splitlines()
    frames = [line for line in trace if "[0x" in line]
    assert len(frames) >= 3, result.stderr
    assert any("marlinox" in frame for frame in frames)


def test_failure_on_a_worker_prints_one_diagnostic_and_raises_one_exception():
    result = run_python("""
        import marlinox
        try:
            marlinox.calculate_stop_free_runs_with_ids([("a", "ACGT"), ("b", "ATGÉ"), ("c", "ACGT")])
        except BaseException as error:
            print(type(error).__name__, error.args)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PanicException (%r,)" % BOUNDARY_MESSAGE
    assert len(diagnostics(result.stderr)) == 1


def test_panic_exception_class_and_arguments(panic_type):
    with pytest.raises(BaseException) as caught:
        marlinox.calculate_stop_free_run(["ACGT", "ATGÉ"])
    error = caught.value
    assert type(error) is panic_type
    assert not isinstance(error, Exception)
    assert type(error).__module__ == "pyo3_runtime"
    assert type(error).__name__ == "PanicException"
    assert type(error).__qualname__ == "PanicException"
    assert type(error).__bases__ == (BaseException,)
    doc = type(error).__doc__
    assert doc.startswith("\n") and doc.endswith("\n") and "BaseException" in doc
    assert error.args == (BOUNDARY_MESSAGE,)
    assert str(error) == BOUNDARY_MESSAGE
    assert not hasattr(marlinox, "PanicException")
    # The module is still usable.
    assert marlinox.calculate_stop_free_run(["ATGTAA"]) == [2]


def test_panic_from_python_code_is_printed_and_resumed():
    result = run_python("""
        import marlinox
        try:
            marlinox.calculate_stop_free_run(["ATGÉ"])
        except BaseException as error:
            first = error

        class Hostile(list):
            def __iter__(self):
                raise first

        try:
            marlinox.calculate_stop_free_run(Hostile(["ACGT"]))
        except BaseException as error:
            second = error
        print(type(second) is type(first), second is not first, second.args == first.args)
        print(second.__cause__ is None, second.__traceback__.tb_next is None)
        print(marlinox.calculate_stop_free_run(["ATGTAA"]))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True True True", "True True", "[2]"]
    lines = result.stderr.splitlines()
    # One diagnostic for the original failure only; the resumed one writes none.
    assert len(diagnostics(result.stderr)) == 1
    notice = lines.index("Python stack trace below:")
    assert "PanicException" in lines[notice - 1]
    rest = "\n".join(lines[notice + 1:])
    assert "Traceback (most recent call last):" in rest
    assert "__iter__" in rest
    assert "pyo3_runtime.PanicException: " + BOUNDARY_MESSAGE in rest


def test_panic_whose_str_fails_uses_a_fixed_message():
    result = run_python("""
        import marlinox
        try:
            marlinox.calculate_stop_free_run(["ATGÉ"])
        except BaseException as error:
            panic = type(error)

        class Odd(panic):
            pass

        bad = panic(object())
        bad.args = ()
        class NoText:
            def __str__(self):
                raise ValueError("no text")
        weird = panic(NoText())

        class Hostile(list):
            def __iter__(self):
                raise weird
        try:
            marlinox.calculate_stop_free_run(Hostile())
        except BaseException as error:
            print(type(error).__name__, len(error.args), bool(error.args[0]))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PanicException 1 True"


@needs_hooks
@pytest.mark.parametrize("call", [
    "marlinox.calculate_gc_content()",            # a binding error
    'marlinox.calculate_stop_free_run(["ATGÉ"])',  # an internal failure
])
def test_raising_that_fails_leaves_the_interpreters_exception(call):
    # The message object of the error cannot be created: instead of aborting,
    # the call raises the interpreter's MemoryError.
    result = run_python("""
        import os, marlinox
        os.environ["MARLINOX_FAULTS"] = "lazy_message"
        try:
            %s
        except BaseException as error:
            print(type(error).__name__)
        del os.environ["MARLINOX_FAULTS"]
        print(marlinox.calculate_stop_free_run(["ATGTAA"]))
    """ % call)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "[2]"]


@needs_hooks
def test_panic_class_creation_failure_fails_the_import_and_is_retried():
    # The class is first needed while the module registers its functions.
    result = run_python("""
        import os, sys
        os.environ["MARLINOX_FAULTS"] = "panic_class"
        try:
            import marlinox
        except BaseException as error:
            print(type(error).__name__, "marlinox" in sys.modules)
        del os.environ["MARLINOX_FAULTS"]
        import marlinox
        try:
            marlinox.calculate_stop_free_run(["ATGÉ"])
        except BaseException as error:
            print(type(error).__module__, type(error).__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError False", "pyo3_runtime PanicException"]
    assert "Failed to initialize new exception type.: MemoryError" in result.stderr


@needs_hooks
def test_unraisable_hook_may_empty_the_input():
    # An identifier that can't be created goes to the hook once the workers
    # are done; the hook frees every item of the input.
    result = run_python("""
        import os, sys, marlinox
        items = [(f"id{i}", "ATG" * (i % 50 + 1)) for i in range(20000)]
        sys.unraisablehook = lambda info: items.clear()
        os.environ["MARLINOX_FAULTS"] = "result_identifier"
        try:
            marlinox.calculate_stop_free_runs_with_ids(items)
        except BaseException as error:
            print(type(error).__name__, error.args, len(items))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException ('PyObject pointer is null',) 0"]


# A result object that can't be created goes to the unraisable hook, then the
# call panics with one diagnostic. The hook runs once the collector's pause
# has ended, and what it does to the collector stays.
@needs_hooks
@pytest.mark.parametrize("fault, call, expected", [
    ("result_list", "calculate_stop_free_run(['ATG', 'TAA'])", "[1, 1]"),
    ("result_list", "calculate_gc_content([('a', 'GC'), ('b', 'AT')])", "[('a', 1.0), ('b', 0.0)]"),
    ("result_identifier", "calculate_stop_free_run_with_ratio([('a', 'ATG'), ('b', '')])",
     "[('a', 1, 0.3333333333333333), ('b', 0, 0.0)]"),
])
def test_null_result_reports_unraisable_then_panics(fault, call, expected):
    result = run_python(f"""
        import gc, os, sys, marlinox
        seen = []
        def hook(info):
            seen.append((type(info.exc_value).__name__, gc.isenabled()))
            gc.disable()
        sys.unraisablehook = hook
        os.environ["MARLINOX_FAULTS"] = "{fault}"
        try:
            marlinox.{call}
        except BaseException as error:
            print(type(error).__name__, error.args, seen, gc.isenabled())
        del os.environ["MARLINOX_FAULTS"]
        gc.enable()
        print(marlinox.{call}, gc.isenabled())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException ('PyObject pointer is null',) [('MemoryError', True)] False",
                                          f"{expected} True"]
    assert len(diagnostics(result.stderr)) == 1
    assert result.stderr.count("PyObject pointer is null") == 1


# When the map fails, the results are never built: a result object that could
# not be created meanwhile is dropped, silently.
@needs_hooks
@pytest.mark.parametrize("function", ["calculate_stop_free_runs_with_ids", "calculate_stop_free_run_with_ratio"])
def test_failed_map_drops_what_result_building_met(function):
    result = run_python(f"""
        import gc, os, sys, marlinox
        seen = []
        sys.unraisablehook = seen.append
        items = [(f"id{{i}}", "ATG" * 50) for i in range(2000)] + [("bad", "ATG\u00c9")]
        os.environ["MARLINOX_FAULTS"] = "result_identifier"
        try:
            marlinox.{function}(items)
        except BaseException as error:
            print(type(error).__name__, error.args == (%r,), seen, gc.isenabled())
    """ % BOUNDARY_MESSAGE)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException True [] True"]
    assert len(diagnostics(result.stderr)) == 1
    assert result.stderr.count(BOUNDARY_MESSAGE) == 1


# Every allocation of a small call fails in turn, the first one after the
# call starts, then the second, ... until a long stretch of calls no longer
# reaches the failing one. Each call must end in its ordinary result, in the
# interpreter's MemoryError (reading the arguments), or in one PanicException
# after one hook call. The hook copies every list the collector knows of,
# which crashes on a result list left half built and still reachable.
@pytest.mark.parametrize("function, arguments", [
    ("calculate_stop_free_run", "['ATG' * (300 + i) for i in range(4)],"),
    ("calculate_stop_free_runs_with_ids", "[(f'id{i}', 'ATG' * (300 + i)) for i in range(4)],"),
    ("calculate_stop_free_run_with_ratio", "[(f'id{i}', 'ATG' * (300 + i)) for i in range(4)],"),
    ("calculate_gc_content", "[(f'id{i}', 'GCA' * (1 + i)) for i in range(4)],"),
    # Reading a sequence that is neither a list nor a tuple creates an iterator.
    ("calculate_run_probability",
     "[(f'id{i}', 300 + i) for i in range(4)], deque([('id1', 0.5), ('id3', 0.25)])"),
])
def test_every_allocation_of_a_call_may_fail(function, arguments):
    pytest.importorskip("_testcapi")
    result = run_python(f"""
        import gc, sys, _testcapi, marlinox
        from collections import deque
        function, arguments = marlinox.{function}, ({arguments})
        held = [arguments, *arguments]
        for argument in arguments:
            for item in argument:
                held += [item, *item] if type(item) is tuple else [item]
        expected = function(*arguments)

        hook_calls = []
        def hook(unraisable):
            hook_calls.append(type(unraisable.exc_value).__name__)
            for o in gc.get_objects():
                if type(o) is list:
                    list(o)
        sys.unraisablehook = hook

        counts = [sys.getrefcount(o) for o in held]
        tally = {{"result": 0, "MemoryError": 0, "PanicException": 0}}
        k = clean = 0
        while clean < 20 and k < 2000:
            del hook_calls[:]
            limits = (k, k + 1)
            # A full collection empties the interpreter's free lists: every
            # object the call creates then comes from the failing allocator.
            # Passing the limits as they are keeps a tuple of arguments from
            # going back into them.
            gc.collect()
            _testcapi.set_nomemory(*limits)
            try:
                returned = function(*arguments)
            except BaseException as error:
                returned = error
            finally:
                _testcapi.remove_mem_hooks()
            if returned == expected and not hook_calls:
                kind = "result"
            elif type(returned) is MemoryError and returned.__cause__ is None and not hook_calls:
                kind = "MemoryError"
            elif type(returned).__name__ == "PanicException" and hook_calls == ["MemoryError"] \\
                    and returned.args == ("PyObject pointer is null",):
                kind = "PanicException"
            else:
                kind = f"k={{k}}: {{returned!r}} after hook calls {{hook_calls}}"
            assert gc.isenabled(), k
            assert [sys.getrefcount(o) for o in held] == counts, k
            tally[kind] = tally.get(kind, 0) + 1
            clean = clean + 1 if kind == "result" else 0
            k += 1
        print((tally, clean))
    """)
    assert result.returncode == 0, result.stderr[-3000:]
    tally, clean = eval(result.stdout)
    assert set(tally) == {"result", "MemoryError", "PanicException"}, tally
    assert clean == 20 and tally["PanicException"] > 0, tally
    assert len(diagnostics(result.stderr)) == tally["PanicException"]
    assert result.stderr.count("PyObject pointer is null") == tally["PanicException"]
