/*
 * Host form of the port class framework's declarations (portcls.h with the
 * kernel-mode COM base of punknown.h): the interfaces, descriptors and
 * functions the driver uses, in the published slot order and signatures.
 */
#pragma once

#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

/* ---- Kernel-mode COM ----------------------------------------------------------- */
#define DECLARE_INTERFACE(iface) struct iface
#define DECLARE_INTERFACE_(iface, baseiface) struct iface : public baseiface
#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define PURE = 0
#define THIS_
#define THIS void

DEFINE_GUID(IID_IUnknown, 0x00000000L, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

DECLARE_INTERFACE(IUnknown)
{
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID *Interface) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
};
typedef IUnknown *PUNKNOWN;

#define DEFINE_ABSTRACT_UNKNOWN()                                                    \
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID *Interface) PURE; \
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                            \
    STDMETHOD_(ULONG, Release)(THIS) PURE;

typedef NTSTATUS (NTAPI *PFNCREATEINSTANCE)(PUNKNOWN *Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                      POOL_TYPE PoolType);

#define PORTCLASSAPI
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

/* ---- Descriptors ------------------------------------------------------------------ */
struct _PCPROPERTY_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef NTSTATUS (NTAPI *PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

typedef struct {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES KSPROPERTY_TYPE_DEFAULTVALUES
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM *PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};

typedef struct _PCMETHOD_ITEM {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PVOID Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

typedef struct _PCEVENT_ITEM {
    const GUID *Set;
    ULONG Id;
    ULONG Flags;
    PVOID Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM *Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM *Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM *Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

#define DEFINE_PCAUTOMATION_TABLE_PROP(AutomationTable, PropertyTable) \
    const PCAUTOMATION_TABLE AutomationTable = {                       \
        sizeof(PropertyTable[0]),                                      \
        SIZEOF_ARRAY(PropertyTable),                                   \
        (const PCPROPERTY_ITEM *)PropertyTable,                        \
        0, 0, NULL,                                                    \
        0, 0, NULL,                                                    \
        0}

typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTIONDESCRIPTOR;

#define PCFILTER_NODE KSFILTER_NODE

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE *AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE *AutomationTable;
    const GUID *Type;
    const GUID *Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE *AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR *Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR *Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR *Connections;
    ULONG CategoryCount;
    const GUID *Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

/* ---- IResourceList -------------------------------------------------------------------- */
DEFINE_GUID(IID_IResourceList, 0x22C6AC60L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);

DECLARE_INTERFACE_(IResourceList, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(ULONG, NumberOfEntries)(THIS) PURE;
    STDMETHOD_(ULONG, NumberOfEntriesOfType)(THIS_ CM_RESOURCE_TYPE Type) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindTranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_PARTIAL_RESOURCE_DESCRIPTOR, FindUntranslatedEntry)(THIS_ CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(NTSTATUS, AddEntry)(THIS_ PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated,
                                   PCM_PARTIAL_RESOURCE_DESCRIPTOR Untranslated) PURE;
    STDMETHOD_(NTSTATUS, AddEntryFromParent)(THIS_ IResourceList *Parent, CM_RESOURCE_TYPE Type, ULONG Index) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, TranslatedList)(THIS) PURE;
    STDMETHOD_(PCM_RESOURCE_LIST, UntranslatedList)(THIS) PURE;
};
typedef IResourceList *PRESOURCELIST;

#define NumberOfPorts() NumberOfEntriesOfType(CmResourceTypePort)
#define FindTranslatedPort(n) FindTranslatedEntry(CmResourceTypePort, (n))
#define NumberOfInterrupts() NumberOfEntriesOfType(CmResourceTypeInterrupt)
#define FindTranslatedInterrupt(n) FindTranslatedEntry(CmResourceTypeInterrupt, (n))
#define AddPortFromParent(p, n) AddEntryFromParent((p), CmResourceTypePort, (n))
#define AddInterruptFromParent(p, n) AddEntryFromParent((p), CmResourceTypeInterrupt, (n))

/* ---- Service sinks and groups ------------------------------------------------------------ */
DEFINE_GUID(IID_IServiceSink, 0x22C6AC64L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IServiceSink, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, RequestService)(THIS) PURE;
};
typedef IServiceSink *PSERVICESINK;

DEFINE_GUID(IID_IServiceGroup, 0x22C6AC65L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IServiceGroup, IServiceSink)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, RequestService)(THIS) PURE;
    STDMETHOD_(NTSTATUS, AddMember)(THIS_ PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, RemoveMember)(THIS_ PSERVICESINK pServiceSink) PURE;
    STDMETHOD_(void, SupportDelayedService)(THIS) PURE;
    STDMETHOD_(void, RequestDelayedService)(THIS_ ULONGLONG ullDelay) PURE;
    STDMETHOD_(void, CancelDelayedService)(THIS) PURE;
};
typedef IServiceGroup *PSERVICEGROUP;

