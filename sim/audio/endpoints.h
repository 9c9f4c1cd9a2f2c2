// The system audio engine's endpoint records, as the simulated machine keeps
// them: one key per endpoint under MMDevices\Audio\Render or \Capture, whose
// "Properties" subkey holds the values the package reads and writes (their
// names and layout are in platform/audio/endpoint_records.h).
//
// The functions below are the simulator's one reader and writer of those
// records; the EndpointBuilder makes them when an audio filter appears, as
// the real engine does on device-interface arrival. Every member is safe to
// call from any thread (the registry is).
#pragma once

#include "platform/audio/endpoint_records.h"
#include "platform/base/types.h"
#include "sim/portcls/port_class.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Machine;
class Registry;

namespace audio {

enum class Flow { Render, Capture };

// An endpoint's device format: PCM, stored as WAVEFORMATEXTENSIBLE.
struct EndpointFormat {
    USHORT channels = 2;
    USHORT bits = 24;       // container bits (wBitsPerSample)
    USHORT validBits = 24;  // 0: the container's
    ULONG rate = 44100;
    ULONG channelMask = KSAUDIO_SPEAKER_STEREO;
    friend bool operator==(const EndpointFormat&, const EndpointFormat&) = default;
};

// "\Registry\Machine\...\MMDevices\Audio\Render" (or "\Capture").
std::u16string FlowKeyPath(Flow flow);
// The endpoint's key and its "Properties" subkey.
std::u16string EndpointKeyPath(Flow flow, std::u16string_view endpoint);
std::u16string PropertiesKeyPath(Flow flow, std::u16string_view endpoint);

// The endpoint key names of a flow, in enumeration order.
std::vector<std::u16string> Endpoints(const Registry& registry, Flow flow);
// The device instance path an endpoint belongs to: its instance-path value
// without the "{n}." prefix; nullopt when it has none.
std::optional<std::u16string> EndpointInstancePath(const Registry& registry, Flow flow,
                                                   std::u16string_view endpoint);
// The first endpoint of the flow that belongs to `instancePath`
// (case-insensitive), or nullopt.
std::optional<std::u16string> FindEndpoint(const Registry& registry, Flow flow, std::u16string_view instancePath);

// PKEY_AudioEngine_DeviceFormat: the 8-byte header and the extensible
// format. The reader accepts a plain WAVEFORMATEX too; nullopt when the
// value is missing or its header does not describe the bytes that follow.
bool WriteDeviceFormat(Registry& registry, Flow flow, std::u16string_view endpoint, const EndpointFormat& format);
std::optional<EndpointFormat> ReadDeviceFormat(const Registry& registry, Flow flow, std::u16string_view endpoint);
// The engine's cached value, which a rate change makes the driver delete.
bool HasCachedValue(const Registry& registry, Flow flow, std::u16string_view endpoint);
// The endpoint key's DeviceState (DEVICE_STATE_*), or nullopt.
std::optional<ULONG> DeviceState(const Registry& registry, Flow flow, std::u16string_view endpoint);

// Builds the render and capture endpoint records of every WaveRT subdevice
// that registers, and finds them again when it registers anew (after a rate
// change, or when the same device comes back): a found record keeps its key
// name and its stored format, and only its state is set active again. An
// unregistered subdevice's records stay, marked not present. The machine
// keeps one; its constructor creates the empty Render and Capture keys, as
// a freshly installed Windows has them.
class EndpointBuilder {
public:
    explicit EndpointBuilder(Machine& machine);
    ~EndpointBuilder();
    EndpointBuilder(const EndpointBuilder&) = delete;
    EndpointBuilder& operator=(const EndpointBuilder&) = delete;

    // The format a new endpoint of the flow is given (default: stereo,
    // 24 bits, 44100 Hz: the rate a device starts at the first time).
    void SetDefaultFormat(Flow flow, const EndpointFormat& format);
    EndpointFormat DefaultFormat(Flow flow) const;

    // How many records the builder has created since the machine booted.
    unsigned Created() const;

private:
    void OnSubdevice(const SubdeviceEvent& event);
    std::u16string CreateEndpoint(Flow flow, const std::u16string& instancePath);

    Machine& machine_;
    std::uint64_t listener_ = 0;
    mutable std::mutex mutex_;  // the defaults, the count, and record creation
    EndpointFormat defaults_[2];
    unsigned created_ = 0;
};

}  // namespace audio
}  // namespace sim
