"""The stub package py_engine_rust-stubs describes the module as it is, ships in the wheel, and both mypy and
pyright find it there and read it as intended."""

from __future__ import annotations

import ast
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import py_engine_rust
from py_engine_rust import RustEngineAsync

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent
SOURCE_STUB = ROOT / "python" / "py_engine_rust-stubs" / "__init__.pyi"
FUNCTIONS = py_engine_rust.__all__[1:]
METHODS = [name for name in vars(RustEngineAsync) if not name.startswith("__")]


@pytest.fixture(scope="module")
def stub() -> ast.Module:
    return ast.parse(SOURCE_STUB.read_text(encoding="utf-8"), filename=str(SOURCE_STUB))


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


@pytest.mark.parametrize("name", ["RustEngineAsync", "__new__", *METHODS, *FUNCTIONS])
def test_every_public_name_has_a_docstring(stub, name):
    # Editors show these; the module itself carries almost none at run time.
    node = top_level(stub, ast.ClassDef).get(name) or stub_methods(stub).get(name) or top_level(stub, ast.FunctionDef)[name]
    assert ast.get_docstring(node), name


# ---- The wheel in a fresh environment, as a user installs it ------------------------------------------------

OK_EXAMPLE = TESTS / "typing" / "commands_ok.py"
MISUSE_EXAMPLE = TESTS / "typing" / "commands_misuse.py"


def built_wheel() -> Path:
    """The wheel under test: $PY_ENGINE_RUST_WHEEL, else the one scripts/test.sh builds into dist/."""
    named = os.environ.get("PY_ENGINE_RUST_WHEEL")
    if named:
        return Path(named)
    wheels = sorted((ROOT / "dist").glob("py_engine_rust-*.whl"))
    if len(wheels) != 1:
        pytest.skip(f"expected one built wheel in {ROOT / 'dist'}, found {len(wheels)}; scripts/test.sh builds it")
    return wheels[0]


@pytest.fixture(scope="module")
def user_env(tmp_path_factory) -> tuple[Path, Path]:
    """A fresh venv holding only the built wheel and what it depends on: (its python, the examples' directory)."""
    if os.environ.get("ENGINE_ASAN_PRELOAD"):
        pytest.skip("the packaging of the release wheel is not what the sanitized build checks")
    wheel = built_wheel()
    root = tmp_path_factory.mktemp("user")
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(root / "venv")], check=True, timeout=120)
    python = root / "venv" / "bin" / "python"
    # The outer pip installs into it (pip --python), so the venv gets no pip, no checker and no source tree.
    out = subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "-q", str(wheel)],
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
    # The examples run from a directory of their own, away from this checkout and its configuration files.
    work = root / "work"
    work.mkdir()
    for example in (OK_EXAMPLE, MISUSE_EXAMPLE):
        shutil.copy(example, work / example.name)
    return python, work


def project_version() -> str:
    """The package's version, from pyproject.toml, where alone it is written."""
    return re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M).group(1)


def clean_env() -> dict[str, str]:
    """This process's environment without what would let a checker see anything but the fresh venv."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "VIRTUAL_ENV")}


def test_the_wheel_installs_the_stub_package_and_nothing_beside_the_module(user_env):
    python, _ = user_env
    purelib = Path(subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                                  capture_output=True, text=True, check=True, timeout=60).stdout.strip())
    stubs = purelib / "py_engine_rust-stubs"
    assert sorted(p.name for p in stubs.iterdir()) == ["__init__.pyi"]
    assert (stubs / "__init__.pyi").read_bytes() == SOURCE_STUB.read_bytes()
    # No loose py_engine_rust.pyi beside the extension: mypy never reads one from site-packages.
    assert sorted(p.name for p in purelib.glob("py_engine_rust*")) == [
        f"py_engine_rust-{project_version()}.dist-info", "py_engine_rust-stubs", "py_engine_rust.abi3.so",
        "py_engine_rust_gym",
    ]


# ---- mypy ---------------------------------------------------------------------------------------------------

ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: (?P<text>.*?)  \[(?P<code>[a-z-]+)\]$")
MARKER = re.compile(r"#\s*error:\s*(?P<codes>[a-z-]+(?:,\s*[a-z-]+)*)\s*$")


def expected_errors(path: Path) -> dict[int, list[str]]:
    """{line: [mypy codes]} from the trailing "error: code, ..." comments."""
    expected = {}
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1):
        m = MARKER.search(line)
        if m:
            expected[number] = [c.strip() for c in m["codes"].split(",")]
    return expected


@pytest.fixture(scope="module")
def mypy_errors(user_env) -> dict[str, dict[int, list[str]]]:
    """mypy --strict on both examples, the module found only through the fresh venv: {file: {line: [codes]}}."""
    pytest.importorskip("mypy", reason="mypy is not installed (scripts/setup.sh installs it)")
    python, work = user_env
    out = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", "", "--strict", "--show-error-codes", "--no-error-summary",
         "--no-pretty", "--python-executable", str(python), "--cache-dir", str(work / ".mypy_cache"),
         OK_EXAMPLE.name, MISUSE_EXAMPLE.name],
        capture_output=True, text=True, env=clean_env(), cwd=work, timeout=600,
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


def test_mypy_accepts_every_command_used_correctly(mypy_errors):
    assert mypy_errors[OK_EXAMPLE.name] == {}


def test_mypy_rejects_each_misuse_with_its_error_code(mypy_errors):
    expected = expected_errors(MISUSE_EXAMPLE)
    assert len(expected) >= 20
    assert mypy_errors[MISUSE_EXAMPLE.name] == expected


# ---- pyright ------------------------------------------------------------------------------------------------

# pyright has no rule for using the result of a function that returns None, which mypy reports.
MYPY_ONLY = {"func-returns-value"}


@pytest.fixture(scope="module")
def pyright_diagnostics(user_env) -> dict[str, list[dict]]:
    """pyright's diagnostics on both examples against the fresh venv: {file: [diagnostic]}."""
    pytest.importorskip("pyright", reason="pyright is not installed (scripts/setup.sh installs it)")
    python, work = user_env
    # --outputjson also keeps the wrapper from asking PyPI for a newer version.
    out = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", str(python),
         OK_EXAMPLE.name, MISUSE_EXAMPLE.name],
        capture_output=True, text=True, env=clean_env(), cwd=work, timeout=600,
    )
    assert out.returncode in (0, 1), out.stdout + out.stderr
    report = json.loads(out.stdout)
    found: dict[str, list[dict]] = {OK_EXAMPLE.name: [], MISUSE_EXAMPLE.name: []}
    for d in report["generalDiagnostics"]:
        found[Path(d["file"]).name].append(d)
    return found


def test_pyright_accepts_every_command_used_correctly(pyright_diagnostics):
    # Warnings count too: a stub pyright could not pair with the module would be one. typing_extensions is
    # only imported for the checkers, which bring its stubs, so the venv need not hold it.
    found = [(d["severity"], d["message"]) for d in pyright_diagnostics[OK_EXAMPLE.name]]
    assert found == [("warning", 'Import "typing_extensions" could not be resolved from source')]


def test_pyright_rejects_each_misuse(pyright_diagnostics):
    expected = {line for line, codes in expected_errors(MISUSE_EXAMPLE).items() if set(codes) - MYPY_ONLY}
    errors = [d for d in pyright_diagnostics[MISUSE_EXAMPLE.name] if d["severity"] == "error"]
    assert sorted({d["range"]["start"]["line"] + 1 for d in errors}) == sorted(expected)
