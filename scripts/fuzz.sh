#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each one
# for SECONDS (default 600), one after another, from its seed corpus in
# fuzz/corpus/<target>/ plus what earlier runs here found (build-fuzz/corpus/).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 30, scripts/fuzz.sh 3600 registry
#
# Prints executions, coverage (edges) and findings per target. A finding (a
# crash, a sanitizer report, a failed check, a leak, a time-out) is kept in
# build-fuzz/findings/<target>/ and the script exits 1; keep the input as a
# regression case in fuzz/corpus/<target>/ once it is fixed.
#
# ZATAC97_FUZZ_SEED=N fixes libFuzzer's seed, so a run repeats the inputs an
# earlier run with the same seed tried (CI uses it; campaigns leave it unset).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 ]] || { echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2; }

scripts/deps.sh fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZATAC97_FUZZ=ON \
  -DZATAC97_TESTS=OFF -DZATAC97_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target zatac97_fuzz

targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
printf '%-12s %12s %8s %8s  %s\n' target executions edges features findings
for target in "${targets[@]}"; do
  binary=build-fuzz/fuzz/fuzz_$target
  [[ -x $binary ]] || { echo "no fuzz target '$target'" >&2; exit 2; }
  work=build-fuzz/corpus/$target findings=build-fuzz/findings/$target log=build-fuzz/logs/$target.log
  mkdir -p "$work" "$findings" build-fuzz/logs
  options=()
  [[ -f fuzz/dict/$target.dict ]] && options=(-dict="fuzz/dict/$target.dict")
  [[ -n ${ZATAC97_FUZZ_SEED:-} ]] && options+=(-seed="$ZATAC97_FUZZ_SEED")
  status=0
  "$binary" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$findings/" "${options[@]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}' | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | awk '{print $2}')
  # slow-unit files only say the machine was busy
  found=$(find "$findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  printf '%-12s %12s %8s %8s  %s\n' "$target" "${runs:-?}" "${cov:-?}" "${ft:-?}" "$found"
  if ((status != 0 || found != 0)); then
    failed=1
    echo "  finding in $target (exit $status): see $log and $findings/" >&2
    grep -E 'fuzz check failed|ERROR: |SUMMARY: ' "$log" | head -5 | sed 's/^/  /' >&2
    # The input itself, so a log is enough to keep it as a regression case.
    for input in "$findings"/{crash,leak,timeout,oom}-*; do
      [[ -f $input ]] && echo "  $(basename "$input") (base64): $(base64 -w0 "$input" | head -c 4096)" >&2
    done
  fi
done
exit $failed
