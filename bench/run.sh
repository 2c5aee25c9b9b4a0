#!/usr/bin/env bash
# The benchmark suite, one command: makes .venv (scripts/setup.sh), builds the module, the native UI peer,
# the floors and the bridge-floor helper with CMake (-DENGINE_BENCH=ON) into build/bench, runs every
# workload (a few minutes) and writes bench/results/latest.md and bench/results/latest.png.
# Arguments go to bench/run.py, e.g. `bash bench/run.sh --quick` for a short smoke run.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh  # Chromium included, for bench/browser.py

step "benchmark dependencies"
"$venv/bin/pip" install -q picows matplotlib cmake ninja "gymnasium>=1.0"
# bench/sb3.py: torch exactly so spelled, the CPU build on this machine's disk (any other spelling fetches CUDA).
"$venv/bin/pip" install -q "torch==2.13.0" "stable-baselines3==2.9.*"
if ! command -v valgrind >/dev/null 2>&1; then  # bench/callgrind.py counts instructions with it
  apt-get update -qq && apt-get install -y -qq valgrind >/dev/null
fi

step "build (build/bench)"
"$venv/bin/cmake" -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" -DCMAKE_BUILD_TYPE=Release \
  -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DPython_EXECUTABLE="$venv/bin/python" -DENGINE_BENCH=ON \
  >build/bench-cmake.log 2>&1 || { cat build/bench-cmake.log; exit 1; }
"$venv/bin/cmake" --build build/bench --target py_engine_rust bench_peer bench_floors bench_bridge \
  >build/bench-build.log 2>&1 || { tail -50 build/bench-build.log; exit 1; }

step "run the suite"
exec "$venv/bin/python" bench/run.py --build build/bench "$@"
