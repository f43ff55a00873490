// tsh_json.cpp - marks where the daemon builds its own JSON texts; reads the
// agent's.
#include "tsh_json.h"

#include <cstring>

namespace {
thread_local int building = 0;
}  // namespace

JsonBuilding::JsonBuilding()
{
    ++building;
}

JsonBuilding::~JsonBuilding()
{
    --building;
}

bool json_building()
{
    return building > 0;
}

const cJSON *child(const cJSON *j, const char *name)
{
    return j ? cJSON_GetObjectItem(j, name) : nullptr;
}

const char *string_or(const cJSON *j, const char *fallback)
{
    return cJSON_IsString(j) && j->valuestring ? j->valuestring : fallback;
}

void scan_member(const char *text, const char *name, bool quoted, char stop, char *out, size_t size)
{
    if (!out || size == 0)
        return;
    std::memset(out, 0, size);
    if (!text)
        return;
    const char *p = std::strstr(text, name);
    if (!p)
        return;
    p += std::strlen(name);
    if (*p++ != ':')
        return;
    constexpr const char blanks[] = " \t\n\r\f\v";
    p += std::strspn(p, blanks);
    if (quoted && *p++ != '"')
        return;
    p += std::strspn(p, blanks);
    size_t n = std::strcspn(p, blanks);
    const char *cut = static_cast<const char *>(std::memchr(p, stop, n));
    if (cut)
        n = static_cast<size_t>(cut - p);
    if (n > size - 1)
        n = size - 1;
    std::memcpy(out, p, n);
}
