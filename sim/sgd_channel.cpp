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
                       PhysicalMemory& memory, Codec& codec, const PciFunction& pci,
                       std::function<void()> onStatusChange)
    : direction_(direction),
      config_(config),
      clock_(clock),
      trace_(trace),
      memory_(memory),
      codec_(codec),
      pci_(pci),
      onStatusChange_(std::move(onStatusChange)) {
  stalled_ = !pci_.LinkCarriesData();
}

std::uint8_t SgdChannel::Status() const {
  return static_cast<std::uint8_t>(events_ | (pending_ ? kStatusStartPending : 0) | (active_ ? kStatusActive : 0));
}

PcmFormat SgdChannel::Format() const {
  PcmFormat f;
  f.channels = (type_ & 0x10) ? 2 : 1;
  f.bits = (type_ & 0x20) ? 16 : 8;
  // Without variable-rate slots the controller moves a sample every 48 kHz frame.
  if (!pci_.VariableRateSlots()) f.rate = 48000;
  else f.rate = direction_ == Direction::Playback ? codec_.DacRate() : codec_.AdcRate();
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
  if (!trace_.Recording()) return;
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
  const std::uint64_t gap = EndUnderrun(now);
  if (direction_ == Direction::Playback) codec_.DacGap(gap, format_.rate);
  const bool restart = running_;
  active_ = true;
  pending_ = false;
  running_ = true;
  emptyInARow_ = 0;
  t0_ = now;
  if (stalled_) stalledSince_ = now;
  entryBegin_ = 0;
  if (direction_ == Direction::Capture) {
    if (restart) {
      // The restart first takes what the FIFO held: those bytes are due now.
      TakeIdleInput(now, true);
      const std::uint64_t held = fifo_.size() - fifoHead_;
      t0_ = now - std::min<Ticks>(now, held * kTicksPerSecond / format_.ByteRate());
    } else {
      fifo_.clear();
      fifoHead_ = 0;
    }
  }
  format_ = Format();
  Note("start table=" + Hex32(table_));
  BeginEntry(0);
  onStatusChange_();
}

