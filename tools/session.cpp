#include "tools/session.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "adapter/driver.h"
#include "host/driver_under_test.h"
#include "tools/errors.h"

namespace tool {

namespace {

// The trace is drained into the file after every step of the event loop, so
// a long run does not hold every access in memory; the cap only guards a
// single step that records an unusual amount.
constexpr std::size_t kTraceCapacity = 1u << 20;

}  // namespace

std::string StatusText(NTSTATUS status) {
  static const std::pair<NTSTATUS, const char*> kNames[] = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_PENDING, "STATUS_PENDING"},
      {static_cast<NTSTATUS>(0x80000005), "STATUS_BUFFER_OVERFLOW"},
      {static_cast<NTSTATUS>(0xC0000001), "STATUS_UNSUCCESSFUL"},
      {static_cast<NTSTATUS>(0xC0000002), "STATUS_NOT_IMPLEMENTED"},
      {static_cast<NTSTATUS>(0xC000000D), "STATUS_INVALID_PARAMETER"},
      {static_cast<NTSTATUS>(0xC0000010), "STATUS_INVALID_DEVICE_REQUEST"},
      {static_cast<NTSTATUS>(0xC0000016), "STATUS_MORE_PROCESSING_REQUIRED"},
      {static_cast<NTSTATUS>(0xC0000023), "STATUS_BUFFER_TOO_SMALL"},
      {static_cast<NTSTATUS>(0xC000009A), "STATUS_INSUFFICIENT_RESOURCES"},
      {static_cast<NTSTATUS>(0xC00000BB), "STATUS_NOT_SUPPORTED"},
      {static_cast<NTSTATUS>(0xC0000182), "STATUS_DEVICE_CONFIGURATION_ERROR"},
      {static_cast<NTSTATUS>(0xC0000184), "STATUS_INVALID_DEVICE_STATE"},
      {static_cast<NTSTATUS>(0xC0000225), "STATUS_NOT_FOUND"},
  };
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
  for (const auto& [value, name] : kNames)
    if (value == status) return std::string(name) + " (" + hex + ")";
  return hex;
}

sim::Ticks Milliseconds(double ms) { return static_cast<sim::Ticks>(ms * sim::kTicksPerMillisecond + 0.5); }

Session::Session(const CommonOptions& options) : options_(options), registryPath_(tool::RegistryPath(options)) {
  const sim::MachineConfig config = MachineFor(options_);
  if (!options_.traceFile.empty()) {
    traceFile_ = std::make_unique<OutputFile>(options_.traceFile);
    traceStream_.open(traceFile_->WritePath(), std::ios::binary | std::ios::trunc);
    if (!traceStream_) throw ToolError("cannot write '" + options_.traceFile + "'");
  }
  machine_ = std::make_unique<sim::Machine>(config);
  machine_->GetTrace().SetCapacity(kTraceCapacity);
  // Entries are built only for a trace file or a collection; faults and
  // diagnostic markers reach the session either way.
  machine_->GetTrace().SetRecording(traceStream_.is_open());
  kernel_ = std::make_unique<host::Kernel>(*machine_);
  kernel_->SetViolationHandler([this](const host::Violation& violation) {
    violations_.push_back(violation.message);
  });
  kernel_->SetServiceLatency(Milliseconds(options_.latencyMs));
  if (options_.failAllocation) kernel_->GetPool().FailNth(options_.failAllocation);
  LoadRegistry();
  harness_ = std::make_unique<host::DeviceHarness>(*kernel_);
}

Session::~Session() {
  if (finished_) return;
  // An error path: take everything down without reporting or saving the
  // registry; the trace of what did happen is still worth keeping.
  try {
    ReleaseDevice();
    harness_.reset();
    if (kernel_) kernel_->Teardown();
    if (machine_) TakeTrace();
    if (traceFile_ && traceStream_.is_open()) {
      traceStream_.close();
      if (traceStream_) traceFile_->Commit();
    }
  } catch (...) {
  }
  kernel_.reset();
}

void Session::LoadRegistry() {
  std::error_code ec;
  if (!std::filesystem::exists(registryPath_, ec)) return;  // a first run: the driver writes its defaults
  if (std::filesystem::is_directory(registryPath_, ec))
    throw ToolError("cannot read registry file '" + registryPath_ + "': it is a directory");
  std::string error;
  if (!Registry().LoadFile(registryPath_, &error))
    throw ToolError("registry file '" + registryPath_ + "' is malformed: " + error +
                    " (left as it is; fix or remove it, or pass another --registry)");
}

int Session::SaveRegistry(int status) {
  if (!finished_ || registrySaved_) return status;
  registrySaved_ = true;
  try {
    const std::filesystem::path path(registryPath_);
    std::error_code ec;
    if (path.has_parent_path() && !std::filesystem::exists(path.parent_path(), ec)) {
      std::filesystem::create_directories(path.parent_path(), ec);
      if (ec) throw ToolError("cannot create the directory '" + path.parent_path().string() + "': " + ec.message());
    }
    OutputFile out(registryPath_);
    std::string error;
    if (!Registry().SaveFile(out.WritePath(), &error)) throw ToolError("cannot write '" + registryPath_ + "'");
    out.Commit();
    registryWritten_ = true;
  } catch (const ToolError& error) {
    std::fflush(stdout);
    std::fprintf(stderr, "zatac97: warning: the mixer settings were not saved: %s\n", error.what());
    if (!options_.registryFile.empty()) return status == kExitOk ? kExitBadInput : status;
  }
  return status;
}

