// The AudioControl entities of the descriptor model: clock sources and
// selectors, input and output terminals, feature units and (1.0) processing
// units. Each record points at its class-specific descriptor inside the
// device's one configuration copy; nothing is copied out of it.
//
// The virtual operations keep this slot order: 0 Destroy, 1 Link, 2 Dump,
// 3 GetId, 4 FormatName, 5 GetSourceId; clock entities add 6 GetCurrentRate,
// 7 GetRateRange, 8 IsRateSupported, 9 SetRate, 10 IsValid (and the
// selector 11 SelectInput); terminals add 6 GetClockId, 7 GetControls,
// 8 IsControlReadable, 9 IsConnected.
//
// Entity requests run at PASSIVE_LEVEL; the caller (the adapter's mutex)
// serialises them.
#pragma once

#include "platform/base/ntstatus.h"
#include "platform/base/types.h"
#include "platform/usb/audio.h"

class UsbAudioDevice;
class ClockEntity;

class AudioEntity {
public:
    AudioEntity(const UCHAR* descriptor, UsbAudioDevice* owner) : descriptor_(descriptor), owner_(owner) {}
    AudioEntity(const AudioEntity&) = delete;
    AudioEntity& operator=(const AudioEntity&) = delete;

    virtual void Destroy();
    // Resolves the IDs this entity refers to.
    virtual NTSTATUS Link() = 0;
    virtual void Dump() const;
    virtual LONG GetId() const;
    // The display name, e.g. "Feature(5)"; always terminated when size > 0.
    virtual void FormatName(char* buffer, ULONG size) const = 0;
    // The upstream entity ID of input `index`, or -1.
    virtual LONG GetSourceId(ULONG index) const;

    UCHAR Subtype() const { return descriptor_[2]; }
    UCHAR Id() const { return descriptor_[3]; }
    const UCHAR* Descriptor() const { return descriptor_; }
    UCHAR Length() const { return descriptor_[0]; }
    UsbAudioDevice* Owner() const { return owner_; }
    bool IsTerminal() const;
    bool IsClock() const;

    AudioEntity* Next = nullptr;

protected:
    ~AudioEntity() = default;
    void FormatNameAs(const char* kind, char* buffer, ULONG size) const;

    const UCHAR* descriptor_;
    UsbAudioDevice* owner_;
};

// The entity `entity` is when it is a clock source or selector, else null.
ClockEntity* AsClock(AudioEntity* entity);

class ClockEntity : public AudioEntity {
public:
    using AudioEntity::AudioEntity;
    virtual NTSTATUS GetCurrentRate(ULONG* rate) = 0;
    // min: the smallest subrange minimum not below `low`; max: the largest
    // subrange maximum not above `high` (0xFFFFFFFF and 0 when none).
    virtual NTSTATUS GetRateRange(ULONG* min, ULONG* max, ULONG low, ULONG high) = 0;
    // STATUS_SUCCESS when the clock can run at `rate`, else STATUS_NOT_SUPPORTED.
    virtual NTSTATUS IsRateSupported(ULONG rate) = 0;
    virtual NTSTATUS SetRate(ULONG rate, BOOLEAN force) = 0;
    virtual BOOLEAN IsValid() = 0;

protected:
    ~ClockEntity() = default;
    ULONG cachedRate_ = 0;  // 0: unknown
};

class ClockSource final : public ClockEntity {
public:
    using ClockEntity::ClockEntity;
    NTSTATUS Link() override;
    void FormatName(char* buffer, ULONG size) const override;
    NTSTATUS GetCurrentRate(ULONG* rate) override;
    NTSTATUS GetRateRange(ULONG* min, ULONG* max, ULONG low, ULONG high) override;
    NTSTATUS IsRateSupported(ULONG rate) override;
    NTSTATUS SetRate(ULONG rate, BOOLEAN force) override;
    BOOLEAN IsValid() override;

    ULONG CachedRate() const { return cachedRate_; }
    UCHAR Controls() const { return descriptor_[5]; }
};

class ClockSelector final : public ClockEntity {
public:
    using ClockEntity::ClockEntity;
    NTSTATUS Link() override;
    void FormatName(char* buffer, ULONG size) const override;
    LONG GetSourceId(ULONG index) const override;
    NTSTATUS GetCurrentRate(ULONG* rate) override;
    NTSTATUS GetRateRange(ULONG* min, ULONG* max, ULONG low, ULONG high) override;
    NTSTATUS IsRateSupported(ULONG rate) override;
    NTSTATUS SetRate(ULONG rate, BOOLEAN force) override;
    BOOLEAN IsValid() override;
    // Selects the pin whose baCSourceID is `clockId`; STATUS_UNSUCCESSFUL
    // when no pin has it.
    virtual NTSTATUS SelectInput(UCHAR clockId, BOOLEAN force);

