"""The user's manual (README.md) against the module and the command: every
interactive example in it holds, and the tables it shows are what the command
and the Python example print."""

from __future__ import annotations

import doctest
import io
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import marlinox

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")


def sections_with_examples() -> list[tuple[str, str]]:
    """(heading, example text) for every ```pycon block, in order."""
    found = []
    heading = ""
    for match in re.finditer(r"^(#+ [^\n]*)$|^```pycon\n(.*?)^```$", README, re.M | re.S):
        if match.group(1):
            heading = match.group(1).lstrip("# ").split("(")[0].strip("` ")
        else:
            found.append((heading, match.group(2)))
    return found


EXAMPLES = sections_with_examples()


def test_every_function_has_a_section_with_examples():
    documented = {heading for heading, _ in EXAMPLES}
    assert set(marlinox.__all__) <= documented


@pytest.mark.parametrize("heading, text", EXAMPLES,
                         ids=[f"{i}-{heading}" for i, (heading, _) in enumerate(EXAMPLES)])
def test_readme_example_holds(heading, text):
    # Each block continues in the namespace of the quick start, as a reader
    # following the manual in one session would.
    globs = {"marlinox": marlinox}
    test = doctest.DocTestParser().get_doctest(text, globs, heading, "README.md", 0)
    assert test.examples
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write)
    assert runner.failures == 0, report.getvalue()


# "$ marlinox ARGS [| head -n N]" or the Python example, and the output shown below it.
SHOWN_RUNS = re.findall(r"^ +\$ (marlinox|python3\.14 examples/fasta_pipeline\.py)([^|\n]*)"
                        r"(?:\| head -n (\d+))?\n((?: +\S.*\n)+)", README, re.M)


def installed_command() -> str | None:
    build = os.environ.get("MARLINOX_BUILD_DIR")
    for candidate in ([Path(build) / "bin" / "marlinox"] if build else []) + [
            Path(sys.executable).parent / "marlinox"]:
        if candidate.exists():
            return str(candidate)
    return shutil.which("marlinox")


def test_readme_shows_both_tables():
    assert {program for program, *_ in SHOWN_RUNS} == {"marlinox", "python3.14 examples/fasta_pipeline.py"}


@pytest.mark.parametrize("program, args, head, shown", SHOWN_RUNS,
                         ids=[f"{p.split()[-1]}{a}" for p, a, *_ in SHOWN_RUNS])
def test_readme_shows_the_real_output(program, args, head, shown):
    if program == "marlinox":
        command = installed_command()
        if command is None:
            pytest.skip("the marlinox command is not built here")
        argv = [command]
    else:
        pytest.importorskip("dnaio", reason="the example reads with dnaio")
        argv = [sys.executable, str(ROOT / "examples" / "fasta_pipeline.py")]
    env = dict(os.environ)
    here = str(Path(marlinox.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join([here, *filter(None, [env.get("PYTHONPATH")])])
    result = subprocess.run(argv + args.split(), cwd=ROOT, capture_output=True, text=True,
                            env=env, check=True, timeout=600)
    lines = result.stdout.splitlines(keepends=True)
    expected = "".join(line.strip() + "\n" for line in shown.splitlines())
    assert "".join(lines[:int(head)] if head else lines) == expected


ERROR_CALLS = [
    ("missing", lambda m: m.calculate_run_probability()),
    ("too-many", lambda m: m.calculate_stop_free_run([], [])),
    ("unknown-keyword", lambda m: m.calculate_stop_free_run(seqs=[])),
    ("twice", lambda m: m.calculate_stop_free_run([], sequences=[])),
    ("str-batch", lambda m: m.calculate_stop_free_run("ACGT")),
    ("none-batch", lambda m: m.calculate_stop_free_run(None)),
    ("dict-batch", lambda m: m.calculate_stop_free_run({})),
    ("list-pair", lambda m: m.calculate_stop_free_runs_with_ids([["a", "ACG"]])),
    ("triple", lambda m: m.calculate_gc_content([("a", "ACG", "x")])),
    ("int-sequence", lambda m: m.calculate_stop_free_run(["ACG", 5])),
]


@pytest.mark.parametrize("call", [c for _, c in ERROR_CALLS], ids=[i for i, _ in ERROR_CALLS])
def test_error_messages_in_the_readme_are_the_modules(call):
    with pytest.raises((TypeError, ValueError)) as info:
        call(marlinox)
    text = f"{type(info.value).__name__}: {info.value}"
    assert text in README


def test_the_install_line_holds_every_debian_package_the_manual_names():
    # A package that a later step relies on and the install line leaves out
    # makes that step fail on a bare system.
    install = re.search(r"^ +sudo apt-get install ((?:.*\\\n)*.*)$", README, re.M)[1]
    packages = set(install.replace("\\", " ").split())
    named = set(re.findall(r"`(python3-[a-z0-9-]+|lib[a-z0-9-]+-dev)`", README))
    assert named and named <= packages
