#include "host/registry.h"

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>
#include <type_traits>

#include "host/com.h"
#include "host/framework.h"
#include "host/kernel.h"
#include "host/reg_text.h"

namespace host {

// ---- Text helpers -------------------------------------------------------------------------

std::wstring FoldName(const std::wstring& name) {
  std::wstring folded = name;
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return folded;
}

namespace {

// What stands in for a character that has no encoding (U+FFFD).
constexpr std::uint32_t kReplacement = 0xFFFD;

std::uint32_t ScalarOr(wchar_t wc) {
  const auto c = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
  return c < 0xD800 || (c >= 0xE000 && c <= 0x10FFFF) ? c : kReplacement;
}

}  // namespace

// Never produces invalid UTF-8: what is not a Unicode scalar value becomes U+FFFD.
std::string ToUtf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    const std::uint32_t c = ScalarOr(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A malformed sequence becomes U+FFFD and decoding goes on after its first byte.
std::wstring FromUtf8(const std::string& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size();) {
    char32_t code;
    const std::size_t length = Utf8SequenceAt(text, i, code);
    out += static_cast<wchar_t>(length ? code : kReplacement);
    i += length ? length : 1;
  }
  return out;
}

namespace {

std::vector<std::uint8_t> ToUtf16Bytes(const std::wstring& text, bool terminator) {
  std::vector<std::uint8_t> bytes;
  auto put = [&](std::uint32_t unit) {
    bytes.push_back(static_cast<std::uint8_t>(unit));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
  };
  for (wchar_t wc : text) {
    std::uint32_t c = ScalarOr(wc);
    if (c >= 0x10000) {
      c -= 0x10000;
      put(0xD800 | (c >> 10));
      put(0xDC00 | (c & 0x3FF));
    } else {
      put(c);
    }
  }
  if (terminator) put(0);
  return bytes;
}

std::wstring FromUtf16Units(const std::vector<std::uint16_t>& units) {
  std::wstring out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t c = units[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    out += static_cast<wchar_t>(c);
  }
  return out;
}

std::vector<std::wstring> SplitPath(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

std::string Quote(const std::wstring& text) {
  std::string out = "\"";
  for (char c : ToUtf8(text)) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A REG_SZ that reads back to the same bytes from its "..." form.
std::optional<std::wstring> PlainString(const RegistryValue& value) {
  if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2) return std::nullopt;
  std::vector<std::uint16_t> units;
  for (std::size_t i = 0; i < value.data.size(); i += 2) units.push_back(value.data[i] | value.data[i + 1] << 8);
  if (units.back() != 0) return std::nullopt;
  units.pop_back();
  for (std::uint16_t u : units)
    if (u == 0 || u == '\n' || u == '\r') return std::nullopt;
  std::wstring text = FromUtf16Units(units);
  if (!WritableRegText(text) || ToUtf16Bytes(text, true) != value.data) return std::nullopt;
  return text;
}

std::string HexBytes(const std::vector<std::uint8_t>& data, std::size_t prefix) {
  std::string out;
  std::size_t column = prefix;
  for (std::size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x", data[i]);
    out += byte;
    column += 2;
    if (i + 1 < data.size()) {
      out += ',';
      ++column;
      if (column > 76) {
        out += "\\\n  ";
        column = 2;
      }
    }
  }
  return out;
}

}  // namespace

// ---- RegistryValue ----------------------------------------------------------------------------

RegistryValue RegistryValue::Dword(ULONG value) {
  return RegistryValue{REG_DWORD, {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)}};
}

RegistryValue RegistryValue::String(const std::wstring& text, ULONG type) {
  return RegistryValue{type, ToUtf16Bytes(text, true)};
}

RegistryValue RegistryValue::Binary(std::vector<std::uint8_t> bytes, ULONG type) {
  return RegistryValue{type, std::move(bytes)};
}

std::optional<ULONG> RegistryValue::AsDword() const {
  if (data.size() != 4) return std::nullopt;
  return static_cast<ULONG>(data[0] | data[1] << 8 | data[2] << 16 | static_cast<ULONG>(data[3]) << 24);
}

// ---- The tree ---------------------------------------------------------------------------------

Registry::Registry() : driverKey_(kDefaultDriverKey), deviceKey_(kDefaultDeviceKey) {}

Registry::Key* Registry::Find(const std::wstring& path) {
  Key* key = &root_;
  for (const std::wstring& part : SplitPath(path)) {
    auto found = key->subkeys.find(FoldName(part));
    if (found == key->subkeys.end()) return nullptr;
    key = &found->second;
  }
  return key;
}

const Registry::Key* Registry::Find(const std::wstring& path) const {
  return const_cast<Registry*>(this)->Find(path);
}

Registry::Key* Registry::Create(const std::wstring& path, bool* created) {
  Key* key = &root_;
  if (created) *created = false;
  for (const std::wstring& part : SplitPath(path)) {
    auto [it, inserted] = key->subkeys.try_emplace(FoldName(part));
    if (inserted) {
      it->second.name = part;
      if (created) *created = true;
    }
    key = &it->second;
  }
  return key;
}

bool Registry::KeyExists(const std::wstring& path) const { return !SplitPath(path).empty() && Find(path); }

bool Registry::CreateKey(const std::wstring& path, bool isVolatile) {
  bool created = false;
  Key* key = Create(path, &created);
  if (created && isVolatile) key->isVolatile = true;
  return created;
}

bool Registry::IsVolatile(const std::wstring& path) const {
  const Key* key = Find(path);
  return key && key->isVolatile;
}

bool Registry::DeleteKey(const std::wstring& path) {
  auto parts = SplitPath(path);
  if (parts.empty()) return false;
  const std::wstring last = FoldName(parts.back());
  parts.pop_back();
  Key* parent = &root_;
  for (const std::wstring& part : parts) {
    auto found = parent->subkeys.find(FoldName(part));
    if (found == parent->subkeys.end()) return false;
    parent = &found->second;
  }
  auto found = parent->subkeys.find(last);
  if (found == parent->subkeys.end() || !found->second.subkeys.empty()) return false;
  parent->subkeys.erase(found);
  return true;
}

std::vector<std::wstring> Registry::SubkeyNames(const std::wstring& path) const {
  std::vector<std::wstring> names;
  if (const Key* key = Find(path))
    for (const auto& [folded, sub] : key->subkeys) names.push_back(sub.name);
  return names;
}

std::optional<RegistryValue> Registry::GetValue(const std::wstring& path, const std::wstring& name) const {
  const Key* key = Find(path);
  if (!key) return std::nullopt;
  auto found = key->values.find(FoldName(name));
  if (found == key->values.end()) return std::nullopt;
  return found->second.second;
}

void Registry::SetValue(const std::wstring& path, const std::wstring& name, RegistryValue value) {
  Key* key = Create(path, nullptr);
  auto& slot = key->values[FoldName(name)];
  if (slot.first.empty()) slot.first = name;
  slot.second = std::move(value);
}

bool Registry::DeleteValue(const std::wstring& path, const std::wstring& name) {
  Key* key = Find(path);
  return key && key->values.erase(FoldName(name)) != 0;
}

std::vector<std::wstring> Registry::ValueNames(const std::wstring& path) const {
  std::vector<std::wstring> names;
  if (const Key* key = Find(path))
    for (const auto& [folded, entry] : key->values) names.push_back(entry.first);
  return names;
}

void Registry::Clear() { root_ = Key{}; }

// A success status clears the fault: an injected "failure" that succeeds
// without producing a key would hand the driver a null key.
void Registry::FailSubKey(const std::wstring& name, NTSTATUS status) {
  if (NT_SUCCESS(status))
    failSubKey_.erase(FoldName(name));
  else
    failSubKey_[FoldName(name)] = status;
}

std::optional<NTSTATUS> Registry::SubKeyFailure(const std::wstring& name) const {
  auto found = failSubKey_.find(FoldName(name));
  return found == failSubKey_.end() ? std::nullopt : std::optional<NTSTATUS>(found->second);
}

void Registry::FailSetValue(const std::wstring& name, NTSTATUS status) {
  if (NT_SUCCESS(status))
    failSetValue_.erase(FoldName(name));
  else
    failSetValue_[FoldName(name)] = status;
}

std::optional<NTSTATUS> Registry::SetValueFailure(const std::wstring& name) const {
  auto found = failSetValue_.find(FoldName(name));
  return found == failSetValue_.end() ? std::nullopt : std::optional<NTSTATUS>(found->second);
}

void Registry::ClearFaults() {
  failOpen_ = STATUS_SUCCESS;
  failSubKey_.clear();
  failSetValue_.clear();
}

// ---- .reg import --------------------------------------------------------------------------------

namespace {

// The platform's registry nests keys at most 512 levels deep.
constexpr std::size_t kMaxKeyDepth = 512;

// Reads a "..." string starting at s[pos] == '"'; pos ends after the closing quote.
bool ReadQuoted(const std::string& s, std::size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  ++pos;
  out.clear();
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return true;
    if (c == '\\') {
      if (pos >= s.size()) return false;
      c = s[pos++];
      if (c != '\\' && c != '"') return false;
    }
    out += c;
  }
  return false;
}

bool ParseHexBytes(const std::string& text, std::vector<std::uint8_t>& out) {
  out.clear();
  std::string digits;
  auto flush = [&]() -> bool {
    if (digits.empty()) return false;
    std::uint64_t byte;
    if (!ParseHexNumber(digits, 0xFF, byte) || digits.size() > 2) return false;
    out.push_back(static_cast<std::uint8_t>(byte));
    digits.clear();
    return true;
  };
  bool any = false;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits += c;
      any = true;
    } else if (c == ',') {
      if (!flush()) return false;
    } else if (c != ' ' && c != '\t') {
      return false;
    }
  }
  if (any) return flush();
  return digits.empty();
}

}  // namespace

