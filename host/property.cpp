// The framework's property dispatch: see property.h.
#include "host/property.h"

#include <algorithm>
#include <cstdio>

namespace host {

namespace {

constexpr ULONG kKnownVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// An exactly sized heap buffer, or none: a handler that strays past the size
// it was given lands outside the allocation.
struct ExactBuffer {
  std::unique_ptr<std::uint8_t[]> bytes;
  ULONG size = 0;

  ExactBuffer(const std::vector<std::uint8_t>& initial, ULONG wanted) : size(wanted) {
    if (wanted == 0) return;
    bytes.reset(new std::uint8_t[wanted]);
    std::memset(bytes.get(), 0, wanted);
    if (!initial.empty()) std::memcpy(bytes.get(), initial.data(), std::min<std::size_t>(initial.size(), wanted));
  }
  std::uint8_t* data() { return bytes.get(); }
};

}  // namespace

ULONG PropertyResult::Ulong() const {
  if (valueSize < sizeof(ULONG) || value.size() < sizeof(ULONG)) return 0;
  ULONG result;
  std::memcpy(&result, value.data(), sizeof(result));
  return result;
}

std::vector<std::uint8_t> ChannelInstance(LONG channel) {
  // KSNODEPROPERTY_AUDIO_CHANNEL's tail: the channel and a reserved word.
  std::vector<std::uint8_t> bytes(2 * sizeof(ULONG), 0);
  std::memcpy(bytes.data(), &channel, sizeof(channel));
  return bytes;
}

std::vector<std::uint8_t> UlongBytes(ULONG value) {
  std::vector<std::uint8_t> bytes(sizeof(value));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return bytes;
}

PropertyDispatcher::PropertyDispatcher(PMINIPORT miniport) : miniport_(miniport) {
  miniport_->AddRef();
  PPCFILTER_DESCRIPTOR description = nullptr;
  if (NT_SUCCESS(miniport_->GetDescription(&description))) description_ = description;
}

PropertyDispatcher::~PropertyDispatcher() { miniport_->Release(); }

const PCPROPERTY_ITEM* PropertyDispatcher::FindItem(ULONG node, const GUID& set, ULONG id) const {
  if (!description_) return nullptr;
  const PCAUTOMATION_TABLE* table = nullptr;
  if (node == KSFILTER_NODE) {
    table = description_->AutomationTable;
  } else {
    if (node >= description_->NodeCount || !description_->Nodes) return nullptr;
    // Walk by the declared element size, as the framework does: descriptors may carry extra fields.
    const auto* nodeBytes = reinterpret_cast<const std::uint8_t*>(description_->Nodes);
    const auto* descriptor =
        reinterpret_cast<const PCNODE_DESCRIPTOR*>(nodeBytes + std::size_t{node} * description_->NodeSize);
    table = descriptor->AutomationTable;
  }
  if (!table || !table->Properties) return nullptr;
  const auto* itemBytes = reinterpret_cast<const std::uint8_t*>(table->Properties);
  for (ULONG i = 0; i < table->PropertyCount; ++i) {
    const auto* item =
        reinterpret_cast<const PCPROPERTY_ITEM*>(itemBytes + std::size_t{i} * table->PropertyItemSize);
    if (item->Set && IsEqualGUIDAligned(*item->Set, set) && item->Id == id) return item;
  }
  return nullptr;
}

PropertyResult PropertyDispatcher::Dispatch(const PropertyCall& call) const {
  const ULONG verb = call.verb & ~static_cast<ULONG>(KSPROPERTY_TYPE_TOPOLOGY);
  // A refused request hands the caller's buffer back as it was.
  auto refuse = [&call](NTSTATUS status) {
    PropertyResult result;
    result.status = status;
    result.valueSize = call.valueSize;
    if (!call.missingValue) {
      result.value = call.value;
      result.value.resize(call.valueSize, 0);
    }
    return result;
  };

  if (!description_) return refuse(STATUS_INVALID_DEVICE_STATE);
  if (call.node != KSFILTER_NODE && call.node >= description_->NodeCount) return refuse(STATUS_INVALID_PARAMETER);
  const PCPROPERTY_ITEM* item = FindItem(call.node, call.set, call.id);
  if (!item) return refuse(STATUS_NOT_FOUND);
  // One verb at a time; the framework rejects combinations and unknown bits.
  if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET && verb != KSPROPERTY_TYPE_BASICSUPPORT)
    return refuse(STATUS_INVALID_DEVICE_REQUEST);
  if (item->Flags & verb & kKnownVerbs) {
    if (!item->Handler) return refuse(STATUS_INVALID_DEVICE_REQUEST);
    return Call(*item, call, verb);
  }
  if (verb != KSPROPERTY_TYPE_BASICSUPPORT) return refuse(STATUS_INVALID_DEVICE_REQUEST);

