// Per-thread IRQL and the thread context that holds it.
#include "platform/kernel/irql.h"

#include "sim/kernel/thread_context.h"
#include "sim/kernel/thread_record.h"
#include "sim/verifier.h"

namespace sim {

ThreadContext& Here() {
    thread_local ThreadContext context;
    return context;
}

ThreadContext::~ThreadContext() {
    if (adopted) adopted->Exit();
}

}  // namespace sim

KIRQL KeGetCurrentIrql() { return sim::Here().irql; }

KIRQL KfRaiseIrql(KIRQL newIrql) {
    sim::ThreadContext& here = sim::Here();
    const KIRQL old = here.irql;
    if (newIrql < old) sim::VerifierStop("KeRaiseIrql to IRQL %u, below the current IRQL %u", newIrql, old);
    here.irql = newIrql;
    return old;
}

KIRQL KeRaiseIrqlToDpcLevel() { return KfRaiseIrql(DISPATCH_LEVEL); }

void KeLowerIrql(KIRQL newIrql) {
    sim::ThreadContext& here = sim::Here();
    if (newIrql > here.irql) sim::VerifierStop("KeLowerIrql to IRQL %u, above the current IRQL %u", newIrql, here.irql);
    if (newIrql < DISPATCH_LEVEL && here.heldCount > 0)
        sim::VerifierStop("IRQL lowered to %u while spin lock %p is held", newIrql,
                          static_cast<void*>(here.held[here.heldCount - 1].lock));
    here.irql = newIrql;
}
