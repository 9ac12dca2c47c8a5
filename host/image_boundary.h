// Where the host calls into a loaded kernel image (host/image), the call is
// checked: the routine must return with ESP where its declared convention
// puts it, with EBX, ESI, EDI and EBP preserved and the direction flag clear
// ("calling convention" violations otherwise). The host passes every routine
// and interface it receives from the driver through these at the point it
// takes them; for the compiled-in driver, and in every build but the 32-bit
// x86 one, they change nothing.
#pragma once

#include <portcls.h>

#include <cstdint>
#include <type_traits>

namespace host {

#if defined(__i386__)

// The bytes an argument of type A takes on the stack: a reference travels
// as a pointer, everything else rounded up to 4 bytes.
template <typename A>
constexpr std::uint32_t StackBytes() {
  if constexpr (std::is_reference_v<A>)
    return sizeof(void*);
  else
    return (sizeof(A) + 3u) & ~3u;
}

// The bytes of arguments a stdcall routine type takes. Only NTAPI routine
// types have them: a routine type declared without the platform's
// convention does not compile here.
template <typename T>
struct StdcallArguments;
template <typename R, typename... A>
struct StdcallArguments<R(__attribute__((stdcall)) *)(A...)> {
  static constexpr std::uint32_t kBytes = (0u + ... + StackBytes<A>());
};

// The routine as the host calls it: a checked one (named `what`) when it
// lies in a loaded image, else routine itself.
void* CheckedImageRoutine(void* routine, std::uint32_t argumentBytes, const char* what);

template <typename F>
F FromImage(F routine, const char* what) {
  return reinterpret_cast<F>(
      CheckedImageRoutine(reinterpret_cast<void*>(routine), StdcallArguments<F>::kBytes, what));
}

// When object's interface table lies in a loaded image, routes the methods
// of interface `id` (IUnknown's included) through checked routines, in the
// table itself, so that every call of them from then on is checked, the
// host's and the image's alike. Interfaces the host never calls on the
// driver's objects are left alone.
void CheckImageInterface(const void* object, REFIID id);

#else

template <typename F>
F FromImage(F routine, const char*) {
  return routine;
}
inline void CheckImageInterface(const void*, REFIID) {}

#endif

}  // namespace host
