// The port-class library (portcls.h): the COM-style interfaces between an
// adapter driver, its miniports and the port drivers, the filter description
// records a miniport hands its port, and the Pc* routines.
//
// Interfaces are abstract classes whose virtual functions are declared in
// the slot order of portcls.h. QueryInterface returns NTSTATUS. Records are
// the Win64 layouts.
//
// Every routine and method runs at PASSIVE_LEVEL unless its comment says
// otherwise.
#pragma once

#include "platform/base/types.h"
#include "platform/io/device.h"
#include "platform/io/irp.h"
#include "platform/io/pnp.h"
#include "platform/kernel/dispatcher.h"
#include "platform/kernel/pool.h"
#include "platform/ks/ks.h"
#include "platform/ks/ksmedia.h"
#include "platform/portcls/dma.h"
#include "platform/portcls/unknown.h"
#include "platform/registry/object_attributes.h"

#include <cstddef>

// ---- class and interface ids ----

inline constexpr GUID CLSID_PortWaveRT = {0xCC9BE57A, 0xEB9E, 0x42B4, {0x94, 0xFC, 0x0C, 0xAD, 0x3D, 0xBC, 0xE7, 0xFA}};
inline constexpr GUID CLSID_PortMidi = {0xB4C90A43, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID CLSID_PortTopology = {0xB4C90A32, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID CLSID_PortWaveCyclic = {0xB4C90A2A, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID CLSID_PortWavePci = {0xB4C90A54, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID CLSID_MiniportDriverUart = {0xB4C90AE1, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID CLSID_MiniportDriverFmSynth = {0xB4C90AE0, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID CLSID_MiniportDriverFmSynthWithVol = {0xE5A3C139, 0xF0F2, 0x11D1, {0x81, 0xAF, 0x00, 0x60, 0x08, 0x33, 0x16, 0xC1}};

inline constexpr GUID IID_IResourceList = {0x22C6AC60, 0x851B, 0x11D0, {0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE}};
inline constexpr GUID IID_IServiceSink = {0x22C6AC64, 0x851B, 0x11D0, {0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE}};
inline constexpr GUID IID_IServiceGroup = {0x22C6AC65, 0x851B, 0x11D0, {0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38, 0xAC, 0xFE}};
inline constexpr GUID IID_IUnregisterSubdevice = {0x16738177, 0xE199, 0x41F9, {0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21}};
inline constexpr GUID IID_IRegistryKey = {0xE8DA4302, 0xF304, 0x11D0, {0x95, 0x8B, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
inline constexpr GUID IID_IPort = {0xB4C90A25, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID IID_IMiniport = {0xB4C90A24, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID IID_IPortMidi = {0xB4C90A40, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID IID_IMiniportMidi = {0xB4C90A41, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID IID_IMiniportMidiStream = {0xB4C90A42, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID IID_MiniportDriverUart = {0xB4C90AE1, 0x5791, 0x11D0, {0x86, 0xF9, 0x00, 0xA0, 0xC9, 0x11, 0xB5, 0x44}};
inline constexpr GUID IID_IPortWaveRT = {0x339FF909, 0x68A9, 0x4310, {0xB0, 0x9B, 0x27, 0x4E, 0x96, 0xEE, 0x4C, 0xBD}};
inline constexpr GUID IID_IPortWaveRTStream = {0x1809CE5A, 0x64BC, 0x4E62, {0xBD, 0x7D, 0x95, 0xBC, 0xE4, 0x3D, 0xE3, 0x93}};
inline constexpr GUID IID_IMiniportWaveRT = {0x0F9FC4D6, 0x6061, 0x4F3C, {0xB1, 0xFC, 0x07, 0x5E, 0x35, 0xF7, 0x96, 0x0A}};
inline constexpr GUID IID_IMiniportWaveRTStream = {0x000AC9AB, 0xFAAB, 0x4F3D, {0x94, 0x55, 0x6F, 0xF8, 0x30, 0x6A, 0x74, 0xA0}};
inline constexpr GUID IID_IMiniportWaveRTStreamNotification = {0x23759128, 0x96F1, 0x423B, {0xAB, 0x4D, 0x81, 0x63, 0x5B, 0xCF, 0x8C, 0xA1}};
inline constexpr GUID IID_IAdapterPowerManagement = {0x793417D0, 0x35FE, 0x11D1, {0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0}};
inline constexpr GUID IID_IPowerNotify = {0x3DD648B8, 0x969F, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};

// ---- constants ----

// The part of an adapter device's extension that PortCls keeps for itself;
// the driver's own fields follow it.
inline constexpr ULONG PORT_CLASS_DEVICE_EXTENSION_SIZE = 64 * sizeof(ULONG_PTR);
static_assert(PORT_CLASS_DEVICE_EXTENSION_SIZE == 512);

// A connection end that is a filter pin rather than a node.
inline constexpr ULONG PCFILTER_NODE = 0xFFFFFFFFu;

inline constexpr ULONG PCPROPERTY_ITEM_FLAG_GET = KSPROPERTY_TYPE_GET;
inline constexpr ULONG PCPROPERTY_ITEM_FLAG_SET = KSPROPERTY_TYPE_SET;
inline constexpr ULONG PCPROPERTY_ITEM_FLAG_BASICSUPPORT = KSPROPERTY_TYPE_BASICSUPPORT;
inline constexpr ULONG PCPROPERTY_ITEM_FLAG_SERIALIZERAW = KSPROPERTY_TYPE_SERIALIZERAW;
inline constexpr ULONG PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW = KSPROPERTY_TYPE_UNSERIALIZERAW;
inline constexpr ULONG PCPROPERTY_ITEM_FLAG_SERIALIZESIZE = KSPROPERTY_TYPE_SERIALIZESIZE;
inline constexpr ULONG PCPROPERTY_ITEM_FLAG_SERIALIZE =
    PCPROPERTY_ITEM_FLAG_SERIALIZERAW | PCPROPERTY_ITEM_FLAG_UNSERIALIZERAW | PCPROPERTY_ITEM_FLAG_SERIALIZESIZE;
inline constexpr ULONG PCPROPERTY_ITEM_FLAG_DEFAULTVALUES = KSPROPERTY_TYPE_DEFAULTVALUES;

// PCNODE_DESCRIPTOR.Flags / PCFILTER_DESCRIPTOR.Version.
inline constexpr ULONG PCFILTER_DESCRIPTOR_VERSION = 0;

// ---- automation and filter description records ----

struct PCPROPERTY_REQUEST;
struct PCMETHOD_REQUEST;
struct PCEVENT_REQUEST;
struct KSEVENT_ENTRY;

using PCPFNPROPERTY_HANDLER = NTSTATUS (*)(PCPROPERTY_REQUEST* propertyRequest);
using PCPFNMETHOD_HANDLER = NTSTATUS (*)(PCMETHOD_REQUEST* methodRequest);
using PCPFNEVENT_HANDLER = NTSTATUS (*)(PCEVENT_REQUEST* eventRequest);

struct PCPROPERTY_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;  // PCPROPERTY_ITEM_FLAG_*: the verbs the handler serves
    PCPFNPROPERTY_HANDLER Handler;
};
static_assert(sizeof(PCPROPERTY_ITEM) == 24);
static_assert(offsetof(PCPROPERTY_ITEM, Id) == 8);
static_assert(offsetof(PCPROPERTY_ITEM, Handler) == 16);

struct PCMETHOD_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
};
static_assert(sizeof(PCMETHOD_ITEM) == 24);

struct PCEVENT_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
};
static_assert(sizeof(PCEVENT_ITEM) == 24);

// What a property handler receives. MajorTarget is the miniport (the
// IMiniportWaveRT / IMiniportMidi pointer the port obtained at Init),
// MinorTarget the stream for pin properties (else null), Node the node id or
// ULONG(-1). The handler sets ValueSize to the bytes it returns (or needs,
// with STATUS_BUFFER_OVERFLOW).
struct PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;  // the request's KSPROPERTY flags
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    IRP* Irp;
};
static_assert(sizeof(PCPROPERTY_REQUEST) == 72);
static_assert(offsetof(PCPROPERTY_REQUEST, MinorTarget) == 8);
static_assert(offsetof(PCPROPERTY_REQUEST, Node) == 16);
static_assert(offsetof(PCPROPERTY_REQUEST, PropertyItem) == 24);
static_assert(offsetof(PCPROPERTY_REQUEST, Verb) == 32);
static_assert(offsetof(PCPROPERTY_REQUEST, InstanceSize) == 36);
static_assert(offsetof(PCPROPERTY_REQUEST, Instance) == 40);
static_assert(offsetof(PCPROPERTY_REQUEST, ValueSize) == 48);
static_assert(offsetof(PCPROPERTY_REQUEST, Value) == 56);
static_assert(offsetof(PCPROPERTY_REQUEST, Irp) == 64);
using PPCPROPERTY_REQUEST = PCPROPERTY_REQUEST*;

struct PCMETHOD_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM* MethodItem;
    ULONG Verb;
};

struct PCEVENT_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    KSEVENT_ENTRY* EventEntry;
    ULONG Verb;
    IRP* Irp;
};

struct PCAUTOMATION_TABLE {
    ULONG PropertyItemSize;  // stride of Properties: at least sizeof(PCPROPERTY_ITEM)
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
};
static_assert(sizeof(PCAUTOMATION_TABLE) == 56);
static_assert(offsetof(PCAUTOMATION_TABLE, Properties) == 8);
static_assert(offsetof(PCAUTOMATION_TABLE, MethodItemSize) == 16);
static_assert(offsetof(PCAUTOMATION_TABLE, Methods) == 24);
static_assert(offsetof(PCAUTOMATION_TABLE, EventItemSize) == 32);
static_assert(offsetof(PCAUTOMATION_TABLE, Events) == 40);
static_assert(offsetof(PCAUTOMATION_TABLE, Reserved) == 48);

// Node ends use pin 0 as the node's output and pin 1 as its input; a filter
// pin end is node PCFILTER_NODE with the filter pin number.
struct PCCONNECTION_DESCRIPTOR {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16);

struct PCPIN_DESCRIPTOR {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
};
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112);
static_assert(offsetof(PCPIN_DESCRIPTOR, MinFilterInstanceCount) == 8);
static_assert(offsetof(PCPIN_DESCRIPTOR, AutomationTable) == 16);
static_assert(offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24);

struct PCNODE_DESCRIPTOR {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
};
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32);
static_assert(offsetof(PCNODE_DESCRIPTOR, AutomationTable) == 8);
static_assert(offsetof(PCNODE_DESCRIPTOR, Type) == 16);
static_assert(offsetof(PCNODE_DESCRIPTOR, Name) == 24);

// PinSize and NodeSize are the strides of Pins and Nodes, so a driver may
// append its own fields to each record.
struct PCFILTER_DESCRIPTOR {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
};
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80);
static_assert(offsetof(PCFILTER_DESCRIPTOR, AutomationTable) == 8);
static_assert(offsetof(PCFILTER_DESCRIPTOR, PinSize) == 16);
static_assert(offsetof(PCFILTER_DESCRIPTOR, PinCount) == 20);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Pins) == 24);
static_assert(offsetof(PCFILTER_DESCRIPTOR, NodeSize) == 32);
static_assert(offsetof(PCFILTER_DESCRIPTOR, NodeCount) == 36);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Nodes) == 40);
static_assert(offsetof(PCFILTER_DESCRIPTOR, ConnectionCount) == 48);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Connections) == 56);
static_assert(offsetof(PCFILTER_DESCRIPTOR, CategoryCount) == 64);
static_assert(offsetof(PCFILTER_DESCRIPTOR, Categories) == 72);
using PPCFILTER_DESCRIPTOR = PCFILTER_DESCRIPTOR*;

