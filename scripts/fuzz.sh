#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with ASan and UBSan) and runs each for a fixed time:
#   bash scripts/fuzz.sh [SECONDS]        # default 45 s per target, eight targets
# First every saved input is replayed: fuzz/regressions/<target>/ (inputs that once failed) and
# fuzz/seeds/<target>/ (the known vectors). Then each target fuzzes from its seeds into a scratch corpus
# under build/fuzz/corpus/, which persists between local runs. A failing input is kept in build/fuzz/crashes/;
# copy it into fuzz/regressions/<target>/ (and add a pytest case where it reaches Python) once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-45}
targets=(decode_vec_f64 decode_mat_f64 decode_close_step decode_vec_mat_f64 check_incoming error_payload origin requests)
step() { printf '\n==> %s\n' "$*"; }

if ! command -v clang++ >/dev/null 2>&1; then
  step "install clang for the fuzz targets (apt-get, needs root)"
  apt-get update -qq && apt-get install -y -qq clang >/dev/null
fi
python=${PYTHON:-$root/.venv/bin/python}
[ -x "$python" ] || python=python3
if ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1; then
  "$python" -m pip install -q cmake ninja
  export PATH="$(dirname "$python"):$PATH"
fi

build=$root/build/fuzz
step "build the fuzz targets (clang)"
CXX=clang++ cmake -S . -B "$build" -G Ninja -DENGINE_FUZZ=ON -DSKBUILD_SABI_COMPONENT=Development.SABIModule \
  -DPython_EXECUTABLE="$python" >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
ninja -C "$build" fuzzers >"$build.build.log" 2>&1 || { cat "$build.build.log"; exit 1; }

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
mkdir -p "$build/crashes"
step "replay the saved inputs"
for t in "${targets[@]}"; do
  inputs=()
  for d in fuzz/regressions/$t fuzz/seeds/$t; do
    [ -d "$d" ] && inputs+=("$d"/*)
  done
  "$build/fuzz/fuzz_$t" -runs=0 "${inputs[@]}" >"$build/replay_$t.log" 2>&1 || { tail -n 40 "$build/replay_$t.log"; exit 1; }
  echo "$t: ${#inputs[@]} inputs replayed"
done

step "fuzz each target for $seconds s"
summary=$build/summary.txt
: >"$summary"
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  mkdir -p "$corpus"
  log=$build/fuzz_$t.log
  if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$t-" "$corpus" "fuzz/seeds/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$t failed; the input is in $build/crashes/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  printf '%-20s %12s executions  %s  corpus %s\n' "$t" "$runs" "$cov" "$(ls "$corpus" | wc -l)" | tee -a "$summary"
done
