// The driver's static data-range tables, per bus speed and direction.
//
// Two sets: the limits set says what a bus speed can carry (which rates a
// format may use, and the channel count reported when a format is applied);
// the pin set is what the streaming pins of the filter offer. Each entry is
// one bit depth and one rate (minimum equal to maximum), ordered by depth,
// then rate. The capture and playback tables of a set hold the same values.
#pragma once

#include "platform/base/types.h"
#include "platform/ks/ksmedia.h"

struct AudioRangeTable {
    const KSDATARANGE_AUDIO* Entries = nullptr;
    ULONG Count = 0;
};

// `busSpeed` is kBusSpeedSuper (3), kBusSpeedHigh (2) or anything else for
// full speed.
AudioRangeTable AudioLimitsTable(ULONG busSpeed, bool capture);
AudioRangeTable AudioPinRangeTable(ULONG busSpeed, bool capture);

// The first entry whose rate range holds `rate`, or nullptr.
const KSDATARANGE_AUDIO* FindAudioRangeForRate(AudioRangeTable table, ULONG rate);
