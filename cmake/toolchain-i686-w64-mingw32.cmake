# Cross toolchain for the 32-bit x86 kernel image: the mingw-w64 i686 compilers
# and binutils as Debian ships them (g++-mingw-w64-i686, mingw-w64-i686-dev).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(ZATAC97_CROSS_PREFIX i686-w64-mingw32)

# The win32-threads flavour: the posix one would bring winpthreads along.
set(CMAKE_C_COMPILER ${ZATAC97_CROSS_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${ZATAC97_CROSS_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${ZATAC97_CROSS_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZATAC97_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler checks would link a user-mode program; a library needs no runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
