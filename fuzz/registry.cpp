// The .reg reader and writer. An input that starts with a NUL byte builds a
// tree through the API from arbitrary names and values (what a driver could
// store); any other input is a .reg file imported over a small tree.
//
//   a failed import changes nothing;
//   a file that imports yields a tree the writer can carry, and
//   import, export, import gives the same tree;
//   save, load gives the same tree (through the UTF-16LE bytes SaveFile writes);
//   a tree the writer cannot carry is refused on save, never written half-right.
#include <cstdio>
#include <map>
#include <string>

#include "fuzz_input.h"
#include "host/registry.h"

namespace {

using Tree = std::map<std::wstring, std::map<std::wstring, host::RegistryValue>>;

void Walk(const host::Registry& registry, const std::wstring& path, Tree& tree) {
  auto& values = tree[path];
  for (const std::wstring& name : registry.ValueNames(path)) values[name] = *registry.GetValue(path, name);
  for (const std::wstring& sub : registry.SubkeyNames(path)) Walk(registry, path.empty() ? sub : path + L"\\" + sub, tree);
}

// The tree as text with every character spelled out, for a failure message.
std::string Render(const Tree& tree) {
  std::string out;
  auto put = [&](const std::wstring& text) {
    for (wchar_t c : text) {
      char hex[16];
      std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F ? "%c" : "<%X>", static_cast<unsigned>(c));
      out += hex;
    }
  };
  for (const auto& [path, values] : tree) {
    out += "[";
    put(path);
    out += "]\n";
    for (const auto& [name, value] : values) {
      out += "  \"";
      put(name);
      out += "\" type " + std::to_string(value.type) + ", " + std::to_string(value.data.size()) + " bytes\n";
    }
  }
  return out;
}

Tree Snapshot(const host::Registry& registry) {
  Tree tree;
  Walk(registry, L"", tree);
  return tree;
}

const std::wstring kKey = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor";

void Populate(host::Registry& registry) {
  registry.SetValue(kKey, L"Option", host::RegistryValue::Dword(1));
  registry.SetValue(kKey, L"Caf\u00E9", host::RegistryValue::String(L"cr\u00E8me \U0001F3B5"));
  registry.SetValue(kKey + L"\\Sub", L"", host::RegistryValue::Binary({1, 2, 3}, REG_QWORD));
}

// Save, load: the bytes SaveFile would write read back to the same tree.
void CheckSaveLoad(const host::Registry& registry) {
  std::string bytes, error;
  if (!registry.EncodeFile(bytes, &error)) {
    if (registry.Writable()) fuzz::Fail("a writable tree was refused on save: " + error);
    return;
  }
  if (!registry.Writable()) fuzz::Fail("an unwritable tree was saved");
  host::Registry loaded;
  if (!loaded.Import(bytes, &error)) fuzz::Fail("what was saved does not load: " + error);
  if (Snapshot(loaded) != Snapshot(registry)) fuzz::Fail("save, load changed the tree");
}

void CheckExportImport(const host::Registry& registry) {
  const std::string text = registry.Export();
  host::Registry copy;
  std::string error;
  if (!copy.Import(text, &error)) fuzz::Fail("an export does not import: " + error + "\n" + text);
  if (Snapshot(copy) != Snapshot(registry))
    fuzz::Fail("import, export, import changed the tree\n" + Render(Snapshot(registry)) + "became\n" +
               Render(Snapshot(copy)));
  if (copy.Export() != text) fuzz::Fail("a second export differs from the first");
}

// Any character a wide string can hold, with the awkward ones likely.
std::wstring Name(fuzz::Input& in) {
  static const wchar_t kAwkward[] = {L'\\', L'"', L'-', L'@', L'[', L']', L'\n', L'\r', L'\t', L'\0', L' ', L'=',
                                     static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0xDFFF),
                                     static_cast<wchar_t>(0x110000), L'\u00E9', L'\U0001F3B5', L';'};
  std::wstring name;
  for (std::uint8_t length = in.Byte() % 8; length > 0; --length) {
    const std::uint8_t kind = in.Byte();
    if (kind < 128) name += static_cast<wchar_t>(kind);
    else if (kind < 200) name += in.Pick(kAwkward);
    else name += static_cast<wchar_t>(in.U32() % 0x110010);
  }
  return name;
}

void BuildThroughTheApi(fuzz::Input& in) {
  host::Registry registry;
  for (int operations = 0; operations < 24 && !in.Empty(); ++operations) {
    std::wstring path = Name(in);
    for (std::uint8_t depth = in.Byte() % 3; depth > 0; --depth) path += L"\\" + Name(in);
    const std::wstring name = Name(in);
    const ULONG type = in.Bool() ? in.U32() : in.Byte() % 12;
    std::vector<std::uint8_t> data = in.Bytes(in.Byte() % 16);
    if (in.Bool()) registry.SetValue(path, name, host::RegistryValue::Binary(std::move(data), type));
    else registry.CreateKey(path);
  }
  if (registry.Writable()) CheckExportImport(registry);
  CheckSaveLoad(registry);
}

void ImportFile(const std::uint8_t* data, std::size_t size) {
  host::Registry registry;
  Populate(registry);
  const Tree before = Snapshot(registry);
  std::string error;
  if (!registry.Import(std::string(reinterpret_cast<const char*>(data), size), &error)) {
    if (error.rfind("line ", 0) != 0) fuzz::Fail("a refusal that names no line: " + error);
    if (Snapshot(registry) != before) fuzz::Fail("a failed import changed the tree: " + error);
    return;
  }
  std::string why;
  if (!registry.Writable(&why)) fuzz::Fail("an imported file gave a tree the writer cannot carry: " + why);
  CheckExportImport(registry);
  CheckSaveLoad(registry);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0 && data[0] == 0) {
    fuzz::Input in(data + 1, size - 1);
    BuildThroughTheApi(in);
  } else {
    ImportFile(data, size);
  }
  return 0;
}
