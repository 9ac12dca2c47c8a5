/*
 * Kernel form of <ksmedia.h>: the platform's published audio kernel-streaming
 * header, and only what it lacks.
 */
#pragma once

#include <ks.h>

/* One of its structures uses TCHAR, which only the user-mode winnt.h defines. */
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif

#include_next <ksmedia.h>
