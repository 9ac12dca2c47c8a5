/*
 * Every platform structure, union and enumeration the driver touches, with
 * every field: compiled once against the DDK headers (i686 cross compiler)
 * and once against platform/host in the 32-bit host build, and compared.
 *
 *   STRUCT(T)           the type's size
 *   FIELD(T, f)         the field's offset and size, by the same path in both
 *   FIELD_AS(T, h, d)   a field the host names h and the DDK names d
 *   VALUE(e)            an enumerator's or constant's value
 *
 * The expansion is the includer's; the order is the comparison's key.
 */
#define ZATAC97_LAYOUT_TABLE(STRUCT, FIELD, FIELD_AS, VALUE)                                   \
    /* ---- Basic types -------------------------------------------------------------------- */ \
    STRUCT(LARGE_INTEGER)                                                                       \
    FIELD(LARGE_INTEGER, u.LowPart) FIELD(LARGE_INTEGER, u.HighPart)                            \
    FIELD(LARGE_INTEGER, LowPart) FIELD(LARGE_INTEGER, HighPart) FIELD(LARGE_INTEGER, QuadPart) \
    STRUCT(ULARGE_INTEGER)                                                                      \
    FIELD(ULARGE_INTEGER, LowPart) FIELD(ULARGE_INTEGER, HighPart) FIELD(ULARGE_INTEGER, QuadPart) \
    STRUCT(GUID)                                                                                \
    FIELD(GUID, Data1) FIELD(GUID, Data2) FIELD(GUID, Data3) FIELD(GUID, Data4)                 \
    STRUCT(UNICODE_STRING)                                                                      \
    FIELD(UNICODE_STRING, Length) FIELD(UNICODE_STRING, MaximumLength) FIELD(UNICODE_STRING, Buffer) \
    STRUCT(LIST_ENTRY) FIELD(LIST_ENTRY, Flink) FIELD(LIST_ENTRY, Blink)                        \
    STRUCT(KSPIN_LOCK) STRUCT(KIRQL) STRUCT(NTSTATUS) STRUCT(ULONG_PTR) STRUCT(SIZE_T)          \
    STRUCT(BOOLEAN) STRUCT(WCHAR) STRUCT(ULONG) STRUCT(LONGLONG)                                \
    /* ---- Dispatcher objects the driver embeds ------------------------------------------- */ \
    STRUCT(DISPATCHER_HEADER)                                                                   \
    FIELD(DISPATCHER_HEADER, Type) FIELD(DISPATCHER_HEADER, SignalState)                        \
    FIELD(DISPATCHER_HEADER, WaitListHead)                                                      \
    STRUCT(KEVENT) FIELD(KEVENT, Header)                                                        \
    STRUCT(KMUTEX)                                                                              \
    FIELD(KMUTEX, Header) FIELD(KMUTEX, MutantListEntry) FIELD(KMUTEX, OwnerThread)             \
    FIELD(KMUTEX, Abandoned) FIELD(KMUTEX, ApcDisable)                                          \
    STRUCT(EVENT_TYPE) VALUE(NotificationEvent) VALUE(SynchronizationEvent)                     \
    STRUCT(KWAIT_REASON) VALUE(Executive)                                                       \
    STRUCT(POOL_TYPE) VALUE(NonPagedPool) VALUE(PagedPool)                                      \
    STRUCT(MEMORY_CACHING_TYPE) VALUE(MmNonCached) VALUE(MmCached)                              \
    /* ---- I/O requests as the driver reads and writes them ------------------------------- */ \
    STRUCT(IO_STATUS_BLOCK)                                                                     \
    FIELD(IO_STATUS_BLOCK, Status) FIELD(IO_STATUS_BLOCK, Pointer) FIELD(IO_STATUS_BLOCK, Information) \
    STRUCT(IO_STACK_LOCATION)                                                                   \
    FIELD(IO_STACK_LOCATION, MajorFunction) FIELD(IO_STACK_LOCATION, MinorFunction)            \
    FIELD(IO_STACK_LOCATION, Flags) FIELD(IO_STACK_LOCATION, Control)                          \
    FIELD(IO_STACK_LOCATION, Parameters.ReadWriteConfig.WhichSpace)                             \
    FIELD(IO_STACK_LOCATION, Parameters.ReadWriteConfig.Buffer)                                 \
    FIELD(IO_STACK_LOCATION, Parameters.ReadWriteConfig.Offset)                                 \
    FIELD(IO_STACK_LOCATION, Parameters.ReadWriteConfig.Length)                                 \
    FIELD(IO_STACK_LOCATION, Parameters.FilterResourceRequirements.IoResourceRequirementList)   \
    FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources)                         \
    FIELD(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated)               \
    FIELD(IO_STACK_LOCATION, Parameters.Power.SystemContext)                                    \
    FIELD(IO_STACK_LOCATION, Parameters.Power.Type)                                             \
    FIELD(IO_STACK_LOCATION, Parameters.Power.State)                                            \
    FIELD(IO_STACK_LOCATION, Parameters.Power.ShutdownType)                                     \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument1)                                       \
    FIELD(IO_STACK_LOCATION, Parameters.Others.Argument4)                                       \
    FIELD(IO_STACK_LOCATION, DeviceObject) FIELD(IO_STACK_LOCATION, FileObject)                \
    FIELD(IO_STACK_LOCATION, CompletionRoutine) FIELD(IO_STACK_LOCATION, Context)              \
    STRUCT(IRP)                                                                                 \
    FIELD(IRP, Type) FIELD(IRP, Size) FIELD(IRP, Flags) FIELD(IRP, IoStatus)                   \
    FIELD(IRP, PendingReturned) FIELD(IRP, StackCount) FIELD(IRP, CurrentLocation)             \
    FIELD(IRP, Cancel)                                                                          \
    FIELD(IRP, MdlAddress) FIELD(IRP, AssociatedIrp) FIELD(IRP, ThreadListEntry)               \
    FIELD(IRP, RequestorMode) FIELD(IRP, UserIosb) FIELD(IRP, UserEvent) FIELD(IRP, Overlay)   \
    FIELD(IRP, CancelRoutine) FIELD(IRP, UserBuffer) FIELD(IRP, Tail.Overlay.DriverContext)    \
    FIELD(IRP, Tail.Overlay.ListEntry) FIELD(IRP, Tail.Overlay.CurrentStackLocation)           \
    FIELD(IRP, Tail.Overlay.OriginalFileObject)                                                 \
    STRUCT(DEVICE_OBJECT)                                                                       \
    FIELD(DEVICE_OBJECT, Type) FIELD(DEVICE_OBJECT, Size) FIELD(DEVICE_OBJECT, ReferenceCount) \
    FIELD(DEVICE_OBJECT, DriverObject) FIELD(DEVICE_OBJECT, NextDevice)                        \
    FIELD(DEVICE_OBJECT, AttachedDevice) FIELD(DEVICE_OBJECT, Flags)                           \
    FIELD(DEVICE_OBJECT, DeviceExtension) FIELD(DEVICE_OBJECT, DeviceType)                     \
    FIELD(DEVICE_OBJECT, StackSize) FIELD(DEVICE_OBJECT, CurrentIrp) FIELD(DEVICE_OBJECT, Timer) \
    FIELD(DEVICE_OBJECT, Characteristics) FIELD(DEVICE_OBJECT, Vpb) FIELD(DEVICE_OBJECT, Queue) \
    FIELD(DEVICE_OBJECT, AlignmentRequirement) FIELD(DEVICE_OBJECT, ActiveThreadCount)         \
    FIELD(DEVICE_OBJECT, DeviceLock) FIELD(DEVICE_OBJECT, DeviceObjectExtension)               \
    STRUCT(DRIVER_EXTENSION)                                                                    \
    FIELD(DRIVER_EXTENSION, DriverObject) FIELD(DRIVER_EXTENSION, AddDevice)                   \
    FIELD(DRIVER_EXTENSION, Count) FIELD(DRIVER_EXTENSION, ServiceKeyName)                     \
    STRUCT(DRIVER_OBJECT)                                                                       \
    FIELD(DRIVER_OBJECT, Type) FIELD(DRIVER_OBJECT, Size) FIELD(DRIVER_OBJECT, DeviceObject)   \
    FIELD(DRIVER_OBJECT, Flags) FIELD(DRIVER_OBJECT, DriverStart) FIELD(DRIVER_OBJECT, DriverSize) \
    FIELD(DRIVER_OBJECT, DriverSection) FIELD(DRIVER_OBJECT, DriverExtension)                  \
    FIELD(DRIVER_OBJECT, DriverName) FIELD(DRIVER_OBJECT, HardwareDatabase)                    \
    FIELD(DRIVER_OBJECT, FastIoDispatch) FIELD(DRIVER_OBJECT, DriverInit)                      \
    FIELD(DRIVER_OBJECT, DriverStartIo) FIELD(DRIVER_OBJECT, DriverUnload)                     \
    FIELD(DRIVER_OBJECT, MajorFunction)                                                         \
    VALUE(IRP_MJ_PNP) VALUE(IRP_MJ_POWER) VALUE(IRP_MJ_MAXIMUM_FUNCTION)                        \
    VALUE(IRP_MN_FILTER_RESOURCE_REQUIREMENTS) VALUE(IRP_MN_READ_CONFIG)                        \
    VALUE(IRP_MN_WRITE_CONFIG) VALUE(IRP_MN_START_DEVICE) VALUE(PCI_WHICHSPACE_CONFIG)          \
    VALUE(SL_INVOKE_ON_SUCCESS) VALUE(SL_INVOKE_ON_ERROR) VALUE(SL_INVOKE_ON_CANCEL)            \
    /* ---- Resources and requirements ------------------------------------------------------ */ \
    STRUCT(CM_PARTIAL_RESOURCE_DESCRIPTOR)                                                      \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, Type) FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, ShareDisposition) \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, Flags)                                                \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Start) FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Length) \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Level)                                    \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Vector)                                   \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Interrupt.Affinity)                                 \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Memory.Start) FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Memory.Length) \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Dma.Channel) FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Dma.Port) \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.DevicePrivate.Data)                                 \
    FIELD(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.DeviceSpecificData.DataSize)                        \
    STRUCT(CM_PARTIAL_RESOURCE_LIST)                                                            \
    FIELD(CM_PARTIAL_RESOURCE_LIST, Version) FIELD(CM_PARTIAL_RESOURCE_LIST, Revision)         \
    FIELD(CM_PARTIAL_RESOURCE_LIST, Count) FIELD(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) \
    STRUCT(CM_FULL_RESOURCE_DESCRIPTOR)                                                         \
    FIELD(CM_FULL_RESOURCE_DESCRIPTOR, InterfaceType) FIELD(CM_FULL_RESOURCE_DESCRIPTOR, BusNumber) \
    FIELD(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList)                                     \
    STRUCT(CM_RESOURCE_LIST) FIELD(CM_RESOURCE_LIST, Count) FIELD(CM_RESOURCE_LIST, List)      \
    STRUCT(IO_RESOURCE_DESCRIPTOR)                                                              \
    FIELD(IO_RESOURCE_DESCRIPTOR, Option) FIELD(IO_RESOURCE_DESCRIPTOR, Type)                  \
    FIELD(IO_RESOURCE_DESCRIPTOR, ShareDisposition) FIELD(IO_RESOURCE_DESCRIPTOR, Spare1)      \
    FIELD(IO_RESOURCE_DESCRIPTOR, Flags) FIELD(IO_RESOURCE_DESCRIPTOR, Spare2)                 \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Port.Length) FIELD(IO_RESOURCE_DESCRIPTOR, u.Port.Alignment) \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Port.MinimumAddress)                                        \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Port.MaximumAddress)                                        \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Memory.MinimumAddress)                                      \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Interrupt.MinimumVector)                                    \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Interrupt.MaximumVector)                                    \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Dma.MinimumChannel) FIELD(IO_RESOURCE_DESCRIPTOR, u.Dma.MaximumChannel) \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.Generic.MinimumAddress)                                     \
    FIELD(IO_RESOURCE_DESCRIPTOR, u.DevicePrivate.Data)                                         \
    STRUCT(IO_RESOURCE_LIST)                                                                    \
    FIELD(IO_RESOURCE_LIST, Version) FIELD(IO_RESOURCE_LIST, Revision)                         \
    FIELD(IO_RESOURCE_LIST, Count) FIELD(IO_RESOURCE_LIST, Descriptors)                        \
    STRUCT(IO_RESOURCE_REQUIREMENTS_LIST)                                                       \
    FIELD(IO_RESOURCE_REQUIREMENTS_LIST, ListSize) FIELD(IO_RESOURCE_REQUIREMENTS_LIST, InterfaceType) \
    FIELD(IO_RESOURCE_REQUIREMENTS_LIST, BusNumber) FIELD(IO_RESOURCE_REQUIREMENTS_LIST, SlotNumber) \
    FIELD(IO_RESOURCE_REQUIREMENTS_LIST, Reserved) FIELD(IO_RESOURCE_REQUIREMENTS_LIST, AlternativeLists) \
    FIELD(IO_RESOURCE_REQUIREMENTS_LIST, List)                                                  \
    STRUCT(INTERFACE_TYPE) VALUE(PCIBus) VALUE(Isa)                                             \
    STRUCT(CM_SHARE_DISPOSITION) VALUE(CmResourceShareDeviceExclusive) VALUE(CmResourceShareShared) \
    VALUE(CmResourceTypePort) VALUE(CmResourceTypeInterrupt) VALUE(CmResourceTypeMemory)        \
    VALUE(CmResourceTypeDma) VALUE(IO_RESOURCE_PREFERRED) VALUE(IO_RESOURCE_ALTERNATIVE)        \
    /* ---- Power --------------------------------------------------------------------------- */ \
    STRUCT(POWER_STATE) FIELD(POWER_STATE, SystemState) FIELD(POWER_STATE, DeviceState)         \
    STRUCT(DEVICE_POWER_STATE) VALUE(PowerDeviceD0) VALUE(PowerDeviceD1) VALUE(PowerDeviceD2)  \
    VALUE(PowerDeviceD3) STRUCT(SYSTEM_POWER_STATE) VALUE(PowerSystemWorking)                   \
    VALUE(PowerSystemMaximum)                                                                   \
    STRUCT(DEVICE_CAPABILITIES)                                                                 \
    FIELD(DEVICE_CAPABILITIES, Size) FIELD(DEVICE_CAPABILITIES, Version)                        \
    FIELD(DEVICE_CAPABILITIES, Address) FIELD(DEVICE_CAPABILITIES, UINumber)                    \
    FIELD(DEVICE_CAPABILITIES, DeviceState) FIELD(DEVICE_CAPABILITIES, SystemWake)              \
    FIELD(DEVICE_CAPABILITIES, DeviceWake) FIELD(DEVICE_CAPABILITIES, D1Latency)                \
    FIELD(DEVICE_CAPABILITIES, D2Latency) FIELD(DEVICE_CAPABILITIES, D3Latency)                 \
    /* ---- Registry ------------------------------------------------------------------------ */ \
    STRUCT(KEY_VALUE_PARTIAL_INFORMATION)                                                       \
    FIELD(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex) FIELD(KEY_VALUE_PARTIAL_INFORMATION, Type) \
    FIELD(KEY_VALUE_PARTIAL_INFORMATION, DataLength) FIELD(KEY_VALUE_PARTIAL_INFORMATION, Data) \
    STRUCT(KEY_VALUE_INFORMATION_CLASS) VALUE(KeyValuePartialInformation)                       \
    VALUE(REG_DWORD) VALUE(REG_BINARY)                                                          \
    /* ---- Port class descriptors ---------------------------------------------------------- */ \
    STRUCT(PCPROPERTY_ITEM)                                                                     \
    FIELD(PCPROPERTY_ITEM, Set) FIELD(PCPROPERTY_ITEM, Id) FIELD(PCPROPERTY_ITEM, Flags)       \
    FIELD(PCPROPERTY_ITEM, Handler)                                                             \
    STRUCT(PCPROPERTY_REQUEST)                                                                  \
    FIELD(PCPROPERTY_REQUEST, MajorTarget) FIELD(PCPROPERTY_REQUEST, MinorTarget)              \
    FIELD(PCPROPERTY_REQUEST, Node) FIELD(PCPROPERTY_REQUEST, PropertyItem)                    \
    FIELD(PCPROPERTY_REQUEST, Verb) FIELD(PCPROPERTY_REQUEST, InstanceSize)                    \
    FIELD(PCPROPERTY_REQUEST, Instance) FIELD(PCPROPERTY_REQUEST, ValueSize)                   \
    FIELD(PCPROPERTY_REQUEST, Value) FIELD(PCPROPERTY_REQUEST, Irp)                            \
    STRUCT(PCAUTOMATION_TABLE)                                                                  \
    FIELD(PCAUTOMATION_TABLE, PropertyItemSize) FIELD(PCAUTOMATION_TABLE, PropertyCount)       \
    FIELD(PCAUTOMATION_TABLE, Properties) FIELD(PCAUTOMATION_TABLE, MethodItemSize)            \
    FIELD(PCAUTOMATION_TABLE, MethodCount) FIELD(PCAUTOMATION_TABLE, Methods)                  \
    FIELD(PCAUTOMATION_TABLE, EventItemSize) FIELD(PCAUTOMATION_TABLE, EventCount)             \
    FIELD(PCAUTOMATION_TABLE, Events) FIELD(PCAUTOMATION_TABLE, Reserved)                      \
    STRUCT(PCCONNECTION_DESCRIPTOR)                                                             \
    FIELD(PCCONNECTION_DESCRIPTOR, FromNode) FIELD(PCCONNECTION_DESCRIPTOR, FromNodePin)       \
    FIELD(PCCONNECTION_DESCRIPTOR, ToNode) FIELD(PCCONNECTION_DESCRIPTOR, ToNodePin)           \
    STRUCT(PCPIN_DESCRIPTOR)                                                                    \
    FIELD(PCPIN_DESCRIPTOR, MaxGlobalInstanceCount) FIELD(PCPIN_DESCRIPTOR, MaxFilterInstanceCount) \
    FIELD(PCPIN_DESCRIPTOR, MinFilterInstanceCount) FIELD(PCPIN_DESCRIPTOR, AutomationTable)   \
    FIELD(PCPIN_DESCRIPTOR, KsPinDescriptor)                                                    \
    STRUCT(PCNODE_DESCRIPTOR)                                                                   \
    FIELD(PCNODE_DESCRIPTOR, Flags) FIELD(PCNODE_DESCRIPTOR, AutomationTable)                  \
    FIELD(PCNODE_DESCRIPTOR, Type) FIELD(PCNODE_DESCRIPTOR, Name)                              \
    STRUCT(PCFILTER_DESCRIPTOR)                                                                 \
    FIELD(PCFILTER_DESCRIPTOR, Version) FIELD(PCFILTER_DESCRIPTOR, AutomationTable)            \
    FIELD(PCFILTER_DESCRIPTOR, PinSize) FIELD(PCFILTER_DESCRIPTOR, PinCount)                   \
    FIELD(PCFILTER_DESCRIPTOR, Pins) FIELD(PCFILTER_DESCRIPTOR, NodeSize)                      \
    FIELD(PCFILTER_DESCRIPTOR, NodeCount) FIELD(PCFILTER_DESCRIPTOR, Nodes)                    \
    FIELD(PCFILTER_DESCRIPTOR, ConnectionCount) FIELD(PCFILTER_DESCRIPTOR, Connections)        \
    FIELD(PCFILTER_DESCRIPTOR, CategoryCount) FIELD(PCFILTER_DESCRIPTOR, Categories)           \
    VALUE(PCFILTER_NODE) STRUCT(INTERRUPTSYNCMODE) VALUE(InterruptSyncModeNormal)               \
    VALUE(DriverRegistryKey)                                                                    \
    /* ---- Kernel streaming ----------------------------------------------------------------- */ \
    STRUCT(KSIDENTIFIER)                                                                        \
    FIELD(KSIDENTIFIER, Set) FIELD(KSIDENTIFIER, Id) FIELD(KSIDENTIFIER, Flags)                \
    FIELD(KSIDENTIFIER, Alignment)                                                              \
    STRUCT(KSPROPERTY) FIELD(KSPROPERTY, Set) FIELD(KSPROPERTY, Id) FIELD(KSPROPERTY, Flags)   \
    STRUCT(KSMULTIPLE_ITEM) FIELD(KSMULTIPLE_ITEM, Size) FIELD(KSMULTIPLE_ITEM, Count)         \
    STRUCT(KSPROPERTY_DESCRIPTION)                                                              \
    FIELD(KSPROPERTY_DESCRIPTION, AccessFlags) FIELD(KSPROPERTY_DESCRIPTION, DescriptionSize)  \
    FIELD(KSPROPERTY_DESCRIPTION, PropTypeSet) FIELD(KSPROPERTY_DESCRIPTION, MembersListCount) \
    FIELD(KSPROPERTY_DESCRIPTION, Reserved)                                                     \
    STRUCT(KSPROPERTY_MEMBERSHEADER)                                                            \
    FIELD(KSPROPERTY_MEMBERSHEADER, MembersFlags) FIELD(KSPROPERTY_MEMBERSHEADER, MembersSize) \
    FIELD(KSPROPERTY_MEMBERSHEADER, MembersCount) FIELD(KSPROPERTY_MEMBERSHEADER, Flags)       \
    STRUCT(KSPROPERTY_BOUNDS_LONG)                                                              \
    FIELD(KSPROPERTY_BOUNDS_LONG, SignedMinimum) FIELD(KSPROPERTY_BOUNDS_LONG, SignedMaximum)  \
    FIELD(KSPROPERTY_BOUNDS_LONG, UnsignedMinimum) FIELD(KSPROPERTY_BOUNDS_LONG, UnsignedMaximum) \
    STRUCT(KSPROPERTY_STEPPING_LONG)                                                            \
    FIELD(KSPROPERTY_STEPPING_LONG, SteppingDelta) FIELD(KSPROPERTY_STEPPING_LONG, Reserved)   \
    FIELD(KSPROPERTY_STEPPING_LONG, Bounds)                                                     \
    STRUCT(KSDATAFORMAT)                                                                        \
    FIELD(KSDATAFORMAT, FormatSize) FIELD(KSDATAFORMAT, Flags) FIELD(KSDATAFORMAT, SampleSize) \
    FIELD(KSDATAFORMAT, Reserved) FIELD(KSDATAFORMAT, MajorFormat) FIELD(KSDATAFORMAT, SubFormat) \
    FIELD(KSDATAFORMAT, Specifier) FIELD(KSDATAFORMAT, Alignment)                              \
    STRUCT(KSPIN_DESCRIPTOR)                                                                    \
    FIELD(KSPIN_DESCRIPTOR, InterfacesCount) FIELD(KSPIN_DESCRIPTOR, Interfaces)               \
    FIELD(KSPIN_DESCRIPTOR, MediumsCount) FIELD(KSPIN_DESCRIPTOR, Mediums)                     \
    FIELD(KSPIN_DESCRIPTOR, DataRangesCount) FIELD(KSPIN_DESCRIPTOR, DataRanges)               \
    FIELD(KSPIN_DESCRIPTOR, DataFlow) FIELD(KSPIN_DESCRIPTOR, Communication)                   \
    FIELD(KSPIN_DESCRIPTOR, Category) FIELD(KSPIN_DESCRIPTOR, Name)                            \
    FIELD(KSPIN_DESCRIPTOR, Reserved) FIELD(KSPIN_DESCRIPTOR, ConstrainedDataRangesCount)      \
    FIELD(KSPIN_DESCRIPTOR, ConstrainedDataRanges)                                              \
    STRUCT(KSPIN_DATAFLOW) VALUE(KSPIN_DATAFLOW_IN) VALUE(KSPIN_DATAFLOW_OUT)                   \
    STRUCT(KSPIN_COMMUNICATION) VALUE(KSPIN_COMMUNICATION_NONE) VALUE(KSPIN_COMMUNICATION_SINK) \
    VALUE(KSPIN_COMMUNICATION_SOURCE) VALUE(KSPIN_COMMUNICATION_BRIDGE)                         \
    STRUCT(KSSTATE) VALUE(KSSTATE_STOP) VALUE(KSSTATE_ACQUIRE) VALUE(KSSTATE_PAUSE) VALUE(KSSTATE_RUN) \
    STRUCT(KSALLOCATOR_FRAMING)                                                                 \
    FIELD(KSALLOCATOR_FRAMING, OptionsFlags) FIELD(KSALLOCATOR_FRAMING, RequirementsFlags)     \
    FIELD(KSALLOCATOR_FRAMING, PoolType) FIELD(KSALLOCATOR_FRAMING, Frames)                    \
    FIELD(KSALLOCATOR_FRAMING, FrameSize) FIELD(KSALLOCATOR_FRAMING, FileAlignment)            \
    FIELD(KSALLOCATOR_FRAMING, Reserved)                                                        \
    VALUE(KSPROPERTY_TYPE_GET) VALUE(KSPROPERTY_TYPE_SET) VALUE(KSPROPERTY_TYPE_BASICSUPPORT)   \
    VALUE(KSPROPERTY_MEMBER_RANGES) VALUE(KSPROPERTY_MEMBER_STEPPEDRANGES)                      \
    VALUE(KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL)                                     \
    VALUE(KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM) VALUE(KSFILTER_NODE)                     \
    /* ---- Audio ----------------------------------------------------------------------------- */ \
    STRUCT(WAVEFORMATEX)                                                                        \
    FIELD(WAVEFORMATEX, wFormatTag) FIELD(WAVEFORMATEX, nChannels)                             \
    FIELD(WAVEFORMATEX, nSamplesPerSec) FIELD(WAVEFORMATEX, nAvgBytesPerSec)                   \
    FIELD(WAVEFORMATEX, nBlockAlign) FIELD(WAVEFORMATEX, wBitsPerSample) FIELD(WAVEFORMATEX, cbSize) \
    STRUCT(WAVEFORMATEXTENSIBLE)                                                                \
    FIELD(WAVEFORMATEXTENSIBLE, Format) FIELD(WAVEFORMATEXTENSIBLE, Samples.wValidBitsPerSample) \
    FIELD(WAVEFORMATEXTENSIBLE, dwChannelMask) FIELD(WAVEFORMATEXTENSIBLE, SubFormat)          \
    STRUCT(KSDATAFORMAT_WAVEFORMATEX)                                                           \
    FIELD(KSDATAFORMAT_WAVEFORMATEX, DataFormat) FIELD(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx) \
    STRUCT(KSDATARANGE_AUDIO)                                                                   \
    FIELD(KSDATARANGE_AUDIO, DataRange) FIELD(KSDATARANGE_AUDIO, MaximumChannels)              \
    FIELD(KSDATARANGE_AUDIO, MinimumBitsPerSample) FIELD(KSDATARANGE_AUDIO, MaximumBitsPerSample) \
    FIELD(KSDATARANGE_AUDIO, MinimumSampleFrequency) FIELD(KSDATARANGE_AUDIO, MaximumSampleFrequency) \
    STRUCT(KSNODEPROPERTY)                                                                      \
    FIELD(KSNODEPROPERTY, Property) FIELD(KSNODEPROPERTY, NodeId) FIELD(KSNODEPROPERTY, Reserved) \
    STRUCT(KSNODEPROPERTY_AUDIO_CHANNEL)                                                        \
    FIELD(KSNODEPROPERTY_AUDIO_CHANNEL, NodeProperty) FIELD(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) \
    FIELD(KSNODEPROPERTY_AUDIO_CHANNEL, Reserved)                                               \
    STRUCT(KSAUDIO_MIXLEVEL) FIELD(KSAUDIO_MIXLEVEL, Mute) FIELD(KSAUDIO_MIXLEVEL, Level)      \
    STRUCT(KSAUDIO_MIX_CAPS)                                                                    \
    FIELD(KSAUDIO_MIX_CAPS, Mute) FIELD(KSAUDIO_MIX_CAPS, Minimum) FIELD(KSAUDIO_MIX_CAPS, Maximum) \
    FIELD(KSAUDIO_MIX_CAPS, Reset)                                                              \
    STRUCT(KSAUDIO_MIXCAP_TABLE)                                                                \
    FIELD(KSAUDIO_MIXCAP_TABLE, InputChannels) FIELD(KSAUDIO_MIXCAP_TABLE, OutputChannels)     \
    FIELD(KSAUDIO_MIXCAP_TABLE, Capabilities)                                                   \
    VALUE(WAVE_FORMAT_PCM) VALUE(WAVE_FORMAT_EXTENSIBLE) VALUE(KSPROPERTY_AUDIO_VOLUMELEVEL)    \
    VALUE(KSPROPERTY_AUDIO_MUTE) VALUE(KSPROPERTY_AUDIO_MUX_SOURCE) VALUE(KSPROPERTY_AUDIO_AGC) \
    VALUE(KSPROPERTY_AUDIO_MIX_LEVEL_CAPS) VALUE(KSPROPERTY_AUDIO_MIX_LEVEL_TABLE)              \
    VALUE(KSPROPERTY_AUDIO_CPU_RESOURCES) VALUE(KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU)
