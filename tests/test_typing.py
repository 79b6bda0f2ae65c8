"""Type information shipped with the module: the stub package beside the
extension, its agreement with the runtime module (stubtest), what mypy makes
of calls (accepted, refused, inferred types), and the examples in its
docstrings.

The checks use the stubs that belong to the module under test: those
installed beside it when MARLINOX_INSTALLED=1 (the wheel test), otherwise the
sources in stubs/ next to the build tree's module. Tests that need mypy skip
where it is not installed.
"""

from __future__ import annotations

import ast
import doctest
import importlib.machinery
import io
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import marlinox

ROOT = Path(__file__).resolve().parent.parent
INSTALLED = os.environ.get("MARLINOX_INSTALLED") == "1"
SOURCE_STUBS = ROOT / "stubs"
TYPED_EXAMPLE = ROOT / "examples" / "typed_example.py"


def stub_root() -> Path:
    """The directory that holds the stub package marlinox/."""
    return Path(marlinox.__file__).parent if INSTALLED else SOURCE_STUBS


def stub_file() -> Path:
    return stub_root() / "marlinox" / "__init__.pyi"


def child_env() -> dict[str, str]:
    """The environment for a child interpreter that must import this module."""
    env = dict(os.environ)
    if not INSTALLED:
        # PYTHONPATH may name the build tree relative to our working directory.
        here = str(Path(marlinox.__file__).resolve().parent)
        env["PYTHONPATH"] = os.pathsep.join([here, *filter(None, [env.get("PYTHONPATH")])])
    return env


def stub_functions() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(stub_file().read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


# --- the package layout --------------------------------------------------

@pytest.mark.skipif(not INSTALLED, reason="checks the installed wheel")
def test_installed_stub_package_sits_beside_the_extension():
    so = Path(marlinox.__file__)
    assert isinstance(marlinox.__loader__, importlib.machinery.ExtensionFileLoader)
    package = so.parent / "marlinox"
    assert sorted(p.name for p in package.iterdir()) == ["__init__.pyi", "py.typed"]


def test_a_stub_directory_earlier_on_the_path_does_not_shadow_the_extension(tmp_path):
    # A directory marlinox/ without __init__.py is at most a namespace
    # portion; the extension module found later on the path must win.
    shutil.copytree(stub_root() / "marlinox", tmp_path / "marlinox")
    code = (
        "import sys, importlib.machinery\n"
        f"sys.path.insert(0, {str(tmp_path)!r})\n"
        "import marlinox\n"
        "assert isinstance(marlinox.__loader__, importlib.machinery.ExtensionFileLoader), marlinox.__loader__\n"
        "print(marlinox.calculate_stop_free_run(['ATGTAA']))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=tmp_path, env=child_env(), check=True, timeout=300).stdout
    assert out == "[2]\n"


def test_the_stub_declares_exactly_the_modules_functions_in_order():
    assert list(stub_functions()) == marlinox.__all__


# --- the docstrings ------------------------------------------------------

@pytest.mark.parametrize("name", marlinox.__all__)
def test_docstring_examples_hold(name):
    node = stub_functions()[name]
    docstring = ast.get_docstring(node)
    assert docstring, f"{name} has no docstring in the stub"
    test = doctest.DocTestParser().get_doctest(
        docstring, dict(vars(marlinox)), name, str(stub_file()), node.lineno)
    assert test.examples, f"the docstring of {name} shows no example"
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()


# --- mypy ----------------------------------------------------------------

def mypy_env() -> dict[str, str]:
    pytest.importorskip("mypy", reason="mypy is not installed")
    env = child_env()
    if INSTALLED:
        # The installed stubs must be found as a PEP 561 package, unaided.
        env.pop("MYPYPATH", None)
    else:
        env["MYPYPATH"] = str(SOURCE_STUBS)
    return env


@pytest.fixture(scope="session")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(args, cwd, cache, env=None):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cache), "--no-color-output",
         "--no-error-summary", "--hide-error-context", *args],
        capture_output=True, text=True, cwd=cwd, env=env or mypy_env(), timeout=1800)


