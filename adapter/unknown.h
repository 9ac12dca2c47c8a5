/*
 * CUnknown: the reference-counted base of every object of the driver, with
 * outer-object delegation in the component-object style the port class
 * framework expects.
 */
#pragma once

#include <portcls.h>

/* Pool tags, as the bytes read in a pool dump. */
const ULONG PoolTagObject = 0x72436350;  /* "PcCr": adapter and miniport objects */
const ULONG PoolTagStream = 0x774E6350;  /* "PcNw": wave streams */
const ULONG PoolTagScratch = 0x206D6457; /* "Wdm ": records, scratch buffers, requirement lists */

/* The non-delegating face: its three slots line up with IUnknown's. */
DECLARE_INTERFACE(INonDelegatingUnknown)
{
    STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)(THIS_ REFIID InterfaceId, PVOID *Interface) PURE;
    STDMETHOD_(ULONG, NonDelegatingAddRef)(THIS) PURE;
    STDMETHOD_(ULONG, NonDelegatingRelease)(THIS) PURE;
};
typedef INonDelegatingUnknown *PNONDELEGATINGUNKNOWN;

class CUnknown : public INonDelegatingUnknown
{
private:
    LONG m_lRefCount;
    PUNKNOWN m_pUnknownOuter;

public:
    explicit CUnknown(PUNKNOWN pUnknownOuter);
    virtual ~CUnknown();

    PUNKNOWN GetOuterUnknown() { return m_pUnknownOuter; }

    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface) override;
    STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
    STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

    /* Objects live in pool memory, zero-filled before construction. */
    static PVOID operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept;
    static VOID operator delete(PVOID Pointer) noexcept;
    /* Called only if a constructor could fail; none does, but the pair must exist. */
    static VOID operator delete(PVOID Pointer, POOL_TYPE PoolType, ULONG Tag) noexcept;
};

/*
 * Every interface face forwards IUnknown to the controlling object; a face
 * keeps no count of its own.
 */
#define DECLARE_STD_UNKNOWN()                                                      \
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID InterfaceId, PVOID *Interface) override \
    {                                                                              \
        return GetOuterUnknown()->QueryInterface(InterfaceId, Interface);          \
    }                                                                              \
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); } \
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
