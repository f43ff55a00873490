// tsh_json.cpp - the test-only allocation failures of the daemon's JSON
// building (TSH_TEST_JSON_ALLOC_FAIL_AT=n): shows that no path sends a text
// built half-way. Without the variable cJSON keeps its own allocator.
#include "tsh_json.h"

#include <atomic>
#include <cstdlib>

#include "tsh_log.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_json";

// Set once on the main thread before any other thread runs.
long fail_at = 0;
// Counted by every thread that builds JSON.
std::atomic<bool> armed{false};
std::atomic<long> counted{0};
thread_local int building = 0;

void *counting_malloc(size_t size)
{
    if (building > 0 && armed.load() && counted.fetch_add(1) + 1 == fail_at) {
        TSH_LOG(TSH_ERROR, "test: JSON allocation %ld made to fail\n", fail_at);
        return nullptr;
    }
    return std::malloc(size);
}
}  // namespace

void json_fault_init()
{
    const char *v = std::getenv("TSH_TEST_JSON_ALLOC_FAIL_AT");
    fail_at = v ? std::strtol(v, nullptr, 10) : 0;
    if (fail_at <= 0)
        return;
    cJSON_Hooks hooks{counting_malloc, std::free};
    cJSON_InitHooks(&hooks);
}

void json_fault_arm()
{
    armed = fail_at > 0;
}

JsonBuilding::JsonBuilding()
{
    ++building;
}

JsonBuilding::~JsonBuilding()
{
    --building;
}