void Session::Start() {
  PDRIVER_INITIALIZE entry = DriverEntry;
  if (!options_.imagePath.empty()) {
    std::string error;
    entry = host::LoadDriverImage(options_.imagePath, &error);
    if (!entry) throw ToolError("cannot load the driver image: " + error);
    imageEntry_ = entry;
  }
  const NTSTATUS status = harness_->Start(entry);
  if (!NT_SUCCESS(status)) {
    std::string why = harness_->LastError();
    std::string text = "the device did not start: " + StatusText(status) + (why.empty() ? "" : " (" + why + ")");
    // What the driver and the framework said on the way, for the person reading it.
    const auto& log = kernel_->DebugLog();
    const std::size_t shown = std::min<std::size_t>(log.size(), 12);
    if (shown) text += "\nlast debug output:";
    for (std::size_t i = log.size() - shown; i < log.size(); ++i) text += "\n  " + log[i];
    throw DriverFault(text);
  }
  started_ = true;
  CheckViolations("device start");
}

std::string Session::ReleaseDevice() {
  if (!harness_) return "";
  std::string problem;
  if (harness_->Started()) {
    const NTSTATUS status = harness_->StopDevice();
    if (!NT_SUCCESS(status)) problem = "stopping the device failed: " + StatusText(status) + " " + harness_->LastError();
  }
  const NTSTATUS status = harness_->RemoveDevice();
  if (!NT_SUCCESS(status) && problem.empty())
    problem = "removing the device failed: " + StatusText(status) + " " + harness_->LastError();
  return problem;
}

void Session::Finish() {
  if (started_) Settle();
  const std::string problem = ReleaseDevice();
  if (started_) Settle();
  harness_.reset();
  kernel_->Teardown();
  TakeTrace();
  finished_ = true;
  if (traceFile_) {
    traceStream_.close();
    if (!traceStream_) throw ToolError("cannot write '" + options_.traceFile + "'");
    traceFile_->Commit();
  }
  CheckViolations("the run");
  if (!problem.empty()) throw DriverFault(problem);
  if (options_.failAllocation && kernel_->GetPool().InjectedFailures() == 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "zatac97: warning: --fail-allocation %llu failed nothing: the run made only %llu pool allocations\n",
                 static_cast<unsigned long long>(options_.failAllocation),
                 static_cast<unsigned long long>(kernel_->GetPool().Attempts()));
  }
}

void Session::CheckViolations(const std::string& during) const {
  if (violations_.empty()) return;
  std::string text = std::to_string(violations_.size()) + " kernel-rule violation" +
                     (violations_.size() == 1 ? "" : "s") + " during " + during + ":";
  for (const std::string& v : violations_) text += "\n  " + v;
  throw DriverFault(text);
}

std::string Session::TakeLastViolation() {
  if (violations_.empty()) return "";
  std::string last = std::move(violations_.back());
  violations_.pop_back();
  return last;
}

PUNKNOWN Session::Port(const std::wstring& subdevice) const {
  const auto info = harness_->Subdevice(subdevice);
  if (!info) throw DriverFault("the driver did not install \"" + host::ToUtf8(subdevice) + "\"");
  return info->port;
}

PMINIPORT Session::Miniport(const std::wstring& subdevice) const {
  const auto info = harness_->Subdevice(subdevice);
  if (!info || !info->miniport) throw DriverFault("the driver did not install \"" + host::ToUtf8(subdevice) + "\"");
  return info->miniport;
}

void Session::Settle() {
  // A command takes microseconds; a codec that never frees its port is not
  // waited for beyond a millisecond.
  RunUntil([this] { return machine_->CodecIdle(); }, Milliseconds(1));
}

void Session::RunFor(sim::Ticks ticks) {
  kernel_->RunFor(ticks);
  TakeTrace();
}

bool Session::RunUntil(const std::function<bool()>& done, sim::Ticks limit) {
  const bool held = kernel_->RunUntil(done, limit);
  TakeTrace();
  return held;
}

void Session::TakeTrace() {
  sim::Trace& trace = machine_->GetTrace();
  std::vector<sim::TraceEntry> entries;
  if (trace.Recording()) entries = trace.Entries();
  for (const sim::DiagnosticMarker& marker : trace.Markers()) markers_.push_back(marker);
  trace.Clear();
  if (traceStream_.is_open())
    for (const sim::TraceEntry& entry : entries) traceStream_ << sim::Trace::Render(entry) << '\n';
  if (collecting_) collected_.insert(collected_.end(), entries.begin(), entries.end());
}

void Session::Collect() {
  TakeTrace();
  collecting_ = true;
  collected_.clear();
  machine_->GetTrace().SetRecording(true);
}

std::vector<sim::TraceEntry> Session::Collected() {
  TakeTrace();
  collecting_ = false;
  machine_->GetTrace().SetRecording(traceStream_.is_open());
  return std::move(collected_);
}

const std::vector<sim::DiagnosticMarker>& Session::Markers() {
  TakeTrace();
  return markers_;
}

}  // namespace tool