// ---- interfaces ----

struct IRegistryKey;
struct CM_PARTIAL_RESOURCE_DESCRIPTOR;
using CM_RESOURCE_TYPE = UCHAR;

// The resources of a started device. USB adapters have none; the list still
// exists so that StartDevice can be written as on any bus.
struct IResourceList : IUnknown {
    virtual ULONG NumberOfEntries() = 0;
    virtual ULONG NumberOfEntriesOfType(CM_RESOURCE_TYPE type) = 0;
    virtual CM_PARTIAL_RESOURCE_DESCRIPTOR* FindTranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) = 0;
    virtual CM_PARTIAL_RESOURCE_DESCRIPTOR* FindUntranslatedEntry(CM_RESOURCE_TYPE type, ULONG index) = 0;
    virtual NTSTATUS AddEntry(CM_PARTIAL_RESOURCE_DESCRIPTOR* translated,
                              CM_PARTIAL_RESOURCE_DESCRIPTOR* untranslated) = 0;
    virtual NTSTATUS AddEntryFromParent(IResourceList* parent, CM_RESOURCE_TYPE type, ULONG index) = 0;
    virtual CM_RESOURCE_LIST* TranslatedList() = 0;
    virtual CM_RESOURCE_LIST* UntranslatedList() = 0;