/* ---- IDmaChannel ------------------------------------------------------------------------------ */
DEFINE_GUID(IID_IDmaChannel, 0x22C6AC61L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IDmaChannel, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, AllocateBuffer)(THIS_ ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) PURE;
    STDMETHOD_(void, FreeBuffer)(THIS) PURE;
    STDMETHOD_(ULONG, TransferCount)(THIS) PURE;
    STDMETHOD_(ULONG, MaximumBufferSize)(THIS) PURE;
    STDMETHOD_(ULONG, AllocatedBufferSize)(THIS) PURE;
    STDMETHOD_(ULONG, BufferSize)(THIS) PURE;
    STDMETHOD_(void, SetBufferSize)(THIS_ ULONG BufferSize) PURE;
    STDMETHOD_(PVOID, SystemAddress)(THIS) PURE;
    STDMETHOD_(PHYSICAL_ADDRESS, PhysicalAddress)(THIS) PURE;
    STDMETHOD_(PADAPTER_OBJECT, GetAdapterObject)(THIS) PURE;
    STDMETHOD_(void, CopyTo)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
    STDMETHOD_(void, CopyFrom)(THIS_ PVOID Destination, PVOID Source, ULONG ByteCount) PURE;
};
typedef IDmaChannel *PDMACHANNEL;

/* ---- IInterruptSync ------------------------------------------------------------------------------ */
typedef enum {
    InterruptSyncModeNormal = 1,
    InterruptSyncModeAll,
    InterruptSyncModeRepeat
} INTERRUPTSYNCMODE;

struct IInterruptSync;
typedef NTSTATUS (NTAPI *PINTERRUPTSYNCROUTINE)(struct IInterruptSync *InterruptSync, PVOID DynamicContext);

DEFINE_GUID(IID_IInterruptSync, 0x22C6AC63L, 0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE);
DECLARE_INTERFACE_(IInterruptSync, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, CallSynchronizedRoutine)(THIS_ PINTERRUPTSYNCROUTINE Routine, PVOID DynamicContext) PURE;
    STDMETHOD_(PKINTERRUPT, GetKInterrupt)(THIS) PURE;
    STDMETHOD_(NTSTATUS, Connect)(THIS) PURE;
    STDMETHOD_(void, Disconnect)(THIS) PURE;
    STDMETHOD_(NTSTATUS, RegisterServiceRoutine)(THIS_ PINTERRUPTSYNCROUTINE Routine, PVOID DynamicContext,
                                                 BOOLEAN First) PURE;
};
typedef IInterruptSync *PINTERRUPTSYNC;

/* ---- IRegistryKey ------------------------------------------------------------------------------------ */
enum {
    GeneralRegistryKey,
    DeviceRegistryKey,
    DriverRegistryKey,
    HwProfileRegistryKey,
    DeviceInterfaceRegistryKey
};

DEFINE_GUID(IID_IRegistryKey, 0xE8DA4302L, 0xF304, 0x11D0, 0x95, 0x8B, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
DECLARE_INTERFACE_(IRegistryKey, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, QueryKey)(THIS_ KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                   ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, EnumerateKey)(THIS_ ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                       PVOID KeyInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, QueryValueKey)(THIS_ PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, EnumerateValueKey)(THIS_ ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                            PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) PURE;
    STDMETHOD_(NTSTATUS, SetValueKey)(THIS_ PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) PURE;
    STDMETHOD_(NTSTATUS, QueryRegistryValues)(THIS_ PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context) PURE;
    STDMETHOD_(NTSTATUS, NewSubKey)(THIS_ IRegistryKey **RegistrySubKey, PUNKNOWN OuterUnknown,
                                    ACCESS_MASK DesiredAccess, PUNICODE_STRING SubKeyName, ULONG CreateOptions,
                                    PULONG Disposition) PURE;
    STDMETHOD_(NTSTATUS, DeleteKey)(THIS) PURE;
};
typedef IRegistryKey *PREGISTRYKEY;

