// The framework's property dispatch: see property.h.
#include "host/property.h"

#include <algorithm>
#include <cstdio>

#include "host/graph.h"
#include "host/image_boundary.h"
#include "host/kernel.h"

namespace host {

namespace {

constexpr ULONG kKnownVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;

// What a value buffer holds before the handler runs, beyond the bytes the
// client put there: the platform's buffers are not conveniently zero, and a
// handler that claims bytes it never wrote leaves this word in them.
constexpr std::uint8_t kPoison[4] = {0xA5, 0x5A, 0xC3, 0x3C};

// An exactly sized heap buffer, or none: a handler that strays past the size
// it was given lands outside the allocation.
struct ExactBuffer {
  std::unique_ptr<std::uint8_t[]> bytes;
  ULONG size = 0;

  ExactBuffer(const std::vector<std::uint8_t>& initial, ULONG wanted, bool poison = false) : size(wanted) {
    if (wanted == 0) return;
    bytes.reset(new std::uint8_t[wanted]);
    for (ULONG i = 0; i < wanted; i++) bytes[i] = poison ? kPoison[i % 4] : 0;
    if (!initial.empty()) std::memcpy(bytes.get(), initial.data(), std::min<std::size_t>(initial.size(), wanted));
  }
  std::uint8_t* data() { return bytes.get(); }
};

// The first run of poison the handler left in [0, reported): whole aligned
// words, and a short tail only when every byte of it is still poison. Empty
// when every reported byte was written.
std::optional<std::pair<ULONG, ULONG>> UnwrittenRange(const std::uint8_t* bytes, ULONG reported) {
  for (ULONG word = 0; word < reported; word += 4) {
    const ULONG end = std::min<ULONG>(word + 4, reported);
    if (std::memcmp(bytes + word, kPoison, end - word) != 0) continue;
    ULONG last = end;
    while (last + 4 <= reported && std::memcmp(bytes + last, kPoison, 4) == 0) last += 4;
    return std::pair{word, last - 1};
  }
  return std::nullopt;
}

const char* VerbName(ULONG verb) {
  switch (verb) {
    case KSPROPERTY_TYPE_GET: return "get";
    case KSPROPERTY_TYPE_SET: return "set";
    case KSPROPERTY_TYPE_BASICSUPPORT: return "basic support";
    default: return "request";
  }
}

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

std::string PropertyDispatcher::HandlerName(const PCPROPERTY_ITEM& item, ULONG node, ULONG verb) const {
  std::string name = node == KSFILTER_NODE ? std::string("the filter") : "node " + std::to_string(node);
  if (node != KSFILTER_NODE && description_ && node < description_->NodeCount && description_->Nodes) {
    const auto* nodeBytes = reinterpret_cast<const std::uint8_t*>(description_->Nodes);
    const auto* descriptor =
        reinterpret_cast<const PCNODE_DESCRIPTOR*>(nodeBytes + std::size_t{node} * description_->NodeSize);
    if (descriptor->Type) name += " (" + PublishedDisplayName(*descriptor->Type).value_or("unnamed type") + ")";
  }
  const std::string set = item.Set ? PublishedSymbol(*item.Set).value_or(GuidString(*item.Set)) : "no set";
  return name + ", " + set + " property " + std::to_string(item.Id) + " " + VerbName(verb);
}

// Checks what a successful handler reported against the buffer it was given.
void PropertyDispatcher::CheckReported(const PCPROPERTY_ITEM& item, ULONG node, ULONG verb, ULONG offered,
                                       ULONG reported, const std::uint8_t* bytes) const {
  Kernel* kernel = Kernel::Current();
  if (!kernel) return;
  if (reported > offered) {
    kernel->Violate("property", HandlerName(item, node, verb) + " succeeded reporting " + std::to_string(reported) +
                                    " bytes in a value buffer of " + std::to_string(offered));
    return;
  }
  // A set's value is the client's input: only what a handler returns is checked for poison.
  if (verb == KSPROPERTY_TYPE_SET || !bytes) return;
  if (auto unwritten = UnwrittenRange(bytes, reported)) {
    kernel->Violate("property", HandlerName(item, node, verb) + " succeeded reporting " + std::to_string(reported) +
                                    " bytes but never wrote bytes " + std::to_string(unwritten->first) + "-" +
                                    std::to_string(unwritten->second));
  }
}

PropertyResult PropertyDispatcher::Call(const PCPROPERTY_ITEM& item, const PropertyCall& call, ULONG verb) const {
  ExactBuffer instance(call.instance, static_cast<ULONG>(call.instance.size()));
  ExactBuffer value(call.value, call.valueSize, /*poison=*/true);

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
  result.status = FromImage(item.Handler, "property handler")(&request);
  result.valueSize = request.ValueSize;
  if (NT_SUCCESS(result.status))
    CheckReported(item, call.node, verb, call.valueSize, request.ValueSize, static_cast<std::uint8_t*>(request.Value));
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