bool Registry::Import(const std::string& raw, std::string* error) {
  std::string decoded;
  if (!DecodeRegText(raw, decoded, error)) return false;
  std::istringstream in(decoded);
  std::vector<std::pair<int, std::string>> lines;  // (first physical line number, logical line)
  std::string line;
  int number = 0;
  std::string pending;
  int pendingStart = 0;
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (pending.empty()) pendingStart = number;
    // A trailing backslash continues the line (long hex data).
    if (!line.empty() && line.back() == '\\') {
      pending += line.substr(0, line.size() - 1);
      continue;
    }
    pending += line;
    lines.push_back({pendingStart, pending});
    pending.clear();
  }
  if (!pending.empty()) lines.push_back({pendingStart, pending});

  auto fail = [&](int at, const std::string& why) {
    if (error) *error = "line " + std::to_string(at) + ": " + why;
    return false;
  };
  std::size_t first = 0;
  while (first < lines.size() && lines[first].second.empty()) ++first;
  if (first == lines.size()) return fail(0, "empty file");
  if (lines[first].second != "Windows Registry Editor Version 5.00" && lines[first].second != "REGEDIT4")
    return fail(lines[first].first, "missing the \"Windows Registry Editor Version 5.00\" header");

  Key saved = root_;
  std::optional<std::wstring> current;
  for (std::size_t i = first + 1; i < lines.size(); ++i) {
    const int at = lines[i].first;
    const std::string& text = lines[i].second;
    if (text.empty() || text[0] == ';') continue;
    if (text[0] == '[') {
      if (text.back() != ']' || text.size() < 3) return (root_ = saved, fail(at, "malformed key line"));
      std::string path = text.substr(1, text.size() - 2);
      if (path[0] == '-') {
        // Deletes the key and everything under it.
        std::wstring victim = FromUtf8(path.substr(1));
        auto parts = SplitPath(victim);
        if (!parts.empty()) {
          const std::wstring last = FoldName(parts.back());
          parts.pop_back();
          std::wstring parent;
          for (auto& p : parts) parent += p + L"\\";
          if (Key* k = parts.empty() ? &root_ : Find(parent)) k->subkeys.erase(last);
        }
        current.reset();
        continue;
      }
      const std::size_t depth = SplitPath(FromUtf8(path)).size();
      if (depth == 0) return (root_ = saved, fail(at, "empty key name"));
      if (depth > kMaxKeyDepth) return (root_ = saved, fail(at, "key nested deeper than 512 levels"));
      current = FromUtf8(path);
      Create(*current, nullptr);
      continue;
    }
    if (!current) return (root_ = saved, fail(at, "a value before any key line"));
    std::size_t pos = 0;
    std::string name;
    if (text[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(text, pos, name)) {
      return (root_ = saved, fail(at, "malformed value name"));
    }
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
    if (pos >= text.size() || text[pos] != '=') return (root_ = saved, fail(at, "missing '=' after the value name"));
    std::string data = Trim(text.substr(pos + 1));
    const std::wstring wname = FromUtf8(name);
    if (data == "-") {
      DeleteValue(*current, wname);
      continue;
    }
    RegistryValue value;
    if (!data.empty() && data[0] == '"') {
      std::size_t p = 0;
      std::string s;
      if (!ReadQuoted(data, p, s) || Trim(data.substr(p)) != "") return (root_ = saved, fail(at, "malformed string value"));
      value = RegistryValue::String(FromUtf8(s));
    } else if (data.rfind("dword:", 0) == 0) {
      std::uint64_t dword;
      const std::string digits = data.substr(6);
      if (digits.size() > 8 || !ParseHexNumber(digits, 0xFFFFFFFF, dword))
        return (root_ = saved, fail(at, "malformed dword value"));
      value = RegistryValue::Dword(static_cast<ULONG>(dword));
    } else if (data.rfind("hex", 0) == 0) {
      ULONG type = REG_BINARY;
      std::size_t colon = data.find(':');
      if (colon == std::string::npos) return (root_ = saved, fail(at, "malformed hex value"));
      const std::string head = data.substr(0, colon);
      if (head != "hex") {
        if (head.size() < 6 || head.compare(0, 4, "hex(") != 0 || head.back() != ')')
          return (root_ = saved, fail(at, "malformed hex type"));
        // A value type is 32 bits wide: a wider one is refused, never cut.
        std::uint64_t wide;
        const std::string t = head.substr(4, head.size() - 5);
        if (t.empty() || t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
          return (root_ = saved, fail(at, "malformed hex type"));
        if (!ParseHexNumber(t, 0xFFFFFFFF, wide)) return (root_ = saved, fail(at, "value type wider than 32 bits"));
        type = static_cast<ULONG>(wide);
      }
      if (!ParseHexBytes(data.substr(colon + 1), value.data)) return (root_ = saved, fail(at, "malformed hex bytes"));
      value.type = type;
    } else {
      return (root_ = saved, fail(at, "unknown value form"));
    }
    SetValue(*current, wname, std::move(value));
  }
  return true;
}

// ---- .reg export --------------------------------------------------------------------------------

void Registry::ExportKey(const Key& key, const std::wstring& path, std::string& out) const {
  if (key.isVolatile) return;  // lives only for the run, as on the platform
  if (!path.empty()) {
    // "[-" deletes a key: a first name that starts with '-' gets a leading
    // separator, which names the same key.
    out += (path[0] == L'-' ? "[\\" : "[") + ToUtf8(path) + "]\n";
    for (const auto& [folded, entry] : key.values) {
      const auto& [name, value] = entry;
      std::string line = name.empty() ? "@=" : Quote(name) + "=";
      if (auto text = PlainString(value)) {
        line += Quote(*text);
      } else if (value.type == REG_DWORD && value.data.size() == 4) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", *value.AsDword());
        line += digits;
      } else {
        char head[24];
        if (value.type == REG_BINARY)
          std::snprintf(head, sizeof head, "hex:");
        else
          std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(value.type));
        line += head;
        line += HexBytes(value.data, line.size());
      }
      out += line + "\n";
    }
    out += "\n";
  }
  for (const auto& [folded, sub] : key.subkeys) ExportKey(sub, path.empty() ? sub.name : path + L"\\" + sub.name, out);
}

