#!/usr/bin/env bash
# The learning demo: sets up .venv, builds and installs the wheel, then runs examples/train_demo.py, which
# trains an agent on real EURUSD candles through headless UI peers and tests it on held-out episodes.
# Arguments go to the demo, e.g. `bash scripts/demo.sh --updates 200 --seed 7`, or
# `bash scripts/demo.sh --open-page --pace 200` to watch the trained agent in a browser afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
# The demo needs a browser only to train on headless pages (--browser).
SETUP_SKIP_BROWSER=1
for arg in "$@"; do [ "$arg" = --browser ] && SETUP_SKIP_BROWSER=0; done
source scripts/setup.sh

# The wheel is rebuilt only when what goes into it (the module, its stubs and Python packages, the peer it
# ships) has changed since the last build here.
stamp_file=build/demo-wheel.stamp
stamp=$(find pyproject.toml CMakeLists.txt src python peer -type f -not -path '*/__pycache__/*' -print0 | sort -z \
  | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
if [ -f "$stamp_file" ] && [ "$(cat "$stamp_file")" = "$stamp" ] && ls dist/py_engine_rust-*.whl >/dev/null 2>&1 \
   && "$venv/bin/python" -c "import py_engine_rust" 2>/dev/null; then
  step "wheel up to date ($(basename dist/py_engine_rust-*.whl))"
else
  build_wheel
  echo "$stamp" >"$stamp_file"
fi

step "run the demo (about a minute on 2 cores: training, then evaluation)"
exec "$venv/bin/python" examples/train_demo.py "$@"
