/*
 * The little a C++ kernel image needs that no runtime library supplies here:
 * the handler the compiler puts in abstract vtables, global operator delete
 * over the pool, and the one GUID the headers declare but no kernel library
 * defines. Objects are made with their classes' own pool operator new; the
 * global deletes only catch a delete-expression that does not reach a class's
 * own operator.
 */
#include <wdm.h>
#include <bugcodes.h>
#include <ks.h>

/* ks.h declares GUID_NULL; ksguid, which defines the other KS GUIDs, does not. */
EXTERN_C const GUID GUID_NULL = {STATICGUIDOF(GUID_NULL)};

/*
 * A call through a vtable slot that only an abstract class filled: an object
 * used after its destructor began, or before its constructor ended. There is
 * nothing sound to return, so stop the machine and name the caller.
 */
extern "C" void __cxa_pure_virtual()
{
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)STATUS_NOT_IMPLEMENTED,
                 (ULONG_PTR)__builtin_return_address(0), 0, 0);
}

void operator delete(void *Pointer) noexcept
{
    if (Pointer)
        ExFreePool(Pointer);
}

void operator delete(void *Pointer, unsigned int) noexcept
{
    if (Pointer)
        ExFreePool(Pointer);
}
