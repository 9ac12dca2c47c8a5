#include "tools/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "tools/errors.h"

namespace tool {

namespace fs = std::filesystem;

namespace {

// How much a replaced file collects before its writeback is started.
constexpr std::uint64_t kWritebackStep = 1u << 20;

// Temporary files still open, so an interrupted run (Ctrl-C, a kill, a
// closed pipe) can remove them on its way out. Plain arrays: the signal
// handler may only use what is async-signal-safe.
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
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signal, RemovePendingAndExit);
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

// The files this run reads and writes, by identity, so one cannot be the other.
struct FileId {
  dev_t device;
  ino_t inode;
  std::string name;
};
std::vector<FileId> inputs;
std::vector<FileId> outputs;
std::vector<std::string> outputTargets;  // resolved names, for outputs that do not exist yet
bool stdoutTaken = false;

void Forget() {
  inputs.clear();
  outputs.clear();
  outputTargets.clear();
  stdoutTaken = false;
}

const FileId* Find(const std::vector<FileId>& ids, dev_t device, ino_t inode) {
  for (const FileId& id : ids)
    if (id.device == device && id.inode == inode) return &id;
  return nullptr;
}

// Follows a chain of symlinks to the name that is finally written; the last
// link may dangle (writing through it creates its target, as the shell does).
std::string FollowLinks(const std::string& path) {
  fs::path current(path);
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(current, ec))) return current.string();
    const fs::path link = fs::read_symlink(current, ec);
    if (ec) return current.string();
    current = link.is_absolute() ? link : current.parent_path() / link;
  }
  throw ToolError("cannot write '" + path + "': too many levels of symbolic links");
}

}  // namespace

RunFiles::RunFiles() { Forget(); }

RunFiles::~RunFiles() { Forget(); }

void NoteInput(const std::string& path) {
  struct stat st {};
  if (path == "-" ? fstat(STDIN_FILENO, &st) != 0 : stat(path.c_str(), &st) != 0) return;
  inputs.push_back({st.st_dev, st.st_ino, path == "-" ? "standard input" : "'" + path + "'"});
}

bool StdoutTaken() { return stdoutTaken; }

std::FILE* ReportStream() { return stdoutTaken ? stderr : stdout; }

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  if (path_.empty()) throw ToolError("an output file name is empty");
  struct stat st {};
  if (path_ == "-") {
    if (stdoutTaken) throw ToolError("only one output can be standard output ('-')");
    stdoutTaken = true;
    std::fflush(stdout);
    fd_ = STDOUT_FILENO;
    if (fstat(fd_, &st) == 0) {
      if (const FileId* input = Find(inputs, st.st_dev, st.st_ino); input && S_ISREG(st.st_mode))
        throw ToolError("standard output is " + input->name + ", an input of this run");
      device_ = st.st_dev;
      inode_ = st.st_ino;
    }
    return;
  }
  target_ = FollowLinks(path_);
  {
    std::error_code ec;
    const std::string resolved = fs::weakly_canonical(fs::absolute(target_), ec).string();
    for (const std::string& other : outputTargets)
      if (other == resolved) Fail("another output of this run is the same file");
    outputTargets.push_back(resolved);
  }
  const bool exists = stat(target_.c_str(), &st) == 0;
  if (exists) {
    if (S_ISDIR(st.st_mode)) Fail("it is a directory");
    if (const FileId* input = Find(inputs, st.st_dev, st.st_ino))
      Fail(input->name == "'" + path_ + "'" ? "it is an input of this run"
                                            : "it is the same file as " + input->name + ", an input of this run");
    if (Find(outputs, st.st_dev, st.st_ino)) Fail("another output of this run is the same file");
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    // A device, FIFO or socket is the destination itself: write into it.
    fd_ = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) Fail(std::strerror(errno));
    outputs.push_back({device_, inode_, "'" + path_ + "'"});
    return;
  }
  // A file with no write permission is kept as it is, even for root.
  if (exists && (access(target_.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0))
    Fail("it is read-only");
  const fs::path target(target_);
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string pattern = (dir / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  fd_ = mkstemp(buffer.data());
  if (fd_ < 0) Fail(std::strerror(errno));
  temp_ = buffer.data();
  Remember(temp_);
  replacing_ = true;
  if (exists) {
    // The replacement keeps what the old file had: its mode and, where we may, its owner.
    fchmod(fd_, st.st_mode & 07777);
    if (geteuid() == 0 && fchown(fd_, st.st_uid, st.st_gid) != 0) {
    }
  } else {
    // mkstemp makes the file private; a new output gets the usual mode.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
  }
  struct stat made {};
  if (fstat(fd_, &made) == 0) outputs.push_back({made.st_dev, made.st_ino, "'" + path_ + "'"});
  if (exists) outputs.push_back({device_, inode_, "'" + path_ + "'"});
}

OutputFile::~OutputFile() {
  if (fd_ >= 0 && fd_ != STDOUT_FILENO) close(fd_);
  if (!committed_ && !temp_.empty()) unlink(temp_.c_str());
  if (!temp_.empty()) Forget(temp_);
}

std::string OutputFile::Name() const { return path_ == "-" ? "standard output" : "'" + path_ + "'"; }

std::string OutputFile::WritePath() const {
  if (replacing_) return temp_;
  return path_ == "-" ? "/dev/stdout" : target_;
}

void OutputFile::Fail(const std::string& what) const {
  throw ToolError(path_ == "-" ? "cannot write standard output: " + what : "cannot write '" + path_ + "': " + what);
}

void OutputFile::Write(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail(std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
  written_ += done;
#ifdef SYNC_FILE_RANGE_WRITE
  // A file that Commit will fsync: have the disk start on what is written
  // while the run goes on, so that the fsync waits only for the tail. This
  // asks for no durability by itself (Commit's fsync still does that), and
  // an error here shows again there.
  if (replacing_ && written_ - writeback_ >= kWritebackStep) {
    sync_file_range(fd_, static_cast<off_t>(writeback_), static_cast<off_t>(written_ - writeback_), SYNC_FILE_RANGE_WRITE);
    writeback_ = written_;
  }
#endif
}

void OutputFile::WriteText(const std::string& text) {
  Write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void OutputFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (!replacing_) return;
  if (pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(bytes.size()))
    Fail(std::strerror(errno));
}

void OutputFile::Commit() {
  if (committed_) return;
  if (!replacing_) {
    if (fd_ != STDOUT_FILENO && fd_ >= 0) {
      if (close(fd_) != 0) Fail(std::strerror(errno));
      fd_ = -1;
    }
    committed_ = true;
    return;
  }
  // Make the data durable before the name points at it.
  if (fsync(fd_) != 0 && errno != EINVAL) Fail(std::strerror(errno));
  if (close(fd_) != 0) {
    fd_ = -1;
    Fail(std::strerror(errno));
  }
  fd_ = -1;
  if (rename(temp_.c_str(), target_.c_str()) != 0) Fail(std::strerror(errno));
  committed_ = true;
  Forget(temp_);
}

}  // namespace tool