/* ---- Ports and miniports ------------------------------------------------------------------------------- */
DEFINE_GUID(IID_IMiniport, 0xb4c90a24L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IPort, 0xb4c90a25L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

#define DEFINE_ABSTRACT_PORT()                                                                          \
    STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,   \
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) PURE;              \
    STDMETHOD_(NTSTATUS, GetDeviceProperty)(THIS_ DEVICE_REGISTRY_PROPERTY DeviceProperty,             \
                                            ULONG BufferLength, PVOID PropertyBuffer,                  \
                                            PULONG ResultLength) PURE;                                 \
    STDMETHOD_(NTSTATUS, NewRegistryKey)(THIS_ PREGISTRYKEY *OutRegistryKey, PUNKNOWN OuterUnknown,    \
                                         ULONG RegistryKeyType, ACCESS_MASK DesiredAccess,             \
                                         POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,     \
                                         PULONG Disposition) PURE;

DECLARE_INTERFACE_(IPort, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
};
typedef IPort *PPORT;

#define DEFINE_ABSTRACT_MINIPORT()                                                                    \
    STDMETHOD_(NTSTATUS, GetDescription)(THIS_ PPCFILTER_DESCRIPTOR *Description) PURE;              \
    STDMETHOD_(NTSTATUS, DataRangeIntersection)(THIS_ ULONG PinId, PKSDATARANGE DataRange,           \
                                                PKSDATARANGE MatchingDataRange,                      \
                                                ULONG OutputBufferLength, PVOID ResultantFormat,     \
                                                PULONG ResultantFormatLength) PURE;

DECLARE_INTERFACE_(IMiniport, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
};
typedef IMiniport *PMINIPORT;

/* Topology */
DEFINE_GUID(IID_IPortTopology, 0xb4c90a30L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(CLSID_PortTopology, 0xb4c90a32L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IMiniportTopology, 0xb4c90a31L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

DECLARE_INTERFACE_(IPortTopology, IPort)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
};
typedef IPortTopology *PPORTTOPOLOGY;

DECLARE_INTERFACE_(IMiniportTopology, IMiniport)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) PURE;
};
typedef IMiniportTopology *PMINIPORTTOPOLOGY;

/* MIDI */
DEFINE_GUID(IID_IPortMidi, 0xb4c90a40L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(CLSID_PortMidi, 0xb4c90a43L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IMiniportMidi, 0xb4c90a41L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(CLSID_MiniportDriverUart, 0xb4c90ae1L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

DECLARE_INTERFACE_(IPortMidi, IPort)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
    STDMETHOD_(VOID, Notify)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, RegisterServiceGroup)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
};
typedef IPortMidi *PPORTMIDI;

/* WavePci */
DEFINE_GUID(IID_IPortWavePci, 0xb4c90a50L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(CLSID_PortWavePci, 0xb4c90a54L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IPortWavePciStream, 0xb4c90a51L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IMiniportWavePci, 0xb4c90a52L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);
DEFINE_GUID(IID_IMiniportWavePciStream, 0xb4c90a53L, 0x5791, 0x11d0, 0x86, 0xf9, 0x00, 0xa0, 0xc9, 0x11, 0xb5, 0x44);

DECLARE_INTERFACE_(IPortWavePci, IPort)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_PORT()
    STDMETHOD_(VOID, Notify)(THIS_ PSERVICEGROUP ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewMasterDmaChannel)(THIS_ PDMACHANNEL *DmaChannel, PUNKNOWN OuterUnknown,
                                              POOL_TYPE PoolType, PRESOURCELIST ResourceList,
                                              BOOLEAN ScatterGather, BOOLEAN Dma32BitAddresses,
                                              BOOLEAN Dma64BitAddresses, BOOLEAN IgnoreCount,
                                              DMA_WIDTH DmaWidth, DMA_SPEED DmaSpeed, ULONG MaximumLength,
                                              ULONG DmaPort) PURE;
};
typedef IPortWavePci *PPORTWAVEPCI;

DECLARE_INTERFACE_(IPortWavePciStream, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, GetMapping)(THIS_ PVOID Tag, PPHYSICAL_ADDRESS PhysicalAddress, PVOID *VirtualAddress,
                                     PULONG ByteCount, PULONG Flags) PURE;
    STDMETHOD_(NTSTATUS, ReleaseMapping)(THIS_ PVOID Tag) PURE;
    STDMETHOD_(NTSTATUS, TerminatePacket)(THIS) PURE;
};
typedef IPortWavePciStream *PPORTWAVEPCISTREAM;

