// The framework's port drivers. A port's Init asks the miniport for the
// interface of its kind and calls the miniport's Init with the adapter
// object, the resource sublist and the port itself; the port then keeps the
// miniport until the port is destroyed.
#pragma once

#include <portcls.h>

#include <vector>

#include "host/com.h"
#include "host/midi.h"

namespace host {

// What every port shares, whatever its interface.
class PortCore : public FrameworkObject {
 public:
  const GUID& PortClass() const { return portClass_; }
  // The miniport's IUnknown-compatible face (its IMiniport), null before Init.
  PMINIPORT Miniport() const { return miniport_; }
  PDEVICE_OBJECT Device() const { return device_; }
  bool Initialised() const { return initialised_; }
  const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& TranslatedResources() const { return translated_; }
  const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& UntranslatedResources() const { return untranslated_; }
  // The port's canonical IUnknown.
  virtual PUNKNOWN Unknown() = 0;

  // The port behind an IUnknown the framework made, or null.
  static PortCore* FromUnknown(PUNKNOWN unknown);

  // Unregistering a subdevice releases what the port holds (its miniport,
  // its service group) before the port itself: the miniport's adapter may
  // hold the port, and only this breaks that cycle.
  void ReleaseChildren();

 protected:
  explicit PortCore(const GUID& portClass) : portClass_(portClass) {}
  ~PortCore() override;

  // IPort::Init, common part; InitMiniport queries the kind's interface and
  // calls its Init, storing the miniport's IMiniport in miniport_ on success.
  NTSTATUS InitCommon(PDEVICE_OBJECT device, PIRP irp, PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources);
  virtual NTSTATUS InitMiniport(PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources) = 0;
  NTSTATUS GetDevicePropertyCommon(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer, PULONG result);
  NTSTATUS NewRegistryKeyCommon(PREGISTRYKEY* out, PUNKNOWN outer, ULONG type, ACCESS_MASK access,
                                POBJECT_ATTRIBUTES attributes, ULONG options, PULONG disposition);
  NTSTATUS QueryCommon(REFIID id, PVOID* out, const GUID& ownIid);
  virtual void ReleaseKindChildren() {}

  GUID portClass_;
  PMINIPORT miniport_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  bool initialised_ = false;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated_;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> untranslated_;
};

#define HOST_PORT_COMMON()                                                                                    \
  HOST_FRAMEWORK_REFCOUNT()                                                                                   \
  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT device, PIRP irp, PUNKNOWN miniport, PUNKNOWN adapter,          \
                               PRESOURCELIST resources) override {                                            \
    return InitCommon(device, irp, miniport, adapter, resources);                                             \
  }                                                                                                           \
  STDMETHODIMP_(NTSTATUS) GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,    \
                                            PULONG result) override {                                         \
    return GetDevicePropertyCommon(property, length, buffer, result);                                         \
  }                                                                                                           \
  STDMETHODIMP_(NTSTATUS) NewRegistryKey(PREGISTRYKEY* out, PUNKNOWN outer, ULONG type, ACCESS_MASK access,   \
                                         POBJECT_ATTRIBUTES attributes, ULONG options, PULONG disposition)    \
      override {                                                                                              \
    return NewRegistryKeyCommon(out, outer, type, access, attributes, options, disposition);                 \
  }

class TopologyPort final : public IPortTopology, public PortCore {
 public:
  static NTSTATUS Create(PPORT* out);
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_PORT_COMMON()
  PUNKNOWN Unknown() override { return static_cast<IPortTopology*>(this); }

 private:
  TopologyPort() : PortCore(CLSID_PortTopology) {}
  NTSTATUS InitMiniport(PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources) override;
};

class MidiPort final : public IPortMidi, public PortCore {
 public:
  static NTSTATUS Create(PPORT* out);
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* out) override;
  HOST_PORT_COMMON()
  STDMETHODIMP_(VOID) Notify(PSERVICEGROUP group) override;
  STDMETHODIMP_(NTSTATUS) RegisterServiceGroup(PSERVICEGROUP group) override;
  PUNKNOWN Unknown() override { return static_cast<IPortMidi*>(this); }

 private:
  MidiPort() : PortCore(CLSID_PortMidi) {}
  ~MidiPort() override;
  NTSTATUS InitMiniport(PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources) override;
  void ReleaseKindChildren() override;

  PSERVICEGROUP serviceGroup_ = nullptr;
};

}  // namespace host