bool Registry::CheckWritable(const Key& key, const std::wstring& path, std::string* error) const {
  auto refuse = [&](const std::string& what) {
    if (error) *error = what + " cannot be written as .reg text (a character the format cannot carry)";
    return false;
  };
  if (path.empty() && !key.values.empty()) return refuse("a value outside any key");
  if (!path.empty()) {
    if (!WritableRegText(key.name)) return refuse("key \"" + ToUtf8(path) + "\"");
    for (const auto& [folded, entry] : key.values)
      if (!WritableRegText(entry.first))
        return refuse("a value name in key \"" + ToUtf8(path) + "\"");
  }
  for (const auto& [folded, sub] : key.subkeys)
    if (!CheckWritable(sub, path.empty() ? sub.name : path + L"\\" + sub.name, error)) return false;
  return true;
}

bool Registry::Writable(std::string* error) const { return CheckWritable(root_, L"", error); }

std::string Registry::Export() const {
  std::string out = "Windows Registry Editor Version 5.00\n\n";
  ExportKey(root_, L"", out);
  return out;
}

bool Registry::LoadFile(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  std::ostringstream content;
  content << file.rdbuf();
  return Import(content.str(), error);
}

bool Registry::EncodeFile(std::string& bytes, std::string* error) const {
  // Refused before anything is written: a file the reader would reject is
  // worse than none.
  if (!Writable(error)) return false;
  std::string crlf;
  for (char c : Export()) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const std::vector<std::uint8_t> units = ToUtf16Bytes(FromUtf8(crlf), false);
  bytes.assign("\xFF\xFE");
  bytes.append(units.begin(), units.end());
  return true;
}

