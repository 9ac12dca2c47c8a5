# Kernel driver image and installation file for the 32-bit x86 kernel, built
# with the mingw-w64 i686 cross tools (cmake/toolchain-i686-w64-mingw32.cmake).
# Used by the kernel configure in cmake/kernel/; the host build never includes
# this file.

include_guard(GLOBAL)

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows" OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  message(FATAL_ERROR "The kernel driver is built with the i686 cross toolchain: "
    "--toolchain cmake/toolchain-i686-w64-mingw32.cmake")
endif()

# A kernel image links against nothing the platform's user-mode runtime offers.
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(ZATAC97_DLLTOOL NAMES ${ZATAC97_CROSS_PREFIX}-dlltool REQUIRED)

# The published DDK headers (mingw-w64-i686-dev): ddk/ holds wdm.h and
# portcls.h and expects to be on the include path itself.
find_path(ZATAC97_DDK_INCLUDE_DIR portcls.h
  PATHS /usr/${ZATAC97_CROSS_PREFIX}/include/ddk /usr/share/mingw-w64/include/ddk
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# The kernel's and the HAL's import libraries, as the same package ships them.
find_library(ZATAC97_NTOSKRNL_LIB ntoskrnl REQUIRED)
find_library(ZATAC97_HAL_LIB hal REQUIRED)
# The kernel-streaming GUIDs as data (ks.h only declares them).
find_library(ZATAC97_KSGUID_LIB ksguid REQUIRED)

set(ZATAC97_KERNEL_COMPILE_OPTIONS
  # Freestanding C++: no exceptions, no RTTI, no guard variables, no unwind
  # tables, and no standard library headers to reach for.
  -ffreestanding -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  # The kernel saves no FPU or SSE state for driver code, and its stack is
  # four-byte aligned.
  -march=i686 -mgeneral-regs-only -mpreferred-stack-boundary=2
  # No stack probe helper: ntoskrnl exports none, and a kernel frame of a
  # page or more is a bug anyway.
  -mno-stack-arg-probe
  # Kernel code of this era relies on the DDK's type punning of GUIDs, and
  # indexes the one-element trailing arrays of resource and requirement lists
  # past their declared bound. Objects are zero-filled by the pool operator
  # new before constructors that leave most fields alone.
  -fno-strict-aliasing -fno-aggressive-loop-optimizations -fno-lifetime-dse
  -fno-omit-frame-pointer -ffunction-sections -fdata-sections)

# Windows 2000 and later: the DDK headers then declare what that kernel has.
set(ZATAC97_KERNEL_DEFINITIONS _X86_=1 _WIN32_WINNT=0x0500 NTDDI_VERSION=0x05000000)

# Reads the default PCI ids from the top-level CMakeLists.txt.
function(zatac97_default_pci_ids top_list)
  file(STRINGS "${top_list}" lines REGEX "set\\(ZATAC97_(VENDOR|DEVICE)_ID ")
  foreach(line IN LISTS lines)
    if(line MATCHES "set\\(ZATAC97_(VENDOR|DEVICE)_ID \"(0x[0-9A-Fa-f]+)\"")
      set(ZATAC97_DEFAULT_${CMAKE_MATCH_1}_ID "${CMAKE_MATCH_2}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

# Writes the one unit that instantiates every GUID the image refers to: the
# published headers' and the driver's own (any driver header with a
# DEFINE_GUID). The others only declare them.
function(_zatac97_write_guid_unit root out)
  file(GLOB headers CONFIGURE_DEPENDS
    "${root}/adapter/*.h" "${root}/topology/*.h" "${root}/wave/*.h")
  set(body "/* Generated: instantiates the GUIDs the driver refers to. */\n")
  string(APPEND body "#include <initguid.h>\n#include <portcls.h>\n#include <ks.h>\n#include <ksmedia.h>\n")
  foreach(header IN LISTS headers)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
    file(STRINGS "${header}" guid_lines REGEX "^[ \t]*DEFINE_GUID\\(")
    if(guid_lines)
      file(RELATIVE_PATH rel "${root}" "${header}")
      string(APPEND body "#include \"${rel}\"\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT "${out}" CONTENT "${body}")
endfunction()

# zatac97_add_kernel_driver(<name> ROOT <dir> VENDOR_ID <id> DEVICE_ID <id>)
#   Builds <name>.sys: the driver directories, the kernel form of platform/,
#   an import library for portcls.sys, ntoskrnl.exe and hal.dll; nothing else.
function(zatac97_add_kernel_driver name)
  cmake_parse_arguments(ARG "" "ROOT;VENDOR_ID;DEVICE_ID" "" ${ARGN})
  set(root "${ARG_ROOT}")
  set(platform "${root}/platform/kernel")

  # The framework's import library, from the module-definition file that lists
  # its exports. --kill-at: portcls.sys exports undecorated names.
  set(portcls_lib "${CMAKE_CURRENT_BINARY_DIR}/libportcls.a")
  add_custom_command(OUTPUT "${portcls_lib}"
    COMMAND "${ZATAC97_DLLTOOL}" --kill-at --input-def "${platform}/portcls.def"
            --dllname portcls.sys --output-lib "${portcls_lib}"
    DEPENDS "${platform}/portcls.def"
    COMMENT "Import library for portcls.sys"
    VERBATIM)
  add_custom_target(${name}_portcls_lib DEPENDS "${portcls_lib}")

  # The driver directories, unchanged. Globbed: the tree grows as they land.
  file(GLOB driver_sources CONFIGURE_DEPENDS
    "${root}/adapter/*.cpp" "${root}/topology/*.cpp" "${root}/wave/*.cpp")
  add_library(${name}_driver STATIC ${driver_sources})
  target_include_directories(${name}_driver PUBLIC "${platform}" "${root}")
  target_include_directories(${name}_driver SYSTEM PUBLIC "${ZATAC97_DDK_INCLUDE_DIR}")
  target_compile_definitions(${name}_driver PUBLIC
    ${ZATAC97_KERNEL_DEFINITIONS}
    ZATAC97_VENDOR_ID=${ARG_VENDOR_ID} ZATAC97_DEVICE_ID=${ARG_DEVICE_ID})
  target_compile_options(${name}_driver PUBLIC ${ZATAC97_KERNEL_COMPILE_OPTIONS})
  target_compile_options(${name}_driver PRIVATE -Wall -Wextra -Werror)
  set_target_properties(${name}_driver PROPERTIES
    CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)

  set(guid_unit "${CMAKE_CURRENT_BINARY_DIR}/${name}_guids.cpp")
  _zatac97_write_guid_unit("${root}" "${guid_unit}")

  file(GLOB platform_sources CONFIGURE_DEPENDS "${platform}/*.cpp")
  add_executable(${name} ${platform_sources} "${guid_unit}")
  add_dependencies(${name} ${name}_portcls_lib)
  target_compile_options(${name} PRIVATE -Wall -Wextra -Werror)
  set_target_properties(${name} PROPERTIES
    SUFFIX ".sys"
    CXX_STANDARD 20 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}")
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${name}.map")
  set(discard "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kernel/discard.ld")
  set_target_properties(${name} PROPERTIES LINK_DEPENDS "${discard};${portcls_lib}")
  target_link_options(${name} PRIVATE
    -nostdlib
    # DRIVER_INITIALIZE is NTAPI: the loader calls _DriverEntry@8. Requiring
    # the decorated name turns a mis-declared entry into a link error.
    "LINKER:--entry,_DriverEntry@8"
    "LINKER:--require-defined,_DriverEntry@8"
    "LINKER:--subsystem,native:5.00"
    "LINKER:--major-os-version,5" "LINKER:--minor-os-version,0"
    "LINKER:--wdmdriver"
    # The loader relocates a driver wherever it lands: keep .reloc.
    "LINKER:--dynamicbase"
    "LINKER:--image-base,0x10000"
    "LINKER:--file-alignment,0x200" "LINKER:--section-alignment,0x1000"
    "LINKER:--gc-sections"
    # What the mingw linker would otherwise patch silently needs a runtime or
    # is a bug: data imported without dllimport (pseudo-relocations no kernel
    # applies), and a cdecl reference bound to a stdcall definition.
    "LINKER:--disable-auto-import" "LINKER:--disable-runtime-pseudo-reloc"
    "LINKER:--disable-stdcall-fixup"
    # No symbols or debug sections in the shipped image; the map keeps the layout.
    "LINKER:--strip-all"
    "LINKER:-T,${discard}"
    "LINKER:--no-insert-timestamp"
    "LINKER:-Map,${map}")
  target_link_libraries(${name} PRIVATE
    ${name}_driver
    "${portcls_lib}" "${ZATAC97_NTOSKRNL_LIB}" "${ZATAC97_HAL_LIB}" "${ZATAC97_KSGUID_LIB}"
    # 64-bit division helpers; the compiler's own support code, no runtime.
    gcc)

  # Marks INIT discardable and writes the image checksum the loader verifies.
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND "${Python3_EXECUTABLE}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/kernel/pe_finish.py"
            "$<TARGET_FILE:${name}>"
    VERBATIM)

  set_property(GLOBAL PROPERTY ZATAC97_KERNEL_MAP "${map}")
endfunction()

# zatac97_add_inf(<target> ROOT <dir> VENDOR_ID <id> DEVICE_ID <id> OUTPUT <file>)
#   Generates the installation file from inf/zatac97.inf.in and the driver's
#   own name table, with a generator compiled by the build machine's compiler.
function(zatac97_add_inf target)
  cmake_parse_arguments(ARG "" "ROOT;VENDOR_ID;DEVICE_ID;OUTPUT" "" ${ARGN})
  set(root "${ARG_ROOT}")
  find_program(ZATAC97_HOST_CXX NAMES c++ g++ clang++ NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(generator "${CMAKE_CURRENT_BINARY_DIR}/zatac97-geninf")
  add_custom_command(OUTPUT "${generator}"
    COMMAND "${ZATAC97_HOST_CXX}" -std=c++20 -Wall -Wextra -Werror
            -I "${root}/platform/host" -I "${root}"
            -DZATAC97_VENDOR_ID=${ARG_VENDOR_ID} -DZATAC97_DEVICE_ID=${ARG_DEVICE_ID}
            "${root}/inf/geninf.cpp" -o "${generator}"
    DEPENDS "${root}/inf/geninf.cpp" "${root}/topology/names.h"
    COMMENT "INF generator (build machine)"
    VERBATIM)
  add_custom_command(OUTPUT "${ARG_OUTPUT}"
    COMMAND "${generator}" "${root}/inf/zatac97.inf.in" "${ARG_OUTPUT}"
    DEPENDS "${generator}" "${root}/inf/zatac97.inf.in"
    COMMENT "Installation file zatac97.inf"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${ARG_OUTPUT}")
endfunction()
