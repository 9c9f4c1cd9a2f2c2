// The published identifiers of the kernel-streaming and port-class surface,
// checked against their text form (the record layouts are static_asserted
// in the headers themselves).
#include "platform/ks/ks.h"
#include "platform/ks/ksmedia.h"
#include "platform/portcls/portcls.h"
#include "sim/strings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Published {
    const char* name;
    const GUID& value;
    const char16_t* text;
};

const Published kGuids[] = {
    {"KSDATAFORMAT_TYPE_AUDIO", KSDATAFORMAT_TYPE_AUDIO, u"73647561-0000-0010-8000-00aa00389b71"},
    {"KSDATAFORMAT_SUBTYPE_PCM", KSDATAFORMAT_SUBTYPE_PCM, u"00000001-0000-0010-8000-00aa00389b71"},
    {"KSDATAFORMAT_SUBTYPE_IEEE_FLOAT", KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, u"00000003-0000-0010-8000-00aa00389b71"},
    {"KSDATAFORMAT_SUBTYPE_ANALOG", KSDATAFORMAT_SUBTYPE_ANALOG, u"6dba3190-67bd-11cf-a0f7-0020afd156e4"},
    {"KSDATAFORMAT_SPECIFIER_WAVEFORMATEX", KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, u"05589f81-c356-11ce-bf01-00aa0055595a"},
    {"KSDATAFORMAT_SPECIFIER_DSOUND", KSDATAFORMAT_SPECIFIER_DSOUND, u"518590a2-a184-11d0-8522-00c04fd9baf3"},
    {"KSDATAFORMAT_SPECIFIER_NONE", KSDATAFORMAT_SPECIFIER_NONE, u"0f6417d6-c318-11d0-a43f-00a0c9223196"},
    {"KSDATAFORMAT_TYPE_MUSIC", KSDATAFORMAT_TYPE_MUSIC, u"e725d360-62cc-11cf-a5d6-28db04c10000"},
    {"KSDATAFORMAT_SUBTYPE_MIDI", KSDATAFORMAT_SUBTYPE_MIDI, u"1d262760-e957-11cf-a5d6-28db04c10000"},
    {"KSDATAFORMAT_SUBTYPE_MIDI_BUS", KSDATAFORMAT_SUBTYPE_MIDI_BUS, u"2ca15fa0-6cfe-11cf-a5d6-28db04c10000"},
    {"KSMUSIC_TECHNOLOGY_PORT", KSMUSIC_TECHNOLOGY_PORT, u"86c92e60-62e8-11cf-a5d6-28db04c10000"},
    {"KSCATEGORY_AUDIO", KSCATEGORY_AUDIO, u"6994ad04-93ef-11d0-a3cc-00a0c9223196"},
    {"KSCATEGORY_RENDER", KSCATEGORY_RENDER, u"65e8773e-8f56-11d0-a3b9-00a0c9223196"},
    {"KSCATEGORY_CAPTURE", KSCATEGORY_CAPTURE, u"65e8773d-8f56-11d0-a3b9-00a0c9223196"},
    {"KSCATEGORY_REALTIME", KSCATEGORY_REALTIME, u"eb115ffc-10c8-4964-831d-6dcb02e6f23f"},
    {"KSCATEGORY_TOPOLOGY", KSCATEGORY_TOPOLOGY, u"dda54a40-1e4c-11d1-a050-405705c10000"},
    {"KSPROPSETID_Audio", KSPROPSETID_Audio, u"45ffaaa0-6e1b-11d0-bcf2-444553540000"},
    {"KSPROPSETID_General", KSPROPSETID_General, u"1464eda5-6a8f-11d1-9aa7-00a0c9223196"},
    {"KSPROPTYPESETID_General", KSPROPTYPESETID_General, u"97e99ba0-bdea-11cf-a5d6-28db04c10000"},
    {"KSNODETYPE_DAC", KSNODETYPE_DAC, u"507ae360-c554-11d0-8a2b-00a0c9255ac1"},
    {"KSNODETYPE_ADC", KSNODETYPE_ADC, u"4d837fe0-c555-11d0-8a2b-00a0c9255ac1"},
    {"KSNODETYPE_MUTE", KSNODETYPE_MUTE, u"02b223c0-c557-11d0-8a2b-00a0c9255ac1"},
    {"KSNODETYPE_VOLUME", KSNODETYPE_VOLUME, u"3a5acc00-c557-11d0-8a2b-00a0c9255ac1"},
    {"KSNODETYPE_DEV_SPECIFIC", KSNODETYPE_DEV_SPECIFIC, u"941c7ac0-c559-11d0-8a2b-00a0c9255ac1"},
    {"KSNODETYPE_MICROPHONE", KSNODETYPE_MICROPHONE, u"dff21be1-f70f-11d0-b917-00a0c9223196"},
    {"KSNODETYPE_SYNTHESIZER", KSNODETYPE_SYNTHESIZER, u"dff220f3-f70f-11d0-b917-00a0c9223196"},
    {"IID_IUnknown", IID_IUnknown, u"00000000-0000-0000-c000-000000000046"},
    {"CLSID_PortWaveRT", CLSID_PortWaveRT, u"cc9be57a-eb9e-42b4-94fc-0cad3dbce7fa"},
    {"CLSID_PortMidi", CLSID_PortMidi, u"b4c90a43-5791-11d0-86f9-00a0c911b544"},
    {"IID_IPortWaveRT", IID_IPortWaveRT, u"339ff909-68a9-4310-b09b-274e96ee4cbd"},
    {"IID_IMiniportWaveRT", IID_IMiniportWaveRT, u"0f9fc4d6-6061-4f3c-b1fc-075e35f7960a"},
    {"IID_IMiniportWaveRTStream", IID_IMiniportWaveRTStream, u"000ac9ab-faab-4f3d-9455-6ff8306a74a0"},
    {"IID_IAdapterPowerManagement", IID_IAdapterPowerManagement, u"793417d0-35fe-11d1-ad08-00a0c90ab1b0"},
    {"IID_IPowerNotify", IID_IPowerNotify, u"3dd648b8-969f-11d1-95a9-00c04fb925d3"},
    {"IID_IUnregisterSubdevice", IID_IUnregisterSubdevice, u"16738177-e199-41f9-9a87-abb2a5432f21"},
};

