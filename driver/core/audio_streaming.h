// The AudioStreaming records of the descriptor model: one StreamingInterface
// per AudioStreaming interface, with one AltSetting per alternate setting.
// Descriptor pointers point into the device's one configuration copy.
#pragma once

#include "platform/base/types.h"
#include "platform/usb/audio.h"
#include "platform/usb/urb.h"
#include "platform/usb/descriptors.h"

class AudioEntity;

// What one alternate setting holds. A setting without endpoints keeps only
// its interface descriptor.
struct AltSetting {
    const USB_INTERFACE_DESCRIPTOR* Interface;
    const USB_ENDPOINT_DESCRIPTOR* DataEndpoint;
    // The first class-specific interface descriptors of subtype 1 and 2.
    const USB_AUDIO_COMMON_DESCRIPTOR* AsGeneral;
    const USB_AUDIO_COMMON_DESCRIPTOR* FormatType;
    // The first EP_GENERAL descriptor after the data endpoint.
    const USB_AUDIO_COMMON_DESCRIPTOR* CsEndpoint;
    const USB_ENDPOINT_DESCRIPTOR* FeedbackEndpoint;
};
static_assert(sizeof(AltSetting) == 48);

// Zero-filled, non-paged pool.
struct StreamingInterface {
    StreamingInterface* Next;
    UCHAR InterfaceNumber;
    // 1 when the first endpoint of alternate setting 1 is IN (capture).
    UCHAR IsInput;
    // 2 plus the consecutive settings from 2 upward that exist.
    ULONG AltCount;
    AltSetting* Alts;  // index = bAlternateSetting
    // The entity named by bTerminalLink of setting 1's AS_GENERAL: a
    // terminal on a well-formed device, but any entity may be named.
    AudioEntity* Terminal;
    // The current setting's data pipe in the interface table; null when the
    // setting has no data endpoint. Stale after any setting change until the
    // pipes are linked again.
    USBD_PIPE_INFORMATION* DataPipe;
    UCHAR CurrentAlt;
    // Set on the playback interface whenever a format is applied to either
    // direction.
    ULONG FormatSet;
    ULONG CurrentRate;
};
