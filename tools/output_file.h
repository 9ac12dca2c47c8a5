// Where the program's output goes, treated the way a Unix tool treats it:
//
// - "-" is standard output;
// - an existing output that is not a regular file (a device, a FIFO, a
//   socket) is opened and written in place;
// - otherwise the data goes to a temporary file beside the target (a
//   symlink is followed to its target first) that is renamed over it on
//   Commit(), keeping the mode of the file it replaces, so the file appears
//   whole or not at all. An output never committed leaves no trace.
//
// A read-only target, and an output that is the same file as one of the
// run's inputs or another output, are refused before any work is done.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace tool {

// The files one run of a command reads and writes, so that no output is an
// input or another output. A command opens one scope for its whole run; the
// next run (a benchmark or test runs many in one process) starts empty.
class RunFiles {
 public:
  RunFiles();
  ~RunFiles();
  RunFiles(const RunFiles&) = delete;
  RunFiles& operator=(const RunFiles&) = delete;
};

// Records a file the run reads ("-" is standard input), so no output may be it.
void NoteInput(const std::string& path);
// Whether some output of the run is standard output; the report then goes to
// standard error so it does not mix with the data.
bool StdoutTaken();
// Where the report goes: standard output, or standard error when an output is "-".
std::FILE* ReportStream();

class OutputFile {
 public:
  // Opens the destination at once, so an unwritable one is reported before
  // any work is done. Throws ToolError naming the path and the reason.
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& Path() const { return path_; }
  // The name to report: the path, or "standard output".
  std::string Name() const;
  // False for standard output, devices, FIFOs and sockets.
  bool Seekable() const { return replacing_; }

  // A name other code can open to write the same destination (a library
  // that takes a file name): the temporary file, the device itself, or
  // /dev/stdout. Bytes written there and through Write() must not mix.
  std::string WritePath() const;

  void Write(std::span<const std::uint8_t> bytes);
  void WriteText(const std::string& text);
  // Seekable outputs only: overwrites bytes at `offset` (a header written
  // before the length was known).
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Makes the data durable and renames it over the target (or, in place,
  // just closes it).
  void Commit();

 private:
  void Fail(const std::string& what) const;

  std::string path_;    // as given
  std::string target_;  // the file renamed over (symlinks followed)
  std::string temp_;
  int fd_ = -1;
  std::uint64_t written_ = 0;    // bytes Write() has put in the file
  std::uint64_t writeback_ = 0;  // the disk has been asked to write up to here
  bool replacing_ = false;
  bool committed_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace tool
