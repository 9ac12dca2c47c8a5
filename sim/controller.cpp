#include "sim/controller.h"

#include <cstdio>

namespace sim {

Controller::Controller(const MachineConfig& config, Clock& clock, Trace& trace, PhysicalMemory& memory, Codec& codec,
                       const PciFunction& pci)
    : trace_(trace),
      shadowUnusedBits_(static_cast<std::uint8_t>(config.controller.shadowUnusedBits & 0xCC)),
      codecPort_(config.codec, clock, trace, codec, pci),
      playback_(SgdChannel::Direction::Playback, config.controller, clock, trace, memory, codec, pci,
                [this] { UpdateInterrupt(); }),
      capture_(SgdChannel::Direction::Capture, config.controller, clock, trace, memory, codec, pci,
               [this] { UpdateInterrupt(); }) {
  clock.AddAdvanceListener([this](Ticks now) {
    playback_.Sync(now);
    capture_.Sync(now);
  });
}

void Controller::LinkChanged() {
  playback_.LinkChanged();
  capture_.LinkChanged();
}

bool Controller::CodecIdle() const { return !codecPort_.Busy(); }

std::uint8_t Controller::SgdStatusShadow() const {
  const std::uint8_t p = playback_.EventBits();
  const std::uint8_t c = capture_.EventBits();
  return static_cast<std::uint8_t>((p & 1) | (p & 2) << 3 | (c & 1) << 1 | (c & 2) << 4 | shadowUnusedBits_);
}

std::uint8_t Controller::ReadByte(std::uint16_t offset) {
  if (offset < 0x10) return playback_.ReadByte(offset);
  if (offset < 0x20) return capture_.ReadByte(static_cast<std::uint16_t>(offset - 0x10));
  if (offset >= reg::kCodecDataPort && offset <= reg::kCodecStatusPort)
    return codecPort_.ReadByte(static_cast<std::uint16_t>(offset - reg::kCodecDataPort));
  if (offset == reg::kSgdStatusShadow) return SgdStatusShadow();
  return 0;
}

void Controller::WriteByte(std::uint16_t offset, std::uint8_t value) {
  if (offset < 0x10) {
    playback_.WriteByte(offset, value);
  } else if (offset < 0x20) {
    capture_.WriteByte(static_cast<std::uint16_t>(offset - 0x10), value);
  } else if (offset >= reg::kCodecDataPort && offset <= reg::kCodecStatusPort) {
    codecPort_.WriteByte(static_cast<std::uint16_t>(offset - reg::kCodecDataPort), value);
  }
}

const char* Controller::RegisterName(std::uint16_t offset) {
  switch (offset) {
    case 0x00: return "PlaybackStatus";
    case 0x01: return "PlaybackControl";
    case 0x02: return "PlaybackType";
    case 0x04: return "PlaybackTableAddress";
    case 0x0C: return "PlaybackCurrentCount";
    case 0x10: return "CaptureStatus";
    case 0x11: return "CaptureControl";
    case 0x12: return "CaptureType";
    case 0x14: return "CaptureTableAddress";
    case 0x1C: return "CaptureCurrentCount";
    case reg::kCodecDataPort: return "CodecData";
    case reg::kCodecIndexPort: return "CodecIndex";
    case reg::kCodecStatusPort: return "CodecStatus";
    case reg::kSgdStatusShadow: return "SgdStatusShadow";
    default: return "";
  }
}

void Controller::UpdateInterrupt() {
  const bool line = playback_.InterruptPending() || capture_.InterruptPending();
  if (line == line_) return;
  line_ = line;
  if (trace_.Recording()) {
    char text[32];
    std::snprintf(text, sizeof text, "%s sgd=0x%02X", line ? "on" : "off", SgdStatusShadow());
    TraceEntry e;
    e.kind = TraceKind::Interrupt;
    e.text = text;
    trace_.Record(std::move(e));
  }
  if (listener_) listener_(line);
}

}  // namespace sim
