// A loader for the kernel driver image (zatac97.sys, a 32-bit PE file) into
// the 32-bit host: it maps the sections where it can, applies the base
// relocations, binds every import by name to the host's own implementation of
// the portcls.sys, ntoskrnl.exe and hal.dll routine, and hands back the entry
// point, which the host then calls exactly as it calls the compiled-in
// DriverEntry. 32-bit x86 only: the image's code runs natively.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace host {

// One routine the host offers to an image: module (as the image names it,
// compared without case), routine name, and its address.
struct ImageExport {
  const char* module;
  const char* name;
  void* address;
};

// The routines the kernel image may import, with the host's implementations.
const std::vector<ImageExport>& KernelExports();
// The same, with the routines that take a wide string bound to adapters that
// carry the image's 2-byte strings across to the host's wchar_t.
std::vector<ImageExport> ImageExports();

class PeImage;

// The 32-bit x86 calling conventions a routine crossing between the host and
// an image may have. cdecl: the caller pops the arguments; stdcall: the callee
// pops them; fastcall: the first two travel in ECX and EDX, the callee pops
// the rest.
enum class Convention { kCdecl, kStdcall, kFastcall };

// A routine that behaves as target and checks every call of it: it must
// return with ESP where convention puts it for argumentBytes of arguments,
// with EBX, ESI, EDI and EBP preserved and the direction flag clear. A broken
// rule is a "calling convention" violation naming the routine (`name`), after
// which the caller gets its stack and registers back as promised. Checked
// routines live as long as the process; checking one again returns it.
void* CheckedRoutine(void* target, Convention convention, std::uint32_t argumentBytes, const std::string& name);
// The name a routine was checked under, or "" when it is no checked routine.
std::string CheckedRoutineName(const void* routine);
// How many calls went through the checked routines named `name`.
std::uint64_t CheckedCalls(const std::string& name);

// Makes what the image's code does that user mode cannot (`cli`, a far call
// into mapped firmware) work as it does in the kernel. Once for every image
// loaded.
void TrapImageInstructions(const PeImage& image);
// Whether address lies in an image TrapImageInstructions was given.
bool InLoadedImage(std::uintptr_t address);

class PeImage {
 public:
  // Loads the file at path. On failure returns null and says why in *error
  // (a bad or truncated file, a relocation type the loader does not know, an
  // import by ordinal, or an import the host does not implement, by name).
  static std::unique_ptr<PeImage> Load(const std::string& path, const std::vector<ImageExport>& exports,
                                       std::string* error);
  // Same, from the file's bytes.
  static std::unique_ptr<PeImage> Load(const std::vector<std::uint8_t>& file,
                                       const std::vector<ImageExport>& exports, std::string* error);
  ~PeImage();
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  PDRIVER_INITIALIZE EntryPoint() const;
  std::uintptr_t Base() const { return reinterpret_cast<std::uintptr_t>(base_); }
  std::size_t Size() const { return size_; }
  std::uint32_t PreferredBase() const { return preferredBase_; }
  // Every import bound, as "module!name", in the image's order.
  const std::vector<std::string>& Imports() const { return imports_; }
  // Number of base relocations applied (the image is placed away from its
  // preferred base on purpose, so there is always something to apply).
  std::size_t RelocationsApplied() const { return relocations_; }
  // The section an address of the image lies in ("" if none).
  std::string SectionOf(std::uintptr_t address) const;
  bool Contains(std::uintptr_t address) const { return address >= Base() && address < Base() + size_; }

  // Reads the symbols of the linker's map written beside the image (the
  // kernel build's zatac97.map): an image carries no symbols of its own.
  // Without a map, or with one that names addresses outside the image, says
  // why and knows no symbol.
  bool ReadLinkMap(const std::string& path, std::string* error);
  // Where the image's symbol name lies in this mapping, or null when the map
  // does not name it.
  void* Symbol(const std::string& name) const;

  // Routes every call the image makes through its imports through a checked
  // routine (CheckedRoutine), with the convention the image was compiled to
  // call it with: the decoration of the import's slot in the link map
  // ("_imp__Name@N" stdcall, "_imp_@Name@N" fastcall, "_imp__Name" cdecl).
  // Needs the map (ReadLinkMap); an import the map does not name is an
  // error naming it, and nothing is changed.
  bool CheckImportConventions(std::string* error);

 private:
  PeImage() = default;
  bool Map(const std::vector<std::uint8_t>& file, std::string* error);
  bool Relocate(std::string* error);
  bool Bind(const std::vector<ImageExport>& exports, std::string* error);

  struct Section {
    std::string name;
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
  };

  std::uint8_t* base_ = nullptr;
  std::size_t size_ = 0;
  std::uint32_t preferredBase_ = 0;
  std::uint32_t entryRva_ = 0;
  std::uint32_t importRva_ = 0, importSize_ = 0;
  std::uint32_t relocRva_ = 0, relocSize_ = 0;
  std::vector<Section> sections_;
  std::vector<std::string> imports_;
  std::vector<std::uint32_t> importSlots_;  // where each import is bound, in imports_'s order
  std::map<std::string, std::uint32_t> symbols_;  // name -> address at the preferred base
  std::size_t relocations_ = 0;
};

}  // namespace host
