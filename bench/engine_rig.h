// The maker's device (32 channels) on a simulated machine with an adapter
// built on its PDO, as the benchmarks of the engine use it. The device
// clock stays still unless a benchmark moves it.
#pragma once

#include "driver/adapter/adapter.h"
#include "driver/core/device_extension.h"
#include "driver/stream/engine.h"
#include "platform/base/ntstatus.h"
#include "sim/io/io_manager.h"
#include "sim/machine.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"

#include <memory>

namespace bench {

// Every direction's default format: 32 channels of 32 bits.
struct EveryChannel final : IDefaultFormatSource {
    NTSTATUS GetDefaultFormat(bool, ULONG* channels, ULONG* bits) override {
        *channels = 32;
        *bits = 32;
        return STATUS_SUCCESS;
    }
};

struct EngineRig {
    sim::Machine machine;
    std::shared_ptr<sim::usb::VirtualDevice> device;
    DEVICE_OBJECT* fdo = nullptr;
    AdapterCommon* adapter = nullptr;
    EveryChannel formats;
    bool ready = false;  // the adapter was built
    bool started = false;  // and started with AsioStart

    EngineRig(sim::usb::BusSpeed speed, ULONG rate, bool start) {
        sim::usb::MakerDeviceOptions options;
        options.speed = speed;
        options.channels = 32;
        device = std::make_shared<sim::usb::VirtualDevice>(sim::usb::MakerDevice(options));
        sim::usb::UsbPort* port = machine.usb().Plug(device);
        DRIVER_OBJECT* driver = machine.io().CreateDriverObject(u"\\Driver\\ovubench");
        IoCreateDevice(driver, kDeviceExtensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        if (!NT_SUCCESS(AdapterCommon::Create(&adapter)) ||
            !NT_SUCCESS(adapter->Init(sim::usb::HostController::Pdo(port), fdo)))
            return;
        StreamEngine& engine = adapter->Engine();
        engine.SetCurrentRate(rate);
        engine.AttachDefaultFormatSource(&formats);
        ready = true;
        started = start && NT_SUCCESS(engine.AsioStart());
    }
    ~EngineRig() {
        if (adapter != nullptr) {
            if (started) adapter->Engine().AsioStop();
            adapter->Release();
        }
        if (fdo != nullptr) IoDeleteDevice(fdo);
    }
};

}  // namespace bench
