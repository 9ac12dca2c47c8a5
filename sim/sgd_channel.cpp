#include "sim/sgd_channel.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace sim {

namespace {
constexpr std::uint32_t kChunk = 64 * 1024;

std::string Hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}
}  // namespace

SgdChannel::SgdChannel(Direction direction, const ControllerConfig& config, Clock& clock, Trace& trace,
                       PhysicalMemory& memory, Codec& codec, std::function<void()> onStatusChange)
    : direction_(direction),
      config_(config),
      clock_(clock),
      trace_(trace),
      memory_(memory),
      codec_(codec),
      onStatusChange_(std::move(onStatusChange)) {}

std::uint8_t SgdChannel::Status() const {
  return static_cast<std::uint8_t>(events_ | (pending_ ? kStatusStartPending : 0) | (active_ ? kStatusActive : 0));
}

PcmFormat SgdChannel::Format() const {
  PcmFormat f;
  f.channels = (type_ & 0x10) ? 2 : 1;
  f.bits = (type_ & 0x20) ? 16 : 8;
  f.rate = direction_ == Direction::Playback ? codec_.DacRate() : codec_.AdcRate();
  return f;
}

std::optional<int> SgdChannel::CurrentEntry() const {
  if (!inEntry_) return std::nullopt;
  return entryIndex_;
}

std::uint32_t SgdChannel::CurrentCount() {
  if (!inEntry_) return frozenCount_;
  Sync(clock_.Now());
  return entryCount_ - entryDone_;
}

std::uint8_t SgdChannel::ReadByte(std::uint16_t offset) {
  switch (offset) {
    case 0x00: return Status();
    case 0x02: return type_;
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x07: return static_cast<std::uint8_t>(table_ >> (8 * (offset - 0x04)));
    case 0x0C:
    case 0x0D:
    case 0x0E:
    case 0x0F: return static_cast<std::uint8_t>(CurrentCount() >> (8 * (offset - 0x0C)));
    default: return 0;
  }
}

void SgdChannel::WriteByte(std::uint16_t offset, std::uint8_t value) {
  switch (offset) {
    case 0x00:
      events_ &= static_cast<std::uint8_t>(~(value & (kStatusFlag | kStatusEol)));
      onStatusChange_();
      return;
    case 0x01:
      if (value & kControlTerminate) Terminate();
      else if (value & kControlStart) Start();
      return;
    case 0x02:
      type_ = value;
      onStatusChange_();
      return;
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x07: {
      const int shift = 8 * (offset - 0x04);
      table_ = (table_ & ~(0xFFu << shift)) | std::uint32_t{value} << shift;
      return;
    }
    default: return;
  }
}

Ticks SgdChannel::TimeOfByte(std::uint64_t timelineByte) const {
  const std::uint64_t rate = format_.ByteRate();
  return t0_ + (timelineByte * kTicksPerSecond + rate - 1) / rate;
}

void SgdChannel::Note(const std::string& text) {
  TraceEntry e;
  e.kind = TraceKind::Sgd;
  e.text = std::string(Name()) + " " + text;
  trace_.Record(std::move(e));
}

void SgdChannel::Fault(const std::string& text) {
  ++faults_;
  TraceEntry e;
  e.kind = TraceKind::Fault;
  e.text = std::string(Name()) + " " + text;
  e.note = "sgd";
  trace_.Record(std::move(e));
}

void SgdChannel::Start() {
  if (terminating_) {
    Note("start ignored while terminating");
    return;
  }
  if (active_) {
    // Held until the channel reaches an EOL entry.
    pending_ = true;
    onStatusChange_();
    return;
  }
  const Ticks now = clock_.Now();
  EndUnderrun(now);
  active_ = true;
  pending_ = false;
  running_ = true;
  emptyInARow_ = 0;
  t0_ = now;
  entryBegin_ = 0;
  format_ = Format();
  Note("start table=" + Hex32(table_));
  BeginEntry(0);
  onStatusChange_();
}

