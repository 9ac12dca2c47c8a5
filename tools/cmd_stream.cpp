// The streaming commands: the default job (install summary and a loopback
// check), play and record.
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <span>

#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/output_file.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/stream_client.h"
#include "tools/wav.h"

namespace tool {

namespace {

constexpr double kPi = 3.14159265358979323846;

// The default job's signal: a tone with a little seeded noise on the left,
// a rising chirp on the right, so that a dropped, repeated or swapped byte
// anywhere shows.
std::vector<std::uint8_t> TestSignal(std::uint64_t seed, std::uint32_t rate, std::uint32_t frames) {
  std::mt19937 noise(static_cast<std::mt19937::result_type>(seed));
  std::uniform_int_distribution<int> dither(-64, 64);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(frames) * 4);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double duration = static_cast<double>(frames) / rate;
    const double chirp = 2 * kPi * (100.0 * t + (10000.0 - 100.0) * t * t / (2 * duration));
    const int left = static_cast<int>(std::lround(12000 * std::sin(2 * kPi * 440.0 * t))) + dither(noise);
    const int right = static_cast<int>(std::lround(12000 * std::sin(chirp)));
    for (int c = 0; c < 2; ++c) {
      const auto sample = static_cast<std::uint16_t>(static_cast<std::int16_t>(c == 0 ? left : right));
      bytes[4 * i + 2 * c] = static_cast<std::uint8_t>(sample & 0xFF);
      bytes[4 * i + 2 * c + 1] = static_cast<std::uint8_t>(sample >> 8);
    }
  }
  return bytes;
}

std::string Seconds(std::uint64_t frames, std::uint32_t rate) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.3f s", rate ? static_cast<double>(frames) / rate : 0.0);
  return text;
}

std::vector<std::uint8_t> DacBytes(Session& session) { return session.Machine().GetCodec().Dac().Bytes(); }

}  // namespace

int RunDefault(const CommonOptions& common) {
  const RunFiles files;
  Session session(common);
  session.Start();
  std::printf("%s", InstallationText(session).c_str());
  std::fflush(stdout);

  sim::PcmFormat format;  // 48000 Hz 16-bit stereo: every codec plays it
  const std::uint32_t frames = format.rate;
  const std::vector<std::uint8_t> signal = TestSignal(common.seed, format.rate, frames);

  std::string playVerdict, recordVerdict;
  {
    WaveStream play(session, false, format, common.bufferBytes);
    play.SetPlayback(signal);
    play.Run();
    play.RunToEnd("playing");
    play.Stop();
    playVerdict = FirstDifference(signal, DacBytes(session));
  }
  // A digital loopback: the ADC hears exactly the bytes the DAC received.
  session.Machine().GetCodec().Adc().SetSamples(DacBytes(session));
  std::vector<std::uint8_t> recorded;
  {
    WaveStream record(session, true, format, common.bufferBytes);
    record.SetCapture(signal.size(), [&recorded](std::span<const std::uint8_t> bytes) {
      recorded.insert(recorded.end(), bytes.begin(), bytes.end());
    });
    record.Run();
    record.RunToEnd("recording");
    record.Stop();
  }
  recordVerdict = FirstDifference(signal, recorded);
  session.Finish();

  const bool exact = playVerdict.empty() && recordVerdict.empty();
  auto verdict = [](const std::string& difference) {
    return difference.empty() ? std::string("bit-exact") : "NOT bit-exact (" + difference + ")";
  };
  const std::string text = exact ? "both bit-exact" : "playback " + verdict(playVerdict) + ", recording " + verdict(recordVerdict);
  std::printf("Loopback: played %u frames of %s through the driver and recorded them back: %s\n", frames,
              DescribePcm(format).c_str(), text.c_str());
  std::fflush(stdout);
  if (!exact) std::fprintf(stderr, "zatac97: the loopback through the driver was not bit-exact: %s\n", text.c_str());
  return session.SaveRegistry(exact ? kExitOk : kExitDriverFault);
}

