// WAV files, read and written as streams: the samples of an 8-bit file are
// unsigned bytes and of a 16-bit file signed little-endian pairs, exactly
// the bytes a PCM stream of that format carries, so what is read can be
// compared byte for byte with what the codec received. Neither side holds
// more than a small window of the audio.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/audio.h"
#include "tools/output_file.h"

namespace tool {

// What a WAV file holds, even when it is nothing a PCM stream could carry.
struct WavFormat {
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  std::uint32_t bits = 0;    // 8 or 16 for integer PCM we can carry, else 0
  std::string encoding;      // "8-bit PCM", "24-bit PCM", "32-bit float", ...
  // A stream format counts its channels in one byte: a header claiming more is no stream's.
  bool IsStreamable() const { return (bits == 8 || bits == 16) && channels > 0 && channels <= 0xFF; }
  std::uint32_t FrameBytes() const { return channels * bits / 8; }
  std::string Describe() const;  // "44100 Hz 16-bit PCM stereo"
  sim::PcmFormat Pcm() const;
};

// Reads a WAV file ("-": standard input) chunk by chunk: the fmt chunk may
// come before or after the data chunk (after it only in a file that can be
// seeked), unknown chunks are skipped, and a data chunk that claims more
// than the file holds is read as far as it goes.
class WavReader {
 public:
  // Throws ToolError for a missing or unreadable file and for one that is
  // not WAV; a WAV with an encoding we cannot stream opens with bits 0.
  explicit WavReader(const std::string& path);
  ~WavReader();
  WavReader(const WavReader&) = delete;
  WavReader& operator=(const WavReader&) = delete;

  const WavFormat& Format() const { return format_; }
  // "'music.wav'" or "standard input".
  const std::string& Name() const { return name_; }
  // The data chunk's own claim, or nullopt when it says "to the end"
  // (0xFFFFFFFF, as streaming writers put it).
  std::optional<std::uint64_t> Declared() const { return declared_; }
  // The sample bytes that will be read, in whole frames, when known before
  // reading (a seekable file); nullopt for a pipe.
  std::optional<std::uint64_t> Playable() const { return playable_; }
  // Sample bytes present (before rounding down to whole frames), once known.
  std::optional<std::uint64_t> Present() const { return present_; }

  // Reads up to out.size() sample bytes, only ever of whole frames; fewer
  // than asked only at the end of the data. Throws ToolError on a read error.
  std::size_t Read(std::span<std::uint8_t> out);
  std::uint64_t BytesRead() const { return handedOut_; }
  // After the end: the data stopped short of what the chunk claimed.
  bool Truncated() const;

 private:
  void Open(const std::string& path);
  std::size_t RawRead(std::uint8_t* out, std::size_t count);
  void ReadExactly(std::uint8_t* out, std::size_t count, const char* what);
  void Skip(std::uint64_t count);
  void ParseFmt(const std::vector<std::uint8_t>& body);
  void Fill();

  std::string path_;
  std::string name_;
  int fd_ = -1;
  bool seekable_ = false;
  WavFormat format_;
  std::optional<std::uint64_t> declared_;
  std::optional<std::uint64_t> playable_;
  std::optional<std::uint64_t> present_;
  std::uint64_t limit_ = 0;      // sample bytes to take from the data chunk at most
  std::uint64_t taken_ = 0;      // sample bytes read from the file so far
  std::uint64_t handedOut_ = 0;  // sample bytes given to the caller
  bool ended_ = false;           // the file or the chunk has no more
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0, end_ = 0;
};

// Reads the whole of a (small) WAV file's samples.
std::vector<std::uint8_t> ReadAllSamples(WavReader& reader);

// Writes a PCM WAV file as the samples arrive: the header goes first with
// the expected length, and is corrected at the end when the output can be
// seeked and the length came out different.
class WavWriter {
 public:
  WavWriter(OutputFile& out, const sim::PcmFormat& format, std::uint64_t expectedBytes);
  // Whole frames or not, the bytes are kept in order; Finish pads to a frame.
  void Append(std::span<const std::uint8_t> bytes);
  void Finish();
  std::uint64_t Bytes() const { return written_; }

 private:
  void Header(std::uint64_t dataBytes, std::vector<std::uint8_t>& out) const;

  OutputFile& out_;
  sim::PcmFormat format_;
  std::uint64_t expected_;
  std::uint64_t written_ = 0;
  std::vector<std::uint8_t> pending_;
};

std::string DescribePcm(const sim::PcmFormat& format);  // "48000 Hz 16-bit stereo"
// 142060 -> "142,060".
std::string Grouped(std::uint64_t value);

}  // namespace tool
