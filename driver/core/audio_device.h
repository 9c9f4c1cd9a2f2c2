// UsbAudioDevice: the parsed descriptor model of the device (class version,
// AudioControl entities, AudioStreaming interfaces, the USB-MIDI interface)
// on top of the USB request layer. Built once by Start; every descriptor
// pointer points into UsbDevice's configuration copy.
//
// Embedded in the adapter (zero-filled pool, placement-new). Everything
// here runs at PASSIVE_LEVEL under the adapter's mutex, except
// WritePlayback / ReadCapture (IRQL <= DISPATCH_LEVEL).
#pragma once

#include "driver/core/audio_entities.h"
#include "driver/core/audio_streaming.h"
#include "driver/core/usb_device.h"
#include "platform/usb/walk.h"

// The maker's vendor id: its devices carry vendor-specific (0xFF)
// AudioControl and AudioStreaming interfaces.
inline constexpr USHORT kMakerVendorId = 0x7A3C;

// The format tags the alternate-setting choice compares.
inline constexpr ULONG kFormatTagPcm = 1;
inline constexpr ULONG kFormatTagIeeeFloat = 3;
inline constexpr ULONG kFormatTagAlaw = 6;
inline constexpr ULONG kFormatTagMulaw = 7;

// The choice of an alternate setting for a format.
struct AltSettingChoice {
    UCHAR Alt;
    ULONG Channels;
    ULONG ContainerBits;
};

// What applying a format reports.
struct AppliedFormat {
    ULONG Channels;       // the limits table's maximum for the rate
    ULONG ContainerBits;
    ULONG TransferSize;   // chunks per transfer x data endpoint wMaxPacketSize
};

// Entity predicates of the filter builder.
// Terminals: subtypes 2 and 3.
bool IsTerminalEntity(const AudioEntity* entity, bool unused);
// With `excludeClocks`: neither terminals nor clock entities (subtypes other
// than 2, 3, 10, 11, 12); without: every entity that is not a terminal.
bool IsUnitEntity(const AudioEntity* entity, bool excludeClocks);

using AudioEntityPredicate = bool (*)(const AudioEntity* entity, bool flag);

// Steps through Entities: each Next() returns the next entity, from the
// current one on, that the predicate accepts, and moves past it.
class AudioEntityIterator {
public:
    AudioEntityIterator(AudioEntity* first, AudioEntityPredicate predicate, bool flag)
        : current_(first), predicate_(predicate), flag_(flag) {}
    AudioEntity* Next();

private:
    AudioEntity* current_;
    AudioEntityPredicate predicate_;
    bool flag_;
};

class UsbAudioDevice : public UsbDevice {
public:
    UsbAudioDevice() = default;
    ~UsbAudioDevice();

    // The device bring-up: request layer, MIDI probe, AudioControl
    // interface and header, entities, streaming interfaces. Sets *midiMode
    // to 1 for a USB-MIDI device, else 0. On failure nothing is kept.
    NTSTATUS Start(DEVICE_OBJECT* physicalDeviceObject, ULONG irpPoolSize, ULONG* midiMode);
    // Frees the streaming records, the entities and the request layer's
    // resources. Idempotent.
    void Destroy();

    NTSTATUS EnumerateStreaming();
    NTSTATUS ParseStreaming(StreamingInterface* record);
    // The first entity whose ID is `id`, or null.
    AudioEntity* FindEntity(LONG id) const;
    AudioEntityIterator Terminals() const { return {Entities, IsTerminalEntity, false}; }
    AudioEntityIterator Units(bool excludeClocks) const { return {Entities, IsUnitEntity, excludeClocks}; }

    // Selects the configuration (AudioControl, setting 0 of every streaming
    // interface, the MIDI interface), then setting 0 of each streaming
    // interface, and links the pipes.
    NTSTATUS SelectConfiguration();
    // Points every streaming interface's DataPipe at its current setting's
    // data pipe and normalises isochronous intervals.
    NTSTATUS LinkPipes();

