#!/usr/bin/env bash
# Builds the kernel driver package -- zatac97.sys for the 32-bit x86 kernel and
# its installation file zatac97.inf -- into DIR (default build-kernel), then
# runs the tests that inspect them. Installs the i686 cross compiler and the
# published DDK headers and libraries (Debian's mingw-w64 packages) when they
# are missing. ZATAC97_VENDOR_ID / ZATAC97_DEVICE_ID override the PCI ids.
#
#   scripts/build-kernel.sh [DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-build-kernel}"

packages=(cmake make g++ python3 g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32
          binutils-mingw-w64-i686 mingw-w64-i686-dev)
missing=()
for p in "${packages[@]}"; do
  case "$p" in
    # Any python3 on the path will do; the machine may carry its own.
    python3) command -v python3 >/dev/null && continue ;;
  esac
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

ids=()
[[ -n "${ZATAC97_VENDOR_ID:-}" ]] && ids+=("-DZATAC97_VENDOR_ID=$ZATAC97_VENDOR_ID")
[[ -n "${ZATAC97_DEVICE_ID:-}" ]] && ids+=("-DZATAC97_DEVICE_ID=$ZATAC97_DEVICE_ID")

cmake -S "$root/cmake/kernel" -B "$out" -DCMAKE_BUILD_TYPE=Release "${ids[@]}" >/dev/null
cmake --build "$out" -j"${JOBS:-$(nproc)}"
ctest --test-dir "$out" --output-on-failure

echo "zatac97.sys: $(stat -c %s "$out/zatac97.sys") bytes; zatac97.inf: $(stat -c %s "$out/zatac97.inf") bytes (in $out)"
