// A broken kernel rule, as the host reports it.
#pragma once

#include <functional>
#include <string>

namespace host {

struct Violation {
  std::string rule;     // "IRQL", "pool", "lock order", "irp", ...
  std::string message;  // starts with the rule: "pool: double free of 0x... (tag PcCr)"
};

// Decides what a violation does. The default prints it and aborts, as the
// kernel's bug check would; tests record and carry on. A handler that
// returns lets the kernel continue with the safest behaviour it has (a
// foreign free frees nothing, a wait that can never be satisfied times out).
using ViolationHandler = std::function<void(const Violation&)>;

}  // namespace host
