// Shared helpers of the kernel executive tests.
#pragma once

#include "platform/kernel/kernel.h"
#include "sim/kernel/kernel.h"
#include "sim/kernel/thread_record.h"
#include "sim/machine.h"

#include <gtest/gtest.h>

#include <thread>

namespace kernel_test {

// A fresh machine per test; the test body runs on it, in session 0 (where a
// bare object name is a global one).
class KernelTest : public ::testing::Test {
protected:
    KernelTest() { sim::SetCurrentSessionId(0); }
    sim::Machine machine;
    sim::Kernel& kernel = machine.kernel();
};

// A relative kernel time-out of `ms` milliseconds.
inline LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}

// Spins (yielding) until `done()`; the test's own time-out catches a hang.
template <class Predicate>
void WaitUntil(Predicate done) {
    while (!done()) std::this_thread::yield();
}

}  // namespace kernel_test
