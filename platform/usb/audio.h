// USB Audio Class descriptors and requests, class versions 1.0 and 2.0.
//
// Layouts follow the class documents byte for byte (packed, little-endian).
// Descriptors with a variable part are a packed struct for the fixed header
// plus accessors that compute the offsets from the descriptor's own counts
// and return 0 for anything that would lie at or beyond bLength.
#pragma once

#include "platform/base/types.h"
#include "platform/usb/descriptor_field.h"
#include "platform/usb/descriptors.h"

#include <cstddef>

// Class-specific descriptor types.
inline constexpr UCHAR USB_AUDIO_CS_UNDEFINED = 0x20;
inline constexpr UCHAR USB_AUDIO_CS_DEVICE = 0x21;
inline constexpr UCHAR USB_AUDIO_CS_CONFIGURATION = 0x22;
inline constexpr UCHAR USB_AUDIO_CS_STRING = 0x23;
inline constexpr UCHAR USB_AUDIO_CS_INTERFACE = 0x24;
inline constexpr UCHAR USB_AUDIO_CS_ENDPOINT = 0x25;

// Interface subclasses and protocols.
inline constexpr UCHAR USB_AUDIO_SUBCLASS_UNDEFINED = 0x00;
inline constexpr UCHAR USB_AUDIO_SUBCLASS_AUDIOCONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO_SUBCLASS_AUDIOSTREAMING = 0x02;
inline constexpr UCHAR USB_AUDIO_SUBCLASS_MIDISTREAMING = 0x03;
inline constexpr UCHAR USB_AUDIO_PROTOCOL_UNDEFINED = 0x00;    // 1.0 interfaces
inline constexpr UCHAR USB_AUDIO20_IP_VERSION_02_00 = 0x20;    // 2.0 interfaces
inline constexpr UCHAR USB_AUDIO20_AF_VERSION_02_00 = 0x20;    // 2.0 interface association
inline constexpr UCHAR USB_AUDIO20_FUNCTION_SUBCLASS_UNDEFINED = 0x00;

// bcdADC of the AudioControl header.
inline constexpr USHORT USB_AUDIO_BCD_ADC_10 = 0x0100;
inline constexpr USHORT USB_AUDIO_BCD_ADC_20 = 0x0200;

// AudioControl interface descriptor subtypes, 1.0.
inline constexpr UCHAR USB_AUDIO10_AC_HEADER = 0x01;
inline constexpr UCHAR USB_AUDIO10_AC_INPUT_TERMINAL = 0x02;
inline constexpr UCHAR USB_AUDIO10_AC_OUTPUT_TERMINAL = 0x03;
inline constexpr UCHAR USB_AUDIO10_AC_MIXER_UNIT = 0x04;
inline constexpr UCHAR USB_AUDIO10_AC_SELECTOR_UNIT = 0x05;
inline constexpr UCHAR USB_AUDIO10_AC_FEATURE_UNIT = 0x06;
inline constexpr UCHAR USB_AUDIO10_AC_PROCESSING_UNIT = 0x07;
inline constexpr UCHAR USB_AUDIO10_AC_EXTENSION_UNIT = 0x08;

// AudioControl interface descriptor subtypes, 2.0.
inline constexpr UCHAR USB_AUDIO20_AC_HEADER = 0x01;
inline constexpr UCHAR USB_AUDIO20_AC_INPUT_TERMINAL = 0x02;
inline constexpr UCHAR USB_AUDIO20_AC_OUTPUT_TERMINAL = 0x03;
inline constexpr UCHAR USB_AUDIO20_AC_MIXER_UNIT = 0x04;
inline constexpr UCHAR USB_AUDIO20_AC_SELECTOR_UNIT = 0x05;
inline constexpr UCHAR USB_AUDIO20_AC_FEATURE_UNIT = 0x06;
inline constexpr UCHAR USB_AUDIO20_AC_EFFECT_UNIT = 0x07;
inline constexpr UCHAR USB_AUDIO20_AC_PROCESSING_UNIT = 0x08;
inline constexpr UCHAR USB_AUDIO20_AC_EXTENSION_UNIT = 0x09;
inline constexpr UCHAR USB_AUDIO20_AC_CLOCK_SOURCE = 0x0A;
inline constexpr UCHAR USB_AUDIO20_AC_CLOCK_SELECTOR = 0x0B;
inline constexpr UCHAR USB_AUDIO20_AC_CLOCK_MULTIPLIER = 0x0C;
inline constexpr UCHAR USB_AUDIO20_AC_SAMPLE_RATE_CONVERTER = 0x0D;

