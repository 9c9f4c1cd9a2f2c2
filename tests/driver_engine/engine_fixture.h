// A simulated machine with the maker's device plugged in and an adapter
// built on its PDO (no driver installed, so PnP leaves the PDO to the test).
#pragma once

#include "driver/adapter/adapter.h"
#include "driver/core/device_extension.h"
#include "driver/stream/asio_file_context.h"
#include "driver/stream/engine.h"
#include "platform/base/ntstatus.h"
#include "platform/io/device.h"
#include "sim/io/io_manager.h"
#include "sim/kernel/kernel.h"
#include "sim/machine.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/profile/profiles.h"
#include "tests/support/asio_handle.h"
#include "tests/support/machine_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace engine_test {

using sim::usb::BusSpeed;
using sim::usb::HostController;
using sim::usb::VirtualDevice;

inline constexpr UCHAR kOutEndpoint = 0x01;
inline constexpr UCHAR kInEndpoint = 0x81;

using test_support::AsioHandle;
using test_support::Eventually;
using test_support::ReadRequest;

struct DeviceSetup {
    BusSpeed speed = BusSpeed::High;
    ULONG rate = 48000;
    std::optional<std::uint8_t> channels{};
    std::optional<std::uint16_t> maxPacketSize{};
    bool isochronous = false;
    // Another device than the maker's (the fields above then do not apply).
    std::optional<sim::usb::Description> description{};
};

class EngineTest : public test_support::MachineTest {
protected:
    std::shared_ptr<VirtualDevice> device;
    DEVICE_OBJECT* fdo = nullptr;
    AdapterCommon* adapter = nullptr;
    StreamEngine* engine = nullptr;
    // The endpoint records' formats, as the adapter would read them.
    struct Formats final : IDefaultFormatSource {
        ULONG channels = 2;
        ULONG bits = 32;
        NTSTATUS status = STATUS_SUCCESS;
        int calls = 0;
        NTSTATUS GetDefaultFormat(bool, ULONG* c, ULONG* b) override {
            ++calls;
            *c = channels;
            *b = bits;
            return status;
        }
    } formats;

    void Build(const DeviceSetup& setup) {
        sim::usb::MakerDeviceOptions options;
        options.speed = setup.speed;
        options.channels = setup.channels;
        options.maxPacketSize = setup.maxPacketSize;
        options.isochronous = setup.isochronous;
        device = std::make_shared<VirtualDevice>(setup.description.value_or(sim::usb::MakerDevice(options)));
        sim::usb::UsbPort* port = Plug(device);
        DRIVER_OBJECT* driver = machine.io().CreateDriverObject(u"\\Driver\\ovuengine");
        ASSERT_EQ(IoCreateDevice(driver, kDeviceExtensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo),
                  STATUS_SUCCESS);
        fdo->Flags |= DO_BUFFERED_IO;
        ASSERT_EQ(AdapterCommon::Create(&adapter), STATUS_SUCCESS);
        ASSERT_EQ(adapter->Init(HostController::Pdo(port), fdo), STATUS_SUCCESS);
        engine = &adapter->Engine();
        engine->SetCurrentRate(setup.rate);
        engine->AttachDefaultFormatSource(&formats);
        device->CaptureCounter();
    }

    void TearDown() override {
        if (adapter != nullptr) adapter->Release();
        if (fdo != nullptr) IoDeleteDevice(fdo);
    }

    void Attach(AsioHandle& handle) { ASSERT_EQ(handle.Attach(*engine), STATUS_SUCCESS); }

    bool Primed() { return test_support::Primed(*adapter, *device); }

    // The data endpoints of the device's first streaming settings.
    UCHAR InEndpoint() const { return adapter->Device().CaptureInterface->Alts[1].DataEndpoint->bEndpointAddress; }
    UCHAR OutEndpoint() const { return adapter->Device().PlaybackInterface->Alts[1].DataEndpoint->bEndpointAddress; }

    ULONG FramesPerIn() const {
        const auto view = engine->Direction(true);
        return ChunkBytesToFrames(adapter->Device().BusSpeed(), engine->CurrentRate(), view.transferBytes);
    }

    // Moves the device clock by whole IN transfers, letting the DPCs and
    // the resubmissions keep up after each one.
    void StepTransfers(ULONG transfers) {
        const ULONG frames = FramesPerIn();
        for (ULONG i = 0; i < transfers; ++i) {
            device->AdvanceFrames(frames);
            machine.kernel().DrainDpcs();
        }
    }

    std::uint64_t PoolAllocations() { return machine.kernel().pool().TotalAllocations(); }
};

}  // namespace engine_test
