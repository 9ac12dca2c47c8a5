// The program's WAV input path: the file is handed to WavReader as `play` and
// `record --source` hand it, and whatever it is, the answer is either a
// ToolError with a message for the user (a bad-input status) or a format
// whose samples come in whole frames, as many as the reader said it would give.
#include <unistd.h>

#include <cstdio>
#include <new>
#include <string>

#include "fuzz_input.h"
#include "tools/errors.h"
#include "tools/wav.h"

namespace {

std::string ScratchPath() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/zatac97-fuzz-wav-" + std::to_string(getpid()) + ".wav";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = ScratchPath();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) fuzz::Fail("cannot write " + path);
  if (size && std::fwrite(data, 1, size, file) != size) fuzz::Fail("cannot write " + path);
  std::fclose(file);

  try {
    tool::WavReader reader(path);
    const tool::WavFormat& format = reader.Format();
    const std::string described = format.Describe();
    if (described.empty()) fuzz::Fail("a format without a description");
    const std::vector<std::uint8_t> bytes = tool::ReadAllSamples(reader);
    if (!format.IsStreamable()) {
      if (!bytes.empty()) fuzz::Fail("samples returned for a format no stream carries");
      return 0;
    }
    const sim::PcmFormat pcm = format.Pcm();
    if (pcm.rate != format.rate || pcm.channels != format.channels || pcm.bits != format.bits)
      fuzz::Fail("the stream format does not say what the file says: " + described);
    if (bytes.size() % format.FrameBytes() != 0) fuzz::Fail("samples that are not whole frames: " + described);
    if (reader.Playable() && bytes.size() != *reader.Playable())
      fuzz::Fail("fewer or more samples than the file was said to hold: " + described);
  } catch (const tool::ToolError& error) {
    if (error.Status() != tool::kExitBadInput) fuzz::Fail(std::string("a bad file reported as ") + error.what());
    if (std::string(error.what()).find(path) == std::string::npos)
      fuzz::Fail(std::string("a refusal that does not name the file: ") + error.what());
  } catch (const std::bad_alloc&) {
    fuzz::Fail("a file's header made the program allocate without bound");
  }
  return 0;
}
