// The machine's trace: one entry per observable hardware step, with its
// virtual time.
//
// Text format (Trace::Render, one line per entry; stable, tools parse it):
//
//   <time> <tag> <details>[  <note>]
//
//   time     virtual time in microseconds, 3 decimals, right-aligned in 10
//            columns ("    12.000").
//   tag      left-aligned, padded to 7 characters, then one space:
//              io.r8 io.r16 io.r32   port read    details: 0xPPPP -> 0xVV..
//              io.w8 io.w16 io.w32   port write   details: 0xPPPP <- 0xVV..
//              cfg.r8 .. cfg.w32     PCI configuration access of the audio
//                                    function: 0xOO -> 0xVV.. / 0xOO <- 0xVV..
//              codec.r codec.w       AC'97 register access as the codec saw it:
//                                    0xRR -> 0xVVVV / 0xRR <- 0xVVVV
//              irq                   interrupt line change: "on sgd=0xSS" or
//                                    "off sgd=0xSS" (SgdStatusShadow then)
//              bios                  firmware call: "0xEEEEE eax=0x.. -> eax=0x.. cf=N"
//              sgd                   an SGD channel step: "play|rec start",
//                                    "entry N done count=C [flag] [eol]",
//                                    "restart", "stop at eol", "terminate"
//              fault                 a recorded fault; the note says whose
//                                    (bus, firmware, io, codec, sgd)
//              anything else         added by the host through Record(tag, text)
//   values   hexadecimal, zero-padded to the access width (2, 4 or 8 digits).
//   note     optional; "marker" for a diagnostic port write, "unclaimed" for
//            an access nobody decodes, "bios" for a configuration access made
//            through the PCI BIOS, the controller register's name for a port
//            access inside the controller block, "no data" for a codec read
//            that never answered.
//
// Examples:
//       12.000 io.w8   0x0091 <- 0x96  marker
//       13.000 io.w8   0xD083 <- 0x00  CodecStatus
//       15.000 cfg.r8  0x40 -> 0x01  bios
//       20.000 codec.w 0x02 <- 0x0707
//       31.000 irq     on sgd=0x11
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/clock.h"

namespace sim {

enum class TraceKind {
  PortRead,
  PortWrite,
  ConfigRead,
  ConfigWrite,
  CodecRead,
  CodecWrite,
  Interrupt,
  BiosCall,
  Sgd,
  Fault,
  Host,  // entries added by the host (interrupt delivery, deferred work ...)
};

struct TraceEntry {
  Ticks time = 0;
  TraceKind kind = TraceKind::Host;
  std::uint32_t address = 0;  // port, config offset, codec register
  std::uint8_t width = 0;     // bytes, for port and config accesses
  std::uint32_t value = 0;
  std::string tag;            // only for Host entries
  std::string text;           // details for kinds without an address form
  std::string note;
};

struct DiagnosticMarker {
  Ticks time = 0;
  std::uint16_t port = 0;
  std::uint8_t value = 0;
  bool operator==(const DiagnosticMarker&) const = default;
};

class Trace {
 public:
  explicit Trace(const Clock& clock) : clock_(clock) {}

  void Record(TraceEntry entry);  // entry.time is taken from the clock
  // For the host: one free-form line under its own tag.
  void Record(const std::string& tag, const std::string& text);

  void RecordMarker(std::uint16_t port, std::uint8_t value);

  // Called with each Fault entry as it is recorded (outside the trace's
  // lock), whatever the capacity: the host turns faults into violations.
  void SetFaultObserver(std::function<void(const TraceEntry&)> observer);

  // Whether entries are kept. A host that reads no trace turns it off: the
  // machine then skips building entries, yet faults still reach the fault
  // observer and diagnostic markers are still kept.
  void SetRecording(bool on) { recording_.store(on, std::memory_order_relaxed); }
  bool Recording() const { return recording_.load(std::memory_order_relaxed); }

  // Keeps at most `entries` (the oldest go first); 0 means no limit.
  void SetCapacity(std::size_t entries);
  void Clear();

  std::vector<TraceEntry> Entries() const;
  std::vector<TraceEntry> OfKind(TraceKind kind) const;
  std::vector<TraceEntry> Matching(const std::function<bool(const TraceEntry&)>& pred) const;
  std::vector<TraceEntry> PortWrites(std::uint16_t port) const;
  std::vector<TraceEntry> PortReads(std::uint16_t port) const;
  std::vector<TraceEntry> ConfigWrites(std::uint8_t offset) const;
  std::vector<TraceEntry> CodecWrites(std::uint8_t reg) const;
  std::vector<DiagnosticMarker> Markers() const;
  std::size_t Dropped() const;

  static std::string Render(const TraceEntry& entry);
  std::string Render() const;  // every entry, one line each

 private:
  const Clock& clock_;
  mutable std::mutex mutex_;
  std::deque<TraceEntry> entries_;
  std::vector<DiagnosticMarker> markers_;
  std::size_t capacity_ = 0;
  std::function<void(const TraceEntry&)> faultObserver_;
  std::size_t dropped_ = 0;
  std::atomic<bool> recording_{true};
};

}  // namespace sim
