// UsbAudioDevice: Start (the model's bring-up), the entity walk, the clock
// graph check, configuration selection, pipe linking and teardown.
//
// Every descriptor comes from a device we do not control. The whole
// configuration must be a clean chain of descriptors before anything is
// read from it, and each record is checked against its own counts before a
// field of it is used; a device that fails any check does not start.
#include "driver/core/audio_device.h"

#include "driver/core/usb_trace.h"
#include "platform/usb/usbdlib.h"

#include <new>
#include <type_traits>

namespace {

constexpr UCHAR kAudioClass = USB_DEVICE_CLASS_AUDIO;
constexpr UCHAR kVendorClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC;

// Clock selectors in series, and the clock paths one selector may fan out
// to: real devices have one or two selectors in front of a few sources.
// Bounded so that rate queries stay few and no walk recurses deeply.
constexpr UCHAR kMaxClockDepth = 4;
constexpr ULONG kMaxClockPaths = 256;

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

const UCHAR* Bytes(const void* p) { return static_cast<const UCHAR*>(p); }

template <class T>
AudioEntity* CreateEntity(const UCHAR* descriptor, UsbAudioDevice* owner) {
    // AudioEntity::Destroy only frees the memory.
    static_assert(std::is_trivially_destructible_v<T>);
    void* memory = ExAllocatePoolZero(NonPagedPoolNx, sizeof(T), kUsbPoolTag);
    return memory != nullptr ? new (memory) T(descriptor, owner) : nullptr;
}

// Whether the configuration is an unbroken chain of well-formed descriptors
// that ends exactly at wTotalLength, starting with the configuration
// descriptor itself.
bool IsCleanChain(UsbDescriptorRange range) {
    const USB_COMMON_DESCRIPTOR* d = UsbDescriptorAt(range, range.begin);
    if (d == nullptr || d->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        d->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return false;
    const UCHAR* end = range.begin;
    for (; d != nullptr; d = UsbNextDescriptor(range, d)) end = Bytes(d) + d->bLength;
    return end == range.end;
}

}  // namespace

// ---- predicates and iteration ----

bool IsTerminalEntity(const AudioEntity* entity, bool) { return entity->IsTerminal(); }

bool IsUnitEntity(const AudioEntity* entity, bool excludeClocks) {
    if (entity->IsTerminal()) return false;
    if (!excludeClocks) return true;
    const UCHAR subtype = entity->Subtype();
    return subtype != USB_AUDIO20_AC_CLOCK_SOURCE && subtype != USB_AUDIO20_AC_CLOCK_SELECTOR &&
           subtype != USB_AUDIO20_AC_CLOCK_MULTIPLIER;
}

AudioEntity* AudioEntityIterator::Next() {
    while (current_ != nullptr) {
        AudioEntity* candidate = current_;
        current_ = candidate->Next;
        if (predicate_(candidate, flag_)) return candidate;
    }
    return nullptr;
}

// ---- lifetime ----

UsbAudioDevice::~UsbAudioDevice() { Destroy(); }

UsbDescriptorRange UsbAudioDevice::ConfigurationRange() const {
    return UsbConfigurationRange(Configuration(), ConfigurationLength());
}

UCHAR UsbAudioDevice::StreamingClass() const {
    return DeviceDescriptor().idVendor == kMakerVendorId ? kVendorClass : kAudioClass;
}

void UsbAudioDevice::AppendEntity(AudioEntity* entity) {
    if (entitiesTail_ == nullptr)
        Entities = entity;
    else
        entitiesTail_->Next = entity;
    entitiesTail_ = entity;
}

AudioEntity* UsbAudioDevice::FindEntity(LONG id) const {
    for (AudioEntity* e = Entities; e != nullptr; e = e->Next)
        if (static_cast<LONG>(e->Id()) == id) return e;
    return nullptr;
}

void UsbAudioDevice::FreeModel() {
    while (Streaming != nullptr) {
        StreamingInterface* record = Streaming;
        Streaming = record->Next;
        if (record->Alts != nullptr) ExFreePoolWithTag(record->Alts, kUsbPoolTag);
        ExFreePoolWithTag(record, kUsbPoolTag);
    }
    while (Entities != nullptr) {
        AudioEntity* entity = Entities;
        Entities = entity->Next;
        entity->Destroy();
    }
    entitiesTail_ = nullptr;
    StreamingCount = 0;
    PlaybackInterface = CaptureInterface = nullptr;
    IsUac2 = 0;
    AcInterface = nullptr;
    AcHeader = nullptr;
    ExtraInterface = nullptr;
    MidiInEndpoint = MidiOutEndpoint = nullptr;
    MidiRenderJacks = MidiCaptureJacks = 0;
}

void UsbAudioDevice::Destroy() {
    FreeModel();
    Release();
}

// ---- Start ----

NTSTATUS UsbAudioDevice::Start(DEVICE_OBJECT* physicalDeviceObject, ULONG irpPoolSize, ULONG* midiMode) {
    if (midiMode != nullptr) *midiMode = 0;
    if (Initialised()) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = Initialise(physicalDeviceObject, irpPoolSize);
    if (!NT_SUCCESS(status)) return status;
    ULONG midi = 0;
    status = ParseModel(&midi);
    if (!NT_SUCCESS(status)) {
        MODEL_TRACE(TRACE_LEVEL_ERROR, "device model start failed: 0x%08X", static_cast<unsigned>(status));
        Destroy();
        return status;
    }
    if (midiMode != nullptr) *midiMode = midi;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::ParseModel(ULONG* midiMode) {
    const UsbDescriptorRange range = ConfigurationRange();
    auto* configuration = const_cast<USB_CONFIGURATION_DESCRIPTOR*>(Configuration());
    if (!IsCleanChain(range)) return STATUS_NOT_SUPPORTED;

    // Step 2: a device that carries a USB-MIDI interface is served as one.
    const bool midi = NT_SUCCESS(ProbeMidi());
    if (!midi) {
        ExtraInterface = nullptr;
        MidiInEndpoint = MidiOutEndpoint = nullptr;
        MidiRenderJacks = MidiCaptureJacks = 0;
    }
    *midiMode = midi ? 1 : 0;
    const UCHAR controlClass = midi ? kAudioClass : StreamingClass();

    // Steps 3-4: the AudioControl interface and its class-specific header.
    AcInterface = USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, 0, controlClass,
                                                      USB_AUDIO_SUBCLASS_AUDIOCONTROL, -1);
    if (AcInterface == nullptr) return STATUS_NOT_SUPPORTED;
    SetControlInterface(AcInterface->bInterfaceNumber);
    const USB_COMMON_DESCRIPTOR* header =
        UsbNextDescriptor(range, reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(AcInterface));
    if (header == nullptr || header->bDescriptorType != USB_AUDIO_CS_INTERFACE || header->bLength < 3 ||
        Bytes(header)[2] != USB_AUDIO10_AC_HEADER)
        return STATUS_NOT_SUPPORTED;
    if (header->bLength < sizeof(USB_AUDIO10_AC_HEADER_DESCRIPTOR)) return STATUS_NOT_SUPPORTED;
    IsUac2 = Le16(Bytes(header) + 3) == USB_AUDIO_BCD_ADC_20 ? 1 : 0;
    if (IsUac2 && header->bLength < sizeof(USB_AUDIO20_AC_HEADER_DESCRIPTOR)) return STATUS_NOT_SUPPORTED;
    AcHeader = reinterpret_cast<const USB_AUDIO_COMMON_DESCRIPTOR*>(header);

    // Step 5: the class-specific block must lie inside the configuration
    // and end before the next interface begins.
    const ULONG blockLength = Le16(Bytes(header) + (IsUac2 ? 6 : 5));
    if (blockLength < header->bLength || !UsbRangeHolds(range, header, blockLength)) return STATUS_NOT_SUPPORTED;
    const UCHAR* blockEnd = Bytes(header) + blockLength;
    const USB_INTERFACE_DESCRIPTOR* nextInterface = UsbNextInterfaceDescriptor(range, header);
    if (nextInterface != nullptr && Bytes(nextInterface) < blockEnd) return STATUS_NOT_SUPPORTED;

    // Steps 6-7.
    NTSTATUS status = WalkEntities(blockEnd);
    if (!NT_SUCCESS(status)) return status;
    status = CheckClockGraph();
    if (!NT_SUCCESS(status)) return status;
    status = EnumerateStreaming();
    if (!NT_SUCCESS(status)) return status;

    // Step 8: every streaming interface names the terminal it feeds.
    for (StreamingInterface* s = Streaming; s != nullptr; s = s->Next) {
        const USB_AUDIO_COMMON_DESCRIPTOR* general = s->Alts[1].AsGeneral;
        if (general == nullptr) return STATUS_NOT_SUPPORTED;
        // Any entity will do here; every user of the link checks that it is
        // a terminal before it asks for a clock (StreamClock).
        AudioEntity* terminal = FindEntity(Bytes(general)[3]);
        if (terminal == nullptr) return STATUS_NOT_SUPPORTED;
        s->Terminal = terminal;
    }
    // Step 9.
    for (StreamingInterface* s = Streaming; s != nullptr; s = s->Next) {
        if (!s->IsInput && PlaybackInterface == nullptr) PlaybackInterface = s;
        if (s->IsInput && CaptureInterface == nullptr) CaptureInterface = s;
    }

    // The configuration request names each selected interface once, and no
    // more of them than the configuration says it has.
    UCHAR numbers[258];
    ULONG count = 0;
    numbers[count++] = AcInterface->bInterfaceNumber;
    for (StreamingInterface* s = Streaming; s != nullptr; s = s->Next) numbers[count++] = s->InterfaceNumber;
    if (ExtraInterface != nullptr) numbers[count++] = ExtraInterface->bInterfaceNumber;
    if (count > configuration->bNumInterfaces) return STATUS_NOT_SUPPORTED;
    for (ULONG i = 0; i < count; ++i)
        for (ULONG j = i + 1; j < count; ++j)
            if (numbers[i] == numbers[j]) return STATUS_NOT_SUPPORTED;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDevice::WalkEntities(const UCHAR* blockEnd) {
    const UsbDescriptorRange range = ConfigurationRange();
    const auto* header = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(AcHeader);
    for (const USB_COMMON_DESCRIPTOR* d = UsbFindDescriptor(range, UsbNextDescriptor(range, header),
                                                            USB_AUDIO_CS_INTERFACE);
         d != nullptr && Bytes(d) < blockEnd;
         d = UsbFindDescriptor(range, UsbNextDescriptor(range, d), USB_AUDIO_CS_INTERFACE)) {
        const UCHAR* bytes = Bytes(d);
        // An entity has at least a subtype and an ID, and lies wholly in
        // the block its header announced.
        if (d->bLength < 4 || bytes + d->bLength > blockEnd) return STATUS_NOT_SUPPORTED;
        const UCHAR subtype = bytes[2];
        AudioEntity* (*create)(const UCHAR*, UsbAudioDevice*) = nullptr;
        if (IsUac2) {
            switch (subtype) {
            case USB_AUDIO20_AC_INPUT_TERMINAL: create = CreateEntity<InputTerminal>; break;
            case USB_AUDIO20_AC_OUTPUT_TERMINAL: create = CreateEntity<OutputTerminal>; break;
            case USB_AUDIO20_AC_FEATURE_UNIT: create = CreateEntity<FeatureUnit>; break;
            case USB_AUDIO20_AC_CLOCK_SOURCE: create = CreateEntity<ClockSource>; break;
            case USB_AUDIO20_AC_CLOCK_SELECTOR: create = CreateEntity<ClockSelector>; break;
            case USB_AUDIO20_AC_MIXER_UNIT:
            case USB_AUDIO20_AC_SELECTOR_UNIT:
            case USB_AUDIO20_AC_EFFECT_UNIT:
            case USB_AUDIO20_AC_PROCESSING_UNIT:
            case USB_AUDIO20_AC_EXTENSION_UNIT:
            case USB_AUDIO20_AC_CLOCK_MULTIPLIER:
            case USB_AUDIO20_AC_SAMPLE_RATE_CONVERTER:
                MODEL_TRACE(TRACE_LEVEL_ERROR, "unsupported AudioControl entity subtype %u", subtype);
                return STATUS_NOT_IMPLEMENTED;
            default:
                break;
            }
        } else {
            switch (subtype) {
            case USB_AUDIO10_AC_INPUT_TERMINAL: create = CreateEntity<InputTerminal>; break;
            case USB_AUDIO10_AC_OUTPUT_TERMINAL: create = CreateEntity<OutputTerminal>; break;
            case USB_AUDIO10_AC_FEATURE_UNIT: create = CreateEntity<FeatureUnit>; break;
            case USB_AUDIO10_AC_PROCESSING_UNIT: create = CreateEntity<ProcessingUnit>; break;
            case USB_AUDIO10_AC_MIXER_UNIT:
            case USB_AUDIO10_AC_SELECTOR_UNIT:
            case USB_AUDIO10_AC_EXTENSION_UNIT:
                MODEL_TRACE(TRACE_LEVEL_ERROR, "unsupported AudioControl entity subtype %u", subtype);
                return STATUS_NOT_IMPLEMENTED;
            default:
                break;
            }
        }
        if (create == nullptr) break;  // anything else ends the walk
        if (d->bLength < AudioEntityMinimumLength(IsUac2 != 0, bytes)) return STATUS_NOT_SUPPORTED;
        AudioEntity* entity = create(bytes, this);
        // A model missing an entity would start as if it were whole.
        if (entity == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        AppendEntity(entity);
        entity->Dump();
    }
    // An entity whose link fails stays unlinked (null); only the last
    // entity's result decides, and every user of a link checks it.
    NTSTATUS status = STATUS_SUCCESS;
    for (AudioEntity* e = Entities; e != nullptr; e = e->Next) status = e->Link();
    return status;
}

namespace {

NTSTATUS VisitClockSelector(UsbAudioDevice* device, ClockSelector* selector, ULONG depth) {
    if (selector->VisitState == 2) return depth + selector->Height <= kMaxClockDepth ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    if (selector->VisitState == 1) return STATUS_NOT_SUPPORTED;  // a loop
    if (depth >= kMaxClockDepth) return STATUS_NOT_SUPPORTED;
    selector->VisitState = 1;
    ULONG paths = 0;
    UCHAR height = 1;
    for (ULONG i = 0; i < selector->InputCount(); ++i) {
        ClockEntity* input = AsClock(device->FindEntity(selector->InputId(i)));
        if (input != nullptr && input->Subtype() == USB_AUDIO20_AC_CLOCK_SELECTOR) {
            auto* inner = static_cast<ClockSelector*>(input);
            const NTSTATUS status = VisitClockSelector(device, inner, depth + 1);
            if (!NT_SUCCESS(status)) return status;
            paths += inner->PathCount;
            if (inner->Height + 1 > height) height = static_cast<UCHAR>(inner->Height + 1);
        } else {
            ++paths;
        }
        if (paths > kMaxClockPaths) return STATUS_NOT_SUPPORTED;
    }
    selector->PathCount = paths;
    selector->Height = height;
    selector->VisitState = 2;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS UsbAudioDevice::CheckClockGraph() {
    if (!IsUac2) return STATUS_SUCCESS;
    for (AudioEntity* e = Entities; e != nullptr; e = e->Next) {
        if (e->Subtype() != USB_AUDIO20_AC_CLOCK_SELECTOR) continue;
        const NTSTATUS status = VisitClockSelector(this, static_cast<ClockSelector*>(e), 0);
        if (!NT_SUCCESS(status)) {
            MODEL_TRACE(TRACE_LEVEL_ERROR, "clock selector %u: loop or too deep a clock graph", e->Id());
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---- configuration and pipes ----

NTSTATUS UsbAudioDevice::SelectConfiguration() {
    if (AcInterface == nullptr) return STATUS_INVALID_DEVICE_STATE;
    const ULONG count = 1 + StreamingCount + (ExtraInterface != nullptr ? 1 : 0);
    auto* list = static_cast<const USB_INTERFACE_DESCRIPTOR**>(
        ExAllocatePoolZero(NonPagedPoolNx, count * sizeof(USB_INTERFACE_DESCRIPTOR*), kUsbPoolTag));
    if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG n = 0;
    list[n++] = AcInterface;
    for (StreamingInterface* s = Streaming; s != nullptr; s = s->Next) list[n++] = s->Alts[0].Interface;
    if (ExtraInterface != nullptr) list[n++] = ExtraInterface;
    for (StreamingInterface* s = Streaming; s != nullptr; s = s->Next) s->DataPipe = nullptr;
    NTSTATUS status = SelectInterfaces(list, n);
    ExFreePoolWithTag(list, kUsbPoolTag);
    if (!NT_SUCCESS(status)) return status;

    for (StreamingInterface* s = Streaming; s != nullptr && NT_SUCCESS(status); s = s->Next) {
        s->CurrentAlt = 0;
        status = SelectAltSetting(s->InterfaceNumber, 0);
    }
    if (NT_SUCCESS(status)) status = LinkPipes();
    if (!NT_SUCCESS(status)) {
        for (StreamingInterface* s = Streaming; s != nullptr; s = s->Next) s->DataPipe = nullptr;
        FreeInterfaceTable();
    }
    return status;
}

NTSTATUS UsbAudioDevice::LinkPipes() {
    NTSTATUS result = STATUS_SUCCESS;
    for (StreamingInterface* s = Streaming; s != nullptr; s = s->Next) {
        s->DataPipe = nullptr;
        if (s->CurrentAlt >= s->AltCount) continue;
        const USB_ENDPOINT_DESCRIPTOR* endpoint = s->Alts[s->CurrentAlt].DataEndpoint;
        if (endpoint == nullptr) continue;
        USBD_PIPE_INFORMATION* pipe = FindPipe(endpoint->bEndpointAddress);
        if (pipe == nullptr) {
            result = STATUS_NOT_SUPPORTED;
            continue;
        }
        if (pipe->PipeType == UsbdPipeTypeIsochronous) {
            if (HighSpeed()) {
                if (pipe->Interval == 0) pipe->Interval = 1;
                if (pipe->Interval > 4) pipe->Interval = 4;
            } else {
                pipe->Interval = 1;
            }
        }
        s->DataPipe = pipe;
    }
    return result;
}

NTSTATUS UsbAudioDevice::WritePlayback(PVOID buffer, MDL* mdl, ULONG length, UsbTransferCompletion completion,
                                       PVOID context) {
    if (PlaybackInterface == nullptr) return STATUS_INVALID_PARAMETER;
    USBD_PIPE_INFORMATION* pipe = PlaybackInterface->DataPipe;
    if (pipe == nullptr) return STATUS_NOT_SUPPORTED;
    return SubmitAsync(pipe, buffer, mdl, length, USBD_TRANSFER_DIRECTION_OUT, completion, context);
}

NTSTATUS UsbAudioDevice::ReadCapture(PVOID buffer, ULONG length, UsbTransferCompletion completion, PVOID context) {
    if (CaptureInterface == nullptr) return STATUS_INVALID_PARAMETER;
    USBD_PIPE_INFORMATION* pipe = CaptureInterface->DataPipe;
    if (pipe == nullptr) return STATUS_NOT_SUPPORTED;
    return SubmitAsync(pipe, buffer, nullptr, length, USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP,
                       completion, context);
}
