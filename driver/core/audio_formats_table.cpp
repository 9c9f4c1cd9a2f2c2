#include "driver/core/audio_formats_table.h"

#include "driver/core/usb_device.h"

#include <array>

namespace {

constexpr ULONG kBitDepths[] = {16, 24, 32};
constexpr ULONG kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

constexpr KSDATARANGE_AUDIO Range(ULONG channels, ULONG bits, ULONG rate) {
    KSDATARANGE_AUDIO range{};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = bits;
    range.MaximumBitsPerSample = bits;
    range.MinimumSampleFrequency = rate;
    range.MaximumSampleFrequency = rate;
    return range;
}

// Every depth at every rate, with the channel count the speed allows there.
template <ULONG (*Channels)(ULONG rate)>
constexpr std::array<KSDATARANGE_AUDIO, 18> AllRates() {
    std::array<KSDATARANGE_AUDIO, 18> table{};
    ULONG n = 0;
    for (ULONG bits : kBitDepths)
        for (ULONG rate : kRates) table[n++] = Range(Channels(rate), bits, rate);
    return table;
}

constexpr ULONG SuperSpeedChannels(ULONG) { return 32; }
// High speed halves the channels where the packet budget runs out.
constexpr ULONG HighSpeedChannels(ULONG rate) { return rate > 96000 ? 16 : 32; }
constexpr ULONG Stereo(ULONG) { return 2; }

constexpr std::array<KSDATARANGE_AUDIO, 3> FullSpeed() {
    return {Range(2, 16, 44100), Range(2, 24, 44100), Range(2, 32, 44100)};
}

constexpr auto kLimitsSuper = AllRates<SuperSpeedChannels>();
constexpr auto kLimitsHigh = AllRates<HighSpeedChannels>();
constexpr auto kLimitsFull = FullSpeed();
constexpr auto kPinsSuper = AllRates<Stereo>();
constexpr auto kPinsHigh = AllRates<Stereo>();
constexpr auto kPinsFull = FullSpeed();

static_assert(kLimitsHigh[4].MaximumChannels == 16 && kLimitsHigh[3].MaximumChannels == 32);
static_assert(kLimitsSuper[17].MinimumBitsPerSample == 32 && kLimitsSuper[17].MinimumSampleFrequency == 192000);

template <std::size_t N>
AudioRangeTable View(const std::array<KSDATARANGE_AUDIO, N>& table) {
    return {table.data(), static_cast<ULONG>(N)};
}

}  // namespace

AudioRangeTable AudioLimitsTable(ULONG busSpeed, bool) {
    if (busSpeed == kBusSpeedSuper) return View(kLimitsSuper);
    if (busSpeed == kBusSpeedHigh) return View(kLimitsHigh);
    return View(kLimitsFull);
}

AudioRangeTable AudioPinRangeTable(ULONG busSpeed, bool) {
    if (busSpeed == kBusSpeedSuper) return View(kPinsSuper);
    if (busSpeed == kBusSpeedHigh) return View(kPinsHigh);
    return View(kPinsFull);
}

const KSDATARANGE_AUDIO* FindAudioRangeForRate(AudioRangeTable table, ULONG rate) {
    for (ULONG i = 0; i < table.Count; ++i) {
        const KSDATARANGE_AUDIO& entry = table.Entries[i];
        if (entry.MinimumSampleFrequency <= rate && rate <= entry.MaximumSampleFrequency) return &entry;
    }
    return nullptr;
}
