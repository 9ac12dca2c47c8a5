#include "tools/wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/errors.h"

namespace tool {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kWriteChunk = 64 * 1024;
constexpr std::uint32_t kToTheEnd = 0xFFFFFFFF;  // a data size a streaming writer could not know
constexpr std::uint32_t kLargestFmt = 1024;      // any real fmt chunk is far smaller

// WAVE format tags (RFC 2361 and the WAVEFORMATEXTENSIBLE sub-formats).
constexpr std::uint16_t kTagPcm = 0x0001;
constexpr std::uint16_t kTagFloat = 0x0003;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

struct TagName {
  std::uint16_t tag;
  const char* name;
};
const TagName kTagNames[] = {
    {0x0002, "MS ADPCM"}, {0x0006, "A-law"}, {0x0007, "u-law"}, {0x0011, "IMA ADPCM"},
    {0x0031, "GSM 6.10"}, {0x0050, "MPEG"},  {0x0055, "MP3"},
};

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | p[1] << 8; }
std::uint32_t Le32(const std::uint8_t* p) { return Le16(p) | Le16(p + 2) << 16; }
void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::string ChannelWord(std::uint32_t channels) {
  if (channels == 1) return "mono";
  if (channels == 2) return "stereo";
  return std::to_string(channels) + " channels";
}

// What other audio files start with, to say what a refused file is.
std::string OtherFormat(const std::uint8_t* head, std::size_t size) {
  auto starts = [&](const char* magic) { return size >= std::strlen(magic) && std::memcmp(head, magic, std::strlen(magic)) == 0; };
  if (starts("FORM") && size >= 12 && (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0))
    return "it is AIFF";
  if (starts("RIFX")) return "it is big-endian RIFX";
  if (starts("RF64")) return "it is RF64, which this program does not read";
  if (starts("fLaC")) return "it is FLAC";
  if (starts("OggS")) return "it is Ogg";
  if (starts(".snd")) return "it is Sun/NeXT audio";
  if (starts("ID3") || (size >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0)) return "it is MPEG audio";
  if (starts("RIFF")) return "a RIFF file of another kind";
  return "no RIFF WAVE header";
}

}  // namespace

std::string Grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<std::size_t>(at), ",");
  return digits;
}

std::string WavFormat::Describe() const {
  return std::to_string(rate) + " Hz " + encoding + " " + ChannelWord(channels);
}

sim::PcmFormat WavFormat::Pcm() const {
  sim::PcmFormat pcm;
  pcm.rate = rate;
  pcm.channels = static_cast<std::uint8_t>(channels);
  pcm.bits = static_cast<std::uint8_t>(bits);
  return pcm;
}

std::string DescribePcm(const sim::PcmFormat& format) {
  return std::to_string(format.rate) + " Hz " + std::to_string(format.bits) + "-bit " + ChannelWord(format.channels);
}

// ---- WavReader ------------------------------------------------------------------

WavReader::WavReader(const std::string& path) : path_(path) {
  // A refused file must not keep its descriptor: the destructor never runs
  // for a constructor that throws, and a long session refuses many files.
  try {
    Open(path);
  } catch (...) {
    if (fd_ > STDIN_FILENO) close(fd_);
    throw;
  }
}

