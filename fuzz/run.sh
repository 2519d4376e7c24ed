#!/usr/bin/env bash
# Builds every fuzz/fuzz_*.cpp as a libFuzzer program (ASan + UBSan) and runs
# each one briefly. A target names what it needs in comment lines at its top:
#   // sources: src/overlay/selection.cpp   (files compiled in, relative to the root)
#   // libs: -lcurl                          (extra link arguments)
# Seeds, when present, live in fuzz/seeds/<target>/.
#   fuzz/run.sh [target...]     FUZZ_SECONDS (default 20) per target, FUZZ_MAX_LEN
#                               (default 8192 bytes), FUZZ_CXX (default clang++)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-20}
cxx=${FUZZ_CXX:-clang++}
out=$root/build-fuzz
mkdir -p "$out"

flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$root/src")

header_list() {  # header_list FILE KEY: words after "// KEY:" in the file's leading comments
  sed -n "/^\/\/ $2:/{s/^\/\/ $2://;p}" "$1" | head -n 20
}

targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in fuzz/fuzz_*.cpp; do
    [ -e "$f" ] && targets+=("$(basename "$f" .cpp)")
  done
fi

failed=0
for name in "${targets[@]}"; do
  src=fuzz/$name.cpp
  [ -f "$src" ] || { echo "no such fuzz target: $src" >&2; exit 2; }
  read -r -a sources <<<"$(header_list "$src" sources | tr '\n' ' ')"
  read -r -a libs <<<"$(header_list "$src" libs | tr '\n' ' ')"
  echo "== fuzz $name: building"
  "$cxx" "${flags[@]}" "$src" "${sources[@]/#/$root/}" "${libs[@]}" -o "$out/$name"

  corpus=$out/corpus/$name
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "== fuzz $name: running ${seconds}s"
  log=$out/$name.log
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$out/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="${FUZZ_MAX_LEN:-8192}" \
       -artifact_prefix="$out/$name-" -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    grep -E '^(stat::number_of_executed_units|Done)' "$log" | sed 's/^/   /' || true
  else
    echo "fuzz target $name failed; last lines of $log:" >&2
    tail -n 40 "$log" >&2
    failed=1
  fi
done
exit $failed
