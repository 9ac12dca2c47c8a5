#include "sim/pci_function.h"

#include <cstdio>

#include "sim/codec.h"

namespace sim {

namespace {
// Link enabled and the codec out of reset; no PCM slots until the driver
// sets them up.
constexpr std::uint8_t kLinkControlAtPowerOn = 0xC0;
bool ValidWidth(int width) { return width == 1 || width == 2 || width == 4; }
}  // namespace

PciFunction::PciFunction(const MachineConfig& config, Clock& clock, Trace& trace)
    : link_(config.link), clock_(clock), trace_(trace) {
  auto put16 = [this](std::uint8_t offset, std::uint16_t v) {
    space_[offset] = static_cast<std::uint8_t>(v);
    space_[offset + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  put16(cfg::kVendorId, config.vendorId);
  put16(cfg::kDeviceId, config.deviceId);
  put16(cfg::kCommand, 0x0005);  // I/O decode and bus mastering on
  put16(0x06, 0x0200);           // status: medium DEVSEL timing
  space_[cfg::kRevision] = config.revision;
  space_[0x0A] = 0x01;  // multimedia audio
  space_[0x0B] = 0x04;
  put16(cfg::kBar0, static_cast<std::uint16_t>((config.ioBase & 0xFF00) | 0x01));
  put16(cfg::kBar1, static_cast<std::uint16_t>((config.ioBase2 & 0xFFFC) | 0x01));
  put16(0x2C, config.vendorId);
  put16(0x2E, config.deviceId);
  space_[cfg::kInterruptLine] = config.irq;
  space_[0x3D] = 0x03;  // INTC
  space_[cfg::kCodecLinkControl] = kLinkControlAtPowerOn;
  space_[cfg::kMidiControl] = config.midiEnabled ? 0x02 : 0x00;
  space_[cfg::kMidiPortSelect] = static_cast<std::uint8_t>((config.midiPortSelect & 0x03) << 2);

  writable_[cfg::kCommand] = 0x05;
  writable_[cfg::kBar0 + 1] = 0xFF;  // 256-byte I/O BAR: bits 15-8
  writable_[cfg::kBar1] = 0xFC;      // 4-byte I/O BAR: bits 15-2
  writable_[cfg::kBar1 + 1] = 0xFF;
  writable_[cfg::kInterruptLine] = 0xFF;
  writable_[cfg::kCodecLinkControl] = 0xFF;
  writable_[cfg::kMidiControl] = 0xFF;
  writable_[cfg::kMidiPortSelect] = 0xFF;

  // Powered on long ago: the link is up unless it never comes up at all.
  state_ = link_.mode == LinkMode::NeverReady ? LinkState::Starting : LinkState::Ready;
}

std::uint16_t PciFunction::IoBase() const {
  return static_cast<std::uint16_t>((space_[cfg::kBar0] | space_[cfg::kBar0 + 1] << 8) & 0xFF00);
}

std::uint16_t PciFunction::IoBase2() const {
  return static_cast<std::uint16_t>((space_[cfg::kBar1] | space_[cfg::kBar1 + 1] << 8) & 0xFFFC);
}

std::uint16_t PciFunction::MidiBase() const {
  return static_cast<std::uint16_t>(0x300 + 0x10 * ((space_[cfg::kMidiPortSelect] >> 2) & 0x03));
}

std::uint8_t PciFunction::ReadByte(std::uint8_t offset) const {
  if (offset == cfg::kCodecLinkStatus) {
    switch (state_) {
      case LinkState::Ready: return link_.statusWhenReady.value_or(0x01);
      case LinkState::Asleep: return 0x02;
      default: return 0x00;
    }
  }
  return space_[offset];
}

bool PciFunction::LinkCarriesData() const {
  return state_ == LinkState::Ready && (space_[cfg::kCodecLinkControl] & 0x04) != 0;
}

std::uint8_t PciFunction::Peek(std::uint8_t offset) const {
  std::lock_guard lock(clock_.Mutex());
  return ReadByte(offset);
}

void PciFunction::WriteByte(std::uint8_t offset, std::uint8_t value) {
  const std::uint8_t old = space_[offset];
  space_[offset] = static_cast<std::uint8_t>((old & ~writable_[offset]) | (value & writable_[offset]));
  if (offset != cfg::kCodecLinkControl) return;
  const std::uint8_t now = space_[offset];
  const bool wasRunning = (old & 0xC0) == 0xC0;
  const bool running = (now & 0xC0) == 0xC0;
  if (wasRunning && !running) {
    // Link disabled, or the codec held in reset: either way it loses power
    // to its registers.
    GoDown(LinkState::Off, true);
  } else if (!wasRunning && running) {
    ColdStart();
  } else if (running && !(old & 0x20) && (now & 0x20) && state_ == LinkState::Asleep) {
    BecomeReadyAfter(LinkState::Waking, true);  // SYNC raised on a sleeping link: warm reset
  }
  Changed();
}

void PciFunction::Changed() {
  if (observer_.changed) observer_.changed();
}

void PciFunction::GoDown(LinkState state, bool coldReset) {
  clock_.Cancel(linkEvent_);
  const bool wasDown = state_ == LinkState::Off || state_ == LinkState::Asleep;
  state_ = state;
  if (observer_.down && !(wasDown && !coldReset)) observer_.down(coldReset);
  if (coldReset && codec_) codec_->ResetRegisters();
}

void PciFunction::ColdStart() {
  GoDown(LinkState::Starting, true);
  BecomeReadyAfter(LinkState::Starting, false);
}

void PciFunction::BecomeReadyAfter(LinkState passing, bool warm) {
  clock_.Cancel(linkEvent_);
  state_ = passing;
  if (link_.mode == LinkMode::NeverReady) return;
  const Ticks delay = link_.mode == LinkMode::Slow ? link_.slowReadyDelay : link_.readyDelay;
  linkEvent_ = clock_.ScheduleAfter(delay, [this, warm] {
    state_ = LinkState::Ready;
    if (warm && codec_) codec_->WokenByWarmReset();
    Changed();
  });
}

void PciFunction::CodecShutLinkDown() {
  if (state_ != LinkState::Ready) return;
  GoDown(LinkState::Asleep, false);
  Changed();
}

void PciFunction::SetPowerState(PowerState state) {
  std::lock_guard lock(clock_.Mutex());
  const PowerState before = power_;
  power_ = state;
  if (state == before) return;
  switch (state) {
    case PowerState::D3:
      GoDown(LinkState::Off, true);
      break;
    case PowerState::D1:
    case PowerState::D2:
      if (state_ != LinkState::Off) GoDown(LinkState::Asleep, false);
      break;
    case PowerState::D0:
      if (before == PowerState::D3) {
        // The function's soft reset brings the link byte back at its
        // power-on value, and with it a cold start of the link.
        space_[cfg::kCodecLinkControl] = kLinkControlAtPowerOn;
        ColdStart();
      }
      break;
  }
  Changed();
}

std::uint32_t PciFunction::Read(std::uint32_t offset, int width, ConfigPath path) {
  std::lock_guard lock(clock_.Mutex());
  TraceEntry entry;
  entry.address = offset;
  entry.width = static_cast<std::uint8_t>(width);
  entry.note = path == ConfigPath::Bios ? "bios" : "";
  if (!ValidWidth(width) || offset + width > 256) {
    entry.kind = TraceKind::Fault;
    char text[64];
    std::snprintf(text, sizeof text, "config read 0x%X width %d", static_cast<unsigned>(offset), width);
    entry.text = text;
    trace_.Record(std::move(entry));
    return 0xFFFFFFFF;
  }
  std::uint32_t value = 0;
  for (int i = 0; i < width; ++i) value |= std::uint32_t{ReadByte(static_cast<std::uint8_t>(offset + i))} << (8 * i);
  entry.kind = TraceKind::ConfigRead;
  entry.value = value;
  trace_.Record(std::move(entry));
  return value;
}

void PciFunction::Write(std::uint32_t offset, int width, std::uint32_t value, ConfigPath path) {
  std::lock_guard lock(clock_.Mutex());
  TraceEntry entry;
  entry.address = offset;
  entry.width = static_cast<std::uint8_t>(width);
  entry.value = value;
  entry.note = path == ConfigPath::Bios ? "bios" : "";
  if (!ValidWidth(width) || offset + width > 256) {
    entry.kind = TraceKind::Fault;
    char text[80];
    std::snprintf(text, sizeof text, "config write 0x%X width %d value 0x%X", static_cast<unsigned>(offset), width,
                  static_cast<unsigned>(value));
    entry.text = text;
    trace_.Record(std::move(entry));
    return;
  }
  if (width < 4) entry.value &= (1u << (8 * width)) - 1;
  entry.kind = TraceKind::ConfigWrite;
  trace_.Record(std::move(entry));
  for (int i = 0; i < width; ++i)
    WriteByte(static_cast<std::uint8_t>(offset + i), static_cast<std::uint8_t>(value >> (8 * i)));
}

}  // namespace sim