protected:
    ~IResourceList() = default;
};
using PRESOURCELIST = IResourceList*;

// A member of a service group. RequestService runs at DISPATCH_LEVEL.
struct IServiceSink : IUnknown {
    virtual void RequestService() = 0;

protected:
    ~IServiceSink() = default;
};
using PSERVICESINK = IServiceSink*;

// A set of sinks serviced together (PcNewServiceGroup). RequestService may be
// called at any IRQL up to DISPATCH_LEVEL; the members are serviced at
// DISPATCH_LEVEL before it returns. A member must not add or remove members
// from its own RequestService.
struct IServiceGroup : IServiceSink {
    virtual NTSTATUS AddMember(IServiceSink* serviceSink) = 0;
    virtual void RemoveMember(IServiceSink* serviceSink) = 0;
    virtual void SupportDelayedService() = 0;
    virtual void RequestDelayedService(ULONGLONG delay) = 0;
    virtual void CancelDelayedService() = 0;

protected:
    ~IServiceGroup() = default;
};
using PSERVICEGROUP = IServiceGroup*;

// Offered by every port: takes a registered subdevice back (its device
// interfaces disabled, PortCls's references on the port and the miniport
// released), so that the same name can be registered again.
struct IUnregisterSubdevice : IUnknown {
    virtual NTSTATUS UnregisterSubdevice(DEVICE_OBJECT* deviceObject, PUNKNOWN unknown) = 0;

protected:
    ~IUnregisterSubdevice() = default;
};
using PUNREGISTERSUBDEVICE = IUnregisterSubdevice*;

