// tsh_json.h - ownership of cJSON objects and printed texts: every one is
// released by the scope that made it, on every path.
#ifndef TSH_JSON_H
#define TSH_JSON_H

#include <cjson/cJSON.h>

#include <cstdlib>
#include <memory>

struct JsonDelete {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
struct JsonTextFree {
    void operator()(char *t) const { cJSON_free(t); }
};
using JsonObject = std::unique_ptr<cJSON, JsonDelete>;
using JsonText = std::unique_ptr<char, JsonTextFree>;

// A text handed out by the agent library, released with free.
struct AgentTextFree {
    void operator()(char *t) const { std::free(t); }
};
using AgentText = std::unique_ptr<char, AgentTextFree>;

// Test-only: TSH_TEST_JSON_ALLOC_FAIL_AT=n makes the n-th allocation made
// inside a JsonBuilding scope, counted from json_fault_arm(), fail.
void json_fault_init();
void json_fault_arm();
// Marks the daemon's own building and printing of a JSON text.
struct JsonBuilding {
    JsonBuilding();
    ~JsonBuilding();
    JsonBuilding(const JsonBuilding &) = delete;
    JsonBuilding &operator=(const JsonBuilding &) = delete;
};

#endif
