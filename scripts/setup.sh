# Sourced by the other scripts: makes .venv with the project's test and demo dependencies, and makes
# sure node is there for the UI peer and Chromium for the browser tests (skipped when SETUP_SKIP_BROWSER=1).
step() { printf '\n==> %s\n' "$*"; }

mkdir -p build
venv=$PWD/.venv
if [ ! -x "$venv/bin/python" ]; then
  step "create .venv"
  python3 -m venv "$venv"
  "$venv/bin/pip" install -q --upgrade pip
fi
step "install dependencies"
"$venv/bin/pip" install -q "numpy>=1.23" "pytest>=8" "websockets>=13" "mypy>=1.10" abi3audit matplotlib \
  scikit-build-core "boost-headers>=1.81" cmake ninja
# The native builds (sanitizers, fuzzers, benchmarks) use the CMake and Ninja installed here.
export PATH="$venv/bin:$PATH"
if ! command -v node >/dev/null 2>&1; then
  step "install node"
  apt-get update -qq && apt-get install -y -qq nodejs >/dev/null
fi
if [ "${SETUP_SKIP_BROWSER:-0}" != 1 ] && ! command -v chromium >/dev/null 2>&1 \
   && ! command -v chromium-browser >/dev/null 2>&1; then
  step "install chromium"
  apt-get update -qq && apt-get install -y -qq chromium >/dev/null
fi
# The Ray rollout test: plain `ray` (no dashboard) is enough for a local cluster; `ip` brings up loopback in
# the network namespace that test runs in.
"$venv/bin/pip" install -q "ray>=2.10"
command -v ip >/dev/null 2>&1 || { apt-get update -qq && apt-get install -y -qq iproute2 >/dev/null; }