struct IPort : IUnknown {
    // Binds the miniport: calls its Init and takes its filter description.
    virtual NTSTATUS Init(DEVICE_OBJECT* deviceObject, IRP* irp, PUNKNOWN unknownMiniport,
                          PUNKNOWN unknownAdapter, IResourceList* resourceList) = 0;
    virtual NTSTATUS GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                       PVOID propertyBuffer, ULONG* resultLength) = 0;
    virtual NTSTATUS NewRegistryKey(IRegistryKey** outRegistryKey, PUNKNOWN outerUnknown, ULONG registryKeyType,
                                    ACCESS_MASK desiredAccess, OBJECT_ATTRIBUTES* objectAttributes,
                                    ULONG createOptions, ULONG* disposition) = 0;

protected:
    ~IPort() = default;
};
using PPORT = IPort*;

struct IMiniport : IUnknown {
    virtual NTSTATUS GetDescription(PCFILTER_DESCRIPTOR** description) = 0;
    // STATUS_NOT_IMPLEMENTED lets the port perform the intersection itself.
    virtual NTSTATUS DataRangeIntersection(ULONG pinId, KSDATARANGE* dataRange, KSDATARANGE* matchingDataRange,
                                           ULONG outputBufferLength, PVOID resultantFormat,
                                           ULONG* resultantFormatLength) = 0;

protected:
    ~IMiniport() = default;
};
using PMINIPORT = IMiniport*;

// -- MIDI --

struct IPortMidi : IPort {
    // Requests service of `serviceGroup` (the port's own group when null).
    // Any IRQL up to DISPATCH_LEVEL.
    virtual void Notify(IServiceGroup* serviceGroup) = 0;
    virtual NTSTATUS RegisterServiceGroup(IServiceGroup* serviceGroup) = 0;

protected:
    ~IPortMidi() = default;
};
using PPORTMIDI = IPortMidi*;

struct IMiniportMidiStream : IUnknown {
    virtual NTSTATUS SetFormat(KSDATAFORMAT* dataFormat) = 0;
    virtual NTSTATUS SetState(KSSTATE state) = 0;
    virtual NTSTATUS Read(PVOID bufferAddress, ULONG bufferLength, ULONG* bytesRead) = 0;
    virtual NTSTATUS Write(PVOID bufferAddress, ULONG bytesToWrite, ULONG* bytesWritten) = 0;

protected:
    ~IMiniportMidiStream() = default;
};
using PMINIPORTMIDISTREAM = IMiniportMidiStream*;

