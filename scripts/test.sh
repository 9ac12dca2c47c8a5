#!/usr/bin/env bash
# Builds everything from scratch and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
rm -rf build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZATAC97_WERROR="${ZATAC97_WERROR:-OFF}" >/dev/null
cmake --build build -j"$(nproc)"
# The hour-long streaming runs (label "long") are left to CI: ctest --test-dir build -L long
ctest --test-dir build --output-on-failure -j"$(nproc)" -LE long
