#include "host/image/pe_image.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace host {
namespace {

// The PE format's numbers, as Microsoft publishes them for PE/COFF images.
constexpr std::uint16_t kDosMagic = 0x5A4D;           // "MZ"
constexpr std::uint32_t kPeSignature = 0x00004550;    // "PE\0\0"
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kOptionalMagicPe32 = 0x010B;
constexpr std::uint32_t kDirectoryImport = 1;
constexpr std::uint32_t kDirectoryBaseReloc = 5;
constexpr std::uint16_t kRelocAbsolute = 0;
constexpr std::uint16_t kRelocHighLow = 3;
constexpr std::uint32_t kImportByOrdinal = 0x80000000u;

// Reads a little-endian value at offset of a byte range, or fails.
template <typename T>
bool Read(const std::uint8_t* data, std::size_t size, std::size_t offset, T* out) {
  if (offset > size || sizeof(T) > size - offset) return false;
  std::memcpy(out, data + offset, sizeof(T));
  return true;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::string Hex(std::uint32_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

}  // namespace

std::unique_ptr<PeImage> PeImage::Load(const std::string& path, const std::vector<ImageExport>& exports,
                                       std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return nullptr;
  }
  std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto image = Load(file, exports, error);
  if (!image) *error = path + ": " + *error;
  return image;
}

std::unique_ptr<PeImage> PeImage::Load(const std::vector<std::uint8_t>& file,
                                       const std::vector<ImageExport>& exports, std::string* error) {
  std::unique_ptr<PeImage> image(new PeImage);
  if (!image->Map(file, error) || !image->Relocate(error) || !image->Bind(exports, error)) return nullptr;
  return image;
}

PeImage::~PeImage() {
  if (base_) munmap(base_, size_);
}

PDRIVER_INITIALIZE PeImage::EntryPoint() const {
  return reinterpret_cast<PDRIVER_INITIALIZE>(base_ + entryRva_);
}

std::string PeImage::SectionOf(std::uintptr_t address) const {
  if (!Contains(address)) return "";
  const std::uint32_t rva = static_cast<std::uint32_t>(address - Base());
  for (const Section& s : sections_)
    if (rva >= s.rva && rva - s.rva < s.size) return s.name;
  return "";
}

bool PeImage::ReadLinkMap(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "no link map " + path;
    return false;
  }
  // GNU ld lists each symbol on a line of its own: its address, then its name.
  std::map<std::string, std::uint32_t> symbols;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string address, name, rest;
    if (!(fields >> address >> name) || (fields >> rest) || address.rfind("0x", 0) != 0) continue;
    if (!(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) continue;
    char* end = nullptr;
    const unsigned long value = std::strtoul(address.c_str() + 2, &end, 16);
    if (*end || value < preferredBase_ || value - preferredBase_ >= size_) continue;
    symbols[name] = static_cast<std::uint32_t>(value);
  }
  if (symbols.empty()) {
    *error = path + " names no symbol of this image";
    return false;
  }
  symbols_ = std::move(symbols);
  return true;
}

void* PeImage::Symbol(const std::string& name) const {
  const auto found = symbols_.find(name);
  if (found == symbols_.end()) return nullptr;
  return base_ + (found->second - preferredBase_);
}

bool PeImage::CheckImportConventions(std::string* error) {
  // The map's names by address, for the import slots only.
  std::map<std::uint32_t, std::string> slotNames;
  for (const auto& [name, address] : symbols_)
    if (name.rfind("_imp_", 0) == 0) slotNames[address - preferredBase_] = name;
  struct Checked {
    std::uint32_t slot;
    Convention convention;
    std::uint32_t bytes;
  };
  std::vector<Checked> checked;
  std::vector<std::string> unnamed;
  for (std::size_t i = 0; i < importSlots_.size(); ++i) {
    const auto found = slotNames.find(importSlots_[i]);
    if (found == slotNames.end()) {
      unnamed.push_back(imports_[i]);
      continue;
    }
    // "_imp_" then the symbol as the compiler decorated it.
    const std::string symbol = found->second.substr(5);
    Convention convention = Convention::kCdecl;
    std::uint32_t bytes = 0;
    const std::size_t at = symbol.rfind('@');
    if (at != std::string::npos && at > 0) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(symbol.c_str() + at + 1, &end, 10);
      if (*end || at + 1 == symbol.size() || n > 0xFFFF) {
        *error = "link map names the slot of " + imports_[i] + " " + found->second + ": not a decoration";
        return false;
      }
      convention = symbol[0] == '@' ? Convention::kFastcall : Convention::kStdcall;
      bytes = static_cast<std::uint32_t>(n);
    }
    checked.push_back({importSlots_[i], convention, bytes});
  }
  if (!unnamed.empty()) {
    *error = "the link map names no import slot for ";
    for (std::size_t i = 0; i < unnamed.size(); ++i) *error += (i ? ", " : "") + unnamed[i];
    return false;
  }
  for (std::size_t i = 0; i < checked.size(); ++i) {
    void* target = nullptr;
    std::memcpy(&target, base_ + checked[i].slot, 4);
    void* stub = CheckedRoutine(target, checked[i].convention, checked[i].bytes, imports_[i]);
    std::memcpy(base_ + checked[i].slot, &stub, 4);
  }
  return true;
}

