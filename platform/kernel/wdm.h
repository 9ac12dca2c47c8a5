/*
 * Kernel form of <wdm.h>: the platform's published header as mingw-w64 ships
 * it (ddk/wdm.h), and only what that header lacks or needs to compile as C++.
 */
#pragma once

#include <sdkddkver.h>

/* wdm.h tests NTDDI_WINVISTA, which the version header never defines. */
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif

/*
 * The intrinsics header and wdm.h both define these two as inline functions,
 * which C++ rejects; claim the intrinsics' copies as done so wdm.h's stand.
 */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include_next <wdm.h>

/*
 * ntdef.h's form assigns the parameter to itself, which fails on a const
 * reference; the published DDK's form only names it.
 */
#undef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) ((void)(P))

#ifndef PAGED_CODE
#define PAGED_CODE()
#endif
