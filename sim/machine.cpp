#include "sim/machine.h"

#include <cstdio>

namespace sim {

namespace {
bool ValidWidth(int width) { return width == 1 || width == 2 || width == 4; }
std::uint32_t WidthMask(int width) { return width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1; }
}  // namespace

Machine::Machine(MachineConfig config)
    : config_(config),
      pci_(config_, clock_, trace_),
      firmware_(config_, clock_, trace_, memory_, pci_),
      codec_(config_.codec, config_.seed, &clock_),
      controller_(config_, clock_, trace_, memory_, codec_, pci_) {
  pci_.SetCodec(&codec_);
  pci_.SetLinkObserver({[this](bool coldReset) { controller_.Port().LinkDown(coldReset); },
                        [this] { controller_.LinkChanged(); }});
  codec_.SetLinkOffHandler([this] { pci_.CodecShutLinkDown(); });
  memory_.AddRegion(kBiosBase, kBiosSize, "bios", /*readOnly=*/true);
  memory_.AddArena(config_.dmaArenaBase, config_.dmaArenaBytes);
  firmware_.Install();
}

Machine::~Machine() = default;

Machine::Decode Machine::DecodePort(std::uint16_t port, std::uint16_t* offset) const {
  if (pci_.IoDecodeEnabled()) {
    const std::uint16_t base = pci_.IoBase();
    if (port >= base && port - base < static_cast<int>(PciFunction::kControllerBlockSize)) {
      *offset = static_cast<std::uint16_t>(port - base);
      return Decode::Controller;
    }
    const std::uint16_t base2 = pci_.IoBase2();
    if (port >= base2 && port - base2 < static_cast<int>(PciFunction::kSecondRangeSize)) {
      *offset = static_cast<std::uint16_t>(port - base2);
      return Decode::SecondRange;
    }
  }
  if (pci_.MidiEnabled()) {
    const std::uint16_t midi = pci_.MidiBase();
    if (port >= midi && port - midi < 4) {
      *offset = static_cast<std::uint16_t>(port - midi);
      return Decode::Mpu;
    }
  }
  if (port == kDiagnosticPort0 || port == kDiagnosticPort1) return Decode::Diagnostic;
  return Decode::Unclaimed;
}

std::uint8_t Machine::ReadByte(std::uint16_t port, bool* unclaimed) {
  std::uint16_t offset = 0;
  switch (DecodePort(port, &offset)) {
    case Decode::Controller: return controller_.ReadByte(offset);
    case Decode::SecondRange: return 0;
    case Decode::Mpu: return mpu_.Read(offset);
    case Decode::Diagnostic:  // write-only ports: nobody answers a read
    case Decode::Unclaimed: *unclaimed = true; return 0xFF;
  }
  return 0xFF;
}

void Machine::WriteByte(std::uint16_t port, std::uint8_t value) {
  std::uint16_t offset = 0;
  switch (DecodePort(port, &offset)) {
    case Decode::Controller: controller_.WriteByte(offset, value); return;
    case Decode::SecondRange: return;
    case Decode::Mpu: mpu_.Write(offset, value); return;
    case Decode::Diagnostic:
      trace_.RecordMarker(port, value);
      return;
    case Decode::Unclaimed: return;
  }
}

void Machine::PortFault(const char* what, std::uint32_t port, int width, std::uint32_t value) {
  ++portFaults_;
  char text[96];
  std::snprintf(text, sizeof text, "%s port 0x%X width %d value 0x%X", what, static_cast<unsigned>(port), width,
                static_cast<unsigned>(value));
  TraceEntry e;
  e.kind = TraceKind::Fault;
  e.text = text;
  e.note = "io";
  trace_.Record(std::move(e));
}

std::uint32_t Machine::PortRead(std::uint32_t port, int width) {
  std::lock_guard lock(clock_.Mutex());
  clock_.Advance(kPortAccessTicks);
  if (!ValidWidth(width) || port + width - 1 > 0xFFFF) {
    PortFault("bad read", port, width, 0);
    return 0xFFFFFFFF;
  }
  bool unclaimed = false;
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i)
    value |= std::uint32_t{ReadByte(static_cast<std::uint16_t>(port + i), &unclaimed)} << (8 * i);
  if (unclaimed)
    unclaimed_.push_back({clock_.Now(), static_cast<std::uint16_t>(port), static_cast<std::uint8_t>(width), false, value});
  if (trace_.Recording()) {
    TraceEntry e;
    e.kind = TraceKind::PortRead;
    e.address = port;
    e.width = static_cast<std::uint8_t>(width);
    e.value = value;
    e.note = unclaimed ? "unclaimed" : ControllerNote(port);
    trace_.Record(std::move(e));
  }
  return value;
}