bool PeImage::Map(const std::vector<std::uint8_t>& file, std::string* error) {
  const std::uint8_t* data = file.data();
  const std::size_t size = file.size();
  std::uint16_t magic = 0;
  std::uint32_t peOffset = 0, signature = 0;
  if (!Read(data, size, 0, &magic) || magic != kDosMagic || !Read(data, size, 0x3C, &peOffset) ||
      !Read(data, size, peOffset, &signature) || signature != kPeSignature) {
    *error = "not a PE image (no MZ header or PE signature)";
    return false;
  }
  const std::size_t coff = std::size_t{peOffset} + 4;
  std::uint16_t machine = 0, sectionCount = 0, optionalSize = 0, optionalMagic = 0;
  if (!Read(data, size, coff + 0, &machine) || !Read(data, size, coff + 2, &sectionCount) ||
      !Read(data, size, coff + 16, &optionalSize)) {
    *error = "truncated file header";
    return false;
  }
  if (machine != kMachineI386) {
    *error = "machine " + Hex(machine) + " is not 32-bit x86";
    return false;
  }
  const std::size_t optional = coff + 20;
  // The PE32 header up to its directory count is 96 bytes; anything shorter
  // would have the fields below read from the section table.
  if (optionalSize < 96) {
    *error = "optional header of " + std::to_string(optionalSize) + " bytes is too short for PE32";
    return false;
  }
  std::uint32_t sizeOfImage = 0, sizeOfHeaders = 0, directoryCount = 0;
  if (!Read(data, size, optional + 0, &optionalMagic) || optionalMagic != kOptionalMagicPe32 ||
      !Read(data, size, optional + 16, &entryRva_) || !Read(data, size, optional + 28, &preferredBase_) ||
      !Read(data, size, optional + 56, &sizeOfImage) || !Read(data, size, optional + 60, &sizeOfHeaders) ||
      !Read(data, size, optional + 92, &directoryCount)) {
    *error = "truncated or not a PE32 optional header";
    return false;
  }
  auto directory = [&](std::uint32_t index, std::uint32_t* rva, std::uint32_t* bytes) {
    if (index >= directoryCount || 96 + 8 * (index + 1) > optionalSize) return true;  // absent
    return Read(data, size, optional + 96 + 8 * index, rva) && Read(data, size, optional + 100 + 8 * index, bytes);
  };
  if (!directory(kDirectoryImport, &importRva_, &importSize_) ||
      !directory(kDirectoryBaseReloc, &relocRva_, &relocSize_)) {
    *error = "truncated data directories";
    return false;
  }
  if (sizeOfImage == 0 || sizeOfImage > (64u << 20) || sizeOfHeaders > sizeOfImage || sizeOfHeaders > size) {
    *error = "implausible image size " + Hex(sizeOfImage);
    return false;
  }
  void* memory = mmap(nullptr, sizeOfImage, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    *error = "cannot map " + std::to_string(sizeOfImage) + " bytes";
    return false;
  }
  base_ = static_cast<std::uint8_t*>(memory);
  size_ = sizeOfImage;
  std::memcpy(base_, data, sizeOfHeaders);

  const std::size_t table = optional + optionalSize;
  for (std::uint16_t i = 0; i < sectionCount; ++i) {
    const std::size_t at = table + 40u * i;
    char name[9] = {};
    std::uint32_t virtualSize = 0, rva = 0, rawSize = 0, rawOffset = 0;
    if (at + 40 > size || !Read(data, size, at + 8, &virtualSize) || !Read(data, size, at + 12, &rva) ||
        !Read(data, size, at + 16, &rawSize) || !Read(data, size, at + 20, &rawOffset)) {
      *error = "truncated section table";
      return false;
    }
    std::memcpy(name, data + at, 8);
    const std::uint32_t span = std::max(virtualSize, rawSize);
    if (rva < sizeOfHeaders || rva > sizeOfImage || span > sizeOfImage - rva) {
      *error = std::string("section ") + name + " lies outside the image";
      return false;
    }
    const std::uint32_t copy = std::min(rawSize, virtualSize ? virtualSize : rawSize);
    if (copy && (rawOffset > size || copy > size - rawOffset)) {
      *error = std::string("section ") + name + "'s data lies outside the file";
      return false;
    }
    if (copy) std::memcpy(base_ + rva, data + rawOffset, copy);
    sections_.push_back({name, rva, span});
  }
  if (entryRva_ == 0 || entryRva_ >= sizeOfImage || SectionOf(Base() + entryRva_).empty()) {
    *error = "entry point " + Hex(entryRva_) + " is in no section";
    return false;
  }
  return true;
}