// AudioStreaming interface descriptor subtypes (both versions; 0x03 is
// FORMAT_SPECIFIC in 1.0, ENCODER in 2.0).
inline constexpr UCHAR USB_AUDIO_AS_GENERAL = 0x01;
inline constexpr UCHAR USB_AUDIO_AS_FORMAT_TYPE = 0x02;
inline constexpr UCHAR USB_AUDIO10_AS_FORMAT_SPECIFIC = 0x03;
inline constexpr UCHAR USB_AUDIO20_AS_ENCODER = 0x03;
inline constexpr UCHAR USB_AUDIO20_AS_DECODER = 0x04;

// Class-specific endpoint descriptor subtype.
inline constexpr UCHAR USB_AUDIO_EP_GENERAL = 0x01;

// Format types and formats.
inline constexpr UCHAR USB_AUDIO_FORMAT_TYPE_I = 0x01;
inline constexpr UCHAR USB_AUDIO_FORMAT_TYPE_II = 0x02;
inline constexpr UCHAR USB_AUDIO_FORMAT_TYPE_III = 0x03;
// 1.0 wFormatTag of AS_GENERAL.
inline constexpr USHORT USB_AUDIO10_FORMAT_PCM = 0x0001;
inline constexpr USHORT USB_AUDIO10_FORMAT_PCM8 = 0x0002;
inline constexpr USHORT USB_AUDIO10_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr USHORT USB_AUDIO10_FORMAT_ALAW = 0x0004;
inline constexpr USHORT USB_AUDIO10_FORMAT_MULAW = 0x0005;
// 2.0 bmFormats bits of AS_GENERAL for format type I.
inline constexpr ULONG USB_AUDIO20_FORMAT_PCM = 0x00000001;
inline constexpr ULONG USB_AUDIO20_FORMAT_PCM8 = 0x00000002;
inline constexpr ULONG USB_AUDIO20_FORMAT_IEEE_FLOAT = 0x00000004;
inline constexpr ULONG USB_AUDIO20_FORMAT_ALAW = 0x00000008;
inline constexpr ULONG USB_AUDIO20_FORMAT_MULAW = 0x00000010;
inline constexpr ULONG USB_AUDIO20_FORMAT_RAW_DATA = 0x80000000;

// Terminal types (wTerminalType).
inline constexpr USHORT USB_AUDIO_TERMINAL_USB_UNDEFINED = 0x0100;
inline constexpr USHORT USB_AUDIO_TERMINAL_USB_STREAMING = 0x0101;
inline constexpr USHORT USB_AUDIO_TERMINAL_USB_VENDOR = 0x01FF;
inline constexpr USHORT USB_AUDIO_TERMINAL_INPUT_UNDEFINED = 0x0200;
inline constexpr USHORT USB_AUDIO_TERMINAL_MICROPHONE = 0x0201;
inline constexpr USHORT USB_AUDIO_TERMINAL_OUTPUT_UNDEFINED = 0x0300;
inline constexpr USHORT USB_AUDIO_TERMINAL_SPEAKER = 0x0301;
inline constexpr USHORT USB_AUDIO_TERMINAL_HEADPHONES = 0x0302;
inline constexpr USHORT USB_AUDIO_TERMINAL_EXTERNAL_ANALOG = 0x0601;
inline constexpr USHORT USB_AUDIO_TERMINAL_EXTERNAL_LINE = 0x0603;
inline constexpr USHORT USB_AUDIO_TERMINAL_EXTERNAL_SPDIF = 0x0605;

// Request codes, 2.0 (the direction is in bmRequestType).
inline constexpr UCHAR USB_AUDIO20_REQUEST_CUR = 0x01;
inline constexpr UCHAR USB_AUDIO20_REQUEST_RANGE = 0x02;
inline constexpr UCHAR USB_AUDIO20_REQUEST_MEM = 0x03;

