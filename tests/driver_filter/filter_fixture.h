// A simulated machine with one virtual device plugged in (no function
// driver bound), the device model started on its physical device object as
// the adapter does, and a filter description built from it.
#pragma once

#include "driver/core/audio_device.h"
#include "driver/core/filter_description.h"
#include "driver/core/filter_node_types.h"
#include "driver/core/node_property.h"
#include "platform/kernel/pool.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/usb/device/virtual_device.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"
#include "sim/usb/profile/raw_dump.h"
#include "tests/support/machine_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace usb = sim::usb;

// The node handler the miniport would give; the tests call NodeProperty
// directly, so it is only ever compared.
inline NTSTATUS TestNodeHandler(PCPROPERTY_REQUEST*) { return STATUS_NOT_IMPLEMENTED; }

class FilterTest : public test_support::MachineTest {
protected:
    std::shared_ptr<usb::VirtualDevice> device;
    usb::UsbPort* port = nullptr;
    std::unique_ptr<UsbAudioDevice> model = std::make_unique<UsbAudioDevice>();
    FilterDescription description{};
    ULONG midi = 0;

    void Plug(std::shared_ptr<usb::VirtualDevice> plugged) {
        device = std::move(plugged);
        port = MachineTest::Plug(device);
        ASSERT_EQ(model->Start(usb::HostController::Pdo(port), 11, &midi), STATUS_SUCCESS);
        usbaAfterStart = UsbaBlocks();
    }
    void Plug(const usb::Description& d, usb::DeviceBehaviour behaviour = {}) {
        Plug(std::make_shared<usb::VirtualDevice>(d, std::move(behaviour)));
    }
    void PlugDump(const std::string& path) {
        const usb::RawDescriptorSet raw = usb::DescriptorSetFromHexFile(path);
        ASSERT_TRUE(raw.set.has_value()) << raw.error;
        // The dumps carry no strings; the model reads the language list.
        usb::DescriptorSet set = *raw.set;
        set.strings[{0, 0}] = usb::LanguageListDescriptor({USB_LANGID_ENGLISH_US});
        Plug(std::make_shared<usb::VirtualDevice>(std::move(set)));
    }

    // Frees what the last device left and plugs another.
    void Replug(const usb::Description& d, usb::DeviceBehaviour behaviour = {}) {
        FreeFilterDescription(&description);
        EXPECT_EQ(DescriptionBlocks(), 0u) << machine.kernel().pool().LeakReport();
        model->Destroy();
        if (port != nullptr) machine.usb().Unplug(port);
        port = nullptr;
        model = std::make_unique<UsbAudioDevice>();
        Plug(d, std::move(behaviour));
    }

    NTSTATUS Build(ULONG rate) { return BuildFilterDescription(*model, rate, TestNodeHandler, nullptr, &description); }

    size_t UsbaBlocks() { return machine.kernel().pool().Stats(kUsbPoolTag).liveBlocks; }
    size_t DatrBlocks() { return machine.kernel().pool().Stats(kFilterRangePoolTag).liveBlocks; }
    // Blocks the description holds beyond the model's own.
    size_t DescriptionBlocks() { return UsbaBlocks() - usbaAfterStart + DatrBlocks(); }

    void TearDown() override {
        FreeFilterDescription(&description);
        EXPECT_EQ(DescriptionBlocks(), 0u) << machine.kernel().pool().LeakReport();
        model->Destroy();
        model.reset();
        if (port != nullptr) machine.usb().Unplug(port);
    }

    const FilterPin& Pin(ULONG n) const { return description.Pins[n]; }
    const FilterNode& Node(ULONG n) const { return description.Nodes[n]; }

    // "pin 2, ADC 0, VOLUME 5, ..." from the upstream end.
    std::string ChainText(const FilterElement* chain) const {
        std::string text;
        for (const FilterElement* e = chain; e != nullptr; e = e->Next) {
            if (!text.empty()) text += ", ";
            if (e->Kind == FilterElementKind::Pin)
                text += "pin " + std::to_string(e->Number);
            else
                text += std::string(NodeTypeName(description.Nodes[e->Number].Descriptor.Type)) + " " +
                        std::to_string(e->Number);
        }
        return text;
    }
    std::string Capture() const { return ChainText(description.CaptureChain); }
    std::string Render() const { return ChainText(description.RenderChain); }

    // "F2>0.1 0.0>5.1 ..." (F: a filter pin, else node.pin), in array order.
    std::string ConnectionsText() const {
        std::string text;
        const auto end = [](ULONG node, ULONG pin) {
            return node == PCFILTER_NODE ? "F" + std::to_string(pin) : std::to_string(node) + "." + std::to_string(pin);
        };
        for (ULONG i = 0; i < description.Filter.ConnectionCount; ++i) {
            const PCCONNECTION_DESCRIPTOR& c = description.Filter.Connections[i];
            if (!text.empty()) text += " ";
            text += end(c.FromNode, c.FromNodePin) + ">" + end(c.ToNode, c.ToNodePin);
        }
        return text;
    }

    // The rates and depths a pin offers, "16/44100 24/44100 ...".
    std::string PinFormats(ULONG n) const {
        std::string text;
        const KSPIN_DESCRIPTOR& ks = Pin(n).Descriptor.KsPinDescriptor;
        for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
            const auto* range = reinterpret_cast<const KSDATARANGE_AUDIO*>(ks.DataRanges[i]);
            if (!text.empty()) text += " ";
            text += std::to_string(range->MaximumChannels) + "ch/" + std::to_string(range->MinimumBitsPerSample) +
                    "/" + std::to_string(range->MinimumSampleFrequency);
            if (range->MinimumBitsPerSample != range->MaximumBitsPerSample ||
                range->MinimumSampleFrequency != range->MaximumSampleFrequency)
                text += "(range)";
        }
        return text;
    }

private:
    size_t usbaAfterStart = 0;
};
