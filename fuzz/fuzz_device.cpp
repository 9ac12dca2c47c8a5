#include "fuzz_device.h"

#include "adapter/driver.h"
#include "fuzz_input.h"

namespace fuzz {

Device::Device(const sim::MachineConfig& config) {
  machine_ = std::make_unique<sim::Machine>(config);
  // The trace grows with every access; a bounded ring is all a target reads.
  machine_->GetTrace().SetCapacity(4096);
  kernel_ = std::make_unique<host::Kernel>(*machine_);
  kernel_->SetViolationHandler([this](const host::Violation& v) { violations_.push_back(v.message); });
  harness_ = std::make_unique<host::DeviceHarness>(*kernel_);
}

Device::~Device() {
  if (!finished_) Finish();
}

NTSTATUS Device::Start() { return harness_->Start(DriverEntry); }

void Device::Finish() {
  finished_ = true;
  if (harness_->Started()) harness_->StopDevice();
  harness_->RemoveDevice();
  harness_.reset();
  kernel_->Teardown();
  kernel_.reset();
}

void Device::RequireNoViolations(const std::vector<std::string>& allowed) const {
  for (const std::string& v : violations_) {
    bool expected = false;
    for (const std::string& prefix : allowed) expected |= v.rfind(prefix, 0) == 0;
    if (!expected) Fail("kernel-rule violation: " + v);
  }
}

}  // namespace fuzz