// Request codes, 1.0 (bit 7 is the direction).
inline constexpr UCHAR USB_AUDIO10_REQUEST_SET_CUR = 0x01;
inline constexpr UCHAR USB_AUDIO10_REQUEST_SET_MIN = 0x02;
inline constexpr UCHAR USB_AUDIO10_REQUEST_SET_MAX = 0x03;
inline constexpr UCHAR USB_AUDIO10_REQUEST_SET_RES = 0x04;
inline constexpr UCHAR USB_AUDIO10_REQUEST_SET_MEM = 0x05;
inline constexpr UCHAR USB_AUDIO10_REQUEST_GET_CUR = 0x81;
inline constexpr UCHAR USB_AUDIO10_REQUEST_GET_MIN = 0x82;
inline constexpr UCHAR USB_AUDIO10_REQUEST_GET_MAX = 0x83;
inline constexpr UCHAR USB_AUDIO10_REQUEST_GET_RES = 0x84;
inline constexpr UCHAR USB_AUDIO10_REQUEST_GET_MEM = 0x85;
inline constexpr UCHAR USB_AUDIO10_REQUEST_GET_STAT = 0xFF;

// bmRequestType of class requests to an entity (interface recipient) and to
// an endpoint.
inline constexpr UCHAR USB_AUDIO_REQUEST_TYPE_GET_INTERFACE = 0xA1;
inline constexpr UCHAR USB_AUDIO_REQUEST_TYPE_SET_INTERFACE = 0x21;
inline constexpr UCHAR USB_AUDIO_REQUEST_TYPE_GET_ENDPOINT = 0xA2;
inline constexpr UCHAR USB_AUDIO_REQUEST_TYPE_SET_ENDPOINT = 0x22;

// Control selectors, 2.0 (wValue high byte).
inline constexpr UCHAR USB_AUDIO20_CS_SAM_FREQ_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO20_CS_CLOCK_VALID_CONTROL = 0x02;
inline constexpr UCHAR USB_AUDIO20_CX_CLOCK_SELECTOR_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO20_CM_NUMERATOR_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO20_CM_DENOMINATOR_CONTROL = 0x02;
inline constexpr UCHAR USB_AUDIO20_TE_COPY_PROTECT_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO20_TE_CONNECTOR_CONTROL = 0x02;
inline constexpr UCHAR USB_AUDIO20_TE_OVERLOAD_CONTROL = 0x03;
inline constexpr UCHAR USB_AUDIO20_TE_CLUSTER_CONTROL = 0x04;
inline constexpr UCHAR USB_AUDIO20_TE_UNDERFLOW_CONTROL = 0x05;
inline constexpr UCHAR USB_AUDIO20_TE_OVERFLOW_CONTROL = 0x06;
inline constexpr UCHAR USB_AUDIO20_TE_LATENCY_CONTROL = 0x07;
inline constexpr UCHAR USB_AUDIO20_SU_SELECTOR_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO20_EP_PITCH_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO20_EP_DATA_OVERRUN_CONTROL = 0x02;
inline constexpr UCHAR USB_AUDIO20_EP_DATA_UNDERRUN_CONTROL = 0x03;
// Feature-unit control selectors (the same numbers in 1.0 and 2.0).
inline constexpr UCHAR USB_AUDIO_FU_MUTE_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO_FU_VOLUME_CONTROL = 0x02;
inline constexpr UCHAR USB_AUDIO_FU_BASS_CONTROL = 0x03;
inline constexpr UCHAR USB_AUDIO_FU_MID_CONTROL = 0x04;
inline constexpr UCHAR USB_AUDIO_FU_TREBLE_CONTROL = 0x05;
inline constexpr UCHAR USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL = 0x06;
inline constexpr UCHAR USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL = 0x07;
inline constexpr UCHAR USB_AUDIO_FU_DELAY_CONTROL = 0x08;
inline constexpr UCHAR USB_AUDIO_FU_BASS_BOOST_CONTROL = 0x09;
inline constexpr UCHAR USB_AUDIO_FU_LOUDNESS_CONTROL = 0x0A;
// Endpoint control selectors, 1.0.
inline constexpr UCHAR USB_AUDIO10_EP_SAMPLING_FREQ_CONTROL = 0x01;
inline constexpr UCHAR USB_AUDIO10_EP_PITCH_CONTROL = 0x02;

