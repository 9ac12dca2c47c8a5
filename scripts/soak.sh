#!/usr/bin/env bash
# A long soak of the driver on the threaded host under ThreadSanitizer:
# builds the stress program in build-tsan/ and runs seeded sequences of play
# and record streams (state changes, pauses, revocations, position queries,
# property requests, power cycles, random service latency) for SECONDS.
#
#   scripts/soak.sh [SECONDS] [SEED]     e.g. scripts/soak.sh 3600
#
# SEED is the first sequence's seed (default: from the clock; printed, so a
# failing run can be repeated with it). A failed check or a TSan report
# exits 1; the log (build-tsan/soak.log) names the seed of each sequence.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
seed=${2:-$(date +%s)}
[[ $seconds =~ ^[0-9]+$ && $seconds -gt 0 && $seed =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS] [SEED]" >&2; exit 2; }

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZATAC97_TSAN=ON -DZATAC97_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$(nproc)" --target zatac97_stress

echo "soak: ${seconds} s from seed ${seed}"
log=build-tsan/soak.log
if ! TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    timeout $((seconds + 600)) build-tsan/tests/zatac97_stress --seed "$seed" --seconds "$seconds" --verbose 2>"$log"; then
  grep -v '^seed [0-9]* done$' "$log" | tail -n 60 >&2
  echo "soak: FAILED; the last sequence finished: $(grep '^seed [0-9]* done$' "$log" | tail -n 1)" >&2
  exit 1
fi
