// The power command: device power transitions through the framework's power
// path, each with the codec and link activity it caused.
#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>

#include "tools/commands.h"
#include "tools/errors.h"
#include "tools/output_file.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/stream_client.h"
#include "tools/wav.h"

namespace tool {

namespace {

// Time the device spends in each state before the next transition, so a
// stream playing across the cycle plays (or not) in every state.
constexpr double kDwellMilliseconds = 50.0;
// A codec command completes a few microseconds after the driver issues it;
// the transition's report waits this long so its last writes are in.
constexpr double kSettleMilliseconds = 1.0;

std::vector<DEVICE_POWER_STATE> ParseSequence(const std::string& text) {
  std::vector<DEVICE_POWER_STATE> states;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    std::string folded;
    for (char c : item)
      if (!std::isspace(static_cast<unsigned char>(c))) folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (folded.size() == 2 && folded[0] == 'd' && folded[1] >= '0' && folded[1] <= '3')
      states.push_back(static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + (folded[1] - '0')));
    else
      throw ToolError("'" + item + "' is not a device power state (use d0, d1, d2 or d3, e.g. d3,d0)", kExitUsage);
  }
  if (states.empty()) throw ToolError("the power sequence is empty (e.g. d3,d0)", kExitUsage);
  return states;
}

std::string StateName(DEVICE_POWER_STATE state) { return "D" + std::to_string(state - PowerDeviceD0); }

// Codec register and configuration-space (link) entries, as the trace renders them.
bool IsCodecOrLink(const sim::TraceEntry& e) {
  return e.kind == sim::TraceKind::CodecRead || e.kind == sim::TraceKind::CodecWrite ||
         e.kind == sim::TraceKind::ConfigRead || e.kind == sim::TraceKind::ConfigWrite;
}

}  // namespace

int RunPower(const CommonOptions& common, const PowerOptions& options) {
  const RunFiles files;
  const std::vector<DEVICE_POWER_STATE> sequence = ParseSequence(options.sequence);
  std::unique_ptr<WavReader> reader;
  std::vector<std::uint8_t> samples;
  if (!options.play.empty()) {
    reader = std::make_unique<WavReader>(options.play);
    samples = ReadAllSamples(*reader);
  }

  Session session(common);
  session.Start();
  std::unique_ptr<WaveStream> stream;
  if (!options.play.empty()) {
    const AcceptedFormats accepted(session.Miniport(L"Wave"), WaveStream::kRenderPin);
    const WavFormat& format = reader->Format();
    if (!format.IsStreamable() || !accepted.Accepts(format.rate, format.channels, format.bits))
      throw ToolError(reader->Name() + " is " + format.Describe() + ", which the device does not play; it accepts " +
                      accepted.Describe());
    stream = std::make_unique<WaveStream>(session, false, format.Pcm(), common.bufferBytes);
    stream->SetPlayback(samples);
    stream->Run();
  }

  std::ostringstream out;
  DEVICE_POWER_STATE current = session.Harness().PowerState();
  for (DEVICE_POWER_STATE target : sequence) {
    auto run = [&](double ms) {
      if (stream)
        stream->Step(Milliseconds(ms));
      else
        session.RunFor(Milliseconds(ms));
    };
    run(kDwellMilliseconds);
    session.Collect();
    const sim::Ticks at = session.Kernel().Now();
    const NTSTATUS status = session.Harness().SetPowerState(target);
    run(kSettleMilliseconds);
    std::vector<sim::TraceEntry> activity;
    for (sim::TraceEntry& e : session.Collected())
      if (IsCodecOrLink(e)) activity.push_back(std::move(e));
    char head[160];
    std::snprintf(head, sizeof(head), "%s -> %s at %.3f ms: %s, %zu codec and link accesses\n", StateName(current).c_str(),
                  StateName(target).c_str(), static_cast<double>(at) / sim::kTicksPerMillisecond,
                  NT_SUCCESS(status) ? "done" : ("refused, " + StatusText(status)).c_str(), activity.size());
    out << head;
    for (const sim::TraceEntry& e : activity) out << "  " << sim::Trace::Render(e) << "\n";
    if (!NT_SUCCESS(status)) {
      std::fprintf(ReportStream(), "%s", out.str().c_str());
      throw DriverFault("the power request for " + StateName(target) + " failed: " + StatusText(status) + " (" +
                        session.Harness().LastError() + ")");
    }
    current = target;
  }
  session.CheckViolations("the power sequence");

  std::string streamText;
  if (stream) {
    stream->RunToEnd("playing");
    const StreamReport report = stream->Stop();
    stream.reset();
    const std::vector<std::uint8_t>& dac = session.Machine().GetCodec().Dac().Bytes();
    const std::string difference = FirstDifference(samples, dac);
    streamText = "Played '" + options.play + "' across the cycle: " + DescribePcm(report.format) + ", " +
                 std::to_string(report.Frames()) + " frames\n  " + StreamStatsText(report, session.Markers()) +
                 "\n  the DAC received " + std::to_string(dac.size()) + " bytes" +
                 (difference.empty() ? ": bit-exact with the input\n" : ", not the input: " + difference + "\n");
  }
  session.Settle();
  const std::string codec = "Codec powerdown register 0x26 at the end: " +
                            Hex(session.Machine().GetCodec().Peek(sim::ac97::kPowerdown), 4) + "\n";
  session.Finish();
  std::fprintf(ReportStream(), "%s%s%s", out.str().c_str(), streamText.c_str(), codec.c_str());
  return session.SaveRegistry(kExitOk);
}

}  // namespace tool
