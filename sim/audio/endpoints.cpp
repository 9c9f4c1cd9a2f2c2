#include "sim/audio/endpoints.h"

#include "platform/ks/ksmedia.h"
#include "platform/registry/registry_types.h"
#include "sim/machine.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/registry/registry.h"
#include "sim/strings.h"

#include <cstring>

namespace sim::audio {

namespace {

std::u16string_view FlowName(Flow flow) { return flow == Flow::Render ? kRenderSubkey : kCaptureSubkey; }

// The instance-path value's text after a leading "{n}." (the property
// store's type tag), or all of it.
std::u16string_view WithoutPrefix(std::u16string_view text) {
    if (text.empty() || text[0] != u'{') return text;
    const std::size_t close = text.find(u'}');
    if (close == std::u16string_view::npos || close + 1 >= text.size() || text[close + 1] != u'.') return text;
    return text.substr(close + 2);
}

std::uint64_t Fnv1a(std::u16string_view text, std::uint64_t hash) {
    for (char16_t c : text) {
        hash = (hash ^ (c & 0xFF)) * 0x100000001b3ull;
        hash = (hash ^ (c >> 8)) * 0x100000001b3ull;
    }
    return hash;
}

// A random-looking (version 4) GUID that is the same for the same device,
// flow and attempt, so a machine rebuilt from the same steps names its
// endpoints the same way.
GUID DerivedId(const std::u16string& instancePath, Flow flow, unsigned attempt) {
    std::u16string seed = UpperCase(instancePath);
    seed += flow == Flow::Render ? u"|render|" : u"|capture|";
    seed += ToU16(std::to_string(attempt));
    const std::uint64_t a = Fnv1a(seed, 0xcbf29ce484222325ull);
    const std::uint64_t b = Fnv1a(seed, a ^ 0x9e3779b97f4a7c15ull);
    GUID id{};
    id.Data1 = static_cast<ULONG>(a >> 32);
    id.Data2 = static_cast<USHORT>(a >> 16);
    id.Data3 = static_cast<USHORT>((a & 0x0FFF) | 0x4000);
    for (int i = 0; i < 8; ++i) id.Data4[i] = static_cast<UCHAR>(b >> (56 - 8 * i));
    id.Data4[0] = static_cast<UCHAR>((id.Data4[0] & 0x3F) | 0x80);
    return id;
}

std::vector<std::uint8_t> StoredFormat(const EndpointFormat& format) {
    EndpointStoredFormat stored{};
    stored.header = {kVariantTypeBlob, 0, sizeof(WAVEFORMATEXTENSIBLE)};
    WAVEFORMATEXTENSIBLE& f = stored.format;
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = format.channels;
    f.Format.nSamplesPerSec = format.rate;
    f.Format.wBitsPerSample = format.bits;
    f.Format.nBlockAlign = static_cast<WORD>(format.channels * (format.bits / 8));
    f.Format.nAvgBytesPerSec = format.rate * f.Format.nBlockAlign;
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA_SIZE;
    f.Samples.wValidBitsPerSample = format.validBits != 0 ? format.validBits : format.bits;
    f.dwChannelMask = format.channelMask;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    std::vector<std::uint8_t> bytes(sizeof(stored));
    std::memcpy(bytes.data(), &stored, sizeof(stored));
    return bytes;
}

}  // namespace

std::u16string FlowKeyPath(Flow flow) {
    return std::u16string(kMmDevicesAudioKey) + u"\\" + std::u16string(FlowName(flow));
}

std::u16string EndpointKeyPath(Flow flow, std::u16string_view endpoint) {
    return FlowKeyPath(flow) + u"\\" + std::u16string(endpoint);
}

std::u16string PropertiesKeyPath(Flow flow, std::u16string_view endpoint) {
    return EndpointKeyPath(flow, endpoint) + u"\\" + kEndpointPropertiesSubkey;
}

std::vector<std::u16string> Endpoints(const Registry& registry, Flow flow) {
    return registry.SubkeyNames(FlowKeyPath(flow));
}

std::optional<std::u16string> EndpointInstancePath(const Registry& registry, Flow flow,
                                                   std::u16string_view endpoint) {
    const auto value = registry.GetString(PropertiesKeyPath(flow, endpoint), kEndpointInstancePathValue);
    if (!value) return std::nullopt;
    return std::u16string(WithoutPrefix(*value));
}

std::optional<std::u16string> FindEndpoint(const Registry& registry, Flow flow, std::u16string_view instancePath) {
    for (const std::u16string& endpoint : Endpoints(registry, flow)) {
        const auto path = EndpointInstancePath(registry, flow, endpoint);
        if (path && EqualsNoCase(*path, instancePath)) return endpoint;
    }
    return std::nullopt;
}

bool WriteDeviceFormat(Registry& registry, Flow flow, std::u16string_view endpoint, const EndpointFormat& format) {
    return registry.SetValue(PropertiesKeyPath(flow, endpoint), kEndpointDeviceFormatValue, REG_BINARY,
                             StoredFormat(format));
}

std::optional<EndpointFormat> ReadDeviceFormat(const Registry& registry, Flow flow, std::u16string_view endpoint) {
    const auto value = registry.GetValue(PropertiesKeyPath(flow, endpoint), kEndpointDeviceFormatValue);
    if (!value || value->data.size() < sizeof(EndpointFormatHeader) + sizeof(WAVEFORMATEX)) return std::nullopt;
    EndpointFormatHeader header;
    std::memcpy(&header, value->data.data(), sizeof(header));
    if (header.formatBytes < sizeof(WAVEFORMATEX) || header.formatBytes > value->data.size() - sizeof(header))
        return std::nullopt;
    WAVEFORMATEXTENSIBLE f{};
    std::memcpy(&f, value->data.data() + sizeof(header),
                header.formatBytes < sizeof(f) ? header.formatBytes : sizeof(f));
    EndpointFormat format;
    format.channels = f.Format.nChannels;
    format.bits = f.Format.wBitsPerSample;
    format.rate = f.Format.nSamplesPerSec;
    const bool extensible = f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && header.formatBytes >= sizeof(f);
    format.validBits = extensible ? f.Samples.wValidBitsPerSample : f.Format.wBitsPerSample;
    format.channelMask = extensible ? f.dwChannelMask : 0;
    return format;
}

bool HasCachedValue(const Registry& registry, Flow flow, std::u16string_view endpoint) {
    return registry.GetValue(PropertiesKeyPath(flow, endpoint), kEndpointCachedValue).has_value();
}

std::optional<ULONG> DeviceState(const Registry& registry, Flow flow, std::u16string_view endpoint) {
    return registry.GetDword(EndpointKeyPath(flow, endpoint), kEndpointDeviceStateValue);
}

// ---------------------------------------------------------------- builder

EndpointBuilder::EndpointBuilder(Machine& machine) : machine_(machine) {
    machine_.registry().CreateKey(FlowKeyPath(Flow::Render));
    machine_.registry().CreateKey(FlowKeyPath(Flow::Capture));
    listener_ = machine_.portcls().AddListener([this](const SubdeviceEvent& event) { OnSubdevice(event); });
}

EndpointBuilder::~EndpointBuilder() { machine_.portcls().RemoveListener(listener_); }

void EndpointBuilder::SetDefaultFormat(Flow flow, const EndpointFormat& format) {
    std::lock_guard lock(mutex_);
    defaults_[flow == Flow::Render ? 0 : 1] = format;
}

EndpointFormat EndpointBuilder::DefaultFormat(Flow flow) const {
    std::lock_guard lock(mutex_);
    return defaults_[flow == Flow::Render ? 0 : 1];
}

unsigned EndpointBuilder::Created() const {
    std::lock_guard lock(mutex_);
    return created_;
}

void EndpointBuilder::OnSubdevice(const SubdeviceEvent& event) {
    if (event.subdevice.port != PortType::WaveRT) return;
    const PnpNode* node = machine_.pnp().NodeForPdo(event.subdevice.physicalDevice);
    if (node == nullptr) return;
    const std::u16string instancePath = node->InstanceId();
    Registry& registry = machine_.registry();
    std::lock_guard lock(mutex_);
    for (Flow flow : {Flow::Render, Flow::Capture}) {
        std::optional<std::u16string> endpoint = FindEndpoint(registry, flow, instancePath);
        if (event.kind == SubdeviceEvent::Kind::Unregistered) {
            if (endpoint) registry.SetDword(EndpointKeyPath(flow, *endpoint), kEndpointDeviceStateValue,
                                            DEVICE_STATE_NOTPRESENT);
            continue;
        }
        if (!endpoint) endpoint = CreateEndpoint(flow, instancePath);
        registry.SetDword(EndpointKeyPath(flow, *endpoint), kEndpointDeviceStateValue, DEVICE_STATE_ACTIVE);
    }
}

std::u16string EndpointBuilder::CreateEndpoint(Flow flow, const std::u16string& instancePath) {
    Registry& registry = machine_.registry();
    std::u16string endpoint;
    for (unsigned attempt = 0;; ++attempt) {
        endpoint = GuidToString(DerivedId(instancePath, flow, attempt));
        if (!registry.KeyExists(EndpointKeyPath(flow, endpoint))) break;
    }
    const std::u16string properties = PropertiesKeyPath(flow, endpoint);
    registry.SetString(properties, kEndpointInstancePathValue, u"{1}." + instancePath);
    const std::vector<std::uint8_t> format = StoredFormat(defaults_[flow == Flow::Render ? 0 : 1]);
    registry.SetValue(properties, kEndpointDeviceFormatValue, REG_BINARY, format);
    // What the engine caches of the endpoint is its own business; the
    // format it started with stands in for it.
    registry.SetValue(properties, kEndpointCachedValue, REG_BINARY, format);
    ++created_;
    return endpoint;
}

}  // namespace sim::audio
