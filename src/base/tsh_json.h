// tsh_json.h - ownership of cJSON objects and printed texts (every one is
// released by the scope that made it, on every path), and the readers of the
// agent's JSON texts.
#ifndef TSH_JSON_H
#define TSH_JSON_H

#include <cjson/cJSON.h>

#include <cstddef>
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

// A text handed out by the broker library, released with free.
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

// Child member of an object, or NULL; names ignore case as the agent's
// members may be written either way.
const cJSON *child(const cJSON *j, const char *name);
// The string's text, or `fallback` when it is none.
const char *string_or(const cJSON *j, const char *fallback);

// The value as sscanf reads `"name": "%s"` (quoted) or `"name": %s` from
// the name's first occurrence: the colon right after the name, any white
// space, the opening quote when `quoted`, then, past any white space, the
// run of non-white-space characters; cut at `stop` and to size - 1
// characters. Empty when the member is missing or not in that form.
void scan_member(const char *text, const char *name, bool quoted, char stop, char *out, size_t size);

#endif
