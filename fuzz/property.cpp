// Property requests through the framework's dispatcher into a started
// device: the topology filter of either variant (with or without the
// codec's 3D controls) and the wave filter, any node, set, id, verb,
// instance and value size, buffers exactly as large as offered.
//
// The same device is then built again and given only the sets that
// succeeded, each in its plain valid form (the channel as instance, a 4-byte
// value). Afterwards:
//   the codec holds exactly what those valid requests wrote, and the level
//   cache holds the same levels (refused requests left no trace, odd sizes
//   were read as the valid form reads them);
//   the cache and the codec agree: setting any volume node to the level it
//   reports writes nothing new to the codec.
#include <array>
#include <memory>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "fuzz_device.h"
#include "fuzz_input.h"
#include "host/property.h"
#include "topology/miniport.h"

namespace {

struct Request {
  bool wave = false;
  host::PropertyCall call;
};

using CodecImage = std::array<std::uint16_t, 64>;
using Cache = std::array<CtrlVal, CtrlValCacheRows>;

// The codec applies a command a few microseconds after the port takes it:
// let it settle before reading its registers.
CodecImage Codec(fuzz::Device& device) {
  device.Kernel().RunFor(100 * sim::kTicksPerMicrosecond);
  CodecImage image;
  for (std::size_t r = 0; r < image.size(); ++r) image[r] = device.Machine().GetCodec().Read(static_cast<std::uint8_t>(2 * r));
  return image;
}

Cache Levels(PMINIPORT miniport) {
  auto* topology = static_cast<CMiniportTopologyZATAC97*>(static_cast<PMINIPORTTOPOLOGY>(miniport));
  Cache cache;
  for (UCHAR row = 0; row < CtrlValCacheRows; ++row) cache[row] = topology->LevelCacheRow(row);
  return cache;
}

bool SameLevels(const Cache& a, const Cache& b) { return std::memcmp(a.data(), b.data(), sizeof(CtrlVal) * a.size()) == 0; }

Request Decode(fuzz::Input& in, ULONG nodes) {
  static const ULONG kIds[] = {KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_AUDIO_MUX_SOURCE,
                               KSPROPERTY_AUDIO_AGC, KSPROPERTY_AUDIO_CPU_RESOURCES,
                               KSPROPERTY_AUDIO_MIX_LEVEL_CAPS, KSPROPERTY_AUDIO_MIX_LEVEL_TABLE};
  static const ULONG kVerbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                 KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 0,
                                 KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY};
  static const ULONG kSizes[] = {0, 1, 3, 4, 5, 8, 16, 24, 40, 72};
  Request r;
  const std::uint8_t shape = in.Byte();
  r.wave = shape % 16 == 0;
  host::PropertyCall& c = r.call;
  c.node = shape % 16 == 1 ? KSFILTER_NODE : in.Below(nodes + 2);
  c.set = in.Byte() % 16 ? KSPROPSETID_Audio : GUID_NULL;
  c.id = in.Byte() % 8 ? in.Pick(kIds) : in.Byte() % 48;
  c.verb = in.Byte() % 16 ? in.Pick(kVerbs) : in.U32();
  const std::uint8_t instance = in.Byte();
  if (instance % 4) {
    const LONG channel = in.Byte() % 8 ? static_cast<LONG>(in.Byte() % 3) - 1 : static_cast<LONG>(in.U32());
    c.instance = host::ChannelInstance(channel);  // -1 is the master channel
    c.instance.resize(4 + instance / 64);           // with trailing bytes now and then
  } else {
    c.instance = in.Bytes(instance / 4 % 13);
  }
  c.valueSize = in.Byte() % 4 ? in.Pick(kSizes) : in.Byte() % 96;
  if (in.Byte() % 4) {
    // A value a handler may accept: a level in 1/65536 dB, a boolean, a source.
    const LONG value = in.Bool() ? static_cast<LONG>(static_cast<std::int16_t>(in.U16())) * 0x8000
                                 : static_cast<LONG>(in.Byte() % 8);
    c.value = host::UlongBytes(static_cast<ULONG>(value));
  } else {
    c.value = in.Bytes(c.valueSize);
  }
  c.missingInstance = in.Byte() % 32 == 0;
  c.missingValue = in.Byte() % 32 == 0;
  return r;
}

// The valid form of a set that succeeded: the channel as its instance (when
// it had one) and a 4-byte value read from the first bytes it carried.
host::PropertyCall Plain(const host::PropertyCall& call) {
  host::PropertyCall plain;
  plain.node = call.node;
  plain.set = call.set;
  plain.id = call.id;
  plain.verb = KSPROPERTY_TYPE_SET;
  if (call.instance.size() >= 4 && !call.missingInstance) plain.instance.assign(call.instance.begin(), call.instance.begin() + 4);
  plain.valueSize = 4;
  plain.value.assign(4, 0);
  std::vector<std::uint8_t> sent = call.value;
  sent.resize(call.valueSize);
  std::memcpy(plain.value.data(), sent.data(), std::min<std::size_t>(4, sent.size()));
  return plain;
}

