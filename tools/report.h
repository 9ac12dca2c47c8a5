// What the commands print: the installation summary and a stream's summary.
#pragma once

#include <string>
#include <vector>

#include "sim/trace.h"
#include "tools/session.h"
#include "tools/stream_client.h"

namespace tool {

// Subdevices with their resource sublists, physical connections and the
// driver-wide MIDI and revision flags.
std::string InstallationText(Session& session);

// "interrupts 101, service calls 101, underruns 0, diagnostic markers none, final position 176400 bytes"
std::string StreamStatsText(const StreamReport& report, const std::vector<sim::DiagnosticMarker>& markers);

// "0x91=0x96 x2, 0x90=0x12" or "none".
std::string MarkersText(const std::vector<sim::DiagnosticMarker>& markers);

// Empty when equal; otherwise where and how they first differ.
std::string FirstDifference(const std::vector<std::uint8_t>& expected, const std::vector<std::uint8_t>& actual);

std::string Hex(std::uint64_t value, int digits = 0);

}  // namespace tool
