#!/usr/bin/env bash
# The training-loop demo: sets up .venv, builds and installs the wheel, then runs examples/train_demo.py
# against the bundled UI peer. Arguments go to the demo, e.g. `bash scripts/demo.sh --episodes 5 --seed 7`
# or `bash scripts/demo.sh --open-page` to drive the page in a browser instead of the headless peer.
set -euo pipefail
cd "$(dirname "$0")/.."
SETUP_SKIP_BROWSER=1 # the demo needs no browser
source scripts/setup.sh

# The wheel is rebuilt only when the sources that go into it have changed since the last build here.
stamp_file=build/demo-wheel.stamp
stamp=$(find pyproject.toml CMakeLists.txt src -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ] && ls dist/py_engine_rust-*.whl >/dev/null 2>&1 \
   && "$venv/bin/python" -c "import py_engine_rust" 2>/dev/null; then
  step "wheel up to date ($(basename dist/py_engine_rust-*.whl))"
else
  step "build the wheel"
  rm -rf dist
  "$venv/bin/pip" wheel --no-deps -w dist . >build/wheel.log 2>&1 || { cat build/wheel.log; exit 1; }
  "$venv/bin/pip" install --force-reinstall --no-deps dist/py_engine_rust-*.whl >/dev/null
  echo "$stamp" >"$stamp_file"
fi

step "run the demo"
exec "$venv/bin/python" examples/train_demo.py "$@"
