#include "sim/firmware.h"

#include <array>
#include <cstdio>

namespace sim {

namespace {
std::uint8_t Ah(const Registers& r) { return static_cast<std::uint8_t>(r.eax >> 8); }
std::uint8_t Al(const Registers& r) { return static_cast<std::uint8_t>(r.eax); }
void SetAh(Registers& r, std::uint8_t v) { r.eax = (r.eax & 0xFFFF00FFu) | std::uint32_t{v} << 8; }
void SetAl(Registers& r, std::uint8_t v) { r.eax = (r.eax & 0xFFFFFF00u) | v; }
void Finish(Registers& r, std::uint8_t code) {
  SetAh(r, code);
  r.carry = code != bios::kSuccessful;
}
}  // namespace

Firmware::Firmware(const MachineConfig& config, Clock& clock, Trace& trace, PhysicalMemory& memory, PciFunction& pci)
    : config_(config), clock_(clock), trace_(trace), memory_(memory), pci_(pci) {}

void Firmware::PutHeader(std::uint32_t address, bool goodChecksum, std::uint8_t paragraphs, std::uint32_t entry) {
  std::array<std::uint8_t, 16> h{};
  h[0] = '_';
  h[1] = '3';
  h[2] = '2';
  h[3] = '_';
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<std::uint8_t>(entry >> (8 * i));
  h[8] = 0;  // revision
  h[9] = paragraphs;
  std::uint8_t sum = 0;
  for (auto b : h) sum = static_cast<std::uint8_t>(sum + b);
  h[10] = static_cast<std::uint8_t>(-sum + (goodChecksum ? 0 : 1));
  memory_.Load(address, h.data(), static_cast<std::uint32_t>(h.size()));
}

void Firmware::Install() {
  // A far return at each entry point: a real caller would land on code.
  const std::uint8_t retf = 0xCB;
  memory_.Load(bios::kDirectoryEntry, &retf, 1);
  memory_.Load(bios::kPciEntry, &retf, 1);
  switch (config_.firmware.layout) {
    case FirmwareLayout::Normal:
      PutHeader(bios::kHeaderAddress, true, 1);
      headerAddress_ = bios::kHeaderAddress;
      break;
    case FirmwareLayout::None:
      break;
    case FirmwareLayout::BadChecksum:
      PutHeader(bios::kHeaderAddress, false, 1);
      break;
    case FirmwareLayout::BadLength:
      PutHeader(bios::kHeaderAddress, true, 2);
      break;
    case FirmwareLayout::FourByteAligned:
      PutHeader(bios::kHeaderAddress4, true, 1);
      headerAddress_ = bios::kHeaderAddress4;
      break;
    case FirmwareLayout::EntryPastWindow:
      PutHeader(bios::kHeaderAddress, true, 1, kBiosBase + kBiosSize);
      break;
    case FirmwareLayout::BadFirstThenGood:
      PutHeader(bios::kEarlyBadHeaderAddress, false, 1);
      PutHeader(bios::kHeaderAddress, true, 1);
      headerAddress_ = bios::kHeaderAddress;
      break;
  }
}

void Firmware::Fault(std::uint32_t entry, const Registers& r, const char* why) {
  ++faults_;
  char text[128];
  std::snprintf(text, sizeof text, "firmware call 0x%08X eax=0x%08X: %s", static_cast<unsigned>(entry),
                static_cast<unsigned>(r.eax), why);
  TraceEntry e;
  e.kind = TraceKind::Fault;
  e.text = text;
  e.note = "firmware";
  trace_.Record(std::move(e));
}

void Firmware::Call(std::uint32_t physicalEntry, Registers& r) {
  std::lock_guard lock(clock_.Mutex());
  clock_.Advance(kCallTicks);
  ++calls_;
  const std::uint32_t eaxIn = r.eax;
  if (physicalEntry == bios::kDirectoryEntry) {
    Directory(r);
  } else if (physicalEntry == bios::kPciEntry && config_.firmware.pciServicePresent) {
    PciBios(r);
  } else {
    Fault(physicalEntry, r, "no firmware routine at this address");
    r.carry = true;
    return;
  }
  char text[96];
  std::snprintf(text, sizeof text, "0x%05X eax=0x%08X -> eax=0x%08X cf=%d", static_cast<unsigned>(physicalEntry),
                static_cast<unsigned>(eaxIn), static_cast<unsigned>(r.eax), r.carry ? 1 : 0);
  TraceEntry e;
  e.kind = TraceKind::BiosCall;
  e.text = text;
  trace_.Record(std::move(e));
}

void Firmware::Directory(Registers& r) {
  // BIOS32 directory: EAX = service id, EBX = selector; status in AL.
  if (r.ebx != 0) {
    SetAl(r, bios::kDirectoryBadSelector);
    r.carry = true;
    return;
  }
  if (r.eax != bios::kPciServiceId || !config_.firmware.pciServicePresent) {
    SetAl(r, bios::kDirectoryServiceMissing);
    r.carry = true;
    if (config_.firmware.missingServiceLeavesAddresses) {
      r.ebx = bios::kPciServiceBase;
      r.edx = bios::kPciEntryOffset;
    }
    return;
  }
  SetAl(r, 0x00);
  r.ebx = bios::kPciServiceBase;
  r.ecx = bios::kPciServiceLength;
  r.edx = bios::kPciEntryOffset;
  r.carry = false;
}

bool Firmware::AddressesFunction5(std::uint16_t bx) const {
  const std::uint8_t bus = static_cast<std::uint8_t>(bx >> 8);
  const std::uint8_t devfn = static_cast<std::uint8_t>(bx);
  return bus == config_.pciBus && devfn == ((config_.pciDevice & 0x1F) << 3 | 5);
}

void Firmware::PciBios(Registers& r) {
  if (Ah(r) != 0xB1) {
    Fault(bios::kPciEntry, r, "not a PCI BIOS function");
    Finish(r, bios::kFunctionNotSupported);
    return;
  }
  const std::uint8_t function = Al(r);
  const auto bx = static_cast<std::uint16_t>(r.ebx);
  const auto reg = static_cast<std::uint16_t>(r.edi);
  switch (function) {
    case 0x01:  // installation check
      r.edx = bios::kPciSignature;
      SetAl(r, 0x01);  // configuration mechanism #1
      r.ebx = (r.ebx & 0xFFFF0000u) | 0x0210;  // interface level 2.10
      r.ecx = (r.ecx & 0xFFFFFF00u) | config_.pciBus;  // last bus
      Finish(r, bios::kSuccessful);
      return;
    case 0x02: {  // find device
      const auto device = static_cast<std::uint16_t>(r.ecx);
      const auto vendor = static_cast<std::uint16_t>(r.edx);
      const auto index = static_cast<std::uint16_t>(r.esi);
      if (vendor == 0xFFFF) {
        Finish(r, bios::kBadVendorId);
        return;
      }
      const bool notFound = config_.firmware.findDevice == FindDeviceResult::NotFound ||
                            config_.firmware.findDevice == FindDeviceResult::NotFoundNoCarry;
      const bool match = vendor == config_.vendorId && device == config_.deviceId && index == 0 && !notFound;
      if (!match) {
        Finish(r, bios::kDeviceNotFound);
        if (config_.firmware.findDevice == FindDeviceResult::NotFoundNoCarry) r.carry = false;
        return;
      }
      const std::uint8_t function5 = config_.firmware.findDevice == FindDeviceResult::AtFunction0 ? 0 : 5;
      const std::uint16_t address =
          static_cast<std::uint16_t>(config_.pciBus << 8 | (config_.pciDevice & 0x1F) << 3 | function5);
      r.ebx = (r.ebx & 0xFFFF0000u) | address;
      Finish(r, bios::kSuccessful);
      return;
    }
    case 0x08:
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D: {
      const bool write = function >= 0x0B;
      const int width = 1 << ((function - 0x08) % 3);
      if (reg > 0xFF || reg % width != 0) {
        Finish(r, bios::kBadRegisterNumber);
        return;
      }
      const std::uint32_t mask = width == 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
      if (write) {
        if (AddressesFunction5(bx)) pci_.Write(reg, width, r.ecx & mask, ConfigPath::Bios);
      } else {
        const std::uint32_t value = AddressesFunction5(bx) ? pci_.Read(reg, width, ConfigPath::Bios) : mask;
        r.ecx = (r.ecx & ~mask) | value;
      }
      Finish(r, bios::kSuccessful);
      return;
    }
    default:
      Fault(bios::kPciEntry, r, "unknown PCI BIOS function");
      Finish(r, bios::kFunctionNotSupported);
      return;
  }
}

}  // namespace sim
