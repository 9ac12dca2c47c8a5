// The driver's routines and interfaces as the host receives them from a
// loaded image, routed through checked routines (host/image_boundary.h).
// Each interface's methods, their slots and their argument bytes come from
// the host's own declarations of the interfaces, which are the platform's.
#include <portcls.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "host/image/pe_image.h"
#include "host/image_boundary.h"

namespace host {
namespace {

// A stdcall method's argument bytes, `this` included. Only methods declared
// with the platform's COM convention have them.
template <typename T>
struct MethodArguments;
template <typename R, typename C, typename... A>
struct MethodArguments<R (__attribute__((stdcall)) C::*)(A...)> {
  static constexpr std::uint32_t kBytes = sizeof(C*) + (0u + ... + StackBytes<A>());
};

struct Method {
  std::size_t slot;
  std::uint32_t bytes;
  const char* name;
};

// The slot of a virtual method, from the compiler's representation of a
// pointer to it (1 + its byte offset in the table).
template <typename M>
std::size_t SlotOf(M method) {
  struct {
    std::uintptr_t pointer;
    std::ptrdiff_t adjust;
  } representation;
  static_assert(sizeof(method) == sizeof(representation));
  std::memcpy(&representation, &method, sizeof(representation));
  return (representation.pointer - 1) / sizeof(void*);
}

// Some argument types carry the platform's alignment as an attribute, which
// a template argument drops; their size, all that counts here, stays.
#pragma GCC diagnostic ignored "-Wignored-attributes"

#define ZATAC97_METHOD(Interface, Name) \
  Method { SlotOf(&Interface::Name), MethodArguments<decltype(&Interface::Name)>::kBytes, #Interface "::" #Name }

std::vector<Method> UnknownMethods() {
  return {ZATAC97_METHOD(IUnknown, QueryInterface), ZATAC97_METHOD(IUnknown, AddRef),
          ZATAC97_METHOD(IUnknown, Release)};
}

std::vector<Method> MiniportMethods() {
  std::vector<Method> m = UnknownMethods();
  m.push_back(ZATAC97_METHOD(IMiniport, GetDescription));
  m.push_back(ZATAC97_METHOD(IMiniport, DataRangeIntersection));
  return m;
}

struct Interface {
  const GUID* id;
  std::vector<Method> methods;
};

// The interfaces the host calls on the driver's objects.
const std::vector<Interface>& Interfaces() {
  static const std::vector<Interface> interfaces = [] {
    std::vector<Interface> all;
    all.push_back({&IID_IUnknown, UnknownMethods()});
    all.push_back({&IID_IMiniport, MiniportMethods()});
    {
      std::vector<Method> m = MiniportMethods();
      m.push_back(ZATAC97_METHOD(IMiniportTopology, Init));
      all.push_back({&IID_IMiniportTopology, m});
    }
    {
      std::vector<Method> m = MiniportMethods();
      m.push_back(ZATAC97_METHOD(IMiniportWavePci, Init));
      m.push_back(ZATAC97_METHOD(IMiniportWavePci, NewStream));
      m.push_back(ZATAC97_METHOD(IMiniportWavePci, Service));
      all.push_back({&IID_IMiniportWavePci, m});
    }
    {
      std::vector<Method> m = UnknownMethods();
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, SetFormat));
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, SetState));
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, GetPosition));
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, NormalizePhysicalPosition));
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, GetAllocatorFraming));
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, RevokeMappings));
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, MappingAvailable));
      m.push_back(ZATAC97_METHOD(IMiniportWavePciStream, Service));
      all.push_back({&IID_IMiniportWavePciStream, m});
    }
    {
      std::vector<Method> m = UnknownMethods();
      m.push_back(ZATAC97_METHOD(IAdapterPowerManagement, PowerChangeState));
      m.push_back(ZATAC97_METHOD(IAdapterPowerManagement, QueryPowerChangeState));
      m.push_back(ZATAC97_METHOD(IAdapterPowerManagement, QueryDeviceCapabilities));
      all.push_back({&IID_IAdapterPowerManagement, m});
    }
    {
      std::vector<Method> m = UnknownMethods();
      m.push_back(ZATAC97_METHOD(IServiceSink, RequestService));
      all.push_back({&IID_IServiceSink, m});
    }
    return all;
  }();
  return interfaces;
}

#undef ZATAC97_METHOD

}  // namespace

void* CheckedImageRoutine(void* routine, std::uint32_t argumentBytes, const char* what) {
  if (!routine || !InLoadedImage(reinterpret_cast<std::uintptr_t>(routine))) return routine;
  return CheckedRoutine(routine, Convention::kStdcall, argumentBytes, std::string("image ") + what);
}

void CheckImageInterface(const void* object, REFIID id) {
  if (!object) return;
  void** table = *static_cast<void** const*>(object);
  if (!InLoadedImage(reinterpret_cast<std::uintptr_t>(table))) return;
  for (const Interface& face : Interfaces()) {
    if (!IsEqualGUIDAligned(*face.id, id)) continue;
    for (const Method& method : face.methods) {
      void* target = table[method.slot];
      // A slot checked before holds its stub, which lies outside the image.
      if (!InLoadedImage(reinterpret_cast<std::uintptr_t>(target))) continue;
      void* checked = CheckedRoutine(target, Convention::kStdcall, method.bytes, std::string("image ") + method.name);
      __atomic_store_n(&table[method.slot], checked, __ATOMIC_RELEASE);
    }
    return;
  }
}

}  // namespace host
