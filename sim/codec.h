// The AC'97 codec: its register file with the standard's reset values and
// writable bits, variable rate audio and 3D control as options, 5- or 6-bit
// output volume fields, the powerdown register (its requests take effect and
// the ready bits follow after a settle time), the DAC's sink and the ADC's
// source.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "sim/audio.h"
#include "sim/machine_config.h"

namespace sim {

namespace ac97 {
constexpr std::uint8_t kReset = 0x00;
constexpr std::uint8_t kMasterVolume = 0x02;
constexpr std::uint8_t kHeadphoneVolume = 0x04;
constexpr std::uint8_t kMasterVolumeMono = 0x06;
constexpr std::uint8_t kPcBeepVolume = 0x0A;
constexpr std::uint8_t kPhoneVolume = 0x0C;
constexpr std::uint8_t kMicVolume = 0x0E;
constexpr std::uint8_t kLineInVolume = 0x10;
constexpr std::uint8_t kCdVolume = 0x12;
constexpr std::uint8_t kVideoVolume = 0x14;
constexpr std::uint8_t kAuxVolume = 0x16;
constexpr std::uint8_t kPcmOutVolume = 0x18;
constexpr std::uint8_t kRecordSelect = 0x1A;
constexpr std::uint8_t kRecordGain = 0x1C;
constexpr std::uint8_t kGeneralPurpose = 0x20;
constexpr std::uint8_t k3dControl = 0x22;
constexpr std::uint8_t kPowerdown = 0x26;
constexpr std::uint8_t kExtendedAudioId = 0x28;
constexpr std::uint8_t kExtendedAudioStatus = 0x2A;
constexpr std::uint8_t kPcmFrontDacRate = 0x2C;
constexpr std::uint8_t kPcmAdcRate = 0x32;
constexpr std::uint8_t kVendorId1 = 0x7C;
constexpr std::uint8_t kVendorId2 = 0x7E;
constexpr std::uint16_t kGeneralPurpose3d = 0x2000;
constexpr std::uint16_t kExtendedVra = 0x0001;
// Register 0x26: ready bits (read only) and power-down requests.
constexpr std::uint16_t kAdcReady = 0x0001;
constexpr std::uint16_t kDacReady = 0x0002;
constexpr std::uint16_t kAnalogReady = 0x0004;
constexpr std::uint16_t kVrefReady = 0x0008;
constexpr std::uint16_t kPr0AdcOff = 0x0100;
constexpr std::uint16_t kPr1DacOff = 0x0200;
constexpr std::uint16_t kPr2MixerOff = 0x0400;
constexpr std::uint16_t kPr3MixerVrefOff = 0x0800;
constexpr std::uint16_t kPr4LinkOff = 0x1000;
constexpr std::uint16_t kPr5ClockOff = 0x2000;
constexpr std::uint16_t kPr6AuxOutOff = 0x4000;
constexpr std::uint16_t kEapd = 0x8000;
}  // namespace ac97

class Clock;

class Codec {
 public:
  // Without a clock the codec lives at time 0: every section settles at once.
  explicit Codec(const CodecConfig& config, std::uint64_t seed = 1, const Clock* clock = nullptr);

  // Called when the driver sets PR4: the codec shuts the AC-link down and
  // keeps its registers until a warm reset wakes it.
  void SetLinkOffHandler(std::function<void()> handler) { linkOff_ = std::move(handler); }
  // A warm reset woke the link: PR4 is cleared, the registers are kept.
  void WokenByWarmReset();

  // Register access as the AC-link delivers it (counted). Registers the codec
  // does not implement, and odd numbers, read 0 and ignore writes. A write
  // to register 0x00 resets every register to its reset value.
  std::uint16_t Read(std::uint8_t reg);
  void Write(std::uint8_t reg, std::uint16_t value);

  // Test access: no counting, Poke bypasses the write masks.
  std::uint16_t Peek(std::uint8_t reg) const;
  void Poke(std::uint8_t reg, std::uint16_t value);
  std::uint32_t ReadCount(std::uint8_t reg) const { return reads_[reg & 0x7F]; }
  std::uint32_t WriteCount(std::uint8_t reg) const { return writes_[reg & 0x7F]; }
  std::uint64_t TotalAccesses() const;

  // Cold reset (link restart out of reset) or a write to register 0x00:
  // every register to its reset value, the analog sections settling again.
  void ResetRegisters();

  bool HasVra() const { return config_.hasVra; }
  bool Has3d() const { return config_.has3d; }
  // The rates the converters run at now: 48000 unless VRA is enabled.
  std::uint32_t DacRate() const;
  std::uint32_t AdcRate() const;

  DacSink& Dac() { return dac_; }
  AdcSource& Adc() { return adc_; }

  // The converters as the controller drives them over the link. PlayDac
  // takes bytes the playback channel delivered (all of them reach the sink;
  // the line output hears them only while the DAC, the mixer and the
  // amplifier are powered); DacGap is converter periods nobody fed; Sample
  // fills `out` with the ADC's next samples (silence while it is powered
  // down, the input going by unheard).
  void PlayDac(std::span<const std::uint8_t> bytes, const PcmFormat& format, Ticks now);
  void DacGap(std::uint64_t frames, std::uint32_t rate) { dac_.HearSilence(frames, rate); }
  void Sample(std::span<std::uint8_t> out, const PcmFormat& format);
  bool DacHeard() const;
  bool AdcOn() const;
  // The line output for the DAC bytes with the current volume settings.
  std::vector<std::int16_t> LineOut(std::span<const std::uint8_t> dac, const PcmFormat& format) const;

 private:
  enum Section { kAdc, kDac, kAnalog, kVref, kSections };
  std::uint16_t WriteMask(std::uint8_t reg) const;
  bool Implemented(std::uint8_t reg) const;
  std::uint16_t StoreVolume(std::uint8_t reg, std::uint16_t value) const;
  std::uint16_t PowerDownRequests(Section section) const;
  bool Ready(Section section) const;
  bool Ready(Section section, Ticks now) const;
  void PowerChanged(std::uint16_t before, std::uint16_t after);
  Ticks Now() const;

  const CodecConfig config_;
  const Clock* clock_;
  std::array<Ticks, kSections> readyAt_{};
  std::function<void()> linkOff_;
  std::vector<std::int16_t> heardScratch_;
  std::vector<std::uint8_t> partial_;  // the start of a frame not yet complete
  std::vector<std::uint8_t> joined_;
  PcmFormat partialFormat_;
  std::array<std::uint16_t, 64> regs_{};  // by register number / 2
  std::array<std::uint32_t, 128> reads_{};
  std::array<std::uint32_t, 128> writes_{};
  DacSink dac_;
  AdcSource adc_;
};

}  // namespace sim
