// The whole simulated machine: one clock, one trace, physical memory, the
// audio controller's PCI function, the firmware window, the I/O port bus
// with the controller block (SGD channels, codec access port), the AC'97
// codec, the MPU-401 and the diagnostic ports.
//
// Every entry point takes the clock's machine-wide lock, so a threaded host
// sees each access as one step. The interrupt listener is called with that
// lock held, from inside a port access or a clock event: it should note the
// change and return, not call back into the machine from another thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/codec.h"
#include "sim/controller.h"
#include "sim/firmware.h"
#include "sim/machine_config.h"
#include "sim/mpu401.h"
#include "sim/pci_function.h"
#include "sim/physical_memory.h"
#include "sim/resources.h"
#include "sim/trace.h"

namespace sim {

struct UnclaimedAccess {
  Ticks time = 0;
  std::uint16_t port = 0;
  std::uint8_t width = 0;
  bool write = false;
  std::uint32_t value = 0;
};

class Machine {
 public:
  static constexpr Ticks kPortAccessTicks = 1 * kTicksPerMicrosecond;
  static constexpr Ticks kConfigAccessTicks = 2 * kTicksPerMicrosecond;
  static constexpr std::uint16_t kDiagnosticPort0 = 0x90;
  static constexpr std::uint16_t kDiagnosticPort1 = 0x91;

  explicit Machine(MachineConfig config = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const MachineConfig& Config() const { return config_; }
  Clock& GetClock() { return clock_; }
  Trace& GetTrace() { return trace_; }
  PhysicalMemory& Memory() { return memory_; }
  PciFunction& Pci() { return pci_; }
  Firmware& GetFirmware() { return firmware_; }
  Mpu401& Mpu() { return mpu_; }
  Codec& GetCodec() { return codec_; }
  Controller& GetController() { return controller_; }

  // Port I/O (width 1, 2 or 4). Each access first costs 1 us of virtual time
  // (due hardware events fire), then happens. Another width, or a port above
  // 0xFFFF, reads all-ones, writes nothing and is recorded as a fault.
  std::uint32_t PortRead(std::uint32_t port, int width);
  void PortWrite(std::uint32_t port, int width, std::uint32_t value);

  // Configuration access through the bus driver's path (configuration
  // requests); 2 us each. The BIOS path is Firmware::Call.
  std::uint32_t ConfigRead(std::uint32_t offset, int width);
  void ConfigWrite(std::uint32_t offset, int width, std::uint32_t value);

  std::vector<RequirementDescriptor> ResourceRequirements() const;

  // Every codec command issued so far has reached the codec: what the codec
  // holds is what the driver asked for. Observers settle on this before
  // they look.
  bool CodecIdle() const;

  // The controller's interrupt line (level): asserted while an enabled SGD
  // event is pending. The listener hears every change.
  bool InterruptLine() const;
  void SetInterruptListener(std::function<void(bool asserted)> listener);

  std::vector<DiagnosticMarker> Markers() const { return trace_.Markers(); }
  std::vector<UnclaimedAccess> UnclaimedAccesses() const;
  std::uint64_t PortFaults() const { return portFaults_; }

 private:
  enum class Decode { Unclaimed, Controller, SecondRange, Mpu, Diagnostic };
  Decode DecodePort(std::uint16_t port, std::uint16_t* offset) const;
  std::uint8_t ReadByte(std::uint16_t port, bool* unclaimed);
  void WriteByte(std::uint16_t port, std::uint8_t value);
  std::string ControllerNote(std::uint32_t port) const;
  void PortFault(const char* what, std::uint32_t port, int width, std::uint32_t value);

  const MachineConfig config_;
  Clock clock_;
  Trace trace_{clock_};
  PhysicalMemory memory_{trace_};
  PciFunction pci_;
  Firmware firmware_;
  Mpu401 mpu_;
  Codec codec_;
  Controller controller_;
  std::vector<UnclaimedAccess> unclaimed_;
  std::uint64_t portFaults_ = 0;
};

}  // namespace sim
