// One run of the whole driver on a fresh simulated machine, through the PnP
// manager stand-in, for the targets that need a device: violations are
// collected (not fatal) so a target can say which ones it expects, and
// Finish() stops and removes the device and runs the kernel's teardown
// checks (leaks, mappings, references).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "host/pnp.h"
#include "sim/machine.h"

namespace fuzz {

class Device {
 public:
  explicit Device(const sim::MachineConfig& config = {});
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  sim::Machine& Machine() { return *machine_; }
  host::Kernel& Kernel() { return *kernel_; }
  host::DeviceHarness& Harness() { return *harness_; }

  // DriverEntry, AddDevice, the requirements filter and the start.
  NTSTATUS Start();
  // Stop (when started), removal, unload and the teardown checks.
  void Finish();

  const std::vector<std::string>& Violations() const { return violations_; }
  // Fails the run when a violation was recorded that does not start with one
  // of `allowed` (rule prefixes such as "firmware:").
  void RequireNoViolations(const std::vector<std::string>& allowed = {}) const;

 private:
  std::vector<std::string> violations_;
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<host::Kernel> kernel_;
  std::unique_ptr<host::DeviceHarness> harness_;
  bool finished_ = false;
};

}  // namespace fuzz