struct IMiniportMidi : IMiniport {
    virtual NTSTATUS Init(PUNKNOWN unknownAdapter, IResourceList* resourceList, IPortMidi* port,
                          IServiceGroup** serviceGroup) = 0;
    // Called by the port when its service group is serviced (DISPATCH_LEVEL).
    virtual void Service() = 0;
    virtual NTSTATUS NewStream(IMiniportMidiStream** stream, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG pin,
                               BOOLEAN capture, KSDATAFORMAT* dataFormat, IServiceGroup** serviceGroup) = 0;

protected:
    ~IMiniportMidi() = default;
};
using PMINIPORTMIDI = IMiniportMidi*;

// -- WaveRT --

struct IPortWaveRT : IPort {
protected:
    ~IPortWaveRT() = default;
};
using PPORTWAVERT = IPortWaveRT*;

// The port side of one WaveRT stream: the cyclic buffer's memory. Pages
// come from non-paged memory below HighAddress; an MDL describes them.
struct IPortWaveRTStream : IUnknown {
    virtual MDL* AllocatePagesForMdl(PHYSICAL_ADDRESS highAddress, SIZE_T totalBytes) = 0;
    virtual MDL* AllocateContiguousPagesForMdl(PHYSICAL_ADDRESS lowAddress, PHYSICAL_ADDRESS highAddress,
                                               SIZE_T totalBytes) = 0;
    virtual PVOID MapAllocatedPages(MDL* memoryDescriptorList, MEMORY_CACHING_TYPE cacheType) = 0;
    virtual void UnmapAllocatedPages(PVOID baseAddress, MDL* memoryDescriptorList) = 0;
    virtual void FreePagesFromMdl(MDL* memoryDescriptorList) = 0;
    virtual ULONG GetPhysicalPagesCount(MDL* memoryDescriptorList) = 0;
    virtual PHYSICAL_ADDRESS GetPhysicalPageAddress(MDL* memoryDescriptorList, ULONG index) = 0;

protected:
    ~IPortWaveRTStream() = default;
};
using PPORTWAVERTSTREAM = IPortWaveRTStream*;

struct IMiniportWaveRTStream : IUnknown {
    virtual NTSTATUS SetFormat(KSDATAFORMAT* dataFormat) = 0;
    virtual NTSTATUS SetState(KSSTATE state) = 0;
    virtual NTSTATUS GetPosition(KSAUDIO_POSITION* position) = 0;
    virtual NTSTATUS AllocateAudioBuffer(ULONG requestedSize, MDL** audioBufferMdl, ULONG* actualSize,
                                         ULONG* offsetFromFirstPage, MEMORY_CACHING_TYPE* cacheType) = 0;
    virtual void FreeAudioBuffer(MDL* audioBufferMdl, ULONG bufferSize) = 0;
    virtual void GetHWLatency(KSRTAUDIO_HWLATENCY* hwLatency) = 0;
    virtual NTSTATUS GetPositionRegister(KSRTAUDIO_HWREGISTER* hwRegister) = 0;
    virtual NTSTATUS GetClockRegister(KSRTAUDIO_HWREGISTER* hwRegister) = 0;

protected:
    ~IMiniportWaveRTStream() = default;
};
using PMINIPORTWAVERTSTREAM = IMiniportWaveRTStream*;

struct IMiniportWaveRTStreamNotification : IMiniportWaveRTStream {
    virtual NTSTATUS AllocateBufferWithNotification(ULONG notificationCount, ULONG requestedSize,
                                                    MDL** audioBufferMdl, ULONG* actualSize,
                                                    ULONG* offsetFromFirstPage, MEMORY_CACHING_TYPE* cacheType) = 0;
    virtual void FreeBufferWithNotification(MDL* audioBufferMdl, ULONG bufferSize) = 0;
    virtual NTSTATUS RegisterNotificationEvent(KEVENT* notificationEvent) = 0;
    virtual NTSTATUS UnregisterNotificationEvent(KEVENT* notificationEvent) = 0;

protected:
    ~IMiniportWaveRTStreamNotification() = default;
};
using PMINIPORTWAVERTSTREAMNOTIFICATION = IMiniportWaveRTStreamNotification*;

