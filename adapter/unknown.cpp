#include "adapter/unknown.h"

CUnknown::CUnknown(PUNKNOWN pUnknownOuter)
    : m_lRefCount(0),
      /* Without an outer object the CUnknown face itself controls the count. */
      m_pUnknownOuter(pUnknownOuter ? pUnknownOuter
                                    : reinterpret_cast<PUNKNOWN>(static_cast<PNONDELEGATINGUNKNOWN>(this)))
{
}

CUnknown::~CUnknown()
{
}

STDMETHODIMP_(NTSTATUS) CUnknown::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown)) {
        *Interface = static_cast<PNONDELEGATINGUNKNOWN>(this);
        NonDelegatingAddRef();
        return STATUS_SUCCESS;
    }
    *Interface = NULL;
    return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef()
{
    return (ULONG)InterlockedIncrement(&m_lRefCount);
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease()
{
    LONG count = InterlockedDecrement(&m_lRefCount);
    if (count != 0)
        return (ULONG)count;

    /* Never sit at zero while tearing down: a stray AddRef/Release pair must not re-enter here. */
    m_lRefCount = 1;
    delete this;
    return 0;
}

PVOID CUnknown::operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept
{
    PVOID memory = ExAllocatePoolWithTag(PoolType, Size, Tag);
    if (memory)
        RtlZeroMemory(memory, Size);
    return memory;
}

VOID CUnknown::operator delete(PVOID Pointer) noexcept
{
    if (Pointer)
        ExFreePool(Pointer);
}

VOID CUnknown::operator delete(PVOID Pointer, POOL_TYPE, ULONG) noexcept
{
    if (Pointer)
        ExFreePool(Pointer);
}