// 2.0 bmControls pairs: 0b01 read-only, 0b11 host programmable (0b10 is
// invalid). The pair of control n sits at bit 2n.
inline constexpr ULONG USB_AUDIO20_CONTROL_READ = 0x1;
inline constexpr ULONG USB_AUDIO20_CONTROL_READ_WRITE = 0x3;
constexpr ULONG USB_AUDIO20_CONTROL_BITS(ULONG controlIndex, ULONG access) { return (access & 3u) << (2u * controlIndex); }

// 2.0 clock source bmAttributes bits 0-1.
inline constexpr UCHAR USB_AUDIO20_CLOCK_TYPE_EXTERNAL = 0x00;
inline constexpr UCHAR USB_AUDIO20_CLOCK_TYPE_INTERNAL_FIXED = 0x01;
inline constexpr UCHAR USB_AUDIO20_CLOCK_TYPE_INTERNAL_VARIABLE = 0x02;
inline constexpr UCHAR USB_AUDIO20_CLOCK_TYPE_INTERNAL_PROGRAMMABLE = 0x03;
inline constexpr UCHAR USB_AUDIO20_CLOCK_SYNCHRONIZED_TO_SOF = 0x04;

// 1.0 class-specific endpoint bmAttributes.
inline constexpr UCHAR USB_AUDIO10_EP_ATTRIBUTE_SAMPLING_FREQUENCY = 0x01;
inline constexpr UCHAR USB_AUDIO10_EP_ATTRIBUTE_PITCH = 0x02;
inline constexpr UCHAR USB_AUDIO10_EP_ATTRIBUTE_MAX_PACKETS_ONLY = 0x80;

#pragma pack(push, 1)

// The three bytes every class-specific interface and endpoint descriptor
// starts with; byte 3 is the entity id of AudioControl descriptors.
struct USB_AUDIO_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
};

// ---------------------------------------------------------------- 1.0 ----

// The 9-byte audio-class 1.0 endpoint (also used by USB-MIDI 1.0).
struct USB_AUDIO10_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
    UCHAR bRefresh;
    UCHAR bSynchAddress;
};

// Followed by baInterfaceNr[bInCollection].
struct USB_AUDIO10_AC_HEADER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    USHORT wTotalLength;
    UCHAR bInCollection;

    UCHAR baInterfaceNr(ULONG i) const { return i < bInCollection ? UsbDescriptorByte(this, 8 + i) : 0; }
};

struct USB_AUDIO10_INPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bNrChannels;
    USHORT wChannelConfig;
    UCHAR iChannelNames;
    UCHAR iTerminal;
};

struct USB_AUDIO10_OUTPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR iTerminal;
};

// Followed by baSourceID[p], bNrChannels, wChannelConfig, iChannelNames,
// bmControls[N], iMixer.
struct USB_AUDIO10_MIXER_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 5 + i) : 0; }
    UCHAR NrChannels() const { return UsbDescriptorByte(this, 5u + bNrInPins); }
    USHORT ChannelConfig() const { return static_cast<USHORT>(UsbDescriptorField(this, 6u + bNrInPins, 2)); }
    UCHAR iMixer() const { return bLength >= 10u + bNrInPins ? UsbDescriptorByte(this, bLength - 1u) : 0; }
};

// Followed by baSourceID[p], iSelector.
struct USB_AUDIO10_SELECTOR_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 5 + i) : 0; }
    UCHAR iSelector() const { return UsbDescriptorByte(this, 5u + bNrInPins); }
};