bool IsSet(ULONG verb) { return (verb & ~KSPROPERTY_TYPE_TOPOLOGY) == KSPROPERTY_TYPE_SET; }

struct Outcome {
  CodecImage codec;
  Cache levels;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  sim::MachineConfig config;
  config.codec.has3d = in.Bool();
  const ULONG nodes = config.codec.has3d ? TopologyNodeCountCtrl3D : TopologyNodeCountNoCtrl3D;

  std::vector<Request> requests;
  while (!in.Empty() && requests.size() < 64) requests.push_back(Decode(in, nodes));

  // The fuzzed requests, keeping the sets that succeeded.
  std::vector<host::PropertyCall> valid;
  Outcome fuzzed;
  {
    fuzz::Device device(config);
    if (!NT_SUCCESS(device.Start())) fuzz::Fail("the device did not start: " + device.Harness().LastError());
    // The dispatchers hold the miniports: gone before the device is.
    auto topologyOwner = std::make_unique<host::PropertyDispatcher>(device.Harness().Subdevice(L"Topology")->miniport);
    auto waveOwner = std::make_unique<host::PropertyDispatcher>(device.Harness().Subdevice(L"Wave")->miniport);
    const host::PropertyDispatcher& topology = *topologyOwner;
    const host::PropertyDispatcher& wave = *waveOwner;
    for (const Request& r : requests) {
      const CodecImage before = Codec(device);
      const host::PropertyResult result = (r.wave ? wave : topology).Dispatch(r.call);
      if (result.Succeeded() && result.valueSize > r.call.valueSize && !r.call.missingValue &&
          (r.call.verb & KSPROPERTY_TYPE_BASICSUPPORT) == 0)
        fuzz::Fail("a request claims to return more bytes than its buffer holds");
      if (r.wave && Codec(device) != before) fuzz::Fail("a wave filter request changed the codec");
      if (!result.Succeeded() && Codec(device) != before) fuzz::Fail("a refused request changed the codec");
      if (result.Succeeded() && IsSet(r.call.verb) && r.call.missingValue) fuzz::Fail("a set without a value succeeded");
      if (result.Succeeded() && !r.wave && IsSet(r.call.verb)) valid.push_back(Plain(r.call));
    }
    fuzzed = {Codec(device), Levels(topology.Miniport())};

    // Cache and codec agree: the node that set a register last, set again on
    // each channel it set to the level it reports there, writes nothing new.
    // (Nodes sharing a register overwrite each other's fields, and a set
    // keeps the level asked for, not the step the codec rounded it to.)
    struct Owner {
      ULONG node = ~0u;
      std::set<LONG> channels;
    };
    std::map<UCHAR, Owner> owners;
    for (const host::PropertyCall& call : valid) {
      if (call.id != KSPROPERTY_AUDIO_VOLUMELEVEL || call.node >= nodes || call.instance.size() < 4 ||
          AccessParams[call.node].CacheIndex == NoCacheIndex)
        continue;
      LONG channel;
      std::memcpy(&channel, call.instance.data(), sizeof channel);
      Owner& owner = owners[AccessParams[call.node].CodecRegister];
      if (owner.node != call.node) owner = {call.node, {}};
      owner.channels.insert(channel);
    }
    std::vector<std::pair<LONG, ULONG>> lastSet;
    for (const auto& [reg, owner] : owners)
      for (LONG channel : owner.channels) lastSet.push_back({channel, owner.node});
    for (const auto& [channel, node] : lastSet) {
      const host::PropertyResult level = topology.GetAudio(node, KSPROPERTY_AUDIO_VOLUMELEVEL, channel);
      if (!level.Succeeded()) continue;
      topology.SetAudio(node, KSPROPERTY_AUDIO_VOLUMELEVEL, channel, level.Long());
      const CodecImage now = Codec(device);
      for (std::size_t r = 0; r < now.size(); ++r)
        if (now[r] != fuzzed.codec[r])
          fuzz::Fail("node " + std::to_string(node) + " channel " + std::to_string(channel) + " reports level " +
                     std::to_string(level.Long()) + " but setting it changes codec register " + host::Hex(2 * r) +
                     " from " + host::Hex(fuzzed.codec[r]) + " to " + host::Hex(now[r]));
    }
    topologyOwner.reset();
    waveOwner.reset();
    device.Finish();
    device.RequireNoViolations();
  }

  // The same device given only the valid forms of what succeeded.
  {
    fuzz::Device device(config);
    if (!NT_SUCCESS(device.Start())) fuzz::Fail("the device did not start a second time");
    {
      host::PropertyDispatcher topology(device.Harness().Subdevice(L"Topology")->miniport);
      for (const host::PropertyCall& call : valid)
        if (!topology.Dispatch(call).Succeeded()) fuzz::Fail("the valid form of a request that succeeded was refused");
    }
    if (Codec(device) != fuzzed.codec) fuzz::Fail("the codec holds what no valid request wrote");
    if (!SameLevels(Levels(device.Harness().Subdevice(L"Topology")->miniport), fuzzed.levels)) fuzz::Fail("the level cache holds what no valid request set");
    device.Finish();
    device.RequireNoViolations();
  }
  return 0;
}
