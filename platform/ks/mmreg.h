// Wave formats (mmreg.h): WAVEFORMATEX and WAVEFORMATEXTENSIBLE. Both are
// byte-packed on Windows, so WAVEFORMATEX is 18 bytes and the extensible
// form 40.
#pragma once

#include "platform/base/types.h"

#include <cstddef>

inline constexpr WORD WAVE_FORMAT_PCM = 0x0001;
inline constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// dwChannelMask speaker positions.
inline constexpr DWORD SPEAKER_FRONT_LEFT = 0x1;
inline constexpr DWORD SPEAKER_FRONT_RIGHT = 0x2;
inline constexpr DWORD SPEAKER_FRONT_CENTER = 0x4;
inline constexpr DWORD SPEAKER_LOW_FREQUENCY = 0x8;
inline constexpr DWORD KSAUDIO_SPEAKER_MONO = SPEAKER_FRONT_CENTER;
inline constexpr DWORD KSAUDIO_SPEAKER_STEREO = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;  // bytes of format-specific data that follow
};

struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18 && alignof(WAVEFORMATEX) == 1);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8);
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12);
static_assert(offsetof(WAVEFORMATEX, wBitsPerSample) == 14);
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);

// cbSize of an extensible format: the fields after WAVEFORMATEX.
inline constexpr WORD WAVEFORMATEXTENSIBLE_EXTRA_SIZE = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
static_assert(WAVEFORMATEXTENSIBLE_EXTRA_SIZE == 22);
