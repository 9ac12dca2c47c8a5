// One run of the driver: the simulated machine, the kernel and framework
// stand-in, the driver's registry (kept in a .reg file between runs), and
// the device taken through the PnP manager's start and, at the end, stop and
// removal, with the kernel's teardown checks. Every kernel-rule violation and
// every leak is collected and turned into a loud failure by Finish().
#pragma once

#include <portcls.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/framework.h"
#include "host/kernel.h"
#include "host/pnp.h"
#include "host/registry.h"
#include "sim/machine.h"
#include "tools/options.h"
#include "tools/output_file.h"

namespace tool {

class Session {
 public:
  // Builds the machine and loads the registry file. A malformed registry file
  // is refused here, before anything runs, and is never written.
  explicit Session(const CommonOptions& options);
  // Without Finish() (an error path) the device is released quietly and
  // nothing is saved.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // DriverEntry, AddDevice, the resource-requirements filter and the start,
  // as the PnP manager sends them. Throws a driver fault when one fails.
  void Start();
  // Stops and removes the device (the driver saves its mixer settings), unloads
  // the driver, runs the kernel's teardown checks and writes the trace.
  // Throws a driver fault listing every violation.
  void Finish();
  // After Finish() and after the command has written its outputs: keeps the
  // driver's registry in the registry file. A file that cannot be written is
  // a warning on standard error naming the path and the reason; the result is
  // `status`, or kExitBadInput then if --registry named the file.
  int SaveRegistry(int status);
  bool RegistrySaved() const { return registryWritten_; }

  const CommonOptions& Options() const { return options_; }
  sim::Machine& Machine() { return *machine_; }
  host::Kernel& Kernel() { return *kernel_; }
  host::DeviceHarness& Harness() { return *harness_; }
  host::Registry& Registry() { return kernel_->GetRegistry(); }
  const std::string& RegistryPath() const { return registryPath_; }
  // The loaded kernel image's entry point when the run drives one (--image),
  // else null.
  PDRIVER_INITIALIZE ImageEntry() const { return imageEntry_; }

  // The installed subdevice's miniport (no reference added), or a driver fault.
  PMINIPORT Miniport(const std::wstring& subdevice) const;
  PUNKNOWN Port(const std::wstring& subdevice) const;

  // Lets virtual time run until the codec has taken every command the
  // driver issued, so what is read from it is what the driver asked for.
  void Settle();

  // Runs the event loop for `ticks` of virtual time, or until `done` holds.
  void RunFor(sim::Ticks ticks);
  bool RunUntil(const std::function<bool()>& done, sim::Ticks limit);

  // Moves the entries recorded so far out of the machine's trace, into the
  // --trace file and, while collecting, into the collection.
  void TakeTrace();
  // Collects every trace entry from now until Collected() is called.
  void Collect();
  std::vector<sim::TraceEntry> Collected();
  // Diagnostic markers seen so far in the run.
  const std::vector<sim::DiagnosticMarker>& Markers();

  // Violations recorded so far (messages name the rule).
  const std::vector<std::string>& Violations() const { return violations_; }
  // Throws a driver fault when a violation was recorded.
  void CheckViolations(const std::string& during) const;
  // Takes back the last violation recorded: a limit of the framework
  // stand-in the caller reports as such, not as the driver's fault.
  std::string TakeLastViolation();

 private:
  void LoadRegistry();
  // Stop and removal; says what went wrong, if anything.
  std::string ReleaseDevice();

  CommonOptions options_;
  std::string registryPath_;
  PDRIVER_INITIALIZE imageEntry_ = nullptr;
  // Declared before the kernel: its teardown may still report into it.
  std::vector<std::string> violations_;
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::DeviceHarness> harness_;
  std::unique_ptr<OutputFile> traceFile_;
  std::ofstream traceStream_;
  bool registrySaved_ = false;
  bool registryWritten_ = false;
  std::vector<sim::DiagnosticMarker> markers_;
  bool collecting_ = false;
  std::vector<sim::TraceEntry> collected_;
  bool started_ = false;
  bool finished_ = false;
};

// "STATUS_INVALID_PARAMETER (0xC000000D)".
std::string StatusText(NTSTATUS status);
sim::Ticks Milliseconds(double ms);

}  // namespace tool
