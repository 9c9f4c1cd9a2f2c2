// The ASIO driver interface as the public ASIO SDK publishes it: the IASIO
// vtable, the records hosts and drivers exchange, the result codes, sample
// types and selectors, under their published names and values.
//
// Layouts are those of a 64-bit Windows build, where `long` is 32 bits:
// every `long` of the SDK is a 32-bit integer here. Used by the ASIO driver
// (ovuac2asio) and by ASIO hosts (apps/asiohost).
#pragma once

#include "platform/base/types.h"
#include "platform/portcls/unknown.h"

#include <cstddef>

using ASIOBool = std::int32_t;
using ASIOError = std::int32_t;
using ASIOSampleType = std::int32_t;
using ASIOSampleRate = double;

inline constexpr ASIOBool ASIOFalse = 0;
inline constexpr ASIOBool ASIOTrue = 1;

// Results.
inline constexpr ASIOError ASE_OK = 0;
inline constexpr ASIOError ASE_SUCCESS = 0x3f4847a0;  // success of future()
inline constexpr ASIOError ASE_NotPresent = -1000;
inline constexpr ASIOError ASE_HWMalfunction = -999;
inline constexpr ASIOError ASE_InvalidParameter = -998;
inline constexpr ASIOError ASE_InvalidMode = -997;
inline constexpr ASIOError ASE_SPNotAdvancing = -996;
inline constexpr ASIOError ASE_NoClock = -995;
inline constexpr ASIOError ASE_NoMemory = -994;

// Sample types.
inline constexpr ASIOSampleType ASIOSTInt16MSB = 0;
inline constexpr ASIOSampleType ASIOSTInt24MSB = 1;
inline constexpr ASIOSampleType ASIOSTInt32MSB = 2;
inline constexpr ASIOSampleType ASIOSTFloat32MSB = 3;
inline constexpr ASIOSampleType ASIOSTFloat64MSB = 4;
inline constexpr ASIOSampleType ASIOSTInt16LSB = 16;
inline constexpr ASIOSampleType ASIOSTInt24LSB = 17;
inline constexpr ASIOSampleType ASIOSTInt32LSB = 18;
inline constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
inline constexpr ASIOSampleType ASIOSTFloat64LSB = 20;
inline constexpr ASIOSampleType ASIOSTDSDInt8LSB1 = 32;
inline constexpr ASIOSampleType ASIOSTDSDInt8MSB1 = 33;
inline constexpr ASIOSampleType ASIOSTDSDInt8NER8 = 40;

// 64-bit values as two 32-bit halves.
struct ASIOSamples {
    std::uint32_t hi;
    std::uint32_t lo;
};
struct ASIOTimeStamp {
    std::uint32_t hi;
    std::uint32_t lo;
};
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);

struct ASIOClockSource {
    std::int32_t index;
    std::int32_t associatedChannel;
    std::int32_t associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};
static_assert(sizeof(ASIOClockSource) == 48);

struct ASIOChannelInfo {
    std::int32_t channel;
    ASIOBool isInput;
    ASIOBool isActive;
    std::int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(offsetof(ASIOChannelInfo, name) == 20);

struct ASIOBufferInfo {
    ASIOBool isInput;
    std::int32_t channelNum;
    void* buffers[2];
};
static_assert(sizeof(ASIOBufferInfo) == 24);
static_assert(offsetof(ASIOBufferInfo, buffers) == 8);

// Time-info flags (AsioTimeInfo::flags).
inline constexpr std::uint32_t kSystemTimeValid = 1;
inline constexpr std::uint32_t kSamplePositionValid = 1 << 1;
inline constexpr std::uint32_t kSampleRateValid = 1 << 2;
inline constexpr std::uint32_t kSpeedValid = 1 << 3;
inline constexpr std::uint32_t kSampleRateChanged = 1 << 4;
inline constexpr std::uint32_t kClockSourceChanged = 1 << 5;

// Time-code flags (ASIOTimeCode::flags).
inline constexpr std::uint32_t kTcValid = 1;
inline constexpr std::uint32_t kTcRunning = 1 << 1;
inline constexpr std::uint32_t kTcReverse = 1 << 2;
inline constexpr std::uint32_t kTcOnspeed = 1 << 3;
inline constexpr std::uint32_t kTcStill = 1 << 4;
inline constexpr std::uint32_t kTcSpeedValid = 1 << 8;

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    std::uint32_t flags;
    char future[64];
};
static_assert(sizeof(ASIOTimeCode) == 88);
static_assert(offsetof(ASIOTimeCode, flags) == 16);

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    std::uint32_t flags;
    char reserved[12];
};
static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(offsetof(AsioTimeInfo, flags) == 32);