bool Registry::SaveFile(const std::string& path, std::string* error) const {
  std::string bytes;
  if (!EncodeFile(bytes, error)) return false;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

// ---- IRegistryKey -------------------------------------------------------------------------------

namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017CL);  // STATUS_KEY_DELETED
constexpr NTSTATUS kStatusChildMustBeVolatile = static_cast<NTSTATUS>(0xC0000181L);  // STATUS_CHILD_MUST_BE_VOLATILE

// The access rights of a key handle: generic rights map to the key's
// specific ones as the registry's generic mapping says.
constexpr ACCESS_MASK kDelete = 0x00010000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;
constexpr ACCESS_MASK kGenericRead = 0x80000000;

ACCESS_MASK GrantedAccess(ACCESS_MASK desired) {
  ACCESS_MASK granted = desired & 0x00FFFFFF & ~kMaximumAllowed;
  if (desired & (kGenericAll | kMaximumAllowed)) granted |= KEY_ALL_ACCESS;
  if (desired & (kGenericRead | kGenericExecute)) granted |= KEY_READ;
  if (desired & kGenericWrite) granted |= KEY_WRITE;
  return granted;
}
constexpr ULONG kPartialHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

bool NameOf(PUNICODE_STRING name, std::wstring& out) {
  if (!name || (name->Length && !name->Buffer) || name->Length % 2) return false;
  out.assign(name->Buffer, name->Length / sizeof(WCHAR));
  return true;
}

