// The controller's register map, stated once more here, against every
// hardware access of a whole device life: start, playback and capture through
// run, pause, run and stop, a position query, D3 and back to D0. Each port
// access must hit a register of the map with its width and direction, each
// configuration access one of the controller's bytes, each codec access a
// register the driver has a use for; and ChannelType keeps bits 2, 3, 6, 7.
#include <map>
#include <set>

#include "wave/wave_fixture.h"

namespace wavetest {
namespace {

struct IoRegister {
  int width;  // bytes
  bool read, write;
};

// Offsets from the controller's base.
const std::map<std::uint32_t, IoRegister> kControllerMap = {
    {0x00, {1, true, true}},    // playback ChannelStatus
    {0x01, {1, false, true}},   // playback ChannelControl: commands only
    {0x02, {1, true, true}},    // playback ChannelType
    {0x04, {4, true, true}},    // playback ChannelTableAddress
    {0x0C, {4, true, false}},   // playback ChannelCurrentCount
    {0x10, {1, true, true}},    // capture ChannelStatus
    {0x11, {1, false, true}},   // capture ChannelControl
    {0x12, {1, true, true}},    // capture ChannelType
    {0x14, {4, false, true}},   // capture ChannelTableAddress
    {0x1C, {4, true, false}},   // capture ChannelCurrentCount
    {0x80, {2, true, true}},    // CodecDataPort
    {0x82, {1, false, true}},   // CodecIndexPort
    {0x83, {1, true, true}},    // CodecStatusPort
    {0x84, {1, true, false}},   // SgdStatusShadow
};

// AC'97 registers: the mixer, General Purpose, 3D, Powerdown, the extended
// audio ID and control, and the two sample-rate registers.
const std::set<std::uint32_t> kCodecRegisters = {0x02, 0x06, 0x0A, 0x0C, 0x0E, 0x10, 0x12, 0x14, 0x16, 0x18, 0x1A,
                                                 0x1C, 0x20, 0x22, 0x26, 0x28, 0x2A, 0x2C, 0x32};

TEST(ControllerRegisterMap, EveryAccessOfADeviceLifeFitsTheMap) {
  sim::MachineConfig config;
  config.midiEnabled = false;  // the framework's own UART would add the MPU-401's traffic
  WaveDevice device(config);
  ASSERT_STARTED(device);
  // Bits the driver does not own; every ChannelType write must carry them back.
  device.PlaybackChannel().WriteByte(0x02, 0xCC);
  device.CaptureChannel().WriteByte(0x02, 0xCC);

  host::WavePciPin* play = device.Open(kRenderPin, kCd);
  host::WavePciPin* record = device.Open(kCapturePin, {48000, 1, 8});
  ASSERT_TRUE(play && record);
  for (int i = 0; i < 8; ++i) {
    play->QueueBuffer(Pattern(kCdBlock, i));
    record->QueueCaptureBuffer(480);
  }
  for (KSSTATE state : {KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_RUN}) {
    ASSERT_EQ(play->SetState(state), STATUS_SUCCESS);
    ASSERT_EQ(record->SetState(state), STATUS_SUCCESS);
    device.RunFor(25 * kMillisecond);
  }
  ULONGLONG position = 0;
  ASSERT_EQ(play->Stream()->GetPosition(&position), STATUS_SUCCESS);
  EXPECT_EQ(play->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(record->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(device.Harness().SetPowerState(PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(device.Harness().SetPowerState(PowerDeviceD0), STATUS_SUCCESS);

  const std::uint32_t base = config.ioBase;
  std::set<std::uint32_t> seen;
  int typeWrites = 0;
  for (const sim::TraceEntry& e : device.Machine().GetTrace().Entries()) {
    const bool write = e.kind == sim::TraceKind::PortWrite || e.kind == sim::TraceKind::ConfigWrite;
    if (e.kind == sim::TraceKind::PortRead || e.kind == sim::TraceKind::PortWrite) {
      if (e.address == 0x90 || e.address == 0x91) {
        EXPECT_TRUE(write && e.width == 1) << sim::Trace::Render(e) << ": diagnostic ports take single byte writes";
        continue;
      }
      const auto row = kControllerMap.find(e.address - base);
      ASSERT_TRUE(e.address >= base && row != kControllerMap.end()) << sim::Trace::Render(e) << ": not a register";
      EXPECT_EQ(e.width, row->second.width) << sim::Trace::Render(e);
      EXPECT_TRUE(write ? row->second.write : row->second.read) << sim::Trace::Render(e) << ": wrong direction";
      seen.insert(e.address - base);
      if (write && (e.address - base == 0x02 || e.address - base == 0x12)) {
        ++typeWrites;
        EXPECT_EQ(e.value & 0xCC, 0xCCu) << sim::Trace::Render(e) << ": bits 2, 3, 6, 7 are written back as read";
        const std::uint32_t format = e.address - base == 0x02 ? 0x30 : 0x00;  // stereo 16-bit; mono 8-bit
        EXPECT_EQ(e.value & 0x30, format) << sim::Trace::Render(e);
      }
    } else if (e.kind == sim::TraceKind::ConfigRead || e.kind == sim::TraceKind::ConfigWrite) {
      // The revision, codec link status and control, MIDI control and port select; bytes only.
      EXPECT_TRUE(std::set<std::uint32_t>({0x08, 0x40, 0x41, 0x42, 0x43}).count(e.address)) << sim::Trace::Render(e);
      EXPECT_EQ(e.width, 1) << sim::Trace::Render(e);
    } else if (e.kind == sim::TraceKind::CodecRead || e.kind == sim::TraceKind::CodecWrite) {
      EXPECT_TRUE(kCodecRegisters.count(e.address)) << sim::Trace::Render(e);
    }
  }
  EXPECT_GT(typeWrites, 4) << "interrupt enables and format, on both channels";
  // The registers every such life uses.
  for (std::uint32_t used : {0x00, 0x01, 0x02, 0x04, 0x0C, 0x10, 0x11, 0x12, 0x14, 0x80, 0x82, 0x83, 0x84})
    EXPECT_TRUE(seen.count(used)) << std::hex << "offset 0x" << used << " never accessed";
  EXPECT_TRUE(device.violations.empty()) << Joined(device.violations);
}

}  // namespace
}  // namespace wavetest
