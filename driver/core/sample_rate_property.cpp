#include "driver/core/sample_rate_property.h"

#include "platform/base/ntstatus.h"
#include "platform/ks/ks.h"

#include <cstring>

NTSTATUS SampleRateProperty(IAdapterCommon& adapter, PCPROPERTY_REQUEST* request) {
    if (request == nullptr || request->PropertyItem == nullptr ||
        request->PropertyItem->Id != KSPROPERTY_DEVICESAMPLERATE)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (request->Verb & KSPROPERTY_TYPE_GET) {
        if (request->ValueSize == 0) {
            request->ValueSize = sizeof(DeviceSampleRateValue);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (request->ValueSize < sizeof(DeviceSampleRateValue) || request->Value == nullptr)
            return STATUS_BUFFER_TOO_SMALL;
        DeviceSampleRateValue value{};
        NTSTATUS status = adapter.GetSampleRate(&value.currentRate);
        if (NT_SUCCESS(status)) status = adapter.GetRateLimits(&value.lowestRate, &value.highestRate);
        if (!NT_SUCCESS(status)) return status;
        std::memcpy(request->Value, &value, sizeof(value));
        request->ValueSize = sizeof(value);
        return STATUS_SUCCESS;
    }
    if (request->Verb & KSPROPERTY_TYPE_SET) {
        if (request->ValueSize < sizeof(ULONG) || request->Value == nullptr) return STATUS_BUFFER_TOO_SMALL;
        ULONG rate = 0;
        std::memcpy(&rate, request->Value, sizeof(rate));
        return adapter.SetSampleRate(rate, FALSE);
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}
