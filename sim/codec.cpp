#include "sim/codec.h"

#include <algorithm>
#include <numeric>

namespace sim {

namespace {

struct RegisterRow {
  std::uint8_t reg;
  std::uint16_t reset;
  std::uint16_t writable;
};

// Volume fields are 6 bits wide throughout, each register with its mute bit.
constexpr RegisterRow kRegisterTable[] = {
    {ac97::kMasterVolume, 0x8000, 0xBF3F},
    {ac97::kHeadphoneVolume, 0x8000, 0xBF3F},
    {ac97::kMasterVolumeMono, 0x8000, 0x803F},
    {ac97::kPcBeepVolume, 0x0000, 0x801E},
    {ac97::kPhoneVolume, 0x8008, 0x803F},
    {ac97::kMicVolume, 0x8008, 0x807F},  // bit 6: 20 dB boost
    {ac97::kLineInVolume, 0x8808, 0xBF3F},
    {ac97::kCdVolume, 0x8808, 0xBF3F},
    {ac97::kVideoVolume, 0x8808, 0xBF3F},
    {ac97::kAuxVolume, 0x8808, 0xBF3F},
    {ac97::kPcmOutVolume, 0x8808, 0xBF3F},
    {ac97::kRecordSelect, 0x0000, 0x0707},
    {ac97::kRecordGain, 0x8000, 0x8F0F},
    {ac97::kGeneralPurpose, 0x0000, 0x9380},  // + bit 13 with 3D
    {ac97::k3dControl, 0x0000, 0x0F0F},       // only with 3D
    {ac97::kPowerdown, 0x0000, 0xFFF0},       // low nibble: ready status
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

}  // namespace

Codec::Codec(const CodecConfig& config, std::uint64_t seed) : config_(config), adc_(seed) { ResetRegisters(); }

void Codec::ResetRegisters() {
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

std::uint16_t Codec::Peek(std::uint8_t reg) const {
  reg &= 0x7F;
  if (!Implemented(reg)) return 0;
  if (reg == ac97::kReset) return static_cast<std::uint16_t>(kCapsHeadphone | (config_.has3d ? kCaps3dTechnique : 0));
  std::uint16_t value = regs_[reg / 2];
  if (reg == ac97::kPowerdown) {
    // Each section reports ready unless its power-down request is set.
    std::uint16_t ready = 0x000F;
    if (value & 0x0100) ready &= ~0x0001;  // PR0: ADCs
    if (value & 0x0200) ready &= ~0x0002;  // PR1: DACs
    if (value & 0x0C00) ready &= ~0x0004;  // PR2/PR3: analog mixer
    if (value & 0x0800) ready &= ~0x0008;  // PR3: Vref
    value = static_cast<std::uint16_t>((value & 0xFFF0) | ready);
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
  std::uint16_t next = static_cast<std::uint16_t>((regs_[reg / 2] & ~mask) | (value & mask));
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

std::vector<std::int16_t> Codec::LineOut(std::span<const std::uint8_t> dac, const PcmFormat& format) const {
  return sim::LineOut(dac, format, Peek(ac97::kMasterVolume), Peek(ac97::kPcmOutVolume));
}

}  // namespace sim