void WavReader::Open(const std::string& path) {
  if (path == "-") {
    name_ = "standard input";
    fd_ = STDIN_FILENO;
  } else {
    name_ = "'" + path + "'";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) throw ToolError("cannot read " + name_ + ": no such file");
      throw ToolError("cannot read " + name_ + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) throw ToolError("cannot read " + name_ + ": it is a directory");
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw ToolError("cannot read " + name_ + ": " + std::strerror(errno));
  }
  struct stat st {};
  seekable_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && lseek(fd_, 0, SEEK_CUR) >= 0;
  NoteInput(path);

  std::uint8_t head[12] = {};
  const std::size_t got = RawRead(head, sizeof(head));
  if (got < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
    throw ToolError(name_ + " is not a WAV file (" + OtherFormat(head, got) + ")");

  bool haveFmt = false;
  std::optional<std::uint64_t> dataOffset;  // a data chunk seen before the fmt chunk
  std::uint64_t offset = 12;
  for (;;) {
    std::uint8_t chunk[8];
    if (RawRead(chunk, 8) < 8) {
      if (!haveFmt) throw ToolError(name_ + " is not a usable WAV file: it has no fmt chunk");
      throw ToolError(name_ + " is not a usable WAV file: it has no data chunk");
    }
    offset += 8;
    const std::uint32_t size = Le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (size < 16 || size > kLargestFmt)
        throw ToolError(name_ + " is not a usable WAV file: its fmt chunk is " + std::to_string(size) + " bytes long");
      std::vector<std::uint8_t> body(size + (size & 1));
      ReadExactly(body.data(), body.size(), "fmt chunk");
      body.resize(size);
      ParseFmt(body);
      haveFmt = true;
      offset += size + (size & 1);
      if (dataOffset) {
        if (lseek(fd_, static_cast<off_t>(*dataOffset), SEEK_SET) < 0)
          throw ToolError("cannot read " + name_ + ": " + std::strerror(errno));
        break;
      }
      continue;
    }
    if (std::memcmp(chunk, "data", 4) == 0) {
      declared_ = size == kToTheEnd ? std::nullopt : std::optional<std::uint64_t>(size);
      if (seekable_) {
        const std::uint64_t fileSize = static_cast<std::uint64_t>(st.st_size);
        present_ = std::min<std::uint64_t>(declared_.value_or(UINT64_MAX), fileSize > offset ? fileSize - offset : 0);
      }
      if (haveFmt) break;
      if (!seekable_)
        throw ToolError(name_ + " has its fmt chunk after the data chunk, which can only be read from a file, not a pipe");
      dataOffset = offset;
      if (!declared_) throw ToolError(name_ + " is not a usable WAV file: its data chunk runs to the end, before the fmt chunk");
      Skip(*declared_ + (*declared_ & 1));
      offset += *declared_ + (*declared_ & 1);
      continue;
    }
    Skip(size + (size & 1));
    offset += size + (size & 1);
  }
  limit_ = declared_.value_or(UINT64_MAX);
  if (present_ && format_.IsStreamable()) playable_ = *present_ / format_.FrameBytes() * format_.FrameBytes();
  if (format_.IsStreamable()) buffer_.resize(kReadChunk + format_.FrameBytes());
}

WavReader::~WavReader() {
  if (fd_ > STDIN_FILENO) close(fd_);
}

std::size_t WavReader::RawRead(std::uint8_t* out, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, out + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolError("cannot read " + name_ + ": " + std::strerror(errno));
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void WavReader::ReadExactly(std::uint8_t* out, std::size_t count, const char* what) {
  if (RawRead(out, count) < count) throw ToolError(name_ + " is not a usable WAV file: its " + what + " is cut short");
}

void WavReader::Skip(std::uint64_t count) {
  if (seekable_) {
    if (lseek(fd_, static_cast<off_t>(count), SEEK_CUR) < 0) throw ToolError("cannot read " + name_ + ": " + std::strerror(errno));
    return;
  }
  std::uint8_t scratch[4096];
  while (count > 0) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof(scratch)));
    if (RawRead(scratch, piece) < piece) return;  // the chunk runs past the end: the data chunk is missing
    count -= piece;
  }
}

void WavReader::ParseFmt(const std::vector<std::uint8_t>& body) {
  std::uint16_t tag = static_cast<std::uint16_t>(Le16(body.data()));
  format_.channels = Le16(body.data() + 2);
  format_.rate = Le32(body.data() + 4);
  const std::uint32_t blockAlign = Le16(body.data() + 12);
  const std::uint32_t container = Le16(body.data() + 14);
  if (tag == kTagExtensible && body.size() >= 40) tag = static_cast<std::uint16_t>(Le16(body.data() + 24));
  format_.bits = 0;
  if (tag == kTagPcm) {
    format_.encoding = std::to_string(container) + "-bit PCM";
    if ((container == 8 || container == 16) && format_.channels > 0) {
      if (blockAlign != format_.channels * container / 8)
        throw ToolError(name_ + " is not a usable WAV file: its fmt chunk gives " + std::to_string(blockAlign) +
                        " bytes per frame for " + std::to_string(format_.channels) + " channels of " +
                        std::to_string(container) + " bits");
      format_.bits = container;
    }
  } else if (tag == kTagFloat) {
    format_.encoding = std::to_string(container) + "-bit float";
  } else {
    format_.encoding = "an unsupported encoding (format tag " + std::to_string(tag) + ")";
    for (const TagName& t : kTagNames)
      if (t.tag == tag) format_.encoding = t.name;
  }
  if (format_.channels == 0) throw ToolError(name_ + " is not a usable WAV file: its fmt chunk gives no channels");
}