// Followed by bmaControls[channels + 1] of bControlSize bytes each (channel
// 0 is the master channel), then iFeature.
struct USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
    UCHAR bControlSize;

    // Channels including the master channel: (bLength - 7) / bControlSize.
    ULONG ChannelCount() const {
        if (bControlSize == 0 || bLength < 7) return 0;
        return (bLength - 7u) / bControlSize;
    }
    // The channel's control bitmap (bit n = control selector n + 1); at most
    // the first four bytes of a wider bitmap; 0 beyond the channel count.
    ULONG bmaControls(ULONG channel) const {
        if (channel >= ChannelCount()) return 0;
        const ULONG width = bControlSize < 4 ? bControlSize : 4;
        return UsbDescriptorField(this, 6 + channel * bControlSize, width);
    }
    UCHAR iFeature() const { return bLength >= 7 ? UsbDescriptorByte(this, bLength - 1u) : 0; }
};

// Followed by baSourceID[p], bNrChannels, wChannelConfig, iChannelNames,
// bControlSize, bmControls[n], iProcessing, process-specific bytes. The
// extension unit has the same shape with wExtensionCode in place of
// wProcessType.
struct USB_AUDIO10_PROCESSING_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    USHORT wProcessType;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 7 + i) : 0; }
    UCHAR NrChannels() const { return UsbDescriptorByte(this, 7u + bNrInPins); }
    USHORT ChannelConfig() const { return static_cast<USHORT>(UsbDescriptorField(this, 8u + bNrInPins, 2)); }
    UCHAR ControlSize() const { return UsbDescriptorByte(this, 11u + bNrInPins); }
    ULONG bmControls() const {
        const ULONG size = ControlSize();
        return UsbDescriptorField(this, 12u + bNrInPins, size < 4 ? size : 4);
    }
    UCHAR iProcessing() const { return UsbDescriptorByte(this, 12u + bNrInPins + ControlSize()); }
};

struct USB_AUDIO10_EXTENSION_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    USHORT wExtensionCode;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 7 + i) : 0; }
    UCHAR NrChannels() const { return UsbDescriptorByte(this, 7u + bNrInPins); }
    UCHAR ControlSize() const { return UsbDescriptorByte(this, 11u + bNrInPins); }
    UCHAR iExtension() const { return UsbDescriptorByte(this, 12u + bNrInPins + ControlSize()); }
};

struct USB_AUDIO10_AS_GENERAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bDelay;
    USHORT wFormatTag;
};

// Followed by the sampling frequencies, three bytes each: bSamFreqType 0
// means a continuous range (lower, upper), otherwise that many discrete
// frequencies.
struct USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bNrChannels;
    UCHAR bSubframeSize;
    UCHAR bBitResolution;
    UCHAR bSamFreqType;

    bool IsContinuous() const { return bSamFreqType == 0; }
    // Frequencies listed: 2 for a continuous range, else bSamFreqType; capped
    // by what fits inside bLength.
    ULONG FrequencyCount() const {
        const ULONG declared = bSamFreqType == 0 ? 2u : bSamFreqType;
        const ULONG fits = bLength > 8 ? (bLength - 8u) / 3u : 0u;
        return declared < fits ? declared : fits;
    }
    ULONG tSamFreq(ULONG i) const { return i < FrequencyCount() ? UsbDescriptorField(this, 8 + 3 * i, 3) : 0; }
};

struct USB_AUDIO10_CS_AS_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
};

// ---------------------------------------------------------------- 2.0 ----

struct USB_AUDIO20_AC_HEADER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    UCHAR bCategory;
    USHORT wTotalLength;
    UCHAR bmControls;
};

struct USB_AUDIO20_CLOCK_SOURCE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bmAttributes;
    UCHAR bmControls;  // bits 0-1 frequency, bits 2-3 validity
    UCHAR bAssocTerminal;
    UCHAR iClockSource;
};

// Followed by baCSourceID[p], bmControls, iClockSelector.
struct USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bNrInPins;

    UCHAR baCSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 5 + i) : 0; }
    UCHAR bmControls() const { return UsbDescriptorByte(this, 5u + bNrInPins); }
    UCHAR iClockSelector() const { return UsbDescriptorByte(this, 6u + bNrInPins); }
};

struct USB_AUDIO20_CLOCK_MULTIPLIER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bCSourceID;
    UCHAR bmControls;
    UCHAR iClockMultiplier;
};

struct USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bCSourceID;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
    USHORT bmControls;
    UCHAR iTerminal;
};

struct USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR bCSourceID;
    USHORT bmControls;
    UCHAR iTerminal;
};

