/*
 * CAdapterCommon: the one object per started device that owns the
 * controller's registers, the codec access protocol and its register cache,
 * the interrupt with its per-channel event counts, the PCI BIOS path to the
 * configuration space, mixer persistence and power management.
 *
 * Its methods are spread over files by concern: common.cpp (life cycle and
 * accessors), pcibios.cpp, codec.cpp, mixer.cpp, power.cpp, interrupt.cpp.
 */
#pragma once

#include <portcls.h>
#include <zatplatform.h>

#include "adapter/adapter.h"
#include "adapter/registers.h"
#include "adapter/unknown.h"

/* The BIOS area searched for the BIOS32 service directory. */
const ULONG BiosWindowPhysical = 0xE0000;
const ULONG BiosWindowSize = 0x20000;

struct MixerSetting;

class CAdapterCommon : public IAdapterCommon, public IAdapterPowerManagement, public CUnknown
{
private:
    PDEVICE_OBJECT DeviceObject;
    PINTERRUPTSYNC InterruptSyncObject;
    ULONG PortBase;
    /* The wave miniport's array, not referenced; changed only under the interrupt's lock. */
    PSERVICEGROUP *WaveServiceGroupArray;
    PPORTWAVEPCI WavePortDriver;
    PUNKNOWN MidiPortDriver;
    DEVICE_POWER_STATE PowerState;
    USHORT CodecShadow[CodecShadowWords];
    /* Stored with the mixer but not cached: the last value written to or read from each. */
    USHORT GeneralPurposeShadow;
    USHORT ThreeDControlShadow;
    /* Which stored registers the driver has written: only those hold a setting worth saving. */
    ULONG CodecShadowWritten;
    /* What the driver gave the converters (VRA enable, rates); a cold reset of the codec loses it. */
    USHORT ConverterShadow[ConverterSettingCount];
    ULONG ConverterShadowWritten;
    /* CodecLinkControl as the driver last wrote it: D3 takes the variable-rate slot bit from the hardware. */
    UCHAR LinkControlShadow;
    ULONG CodecTimedOut;
    /*
     * In D3 the codec port is down: mixer and converter writes go to their
     * shadows only (one bit per register/2) and reach the codec on the way
     * back to D0. Both under CodecMutex.
     */
    BOOLEAN CodecPoweredOff;
    ULONGLONG CodecWritesWhileOff;
    KMUTEX CodecMutex;
    UCHAR IntTimes[SgdChannelCount];
    PVOID PciBiosEntry;
    USHORT PciDeviceAddress;
    /* The firmware window that PciBiosEntry points into; unmapped when the object goes. */
    PVOID BiosWindow;

public:
    explicit CAdapterCommon(PUNKNOWN UnknownOuter) : CUnknown(UnknownOuter) {}
    ~CAdapterCommon() override;

    /* IUnknown of both faces: forwarded to the controlling object. */
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID *Interface) override;

    /* IAdapterCommon */
    STDMETHODIMP_(NTSTATUS) Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject) override;
    STDMETHODIMP_(PINTERRUPTSYNC) GetInterruptSync() override;
    STDMETHODIMP_(PUNKNOWN *) WavePortDriverDest() override;
    STDMETHODIMP_(PUNKNOWN *) MidiPortDriverDest() override;
    STDMETHODIMP_(void) SetWaveServiceGroups(PSERVICEGROUP *ServiceGroups) override;
    STDMETHODIMP_(NTSTATUS) ResetZATAC97Controller() override;
    STDMETHODIMP_(ULONG) ReadPCIRegDW(UCHAR Register) override;
    STDMETHODIMP_(USHORT) ReadPCIRegW(UCHAR Register) override;
    STDMETHODIMP_(UCHAR) ReadPCIRegB(UCHAR Register) override;
    STDMETHODIMP_(void) WritePCIRegDW(UCHAR Register, ULONG Value) override;
    STDMETHODIMP_(void) WritePCIRegW(UCHAR Register, USHORT Value) override;
    STDMETHODIMP_(void) WritePCIRegB(UCHAR Register, UCHAR Value) override;
    STDMETHODIMP_(USHORT) CodecRegRead(UCHAR Register) override;
    STDMETHODIMP_(void) CodecRegWrite(UCHAR Register, USHORT Value) override;
    STDMETHODIMP_(void) CodecReset() override;
    STDMETHODIMP_(UCHAR) ReadIntTimes(ULONG Channel) override;
    STDMETHODIMP_(void) WriteIntTimes(ULONG Channel, UCHAR Count) override;
    STDMETHODIMP_(void) HwAcquireCodecSync() override;
    STDMETHODIMP_(void) HwReleaseCodecSync() override;
    STDMETHODIMP_(NTSTATUS) RestoreMixerSettingsFromRegistry() override;
    STDMETHODIMP_(NTSTATUS) SaveMixerSettingsToRegistry() override;

    /* IAdapterPowerManagement */
    STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override;
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override;

    static NTSTATUS NTAPI InterruptServiceRoutine(PINTERRUPTSYNC InterruptSync, PVOID DynamicContext);

    /* Read-only views of state that no interface reports. */
    BOOLEAN IsCodecTimedOut() const { return CodecTimedOut != 0; }
    DEVICE_POWER_STATE GetPowerState() const { return PowerState; }
    ULONG GetPortBase() const { return PortBase; }
    USHORT GetPciDeviceAddress() const { return PciDeviceAddress; }

private:
    USHORT FindPCIBios();
    USHORT FindPCIDevice();
    BOOLEAN CallPciBios(PFIRMWARE_REGISTERS Registers);

    USHORT *ShadowWord(UCHAR Register);
    USHORT *StoredWord(UCHAR Register);
    void NoteMixerWrite(UCHAR Register, USHORT Value);
    void NoteMixerRead(UCHAR Register, USHORT Value);
    void NoteConverterWrite(UCHAR Register, USHORT Value);
    void RestoreConverterSettings();
    void ChangePowerStateLocked(DEVICE_POWER_STATE state);
    BOOLEAN KeepWriteWhilePoweredOff(UCHAR Register, USHORT Value);
    void ReplayWritesWhilePoweredOff();
    BOOLEAN MixerSettingKnown(UCHAR Register) const;
    BOOLEAN WaitCodecPortFree(ULONGLONG Limit);
    BOOLEAN WaitCodecReadData();
    BOOLEAN WaitForCodecLink();
    void WaitForCodecAwake();
    BOOLEAN AcquireCodecPort();
    void ReleaseCodecPort();
    void WriteFallbackValue(const MixerSetting &Row);
    void WriteCodecDefaults();
    void WriteCodecDefaultsNotStored();
    void RestoreMixerSettingsAfterReset();

    static NTSTATUS NTAPI SetServiceGroupsSynchronized(PINTERRUPTSYNC InterruptSync, PVOID Context);
    void HandleChannelEvents(ULONG Channel, UCHAR SgdStatus, PSERVICEGROUP ServiceGroup);

    PUCHAR Port(ULONG Offset) const { return (PUCHAR)(ULONG_PTR)(PortBase + Offset); }
};