  PropertyResult result;
  // Default basic support: the access the item declares, with no member list.
  ExactBuffer value(call.value, call.missingValue ? 0 : call.valueSize);
  const ULONG access = item->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
  if (value.size >= sizeof(KSPROPERTY_DESCRIPTION)) {
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = access | KSPROPERTY_TYPE_BASICSUPPORT;
    description.DescriptionSize = sizeof(description);
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = 0;  // VT_EMPTY: the type is not described
    std::memcpy(value.data(), &description, sizeof(description));
    result.valueSize = sizeof(description);
  } else if (value.size >= sizeof(ULONG)) {
    const ULONG flags = access | KSPROPERTY_TYPE_BASICSUPPORT;
    std::memcpy(value.data(), &flags, sizeof(flags));
    result.valueSize = sizeof(flags);
  } else {
    result.status = STATUS_BUFFER_TOO_SMALL;
  }
  if (value.size) result.value.assign(value.data(), value.data() + value.size);
  return result;
}

PropertyResult PropertyDispatcher::Invoke(const PCPROPERTY_ITEM& item, const PropertyCall& call) const {
  return Call(item, call, call.verb);
}

PropertyResult PropertyDispatcher::Call(const PCPROPERTY_ITEM& item, const PropertyCall& call, ULONG verb) const {
  ExactBuffer instance(call.instance, static_cast<ULONG>(call.instance.size()));
  ExactBuffer value(call.value, call.valueSize);

  PCPROPERTY_REQUEST request{};
  // The framework hands the handler the miniport interface it holds as the major target.
  request.MajorTarget = miniport_;
  request.MinorTarget = nullptr;
  request.Node = call.node;
  request.PropertyItem = &item;
  request.Verb = verb;
  request.InstanceSize = instance.size;
  request.Instance = call.missingInstance ? nullptr : instance.data();
  request.ValueSize = call.valueSize;
  request.Value = call.missingValue ? nullptr : value.data();
  request.Irp = nullptr;

  PropertyResult result;
  result.handlerCalled = true;
  result.status = item.Handler(&request);
  result.valueSize = request.ValueSize;
  if (value.size) result.value.assign(value.data(), value.data() + value.size);
  return result;
}

PropertyResult PropertyDispatcher::GetAudio(ULONG node, ULONG id, LONG channel, ULONG valueSize) const {
  PropertyCall call;
  call.node = node;
  call.set = KSPROPSETID_Audio;
  call.id = id;
  call.verb = KSPROPERTY_TYPE_GET;
  call.instance = ChannelInstance(channel);
  call.valueSize = valueSize;
  return Dispatch(call);
}

PropertyResult PropertyDispatcher::SetAudio(ULONG node, ULONG id, LONG channel, LONG value) const {
  PropertyCall call;
  call.node = node;
  call.set = KSPROPSETID_Audio;
  call.id = id;
  call.verb = KSPROPERTY_TYPE_SET;
  call.instance = ChannelInstance(channel);
  call.valueSize = sizeof(LONG);
  call.value = UlongBytes(static_cast<ULONG>(value));
  return Dispatch(call);
}

PropertyResult PropertyDispatcher::BasicSupportAudio(ULONG node, ULONG id, LONG channel, ULONG valueSize) const {
  PropertyCall call;
  call.node = node;
  call.set = KSPROPSETID_Audio;
  call.id = id;
  call.verb = KSPROPERTY_TYPE_BASICSUPPORT;
  call.instance = ChannelInstance(channel);
  call.valueSize = valueSize;
  return Dispatch(call);
}

std::string PropertyDispatcher::StatusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_BUFFER_OVERFLOW: return "STATUS_BUFFER_OVERFLOW";
    case STATUS_NOT_IMPLEMENTED: return "STATUS_NOT_IMPLEMENTED";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_NOT_FOUND: return "STATUS_NOT_FOUND";
    default: break;
  }
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace host
