// The framework's MPU-401 UART miniport (CLSID_MiniportDriverUart): its Init
// takes the adapter's interrupt-sync object and a sublist of one interrupt
// and one port, resets the MPU-401 into UART mode through that port, and
// hooks a routine on the interrupt that drains incoming MIDI bytes.
#pragma once

#include <portcls.h>

#include <vector>

#include "host/com.h"
#include "host/midi.h"

namespace host {

class InterruptSync;

class UartMiniport final : public IMiniportMidi, public FrameworkObject {
 public:
  static NTSTATUS Create(PMINIPORT* out);

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_FRAMEWORK_REFCOUNT()
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override;
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN adapter, PRESOURCELIST resources, PPORTMIDI port,
                               PSERVICEGROUP* serviceGroup) override;
  STDMETHODIMP_(void) Service() override {}
  STDMETHODIMP_(NTSTATUS) NewStream(PUNKNOWN* stream, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
                                    PSERVICEGROUP* serviceGroup) override;

  USHORT PortBase() const { return portBase_; }
  // MIDI bytes that arrived (drained by the interrupt routine).
  const std::vector<UCHAR>& Received() const { return received_; }

  // The MPU-401's status and data ports, relative to its base.
  static constexpr USHORT kDataPort = 0;
  static constexpr USHORT kStatusPort = 1;
  static constexpr UCHAR kStatusInputEmpty = 0x80;  // clear: a byte waits to be read
  static constexpr UCHAR kStatusOutputFull = 0x40;  // clear: ready for a command
  static constexpr UCHAR kCommandReset = 0xFF;
  static constexpr UCHAR kCommandUartMode = 0x3F;
  static constexpr UCHAR kAck = 0xFE;

 private:
  UartMiniport() = default;
  ~UartMiniport() override;
  bool Command(UCHAR command);
  static NTSTATUS NTAPI InterruptRoutine(PINTERRUPTSYNC sync, PVOID context);

  PINTERRUPTSYNC interruptSync_ = nullptr;
  PSERVICEGROUP serviceGroup_ = nullptr;
  USHORT portBase_ = 0;
  bool routineRegistered_ = false;
  std::vector<UCHAR> received_;
};

}  // namespace host
