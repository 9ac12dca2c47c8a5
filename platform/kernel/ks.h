/*
 * Kernel form of <ks.h>: the platform's published kernel-streaming header.
 */
#pragma once

#include <wdm.h>

#include_next <ks.h>
