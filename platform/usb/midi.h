// USB-MIDI 1.0 descriptors (MIDIStreaming interface, class 1 subclass 3).
//
// The streaming endpoints are audio-class 1.0 endpoints (9 bytes, see
// USB_AUDIO10_ENDPOINT_DESCRIPTOR), each followed by a class-specific
// MS_GENERAL endpoint descriptor listing its embedded jacks.
#pragma once

#include "platform/base/types.h"
#include "platform/usb/audio.h"
#include "platform/usb/descriptor_field.h"

#include <cstddef>

inline constexpr USHORT USB_MIDI_BCD_MSC_10 = 0x0100;
inline constexpr USHORT USB_MIDI_BCD_MSC_20 = 0x0200;

// Class-specific MIDIStreaming interface descriptor subtypes.
inline constexpr UCHAR USB_MIDI_MS_HEADER = 0x01;
inline constexpr UCHAR USB_MIDI_IN_JACK = 0x02;
inline constexpr UCHAR USB_MIDI_OUT_JACK = 0x03;
inline constexpr UCHAR USB_MIDI_ELEMENT = 0x04;
// Class-specific endpoint descriptor subtype.
inline constexpr UCHAR USB_MIDI_MS_GENERAL = 0x01;

// bJackType.
inline constexpr UCHAR USB_MIDI_JACK_EMBEDDED = 0x01;
inline constexpr UCHAR USB_MIDI_JACK_EXTERNAL = 0x02;

// Most embedded jacks one endpoint can carry: the cable number of an event
// packet is four bits.
inline constexpr ULONG USB_MIDI_MAX_CABLES = 16;

#pragma pack(push, 1)

// wTotalLength counts this header and every class-specific descriptor of
// the interface (jacks, elements) and, as the class document's example
// device does, the endpoint descriptors with their MS_GENERAL descriptors.
struct USB_MIDI_MS_HEADER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdMSC;
    USHORT wTotalLength;
};

struct USB_MIDI_IN_JACK_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bJackType;
    UCHAR bJackID;
    UCHAR iJack;
};

// Followed by bNrInputPins pairs of (baSourceID, baSourcePin), then iJack.
struct USB_MIDI_OUT_JACK_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bJackType;
    UCHAR bJackID;
    UCHAR bNrInputPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInputPins ? UsbDescriptorByte(this, 6 + 2 * i) : 0; }
    UCHAR baSourcePin(ULONG i) const { return i < bNrInputPins ? UsbDescriptorByte(this, 7 + 2 * i) : 0; }
    UCHAR iJack() const { return UsbDescriptorByte(this, 6u + 2u * bNrInputPins); }
};

// Followed by baAssocJackID[bNumEmbMIDIJack].
struct USB_MIDI_MS_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bNumEmbMIDIJack;

    // Jacks listed: bNumEmbMIDIJack, capped by what fits inside bLength.
    ULONG JackCount() const {
        const ULONG fits = bLength > 4 ? bLength - 4u : 0u;
        return bNumEmbMIDIJack < fits ? bNumEmbMIDIJack : fits;
    }
    UCHAR baAssocJackID(ULONG i) const { return i < JackCount() ? UsbDescriptorByte(this, 4 + i) : 0; }
};

#pragma pack(pop)

static_assert(sizeof(USB_MIDI_MS_HEADER_DESCRIPTOR) == 7);
static_assert(offsetof(USB_MIDI_MS_HEADER_DESCRIPTOR, bcdMSC) == 3);
static_assert(offsetof(USB_MIDI_MS_HEADER_DESCRIPTOR, wTotalLength) == 5);
static_assert(sizeof(USB_MIDI_IN_JACK_DESCRIPTOR) == 6);
static_assert(offsetof(USB_MIDI_IN_JACK_DESCRIPTOR, bJackType) == 3);
static_assert(sizeof(USB_MIDI_OUT_JACK_DESCRIPTOR) == 6);
static_assert(sizeof(USB_MIDI_MS_ENDPOINT_DESCRIPTOR) == 4);

constexpr ULONG USB_MIDI_OUT_JACK_LENGTH(ULONG inputPins) { return 7 + 2 * inputPins; }
constexpr ULONG USB_MIDI_MS_ENDPOINT_LENGTH(ULONG jacks) { return 4 + jacks; }