struct IMiniportWaveRT : IMiniport {
    virtual NTSTATUS Init(PUNKNOWN unknownAdapter, IResourceList* resourceList, IPortWaveRT* port) = 0;
    virtual NTSTATUS NewStream(IMiniportWaveRTStream** stream, IPortWaveRTStream* portStream, ULONG pin,
                               BOOLEAN capture, KSDATAFORMAT* dataFormat) = 0;
    virtual NTSTATUS GetDeviceDescription(DEVICE_DESCRIPTION* deviceDescription) = 0;

protected:
    ~IMiniportWaveRT() = default;
};
using PMINIPORTWAVERT = IMiniportWaveRT*;

// -- power --

// Implemented by the adapter; registered with PcRegisterAdapterPowerManagement.
struct IAdapterPowerManagement : IUnknown {
    virtual void PowerChangeState(POWER_STATE newState) = 0;
    virtual NTSTATUS QueryPowerChangeState(POWER_STATE newStateQuery) = 0;
    virtual NTSTATUS QueryDeviceCapabilities(DEVICE_CAPABILITIES* powerDeviceCaps) = 0;

protected:
    ~IAdapterPowerManagement() = default;
};
using PADAPTERPOWERMANAGEMENT = IAdapterPowerManagement*;

// Optionally implemented by a miniport: told of device power changes.
struct IPowerNotify : IUnknown {
    virtual void PowerChangeNotify(POWER_STATE powerState) = 0;

protected:
    ~IPowerNotify() = default;
};
using PPOWERNOTIFY = IPowerNotify*;

// ---- routines ----

// The adapter's start-device callback: runs after the lower stack started.
using PCPFNSTARTDEVICE = NTSTATUS (*)(DEVICE_OBJECT* deviceObject, IRP* irp, IResourceList* resourceList);

// Installs PortCls's dispatch routine for every major function, its unload
// routine and `addDevice`. The driver may then replace entries and pass what
// it does not handle to PcDispatchIrp.
extern "C" NTSTATUS PcInitializeAdapterDriver(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPathName,
                                   PDRIVER_ADD_DEVICE addDevice);

// Creates the functional device object over `physicalDeviceObject`, with an
// extension of `deviceExtensionSize` bytes (0: PORT_CLASS_DEVICE_EXTENSION_SIZE)
// whose first PORT_CLASS_DEVICE_EXTENSION_SIZE bytes belong to PortCls, room
// for `maxObjects` subdevices, and `startDevice` for IRP_MN_START_DEVICE.
extern "C" NTSTATUS PcAddAdapterDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDeviceObject,
                            PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG deviceExtensionSize);

// PortCls's handling of any request to an adapter device (PnP, power,
// kernel-streaming create, close and device control).
extern "C" NTSTATUS PcDispatchIrp(DEVICE_OBJECT* deviceObject, IRP* irp);

// Completes `irp` with `status` (no priority boost) and returns `status`.
extern "C" NTSTATUS PcCompleteIrp(DEVICE_OBJECT* deviceObject, IRP* irp, NTSTATUS status);

// CLSID_PortWaveRT or CLSID_PortMidi; any other class STATUS_INVALID_PARAMETER.
extern "C" NTSTATUS PcNewPort(PPORT* outPort, REFCLSID classId);

// The miniports PortCls itself provides. The simulated library provides
// none: every class id is STATUS_INVALID_PARAMETER.
extern "C" NTSTATUS PcNewMiniport(PMINIPORT* outMiniport, REFCLSID classId);

// Publishes an initialised port as the subdevice `name` of the adapter
// device: its kernel-streaming device interfaces, with `name` as the
// reference string, are registered on the physical device object and
// enabled. `name` has 1 to 63 characters and no backslash; it is unique on
// the device (STATUS_OBJECT_NAME_COLLISION), and the device has room for
// the maxObjects of PcAddAdapterDevice (STATUS_INSUFFICIENT_RESOURCES). A
// port whose subdevice was unregistered has let go of its miniport and is
// not registered again: a new port and miniport are.
extern "C" NTSTATUS PcRegisterSubdevice(DEVICE_OBJECT* deviceObject, PCWSTR name, PUNKNOWN unknown);

// Keeps the adapter's IAdapterPowerManagement (queried from `unknown`) for
// the device's power requests; `context` is the functional device object.
extern "C" NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PVOID context);

extern "C" NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN outerUnknown);

// IoGetDeviceProperty on the adapter device's physical device object.
extern "C" NTSTATUS PcGetDeviceProperty(PVOID deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                             PVOID propertyBuffer, ULONG* resultLength);
