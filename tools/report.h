// What the commands print: the installation summary and a stream's summary.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/trace.h"
#include "tools/session.h"
#include "tools/stream_client.h"

namespace tool {

// Subdevices with their resource sublists, physical connections and the
// driver-wide MIDI and revision flags.
std::string InstallationText(Session& session);

// "interrupts 101, service calls 101, underruns 0, diagnostic markers none, final position 176400 bytes";
// a capture stream reports "overruns N" (and the input frames lost) in place of the underruns.
std::string StreamStatsText(const StreamReport& report, const std::vector<sim::DiagnosticMarker>& markers);

// "0x91=0x96 x2 (both playback events in one interrupt), 0x90=0x12" or "none":
// each marker the driver writes with what it means.
std::string MarkersText(const std::vector<sim::DiagnosticMarker>& markers);

// Compares two byte streams that arrive in pieces, in any interleaving, and
// keeps only what one side has and the other not yet: the first difference
// and how many bytes differ.
class StreamComparison {
 public:
  void Expected(std::span<const std::uint8_t> bytes) { Feed(bytes, true); }
  void Actual(std::span<const std::uint8_t> bytes) { Feed(bytes, false); }
  std::uint64_t ExpectedBytes() const { return expected_; }
  std::uint64_t ActualBytes() const { return actual_; }
  // Empty when equal; otherwise where they first differ, how many bytes
  // differ, and the lengths when those differ.
  std::string Difference() const;

 private:
  void Feed(std::span<const std::uint8_t> bytes, bool expected);

  std::uint64_t expected_ = 0, actual_ = 0;
  std::uint64_t differing_ = 0;
  std::uint64_t firstAt_ = 0;
  std::uint8_t firstExpected_ = 0, firstActual_ = 0;
  // The side that is ahead keeps its surplus here, from `head_` on.
  std::vector<std::uint8_t> surplus_;
  std::size_t head_ = 0;
  bool surplusIsExpected_ = true;
};

// Empty when equal; otherwise where and how they first differ.
std::string FirstDifference(const std::vector<std::uint8_t>& expected, const std::vector<std::uint8_t>& actual);

std::string Hex(std::uint64_t value, int digits = 0);

}  // namespace tool
