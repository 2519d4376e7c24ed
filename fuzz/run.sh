#!/usr/bin/env bash
# Builds the libFuzzer targets (CMake preset fuzz, into build-fuzz/) and runs
# each one briefly. Seeds, when present, live in fuzz/seeds/<target>/.
#   fuzz/run.sh [target...]     FUZZ_SECONDS (default 20) per target, FUZZ_MAX_LEN
#                               (default 8192 bytes)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
out=build-fuzz

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in fuzz/fuzz_*.cpp; do
    [ -e "$f" ] && targets+=("$(basename "$f" .cpp)")
  done
fi

echo "== fuzz: building ${targets[*]}"
cmake --preset fuzz ${MATTIVO_CMAKE_ARGS:-} >/dev/null
cmake --build --preset fuzz -j "${JOBS:-$(nproc)}" >/dev/null

failed=0
for name in "${targets[@]}"; do
  bin=$out/fuzz/$name
  [ -x "$bin" ] || { echo "no such fuzz target: $name" >&2; exit 2; }
  corpus=$out/corpus/$name
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "== fuzz $name: running ${seconds}s"
  log=$out/$name.log
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${FUZZ_MAX_LEN:-8192}" \
       -artifact_prefix="$out/$name-" -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|Done)' "$log" | sed 's/^/   /' || true
  else
    echo "fuzz target $name failed; last lines of $log:" >&2
    tail -n 40 "$log" >&2
    failed=1
  fi
done
exit $failed
