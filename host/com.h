// The framework's own objects: reference counted, allocated from the pool
// (so fault injection reaches them and a reference the driver forgets shows
// as a leak with the object's tag), with the kernel-mode COM faces of
// portcls.h.
#pragma once

#include <portcls.h>

#include <new>

namespace host {

// Host-private interface of a framework object, for the framework's own
// look-ups (PcRegisterSubdevice finding the port behind an IUnknown).
DEFINE_GUID(IID_IHostFrameworkObject, 0x5a9c0001L, 0x7a7a, 0x4c97, 0x9a, 0xc9, 0x7a, 0x61, 0x63, 0x39, 0x37, 0x01);

class FrameworkObject {
 public:
  virtual ~FrameworkObject() = default;

  // Pool-backed allocation; null on exhaustion (callers return
  // STATUS_INSUFFICIENT_RESOURCES).
  static void* operator new(std::size_t size, ULONG tag, POOL_TYPE type = NonPagedPool) noexcept;
  static void operator delete(void* pointer) noexcept;
  static void operator delete(void* pointer, ULONG, POOL_TYPE) noexcept;

 protected:
  ULONG AddRefImpl() { return static_cast<ULONG>(__atomic_add_fetch(&refs_, 1, __ATOMIC_SEQ_CST)); }
  ULONG ReleaseImpl() {
    const LONG count = __atomic_sub_fetch(&refs_, 1, __ATOMIC_SEQ_CST);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
  }
  LONG refs_ = 1;
};

// AddRef/Release of a framework object's faces.
#define HOST_FRAMEWORK_REFCOUNT()                                      \
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }     \
  STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

// Pool tags of the framework's objects.
constexpr ULONG kTagResourceList = 0x6C526350;  // "PcRl"
constexpr ULONG kTagPort = 0x74506350;          // "PcPt"
constexpr ULONG kTagInterruptSync = 0x73496350; // "PcIs"
constexpr ULONG kTagServiceGroup = 0x67536350;  // "PcSg"
constexpr ULONG kTagMiniport = 0x704D6350;      // "PcMp"
constexpr ULONG kTagDevice = 0x6F446350;        // "PcDo"
constexpr ULONG kTagRegistry = 0x6B526350;      // "PcRk"
constexpr ULONG kTagPnp = 0x20706E50;           // "Pnp ": the PnP manager's lists

}  // namespace host
