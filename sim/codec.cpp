#include "sim/codec.h"

#include <algorithm>
#include <numeric>

#include "sim/clock.h"

namespace sim {

namespace {

struct RegisterRow {
  std::uint8_t reg;
  std::uint16_t reset;
  std::uint16_t writable;
};

// Field widths as the AC'97 standard gives them: the output volumes
// (Master, Aux Out, Mono Out) as 6-bit fields here, narrowed to 5 bits on
// codecs built that way (StoreVolume); Phone, Mic and the stereo inputs
// (Line, CD, Video, Aux, PCM Out) with 5-bit gains, bit 5 reserved.
constexpr RegisterRow kRegisterTable[] = {
    {ac97::kMasterVolume, 0x8000, 0xBF3F},
    {ac97::kHeadphoneVolume, 0x8000, 0xBF3F},
    {ac97::kMasterVolumeMono, 0x8000, 0x803F},
    {ac97::kPcBeepVolume, 0x0000, 0x801E},
    {ac97::kPhoneVolume, 0x8008, 0x801F},
    {ac97::kMicVolume, 0x8008, 0x805F},  // bit 6: 20 dB boost
    {ac97::kLineInVolume, 0x8808, 0x9F1F},
    {ac97::kCdVolume, 0x8808, 0x9F1F},
    {ac97::kVideoVolume, 0x8808, 0x9F1F},
    {ac97::kAuxVolume, 0x8808, 0x9F1F},
    {ac97::kPcmOutVolume, 0x8808, 0x9F1F},
    {ac97::kRecordSelect, 0x0000, 0x0707},
    {ac97::kRecordGain, 0x8000, 0x8F0F},
    {ac97::kGeneralPurpose, 0x0000, 0x9380},  // + bit 13 with 3D
    {ac97::k3dControl, 0x0000, 0x0F0F},       // only with 3D
    {ac97::kPowerdown, 0x0000, 0xFF00},       // low nibble: ready status; bits 7-4 reserved
    {ac97::kExtendedAudioId, 0x0000, 0x0000},
    {ac97::kExtendedAudioStatus, 0x0000, 0x0001},  // only with VRA
    {ac97::kPcmFrontDacRate, 0xBB80, 0xFFFF},      // only with VRA enabled
    {ac97::kPcmAdcRate, 0xBB80, 0xFFFF},
    {ac97::kVendorId1, 0x0000, 0x0000},
    {ac97::kVendorId2, 0x0000, 0x0000},
};

const RegisterRow* Row(std::uint8_t reg) {
  for (const auto& row : kRegisterTable)
    if (row.reg == reg) return &row;
  return nullptr;
}

constexpr std::uint16_t kRate48k = 0xBB80;
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 48000;

// The capabilities word of register 0x00: headphone out, and a 3D technique
// id when the codec has 3D.
constexpr std::uint16_t kCapsHeadphone = 0x0010;
constexpr std::uint16_t kCaps3dTechnique = 0x0400;

bool IsOutputVolume(std::uint8_t reg) {
  return reg == ac97::kMasterVolume || reg == ac97::kHeadphoneVolume || reg == ac97::kMasterVolumeMono;
}

}  // namespace

Codec::Codec(const CodecConfig& config, std::uint64_t seed, const Clock* clock)
    : config_(config), clock_(clock), adc_(seed) {
  ResetRegisters();
  readyAt_.fill(0);  // power-on was long ago: every section has settled
}

Ticks Codec::Now() const { return clock_ ? clock_->Now() : 0; }

void Codec::ResetRegisters() {
  const Ticks settled = Now() + config_.sectionSettleTicks;
  readyAt_.fill(settled);
  regs_.fill(0);
  for (const auto& row : kRegisterTable) regs_[row.reg / 2] = row.reset;
  regs_[ac97::kExtendedAudioId / 2] =
      static_cast<std::uint16_t>((config_.hasVra ? ac97::kExtendedVra : 0) | config_.extendedIdExtraBits);
  regs_[ac97::kVendorId1 / 2] = config_.vendorId1;
  regs_[ac97::kVendorId2 / 2] = config_.vendorId2;
}

bool Codec::Implemented(std::uint8_t reg) const {
  if (reg & 1) return false;
  return reg == ac97::kReset || Row(reg) != nullptr;
}

std::uint16_t Codec::WriteMask(std::uint8_t reg) const {
  const RegisterRow* row = Row(reg);
  if (!row) return 0;
  switch (reg) {
    case ac97::kGeneralPurpose:
      return static_cast<std::uint16_t>(row->writable | (config_.has3d ? ac97::kGeneralPurpose3d : 0));
    case ac97::k3dControl:
      return config_.has3d ? row->writable : 0;
    case ac97::kExtendedAudioStatus:
      return config_.hasVra ? row->writable : 0;
    case ac97::kPcmFrontDacRate:
    case ac97::kPcmAdcRate:
      return (regs_[ac97::kExtendedAudioStatus / 2] & ac97::kExtendedVra) ? row->writable : 0;
    default:
      return row->writable;
  }
}

// The requests in register 0x26 that keep a section down.
std::uint16_t Codec::PowerDownRequests(Section section) const {
  switch (section) {
    case kAdc: return ac97::kPr0AdcOff | ac97::kPr5ClockOff;
    case kDac: return ac97::kPr1DacOff | ac97::kPr5ClockOff;
    case kAnalog: return ac97::kPr2MixerOff | ac97::kPr3MixerVrefOff;
    case kVref: return ac97::kPr3MixerVrefOff;
    case kSections: break;
  }
  return 0;
}

bool Codec::Ready(Section section) const { return Ready(section, Now()); }

bool Codec::Ready(Section section, Ticks now) const {
  return (regs_[ac97::kPowerdown / 2] & PowerDownRequests(section)) == 0 && now >= readyAt_[section];
}

// A section whose last power-down request is lifted starts to settle now.
void Codec::PowerChanged(std::uint16_t before, std::uint16_t after) {
  for (int s = 0; s < kSections; ++s) {
    const std::uint16_t requests = PowerDownRequests(static_cast<Section>(s));
    if ((before & requests) != 0 && (after & requests) == 0) readyAt_[s] = Now() + config_.sectionSettleTicks;
  }
  if (!(before & ac97::kPr4LinkOff) && (after & ac97::kPr4LinkOff) && linkOff_) linkOff_();
}

void Codec::WokenByWarmReset() {
  // Waking the link clears the request that shut it down; nothing else changes.
  regs_[ac97::kPowerdown / 2] &= static_cast<std::uint16_t>(~ac97::kPr4LinkOff);
}

bool Codec::DacHeard() const {
  // Asked for every piece the DAC plays: the clock is read once, not per section.
  const Ticks now = Now();
  return Ready(kDac, now) && Ready(kVref, now) && Ready(kAnalog, now) && !(regs_[ac97::kPowerdown / 2] & ac97::kEapd);
}

bool Codec::AdcOn() const { return Ready(kAdc) && Ready(kVref); }

std::uint16_t Codec::Peek(std::uint8_t reg) const {
  reg &= 0x7F;
  if (!Implemented(reg)) return 0;
  if (reg == ac97::kReset) return static_cast<std::uint16_t>(kCapsHeadphone | (config_.has3d ? kCaps3dTechnique : 0));
  std::uint16_t value = regs_[reg / 2];
  if (reg == ac97::kPowerdown) {
    std::uint16_t ready = 0;
    if (Ready(kAdc)) ready |= ac97::kAdcReady;
    if (Ready(kDac)) ready |= ac97::kDacReady;
    if (Ready(kAnalog)) ready |= ac97::kAnalogReady;
    if (Ready(kVref)) ready |= ac97::kVrefReady;
    value = static_cast<std::uint16_t>((value & 0xFF00) | ready);
  }
  return value;
}

// A 5-bit output volume field takes a written 1xxxxx as its largest
// attenuation, 011111, as the AC'97 standard asks of such codecs.
std::uint16_t Codec::StoreVolume(std::uint8_t reg, std::uint16_t value) const {
  if (config_.outputVolumeBits != 5 || !IsOutputVolume(reg)) return value;
  for (int shift : {0, 8}) {
    if (value & (0x20 << shift)) value = static_cast<std::uint16_t>((value & ~(0x3F << shift)) | (0x1F << shift));
  }
  return value;
}

void Codec::Poke(std::uint8_t reg, std::uint16_t value) {
  reg &= 0x7F;
  if (reg & 1) return;
  regs_[reg / 2] = value;
}

std::uint16_t Codec::Read(std::uint8_t reg) {
  ++reads_[reg & 0x7F];
  return Peek(reg);
}

void Codec::Write(std::uint8_t reg, std::uint16_t value) {
  reg &= 0x7F;
  ++writes_[reg];
  if (!Implemented(reg)) return;
  if (reg == ac97::kReset) {
    ResetRegisters();
    return;
  }
  const std::uint16_t mask = WriteMask(reg);
  const std::uint16_t before = regs_[reg / 2];
  std::uint16_t next = StoreVolume(reg, static_cast<std::uint16_t>((before & ~mask) | (value & mask)));
  if ((reg == ac97::kPcmFrontDacRate || reg == ac97::kPcmAdcRate) && mask != 0) {
    // The converters run between 8 and 48 kHz; anything else is pinned there.
    next = static_cast<std::uint16_t>(std::clamp<std::uint32_t>(next, kMinRate, kMaxRate));
  }
  regs_[reg / 2] = next;
  if (reg == ac97::kExtendedAudioStatus && !(next & ac97::kExtendedVra)) {
    // Without VRA the converters fall back to 48 kHz, and so do the rates.
    regs_[ac97::kPcmFrontDacRate / 2] = kRate48k;
    regs_[ac97::kPcmAdcRate / 2] = kRate48k;
  }
  if (reg == ac97::kPowerdown) PowerChanged(before, next);
}

std::uint64_t Codec::TotalAccesses() const {
  return std::accumulate(reads_.begin(), reads_.end(), std::uint64_t{0}) +
         std::accumulate(writes_.begin(), writes_.end(), std::uint64_t{0});
}

std::uint32_t Codec::DacRate() const {
  if (!(regs_[ac97::kExtendedAudioStatus / 2] & ac97::kExtendedVra)) return kMaxRate;
  return std::clamp<std::uint32_t>(regs_[ac97::kPcmFrontDacRate / 2], kMinRate, kMaxRate);
}

std::uint32_t Codec::AdcRate() const {
  if (!(regs_[ac97::kExtendedAudioStatus / 2] & ac97::kExtendedVra)) return kMaxRate;
  return std::clamp<std::uint32_t>(regs_[ac97::kPcmAdcRate / 2], kMinRate, kMaxRate);
}

void Codec::PlayDac(std::span<const std::uint8_t> bytes, const PcmFormat& format, Ticks now) {
  dac_.Consume(bytes, format, now);
  const std::size_t fb = format.FrameBytes();
  if (fb == 0) return;
  // The channel moves bytes as they fall due, not whole frames: a frame
  // split between two deliveries is played when its last byte arrives.
  if (!(partialFormat_ == format)) partial_.clear();
  partialFormat_ = format;
  std::span<const std::uint8_t> whole = bytes;
  if (!partial_.empty()) {
    joined_.assign(partial_.begin(), partial_.end());
    joined_.insert(joined_.end(), bytes.begin(), bytes.end());
    whole = joined_;
  }
  const std::size_t usable = whole.size() - whole.size() % fb;
  partial_.assign(whole.begin() + static_cast<std::ptrdiff_t>(usable), whole.end());
  whole = whole.first(usable);
  if (!DacHeard()) {
    dac_.HearSilence(usable / fb, format.rate);
    return;
  }
  if (!dac_.Listened()) {
    dac_.HearUnobserved(usable / fb);
    return;
  }
  heardScratch_.clear();
  AppendLineOut(whole, format, Peek(ac97::kMasterVolume), Peek(ac97::kPcmOutVolume), heardScratch_);
  dac_.Hear(heardScratch_, format.rate);
}

void Codec::Sample(std::span<std::uint8_t> out, const PcmFormat& format) {
  if (AdcOn()) {
    adc_.Produce(out, format);
    return;
  }
  std::fill(out.begin(), out.end(), format.bits == 8 ? 0x80 : 0x00);
  adc_.Skip(out.size());
}

std::vector<std::int16_t> Codec::LineOut(std::span<const std::uint8_t> dac, const PcmFormat& format) const {
  return sim::LineOut(dac, format, Peek(ac97::kMasterVolume), Peek(ac97::kPcmOutVolume));
}

}  // namespace sim
