// Every knob of the simulated machine. A default-constructed config is a
// healthy machine: PCI BIOS present, codec with variable rate audio and 3D
// control, link up, MIDI port enabled at 0x330 on an older (0x08) controller.
#pragma once

#include <cstdint>
#include <optional>

#include "sim/clock.h"

namespace sim {

// Where (and whether) the BIOS32 Service Directory header sits in the window.
enum class FirmwareLayout {
  Normal,             // a valid header on a 16-byte boundary
  None,               // no "_32_" anywhere in 0xE0000-0xFFFFF
  BadChecksum,        // the only header's 16 bytes do not add up to 0
  BadLength,          // the only header says 2 paragraphs
  FourByteAligned,    // a valid header at a 4-byte-but-not-16-byte boundary
  BadFirstThenGood,   // a bad-checksum header first, a valid one later
  EntryPastWindow,    // a valid header whose entry point is the first byte past the window
};

// What the PCI BIOS "find device" function answers for the controller's ids.
enum class FindDeviceResult {
  Found,            // at function 5 of the configured bus/device
  NotFound,         // AH = 0x86, CF set
  NotFoundNoCarry,  // AH = 0x86 with CF clear: a firmware that reports in AH alone
  AtFunction0,      // at function 0 of the right bus/device
};

struct FirmwareConfig {
  FirmwareLayout layout = FirmwareLayout::Normal;
  bool pciServicePresent = true;  // the directory knows "$PCI"
  // The directory's "not present" answer leaves the PCI service's base and
  // entry offset in EBX and EDX, as a firmware's search loop can.
  bool missingServiceLeavesAddresses = false;
  FindDeviceResult findDevice = FindDeviceResult::Found;
};

enum class LinkMode {
  Normal,      // codec ready a short while after a link (re)start
  Slow,        // ready only after slowReadyDelay (still under 0.5 s)
  NeverReady,  // CodecLinkStatus bit 0 never sets; the codec never answers
};

struct LinkConfig {
  LinkMode mode = LinkMode::Normal;
  Ticks readyDelay = 50 * kTicksPerMicrosecond;
  Ticks slowReadyDelay = 200 * kTicksPerMillisecond;
  // When set, CodecLinkStatus (config 0x40) reads this value whenever the
  // link is up (e.g. 2 or 0), instead of 1.
  std::optional<std::uint8_t> statusWhenReady;
};

struct CodecConfig {
  bool hasVra = true;
  bool has3d = true;
  // Extra bits reported in Extended Audio ID (register 0x28), e.g. 0x0040.
  std::uint16_t extendedIdExtraBits = 0;
  // Master, Aux Out and Mono Out volume fields: 6 bits, or 5 on codecs
  // that take a written 1xxxxx as 011111.
  std::uint8_t outputVolumeBits = 6;
  // After a cold reset, or when a power-down request is lifted, a section
  // (ADC, DAC, analog mixer, Vref) reports ready only after this long.
  Ticks sectionSettleTicks = 1 * kTicksPerMillisecond;
  std::uint16_t vendorId1 = 0x5A54;  // register 0x7C
  std::uint16_t vendorId2 = 0x4197;  // register 0x7E
  // Codec access port behaviour.
  Ticks commandTicks = 5 * kTicksPerMicrosecond;  // busy time per command
  bool portNeverFree = false;        // CodecStatusPort never reads 0
  bool readDataNeverReady = false;   // a read command never sets bit 1
};

struct ControllerConfig {
  Ticks terminateTicks = 2 * kTicksPerMicrosecond;  // 0x40 -> active clears
  bool channelNeverStops = false;  // terminate never clears the active bit
  // Bits 2, 3, 6 and 7 of SgdStatusShadow carry nothing the driver uses; a
  // controller may still report them set. These are ORed into every read.
  std::uint8_t shadowUnusedBits = 0;
  // The capture FIFO between the ADC and the channel: 16 frames of 16-bit
  // stereo, a third of a millisecond at 48 kHz.
  std::uint32_t captureFifoBytes = 64;
};

struct MachineConfig {
  std::uint16_t vendorId = 0x1AF4;
  std::uint16_t deviceId = 0x10F7;
  std::uint8_t revision = 0x08;
  std::uint8_t pciBus = 0;
  std::uint8_t pciDevice = 7;  // the audio controller is function 5 of it

  bool midiEnabled = true;        // config 0x42 bit 1
  std::uint8_t midiPortSelect = 3;  // config 0x43 bits 3-2: 0x300 + 0x10 * n

  std::uint16_t ioBase = 0xD000;   // 256-byte controller block (port group 1)
  std::uint16_t ioBase2 = 0xD400;  // 4-byte second range (port group 2)
  std::uint8_t irq = 5;

  FirmwareConfig firmware;
  LinkConfig link;
  CodecConfig codec;
  ControllerConfig controller;

  std::uint32_t dmaArenaBase = 0x0100'0000;
  std::uint32_t dmaArenaBytes = 32u << 20;

  std::uint64_t seed = 1;
};

}  // namespace sim
