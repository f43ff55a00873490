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

// Marks the daemon's own building and printing of a JSON text (a test
// build makes allocations inside such a scope fail, tsh_hooks.h).
struct JsonBuilding {
    JsonBuilding();
    ~JsonBuilding();
    JsonBuilding(const JsonBuilding &) = delete;
    JsonBuilding &operator=(const JsonBuilding &) = delete;
};

// True inside a JsonBuilding scope of the calling thread.
bool json_building();

#endif
