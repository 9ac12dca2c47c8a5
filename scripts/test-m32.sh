#!/usr/bin/env bash
# Builds the host, the driver and the tests for 32-bit x86 (-m32), where the
# platform's calling conventions are real, into DIR (default build-m32), and
# runs every test there, including the comparison of the platform structures'
# layouts with the DDK headers'. Installs Debian's multilib compilers,
# GoogleTest's sources and the i686 cross compiler with the DDK headers (for
# that comparison) when they are missing.
#
# With IMAGE (a zatac97.sys from scripts/build-kernel.sh), the kernel image's
# tests run too: the loader's, and a set of the driver's tests against the
# loaded image instead of the compiled-in driver.
#
#   scripts/test-m32.sh [DIR [IMAGE]]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-build-m32}"
image=()
[[ -n "${2:-}" ]] && image=("-DZATAC97_KERNEL_IMAGE=$(realpath "$2")")

packages=(cmake make g++ g++-multilib gcc-multilib googletest pkg-config
          g++-mingw-w64-i686-win32 mingw-w64-i686-dev)
missing=()
for p in "${packages[@]}"; do
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

cmake -S "$root" -B "$out" --toolchain "$root/cmake/toolchain-i686-linux.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${image[@]}" >/dev/null
cmake --build "$out" -j"${JOBS:-$(nproc)}"
ctest --test-dir "$out" --output-on-failure -j"${JOBS:-$(nproc)}"
