#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer (g++) and runs the whole Python test
# suite against that build. Extra arguments go to pytest, e.g. `bash scripts/sanitize.sh -k hostile`.
#
# The interpreter is not instrumented, so the ASan runtime is preloaded into Python, Python's own allocator
# is switched to malloc (so ASan sees every allocation), and leak detection is off (the interpreter keeps
# memory until exit on purpose). Only Python processes get the preload: a sitecustomize in the build
# directory takes LD_PRELOAD out of the environment at start-up, so Node and Chromium children run plain,
# and re-executes a Python child that was started without it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/setup.sh

build=$root/build/sanitize
cxx=${SANITIZE_CXX:-g++}
if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
  step "install cmake and ninja into .venv"
  "$venv/bin/pip" install -q cmake ninja
  export PATH="$venv/bin:$PATH"
fi

step "sanitizer build (ASan + UBSan, $cxx): about 6 min on 2 cores the first time, seconds when nothing changed"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DENGINE_SANITIZE=ON -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DPython_EXECUTABLE="$venv/bin/python" \
  >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
quietly "$build.build.log" ninja -C "$build" py_engine_rust

asan_runtime=$("$cxx" -print-file-name=libasan.so)
[ -e "$asan_runtime" ] || { echo "no ASan runtime for $cxx" >&2; exit 1; }
# The C++ runtime comes right after it: ASan looks up __cxa_throw when it starts, and Python itself does not
# load libstdc++, so without this every exception thrown in the module would stop the process.
cxx_runtime=$("$cxx" -print-file-name=libstdc++.so.6)
preload="$asan_runtime $cxx_runtime"

cat >"$build/sitecustomize.py" <<'EOF'
# Written by scripts/sanitize.sh. Keeps the ASan preload to Python processes.
import os
import sys

_runtime = os.environ.get("ENGINE_ASAN_PRELOAD")
if _runtime:
    with open("/proc/self/maps") as _maps:
        _loaded = "/libasan.so" in _maps.read()
    if _loaded:
        os.environ.pop("LD_PRELOAD", None)  # children inherit os.environ: Node and Chromium run plain
    else:
        sys.stdout.flush()
        sys.stderr.flush()
        os.execve(sys.executable, sys.orig_argv, dict(os.environ, LD_PRELOAD=_runtime))
EOF

export ENGINE_ASAN_PRELOAD="$preload"
export PYTHONMALLOC=malloc
# Reports go to files as well as nowhere else: a test that captures fd 2 would otherwise swallow them.
reports=$build/reports
rm -rf "$reports" && mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"

step "sanitized module in use"
LD_PRELOAD="$preload" "$venv/bin/python" -c '
import os, sys, py_engine_rust
assert py_engine_rust.__file__.startswith(sys.argv[1]), py_engine_rust.__file__
assert "LD_PRELOAD" not in os.environ
print(py_engine_rust.__file__)' "$build"

step "python tests under ASan + UBSan"
log=$build/pytest.log
start=$SECONDS
set +e
(cd tests && LD_PRELOAD="$preload" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e
echo "sanitized suite ran in $((SECONDS - start)) s"
# Any report fails the run, also one from a child process whose failure a test did not look at.
if [ -n "$(ls -A "$reports")" ]; then
  for f in "$reports"/*; do echo "==> $f"; head -n 60 "$f"; done
  echo "sanitizer reports in $reports" >&2
  exit 1
fi
exit "$status"
