#!/usr/bin/env bash
# The wheel is built against NumPy 2 headers for the 1.23 C API; this runs the codec tests with NumPy 1.26
# at run time, in a fresh venv outside the source tree. Work files go to $NUMPY1_CHECK_DIR
# (default build/numpy1-check).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${NUMPY1_CHECK_DIR:-$root/build/numpy1-check}"
python="${PYTHON:-python3}"

rm -rf "$work"
mkdir -p "$work"
"$python" -m pip wheel -q --no-deps -w "$work/dist" "$root"
"$python" -m venv "$work/venv"
venv_python="$work/venv/bin/python"
"$venv_python" -m pip install -q "numpy==1.26.*" "pytest>=8"
"$venv_python" -m pip install -q --no-deps "$work"/dist/py_engine_rust-*.whl

cd "$work"
"$venv_python" -c "import numpy, sys; print('python', sys.version.split()[0], 'numpy', numpy.__version__)"
"$venv_python" -W error -c "import py_engine_rust"
"$venv_python" -m pytest -q -p no:cacheprovider -c "$root/pyproject.toml" --rootdir "$root" "$root/tests/test_codec.py"
