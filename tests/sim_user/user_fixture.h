// A machine with the test driver, and the check every user-mode test ends
// with: each process's exit report is empty.
#pragma once

#include "platform/win32/file_io.h"
#include "platform/win32/process.h"
#include "platform/win32/synch.h"
#include "sim/kernel/dispatcher.h"
#include "sim/user/handles.h"
#include "sim/user/process_manager.h"
#include "tests/sim_user/test_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

namespace user_test {

// Polls until `condition` holds; false after a generous bound.
inline bool Eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

class UserModeTest : public ::testing::Test {
protected:
    explicit UserModeTest(ULONG ioFlags = DO_BUFFERED_IO) : device(machine, ioFlags) {}

    void TearDown() override {
        // Every process exits before the test driver's device goes; a
        // test that expects leaks takes its process's report itself.
        for (const auto& process : machine.processes().All()) {
            if (process->IsSystem() || expectLeaks_.count(process.get()) != 0) continue;
            process->Exit(0, true);
            EXPECT_TRUE(process->Report().Empty()) << "process " << process->Id() << ":\n" << process->Report().Text();
        }
    }

    std::shared_ptr<sim::Process> NewProcess(sim::ProcessOptions options = {}) {
        return machine.processes().Create(std::move(options));
    }
    void ExpectLeaks(sim::Process& process) { expectLeaks_.insert(&process); }

    HANDLE Open(DWORD flags = FILE_FLAG_OVERLAPPED) {
        return CreateFileW(kTestPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    }

    sim::Machine machine;
    TestDevice device;

private:
    std::set<sim::Process*> expectLeaks_;
};

}  // namespace user_test
