// tsh_hooks.h - what a test build of the daemon may change. The product
// links the defaults of tsh_hooks.cpp: each knob keeps the value it is
// given and no fault is made. A test build links tests/hooks/test_hooks.cpp,
// whose definitions replace these.
#ifndef TSH_HOOKS_H
#define TSH_HOOKS_H

enum class Knob {
    RetryUnitMs,    // one second of the agent retry schedule
    CheckPeriodMs,  // the agent check's period
};

// The knob's value: `product` in the product.
long test_knob(Knob knob, long product);

enum class TestPoint {
    AgentStart,     // a start of the broker library, past its stop check
    Subscriptions,  // start-up: the table subscriptions
    ModuleVersion,  // start-up: the version record, past its log line
    AgentReleased,  // teardown: the broker library released, Q7 not yet closed
};
// Where a test build may hold a thread to widen a race, or a start-up stage
// until a stop comes; nothing in the product.
void test_point(TestPoint point);

// JSON allocation faults: set up once on the main thread before any other
// thread runs, armed once start-up is over. Nothing in the product.
void json_fault_init();
void json_fault_arm();

#endif
