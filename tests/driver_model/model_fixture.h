// A simulated machine with one virtual device plugged in (no function
// driver bound) and the device model started on its physical device object,
// as the adapter does.
#pragma once

#include "driver/core/audio_device.h"
#include "platform/kernel/pool.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/usb/device/virtual_device.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/builder.h"
#include "sim/usb/profile/profiles.h"
#include "tests/support/machine_test.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace usb = sim::usb;

class ModelTest : public test_support::MachineTest {
protected:
    std::shared_ptr<usb::VirtualDevice> device;
    usb::UsbPort* port = nullptr;
    std::unique_ptr<UsbAudioDevice> model = std::make_unique<UsbAudioDevice>();
    ULONG midi = 0xFFFFFFFF;

    NTSTATUS Start(const usb::Description& description, usb::DeviceBehaviour behaviour = {}) {
        return Start(std::make_shared<usb::VirtualDevice>(description, std::move(behaviour)));
    }
    NTSTATUS Start(usb::DescriptorSet set, usb::DeviceBehaviour behaviour = {}) {
        return Start(std::make_shared<usb::VirtualDevice>(std::move(set), std::move(behaviour)));
    }
    NTSTATUS Start(std::shared_ptr<usb::VirtualDevice> plugged) {
        device = std::move(plugged);
        port = Plug(device);
        return model->Start(usb::HostController::Pdo(port), 11, &midi);
    }
    // Starts and selects the configuration, as the adapter's Init does.
    void StartConfigured(const usb::Description& description, usb::DeviceBehaviour behaviour = {}) {
        ASSERT_EQ(Start(description, std::move(behaviour)), STATUS_SUCCESS);
        ASSERT_EQ(model->SelectConfiguration(), STATUS_SUCCESS);
        device->ClearControlLog();
    }

    size_t LiveUsbaBlocks() { return machine.kernel().pool().Stats(PoolTag("USBA")).liveBlocks; }

    // Class and vendor requests the device received (not the standard ones).
    std::vector<usb::ControlRecord> ClassRequests() {
        std::vector<usb::ControlRecord> found;
        for (const auto& record : device->ControlLog())
            if ((record.setup.bmRequestType & 0x60) != 0) found.push_back(record);
        return found;
    }

    void TearDown() override {
        model->Destroy();
        // Everything the model took from pool comes back.
        EXPECT_EQ(LiveUsbaBlocks(), 0u) << machine.kernel().pool().LeakReport();
        model.reset();
        if (port != nullptr) machine.usb().Unplug(port);
    }

    template <class T = AudioEntity>
    T* Entity(LONG id) {
        return static_cast<T*>(model->FindEntity(id));
    }
};

// The configuration bytes of a description, for tests that edit them.
inline std::vector<UCHAR> ConfigurationOf(const usb::Description& description) {
    return usb::BuildDescriptorSet(description).configuration;
}