    // The 1-based pin now selected (a single-input selector answers 1
    // without asking the device).
    NTSTATUS GetCurrentPin(UCHAR* pin);
    UCHAR InputCount() const;
    UCHAR InputId(ULONG index) const;  // baCSourceID[index], 0 beyond
    // The clock entity behind the selected pin, or null.
    ClockEntity* CurrentInput();

    // Clock-graph check bookkeeping (UsbAudioDevice::Start).
    UCHAR VisitState = 0;
    UCHAR Height = 0;
    ULONG PathCount = 0;

private:
    UCHAR cachedPin_ = 0;  // 0: unknown
};

class TerminalEntity : public AudioEntity {
public:
    using AudioEntity::AudioEntity;
    // bCSourceID (UAC2), -1 for 1.0.
    virtual LONG GetClockId() const = 0;
    // bmControls (UAC2), 0 for 1.0.
    virtual USHORT GetControls() const = 0;
    virtual BOOLEAN IsControlReadable(ULONG controlIndex) const;
    // 1 connected, 0 not, -1 unknown (not readable, or the request failed).
    virtual LONG IsConnected();

    USHORT TerminalType() const { return static_cast<USHORT>(descriptor_[4] | (descriptor_[5] << 8)); }
    // The linked clock entity; null for 1.0 or when unlinked.
    ClockEntity* Clock() const { return clock_; }

protected:
    ~TerminalEntity() = default;
    virtual ULONG ControlCount() const = 0;
    ClockEntity* clock_ = nullptr;
};

class InputTerminal final : public TerminalEntity {
public:
    using TerminalEntity::TerminalEntity;
    NTSTATUS Link() override;
    void FormatName(char* buffer, ULONG size) const override;
    LONG GetClockId() const override;
    USHORT GetControls() const override;

private:
    ULONG ControlCount() const override { return 6; }
};

class OutputTerminal final : public TerminalEntity {
public:
    using TerminalEntity::TerminalEntity;
    NTSTATUS Link() override;
    void FormatName(char* buffer, ULONG size) const override;
    LONG GetSourceId(ULONG index) const override;
    LONG GetClockId() const override;
    USHORT GetControls() const override;
    AudioEntity* Source() const { return source_; }

private:
    ULONG ControlCount() const override { return 5; }
    AudioEntity* source_ = nullptr;
};

// Feature-unit control indices (selector = index + 1).
inline constexpr ULONG kFeatureMute = 0;
inline constexpr ULONG kFeatureVolume = 1;
// Access asked of a control.
inline constexpr ULONG kControlAccessRead = 1;
inline constexpr ULONG kControlAccessWrite = 2;

class FeatureUnit final : public AudioEntity {
public:
    using AudioEntity::AudioEntity;
    NTSTATUS Link() override;
    void FormatName(char* buffer, ULONG size) const override;
    LONG GetSourceId(ULONG index) const override;
    AudioEntity* Source() const { return source_; }

    // Channels including the master channel 0.
    ULONG ChannelCount() const;
    // The channel's control bitmap (bmaControls), 0 beyond the count.
    ULONG ChannelControls(ULONG channel) const;
    bool IsControlAccessible(ULONG controlIndex, ULONG channel, ULONG access) const;

    // A validated request: the control must be mute or volume, the code and
    // length must fit the control and class version, and the control must
    // be accessible on `channel` for the direction. Anything else is
    // STATUS_NOT_SUPPORTED and nothing is sent. `code` is the class code
    // without the direction bit (1 CUR, 2 RANGE/MIN, 3 MAX, 4 RES).
    NTSTATUS Request(bool set, UCHAR code, ULONG controlIndex, UCHAR channel, USHORT length, PVOID buffer);

    // Mute is always addressed on the master channel.
    NTSTATUS GetMute(BOOLEAN* mute);
    NTSTATUS SetMute(BOOLEAN mute);
    // Volume in signed 1/256 dB.
    NTSTATUS GetVolume(UCHAR channel, SHORT* volume);
    NTSTATUS SetVolume(UCHAR channel, SHORT volume);
    NTSTATUS GetVolumeRange(UCHAR channel, SHORT* min, SHORT* max, USHORT* resolution);

private:
    AudioEntity* source_ = nullptr;
};

class ProcessingUnit final : public AudioEntity {
public:
    using AudioEntity::AudioEntity;
    NTSTATUS Link() override;
    void FormatName(char* buffer, ULONG size) const override;
};

// The shortest descriptor of `subtype` the model accepts for the class
// version, computed from the descriptor's own counts (bNrInPins,
// bControlSize); 0 when the subtype is no entity of that version.
ULONG AudioEntityMinimumLength(bool uac2, const UCHAR* descriptor);
