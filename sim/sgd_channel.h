// One scatter/gather DMA channel of the controller (a 16-byte register block):
//   +0x00 ChannelStatus        bit 0 FLAG event, bit 1 EOL event (write 1 to
//                              clear), bit 3 start pending, bit 7 active
//   +0x01 ChannelControl       write 0x80 start, 0x40 terminate (reads 0)
//   +0x02 ChannelType          bits 0-1 interrupt enables (FLAG, EOL), bit 4
//                              stereo, bit 5 16-bit; every bit is stored
//   +0x04 ChannelTableAddress  32-bit physical address of the SGD table
//   +0x0C ChannelCurrentCount  32-bit, read only: bytes left in the entry
//
// A started channel walks its table (8-byte entries: buffer address, then a
// count word with the byte count in bits 23-0, FLAG bit 30, EOL bit 31),
// reading each entry when it begins it, at the byte rate of its format (the
// codec's converter rate, or 48 kHz without variable-rate slots, x channels
// x bytes per sample). Playback bytes are fetched from memory as they play
// and go to the codec's DAC; capture bytes come from the ADC and are stored
// as they are recorded. Finishing an entry with FLAG sets event bit 0 and
// goes on; with EOL sets bit 1 (and bit 0 too with FLAG) and stops, or
// restarts at entry 0 if a start was written while the channel was active.
// A zero-length entry finishes at once.
//
// The converters run in real time. From a start until a terminate the DAC
// plays a frame every period whether or not the channel feeds it: a channel
// stopped at EOL is an underrun, heard as silence. The ADC samples at its
// rate from a start until a terminate into a small FIFO that the channel
// drains; while the channel is stopped at EOL the FIFO fills, and once it
// is full further input is lost (an overrun). A restart first takes what
// the FIFO holds. While the link carries no samples (down, asleep, PCM
// slots off) the channel stalls where it is and resumes in order after.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "sim/clock.h"
#include "sim/codec.h"
#include "sim/machine_config.h"
#include "sim/pci_function.h"
#include "sim/physical_memory.h"
#include "sim/trace.h"

namespace sim {

class SgdChannel {
 public:
  enum class Direction { Playback, Capture };

  static constexpr std::uint8_t kStatusFlag = 0x01;
  static constexpr std::uint8_t kStatusEol = 0x02;
  static constexpr std::uint8_t kStatusStartPending = 0x08;
  static constexpr std::uint8_t kStatusActive = 0x80;
  static constexpr std::uint8_t kControlStart = 0x80;
  static constexpr std::uint8_t kControlTerminate = 0x40;
  static constexpr std::uint32_t kCountMask = 0x00FFFFFF;
  static constexpr std::uint32_t kFlag = 0x40000000;
  static constexpr std::uint32_t kEol = 0x80000000;
  // A table of zero-length entries without EOL would spin forever in no time;
  // past this many in a row the channel gives up (a recorded fault).
  static constexpr int kMaxEmptyEntriesInARow = 64;

  struct Underruns {
    std::uint64_t episodes = 0;      // times the DAC ran dry between start and terminate
    std::uint64_t framesMissed = 0;  // frames the DAC had to play without data
    Ticks idleTicks = 0;
  };

  struct Overruns {
    std::uint64_t episodes = 0;    // times the capture FIFO filled and input was lost
    std::uint64_t framesLost = 0;  // frames the ADC sampled that no one took
  };

  SgdChannel(Direction direction, const ControllerConfig& config, Clock& clock, Trace& trace, PhysicalMemory& memory,
             Codec& codec, const PciFunction& pci, std::function<void()> onStatusChange);

  std::uint8_t ReadByte(std::uint16_t offset);
  void WriteByte(std::uint16_t offset, std::uint8_t value);

  std::uint8_t Status() const;
  std::uint8_t EventBits() const { return events_; }
  std::uint8_t Type() const { return type_; }
  bool InterruptPending() const { return (events_ & type_ & 0x03) != 0; }
  bool Active() const { return active_; }
  std::uint32_t TableAddress() const { return table_; }
  std::uint32_t CurrentCount();
  std::optional<int> CurrentEntry() const;

  // Catch up with the clock: moves the bytes due by now.
  void Sync(Ticks now);

  // The link started or stopped carrying samples.
  void LinkChanged();
  bool Stalled() const { return stalled_; }

  Underruns GetUnderruns() const;
  Overruns GetOverruns() const;
  std::uint64_t BytesTransferred() const { return bytesTransferred_; }
  std::uint64_t EntriesCompleted() const { return entriesCompleted_; }
  std::uint64_t Faults() const { return faults_; }
  PcmFormat Format() const;

 private:
  const char* Name() const { return direction_ == Direction::Playback ? "play" : "rec"; }
  void Start();
  void Terminate();
  void BeginEntry(int index);
  void FinishEntry();
  void Transfer(std::uint32_t from, std::uint32_t to);
  void Stop();
  void Fault(const std::string& text);
  void Note(const std::string& text);
  Ticks TimeOfByte(std::uint64_t timelineByte) const;
  std::uint64_t EndUnderrun(Ticks now);
  void ScheduleEntryEnd();
  // Capture: what the ADC sampled while the channel sat at EOL.
  std::uint64_t IdleBytes(Ticks now) const;
  void ScheduleOverrun();
  void FifoFull();
  void TakeIdleInput(Ticks now, bool keepFifo);

  const Direction direction_;
  const ControllerConfig config_;
  Clock& clock_;
  Trace& trace_;
  PhysicalMemory& memory_;
  Codec& codec_;
  const PciFunction& pci_;
  std::function<void()> onStatusChange_;

  std::uint8_t events_ = 0;
  std::uint8_t type_ = 0;
  std::uint32_t table_ = 0;
  bool active_ = false;
  bool pending_ = false;
  bool terminating_ = false;
  bool running_ = false;  // between a start from idle and a terminate

  // The entry in progress, on a timeline that starts at t0_ and runs at the
  // format's byte rate; entries follow each other on it without gaps.
  bool inEntry_ = false;
  int entryIndex_ = 0;
  std::uint32_t entryAddress_ = 0;
  std::uint32_t entryWord_ = 0;
  std::uint32_t entryCount_ = 0;
  std::uint32_t entryDone_ = 0;
  std::uint64_t entryBegin_ = 0;  // timeline byte where the entry starts
  Ticks t0_ = 0;
  PcmFormat format_;
  std::uint32_t frozenCount_ = 0;
  int emptyInARow_ = 0;
  Clock::EventId endEvent_ = 0;
  Clock::EventId stopEvent_ = 0;

  std::optional<Ticks> starvedSince_;
  Underruns underruns_;

  bool stalled_ = false;
  bool stalledInEntry_ = false;
  Ticks stalledSince_ = 0;

  std::vector<std::uint8_t> fifo_;  // capture input waiting for the channel
  std::vector<std::uint8_t> transferBuffer_;  // reused by Transfer: no allocation per move
  std::size_t fifoHead_ = 0;
  std::optional<Ticks> idleSince_;
  bool overrunCounted_ = false;
  Clock::EventId overrunEvent_ = 0;
  Overruns overruns_;
  std::uint64_t bytesTransferred_ = 0;
  std::uint64_t entriesCompleted_ = 0;
  std::uint64_t faults_ = 0;
};

}  // namespace sim