void WavReader::Fill() {
  if (ended_) return;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  const std::uint64_t room = std::min<std::uint64_t>(buffer_.size() - end_, limit_ - taken_);
  const std::size_t got = RawRead(buffer_.data() + end_, static_cast<std::size_t>(room));
  end_ += got;
  taken_ += got;
  if (got < room || taken_ >= limit_) {
    ended_ = true;
    present_ = taken_;
  }
}

std::size_t WavReader::Read(std::span<std::uint8_t> out) {
  if (!format_.IsStreamable()) return 0;
  const std::uint32_t frame = format_.FrameBytes();
  std::size_t done = 0;
  while (done < out.size()) {
    // Only bytes of frames known to be whole go out: a last partial frame never does.
    const std::uint64_t wholeEnd = taken_ / frame * frame;
    const std::uint64_t available = wholeEnd - handedOut_;
    if (available == 0) {
      if (ended_) break;
      Fill();
      continue;
    }
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(available, out.size() - done));
    std::memcpy(out.data() + done, buffer_.data() + begin_, piece);
    begin_ += piece;
    done += piece;
    handedOut_ += piece;
  }
  return done;
}

bool WavReader::Truncated() const { return ended_ && declared_ && taken_ < *declared_; }

std::vector<std::uint8_t> ReadAllSamples(WavReader& reader) {
  std::vector<std::uint8_t> all;
  std::uint8_t piece[kReadChunk];
  for (std::size_t n; (n = reader.Read(piece)) > 0;) all.insert(all.end(), piece, piece + n);
  return all;
}

// ---- WavWriter ------------------------------------------------------------------

WavWriter::WavWriter(OutputFile& out, const sim::PcmFormat& format, std::uint64_t expectedBytes)
    : out_(out), format_(format), expected_(expectedBytes) {
  std::vector<std::uint8_t> header;
  Header(expected_, header);
  out_.Write(header);
  pending_.reserve(kWriteChunk);
}

void WavWriter::Header(std::uint64_t dataBytes, std::vector<std::uint8_t>& out) const {
  // The largest data chunk a RIFF size can describe; a longer stream says "to the end".
  const std::uint32_t size = dataBytes > 0xFFFFFFFFull - 36 ? kToTheEnd : static_cast<std::uint32_t>(dataBytes);
  const std::uint32_t riff = size == kToTheEnd ? kToTheEnd : 36 + size + (size & 1);
  for (char c : std::string("RIFF")) out.push_back(static_cast<std::uint8_t>(c));
  Put32(out, riff);
  for (char c : std::string("WAVEfmt ")) out.push_back(static_cast<std::uint8_t>(c));
  Put32(out, 16);
  Put16(out, kTagPcm);
  Put16(out, format_.channels);
  Put32(out, format_.rate);
  Put32(out, format_.ByteRate());
  Put16(out, format_.FrameBytes());
  Put16(out, format_.bits);
  for (char c : std::string("data")) out.push_back(static_cast<std::uint8_t>(c));
  Put32(out, size);
}

void WavWriter::Append(std::span<const std::uint8_t> bytes) {
  written_ += bytes.size();
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kWriteChunk - pending_.size());
    pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(piece));
    bytes = bytes.subspan(piece);
    if (pending_.size() == kWriteChunk) {
      out_.Write(pending_);
      pending_.clear();
    }
  }
}

void WavWriter::Finish() {
  // A stream that ended inside a frame: the file still holds whole frames.
  const std::uint32_t frame = format_.FrameBytes();
  if (frame && written_ % frame) {
    const std::vector<std::uint8_t> pad(frame - written_ % frame, format_.bits == 8 ? 0x80 : 0x00);
    Append(pad);
  }
  if (written_ & 1) pending_.push_back(0);
  out_.Write(pending_);
  pending_.clear();
  if (written_ != expected_ && out_.Seekable()) {
    std::vector<std::uint8_t> header;
    Header(written_, header);
    out_.WriteAt(0, header);
  }
}

}  // namespace tool
