# The 32-bit x86 host build: the same Linux host, compiled -m32 with Debian's
# multilib compilers (gcc-multilib, g++-multilib), so that the platform's
# 32-bit calling conventions (stdcall, fastcall) are real in every call the
# driver makes and every call made into it.
#
#   cmake -S . -B build-m32 --toolchain cmake/toolchain-i686-linux.cmake
#
# Not a cross build: the programs it makes run on the build machine itself
# (the INF generator, the tests).
set(ZATAC97_HOST_32 ON CACHE BOOL "The 32-bit x86 host build")

# The kernel image (host/image) calls into the host with the 4-byte stack
# alignment the platform's x86 ABI guarantees, not the 16 bytes Linux's does:
# host code realigns where it needs more.
set(CMAKE_C_FLAGS_INIT "-m32 -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-m32 -mincoming-stack-boundary=2")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")

# 32-bit libraries and their pkg-config files live under the i386 triplet.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# Debian ships GoogleTest as source (googletest); the 64-bit libgtest-dev
# libraries cannot link here, so the tests build it for this target.
set(ZATAC97_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources to build for this target")

# Google Benchmark is installed for the machine's own (64-bit) target only.
set(ZATAC97_BENCH OFF CACHE BOOL "Build the benchmarks")
