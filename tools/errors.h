// How the program fails: one exception type carrying the message for
// standard error and the exit status, caught once in main().
#pragma once

#include <stdexcept>
#include <string>

namespace tool {

// Exit statuses, so scripts can tell a bad request from a misbehaving driver.
enum ExitStatus : int {
  kExitOk = 0,
  kExitBadInput = 1,     // a file, format, control, value or registry file we cannot use, or a limit of ours
  kExitUsage = 2,        // the command line itself is wrong
  kExitDriverFault = 3,  // the driver or the kernel stand-in reported a failure
};

class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message, int status = kExitBadInput)
      : std::runtime_error(message), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

// A limit of this program or of the framework stand-in (buffer count, DMA
// arena), not a fault of the driver.
inline ToolError FrameworkLimit(const std::string& message) { return ToolError(message, kExitBadInput); }

// A failure of the driver or of a kernel rule, not of the user's input.
inline ToolError DriverFault(const std::string& message) { return ToolError(message, kExitDriverFault); }

}  // namespace tool
