// test_hooks.cpp - the test build's side of tsh_hooks.h (linked into TeSvcHdlr only with
// TSH_TEST_HOOKS), set from the environment: TSH_TEST_RETRY_UNIT_MS, TSH_TEST_CHECK_PERIOD_MS
// (the knobs, in ms); TSH_TEST_AGENT_START_DELAY_MS (an agent start after start-up waits, past its
// stop check, for a teardown past the agent's release, at most this long); TSH_TEST_HOLD_STAGE 10,
// 11 or 12 (that start-up stage waits for the stop first); TSH_TEST_JSON_ALLOC_FAIL_AT n (the n-th
// allocation in a JsonBuilding scope, counted once armed, fails: nothing half built is sent).
#include "tsh_hooks.h"

#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <mutex>

#include "tsh_daemon.h"
#include "tsh_json.h"
#include "tsh_log.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_hooks";

long env_number(const char *name, long fallback)
{
    const char *v = std::getenv(name);
    const long n = v ? std::strtol(v, nullptr, 10) : 0;
    return n > 0 ? n : fallback;
}

// Guarded by released_lock: set by the teardown (main thread) once the agent is released,
// awaited by a held agent start (Q7 thread).
std::mutex released_lock;
std::condition_variable released_cv;
bool agent_released = false;

// Set once on the main thread before any other thread runs.
long fail_at = 0;
// Counted by every thread that builds JSON; started_up once json_fault_arm was called.
std::atomic<bool> armed{false}, started_up{false};
std::atomic<long> counted{0};

void *counting_malloc(size_t size)
{
    if (json_building() && armed.load() && counted.fetch_add(1) + 1 == fail_at) {
        TSH_LOG(TSH_ERROR, "test: JSON allocation %ld made to fail\n", fail_at);
        return nullptr;
    }
    return std::malloc(size);
}
}  // namespace

long test_knob(Knob knob, long product)
{
    switch (knob) {
    case Knob::RetryUnitMs:
        return env_number("TSH_TEST_RETRY_UNIT_MS", product);
    case Knob::CheckPeriodMs:
        return env_number("TSH_TEST_CHECK_PERIOD_MS", product);
    }
    return product;
}

void test_point(TestPoint point)
{
    static const long agent_start = env_number("TSH_TEST_AGENT_START_DELAY_MS", 0);
    static const long held = env_number("TSH_TEST_HOLD_STAGE", 0);
    // A held agent start after start-up (on the Q7 thread) goes on once the teardown has released the
    // agent and is about to close Q7, which waits for this thread: the start has to undo itself.
    if (point == TestPoint::AgentReleased) {
        {
            std::lock_guard<std::mutex> g(released_lock);
            agent_released = true;
        }
        released_cv.notify_all();
    }
    if (point == TestPoint::AgentStart && started_up && agent_start > 0) {
        std::unique_lock<std::mutex> g(released_lock);
        released_cv.wait_for(g, std::chrono::milliseconds(agent_start), [] { return agent_released; });
    }
    // A held stage waits for the stop, so that the stop comes while it runs (stage 10: past the
    // agent start's stop check).
    if ((point == TestPoint::AgentStart && !started_up && held == 10) ||
        (point == TestPoint::Subscriptions && held == 11) || (point == TestPoint::ModuleVersion && held == 12))
        sleep_unless_shutdown(30000);
}

void json_fault_init()
{
    fail_at = env_number("TSH_TEST_JSON_ALLOC_FAIL_AT", 0);
    if (fail_at == 0)
        return;
    cJSON_Hooks hooks{counting_malloc, std::free};
    cJSON_InitHooks(&hooks);
}

void json_fault_arm()
{
    started_up = true;
    armed = fail_at > 0;
}