void SgdChannel::BeginEntry(int index) {
  const Ticks now = clock_.Now();
  const PhysicalAddress at = table_ + 8u * static_cast<std::uint32_t>(index);
  std::uint8_t raw[8];
  if (!memory_.DmaRead(at, raw, sizeof raw)) {
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
  ScheduleEntryEnd();
}

void SgdChannel::ScheduleEntryEnd() {
  clock_.Cancel(endEvent_);
  if (stalled_ || !inEntry_) return;  // resumed with the link
  endEvent_ = clock_.ScheduleAt(TimeOfByte(entryBegin_ + entryCount_), [this] { FinishEntry(); });
}

void SgdChannel::LinkChanged() {
  const bool stall = !pci_.LinkCarriesData();
  if (stall == stalled_) return;
  const Ticks now = clock_.Now();
  if (stall) {
    Sync(now);
    stalled_ = true;
    stalledSince_ = now;
    stalledInEntry_ = inEntry_ && !terminating_;
    clock_.Cancel(endEvent_);
    clock_.Cancel(overrunEvent_);
    return;
  }
  stalled_ = false;
  const Ticks paused = now - stalledSince_;
  t0_ += paused;
  // No frames went by for the channel: neither starving nor sampling.
  if (starvedSince_) *starvedSince_ += paused;
  if (idleSince_) *idleSince_ += paused;
  if (direction_ == Direction::Playback && stalledInEntry_ && inEntry_)
    codec_.DacGap(paused * format_.rate / kTicksPerSecond, format_.rate);
  stalledInEntry_ = false;
  ScheduleEntryEnd();
  ScheduleOverrun();
}

void SgdChannel::Sync(Ticks now) {
  if (stalled_ || !inEntry_ || terminating_ || entryDone_ >= entryCount_ || now < t0_) return;
  // The converters take and give whole frames: a frame moves once it is due in full, so a
  // terminate never leaves part of one at the DAC or in memory.
  const std::uint64_t played = (now - t0_) * format_.rate / kTicksPerSecond * format_.FrameBytes();
  const std::uint64_t due = std::min<std::uint64_t>(played > entryBegin_ ? played - entryBegin_ : 0, entryCount_);
  if (due > entryDone_) Transfer(entryDone_, static_cast<std::uint32_t>(due));
}

void SgdChannel::Transfer(std::uint32_t from, std::uint32_t to) {
  std::vector<std::uint8_t>& buffer = transferBuffer_;
  buffer.resize(std::min(to - from, kChunk));
  while (from < to) {
    const std::uint32_t n = std::min(to - from, kChunk);
    const PhysicalAddress at = entryAddress_ + from;
    if (direction_ == Direction::Playback) {
      memory_.DmaRead(at, buffer.data(), n);
      codec_.PlayDac({buffer.data(), n}, format_, clock_.Now());
    } else {
      // What the FIFO still holds comes first, then the ADC's samples as made.
      const std::uint32_t held = static_cast<std::uint32_t>(std::min<std::size_t>(fifo_.size() - fifoHead_, n));
      std::copy_n(fifo_.begin() + static_cast<std::ptrdiff_t>(fifoHead_), held, buffer.begin());
      fifoHead_ += held;
      if (held < n) codec_.Sample({buffer.data() + held, n - held}, format_);
      memory_.DmaWrite(at, buffer.data(), n);
    }
    from += n;
    bytesTransferred_ += n;
  }
  entryDone_ = to;
}

void SgdChannel::FinishEntry() {
  Sync(clock_.Now());
  // An entry that is not a whole number of frames still moves all its bytes by its end.
  if (entryDone_ < entryCount_) Transfer(entryDone_, entryCount_);
  inEntry_ = false;
  ++entriesCompleted_;
  const bool flag = (entryWord_ & kFlag) != 0;
  const bool eol = (entryWord_ & kEol) != 0;
  if (flag) events_ |= kStatusFlag;
  if (eol) events_ |= kStatusEol;
  if (trace_.Recording())
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
    if (running_ && direction_ == Direction::Capture) {
      // The ADC goes on sampling into the FIFO until it is full.
      idleSince_ = clock_.Now();
      overrunCounted_ = false;
      ScheduleOverrun();
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
  if (direction_ == Direction::Capture) {
    // Disabling capture drops the FIFO with whatever it held.
    TakeIdleInput(now, false);
    fifo_.clear();
    fifoHead_ = 0;
  }
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

std::uint64_t SgdChannel::EndUnderrun(Ticks now) {
  if (!starvedSince_) return 0;
  const Ticks idle = stalled_ ? stalledSince_ - std::min(stalledSince_, *starvedSince_) : now - *starvedSince_;
  const std::uint64_t frames = idle * format_.rate / kTicksPerSecond;
  underruns_.idleTicks += idle;
  underruns_.framesMissed += frames;
  starvedSince_.reset();
  return frames;
}

std::uint64_t SgdChannel::IdleBytes(Ticks now) const {
  if (!idleSince_) return 0;
  const Ticks end = stalled_ ? std::max(stalledSince_, *idleSince_) : now;
  const std::uint64_t bytes = (end - *idleSince_) * format_.ByteRate() / kTicksPerSecond;
  return bytes - bytes % format_.FrameBytes();
}

void SgdChannel::ScheduleOverrun() {
  clock_.Cancel(overrunEvent_);
  if (!idleSince_ || stalled_ || overrunCounted_) return;
  std::uint64_t room =
      config_.captureFifoBytes - std::min<std::uint64_t>(config_.captureFifoBytes, fifo_.size() - fifoHead_);
  room -= room % format_.FrameBytes();
  // The first whole frame that finds no room is lost.
  const std::uint64_t rate = format_.ByteRate();
  const std::uint64_t lostAt = room + format_.FrameBytes();
  overrunEvent_ = clock_.ScheduleAt(*idleSince_ + (lostAt * kTicksPerSecond + rate - 1) / rate, [this] { FifoFull(); });
}

void SgdChannel::FifoFull() {
  if (!idleSince_ || overrunCounted_) return;
  overrunCounted_ = true;
  ++overruns_.episodes;
  Note("overrun: capture FIFO full, input lost");
}

void SgdChannel::TakeIdleInput(Ticks now, bool keepFifo) {
  clock_.Cancel(overrunEvent_);
  if (!idleSince_) return;
  const std::uint64_t idle = IdleBytes(now);
  idleSince_.reset();
  if (fifoHead_ > 0) {
    fifo_.erase(fifo_.begin(), fifo_.begin() + static_cast<std::ptrdiff_t>(fifoHead_));
    fifoHead_ = 0;
  }
  const std::uint64_t room = config_.captureFifoBytes - std::min<std::uint64_t>(config_.captureFifoBytes, fifo_.size());
  const std::uint64_t kept = std::min(idle, room - room % format_.FrameBytes());
  const std::uint64_t lost = idle - kept;
  if (keepFifo) {
    const std::size_t at = fifo_.size();
    fifo_.resize(at + kept);
    codec_.Sample({fifo_.data() + at, static_cast<std::size_t>(kept)}, format_);
  } else {
    codec_.Adc().Skip(kept);
  }
  if (lost == 0) return;
  codec_.Adc().Skip(lost);
  if (!overrunCounted_) {
    ++overruns_.episodes;
    Note("overrun: capture FIFO full, input lost");
  }
  overrunCounted_ = false;
  overruns_.framesLost += lost / format_.FrameBytes();
  Note("overrun ended: " + std::to_string(lost / format_.FrameBytes()) + " frames lost");
}

SgdChannel::Overruns SgdChannel::GetOverruns() const {
  Overruns o = overruns_;
  if (idleSince_) {
    const std::uint64_t idle = IdleBytes(clock_.Now());
    std::uint64_t room =
        config_.captureFifoBytes - std::min<std::uint64_t>(config_.captureFifoBytes, fifo_.size() - fifoHead_);
    room -= room % format_.FrameBytes();
    if (idle > room) {
      o.framesLost += (idle - room) / format_.FrameBytes();
      if (!overrunCounted_) ++o.episodes;
    }
  }
  return o;
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
