#!/usr/bin/env bash
# The bounded stress CI runs: SEQUENCES seeded sequences of the threaded
# host under ThreadSanitizer, from seed SEED on, split over one stress
# process per processor (each is mostly waiting on its threads, so the
# processes share the cores well). Builds zatac97_stress in build-tsan/.
#
#   scripts/stress.sh [SEQUENCES] [SEED]     e.g. scripts/stress.sh 2000 1
#
# Prints each process's figures; a failed check or a TSan report exits 1
# and prints the failing seeds with what their sequences did.
set -euo pipefail
cd "$(dirname "$0")/.."

sequences=${1:-2000}
seed=${2:-1}
[[ $sequences =~ ^[0-9]+$ && $sequences -gt 0 && $seed =~ ^[0-9]+$ ]] || { echo "usage: $0 [SEQUENCES] [SEED]" >&2; exit 2; }

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZATAC97_TSAN=ON -DZATAC97_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$(nproc)" --target zatac97_stress

processes=$(nproc)
((processes > sequences)) && processes=$sequences
share=$(( (sequences + processes - 1) / processes ))
pids=()
logs=()
for ((p = 0, first = seed, left = sequences; p < processes; p++, first += share, left -= share)); do
  count=$(( left < share ? left : share ))
  log=build-tsan/stress-$p.log
  logs+=("$log")
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    timeout 1800 build-tsan/tests/zatac97_stress --seed "$first" --sequences "$count" >"$log" 2>&1 &
  pids+=($!)
done
failed=0
for p in "${!pids[@]}"; do
  if ! wait "${pids[$p]}"; then failed=1; fi
  grep '^stress: [0-9]* sequences' "${logs[$p]}" || true
done
if ((failed)); then
  for log in "${logs[@]}"; do grep -v '^stress: [0-9]* sequences' "$log" | tail -n 80 >&2 || true; done
  echo "stress: FAILED (logs: ${logs[*]})" >&2
  exit 1
fi
