#include "sim/codec_port.h"

#include <cstdio>

namespace sim {

CodecPort::CodecPort(const CodecConfig& config, Clock& clock, Trace& trace, Codec& codec, const PciFunction& pci)
    : config_(config), clock_(clock), trace_(trace), codec_(codec), pci_(pci) {}

std::uint8_t CodecPort::Status() const {
  std::uint8_t status = dataReady_ ? kDataReady : 0;
  if (busy_ || !pci_.LinkReady() || config_.portNeverFree) status |= kBusy;
  return status;
}

std::uint8_t CodecPort::ReadByte(std::uint16_t offset) const {
  switch (offset) {
    case 0: return static_cast<std::uint8_t>(data_);
    case 1: return static_cast<std::uint8_t>(data_ >> 8);
    case 2: return index_;
    case 3: return Status();
    default: return 0;
  }
}

void CodecPort::WriteByte(std::uint16_t offset, std::uint8_t value) {
  switch (offset) {
    case 0: data_ = static_cast<std::uint16_t>((data_ & 0xFF00) | value); break;
    case 1: data_ = static_cast<std::uint16_t>((data_ & 0x00FF) | value << 8); break;
    case 2: Issue(value); break;
    case 3:
      if (value & kDataReady) dataReady_ = false;
      break;
    default: break;
  }
}

void CodecPort::Issue(std::uint8_t index) {
  if (Status() & kBusy) {
    ++lost_;
    char text[64];
    std::snprintf(text, sizeof text, "codec command 0x%02X lost: port busy", index);
    TraceEntry e;
    e.kind = TraceKind::Fault;
    e.text = text;
    e.note = "codec";
    trace_.Record(std::move(e));
    return;
  }
  index_ = index;
  latched_ = data_;
  busy_ = true;
  dataReady_ = false;
  completion_ = clock_.ScheduleAfter(config_.commandTicks, [this] { Complete(); });
}

void CodecPort::Complete() {
  busy_ = false;
  const auto reg = static_cast<std::uint8_t>(index_ & 0x7F);
  TraceEntry e;
  e.address = reg;
  if (index_ & 0x80) {
    e.kind = TraceKind::CodecRead;
    if (config_.readDataNeverReady) {
      e.note = "no data";
    } else {
      data_ = codec_.Read(reg);
      dataReady_ = true;
      e.value = data_;
    }
  } else {
    e.kind = TraceKind::CodecWrite;
    e.value = latched_;
    codec_.Write(reg, latched_);
  }
  trace_.Record(std::move(e));
}

void CodecPort::LinkDown(bool /*coldReset*/) {
  // A command in flight dies with the link (the codec's own registers are
  // the link's business: a cold reset resets them).
  if (busy_) {
    clock_.Cancel(completion_);
    busy_ = false;
    ++lost_;
  }
  dataReady_ = false;
}

}  // namespace sim
