// Requests on filter handles from several threads while the subdevice is
// unregistered under them: every request either reaches a live miniport or
// is refused, and nothing is used after PortCls let go of it.
#include "test_adapter.h"

#include "sim/kernel/kernel.h"

#include <thread>

namespace portcls_test {
namespace {

TEST_F(PortClsTest, PropertyRequestsRaceWithUnregistration) {
    Arrive();
    constexpr int kThreads = 3;
    constexpr int kAfterRefusal = 20;
    TestFile files[kThreads] = {TestFile(u"\\Wave"), TestFile(u"\\Wave"), TestFile(u"\\Wave")};
    for (auto& file : files) ASSERT_EQ(Create(file).status, STATUS_SUCCESS);

    std::atomic<int> started{0};
    std::atomic<int> answered{0};
    std::atomic<int> refused{0};
    std::atomic<int> wrong{0};
    std::atomic<int> revived{0};  // answered after a refusal on the same handle
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            sim::MachineScope scope(machine);
            ++started;
            // Until the unregistration shows, then a few more.
            int refusals = 0;
            while (refusals < kAfterRefusal && wrong == 0) {
                KSPROPERTY property{{KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, KSPROPERTY_TYPE_GET}};
                KSCOMPONENTID id{};
                const Completion done = Property(files[t], &property, sizeof(property), &id, sizeof(id));
                if (done.status == STATUS_SUCCESS && id.Revision == 7) {
                    ++answered;
                    if (refusals != 0) ++revived;
                } else if (done.status == STATUS_DEVICE_REMOVED) {
                    ++refused;
                    ++refusals;
                } else {
                    ++wrong;
                }
            }
        });
    while (started < kThreads) std::this_thread::yield();
    while (answered < kThreads * 20) std::this_thread::yield();

    IUnregisterSubdevice* unregister = nullptr;
    ASSERT_EQ(world.lastPort->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
              STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(world.fdo, world.lastPort), STATUS_SUCCESS);
    unregister->Release();
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(revived, 0);
    EXPECT_EQ(refused, kThreads * kAfterRefusal);
    EXPECT_EQ(world.liveMiniports, 0);
    for (auto& file : files) EXPECT_EQ(Close(file).status, STATUS_SUCCESS);
    Depart();
    EXPECT_EQ(LiveBlocks(), 0u) << machine.kernel().pool().LeakReport();
}

}  // namespace
}  // namespace portcls_test
