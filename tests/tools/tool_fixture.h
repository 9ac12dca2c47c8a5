// Runs the zatac97 program as a person would, in a scratch directory, and
// reads and writes WAV files with a RIFF parser of its own (independent of
// the library the program uses, so the two check each other).
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

struct Wav {
  std::uint16_t formatTag = 1;
  std::uint16_t channels = 2;
  std::uint32_t rate = 48000;
  std::uint16_t bits = 16;
  std::vector<std::uint8_t> data;
};

// A RIFF WAVE file with one fmt and one data chunk.
std::vector<std::uint8_t> WavBytes(const Wav& wav);
void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void WriteText(const std::filesystem::path& path, const std::string& text);
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
// Parses a RIFF WAVE file; fails the test when it is not one.
Wav ReadWav(const std::filesystem::path& path);
// Seeded noise that fills every bit of every sample.
std::vector<std::uint8_t> NoiseBytes(std::size_t count, std::uint32_t seed);

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs zatac97 with `args` in the scratch directory; HOME and
  // XDG_STATE_HOME point into it (or as env_ says), --registry is added
  // unless given or addRegistry_ is false, and standard input is stdin_ (a
  // file in the scratch directory) or empty.
  ToolRun Tool(std::vector<std::string> args);
  std::filesystem::path Path(const std::string& name) const { return dir_ / name; }
  // The names in the scratch directory (no hidden temporaries may linger).
  std::vector<std::string> Listing() const;

  std::filesystem::path dir_;
  std::string stdin_;
  std::vector<std::pair<std::string, std::string>> env_;
  bool addRegistry_ = true;
};

}  // namespace tooltest
