/*
 * The layout table evaluated against the platform's published DDK headers:
 * compiled to assembly by the i686 cross compiler, never linked or run. The
 * numbers are read back from the one array's data (extract_layout.cmake).
 */
#include <wdm.h>
#include <portcls.h>
#include <ks.h>
#include <ksmedia.h>

#include "tests/layout/layout_table.h"

#define DDK_STRUCT(T) (unsigned)sizeof(T),
#define DDK_FIELD_AS(T, h, d) (unsigned)__builtin_offsetof(T, d), (unsigned)sizeof(((T *)0)->d),
#define DDK_FIELD(T, f) DDK_FIELD_AS(T, f, f)
#define DDK_VALUE(v) (unsigned)(v),

extern "C" const unsigned zatac97_ddk_layout[] = {
    ZATAC97_LAYOUT_TABLE(DDK_STRUCT, DDK_FIELD, DDK_FIELD_AS, DDK_VALUE)
};
