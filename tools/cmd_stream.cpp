// The streaming commands: the default job (install summary and a loopback
// check), play and record.
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

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
    record.SetCaptureBytes(signal.size());
    record.Run();
    record.RunToEnd("recording");
    record.Stop();
    recorded = record.Captured();
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
  if (!exact) std::fprintf(stderr, "zatac97: the loopback through the driver was not bit-exact: %s\n", text.c_str());
  return exact ? kExitOk : kExitDriverFault;
}

int RunPlay(const CommonOptions& common, const PlayOptions& options) {
  const WavData wav = ReadWav(options.input);
  std::unique_ptr<OutputFile> out, lineOut;
  if (!options.out.empty()) out = std::make_unique<OutputFile>(options.out);
  if (!options.lineOut.empty()) lineOut = std::make_unique<OutputFile>(options.lineOut);

  Session session(common);
  session.Start();
  const AcceptedFormats accepted(session.Miniport(L"Wave"), WaveStream::kRenderPin);
  if (!wav.format.IsStreamable() || !accepted.Accepts(wav.format.rate, wav.format.channels, wav.format.bits))
    throw ToolError("'" + options.input + "' is " + wav.format.Describe() +
                    ", which the device does not play; it accepts " + accepted.Describe());

  const sim::PcmFormat format = wav.Pcm();
  StreamReport report;
  {
    WaveStream stream(session, false, format, common.bufferBytes);
    stream.SetPlayback(wav.bytes);
    stream.Run();
    stream.RunToEnd("playing");
    report = stream.Stop();
  }
  const std::vector<std::uint8_t> dac = DacBytes(session);
  const std::vector<sim::DiagnosticMarker> markers = session.Markers();
  sim::Codec& codec = session.Machine().GetCodec();
  const std::uint16_t master = codec.Peek(sim::ac97::kMasterVolume);
  const std::uint16_t pcm = codec.Peek(sim::ac97::kPcmOutVolume);
  session.Finish();

  if (out) {
    WriteWav(out->TempPath(), format, dac);
    out->Commit();
  }
  if (lineOut) {
    WriteWav16(lineOut->TempPath(), format.rate, 2, sim::LineOut(dac, format, master, pcm));
    lineOut->Commit();
  }
  const std::string difference = FirstDifference(wav.bytes, dac);
  std::printf("Played '%s': %s, %llu frames (%s) in %llu buffers\n", options.input.c_str(),
              DescribePcm(format).c_str(), static_cast<unsigned long long>(report.Frames()),
              Seconds(report.Frames(), format.rate).c_str(), static_cast<unsigned long long>(report.buffers));
  std::printf("  %s\n", StreamStatsText(report, markers).c_str());
  std::printf("  the DAC received %zu bytes: %s\n", dac.size(),
              difference.empty() ? "bit-exact with the input" : ("NOT the input: " + difference).c_str());
  if (sim::LineOutMuted(master, pcm)) std::printf("  the line output is muted\n");
  if (!difference.empty()) {
    std::fprintf(stderr, "zatac97: the bytes at the DAC differ from '%s': %s\n", options.input.c_str(),
                 difference.c_str());
    return kExitDriverFault;
  }
  return kExitOk;
}

namespace {

struct RecordSource {
  enum class Kind { Tone, Ramp, File } kind = Kind::Tone;
  double hz = 1000.0;
  WavData file;
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
  source.kind = RecordSource::Kind::File;
  source.file = ReadWav(text);
  return source;
}

}  // namespace

int RunRecord(const CommonOptions& common, const RecordOptions& options) {
  RecordSource source = ParseSource(options.source);
  sim::PcmFormat format;
  format.rate = options.rate.value_or(48000);
  format.bits = static_cast<std::uint8_t>(options.bits.value_or(16));
  format.channels = static_cast<std::uint8_t>(options.channels.value_or(2));
  double seconds = options.seconds.value_or(1.0);
  if (source.kind == RecordSource::Kind::File) {
    const WavFormat& f = source.file.format;
    // The recording takes the source's format unless told otherwise, and
    // then the two must agree: the ADC hears the file's samples as they are.
    if (!f.IsStreamable())
      throw ToolError("the source '" + options.source + "' is " + f.Describe() + "; a source must be 8- or 16-bit PCM");
    format.rate = options.rate.value_or(f.rate);
    format.bits = static_cast<std::uint8_t>(options.bits.value_or(f.bits));
    format.channels = static_cast<std::uint8_t>(options.channels.value_or(f.channels));
    if (format.rate != f.rate || format.bits != f.bits || format.channels != f.channels)
      throw ToolError("the source '" + options.source + "' is " + f.Describe() + " but the recording would be " +
                      DescribePcm(format) + "; leave out --rate, --bits and --channels to record in the source's format");
    if (!options.seconds) seconds = static_cast<double>(source.file.frames) / f.rate;
  }
  OutputFile out(options.out);

  Session session(common);
  session.Start();
  const std::uint64_t frames = static_cast<std::uint64_t>(std::llround(seconds * format.rate));
  StreamReport report;
  std::vector<std::uint8_t> recorded;
  {
    WaveStream stream(session, true, format, common.bufferBytes);
    sim::AdcSource& adc = session.Machine().GetCodec().Adc();
    switch (source.kind) {
      case RecordSource::Kind::Tone: adc.SetSine(source.hz, 0.5); break;
      case RecordSource::Kind::Ramp: adc.SetRamp(); break;
      case RecordSource::Kind::File: adc.SetSamples(source.file.bytes); break;
    }
    stream.SetCaptureBytes(frames * format.FrameBytes());
    stream.Run();
    stream.RunToEnd("recording");
    report = stream.Stop();
    recorded = stream.Captured();
  }
  const std::vector<sim::DiagnosticMarker> markers = session.Markers();
  session.Finish();

  if (recorded.size() != frames * format.FrameBytes())
    throw DriverFault("the stream handed back " + std::to_string(recorded.size()) + " bytes instead of " +
                      std::to_string(frames * format.FrameBytes()));
  WriteWav(out.TempPath(), format, recorded);
  out.Commit();

  std::printf("Recorded %llu frames (%s) of %s from %s into '%s' in %llu buffers\n",
              static_cast<unsigned long long>(frames), Seconds(frames, format.rate).c_str(),
              DescribePcm(format).c_str(), options.source.c_str(), options.out.c_str(),
              static_cast<unsigned long long>(report.buffers));
  std::printf("  %s\n", StreamStatsText(report, markers).c_str());
  if (source.kind == RecordSource::Kind::File) {
    // What the source holds within the recording's length; past its end the ADC hears silence.
    std::vector<std::uint8_t> expected(source.file.bytes.begin(),
                                       source.file.bytes.begin() +
                                           static_cast<std::ptrdiff_t>(std::min(source.file.bytes.size(), recorded.size())));
    const std::vector<std::uint8_t> head(recorded.begin(), recorded.begin() + static_cast<std::ptrdiff_t>(expected.size()));
    const std::string difference = FirstDifference(expected, head);
    std::printf("  the recording %s\n",
                difference.empty() ? "holds the source's samples bit-exactly" : ("differs from the source: " + difference).c_str());
    if (!difference.empty()) {
      std::fprintf(stderr, "zatac97: the recording differs from '%s': %s\n", options.source.c_str(), difference.c_str());
      return kExitDriverFault;
    }
  }
  return kExitOk;
}

}  // namespace tool
