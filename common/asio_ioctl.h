// The private device-control protocol of the driver's "\asio" handle: the
// control codes and the limits of their values. The driver serves them; the
// ASIO driver, the control panel and the service send them. Every input and
// output is one little-endian u32 (the serial number: UTF-16LE text).
#pragma once

#include "platform/base/types.h"
#include "platform/io/irp.h"

// The reference string of the private interface: a handle opened on a path
// ending in it is an "\asio" handle.
inline constexpr WCHAR kAsioReferenceString[] = u"\\asio";

// All codes: FILE_DEVICE_UNKNOWN, FILE_ANY_ACCESS; the function and method
// each code is built from.
#define OVU_ASIO_IOCTL(name, value, function, method)                                  \
    inline constexpr ULONG name = value;                                               \
    static_assert(name == CTL_CODE(FILE_DEVICE_UNKNOWN, function, method, FILE_ANY_ACCESS), \
                  #name " is built from its function and method");

OVU_ASIO_IOCTL(IOCTL_UAC2_ASIO_START, 0x222000, 0x800, METHOD_BUFFERED)
OVU_ASIO_IOCTL(IOCTL_UAC2_ASIO_STOP, 0x222004, 0x801, METHOD_BUFFERED)
OVU_ASIO_IOCTL(IOCTL_UAC2_SET_BUFFER_SIZE, 0x222008, 0x802, METHOD_BUFFERED)       // in: u32 frames
OVU_ASIO_IOCTL(IOCTL_UAC2_SET_SAMPLE_RATE, 0x22200C, 0x803, METHOD_BUFFERED)       // in: u32 Hz
OVU_ASIO_IOCTL(IOCTL_UAC2_SET_CLOCK_SOURCE, 0x222010, 0x804, METHOD_BUFFERED)      // in: u32 entity id
OVU_ASIO_IOCTL(IOCTL_UAC2_GET_USB_SPEED, 0x222014, 0x805, METHOD_BUFFERED)         // out: u32 bus speed code
OVU_ASIO_IOCTL(IOCTL_UAC2_GET_SAMPLE_RATE, 0x222018, 0x806, METHOD_BUFFERED)       // out: u32 Hz
OVU_ASIO_IOCTL(IOCTL_UAC2_SET_SAMPLE_RATE_FORCED, 0x22201C, 0x807, METHOD_BUFFERED) // in: u32 Hz
OVU_ASIO_IOCTL(IOCTL_UAC2_MAP_TICK_COUNTER, 0x222022, 0x808, METHOD_OUT_DIRECT)    // out: the client's u32 tick word
OVU_ASIO_IOCTL(IOCTL_UAC2_GET_SERIAL_NUMBER, 0x222024, 0x809, METHOD_BUFFERED)     // out: UTF-16LE, not terminated
OVU_ASIO_IOCTL(IOCTL_UAC2_READ_CLEAR_COUNTER, 0x222050, 0x814, METHOD_BUFFERED)    // out: u32
OVU_ASIO_IOCTL(IOCTL_UAC2_SET_OUTPUT_MARGIN, 0x222054, 0x815, METHOD_BUFFERED)     // in: u32 frames
OVU_ASIO_IOCTL(IOCTL_UAC2_GET_OUTPUT_MARGIN, 0x222058, 0x816, METHOD_BUFFERED)     // out: u32 frames

#undef OVU_ASIO_IOCTL

// IOCTL_UAC2_SET_BUFFER_SIZE accepts 24..4096 frames; IOCTL_UAC2_SET_OUTPUT_MARGIN 0..4096.
inline constexpr ULONG kAsioMinBufferFrames = 24;
inline constexpr ULONG kAsioMaxBufferFrames = 4096;
inline constexpr ULONG kAsioMaxOutputMargin = 4096;
