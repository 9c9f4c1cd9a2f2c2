// The system audio engine's endpoint records in the registry, as far as the
// package reads and writes them: under the MMDevices key, "Render" and
// "Capture" hold one key per endpoint; its "Properties" subkey has one
// value per property key, named "{fmtid},pid".
#pragma once

#include "platform/base/types.h"
#include "platform/ks/mmreg.h"

#include <cstddef>

inline constexpr WCHAR kMmDevicesAudioKey[] =
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio";
inline constexpr WCHAR kRenderSubkey[] = u"Render";
inline constexpr WCHAR kCaptureSubkey[] = u"Capture";
inline constexpr WCHAR kEndpointPropertiesSubkey[] = u"Properties";

// The endpoint's device instance path, preceded by a brace-enclosed number
// and a dot ("{1}.USB\VID_...").
inline constexpr WCHAR kEndpointInstancePathValue[] = u"{b3f8fa53-0004-438e-9003-51a46e139bfc},2";
// PKEY_AudioEngine_DeviceFormat: an 8-byte header, then the WAVEFORMATEX (or
// WAVEFORMATEXTENSIBLE) of the endpoint's device format.
inline constexpr WCHAR kEndpointDeviceFormatValue[] = u"{f19f064d-082c-4e27-bc73-6882a1bb8e4c},0";
// A value the audio engine caches per endpoint; a rate change deletes it.
inline constexpr WCHAR kEndpointCachedValue[] = u"{a2a3fff4-353f-407c-9d86-1f9dc7d5a606},2";

// The header before a stored format: the property's variant type (VT_BLOB)
// and the size of the format that follows.
struct EndpointFormatHeader {
    USHORT variantType;
    USHORT reserved;
    ULONG formatBytes;
};
static_assert(sizeof(EndpointFormatHeader) == 8);
inline constexpr USHORT kVariantTypeBlob = 0x0041;

// The stored value as the audio engine writes it: the header, then an
// extensible format (formatBytes = 40).
struct EndpointStoredFormat {
    EndpointFormatHeader header;
    WAVEFORMATEXTENSIBLE format;
};
static_assert(sizeof(EndpointStoredFormat) == 48);
static_assert(offsetof(EndpointStoredFormat, format) == 8);

// The endpoint key's own state value (REG_DWORD), with the values of
// mmdeviceapi.h.
inline constexpr WCHAR kEndpointDeviceStateValue[] = u"DeviceState";
inline constexpr ULONG DEVICE_STATE_ACTIVE = 0x1;
inline constexpr ULONG DEVICE_STATE_DISABLED = 0x2;
inline constexpr ULONG DEVICE_STATE_NOTPRESENT = 0x4;
inline constexpr ULONG DEVICE_STATE_UNPLUGGED = 0x8;

// Endpoint key names are GUID strings: 38 characters and a terminator.
inline constexpr ULONG kEndpointKeyNameBytes = 78;
// The device instance path the driver keeps: at most 201 characters.
inline constexpr ULONG kInstancePathBytes = 402;