// Followed by baSourceID[p], bNrChannels, bmChannelConfig (4),
// iChannelNames, bmMixerControls[N], bmControls, iMixer.
struct USB_AUDIO20_MIXER_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 5 + i) : 0; }
    UCHAR NrChannels() const { return UsbDescriptorByte(this, 5u + bNrInPins); }
    ULONG ChannelConfig() const { return UsbDescriptorField(this, 6u + bNrInPins, 4); }
    UCHAR bmControls() const { return bLength >= 13u + bNrInPins ? UsbDescriptorByte(this, bLength - 2u) : 0; }
    UCHAR iMixer() const { return bLength >= 13u + bNrInPins ? UsbDescriptorByte(this, bLength - 1u) : 0; }
};

// Followed by baSourceID[p], bmControls, iSelector.
struct USB_AUDIO20_SELECTOR_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 5 + i) : 0; }
    UCHAR bmControls() const { return UsbDescriptorByte(this, 5u + bNrInPins); }
    UCHAR iSelector() const { return UsbDescriptorByte(this, 6u + bNrInPins); }
};

// Followed by bmaControls[channels + 1] (4 bytes each, channel 0 is the
// master channel), then iFeature.
struct USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;

    // Channels including the master channel: (bLength - 6) / 4.
    ULONG ChannelCount() const { return bLength >= 6 ? (bLength - 6u) / 4u : 0; }
    ULONG bmaControls(ULONG channel) const {
        return channel < ChannelCount() ? UsbDescriptorField(this, 5 + 4 * channel, 4) : 0;
    }
    UCHAR iFeature() const { return bLength >= 6 ? UsbDescriptorByte(this, bLength - 1u) : 0; }
};

// Followed by bmaControls[channels + 1] (4 bytes each), iEffects.
struct USB_AUDIO20_EFFECT_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    USHORT wEffectType;
    UCHAR bSourceID;

    ULONG ChannelCount() const { return bLength >= 8 ? (bLength - 8u) / 4u : 0; }
    ULONG bmaControls(ULONG channel) const {
        return channel < ChannelCount() ? UsbDescriptorField(this, 7 + 4 * channel, 4) : 0;
    }
};

// Followed by baSourceID[p], bNrChannels, bmChannelConfig (4),
// iChannelNames, bmControls (2), iProcessing, process-specific bytes.
struct USB_AUDIO20_PROCESSING_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    USHORT wProcessType;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 7 + i) : 0; }
    UCHAR NrChannels() const { return UsbDescriptorByte(this, 7u + bNrInPins); }
    ULONG ChannelConfig() const { return UsbDescriptorField(this, 8u + bNrInPins, 4); }
    USHORT bmControls() const { return static_cast<USHORT>(UsbDescriptorField(this, 13u + bNrInPins, 2)); }
    UCHAR iProcessing() const { return UsbDescriptorByte(this, 15u + bNrInPins); }
};

// Followed by baSourceID[p], bNrChannels, bmChannelConfig (4),
// iChannelNames, bmControls, iExtension.
struct USB_AUDIO20_EXTENSION_UNIT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    USHORT wExtensionCode;
    UCHAR bNrInPins;

    UCHAR baSourceID(ULONG i) const { return i < bNrInPins ? UsbDescriptorByte(this, 7 + i) : 0; }
    UCHAR NrChannels() const { return UsbDescriptorByte(this, 7u + bNrInPins); }
    ULONG ChannelConfig() const { return UsbDescriptorField(this, 8u + bNrInPins, 4); }
    UCHAR bmControls() const { return UsbDescriptorByte(this, 13u + bNrInPins); }
    UCHAR iExtension() const { return UsbDescriptorByte(this, 14u + bNrInPins); }
};

struct USB_AUDIO20_SAMPLE_RATE_CONVERTER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
    UCHAR bCSourceInID;
    UCHAR bCSourceOutID;
    UCHAR iSRC;
};

struct USB_AUDIO20_AS_GENERAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bmControls;
    UCHAR bFormatType;
    ULONG bmFormats;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
};

struct USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bSubslotSize;
    UCHAR bBitResolution;
};

struct USB_AUDIO20_CS_AS_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
};

