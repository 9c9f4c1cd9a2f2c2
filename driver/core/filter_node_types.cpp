#include "driver/core/filter_node_types.h"

#include "platform/ks/ksmedia.h"
#include "platform/usb/audio.h"

#include <cstddef>
#include <iterator>

namespace {

struct NamedType {
    const GUID* type;
    const char* name;
};

// Each row lists its terminal types in code order from the row's first code.
struct TerminalRow {
    USHORT first;
    const NamedType* types;
    USHORT count;
};

constexpr NamedType kInputTypes[] = {
    {&KSNODETYPE_MICROPHONE, "MICROPHONE"},
    {&KSNODETYPE_DESKTOP_MICROPHONE, "DESKTOP_MICROPHONE"},
    {&KSNODETYPE_PERSONAL_MICROPHONE, "PERSONAL_MICROPHONE"},
    {&KSNODETYPE_OMNI_DIRECTIONAL_MICROPHONE, "OMNI_DIRECTIONAL_MICROPHONE"},
    {&KSNODETYPE_MICROPHONE_ARRAY, "MICROPHONE_ARRAY"},
    {&KSNODETYPE_PROCESSING_MICROPHONE_ARRAY, "PROCESSING_MICROPHONE_ARRAY"},
};
constexpr NamedType kOutputTypes[] = {
    {&KSNODETYPE_SPEAKER, "SPEAKER"},
    {&KSNODETYPE_HEADPHONES, "HEADPHONES"},
    {&KSNODETYPE_HEAD_MOUNTED_DISPLAY_AUDIO, "HEAD_MOUNTED_DISPLAY_AUDIO"},
    {&KSNODETYPE_DESKTOP_SPEAKER, "DESKTOP_SPEAKER"},
    {&KSNODETYPE_ROOM_SPEAKER, "ROOM_SPEAKER"},
    {&KSNODETYPE_COMMUNICATION_SPEAKER, "COMMUNICATION_SPEAKER"},
    {&KSNODETYPE_LOW_FREQUENCY_EFFECTS_SPEAKER, "LOW_FREQUENCY_EFFECTS_SPEAKER"},
};
constexpr NamedType kBidirectionalTypes[] = {
    {&KSNODETYPE_HANDSET, "HANDSET"},
    {&KSNODETYPE_HEADSET, "HEADSET"},
    {&KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, "SPEAKERPHONE_NO_ECHO_REDUCTION"},
    {&KSNODETYPE_ECHO_SUPPRESSING_SPEAKERPHONE, "ECHO_SUPPRESSING_SPEAKERPHONE"},
    {&KSNODETYPE_ECHO_CANCELING_SPEAKERPHONE, "ECHO_CANCELING_SPEAKERPHONE"},
};
constexpr NamedType kTelephonyTypes[] = {
    {&KSNODETYPE_PHONE_LINE, "PHONE_LINE"},
    {&KSNODETYPE_TELEPHONE, "TELEPHONE"},
    {&KSNODETYPE_DOWN_LINE_PHONE, "DOWN_LINE_PHONE"},
};
constexpr NamedType kExternalTypes[] = {
    {&KSNODETYPE_ANALOG_CONNECTOR, "ANALOG_CONNECTOR"},
    {&KSNODETYPE_DIGITAL_AUDIO_INTERFACE, "DIGITAL_AUDIO_INTERFACE"},
    {&KSNODETYPE_LINE_CONNECTOR, "LINE_CONNECTOR"},
    {&KSNODETYPE_LEGACY_AUDIO_CONNECTOR, "LEGACY_AUDIO_CONNECTOR"},
    {&KSNODETYPE_SPDIF_INTERFACE, "SPDIF_INTERFACE"},
    {&KSNODETYPE_1394_DA_STREAM, "1394_DA_STREAM"},
    {&KSNODETYPE_1394_DV_STREAM_SOUNDTRACK, "1394_DV_STREAM_SOUNDTRACK"},
};
constexpr NamedType kEmbeddedTypes[] = {
    {&KSNODETYPE_LEVEL_CALIBRATION_NOISE_SOURCE, "LEVEL_CALIBRATION_NOISE_SOURCE"},
    {&KSNODETYPE_EQUALIZATION_NOISE, "EQUALIZATION_NOISE"},
    {&KSNODETYPE_CD_PLAYER, "CD_PLAYER"},
    {&KSNODETYPE_DAT_IO_DIGITAL_AUDIO_TAPE, "DAT_IO_DIGITAL_AUDIO_TAPE"},
    {&KSNODETYPE_DCC_IO_DIGITAL_COMPACT_CASSETTE, "DCC_IO_DIGITAL_COMPACT_CASSETTE"},
    {&KSNODETYPE_MINIDISK, "MINIDISK"},
    {&KSNODETYPE_ANALOG_TAPE, "ANALOG_TAPE"},
    {&KSNODETYPE_PHONOGRAPH, "PHONOGRAPH"},
    {&KSNODETYPE_VCR_AUDIO, "VCR_AUDIO"},
    {&KSNODETYPE_VIDEO_DISC_AUDIO, "VIDEO_DISC_AUDIO"},
    {&KSNODETYPE_DVD_AUDIO, "DVD_AUDIO"},
    {&KSNODETYPE_TV_TUNER_AUDIO, "TV_TUNER_AUDIO"},
    {&KSNODETYPE_SATELLITE_RECEIVER_AUDIO, "SATELLITE_RECEIVER_AUDIO"},
    {&KSNODETYPE_CABLE_TUNER_AUDIO, "CABLE_TUNER_AUDIO"},
    {&KSNODETYPE_DSS_AUDIO, "DSS_AUDIO"},
    {&KSNODETYPE_RADIO_RECEIVER, "RADIO_RECEIVER"},
    {&KSNODETYPE_RADIO_TRANSMITTER, "RADIO_TRANSMITTER"},
    {&KSNODETYPE_MULTITRACK_RECORDER, "MULTITRACK_RECORDER"},
    {&KSNODETYPE_SYNTHESIZER, "SYNTHESIZER"},
};

template <std::size_t N>
constexpr TerminalRow Row(USHORT first, const NamedType (&types)[N]) {
    return {first, types, static_cast<USHORT>(N)};
}

constexpr TerminalRow kTerminalRows[] = {
    Row(0x0201, kInputTypes),    Row(0x0301, kOutputTypes),   Row(0x0401, kBidirectionalTypes),
    Row(0x0501, kTelephonyTypes), Row(0x0601, kExternalTypes), Row(0x0701, kEmbeddedTypes),
};
static_assert(std::size(kEmbeddedTypes) == 0x13);

constexpr NamedType kProcessingTypes[] = {
    {&KSNODETYPE_ADC, "ADC"},           {&KSNODETYPE_DAC, "DAC"},
    {&KSNODETYPE_MUTE, "MUTE"},         {&KSNODETYPE_VOLUME, "VOLUME"},
    {&KSNODETYPE_TONE, "TONE"},         {&KSNODETYPE_EQUALIZER, "EQUALIZER"},
    {&KSNODETYPE_AGC, "AGC"},           {&KSNODETYPE_DELAY, "DELAY"},
    {&KSNODETYPE_LOUDNESS, "LOUDNESS"}, {&KSNODETYPE_DEV_SPECIFIC, "DEV_SPECIFIC"},
};

const NamedType* FindTerminalType(USHORT terminalType) {
    for (const TerminalRow& row : kTerminalRows)
        if (terminalType >= row.first && terminalType < row.first + row.count)
            return &row.types[terminalType - row.first];
    return nullptr;
}

}  // namespace

const GUID* TerminalTypeNodeType(USHORT terminalType) {
    const NamedType* found = FindTerminalType(terminalType);
    return found != nullptr ? found->type : nullptr;
}

const char* TerminalTypeName(USHORT terminalType) {
    if (terminalType == USB_AUDIO_TERMINAL_USB_STREAMING) return "USB streaming";
    const NamedType* found = FindTerminalType(terminalType);
    return found != nullptr ? found->name : "Unknown";
}

const char* NodeTypeName(const GUID* nodeType) {
    if (nodeType == nullptr) return "Unknown";
    for (const NamedType& entry : kProcessingTypes)
        if (*entry.type == *nodeType) return entry.name;
    // Terminal node types by value; the first row that has it names it.
    for (const TerminalRow& row : kTerminalRows)
        for (USHORT i = 0; i < row.count; ++i)
            if (*row.types[i].type == *nodeType) return row.types[i].name;
    return "Unknown";
}