TEST(PublishedIdentifiers, MatchTheirTextForm) {
    for (const auto& guid : kGuids) {
        SCOPED_TRACE(guid.name);
        std::u16string braced = u"{";
        braced += guid.text;
        braced += u"}";
        EXPECT_EQ(sim::GuidToString(guid.value), braced);
    }
}

// The terminal-type node types are the USB terminal GUID with the terminal
// type added; the named constants agree with that rule across every row of
// the terminal table.
TEST(PublishedIdentifiers, TerminalNodeTypesFollowTheTerminalType) {
    const struct {
        USHORT terminalType;
        const GUID& nodeType;
    } rows[] = {
        {0x0201, KSNODETYPE_MICROPHONE},
        {0x0206, KSNODETYPE_PROCESSING_MICROPHONE_ARRAY},
        {0x0301, KSNODETYPE_SPEAKER},
        {0x0307, KSNODETYPE_LOW_FREQUENCY_EFFECTS_SPEAKER},
        {0x0401, KSNODETYPE_HANDSET},
        {0x0405, KSNODETYPE_ECHO_CANCELING_SPEAKERPHONE},
        {0x0501, KSNODETYPE_PHONE_LINE},
        {0x0503, KSNODETYPE_DOWN_LINE_PHONE},
        {0x0601, KSNODETYPE_ANALOG_CONNECTOR},
        {0x0607, KSNODETYPE_1394_DV_STREAM_SOUNDTRACK},
        {0x0701, KSNODETYPE_LEVEL_CALIBRATION_NOISE_SOURCE},
        {0x0713, KSNODETYPE_SYNTHESIZER},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.terminalType);
        EXPECT_EQ(UsbTerminalNodeType(row.terminalType), row.nodeType);
    }
}

}  // namespace
