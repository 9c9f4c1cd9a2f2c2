#include "apps/ovuac2sim/device_setup.h"

#include "sim/strings.h"
#include "sim/usb/profile/profiles.h"
#include "sim/usb/profile/raw_dump.h"
#include "sim/usb/profile/string_indices.h"

#include <cstdio>

namespace ovusim {
namespace {

using sim::usb::BusSpeed;
using sim::usb::VirtualDevice;

MadeDevice FromDump(const Options& o) {
    MadeDevice made;
    sim::usb::RawDescriptorSet raw = sim::usb::DescriptorSetFromHexFile(o.rawDump, o.speed);
    if (!raw.set) {
        made.error = "cannot read the descriptor dump " + o.rawDump + ": " + raw.error;
        return made;
    }
    made.speedRule = o.speed ? "--speed" : raw.speedRule;
    made.placeholderStrings = raw.set->strings.empty();
    const std::set<std::uint8_t> filled = sim::usb::AddPlaceholderStrings(*raw.set);
    made.placeholderIndices.assign(filled.begin(), filled.end());
    made.device = std::make_shared<VirtualDevice>(std::move(*raw.set));
    return made;
}

sim::usb::Description FromProfile(const Options& o, BusSpeed speed) {
    switch (o.profile) {
    case Profile::GenericUac2: {
        sim::usb::GenericUac2Options g;
        g.speed = speed;
        g.isochronous = false;  // the driver streams over bulk endpoints only
        if (o.channels) g.channels = static_cast<std::uint8_t>(*o.channels);
        return sim::usb::GenericUac2Device(g);
    }
    case Profile::GenericUac1: {
        sim::usb::GenericUac1Options g;
        g.speed = speed;
        g.isochronous = false;
        if (o.channels) g.channels = static_cast<std::uint8_t>(*o.channels);
        return sim::usb::GenericUac1Device(g);
    }
    case Profile::Midi: {
        sim::usb::MidiDeviceOptions m;
        m.speed = speed;
        return sim::usb::MidiDevice(m);
    }
    case Profile::Maker: break;
    }
    sim::usb::MakerDeviceOptions m;
    m.speed = speed;
    if (o.channels) m.channels = static_cast<std::uint8_t>(*o.channels);
    return sim::usb::MakerDevice(m);
}

}  // namespace

MadeDevice MakeDevice(const Options& o) {
    if (!o.rawDump.empty()) return FromDump(o);
    MadeDevice made;
    made.speedRule = o.speed ? "--speed" : "the profile's default";
    made.device = std::make_shared<VirtualDevice>(FromProfile(o, o.speed.value_or(BusSpeed::High)));
    return made;
}

std::vector<std::u16string> HardwareIds(const VirtualDevice& device) {
    const auto& d = device.Descriptors().device;
    const unsigned vid = d.size() >= 12 ? d[8] | (d[9] << 8) : 0;
    const unsigned pid = d.size() >= 12 ? d[10] | (d[11] << 8) : 0;
    char id[64];
    std::snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X", vid, pid);
    return {sim::ToU16(id) + u"&MI_00", sim::ToU16(id)};
}

}  // namespace ovusim
