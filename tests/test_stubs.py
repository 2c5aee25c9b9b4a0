"""The type stub py_engine_rust.pyi describes the module as it is, and mypy reads it as intended."""

from __future__ import annotations

import ast
import inspect
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import py_engine_rust
from py_engine_rust import RustEngineAsync

TESTS = Path(__file__).resolve().parent
SOURCE_STUB = TESTS.parent / "src" / "py_engine_rust.pyi"
INSTALLED_STUB = Path(py_engine_rust.__file__).resolve().parent / "py_engine_rust.pyi"
FUNCTIONS = py_engine_rust.__all__[1:]
METHODS = [name for name in vars(RustEngineAsync) if not name.startswith("__")]


def stub_path() -> Path:
    """The stub installed beside the module, or the source one when the module runs from a build tree."""
    return INSTALLED_STUB if INSTALLED_STUB.exists() else SOURCE_STUB


@pytest.fixture(scope="module")
def stub() -> ast.Module:
    return ast.parse(stub_path().read_text(encoding="utf-8"), filename=str(stub_path()))


def top_level(tree: ast.Module, kind: type) -> dict[str, ast.AST]:
    return {node.name: node for node in tree.body if isinstance(node, kind)}


def stub_class(tree: ast.Module) -> ast.ClassDef:
    return top_level(tree, ast.ClassDef)["RustEngineAsync"]


def stub_methods(tree: ast.Module) -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in stub_class(tree).body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))}


Param = tuple  # (name, kind, default)


def stub_parameters(fn: ast.FunctionDef) -> list[Param]:
    a = fn.args
    positional = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs] + [
        (p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args
    ]
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults
    ]
    params = [(p.arg, kind, d) for (p, kind), d in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((p.arg, inspect.Parameter.KEYWORD_ONLY, inspect.Parameter.empty if d is None else ast.literal_eval(d)))
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return params


def runtime_parameters(obj) -> list[Param]:
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()]


# ---- The stub file ------------------------------------------------------------------------------------------


def test_installed_stub_is_the_source_stub():
    if not INSTALLED_STUB.exists():
        pytest.skip("the module runs from a build tree; the stub is installed with the wheel")
    assert INSTALLED_STUB.read_bytes() == SOURCE_STUB.read_bytes()


def test_stub_all_is_the_modules_all(stub):
    assigned = [
        node.value for node in stub.body
        if isinstance(node, ast.Assign) and [getattr(t, "id", None) for t in node.targets] == ["__all__"]
    ]
    assert len(assigned) == 1
    assert ast.literal_eval(assigned[0]) == py_engine_rust.__all__


def test_stub_defines_exactly_the_modules_public_names(stub):
    defined = set(top_level(stub, ast.ClassDef)) | set(top_level(stub, ast.FunctionDef))
    public = {name for name in defined if not name.startswith("_")}
    assert public == set(py_engine_rust.__all__)
    assert list(top_level(stub, ast.FunctionDef)) == FUNCTIONS


def test_stub_class_has_the_constructor_and_every_method_in_order(stub):
    assert list(stub_methods(stub)) == ["__new__", *METHODS]


# ---- Signatures against __text_signature__ --------------------------------------------------------------


def test_constructor_parameters_match(stub):
    params = stub_parameters(stub_methods(stub)["__new__"])
    assert params[0][0] == "cls"
    assert params[1:] == runtime_parameters(RustEngineAsync)


@pytest.mark.parametrize("name", METHODS)
def test_method_parameters_match(stub, name):
    params = stub_parameters(stub_methods(stub)[name])
    runtime = runtime_parameters(getattr(RustEngineAsync, name))
    # The text signature's "$self" makes self positional-only; the stub spells it as a plain first parameter.
    assert params[0][0] == "self" and runtime[0][0] == "self"
    assert params[1:] == runtime[1:]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_parameters_match(stub, name):
    assert stub_parameters(top_level(stub, ast.FunctionDef)[name]) == runtime_parameters(getattr(py_engine_rust, name))


@pytest.mark.parametrize("name", ["__new__", *METHODS, *FUNCTIONS])
def test_every_parameter_and_result_is_annotated(stub, name):
    fn = stub_methods(stub).get(name) or top_level(stub, ast.FunctionDef)[name]
    args = fn.args.posonlyargs + fn.args.args + fn.args.kwonlyargs
    first_is_implicit = name in stub_methods(stub)
    assert [a.arg for a in args if a.annotation is None] == ([args[0].arg] if first_is_implicit else [])
    assert fn.returns is not None
    if name in METHODS:
        # every method hands back an awaitable of the running loop
        assert ast.unparse(fn.returns).startswith("Awaitable[")


# ---- mypy on the examples -----------------------------------------------------------------------------------

ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<text>.*?)  \[(?P<code>[a-z-]+)\]$")
OK_EXAMPLE = TESTS / "typing" / "commands_ok.py"
MISUSE_EXAMPLE = TESTS / "typing" / "commands_misuse.py"


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory) -> dict[str, dict[int, list[str]]]:
    """mypy --strict on both examples against the stub alone: {file name: {line: [error codes]}}."""
    pytest.importorskip("mypy")
    # A directory of its own: mypy refuses a MYPYPATH inside site-packages, where the stub may be installed.
    stubs = tmp_path_factory.mktemp("stubs")
    shutil.copy(stub_path(), stubs / "py_engine_rust.pyi")
    cache = Path(tempfile.gettempdir()) / "py_engine_rust-mypy-cache"
    env = dict(os.environ, MYPYPATH=str(stubs))
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", "", "--strict", "--show-error-codes", "--no-error-summary",
         "--no-pretty", "--cache-dir", str(cache), str(OK_EXAMPLE), str(MISUSE_EXAMPLE)],
        capture_output=True, text=True, env=env, cwd=TESTS, timeout=300,
    )
    assert out.returncode in (0, 1), out.stdout + out.stderr
    errors: dict[str, dict[int, list[str]]] = {OK_EXAMPLE.name: {}, MISUSE_EXAMPLE.name: {}}
    for line in out.stdout.splitlines():
        if ": error: " not in line:
            continue
        m = ERROR_LINE.match(line)
        assert m, f"unexpected mypy line: {line}"
        errors[Path(m["file"]).name].setdefault(int(m["line"]), []).append(m["code"])
    return errors


MARKER = re.compile(r"#\s*error:\s*(?P<codes>[a-z-]+(?:,\s*[a-z-]+)*)\s*$")


def expected_errors(path: Path) -> dict[int, list[str]]:
    """{line: [codes]} from the trailing "error: code, ..." comments."""
    expected = {}
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
        m = MARKER.search(line)
        if m:
            expected[number] = [c.strip() for c in m["codes"].split(",")]
    return expected


def test_mypy_accepts_every_command_used_correctly(mypy_errors):
    assert mypy_errors[OK_EXAMPLE.name] == {}


def test_mypy_rejects_each_misuse_with_its_error_code(mypy_errors):
    expected = expected_errors(MISUSE_EXAMPLE)
    assert len(expected) >= 20
    assert mypy_errors[MISUSE_EXAMPLE.name] == expected
