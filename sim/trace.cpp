#include "sim/trace.h"

#include <optional>

#include <cstdio>

namespace sim {

namespace {

std::string Hex(std::uint32_t value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, static_cast<unsigned>(value));
  return buffer;
}

std::string Tag(const TraceEntry& e) {
  const std::string bits = std::to_string(e.width * 8);
  switch (e.kind) {
    case TraceKind::PortRead: return "io.r" + bits;
    case TraceKind::PortWrite: return "io.w" + bits;
    case TraceKind::ConfigRead: return "cfg.r" + bits;
    case TraceKind::ConfigWrite: return "cfg.w" + bits;
    case TraceKind::CodecRead: return "codec.r";
    case TraceKind::CodecWrite: return "codec.w";
    case TraceKind::Interrupt: return "irq";
    case TraceKind::BiosCall: return "bios";
    case TraceKind::Sgd: return "sgd";
    case TraceKind::Fault: return "fault";
    case TraceKind::Host: return e.tag.empty() ? "host" : e.tag;
  }
  return "?";
}

std::string Details(const TraceEntry& e) {
  const int digits = e.width == 0 ? 2 : e.width * 2;
  switch (e.kind) {
    case TraceKind::PortRead: return Hex(e.address, 4) + " -> " + Hex(e.value, digits);
    case TraceKind::PortWrite: return Hex(e.address, 4) + " <- " + Hex(e.value, digits);
    case TraceKind::ConfigRead: return Hex(e.address, 2) + " -> " + Hex(e.value, digits);
    case TraceKind::ConfigWrite: return Hex(e.address, 2) + " <- " + Hex(e.value, digits);
    case TraceKind::CodecRead: return Hex(e.address, 2) + " -> " + Hex(e.value, 4);
    case TraceKind::CodecWrite: return Hex(e.address, 2) + " <- " + Hex(e.value, 4);
    default: return e.text;
  }
}

}  // namespace

void Trace::Record(TraceEntry entry) {
  if (!Recording() && entry.kind != TraceKind::Fault) return;
  entry.time = clock_.Now();
  std::function<void(const TraceEntry&)> observer;
  std::optional<TraceEntry> fault;
  {
    std::lock_guard lock(mutex_);
    if (entry.kind == TraceKind::Fault && faultObserver_) {
      observer = faultObserver_;
      fault = entry;
    }
    // With recording off only a fault gets here, and it goes to its observer only.
    if (Recording()) entries_.push_back(std::move(entry));
    if (capacity_ != 0 && entries_.size() > capacity_) {
      entries_.pop_front();
      ++dropped_;
    }
  }
  if (observer) observer(*fault);
}

void Trace::SetFaultObserver(std::function<void(const TraceEntry&)> observer) {
  std::lock_guard lock(mutex_);
  faultObserver_ = std::move(observer);
}

void Trace::Record(const std::string& tag, const std::string& text) {
  if (!Recording()) return;
  TraceEntry entry;
  entry.kind = TraceKind::Host;
  entry.tag = tag;
  entry.text = text;
  Record(std::move(entry));
}

void Trace::RecordMarker(std::uint16_t port, std::uint8_t value) {
  const Ticks now = clock_.Now();  // before our lock: the clock's lock comes first
  std::lock_guard lock(mutex_);
  markers_.push_back({now, port, value});
}

void Trace::SetCapacity(std::size_t entries) {
  std::lock_guard lock(mutex_);
  capacity_ = entries;
  while (capacity_ != 0 && entries_.size() > capacity_) {
    entries_.pop_front();
    ++dropped_;
  }
}

void Trace::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  markers_.clear();
  dropped_ = 0;
}

std::vector<TraceEntry> Trace::Entries() const {
  std::lock_guard lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

std::vector<TraceEntry> Trace::Matching(const std::function<bool(const TraceEntry&)>& pred) const {
  std::lock_guard lock(mutex_);
  std::vector<TraceEntry> result;
  for (const auto& e : entries_)
    if (pred(e)) result.push_back(e);
  return result;
}

std::vector<TraceEntry> Trace::OfKind(TraceKind kind) const {
  return Matching([kind](const TraceEntry& e) { return e.kind == kind; });
}

std::vector<TraceEntry> Trace::PortWrites(std::uint16_t port) const {
  return Matching([port](const TraceEntry& e) { return e.kind == TraceKind::PortWrite && e.address == port; });
}

std::vector<TraceEntry> Trace::PortReads(std::uint16_t port) const {
  return Matching([port](const TraceEntry& e) { return e.kind == TraceKind::PortRead && e.address == port; });
}

std::vector<TraceEntry> Trace::ConfigWrites(std::uint8_t offset) const {
  return Matching([offset](const TraceEntry& e) { return e.kind == TraceKind::ConfigWrite && e.address == offset; });
}

std::vector<TraceEntry> Trace::CodecWrites(std::uint8_t reg) const {
  return Matching([reg](const TraceEntry& e) { return e.kind == TraceKind::CodecWrite && e.address == reg; });
}

std::vector<DiagnosticMarker> Trace::Markers() const {
  std::lock_guard lock(mutex_);
  return markers_;
}

std::size_t Trace::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::string Trace::Render(const TraceEntry& entry) {
  char time[32];
  std::snprintf(time, sizeof time, "%10.3f", static_cast<double>(entry.time) / kTicksPerMicrosecond);
  char tag[32];
  std::snprintf(tag, sizeof tag, "%-7s", Tag(entry).c_str());
  std::string line = std::string(time) + " " + tag + " " + Details(entry);
  if (!entry.note.empty()) line += "  " + entry.note;
  return line;
}

std::string Trace::Render() const {
  std::string text;
  for (const auto& e : Entries()) text += Render(e) + "\n";
  return text;
}

}  // namespace sim
