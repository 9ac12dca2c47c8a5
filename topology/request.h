/*
 * What every mixer property handler does first: find the verb, the channel
 * and the value in a request that came from user mode through the framework.
 * Every size is checked before its buffer is touched, a missing buffer counts
 * as an empty one, and values move through byte copies so an unaligned
 * buffer does no harm.
 */
#pragma once

#include <zatplatform.h>

#include "topology/miniport.h"

/* ---- Request helpers ------------------------------------------------------------------------- */

enum RequestVerb { VerbNone, VerbGet, VerbSet, VerbBasicSupport };

/* The first verb bit present decides, in the order get, set, basic support. */
static inline RequestVerb VerbOf(PPCPROPERTY_REQUEST Request)
{
    if (Request->Verb & KSPROPERTY_TYPE_GET)
        return VerbGet;
    if (Request->Verb & KSPROPERTY_TYPE_SET)
        return VerbSet;
    if (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
        return VerbBasicSupport;
    return VerbNone;
}

static inline bool IsFilterRequest(PPCPROPERTY_REQUEST Request)
{
    return Request->Node == PCFILTER_NODE;
}

static inline ULONG PropertyIdOf(PPCPROPERTY_REQUEST Request)
{
    return Request->PropertyItem ? Request->PropertyItem->Id : (ULONG)-1;
}

/* Room in the value buffer; a missing buffer has none, whatever its size claims. */
static inline ULONG ValueRoom(PPCPROPERTY_REQUEST Request)
{
    return Request->Value ? Request->ValueSize : 0;
}

/*
 * The channel from the instance data; false when the instance cannot hold
 * one, and then the channel is -1, which no node has, never stack garbage.
 */
static inline bool ChannelOf(PPCPROPERTY_REQUEST Request, LONG *Channel)
{
    *Channel = -1;
    if (!Request->Instance || Request->InstanceSize < sizeof(LONG))
        return false;
    RtlCopyMemory(Channel, Request->Instance, sizeof(LONG));
    return true;
}

static inline LONG ValueAsLong(PPCPROPERTY_REQUEST Request)
{
    LONG value;
    RtlCopyMemory(&value, Request->Value, sizeof(value));
    return value;
}

static inline void ReturnValue(PPCPROPERTY_REQUEST Request, const void *Data, ULONG Size)
{
    RtlCopyMemory(Request->Value, Data, Size);
    Request->ValueSize = Size;
}

static inline void ReturnUlong(PPCPROPERTY_REQUEST Request, ULONG Value)
{
    ReturnValue(Request, &Value, sizeof(Value));
}

/*
 * A basic-support request answered with success and no data: say that no
 * bytes came back, rather than let the caller take its own buffer for an answer.
 */
static inline NTSTATUS SupportedWithoutData(PPCPROPERTY_REQUEST Request)
{
    Request->ValueSize = 0;
    return STATUS_SUCCESS;
}

