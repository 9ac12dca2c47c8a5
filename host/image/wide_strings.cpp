// The one place the image and the host disagree on a type: the image's WCHAR
// is 2-byte UTF-16 (the DDK's), the host's is its compiler's wchar_t. The
// routines that take a wide string from the image are bound to these
// adapters, which carry the string across in the host's width; the registry
// keys the image receives are wrapped so that the names it passes through
// their methods are carried across the same way.
#include <portcls.h>

#include <atomic>
#include <string>

#include "host/image/pe_image.h"

namespace host {
namespace {

using Utf16 = char16_t;

std::wstring FromImage(const Utf16* s, std::size_t units) {
  std::wstring out;
  out.reserve(units);
  for (std::size_t i = 0; i < units; ++i) out.push_back(static_cast<wchar_t>(s[i]));
  return out;
}

std::wstring FromImage(const Utf16* s) {
  std::size_t n = 0;
  while (s && s[n]) ++n;
  return FromImage(s, n);
}

// An image-side UNICODE_STRING (Length in bytes of 2-byte units) read as the
// host's text.
std::wstring FromImage(PCUNICODE_STRING s) {
  if (!s || !s->Buffer) return std::wstring();
  return FromImage(reinterpret_cast<const Utf16*>(s->Buffer), s->Length / sizeof(Utf16));
}

// Holds a host-width copy of a string for the length of one call.
struct HostString {
  explicit HostString(std::wstring text) : text_(std::move(text)) {
    value_.Length = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
    value_.MaximumLength = value_.Length;
    value_.Buffer = text_.data();
  }
  PUNICODE_STRING get() { return &value_; }
  std::wstring text_;
  UNICODE_STRING value_{};
};

// A registry key handed to the image: every method forwards to the host's
// key; the ones that take a name carry it across to the host's width.
class ImageRegistryKey final : public IRegistryKey {
 public:
  explicit ImageRegistryKey(PREGISTRYKEY inner) : inner_(inner) {}

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override {
    if (!out) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_IRegistryKey)) {
      *out = static_cast<IRegistryKey*>(this);
      AddRef();
      return STATUS_SUCCESS;
    }
    *out = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      inner_->Release();
      delete this;
    }
    return left;
  }
  STDMETHODIMP_(NTSTATUS) QueryKey(KEY_INFORMATION_CLASS c, PVOID info, ULONG length, PULONG result) override {
    return inner_->QueryKey(c, info, length, result);
  }
  STDMETHODIMP_(NTSTATUS) EnumerateKey(ULONG index, KEY_INFORMATION_CLASS c, PVOID info, ULONG length,
                                       PULONG result) override {
    return inner_->EnumerateKey(index, c, info, length, result);
  }
  STDMETHODIMP_(NTSTATUS) QueryValueKey(PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS c, PVOID info,
                                        ULONG length, PULONG result) override {
    HostString hostName(FromImage(name));
    return inner_->QueryValueKey(name ? hostName.get() : nullptr, c, info, length, result);
  }
  STDMETHODIMP_(NTSTATUS) EnumerateValueKey(ULONG index, KEY_VALUE_INFORMATION_CLASS c, PVOID info, ULONG length,
                                            PULONG result) override {
    return inner_->EnumerateValueKey(index, c, info, length, result);
  }
  STDMETHODIMP_(NTSTATUS) SetValueKey(PUNICODE_STRING name, ULONG type, PVOID data, ULONG size) override {
    HostString hostName(FromImage(name));
    return inner_->SetValueKey(name ? hostName.get() : nullptr, type, data, size);
  }
  STDMETHODIMP_(NTSTATUS) QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE table, PVOID context) override {
    return inner_->QueryRegistryValues(table, context);
  }
  STDMETHODIMP_(NTSTATUS) NewSubKey(IRegistryKey** out, PUNKNOWN outer, ACCESS_MASK access, PUNICODE_STRING name,
                                    ULONG options, PULONG disposition) override {
    if (!out) return inner_->NewSubKey(out, outer, access, nullptr, options, disposition);
    HostString hostName(FromImage(name));
    PREGISTRYKEY sub = nullptr;
    const NTSTATUS status = inner_->NewSubKey(&sub, outer, access, name ? hostName.get() : nullptr, options,
                                              disposition);
    *out = Wrap(status, sub);
    return status;
  }
  STDMETHODIMP_(NTSTATUS) DeleteKey() override { return inner_->DeleteKey(); }

  static PREGISTRYKEY Wrap(NTSTATUS status, PREGISTRYKEY key) {
    if (!NT_SUCCESS(status) || !key) return key;
    return new ImageRegistryKey(key);
  }

 private:
  PREGISTRYKEY inner_;
  std::atomic<ULONG> refs_{1};
};

VOID NTAPI ImageRtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  // The image's string stays where it is; only its length is in its own units.
  const Utf16* s = reinterpret_cast<const Utf16*>(source);
  std::size_t n = 0;
  while (s && s[n]) ++n;
  destination->Buffer = const_cast<PWSTR>(source);
  destination->Length = static_cast<USHORT>(n * sizeof(Utf16));
  destination->MaximumLength = static_cast<USHORT>(s ? (n + 1) * sizeof(Utf16) : 0);
}

NTSTATUS NTAPI ImagePcRegisterSubdevice(PDEVICE_OBJECT device, PWCHAR name, PUNKNOWN unknown) {
  std::wstring hostName = FromImage(reinterpret_cast<const Utf16*>(name));
  return PcRegisterSubdevice(device, name ? hostName.data() : nullptr, unknown);
}

NTSTATUS NTAPI ImagePcNewRegistryKey(PREGISTRYKEY* out, PUNKNOWN outer, ULONG type, ACCESS_MASK access,
                                     PVOID device, PVOID subdevice, POBJECT_ATTRIBUTES attributes, ULONG options,
                                     PULONG disposition) {
  PREGISTRYKEY key = nullptr;
  const NTSTATUS status = PcNewRegistryKey(out ? &key : nullptr, outer, type, access, device, subdevice, attributes,
                                           options, disposition);
  if (out) *out = ImageRegistryKey::Wrap(status, key);
  return status;
}

}  // namespace

std::vector<ImageExport> ImageExports() {
  std::vector<ImageExport> exports = KernelExports();
  for (ImageExport& e : exports) {
    const std::string name = e.name;
    if (name == "RtlInitUnicodeString") e.address = reinterpret_cast<void*>(&ImageRtlInitUnicodeString);
    if (name == "PcRegisterSubdevice") e.address = reinterpret_cast<void*>(&ImagePcRegisterSubdevice);
    if (name == "PcNewRegistryKey") e.address = reinterpret_cast<void*>(&ImagePcNewRegistryKey);
  }
  return exports;
}

}  // namespace host