void Machine::PortWrite(std::uint32_t port, int width, std::uint32_t value) {
  std::lock_guard lock(clock_.Mutex());
  clock_.Advance(kPortAccessTicks);
  if (!ValidWidth(width) || port + width - 1 > 0xFFFF) {
    PortFault("bad write", port, width, value);
    return;
  }
  value &= WidthMask(width);
  bool unclaimed = false;
  bool marker = false;
  for (int i = 0; i < width; ++i) {
    std::uint16_t offset = 0;
    const Decode d = DecodePort(static_cast<std::uint16_t>(port + i), &offset);
    unclaimed |= d == Decode::Unclaimed;
    marker |= d == Decode::Diagnostic;
  }
  if (unclaimed)
    unclaimed_.push_back({clock_.Now(), static_cast<std::uint16_t>(port), static_cast<std::uint8_t>(width), true, value});
  // Trace first: the write's effects (an interrupt, a codec command) follow it.
  if (trace_.Recording()) {
    TraceEntry e;
    e.kind = TraceKind::PortWrite;
    e.address = port;
    e.width = static_cast<std::uint8_t>(width);
    e.value = value;
    e.note = unclaimed ? "unclaimed" : marker ? "marker" : ControllerNote(port);
    trace_.Record(std::move(e));
  }
  for (int i = 0; i < width; ++i) WriteByte(static_cast<std::uint16_t>(port + i), static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t Machine::ConfigRead(std::uint32_t offset, int width) {
  std::lock_guard lock(clock_.Mutex());
  clock_.Advance(kConfigAccessTicks);
  return pci_.Read(offset, width, ConfigPath::Bus);
}

void Machine::ConfigWrite(std::uint32_t offset, int width, std::uint32_t value) {
  std::lock_guard lock(clock_.Mutex());
  clock_.Advance(kConfigAccessTicks);
  pci_.Write(offset, width, value, ConfigPath::Bus);
}

std::vector<RequirementDescriptor> Machine::ResourceRequirements() const {
  std::lock_guard lock(clock_.Mutex());
  return sim::ResourceRequirements(pci_);
}

bool Machine::CodecIdle() const {
  std::lock_guard lock(clock_.Mutex());
  return controller_.CodecIdle();
}

bool Machine::InterruptLine() const {
  std::lock_guard lock(clock_.Mutex());
  return controller_.InterruptLine();
}

void Machine::SetInterruptListener(std::function<void(bool asserted)> listener) {
  std::lock_guard lock(clock_.Mutex());
  controller_.SetInterruptListener(std::move(listener));
}

std::string Machine::ControllerNote(std::uint32_t port) const {
  std::uint16_t offset = 0;
  if (port > 0xFFFF || DecodePort(static_cast<std::uint16_t>(port), &offset) != Decode::Controller) return "";
  return Controller::RegisterName(offset);
}

std::vector<UnclaimedAccess> Machine::UnclaimedAccesses() const {
  std::lock_guard lock(clock_.Mutex());
  return unclaimed_;
}

}  // namespace sim
