#include "host/driver_under_test.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#if defined(__i386__)
#include "host/image/pe_image.h"
#endif

namespace host {

#if defined(__i386__)
namespace {

std::mutex mutex;
// Every image loaded, kept mapped for the life of the process: the host
// cannot tell when the last of an image's objects and routines is gone.
struct Loaded {
  std::unique_ptr<PeImage> image;
  PDRIVER_INITIALIZE entry;  // the checked entry point the host calls
};
std::vector<Loaded> images;

const PeImage* ImageOf(PDRIVER_INITIALIZE entry) {
  for (const auto& loaded : images)
    if (loaded.entry == entry) return loaded.image.get();
  return nullptr;
}

}  // namespace
#endif

PDRIVER_INITIALIZE LoadDriverImage(const std::string& path, std::string* error) {
#if defined(__i386__)
  std::lock_guard lock(mutex);
  auto image = PeImage::Load(path, ImageExports(), error);
  if (!image) return nullptr;
  // The map is optional: without it only the driver-wide variables stay
  // unreadable from outside.
  std::string mapPath = path;
  if (mapPath.size() > 4 && mapPath.compare(mapPath.size() - 4, 4, ".sys") == 0) mapPath.resize(mapPath.size() - 4);
  // With the map, every call the image makes to the host is checked against
  // the convention the image was compiled to call it with.
  std::string ignored;
  if (image->ReadLinkMap(mapPath + ".map", &ignored) && !image->CheckImportConventions(error)) return nullptr;
  TrapImageInstructions(*image);
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(
      CheckedRoutine(reinterpret_cast<void*>(image->EntryPoint()), Convention::kStdcall, 8, "image DriverEntry"));
  images.push_back({std::move(image), entry});
  return entry;
#else
  (void)path;
  *error = "the kernel image runs only in the 32-bit x86 host build (scripts/test-m32.sh)";
  return nullptr;
#endif
}

void* ImageSymbol(PDRIVER_INITIALIZE entry, const std::string& name) {
#if defined(__i386__)
  std::lock_guard lock(mutex);
  const PeImage* image = ImageOf(entry);
  return image ? image->Symbol(name) : nullptr;
#else
  (void)entry;
  (void)name;
  return nullptr;
#endif
}

PDRIVER_INITIALIZE DriverUnderTest(PDRIVER_INITIALIZE compiledIn) {
  const char* path = std::getenv("ZATAC97_IMAGE");
  if (!path || !*path) return compiledIn;
  std::string error;
  PDRIVER_INITIALIZE entry = LoadDriverImage(path, &error);
  if (!entry) {
    std::fprintf(stderr, "ZATAC97_IMAGE: %s\n", error.c_str());
    std::exit(2);
  }
  return entry;
}

}  // namespace host
