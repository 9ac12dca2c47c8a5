// GoogleTest support for code that runs on the host kernel: a fixture that
// builds a machine and a kernel per test, records every violation instead of
// aborting, and fails the test at TearDown on any violation it did not
// expect. Teardown checks (leaks) run before that verdict.
//
//   class MyTest : public host::testing::KernelTest {};
//   TEST_F(MyTest, Starts) {
//     auto& device = Harness();
//     ASSERT_EQ(device.Start(DriverEntry), STATUS_SUCCESS) << device.LastError();
//   }
//   TEST_F(MyTest, DoubleFreeIsCaught) {
//     ExpectViolation("pool: double free");
//     ...
//   }
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "host/pnp.h"

namespace host::testing {

// Records violations; usable on its own with any Kernel.
class ViolationLog {
 public:
  void Attach(Kernel& kernel) {
    kernel.SetViolationHandler([this](const Violation& v) { violations_.push_back(v); });
  }
  const std::vector<Violation>& All() const { return violations_; }
  // Whether a recorded violation's message contains `text`.
  bool Saw(const std::string& text) const {
    for (const Violation& v : violations_)
      if (v.message.find(text) != std::string::npos) return true;
    return false;
  }
  std::size_t Count(const std::string& text) const {
    std::size_t n = 0;
    for (const Violation& v : violations_)
      if (v.message.find(text) != std::string::npos) ++n;
    return n;
  }
  void Clear() { violations_.clear(); }

 private:
  std::vector<Violation> violations_;
};

class KernelTest : public ::testing::Test {
 protected:
  // Tests may change the configuration in their constructor (or call Boot
  // again with a new one before using the kernel).
  sim::MachineConfig config_;

  void SetUp() override { Boot(config_); }

  void TearDown() override { Shutdown(); }

  // (Re)creates the machine and the kernel; a previous pair is shut down
  // first, with its verdict.
  void Boot(const sim::MachineConfig& config) {
    if (kernel_) Shutdown();
    config_ = config;
    machine_ = std::make_unique<sim::Machine>(config_);
    kernel_ = std::make_unique<Kernel>(*machine_);
    log_.Clear();
    log_.Attach(*kernel_);
  }

  // Removes the device, runs the kernel's teardown checks, then fails the
  // test for every violation no ExpectViolation covered and every expected
  // one that never came.
  void Shutdown() {
    if (!kernel_) return;
    harness_.reset();
    kernel_->Teardown();
    for (const Violation& v : log_.All()) {
      bool expected = false;
      for (const std::string& e : expected_)
        if (v.message.find(e) != std::string::npos) expected = true;
      if (!expected) ADD_FAILURE() << "unexpected kernel rule violation: " << v.message;
    }
    for (const std::string& e : expected_) {
      if (!log_.Saw(e)) ADD_FAILURE() << "expected a violation containing \"" << e << "\", none was reported";
    }
    expected_.clear();
    kernel_.reset();
    machine_.reset();
  }

  // The test expects (at least one) violation whose message contains `text`.
  void ExpectViolation(const std::string& text) { expected_.push_back(text); }

  sim::Machine& Machine() { return *machine_; }
  Kernel& GetKernel() { return *kernel_; }
  const ViolationLog& Violations() const { return log_; }
  bool SawViolation(const std::string& text) const { return log_.Saw(text); }

  // A PnP harness for this kernel, made on first use and removed at
  // shutdown before the teardown checks.
  DeviceHarness& Harness(DeviceHarness::Options options = {}) {
    if (!harness_) harness_ = std::make_unique<DeviceHarness>(*kernel_, std::move(options));
    return *harness_;
  }
  void ResetHarness() { harness_.reset(); }

 private:
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<DeviceHarness> harness_;
  ViolationLog log_;
  std::vector<std::string> expected_;
};

}  // namespace host::testing