// Parameter blocks of 2.0 RANGE requests: wNumSubRanges followed by that
// many subranges. Layout 3 (4-byte values) carries sampling frequencies,
// layout 2 (2-byte values) feature-unit volume in 1/256 dB.
struct USB_AUDIO20_RANGE_LAYOUT3_SUBRANGE {
    ULONG dMIN;
    ULONG dMAX;
    ULONG dRES;
};
struct USB_AUDIO20_RANGE_LAYOUT2_SUBRANGE {
    SHORT wMIN;
    SHORT wMAX;
    USHORT wRES;
};

#pragma pack(pop)

// Record sizes: the fixed headers, and for fixed-size descriptors the whole.
static_assert(sizeof(USB_AUDIO_COMMON_DESCRIPTOR) == 3);
static_assert(sizeof(USB_AUDIO10_ENDPOINT_DESCRIPTOR) == 9);
static_assert(offsetof(USB_AUDIO10_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4);
static_assert(offsetof(USB_AUDIO10_ENDPOINT_DESCRIPTOR, bSynchAddress) == 8);
static_assert(sizeof(USB_AUDIO10_AC_HEADER_DESCRIPTOR) == 8);
static_assert(offsetof(USB_AUDIO10_AC_HEADER_DESCRIPTOR, wTotalLength) == 5);
static_assert(sizeof(USB_AUDIO10_INPUT_TERMINAL_DESCRIPTOR) == 12);
static_assert(offsetof(USB_AUDIO10_INPUT_TERMINAL_DESCRIPTOR, bNrChannels) == 7);
static_assert(sizeof(USB_AUDIO10_OUTPUT_TERMINAL_DESCRIPTOR) == 9);
static_assert(offsetof(USB_AUDIO10_OUTPUT_TERMINAL_DESCRIPTOR, bSourceID) == 7);
static_assert(sizeof(USB_AUDIO10_MIXER_UNIT_DESCRIPTOR) == 5);
static_assert(sizeof(USB_AUDIO10_SELECTOR_UNIT_DESCRIPTOR) == 5);
static_assert(sizeof(USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR) == 6);
static_assert(offsetof(USB_AUDIO10_FEATURE_UNIT_DESCRIPTOR, bControlSize) == 5);
static_assert(sizeof(USB_AUDIO10_PROCESSING_UNIT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO10_EXTENSION_UNIT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO10_AS_GENERAL_DESCRIPTOR) == 7);
static_assert(offsetof(USB_AUDIO10_AS_GENERAL_DESCRIPTOR, wFormatTag) == 5);
static_assert(sizeof(USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR) == 8);
static_assert(offsetof(USB_AUDIO10_FORMAT_TYPE_I_DESCRIPTOR, bSamFreqType) == 7);
static_assert(sizeof(USB_AUDIO10_CS_AS_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO20_AC_HEADER_DESCRIPTOR) == 9);
static_assert(offsetof(USB_AUDIO20_AC_HEADER_DESCRIPTOR, wTotalLength) == 6);
static_assert(sizeof(USB_AUDIO20_CLOCK_SOURCE_DESCRIPTOR) == 8);
static_assert(offsetof(USB_AUDIO20_CLOCK_SOURCE_DESCRIPTOR, bmControls) == 5);
static_assert(sizeof(USB_AUDIO20_CLOCK_SELECTOR_DESCRIPTOR) == 5);
static_assert(sizeof(USB_AUDIO20_CLOCK_MULTIPLIER_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR) == 17);
static_assert(offsetof(USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR, bCSourceID) == 7);
static_assert(offsetof(USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR, bNrChannels) == 8);
static_assert(offsetof(USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR, bmChannelConfig) == 9);
static_assert(offsetof(USB_AUDIO20_INPUT_TERMINAL_DESCRIPTOR, bmControls) == 14);
static_assert(sizeof(USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR) == 12);
static_assert(offsetof(USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR, bSourceID) == 7);
static_assert(offsetof(USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR, bCSourceID) == 8);
static_assert(offsetof(USB_AUDIO20_OUTPUT_TERMINAL_DESCRIPTOR, bmControls) == 9);
static_assert(sizeof(USB_AUDIO20_MIXER_UNIT_DESCRIPTOR) == 5);
static_assert(sizeof(USB_AUDIO20_SELECTOR_UNIT_DESCRIPTOR) == 5);
static_assert(sizeof(USB_AUDIO20_FEATURE_UNIT_DESCRIPTOR) == 5);
static_assert(sizeof(USB_AUDIO20_EFFECT_UNIT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO20_PROCESSING_UNIT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO20_EXTENSION_UNIT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO20_SAMPLE_RATE_CONVERTER_DESCRIPTOR) == 8);
static_assert(sizeof(USB_AUDIO20_AS_GENERAL_DESCRIPTOR) == 16);
static_assert(offsetof(USB_AUDIO20_AS_GENERAL_DESCRIPTOR, bFormatType) == 5);
static_assert(offsetof(USB_AUDIO20_AS_GENERAL_DESCRIPTOR, bmFormats) == 6);
static_assert(offsetof(USB_AUDIO20_AS_GENERAL_DESCRIPTOR, bNrChannels) == 10);
static_assert(offsetof(USB_AUDIO20_AS_GENERAL_DESCRIPTOR, bmChannelConfig) == 11);
static_assert(sizeof(USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR) == 6);
static_assert(offsetof(USB_AUDIO20_FORMAT_TYPE_I_DESCRIPTOR, bSubslotSize) == 4);
static_assert(sizeof(USB_AUDIO20_CS_AS_ENDPOINT_DESCRIPTOR) == 8);
static_assert(offsetof(USB_AUDIO20_CS_AS_ENDPOINT_DESCRIPTOR, wLockDelay) == 6);
static_assert(sizeof(USB_AUDIO20_RANGE_LAYOUT3_SUBRANGE) == 12);
static_assert(sizeof(USB_AUDIO20_RANGE_LAYOUT2_SUBRANGE) == 6);

// Whole lengths of the variable descriptors for given counts; the profile
// builder writes these and the tests check the accessors against them.
constexpr ULONG USB_AUDIO10_AC_HEADER_LENGTH(ULONG interfaces) { return 8 + interfaces; }
constexpr ULONG USB_AUDIO10_FEATURE_UNIT_LENGTH(ULONG channelsWithMaster, ULONG controlSize) { return 7 + channelsWithMaster * controlSize; }
constexpr ULONG USB_AUDIO10_MIXER_UNIT_LENGTH(ULONG pins, ULONG controlBytes) { return 10 + pins + controlBytes; }
constexpr ULONG USB_AUDIO10_SELECTOR_UNIT_LENGTH(ULONG pins) { return 6 + pins; }
constexpr ULONG USB_AUDIO10_PROCESSING_UNIT_LENGTH(ULONG pins, ULONG controlSize, ULONG specific) { return 13 + pins + controlSize + specific; }
constexpr ULONG USB_AUDIO10_EXTENSION_UNIT_LENGTH(ULONG pins, ULONG controlSize) { return 13 + pins + controlSize; }
constexpr ULONG USB_AUDIO10_FORMAT_TYPE_I_LENGTH(ULONG frequencies) { return 8 + 3 * frequencies; }
constexpr ULONG USB_AUDIO20_CLOCK_SELECTOR_LENGTH(ULONG pins) { return 7 + pins; }
constexpr ULONG USB_AUDIO20_FEATURE_UNIT_LENGTH(ULONG channelsWithMaster) { return 6 + 4 * channelsWithMaster; }
constexpr ULONG USB_AUDIO20_EFFECT_UNIT_LENGTH(ULONG channelsWithMaster) { return 8 + 4 * channelsWithMaster; }
constexpr ULONG USB_AUDIO20_MIXER_UNIT_LENGTH(ULONG pins, ULONG mixerControlBytes) { return 13 + pins + mixerControlBytes; }
constexpr ULONG USB_AUDIO20_SELECTOR_UNIT_LENGTH(ULONG pins) { return 7 + pins; }
constexpr ULONG USB_AUDIO20_PROCESSING_UNIT_LENGTH(ULONG pins, ULONG specific) { return 16 + pins + specific; }
constexpr ULONG USB_AUDIO20_EXTENSION_UNIT_LENGTH(ULONG pins) { return 15 + pins; }
