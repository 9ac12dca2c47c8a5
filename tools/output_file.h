// An output file that appears whole or not at all: everything is written to
// a temporary name beside the target and renamed over it on Commit(). An
// output that is never committed (an error, an exception) leaves no trace.
#pragma once

#include <string>

namespace tool {

class OutputFile {
 public:
  // Creates the temporary file at once, so an unwritable destination is
  // reported before any work is done.
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& TempPath() const { return temp_; }
  // Writes `text` to the temporary file (replacing what it held).
  void WriteText(const std::string& text);
  // Renames the temporary file over the target.
  void Commit();

 private:
  std::string path_;
  std::string temp_;
  bool committed_ = false;
};

}  // namespace tool