DECLARE_INTERFACE_(IMiniportWavePciStream, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(NTSTATUS, SetFormat)(THIS_ PKSDATAFORMAT DataFormat) PURE;
    STDMETHOD_(NTSTATUS, SetState)(THIS_ KSSTATE State) PURE;
    STDMETHOD_(NTSTATUS, GetPosition)(THIS_ PULONGLONG Position) PURE;
    STDMETHOD_(NTSTATUS, NormalizePhysicalPosition)(THIS_ PLONGLONG PhysicalPosition) PURE;
    STDMETHOD_(NTSTATUS, GetAllocatorFraming)(THIS_ PKSALLOCATOR_FRAMING AllocatorFraming) PURE;
    STDMETHOD_(NTSTATUS, RevokeMappings)(THIS_ PVOID FirstTag, PVOID LastTag, PULONG MappingsRevoked) PURE;
    STDMETHOD_(void, MappingAvailable)(THIS) PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
};
typedef IMiniportWavePciStream *PMINIPORTWAVEPCISTREAM;

DECLARE_INTERFACE_(IMiniportWavePci, IMiniport)
{
    DEFINE_ABSTRACT_UNKNOWN()
    DEFINE_ABSTRACT_MINIPORT()
    STDMETHOD_(NTSTATUS, Init)(THIS_ PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVEPCI Port,
                               PSERVICEGROUP *ServiceGroup) PURE;
    STDMETHOD_(NTSTATUS, NewStream)(THIS_ PMINIPORTWAVEPCISTREAM *Stream, PUNKNOWN OuterUnknown,
                                    POOL_TYPE PoolType, PPORTWAVEPCISTREAM PortStream, ULONG Pin,
                                    BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL *DmaChannel,
                                    PSERVICEGROUP *ServiceGroup) PURE;
    STDMETHOD_(void, Service)(THIS) PURE;
};
typedef IMiniportWavePci *PMINIPORTWAVEPCI;

/* ---- Power management ------------------------------------------------------------------------------------ */
DEFINE_GUID(IID_IAdapterPowerManagement, 0x793417D0L, 0x35FE, 0x11D1, 0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0);
/* The published headers also carry this historical spelling. */
#define IID_IAdapterPowerManagment IID_IAdapterPowerManagement

DECLARE_INTERFACE_(IAdapterPowerManagement, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(void, PowerChangeState)(THIS_ POWER_STATE NewState) PURE;
    STDMETHOD_(NTSTATUS, QueryPowerChangeState)(THIS_ POWER_STATE NewStateQuery) PURE;
    STDMETHOD_(NTSTATUS, QueryDeviceCapabilities)(THIS_ PDEVICE_CAPABILITIES PowerDeviceCaps) PURE;
};
typedef IAdapterPowerManagement *PADAPTERPOWERMANAGEMENT;

/* ---- Framework functions -------------------------------------------------------------------------------------- */
typedef NTSTATUS (NTAPI *PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

PORTCLASSAPI NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                                      PDRIVER_ADD_DEVICE AddDevice);
PORTCLASSAPI NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                                               PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                               ULONG DeviceExtensionSize);
PORTCLASSAPI NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PORTCLASSAPI NTSTATUS NTAPI PcNewInterruptSync(PINTERRUPTSYNC *OutInterruptSync, PUNKNOWN OuterUnknown,
                                               PRESOURCELIST ResourceList, ULONG ResourceIndex,
                                               INTERRUPTSYNCMODE Mode);
PORTCLASSAPI NTSTATUS NTAPI PcNewMiniport(PMINIPORT *OutMiniport, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcNewPort(PPORT *OutPort, REFCLSID ClassId);
PORTCLASSAPI NTSTATUS NTAPI PcNewRegistryKey(PREGISTRYKEY *OutRegistryKey, PUNKNOWN OuterUnknown,
                                             ULONG RegistryKeyType, ACCESS_MASK DesiredAccess, PVOID DeviceObject,
                                             PVOID SubDevice, POBJECT_ATTRIBUTES ObjectAttributes,
                                             ULONG CreateOptions, PULONG Disposition);
PORTCLASSAPI NTSTATUS NTAPI PcNewResourceSublist(PRESOURCELIST *OutResourceList, PUNKNOWN OuterUnknown,
                                                 POOL_TYPE PoolType, PRESOURCELIST ParentList,
                                                 ULONG MaximumEntries);
PORTCLASSAPI NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP *OutServiceGroup, PUNKNOWN OuterUnknown);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                                         ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin);
PORTCLASSAPI NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown);
PORTCLASSAPI ULONGLONG NTAPI PcGetTimeInterval(ULONGLONG Since);
