// What the driver keeps outside itself for a device: values in the device's
// hardware key, the clock-source device properties, and the system audio
// engine's endpoint records of the device (found through the device's
// instance path). PASSIVE_LEVEL only. Embedded in the adapter.
#pragma once

#include "platform/audio/endpoint_records.h"
#include "platform/base/types.h"
#include "platform/base/unicode.h"
#include "platform/io/device.h"
#include "platform/io/pnp.h"

// The two device properties of the clock-source choice, under one
// property-set GUID: {6C2F8E41-1B7A-4D93-A5E2-3F90C4B8D716}.
inline constexpr GUID kUac2PropertySet = {0x6c2f8e41, 0x1b7a, 0x4d93, {0xa5, 0xe2, 0x3f, 0x90, 0xc4, 0xb8, 0xd7, 0x16}};
// The clock ids the clock selector offers, in pin order (bytes).
inline constexpr DEVPROPKEY DEVPKEY_Uac2ClockSourceList = {kUac2PropertySet, 4};
// The clock id chosen last (u32).
inline constexpr DEVPROPKEY DEVPKEY_Uac2ClockSource = {kUac2PropertySet, 3};

// Values of the device's hardware key.
inline constexpr WCHAR kDumpCaptureValue[] = u"gDumpCapture";
inline constexpr WCHAR kInitializedValue[] = u"initialized";
inline constexpr ULONG kDumpCaptureHex = 2;

// Reads channels, bits and rate from a stored endpoint format (the value
// of kEndpointDeviceFormatValue, `length` bytes). STATUS_UNSUCCESSFUL when
// the value is shorter than the header and the fixed part of a
// WAVEFORMATEX, or its header promises a format shorter than that or
// longer than the value.
NTSTATUS ParseEndpointFormat(const UCHAR* value, ULONG length, ULONG* channels, ULONG* bits, ULONG* rate);

class DeviceRegistry {
public:
    DeviceRegistry();

    // The first four data bytes of a value of the hardware key.
    static NTSTATUS ReadDeviceValue(DEVICE_OBJECT* pdo, PCWSTR name, ULONG* value);
    // Writes "initialized" as REG_DWORD.
    static NTSTATUS WriteInitialized(DEVICE_OBJECT* pdo, ULONG value);

    static NTSTATUS WriteClockSourceList(DEVICE_OBJECT* pdo, const UCHAR* ids, ULONG count);
    static NTSTATUS ReadClockSource(DEVICE_OBJECT* pdo, ULONG* clockId);
    static NTSTATUS WriteClockSource(DEVICE_OBJECT* pdo, ULONG clockId);

    // The device instance path: the first hardware id with an Enum key, then
    // the instance part found by container id (or, failing that, from the
    // hardware key's own name). STATUS_NO_MATCH when no hardware id has a key.
    NTSTATUS FindDevicePath(DEVICE_OBJECT* pdo);
    const UNICODE_STRING& DevicePath() const { return path_; }

    // Finds the render and then the capture endpoint record of the device.
    // A direction without one keeps an empty name and is not an error
    // (STATUS_INVALID_DEVICE_REQUEST stays internal); any other failure ends
    // the walk with its status. A direction once found is not looked for
    // again; one still missing is, at every call: on a device's first start
    // the system audio engine makes the records only after the "Wave"
    // subdevice registers, which is after this first walk.
    NTSTATUS FindEndpoints();
    bool EndpointsFound() const { return render_.Length != 0 && capture_.Length != 0; }
    const UNICODE_STRING& EndpointName(bool capture) const { return capture ? capture_ : render_; }

    // The direction's stored device format (channels, bits, rate).
    NTSTATUS ReadEndpointFormat(bool capture, ULONG* channels, ULONG* bits, ULONG* rate) const;
    NTSTATUS ReadEndpointRate(bool capture, ULONG* rate) const;
    // Deletes the cached value of the render and then the capture endpoint;
    // a missing value counts as success, a direction without a known
    // endpoint gives STATUS_INVALID_DEVICE_REQUEST.
    NTSTATUS ClearEndpointCache() const;

private:
    NTSTATUS OpenEndpointProperties(bool capture, class RegistryKey* key, ACCESS_MASK access) const;

    WCHAR pathBuffer_[kInstancePathBytes / sizeof(WCHAR)];
    WCHAR renderBuffer_[kEndpointKeyNameBytes / sizeof(WCHAR)];
    WCHAR captureBuffer_[kEndpointKeyNameBytes / sizeof(WCHAR)];
    UNICODE_STRING path_;
    UNICODE_STRING render_;
    UNICODE_STRING capture_;
};
