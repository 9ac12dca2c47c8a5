// A progress bar on standard error for runs that take longer than a second
// of real time, drawn only when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tool {

class Progress {
 public:
  Progress(std::string label, std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Update(std::uint64_t done);
  // Clears the bar (if one was drawn).
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  std::string label_;
  std::uint64_t total_;
  bool terminal_;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point lastDraw_;
};

}  // namespace tool
