// The registry: a tree of keys with typed values, loaded from and saved to
// the text the platform's registry editor imports ("Windows Registry Editor
// Version 5.00", [HKEY_LOCAL_MACHINE\...] key lines, "Name"=dword:0000abcd,
// hex:, hex(b): and the other hex(n): forms, "strings"), and the framework's
// IRegistryKey on top of it (PcNewRegistryKey).
#pragma once

#include <portcls.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<std::uint8_t> data;
  bool operator==(const RegistryValue&) const = default;

  static RegistryValue Dword(ULONG value);
  static RegistryValue String(const std::wstring& text, ULONG type = REG_SZ);  // UTF-16LE with its terminator
  static RegistryValue Binary(std::vector<std::uint8_t> bytes, ULONG type = REG_BINARY);
  std::optional<ULONG> AsDword() const;  // when the data is exactly 4 bytes
};

class Registry {
 public:
  // Paths are full key names ("HKEY_LOCAL_MACHINE\SYSTEM\..."); names
  // compare without regard to case, as the platform's do.
  static constexpr const wchar_t* kDefaultDriverKey =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
      L"{4D36E96C-E325-11CE-BFC1-08002BE10318}\\0000";
  static constexpr const wchar_t* kDefaultDeviceKey =
      L"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\VEN_1AF4&DEV_10F7\\0\\Device Parameters";

  Registry();

  bool KeyExists(const std::wstring& path) const;
  // Creates the key and its missing parents; returns whether it was new. A
  // volatile key (and every key under it) lives only as long as this tree:
  // Export and SaveFile leave it out. An existing key keeps its volatility.
  bool CreateKey(const std::wstring& path, bool isVolatile = false);
  bool IsVolatile(const std::wstring& path) const;
  // Removes a key without subkeys; false if missing or it has subkeys.
  bool DeleteKey(const std::wstring& path);
  std::vector<std::wstring> SubkeyNames(const std::wstring& path) const;

  std::optional<RegistryValue> GetValue(const std::wstring& path, const std::wstring& name) const;
  // Creates the key when missing.
  void SetValue(const std::wstring& path, const std::wstring& name, RegistryValue value);
  bool DeleteValue(const std::wstring& path, const std::wstring& name);
  std::vector<std::wstring> ValueNames(const std::wstring& path) const;
  void Clear();

  // ---- .reg text ----------------------------------------------------------------
  // Merges a .reg text into the tree: UTF-16LE with or without its byte-order
  // mark, UTF-8, or a REGEDIT4 file in Windows-1252 (see DecodeRegText). On a
  // malformed line or encoding nothing is changed and false is returned with
  // the line number and reason in `error`.
  bool Import(const std::string& text, std::string* error = nullptr);
  // Every key that holds a value or has no subkeys, in name order, in UTF-8;
  // volatile keys are left out. Import reads it back to the same tree when
  // Writable() holds.
  std::string Export() const;
  // Whether every key and value name can be carried by .reg text (names set
  // through the API may hold control characters or unpaired surrogates);
  // `error` names the first that cannot.
  bool Writable(std::string* error = nullptr) const;
  bool LoadFile(const std::string& path, std::string* error = nullptr);
  // Writes UTF-16LE with a byte-order mark and CRLF line ends, as the
  // registry editor writes and imports it; refuses (writing nothing) when
  // the tree is not Writable().
  bool SaveFile(const std::string& path, std::string* error = nullptr) const;
  // The bytes SaveFile writes (Import reads them back).
  bool EncodeFile(std::string& bytes, std::string* error = nullptr) const;

  // ---- Where PcNewRegistryKey points -------------------------------------------
  const std::wstring& DriverKeyPath() const { return driverKey_; }
  void SetDriverKeyPath(std::wstring path) { driverKey_ = std::move(path); }
  const std::wstring& DeviceKeyPath() const { return deviceKey_; }
  void SetDeviceKeyPath(std::wstring path) { deviceKey_ = std::move(path); }

  // ---- Fault knobs ----------------------------------------------------------------
  // PcNewRegistryKey fails with `status` (success clears the knob).
  void FailOpen(NTSTATUS status) { failOpen_ = status; }
  NTSTATUS OpenFailure() const { return failOpen_; }
  // NewSubKey for a subkey of this name fails with `status`.
  void FailSubKey(const std::wstring& name, NTSTATUS status);
  std::optional<NTSTATUS> SubKeyFailure(const std::wstring& name) const;
  // SetValueKey for a value of this name fails with `status`.
  void FailSetValue(const std::wstring& name, NTSTATUS status);
  std::optional<NTSTATUS> SetValueFailure(const std::wstring& name) const;
  void ClearFaults();

 private:
  struct Key {
    std::wstring name;  // as first created
    std::map<std::wstring, Key> subkeys;                 // by folded name
    std::map<std::wstring, std::pair<std::wstring, RegistryValue>> values;  // folded -> (name, value)
    bool isVolatile = false;
  };
  Key* Find(const std::wstring& path);
  const Key* Find(const std::wstring& path) const;
  Key* Create(const std::wstring& path, bool* created);
  void ExportKey(const Key& key, const std::wstring& path, std::string& out) const;
  bool CheckWritable(const Key& key, const std::wstring& path, std::string* error) const;

  Key root_;
  std::wstring driverKey_;
  std::wstring deviceKey_;
  NTSTATUS failOpen_ = STATUS_SUCCESS;
  std::map<std::wstring, NTSTATUS> failSubKey_;
  std::map<std::wstring, NTSTATUS> failSetValue_;
};

// Folds a key or value name for comparison ("AC97CodecSettings" == "ac97codecsettings").
std::wstring FoldName(const std::wstring& name);
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace host