namespace {

// The codec's analog output as the listener hears it, in real time (gaps
// are silence), written as it is heard.
class LineOutWriter {
 public:
  LineOutWriter(OutputFile& out, std::uint32_t rate, std::uint64_t frames) : writer_(out, LineFormat(rate), frames * 4) {}
  void Append(std::span<const std::int16_t> samples) {
    bytes_.resize(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const auto value = static_cast<std::uint16_t>(samples[i]);
      bytes_[2 * i] = static_cast<std::uint8_t>(value & 0xFF);
      bytes_[2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    writer_.Append(bytes_);
  }
  void Finish() { writer_.Finish(); }

 private:
  static sim::PcmFormat LineFormat(std::uint32_t rate) {
    sim::PcmFormat line;
    line.rate = rate;
    line.channels = 2;
    line.bits = 16;
    return line;
  }
  WavWriter writer_;
  std::vector<std::uint8_t> bytes_;
};

std::string Refused(const WavReader& reader, const AcceptedFormats& accepted) {
  return reader.Name() + " is " + reader.Format().Describe() + ", which the device does not play; it accepts " +
         accepted.Describe();
}

}  // namespace

int RunPlay(const CommonOptions& common, const PlayOptions& options) {
  const RunFiles files;
  WavReader reader(options.input);
  std::unique_ptr<OutputFile> out, lineOut;
  if (!options.out.empty()) out = std::make_unique<OutputFile>(options.out);
  if (!options.lineOut.empty()) lineOut = std::make_unique<OutputFile>(options.lineOut);

  Session session(common);
  session.Start();
  const AcceptedFormats accepted(session.Miniport(L"Wave"), WaveStream::kRenderPin);
  const WavFormat& wav = reader.Format();
  if (!wav.IsStreamable() || !accepted.Accepts(wav.rate, wav.channels, wav.bits)) throw ToolError(Refused(reader, accepted));
  const sim::PcmFormat format = wav.Pcm();
  auto warnTruncated = [&] {
    std::fflush(ReportStream());
    std::fprintf(stderr, "zatac97: warning: %s is cut short: its data chunk claims %s bytes but %s are present; playing the %s bytes of whole frames\n",
                 reader.Name().c_str(), Grouped(*reader.Declared()).c_str(), Grouped(*reader.Present()).c_str(),
                 Grouped(reader.Present().value() / format.FrameBytes() * format.FrameBytes()).c_str());
  };
  const bool truncatedUpFront = reader.Declared() && reader.Present() && *reader.Present() < *reader.Declared();
  if (truncatedUpFront) warnTruncated();

  // Until the input ends, the expected length is what the file says it holds.
  const std::uint64_t expected =
      reader.Playable().value_or(reader.Declared().value_or(UINT64_MAX) / format.FrameBytes() * format.FrameBytes());
  std::unique_ptr<WavWriter> dacWriter;
  std::unique_ptr<LineOutWriter> lineWriter;
  if (out) dacWriter = std::make_unique<WavWriter>(*out, format, expected);
  if (lineOut) lineWriter = std::make_unique<LineOutWriter>(*lineOut, format.rate, expected / format.FrameBytes());

  StreamComparison comparison;
  sim::Codec& codec = session.Machine().GetCodec();
  sim::DacSink& dac = codec.Dac();
  dac.SetKeepBytes(false);
  dac.SetCallback([&](std::span<const std::uint8_t> bytes, const sim::PcmFormat&) {
    comparison.Actual(bytes);
    if (dacWriter) dacWriter->Append(bytes);
  });
  if (lineWriter)
    dac.SetHeardCallback([&](std::span<const std::int16_t> frames, std::uint32_t) { lineWriter->Append(frames); });
  StreamReport report;
  {
    WaveStream stream(session, false, format, common.bufferBytes);
    stream.SetPlayback(
        [&](std::span<std::uint8_t> buffer) {
          const std::size_t n = reader.Read(buffer);
          comparison.Expected(buffer.first(n));
          return n;
        },
        reader.Playable());
    stream.Run();
    stream.RunToEnd("playing");
    report = stream.Stop();
  }
  dac.SetCallback(nullptr);
  dac.SetHeardCallback(nullptr);
  const std::vector<sim::DiagnosticMarker> markers = session.Markers();
  const std::uint16_t master = codec.Peek(sim::ac97::kMasterVolume);
  const std::uint16_t pcm = codec.Peek(sim::ac97::kPcmOutVolume);
  const std::uint64_t silent = codec.Dac().SilentFrames();
  session.Finish();

  if (dacWriter) {
    dacWriter->Finish();
    out->Commit();
  }
  if (lineWriter) {
    lineWriter->Finish();
    lineOut->Commit();
  }
  if (!truncatedUpFront && reader.Truncated()) warnTruncated();
  const std::string difference = comparison.Difference();
  std::FILE* report_ = ReportStream();
  std::fprintf(report_, "Played %s: %s, %llu frames (%s) in %llu buffers\n", reader.Name().c_str(),
               DescribePcm(format).c_str(), static_cast<unsigned long long>(report.Frames()),
               Seconds(report.Frames(), format.rate).c_str(), static_cast<unsigned long long>(report.buffers));
  std::fprintf(report_, "  %s\n", StreamStatsText(report, markers).c_str());
  const std::string exact = reader.Truncated() ? "bit-exact with the " + Grouped(comparison.ExpectedBytes()) + " bytes present"
                                               : std::string("bit-exact with the input");
  std::fprintf(report_, "  the DAC received %llu bytes: %s\n", static_cast<unsigned long long>(comparison.ActualBytes()),
               difference.empty() ? exact.c_str() : ("NOT the input: " + difference).c_str());
  if (sim::LineOutMuted(master, pcm)) std::fprintf(report_, "  the line output is muted\n");
  if (silent)
    std::fprintf(report_, "  the line output played %llu frames (%s) of silence where the DAC was not fed in time\n",
                 static_cast<unsigned long long>(silent), Seconds(silent, format.rate).c_str());
  std::fflush(report_);
  if (!difference.empty()) {
    std::fprintf(stderr, "zatac97: the bytes at the DAC differ from %s: %s\n", reader.Name().c_str(), difference.c_str());
    return session.SaveRegistry(kExitDriverFault);
  }
  return session.SaveRegistry(kExitOk);
}

namespace {

struct RecordSource {
  enum class Kind { Tone, Ramp, Noise, File } kind = Kind::Tone;
  double hz = 1000.0;
  std::unique_ptr<WavReader> file;
};

RecordSource ParseSource(const std::string& text) {
  RecordSource source;
  if (text.rfind("tone:", 0) == 0) {
    char* end = nullptr;
    const std::string number = text.substr(5);
    source.hz = std::strtod(number.c_str(), &end);
    if (number.empty() || end != number.c_str() + number.size() || !(source.hz > 0) || source.hz > 1e6)
      throw ToolError("--source tone:HZ needs a frequency in Hz, e.g. tone:440, not '" + text + "'", kExitUsage);
    return source;
  }
  if (text == "ramp") {
    source.kind = RecordSource::Kind::Ramp;
    return source;
  }
  if (text == "noise") {
    source.kind = RecordSource::Kind::Noise;
    return source;
  }
  source.kind = RecordSource::Kind::File;
  source.file = std::make_unique<WavReader>(text);
  return source;
}

}  // namespace

int RunRecord(const CommonOptions& common, const RecordOptions& options) {
  const RunFiles files;
  RecordSource source = ParseSource(options.source);
  sim::PcmFormat format;
  format.rate = options.rate.value_or(48000);
  format.bits = static_cast<std::uint8_t>(options.bits.value_or(16));
  format.channels = static_cast<std::uint8_t>(options.channels.value_or(2));
  double seconds = options.seconds.value_or(1.0);
  if (source.kind == RecordSource::Kind::File) {
    const WavFormat& f = source.file->Format();
    // The recording takes the source's format unless told otherwise, and
    // then the two must agree: the ADC hears the file's samples as they are.
    if (!f.IsStreamable())
      throw ToolError("the source " + source.file->Name() + " is " + f.Describe() + "; a source must be 8- or 16-bit PCM");
    format.rate = options.rate.value_or(f.rate);
    format.bits = static_cast<std::uint8_t>(options.bits.value_or(f.bits));
    format.channels = static_cast<std::uint8_t>(options.channels.value_or(f.channels));
    if (format.rate != f.rate || format.bits != f.bits || format.channels != f.channels)
      throw ToolError("the source " + source.file->Name() + " is " + f.Describe() + " but the recording would be " +
                      DescribePcm(format) + "; leave out --rate, --bits and --channels to record in the source's format");
    if (!options.seconds) {
      const std::optional<std::uint64_t> length =
          source.file->Playable() ? source.file->Playable() : source.file->Declared();
      if (!length)
        throw ToolError("the source " + source.file->Name() + " does not say how long it is; give --seconds", kExitUsage);
      seconds = static_cast<double>(*length / f.FrameBytes()) / f.rate;
    }
  }
  OutputFile out(options.out);

  Session session(common);
  session.Start();
  const std::uint64_t frames = static_cast<std::uint64_t>(std::llround(seconds * format.rate));
  const std::uint64_t bytes = frames * format.FrameBytes();
  WavWriter writer(out, format, bytes);
  StreamComparison comparison;
  StreamReport report;
  {
    WaveStream stream(session, true, format, common.bufferBytes);
    sim::AdcSource& adc = session.Machine().GetCodec().Adc();
    switch (source.kind) {
      case RecordSource::Kind::Tone: adc.SetSine(source.hz, 0.5); break;
      case RecordSource::Kind::Ramp: adc.SetRamp(); break;
      case RecordSource::Kind::Noise: adc.SetNoise(common.seed); break;
      case RecordSource::Kind::File:
        // The ADC pulls the file as it converts; what it hears within the
        // recording's length is what the recording must hold.
        adc.SetStream([&](std::span<std::uint8_t> piece) {
          const std::size_t n = source.file->Read(piece);
          // Past the file's end the ADC hears silence, and so must the recording.
          std::fill(piece.begin() + static_cast<std::ptrdiff_t>(n), piece.end(), format.bits == 8 ? 0x80 : 0x00);
          const std::uint64_t before = comparison.ExpectedBytes();
          if (before < bytes)
            comparison.Expected(piece.first(static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), bytes - before))));
          return n;
        });
        break;
    }
    stream.SetCapture(bytes, [&](std::span<const std::uint8_t> piece) {
      writer.Append(piece);
      comparison.Actual(piece);
    });
    stream.Run();
    stream.RunToEnd("recording");
    report = stream.Stop();
    adc.SetSilence();
  }
  const std::vector<sim::DiagnosticMarker> markers = session.Markers();
  session.Finish();

  if (writer.Bytes() != bytes)
    throw DriverFault("the stream handed back " + std::to_string(writer.Bytes()) + " bytes instead of " + std::to_string(bytes));
  writer.Finish();
  out.Commit();

  std::FILE* report_ = ReportStream();
  std::fprintf(report_, "Recorded %llu frames (%s) of %s from %s into %s in %llu buffers\n",
               static_cast<unsigned long long>(frames), Seconds(frames, format.rate).c_str(), DescribePcm(format).c_str(),
               source.file ? source.file->Name().c_str() : options.source.c_str(), out.Name().c_str(),
               static_cast<unsigned long long>(report.buffers));
  std::fprintf(report_, "  %s\n", StreamStatsText(report, markers).c_str());
  // Input the ADC sampled while the channel was not taking it is gone: such
  // a recording is never called bit-exact, whatever it is compared with.
  const std::string lost =
      report.overruns ? "input was lost in " + std::to_string(report.overruns) + " overrun" +
                            (report.overruns == 1 ? "" : "s") +
                            (report.framesLost ? " (" + std::to_string(report.framesLost) + " frames)" : "")
                      : std::string();
  if (source.kind == RecordSource::Kind::File) {
    std::string difference = comparison.Difference();
    if (difference.empty() && !lost.empty()) difference = lost;
    else if (!lost.empty()) difference = lost + "; " + difference;
    std::fprintf(report_, "  the recording %s\n",
                 difference.empty() ? "holds the source's samples bit-exactly" : ("is NOT bit-exact: " + difference).c_str());
    std::fflush(report_);
    if (!difference.empty()) {
      std::fprintf(stderr, "zatac97: the recording differs from %s: %s\n", source.file->Name().c_str(), difference.c_str());
      return session.SaveRegistry(kExitDriverFault);
    }
  } else if (!lost.empty()) {
    std::fprintf(report_, "  the recording has gaps: %s\n", lost.c_str());
  }
  std::fflush(report_);
  return session.SaveRegistry(kExitOk);
}

}  // namespace tool
