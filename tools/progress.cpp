#include "tools/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tool {

namespace {
constexpr auto kQuietFor = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr int kWidth = 40;
}  // namespace

Progress::Progress(std::string label, std::uint64_t total)
    : label_(std::move(label)), total_(total), terminal_(isatty(STDERR_FILENO) == 1), start_(Clock::now()) {}

Progress::~Progress() { Finish(); }

void Progress::Update(std::uint64_t done) {
  if (!terminal_ || total_ == 0) return;
  const auto now = Clock::now();
  if (now - start_ < kQuietFor) return;
  if (drawn_ && now - lastDraw_ < kRedrawEvery) return;
  lastDraw_ = now;
  const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total_));
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), static_cast<int>(fraction * 100));
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::Finish() {
  if (!drawn_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace tool
