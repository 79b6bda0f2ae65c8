"""Module object: registration, __all__, signatures and re-import."""

import importlib
import inspect
import sys
import types

import pytest

import marlinox

FUNCTIONS = [
    ("calculate_stop_free_run", ("sequences",)),
    ("calculate_stop_free_runs_with_ids", ("seq_tuples",)),
    ("calculate_stop_free_run_with_ratio", ("sequences",)),
    ("calculate_gc_content", ("sequences",)),
    ("calculate_run_probability", ("run_lengths", "gc_contents")),
]
NAMES = [name for name, _ in FUNCTIONS]


def test_all_lists_the_five_functions_in_registration_order():
    assert type(marlinox.__all__) is list
    assert marlinox.__all__ == NAMES


def test_module_identity():
    assert marlinox.__name__ == "marlinox"
    assert isinstance(marlinox, types.ModuleType)
    doc = marlinox.__doc__
    assert isinstance(doc, str) and doc.strip()
    assert "\n" not in doc.strip()


def test_module_exposes_nothing_but_the_functions():
    public = sorted(n for n in vars(marlinox) if not n.startswith("_"))
    assert public == sorted(NAMES)


@pytest.mark.parametrize("name, params", FUNCTIONS)
def test_function_object(name, params):
    func = getattr(marlinox, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__qualname__ == name
    # The method records carry METH_STATIC, which makes the interpreter
    # report no bound object even though the module was passed as self.
    assert func.__self__ is None
    assert func.__module__ == marlinox.__name__
    assert func.__doc__ is None
    assert func.__text_signature__ == "(" + ", ".join(params) + ")"


@pytest.mark.parametrize("name, params", FUNCTIONS)
def test_inspect_signature(name, params):
    sig = inspect.signature(getattr(marlinox, name))
    assert tuple(sig.parameters) == params
    for param in sig.parameters.values():
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert param.default is inspect.Parameter.empty
    assert sig.return_annotation is inspect.Signature.empty


def test_panic_exception_is_not_exported(panic_type):
    assert not hasattr(marlinox, "PanicException")
    assert panic_type not in vars(marlinox).values()
    # The class lives in no importable module either.
    assert "pyo3_runtime" not in sys.modules


def test_panic_exception_class(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    doc = panic_type.__doc__
    assert isinstance(doc, str)
    assert doc.startswith("\n") and doc.endswith("\n") and doc.strip()


def test_panic_exception_class_is_one_per_process(panic_type):
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            marlinox.calculate_stop_free_runs_with_ids([("x", "ÉAA")])
        assert type(info.value) is panic_type


def test_reimport_builds_fresh_objects(monkeypatch, panic_type):
    old = sys.modules["marlinox"]
    old_funcs = {n: getattr(old, n) for n in NAMES}
    old_all = old.__all__
    monkeypatch.delitem(sys.modules, "marlinox")
    new = importlib.import_module("marlinox")

    assert new is not old
    assert new.__all__ == NAMES
    assert new.__all__ is not old_all
    for name in NAMES:
        func = getattr(new, name)
        assert func is not old_funcs[name]
        assert func.__module__ == "marlinox"
    # Both generations work side by side and share the failure class.
    assert old_funcs["calculate_stop_free_run"](["ATGTAA"]) == [2]
    assert new.calculate_stop_free_run(["ATGTAA"]) == [2]
    assert new.calculate_stop_free_runs_with_ids([("a", "TAA")]) == [("a", 1)]
    with pytest.raises(BaseException) as info:
        new.calculate_stop_free_run(["ATGÉ"])
    assert type(info.value) is panic_type
    # The old module's __all__ was not touched by the second registration.
    assert old.__all__ == NAMES


def test_functions_are_callable_by_keyword():
    assert marlinox.calculate_stop_free_run(sequences=["ATG"]) == [1]
    assert marlinox.calculate_stop_free_runs_with_ids(seq_tuples=[("a", "ATG")]) == [("a", 1)]
    assert marlinox.calculate_stop_free_run_with_ratio(sequences=[("a", "ATG")]) == [
        ("a", 1, 1 / 3)
    ]
    assert marlinox.calculate_gc_content(sequences=[("a", "GA")]) == [("a", 0.5)]
    assert marlinox.calculate_run_probability(
        gc_contents=[("a", 1.0)], run_lengths=[("a", 7)]
    ) == [("a", 1.0)]