void SgdChannel::BeginEntry(int index) {
  const Ticks now = clock_.Now();
  const PhysicalAddress at = table_ + 8u * static_cast<std::uint32_t>(index);
  std::uint8_t raw[8];
  if (!memory_.Read(at, raw, sizeof raw)) {
    Fault("table entry " + std::to_string(index) + " unreadable at " + Hex32(at));
    Stop();
    return;
  }
  entryAddress_ = std::uint32_t{raw[0]} | std::uint32_t{raw[1]} << 8 | std::uint32_t{raw[2]} << 16 |
                  std::uint32_t{raw[3]} << 24;
  entryWord_ = std::uint32_t{raw[4]} | std::uint32_t{raw[5]} << 8 | std::uint32_t{raw[6]} << 16 |
               std::uint32_t{raw[7]} << 24;
  entryCount_ = entryWord_ & kCountMask;
  entryDone_ = 0;
  entryIndex_ = index;
  inEntry_ = true;
  const PcmFormat format = Format();
  if (!(format == format_)) {
    // A new rate or layout takes effect at an entry boundary: restart the
    // timeline here.
    format_ = format;
    t0_ = now;
    entryBegin_ = 0;
  }
  if (entryCount_ == 0) {
    if (++emptyInARow_ > kMaxEmptyEntriesInARow) {
      Fault("too many empty entries without EOL; channel stopped");
      Stop();
      return;
    }
    FinishEntry();
    return;
  }
  emptyInARow_ = 0;
  endEvent_ = clock_.ScheduleAt(TimeOfByte(entryBegin_ + entryCount_), [this] { FinishEntry(); });
}

void SgdChannel::Sync(Ticks now) {
  if (!inEntry_ || terminating_ || entryDone_ >= entryCount_ || now < t0_) return;
  const std::uint64_t played = (now - t0_) * format_.ByteRate() / kTicksPerSecond;
  const std::uint64_t due = std::min<std::uint64_t>(played > entryBegin_ ? played - entryBegin_ : 0, entryCount_);
  if (due > entryDone_) Transfer(entryDone_, static_cast<std::uint32_t>(due));
}

void SgdChannel::Transfer(std::uint32_t from, std::uint32_t to) {
  std::vector<std::uint8_t> buffer(std::min(to - from, kChunk));
  while (from < to) {
    const std::uint32_t n = std::min(to - from, kChunk);
    const PhysicalAddress at = entryAddress_ + from;
    if (direction_ == Direction::Playback) {
      memory_.Read(at, buffer.data(), n);
      codec_.Dac().Consume({buffer.data(), n}, format_, clock_.Now());
    } else {
      codec_.Adc().Produce({buffer.data(), n}, format_);
      memory_.Write(at, buffer.data(), n);
    }
    from += n;
    bytesTransferred_ += n;
  }
  entryDone_ = to;
}

void SgdChannel::FinishEntry() {
  Sync(clock_.Now());
  inEntry_ = false;
  ++entriesCompleted_;
  const bool flag = (entryWord_ & kFlag) != 0;
  const bool eol = (entryWord_ & kEol) != 0;
  if (flag) events_ |= kStatusFlag;
  if (eol) events_ |= kStatusEol;
  Note("entry " + std::to_string(entryIndex_) + " done count=" + std::to_string(entryCount_) +
       (flag ? " flag" : "") + (eol ? " eol" : ""));
  entryBegin_ += entryCount_;
  if (!eol) {
    BeginEntry(entryIndex_ + 1);
  } else if (pending_) {
    pending_ = false;
    Note("restart");
    BeginEntry(0);
  } else {
    frozenCount_ = 0;
    active_ = false;
    Note("stop at eol");
    if (running_ && direction_ == Direction::Playback) {
      starvedSince_ = clock_.Now();
      ++underruns_.episodes;
    }
  }
  onStatusChange_();
}

void SgdChannel::Stop() {
  clock_.Cancel(endEvent_);
  inEntry_ = false;
  active_ = false;
  pending_ = false;
  frozenCount_ = 0;
  onStatusChange_();
}

void SgdChannel::Terminate() {
  const Ticks now = clock_.Now();
  running_ = false;
  EndUnderrun(now);
  pending_ = false;
  if (!active_ || terminating_) {
    onStatusChange_();
    return;
  }
  if (inEntry_) {
    Sync(now);
    clock_.Cancel(endEvent_);
    frozenCount_ = entryCount_ - entryDone_;
    inEntry_ = false;
  }
  terminating_ = true;
  Note("terminate");
  if (!config_.channelNeverStops) {
    stopEvent_ = clock_.ScheduleAfter(config_.terminateTicks, [this] {
      terminating_ = false;
      active_ = false;
      onStatusChange_();
    });
  }
  onStatusChange_();
}

void SgdChannel::EndUnderrun(Ticks now) {
  if (!starvedSince_) return;
  const Ticks idle = now - *starvedSince_;
  underruns_.idleTicks += idle;
  underruns_.framesMissed += idle * format_.rate / kTicksPerSecond;
  starvedSince_.reset();
}

SgdChannel::Underruns SgdChannel::GetUnderruns() const {
  Underruns u = underruns_;
  if (starvedSince_) {
    const Ticks idle = clock_.Now() - *starvedSince_;
    u.idleTicks += idle;
    u.framesMissed += idle * format_.rate / kTicksPerSecond;
  }
  return u;
}

}  // namespace sim
