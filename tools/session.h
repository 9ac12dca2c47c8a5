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
  // the driver, runs the kernel's teardown checks, then writes the trace and
  // saves the registry file. Throws a driver fault listing every violation.
  void Finish();

  const CommonOptions& Options() const { return options_; }
  sim::Machine& Machine() { return *machine_; }
  host::Kernel& Kernel() { return *kernel_; }
  host::DeviceHarness& Harness() { return *harness_; }
  host::Registry& Registry() { return kernel_->GetRegistry(); }
  const std::string& RegistryPath() const { return registryPath_; }

  // The installed subdevice's miniport (no reference added), or a driver fault.
  PMINIPORT Miniport(const std::wstring& subdevice) const;
  PUNKNOWN Port(const std::wstring& subdevice) const;

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

 private:
  void LoadRegistry();
  void SaveRegistry();
  // Stop and removal; says what went wrong, if anything.
  std::string ReleaseDevice();

  CommonOptions options_;
  std::string registryPath_;
  // Declared before the kernel: its teardown may still report into it.
  std::vector<std::string> violations_;
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::DeviceHarness> harness_;
  std::unique_ptr<OutputFile> traceFile_;
  std::ofstream traceStream_;
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