    // The alternate-setting choice for a format on `stream`; selects
    // nothing for long (a 1.0 capture setting may be selected for a moment
    // to read its endpoint's frequency, and is then restored).
    NTSTATUS ChooseAltSetting(StreamingInterface* stream, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                              AltSettingChoice* choice);
    // The same for a direction; STATUS_INVALID_PARAMETER when the device
    // has no streaming interface in that direction.
    NTSTATUS ChooseFormat(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate, ULONG* outChannels,
                          ULONG* outContainerBits);
    // Chooses and selects the setting, sets the clock, links the pipes.
    // STATUS_NOT_SUPPORTED, with nothing changed, when the chosen setting's
    // data endpoint is isochronous or the terminal has no clock (2.0).
    NTSTATUS ApplyFormat(bool capture, ULONG formatTag, ULONG channels, ULONG bits, ULONG rate,
                         ULONG chunksPerTransfer, AppliedFormat* applied);

    // The clock entity behind the terminal `stream` names; null when there
    // is none, or the link names a unit (which has no clock).
    static ClockEntity* StreamClock(const StreamingInterface* stream);
    // The clock entity behind the capture interface's terminal (or the
    // playback interface's when there is no capture interface), or null.
    ClockEntity* MainClock() const;
    // Selects clock `clockId` on the main clock, which must be a selector.
    NTSTATUS SelectClockSource(UCHAR clockId, BOOLEAN force);
    // Sets `rate` on the main clock again.
    NTSTATUS ReapplyRate(ULONG rate, BOOLEAN force);
    // The main selector's baCSourceID list; returns the number of IDs (at
    // most `capacity` are written). 0 when the main clock is no selector.
    ULONG ClockSourceIds(UCHAR* ids, ULONG capacity) const;
    // Whether the playback interface's clock (capture's without playback)
    // is valid; TRUE without a clock entity or its validity control.
    BOOLEAN IsClockValid() const;

    // Bulk transfers on the current data pipe of the playback / capture
    // interface. STATUS_INVALID_PARAMETER without the interface,
    // STATUS_NOT_SUPPORTED without a data pipe.
    NTSTATUS WritePlayback(PVOID buffer, MDL* mdl, ULONG length, UsbTransferCompletion completion, PVOID context);
    NTSTATUS ReadCapture(PVOID buffer, ULONG length, UsbTransferCompletion completion, PVOID context);

    // ---- the model ----
    UCHAR IsUac2 = 0;
    const USB_INTERFACE_DESCRIPTOR* AcInterface = nullptr;
    const USB_AUDIO_COMMON_DESCRIPTOR* AcHeader = nullptr;
    AudioEntity* Entities = nullptr;  // descriptor order
    ULONG StreamingCount = 0;
    StreamingInterface* Streaming = nullptr;  // interface-number order
    StreamingInterface* PlaybackInterface = nullptr;
    StreamingInterface* CaptureInterface = nullptr;
    const USB_INTERFACE_DESCRIPTOR* ExtraInterface = nullptr;

    // MIDI interface facts (valid when ExtraInterface is set).
    const USB_ENDPOINT_DESCRIPTOR* MidiInEndpoint = nullptr;   // bulk IN
    const USB_ENDPOINT_DESCRIPTOR* MidiOutEndpoint = nullptr;  // bulk OUT
    ULONG MidiRenderJacks = 0;   // embedded MIDI IN jacks (host to device)
    ULONG MidiCaptureJacks = 0;  // embedded MIDI OUT jacks (device to host)

private:
    NTSTATUS ProbeMidi();
    NTSTATUS ProbeMidiSetting(const USB_INTERFACE_DESCRIPTOR* setting);
    NTSTATUS ParseModel(ULONG* midiMode);
    NTSTATUS WalkEntities(const UCHAR* blockEnd);
    NTSTATUS CheckClockGraph();
    NTSTATUS ClassifyEndpoints(AltSetting* alt, const USB_INTERFACE_DESCRIPTOR* setting);
    bool AcceptsUac1Rate(StreamingInterface* stream, UCHAR alt, ULONG rate);
    void AppendEntity(AudioEntity* entity);
    void FreeModel();
    UCHAR StreamingClass() const;
    UsbDescriptorRange ConfigurationRange() const;

    AudioEntity* entitiesTail_ = nullptr;
};