bool PeImage::Relocate(std::string* error) {
  // The image is never where it asked to be (0x10000 is not ours to take), so
  // a missing relocation directory is an image no loader could place.
  if (relocRva_ == 0 || relocSize_ == 0) {
    *error = "the image has no base relocations and cannot be placed";
    return false;
  }
  if (relocRva_ > size_ || relocSize_ > size_ - relocRva_) {
    *error = "base relocations lie outside the image";
    return false;
  }
  const std::uint32_t delta = static_cast<std::uint32_t>(Base()) - preferredBase_;
  std::uint32_t at = relocRva_;
  const std::uint32_t end = relocRva_ + relocSize_;
  while (at + 8 <= end) {
    std::uint32_t page = 0, blockSize = 0;
    std::memcpy(&page, base_ + at, 4);
    std::memcpy(&blockSize, base_ + at + 4, 4);
    if (blockSize < 8 || blockSize > end - at || (blockSize & 1)) {
      *error = "malformed base relocation block at " + Hex(at);
      return false;
    }
    if (page >= size_) {
      *error = "base relocation block at " + Hex(at) + " names page " + Hex(page) + " outside the image";
      return false;
    }
    for (std::uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      std::uint16_t entry = 0;
      std::memcpy(&entry, base_ + e, 2);
      const std::uint16_t type = entry >> 12;
      const std::uint32_t target = page + (entry & 0x0FFF);
      if (type == kRelocAbsolute) continue;
      if (type != kRelocHighLow) {
        *error = "base relocation type " + std::to_string(type) + " at " + Hex(target) + " is not a 32-bit one";
        return false;
      }
      if (target > size_ - 4) {
        *error = "base relocation at " + Hex(target) + " lies outside the image";
        return false;
      }
      std::uint32_t value = 0;
      std::memcpy(&value, base_ + target, 4);
      value += delta;
      std::memcpy(base_ + target, &value, 4);
      ++relocations_;
    }
    at += blockSize;
  }
  return true;
}

bool PeImage::Bind(const std::vector<ImageExport>& exports, std::string* error) {
  if (importRva_ == 0) return true;
  auto cstring = [&](std::uint32_t rva, std::string* out) {
    if (rva >= size_) return false;
    const char* s = reinterpret_cast<const char*>(base_ + rva);
    const std::size_t n = strnlen(s, size_ - rva);
    if (n == size_ - rva) return false;
    out->assign(s, n);
    return true;
  };
  std::vector<std::string> missing;
  for (std::uint32_t d = importRva_;; d += 20) {
    if (d > size_ - 20) {
      *error = "import directory runs off the image";
      return false;
    }
    std::uint32_t lookup = 0, nameRva = 0, iat = 0;
    std::memcpy(&lookup, base_ + d, 4);
    std::memcpy(&nameRva, base_ + d + 12, 4);
    std::memcpy(&iat, base_ + d + 16, 4);
    if (lookup == 0 && nameRva == 0 && iat == 0) break;
    std::string module;
    if (!cstring(nameRva, &module)) {
      *error = "import module name at " + Hex(nameRva) + " is outside the image";
      return false;
    }
    const std::uint32_t names = lookup ? lookup : iat;
    for (std::uint32_t i = 0;; ++i) {
      const std::uint32_t slot = names + 4 * i, bound = iat + 4 * i;
      if (slot > size_ - 4 || bound > size_ - 4) {
        *error = "import table of " + module + " runs off the image";
        return false;
      }
      std::uint32_t thunk = 0;
      std::memcpy(&thunk, base_ + slot, 4);
      if (thunk == 0) break;
      if (thunk & kImportByOrdinal) {
        *error = "import of ordinal " + std::to_string(thunk & 0xFFFF) + " from " + module +
                 ": the host binds imports by name only";
        return false;
      }
      std::string name;
      if (!cstring(thunk + 2, &name)) {
        *error = "import name of " + module + " is outside the image";
        return false;
      }
      const auto found = std::find_if(exports.begin(), exports.end(), [&](const ImageExport& e) {
        return Lower(e.module) == Lower(module) && name == e.name;
      });
      if (found == exports.end()) {
        missing.push_back(module + "!" + name);
        continue;
      }
      const std::uint32_t address = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(found->address));
      std::memcpy(base_ + bound, &address, 4);
      imports_.push_back(module + "!" + name);
      importSlots_.push_back(bound);
    }
  }
  if (!missing.empty()) {
    *error = "unresolved import" + std::string(missing.size() > 1 ? "s" : "") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) *error += (i ? ", " : "") + missing[i];
    *error += " (the host implements no such routine)";
    return false;
  }
  return true;
}

}  // namespace host
