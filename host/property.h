// The framework's side of node and filter properties: it builds the
// PCPROPERTY_REQUEST a miniport's handler receives, and dispatches it the way
// the port class framework does, through the automation table that the
// miniport's filter description gives the addressed node.
//
// The dispatcher is strict where the framework is: a request for a node that
// does not exist, a node without an automation table, a property set or id
// the table does not list, or a get/set verb the item does not declare never
// reaches a handler. A basic-support request for an item that does not
// declare basic support is answered by the dispatcher itself with the item's
// access flags (or a bare KSPROPERTY_DESCRIPTION), as kernel streaming does.
//
// Buffers are owned by the call and sized exactly as requested, so a handler
// that reads or writes past the size it was given trips AddressSanitizer.
// A value buffer holds a poison pattern wherever the client put nothing (the
// platform's buffers are not zeroed). A handler that succeeds reporting more
// bytes than the buffer holds, or (for a get or basic support) reporting bytes
// where the poison survived, is a "property" violation naming the node, set,
// property and verb.
//
// Which checks are the framework's and which the handler's: the framework
// routes by node, set and id, refuses a verb the item does not declare, takes
// the instance as whatever follows the KSNODEPROPERTY header (a property item
// carries no minimum sizes, so it checks no instance or value size), and
// answers basic support itself only for items without a handler for it
// (needing room for a ULONG). Instance size and content and the value size of
// a get or set are the handler's to check.
#pragma once

#include <portcls.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

// One property request as a client sends it.
struct PropertyCall {
  ULONG node = KSFILTER_NODE;  // KSFILTER_NODE addresses the filter itself
  GUID set = GUID_NULL;
  ULONG id = 0;
  ULONG verb = KSPROPERTY_TYPE_GET;  // KSPROPERTY_TYPE_GET / _SET / _BASICSUPPORT (KSPROPERTY_TYPE_TOPOLOGY is stripped)
  std::vector<std::uint8_t> instance;  // the instance data after KSNODEPROPERTY (e.g. the channel)
  ULONG valueSize = 0;                 // size of the value buffer offered
  std::vector<std::uint8_t> value;     // initial contents (a set's input); padded or cut to valueSize
  bool missingInstance = false;        // pass a null instance pointer whatever instance holds
  bool missingValue = false;           // pass a null value pointer whatever valueSize says
};

// What came back.
struct PropertyResult {
  NTSTATUS status = STATUS_SUCCESS;
  bool handlerCalled = false;           // false when the dispatcher answered or refused
  ULONG valueSize = 0;                  // the request's ValueSize after the call (bytes returned or needed)
  std::vector<std::uint8_t> value;      // the whole value buffer after the call (valueSize offered bytes)

  bool Succeeded() const { return NT_SUCCESS(status); }
  // The returned value read as a 32-bit number (0 when fewer than 4 bytes came back).
  ULONG Ulong() const;
  LONG Long() const { return static_cast<LONG>(Ulong()); }
};

// Instance data carrying one channel number (the first field of KSNODEPROPERTY_AUDIO_CHANNEL's tail).
std::vector<std::uint8_t> ChannelInstance(LONG channel);
// A 32-bit value as bytes.
std::vector<std::uint8_t> UlongBytes(ULONG value);

class PropertyDispatcher {
 public:
  // Holds a reference to the miniport for its life; the filter description is
  // taken from GetDescription once, as the port does at its Init.
  explicit PropertyDispatcher(PMINIPORT miniport);
  ~PropertyDispatcher();
  PropertyDispatcher(const PropertyDispatcher&) = delete;
  PropertyDispatcher& operator=(const PropertyDispatcher&) = delete;

  const PCFILTER_DESCRIPTOR& Description() const { return *description_; }
  PMINIPORT Miniport() const { return miniport_; }

  // Dispatches as the framework does (see the file comment).
  PropertyResult Dispatch(const PropertyCall& call) const;

  // Calls the item's handler directly with the request built from `call`,
  // skipping every framework check: for testing a handler's own validation.
  PropertyResult Invoke(const PCPROPERTY_ITEM& item, const PropertyCall& call) const;

  // The automation table's item for (node, set, id), or null.
  const PCPROPERTY_ITEM* FindItem(ULONG node, const GUID& set, ULONG id) const;

  // "STATUS_INVALID_PARAMETER" or "0xC0001234", for messages.
  static std::string StatusName(NTSTATUS status);

  // Shorthands for KSPROPSETID_Audio on a node with a channel instance.
  PropertyResult GetAudio(ULONG node, ULONG id, LONG channel, ULONG valueSize = sizeof(ULONG)) const;
  PropertyResult SetAudio(ULONG node, ULONG id, LONG channel, LONG value) const;
  PropertyResult BasicSupportAudio(ULONG node, ULONG id, LONG channel, ULONG valueSize) const;

 private:
  PropertyResult Call(const PCPROPERTY_ITEM& item, const PropertyCall& call, ULONG verb) const;
  std::string HandlerName(const PCPROPERTY_ITEM& item, ULONG node, ULONG verb) const;
  void CheckReported(const PCPROPERTY_ITEM& item, ULONG node, ULONG verb, ULONG offered, ULONG reported,
                     const std::uint8_t* bytes) const;

  PMINIPORT miniport_;
  const PCFILTER_DESCRIPTOR* description_ = nullptr;
};

}  // namespace host