struct ASIOTime {
    std::int32_t reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};
static_assert(sizeof(ASIOTime) == 152);
static_assert(offsetof(ASIOTime, timeInfo) == 16);
static_assert(offsetof(ASIOTime, timeCode) == 64);

struct ASIOCallbacks {
    void (*bufferSwitch)(std::int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    std::int32_t (*asioMessage)(std::int32_t selector, std::int32_t value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, std::int32_t doubleBufferIndex, ASIOBool directProcess);
};
static_assert(sizeof(ASIOCallbacks) == 32);

// asioMessage selectors.
inline constexpr std::int32_t kAsioSelectorSupported = 1;
inline constexpr std::int32_t kAsioEngineVersion = 2;
inline constexpr std::int32_t kAsioResetRequest = 3;
inline constexpr std::int32_t kAsioBufferSizeChange = 4;
inline constexpr std::int32_t kAsioResyncRequest = 5;
inline constexpr std::int32_t kAsioLatenciesChanged = 6;
inline constexpr std::int32_t kAsioSupportsTimeInfo = 7;
inline constexpr std::int32_t kAsioSupportsTimeCode = 8;

// future() selectors.
inline constexpr std::int32_t kAsioEnableTimeCodeRead = 1;
inline constexpr std::int32_t kAsioDisableTimeCodeRead = 2;
inline constexpr std::int32_t kAsioSetInputMonitor = 3;
inline constexpr std::int32_t kAsioTransport = 4;
inline constexpr std::int32_t kAsioCanInputMonitor = 9;
inline constexpr std::int32_t kAsioCanTimeInfo = 10;
inline constexpr std::int32_t kAsioCanTimeCode = 11;
inline constexpr std::int32_t kAsioSetIoFormat = 0x23111961;
inline constexpr std::int32_t kAsioGetIoFormat = 0x23111983;
inline constexpr std::int32_t kAsioCanDoIoFormat = 0x23112004;

// I/O formats (future kAsioSetIoFormat / kAsioGetIoFormat / kAsioCanDoIoFormat).
using ASIOIoFormatType = std::int32_t;
inline constexpr ASIOIoFormatType kASIOFormatInvalid = -1;
inline constexpr ASIOIoFormatType kASIOFormatPCM = 0;
inline constexpr ASIOIoFormatType kASIOFormatDSD = 1;

struct ASIOIoFormat {
    ASIOIoFormatType FormatType;
    char future[512 - sizeof(ASIOIoFormatType)];
};
static_assert(sizeof(ASIOIoFormat) == 512);

// The driver object's interface. Hosts create the driver through COM with
// its class id as the interface id and receive this vtable.
struct IASIO : IUnknown {
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;  // 32 bytes
    virtual std::int32_t getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;  // 124 bytes
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(std::int32_t* numInputChannels, std::int32_t* numOutputChannels) = 0;
    virtual ASIOError getLatencies(std::int32_t* inputLatency, std::int32_t* outputLatency) = 0;
    virtual ASIOError getBufferSize(std::int32_t* minSize, std::int32_t* maxSize, std::int32_t* preferredSize,
                                    std::int32_t* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, std::int32_t* numSources) = 0;
    virtual ASIOError setClockSource(std::int32_t reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, std::int32_t numChannels, std::int32_t bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(std::int32_t selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;

protected:
    ~IASIO() = default;
};
