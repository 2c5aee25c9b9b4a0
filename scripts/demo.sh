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

build_wheel  # compiles only what changed since the last build here

step "run the demo (about a minute on 2 cores: training, then evaluation)"
exec "$venv/bin/python" examples/train_demo.py "$@"
