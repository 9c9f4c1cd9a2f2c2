// The node types of the filter description: the category a bridge pin gets
// from its terminal's wTerminalType, and the names the description dump
// writes for pins and nodes.
#pragma once

#include "platform/base/types.h"

// The KSNODETYPE_ of the same name as the terminal type (microphones
// 0x0201-0x0206, speakers 0x0301-0x0307, bidirectional 0x0401-0x0405,
// telephony 0x0501-0x0503, external 0x0601-0x0607, embedded
// 0x0701-0x0713); null for any other type, which gets no category.
const GUID* TerminalTypeNodeType(USHORT terminalType);

// "MICROPHONE", "SPEAKER", ... for the listed terminal types, "USB streaming"
// for 0x0101, "Unknown" for anything else.
const char* TerminalTypeName(USHORT terminalType);

// "ADC", "DAC", "MUTE", "VOLUME", "TONE", "EQUALIZER", "AGC", "DELAY",
// "LOUDNESS", "DEV_SPECIFIC", a terminal node type's name, or "Unknown".
const char* NodeTypeName(const GUID* nodeType);