class RegistryKey final : public IRegistryKey, public FrameworkObject {
 public:
  RegistryKey(Registry& registry, std::wstring path, ACCESS_MASK access)
      : registry_(registry), path_(std::move(path)), access_(GrantedAccess(access)) {}

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
  HOST_FRAMEWORK_REFCOUNT()

  STDMETHODIMP_(NTSTATUS) QueryKey(KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG result) override {
    if (result) *result = 0;
    return STATUS_NOT_IMPLEMENTED;  // no key-information record is modelled
  }
  STDMETHODIMP_(NTSTATUS) EnumerateKey(ULONG, KEY_INFORMATION_CLASS, PVOID, ULONG, PULONG result) override {
    if (result) *result = 0;
    return STATUS_NOT_IMPLEMENTED;
  }

  STDMETHODIMP_(NTSTATUS) QueryValueKey(PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                                        PVOID buffer, ULONG length, PULONG resultLength) override {
    if (!Passive("IRegistryKey::QueryValueKey")) return STATUS_INVALID_DEVICE_STATE;
    if (!(access_ & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    std::wstring name;
    if (!NameOf(valueName, name) || !resultLength) return STATUS_INVALID_PARAMETER;
    if (!registry_.KeyExists(path_)) return kStatusKeyDeleted;
    if (infoClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    const auto value = registry_.GetValue(path_, name);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillPartial(*value, buffer, length, resultLength);
  }

  STDMETHODIMP_(NTSTATUS) EnumerateValueKey(ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer,
                                            ULONG length, PULONG resultLength) override {
    if (!Passive("IRegistryKey::EnumerateValueKey")) return STATUS_INVALID_DEVICE_STATE;
    if (!(access_ & KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
    if (!resultLength || infoClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    if (!registry_.KeyExists(path_)) return kStatusKeyDeleted;
    const auto names = registry_.ValueNames(path_);
    if (index >= names.size()) return STATUS_NO_MORE_ENTRIES;
    return FillPartial(*registry_.GetValue(path_, names[index]), buffer, length, resultLength);
  }

  STDMETHODIMP_(NTSTATUS) SetValueKey(PUNICODE_STRING valueName, ULONG type, PVOID data, ULONG size) override {
    if (!Passive("IRegistryKey::SetValueKey")) return STATUS_INVALID_DEVICE_STATE;
    if (!(access_ & KEY_SET_VALUE)) return STATUS_ACCESS_DENIED;
    std::wstring name;
    if (!NameOf(valueName, name) || (size && !data)) return STATUS_INVALID_PARAMETER;
    if (!registry_.KeyExists(path_)) return kStatusKeyDeleted;
    if (auto failure = registry_.SetValueFailure(name)) return *failure;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    registry_.SetValue(path_, name, RegistryValue{type, std::vector<std::uint8_t>(bytes, bytes + size)});
    return STATUS_SUCCESS;
  }

  STDMETHODIMP_(NTSTATUS) QueryRegistryValues(PRTL_QUERY_REGISTRY_TABLE, PVOID) override {
    return STATUS_NOT_IMPLEMENTED;  // RTL query tables are not modelled
  }

  STDMETHODIMP_(NTSTATUS) NewSubKey(IRegistryKey** out, PUNKNOWN, ACCESS_MASK access, PUNICODE_STRING subKeyName,
                                    ULONG options, PULONG disposition) override {
    if (!Passive("IRegistryKey::NewSubKey")) return STATUS_INVALID_DEVICE_STATE;
    std::wstring name;
    if (!out || !NameOf(subKeyName, name) || name.empty()) return STATUS_INVALID_PARAMETER;
    if (!registry_.KeyExists(path_)) return kStatusKeyDeleted;
    if (auto failure = registry_.SubKeyFailure(name)) return *failure;
    const std::wstring path = path_ + L"\\" + name;
    // Creating a key needs the right on its parent; opening one does not.
    // An existing key keeps its volatility; a new one under a volatile key
    // must be volatile itself.
    const bool exists = registry_.KeyExists(path);
    const bool isVolatile = (options & REG_OPTION_VOLATILE) != 0;
    if (!exists && !(access_ & KEY_CREATE_SUB_KEY)) return STATUS_ACCESS_DENIED;
    if (!exists && !isVolatile && registry_.IsVolatile(path_)) return kStatusChildMustBeVolatile;
    auto* key = new (kTagRegistry) RegistryKey(registry_, path, access);
    if (!key) return STATUS_INSUFFICIENT_RESOURCES;
    const bool created = registry_.CreateKey(path, isVolatile);
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *out = key;
    return STATUS_SUCCESS;
  }

  STDMETHODIMP_(NTSTATUS) DeleteKey() override {
    if (!Passive("IRegistryKey::DeleteKey")) return STATUS_INVALID_DEVICE_STATE;
    if (!(access_ & kDelete)) return STATUS_ACCESS_DENIED;
    if (!registry_.KeyExists(path_)) return kStatusKeyDeleted;
    return registry_.DeleteKey(path_) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
  }

 private:
  static bool Passive(const char* caller) {
    return Kernel::Require(caller).CheckIrqlAtMost(PASSIVE_LEVEL, caller);
  }

  // The platform's size rules: too small for the fixed header, too small
  // for the data (the header is filled), or all of it; ResultLength is
  // always the full size.
  static NTSTATUS FillPartial(const RegistryValue& value, PVOID buffer, ULONG length, PULONG resultLength) {
    const ULONG full = kPartialHeader + static_cast<ULONG>(value.data.size());
    *resultLength = full;
    if (length < kPartialHeader || !buffer) return STATUS_BUFFER_TOO_SMALL;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    info->TitleIndex = 0;
    info->Type = value.type;
    info->DataLength = static_cast<ULONG>(value.data.size());
    if (length < full) return STATUS_BUFFER_OVERFLOW;
    if (!value.data.empty()) std::memcpy(info->Data, value.data.data(), value.data.size());
    return STATUS_SUCCESS;
  }

  Registry& registry_;
  std::wstring path_;
  ACCESS_MASK access_;
};

}  // namespace

}  // namespace host

NTSTATUS NTAPI PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN, ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,
                                PVOID DeviceObject, PVOID, POBJECT_ATTRIBUTES, ULONG, PULONG Disposition) {
  host::Kernel& kernel = host::Kernel::Require("PcNewRegistryKey");
  if (!kernel.CheckIrqlAtMost(PASSIVE_LEVEL, "PcNewRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
  if (!OutRegistryKey) return STATUS_INVALID_PARAMETER;
  host::Registry& registry = kernel.GetRegistry();
  if (!NT_SUCCESS(registry.OpenFailure())) return registry.OpenFailure();
  auto* device = static_cast<PDEVICE_OBJECT>(DeviceObject);
  const bool known = device && (host::DeviceContext::Find(device) ||
                                (device->AttachedDevice && host::DeviceContext::Find(device->AttachedDevice)));
  std::wstring path;
  switch (RegistryKeyType) {
    case DriverRegistryKey: path = registry.DriverKeyPath(); break;
    case DeviceRegistryKey: path = registry.DeviceKeyPath(); break;
    default: return STATUS_NOT_SUPPORTED;  // keys named by object attributes are not modelled
  }
  if (!known) return STATUS_INVALID_PARAMETER;
  auto* key = new (host::kTagRegistry) host::RegistryKey(registry, path, DesiredAccess);
  if (!key) return STATUS_INSUFFICIENT_RESOURCES;
  // The device's keys exist once it is installed.
  const bool created = registry.CreateKey(path);
  if (Disposition) *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *OutRegistryKey = key;
  return STATUS_SUCCESS;
}