def run_stubtest(env, cwd):
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", "marlinox"],
                          capture_output=True, text=True, cwd=cwd, env=env, timeout=1800)


def test_stubtest_finds_the_stubs_consistent_with_the_module(tmp_path):
    result = run_stubtest(mypy_env(), tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


STUB_DEFECTS = [
    # (mutation of the stub, what stubtest must name)
    pytest.param("def calculate_gc_content(sequences:", "def calculate_gc_content(seqs:",
                 "marlinox.calculate_gc_content", id="renamed-parameter"),
    pytest.param("    run_lengths: Sequence[tuple[str, int]], gc_contents",
                 "    run_lengths: Sequence[tuple[str, int]], *, gc_contents",
                 "marlinox.calculate_run_probability", id="keyword-only-parameter"),
    pytest.param("def calculate_stop_free_run_with_ratio(", "def _hidden(",
                 "marlinox.calculate_stop_free_run_with_ratio", id="missing-function"),
]


@pytest.mark.parametrize("old, new, named", STUB_DEFECTS)
def test_stubtest_reports_a_stub_that_disagrees_with_the_module(tmp_path, old, new, named):
    # The check above only means something if stubtest really compares these
    # stubs with this module: a broken copy must fail.
    env = mypy_env()
    text = stub_file().read_text(encoding="utf-8")
    assert text.count(old) == 1
    (tmp_path / "stubs" / "marlinox").mkdir(parents=True)
    (tmp_path / "stubs" / "marlinox" / "__init__.pyi").write_text(text.replace(old, new))
    (tmp_path / "stubs" / "marlinox" / "py.typed").write_text("")
    env["MYPYPATH"] = str(tmp_path / "stubs")
    result = run_stubtest(env, tmp_path)
    assert result.returncode != 0
    assert named in result.stdout


def test_typed_example_passes_mypy_strict(tmp_path, mypy_cache):
    result = run_mypy(["--strict", str(TYPED_EXAMPLE)], tmp_path, mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_runs():
    out = subprocess.run([sys.executable, str(TYPED_EXAMPLE)], capture_output=True,
                         text=True, env=child_env(), check=True, timeout=300).stdout
    assert out.splitlines()[-1] == "unlikely by chance: ['repeat']"


# One line of code per case. mypy checks them all in one run; each line must
# get exactly the verdict given here, and the module must agree at run time:
# a call mypy accepts succeeds, a call it refuses raises.
LIST, STR, INT, FLOAT = "list", "str", "int", "float"
PROBES = [
    # inferred result types
    ("reveal_type(m.calculate_stop_free_run(['ATG']))", "reveal", f"{LIST}[{INT}]"),
    ("reveal_type(m.calculate_stop_free_runs_with_ids(pairs))", "reveal",
     f"{LIST}[tuple[{STR}, {INT}]]"),
    ("reveal_type(m.calculate_stop_free_run_with_ratio(pairs))", "reveal",
     f"{LIST}[tuple[{STR}, {INT}, {FLOAT}]]"),
    ("reveal_type(m.calculate_gc_content(pairs))", "reveal", f"{LIST}[tuple[{STR}, {FLOAT}]]"),
    ("reveal_type(m.calculate_run_probability([('a', 1)], []))", "reveal",
     f"{LIST}[tuple[{STR}, {FLOAT}]]"),
    # accepted
    ("m.calculate_stop_free_run(('ATG', 'TAA'))", "ok", None),
    ("m.calculate_stop_free_run(sequences=['ATG'])", "ok", None),
    ("m.calculate_gc_content((('a', 'ACG'),))", "ok", None),
    ("m.calculate_run_probability(gc_contents=[], run_lengths=[])", "ok", None),
    ("m.calculate_run_probability([('a', 1)], [('a', 1)])", "ok", None),
    ("m.calculate_run_probability(m.calculate_stop_free_runs_with_ids(pairs), "
     "m.calculate_gc_content(pairs))", "ok", None),
    # refused
    ("m.calculate_stop_free_run(pairs)", "error", '"calculate_stop_free_run"'),
    ("m.calculate_stop_free_run(None)", "error", '"calculate_stop_free_run"'),
    ("m.calculate_stop_free_run({'ATG'})", "error", '"calculate_stop_free_run"'),
    ("m.calculate_stop_free_run(s for s in ['ATG'])", "error", '"calculate_stop_free_run"'),
    ("m.calculate_stop_free_run(seqs=['ATG'])", "error", 'Unexpected keyword argument "seqs"'),
    ("m.calculate_stop_free_runs_with_ids(['ATG'])", "error", 'expected "tuple[str, str]"'),
    ("m.calculate_stop_free_runs_with_ids([['a', 'ATG']])", "error", 'expected "tuple[str, str]"'),
    ("m.calculate_gc_content([('a', 'ACG', 'x')])", "error", 'expected "tuple[str, str]"'),
    ("m.calculate_gc_content([('a', None)])", "error", 'expected "tuple[str, str]"'),
    ("m.calculate_run_probability([('a', 1.5)], [])", "error", 'expected "tuple[str, int]"'),
    ("m.calculate_run_probability([('a', 1)], [('a', '0.5')])", "error",
     'expected "tuple[str, float]"'),
    ("m.calculate_run_probability(m.calculate_stop_free_run_with_ratio(pairs), [])", "error",
     '"calculate_run_probability"'),
    ("m.calculate_run_probability([])", "error", 'Missing positional argument "gc_contents"'),
    ("m.calculate_stop_free_run(['ATG'], ['TAA'])", "error", "Too many arguments"),
    ("m.PanicException", "error", 'Module has no attribute "PanicException"'),
]
PROBE_HEADER = "import marlinox as m\npairs: list[tuple[str, str]] = [('a', 'ATG')]\n"


@pytest.fixture(scope="session")
def mypy_verdicts(tmp_path_factory, mypy_cache):
    """mypy's output lines for the probe file, by line number."""
    env = mypy_env()
    work = tmp_path_factory.mktemp("probes")
    lines = PROBE_HEADER.splitlines() + [code for code, _, _ in PROBES]
    (work / "probes.py").write_text("\n".join(lines) + "\n")
    result = run_mypy(["probes.py"], work, mypy_cache, env)
    assert result.returncode in (0, 1), result.stdout + result.stderr
    verdicts: dict[int, list[str]] = {}
    for line in result.stdout.splitlines():
        file, number, message = line.split(":", 2)
        assert file == "probes.py", line
        verdicts.setdefault(int(number), []).append(message.strip())
    return verdicts


@pytest.mark.parametrize("index, code, verdict, detail",
                         [(i, *probe) for i, probe in enumerate(PROBES)],
                         ids=[code for code, _, _ in PROBES])
def test_mypy_verdict(mypy_verdicts, index, code, verdict, detail):
    messages = mypy_verdicts.get(len(PROBE_HEADER.splitlines()) + index + 1, [])
    if verdict == "ok":
        assert messages == []
    elif verdict == "reveal":
        assert messages == [f'note: Revealed type is "{detail}"']
    else:
        errors = [m for m in messages if m.startswith("error:")]
        assert any(detail in m for m in errors), messages


@pytest.mark.parametrize("code, verdict, detail", PROBES, ids=[code for code, _, _ in PROBES])
def test_module_agrees_with_the_types_at_run_time(code, verdict, detail):
    scope = {"reveal_type": lambda value: value}
    exec(PROBE_HEADER, scope)
    if verdict == "error":
        with pytest.raises((TypeError, ValueError, AttributeError)):
            exec(code, scope)
    else:
        exec(code, scope)
