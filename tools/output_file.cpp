#include "tools/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "tools/errors.h"

namespace tool {

namespace fs = std::filesystem;

namespace {

// Temporary files still open, so an interrupted run (Ctrl-C, a kill) can
// remove them on its way out. Plain arrays: the signal handler may only use
// what is async-signal-safe.
constexpr int kSlots = 16;
char pending[kSlots][4096];
volatile sig_atomic_t handlerInstalled = 0;

void RemovePendingAndExit(int signal) {
  for (auto& slot : pending)
    if (slot[0]) unlink(slot);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void Remember(const std::string& path) {
  if (!handlerInstalled) {
    handlerInstalled = 1;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, RemovePendingAndExit);
  }
  if (path.size() >= sizeof(pending[0])) return;
  for (auto& slot : pending) {
    if (slot[0]) continue;
    std::memcpy(slot, path.c_str(), path.size() + 1);
    return;
  }
}

void Forget(const std::string& path) {
  for (auto& slot : pending)
    if (slot[0] && path == slot) slot[0] = '\0';
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  if (path_.empty()) throw ToolError("an output file name is empty");
  std::error_code ec;
  if (fs::is_directory(path_, ec)) throw ToolError("cannot write '" + path_ + "': it is a directory");
  const fs::path target(path_);
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string pattern = (dir / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) throw ToolError("cannot write '" + path_ + "': " + std::strerror(errno));
  // mkstemp makes the file private; an output should get the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  temp_ = buffer.data();
  Remember(temp_);
}

OutputFile::~OutputFile() {
  if (!committed_ && !temp_.empty()) unlink(temp_.c_str());
  Forget(temp_);
}

void OutputFile::WriteText(const std::string& text) {
  std::ofstream out(temp_, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  if (!out) throw ToolError("cannot write '" + path_ + "': " + std::strerror(errno));
}

void OutputFile::Commit() {
  if (committed_) return;
  // Make the data durable before the name points at it.
  const int fd = open(temp_.c_str(), O_RDONLY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  if (rename(temp_.c_str(), path_.c_str()) != 0)
    throw ToolError("cannot write '" + path_ + "': " + std::strerror(errno));
  committed_ = true;
  Forget(temp_);
}

}  // namespace tool
