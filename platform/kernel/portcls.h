/*
 * Kernel form of <portcls.h>: the port class framework's published header
 * (with punknown.h, ks.h and ksmedia.h), and only what it lacks.
 */
#pragma once

#include <wdm.h>

/* punknown.h declares its interfaces with these user-mode winnt.h attributes. */
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif

/*
 * punknown.h gives IID_IUnknown as {00000000-0000-0000-0000-C00000000046}; the
 * framework asks for {00000000-0000-0000-C000-000000000046}. Park the header's
 * value under another name and define the real one after it.
 */
#define IID_IUnknown IID_IUnknown_AsPunknownHStatesIt
#include_next <portcls.h>
#undef IID_IUnknown
DEFINE_GUID(IID_IUnknown, 0x00000000L, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

/* The historical spelling the published headers also carry. */
#ifndef IID_IAdapterPowerManagment
#define IID_IAdapterPowerManagment IID_IAdapterPowerManagement
#endif
