#include "host/com.h"

#include "host/kernel.h"

namespace host {

void* FrameworkObject::operator new(std::size_t size, ULONG tag, POOL_TYPE type) noexcept {
  return Kernel::Require("the framework").GetPool().Allocate(type, size, tag);
}

void FrameworkObject::operator delete(void* pointer) noexcept {
  if (pointer) Kernel::Require("the framework").GetPool().Free(pointer, std::nullopt);
}

void FrameworkObject::operator delete(void* pointer, ULONG, POOL_TYPE) noexcept {
  if (pointer) Kernel::Require("the framework").GetPool().Free(pointer, std::nullopt);
}

}  // namespace host
