// DPCs and work items on the machine's own threads.
#include "kernel_test.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

using kernel_test::KernelTest;
using kernel_test::WaitUntil;

struct Record {
    std::mutex mutex;
    std::vector<std::string> calls;
    void Add(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
    }
};

struct Probe {
    const char* name;
    Record* record;
    sim::Machine* machine = nullptr;
    KIRQL irql = 0xFF;
};

void RecordDpc(KDPC*, PVOID context, PVOID argument1, PVOID) {
    auto* probe = static_cast<Probe*>(context);
    probe->irql = KeGetCurrentIrql();
    probe->machine = sim::Machine::Current();
    probe->record->Add(std::string(probe->name) + ":" + std::to_string(reinterpret_cast<ULONG_PTR>(argument1)));
}

// Holds the DPC thread (spinning, as DPCs may not wait) until released.
std::atomic<bool> gate_open{false};
std::atomic<bool> gate_entered{false};
void GateDpc(KDPC*, PVOID, PVOID, PVOID) {
    gate_entered = true;
    WaitUntil([] { return gate_open.load(); });
}

class DpcTest : public KernelTest {
protected:
    void HoldDpcThread() {
        gate_open = false;
        gate_entered = false;
        KeInitializeDpc(&gate_, GateDpc, nullptr);
        ASSERT_TRUE(KeInsertQueueDpc(&gate_, nullptr, nullptr));
        WaitUntil([] { return gate_entered.load(); });
    }
    void ReleaseDpcThread() { gate_open = true; }
    KDPC gate_;
};

TEST_F(DpcTest, RunInOrderOnceUntilRunAtDispatchLevel) {
    Record record;
    Probe a{"a", &record}, b{"b", &record}, c{"c", &record};
    KDPC dpcA, dpcB, dpcC;
    KeInitializeDpc(&dpcA, RecordDpc, &a);
    KeInitializeDpc(&dpcB, RecordDpc, &b);
    KeInitializeDpc(&dpcC, RecordDpc, &c);

    HoldDpcThread();
    EXPECT_TRUE(KeInsertQueueDpc(&dpcA, reinterpret_cast<PVOID>(1), nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&dpcB, reinterpret_cast<PVOID>(2), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpcA, reinterpret_cast<PVOID>(3), nullptr));  // queued: arguments stay
    EXPECT_TRUE(KeInsertQueueDpc(&dpcC, reinterpret_cast<PVOID>(4), nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpcB));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpcB));
    ReleaseDpcThread();
    kernel.DrainDpcs();

    EXPECT_EQ(record.calls, (std::vector<std::string>{"a:1", "c:4"}));
    EXPECT_EQ(a.irql, DISPATCH_LEVEL);
    EXPECT_EQ(a.machine, &machine);
    // Once run, it may be queued again.
    EXPECT_TRUE(KeInsertQueueDpc(&dpcA, reinterpret_cast<PVOID>(5), nullptr));
    kernel.DrainDpcs();
    EXPECT_EQ(record.calls.back(), "a:5");
}

TEST_F(DpcTest, FlushWaitsForEverythingQueuedBefore) {
    Record record;
    Probe a{"a", &record};
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &a);
    HoldDpcThread();
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    std::atomic<bool> flushed{false};
    std::thread flusher([&] {
        sim::MachineScope scope(machine);
        KeFlushQueuedDpcs();
        flushed = true;
    });
    EXPECT_FALSE(flushed);
    ReleaseDpcThread();
    flusher.join();
    EXPECT_EQ(record.calls, (std::vector<std::string>{"a:0"}));
}

TEST_F(DpcTest, ADpcMayQueueItselfAgain) {
    struct Rearm {
        KDPC dpc;
        int remaining = 5;
        int runs = 0;
    } rearm;
    KeInitializeDpc(
        &rearm.dpc,
        [](KDPC* dpc, PVOID context, PVOID, PVOID) {
            auto* self = static_cast<Rearm*>(context);
            ++self->runs;
            if (--self->remaining > 0) {
                EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
            }
        },
        &rearm);
    KeInsertQueueDpc(&rearm.dpc, nullptr, nullptr);
    kernel.DrainDpcs();
    EXPECT_EQ(rearm.runs, 5);
}

TEST_F(KernelTest, WorkItemsRunInOrderAtPassiveLevel) {
    Record record;
    struct Item {
        WORK_QUEUE_ITEM item;
        Record* record;
        const char* name;
        KIRQL irql = 0xFF;
        sim::Machine* machine = nullptr;
    };
    Item first{{}, &record, "first"}, second{{}, &record, "second"};
    auto routine = [](PVOID parameter) {
        auto* self = static_cast<Item*>(parameter);
        self->irql = KeGetCurrentIrql();
        self->machine = sim::Machine::Current();
        self->record->Add(self->name);
    };
    ExInitializeWorkItem(&first.item, routine, &first);
    ExInitializeWorkItem(&second.item, routine, &second);
    {
        // Queued from a DPC-level caller, as completion paths do.
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExQueueWorkItem(&first.item, DelayedWorkQueue);
        KeLowerIrql(old);
    }
    kernel.QueueWork([&] { record.Add("function"); });
    ExQueueWorkItem(&second.item, DelayedWorkQueue);
    kernel.DrainWork();
    EXPECT_EQ(record.calls, (std::vector<std::string>{"first", "function", "second"}));
    EXPECT_EQ(first.irql, PASSIVE_LEVEL);
    EXPECT_EQ(first.machine, &machine);
    // Done items may be queued again.
    ExQueueWorkItem(&first.item, CriticalWorkQueue);
    kernel.DrainWork();
    EXPECT_EQ(record.calls.back(), "first");
}

TEST_F(KernelTest, RunUntilQuietFollowsWorkIntoDpcsAndBack) {
    static KDPC dpc;
    static std::atomic<int> steps{0};
    steps = 0;
    KeInitializeDpc(
        &dpc,
        [](KDPC*, PVOID, PVOID, PVOID) {
            ++steps;
            sim::CurrentMachine().kernel().QueueWork([] { ++steps; });
        },
        nullptr);
    kernel.QueueWork([] {
        ++steps;
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
    });
    kernel.RunUntilQuiet();
    EXPECT_EQ(steps, 3);
}

}  // namespace
