/*
 * Compile-only probe of the 32-bit host build: the platform's conventions are
 * part of every function type, so a driver routine declared without the one
 * the DDK gives it does not compile. ZATAC97_CASE picks the routine; case 0
 * is the correct form of each, which must compile.
 */
#include <portcls.h>

namespace {

struct Stream : IMiniportWavePciStream {
    STDMETHODIMP QueryInterface(REFIID, PVOID *) override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SetFormat(PKSDATAFORMAT) override { return STATUS_SUCCESS; }
#if ZATAC97_CASE == 1
    // A COM method without STDMETHODCALLTYPE: the caller would push `this`
    // and the arguments and expect the callee to pop them.
    NTSTATUS SetState(KSSTATE) override { return STATUS_SUCCESS; }
#else
    STDMETHODIMP SetState(KSSTATE) override { return STATUS_SUCCESS; }
#endif
    STDMETHODIMP GetPosition(PULONGLONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP GetAllocatorFraming(PKSALLOCATOR_FRAMING) override { return STATUS_SUCCESS; }
    STDMETHODIMP RevokeMappings(PVOID, PVOID, PULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP_(void) MappingAvailable() override {}
    STDMETHODIMP_(void) Service() override {}
};

#if ZATAC97_CASE == 2
// A property handler without NTAPI.
NTSTATUS PropertyHandler(PPCPROPERTY_REQUEST) { return STATUS_SUCCESS; }
#else
NTSTATUS NTAPI PropertyHandler(PPCPROPERTY_REQUEST) { return STATUS_SUCCESS; }
#endif

#if ZATAC97_CASE == 3
// An IRP dispatch routine without NTAPI.
NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }
#else
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }
#endif

#if ZATAC97_CASE == 4
// An interrupt service routine without NTAPI.
NTSTATUS InterruptServiceRoutine(PINTERRUPTSYNC, PVOID) { return STATUS_SUCCESS; }
#else
NTSTATUS NTAPI InterruptServiceRoutine(PINTERRUPTSYNC, PVOID) { return STATUS_SUCCESS; }
#endif

}  // namespace

const PCPROPERTY_ITEM ProbeProperty = {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                       KSPROPERTY_TYPE_GET, PropertyHandler};
const PDRIVER_DISPATCH ProbeDispatch = Dispatch;
const PINTERRUPTSYNCROUTINE ProbeRoutine = InterruptServiceRoutine;
Stream ProbeStream;
