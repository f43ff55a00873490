// parser_checks.h - what must hold after each parser of outside text, whatever the input
// (fuzz targets, corpus replay test): each returns the first broken rule, or nullptr.
#pragma once

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "q7ctl_args.h"
#include "tsh_agent.h"
#include "tsh_daemon.h"

namespace parser_checks {

// The part as sscanf reads it with the agent text's own pattern (`%Ns`
// bound to the daemon's buffer), cut at its closing character.
inline std::string sscanf_part(const char *text, const char *name, const char *pattern, char stop)
{
    char out[128] = "";
    const char *at = std::strstr(text, name);
    if (at && std::sscanf(at, pattern, out) == 1 && std::strchr(out, stop))
        *std::strchr(out, stop) = '\0';
    return out;
}

// Version (128 bytes) and patch level (16): each terminated in its buffer,
// nothing written past it, and read as sscanf reads it.
inline const char *version_violation(const char *text)
{
    char version[128 + 8], patch[16 + 8];
    std::memset(version, 'Z', sizeof version);
    std::memset(patch, 'Z', sizeof patch);
    scan_version_info(text, version, 128, patch, 16);
    if (std::string_view(version + 128, 8) != "ZZZZZZZZ" || std::string_view(patch + 16, 8) != "ZZZZZZZZ" ||
        !std::memchr(version, '\0', 128) || !std::memchr(patch, '\0', 16))
        return "not terminated within its buffer, or written past it";
    if (version != sscanf_part(text, "\"version\"", "\"version\": \"%127s\"", '"') ||
        patch != sscanf_part(text, "\"patch_level\"", "\"patch_level\": %15s", '}'))
        return "read otherwise than sscanf reads it";
    return nullptr;
}

// Read (0) exactly when it is JSON: members of other types or missing ones
// are logged as absent, not refused (1).
inline const char *status_report_violation(const char *text)
{
    cJSON *doc = cJSON_Parse(text);
    cJSON_Delete(doc);
    return log_status_report(text) == (doc ? 0 : 1) ? nullptr : "not read exactly when it is JSON";
}

// A pid is 1..99999999, written in the text; a refused text leaves *pid.
inline const char *pid_violation(const char *text)
{
    int pid = -7;
    const int rc = parse_pid(text, &pid);
    const bool ok = rc == 0 ? pid == -7 : rc == 1 && pid >= 1 && pid <= 99999999 && std::strstr(text, std::to_string(pid).c_str());
    return ok ? nullptr : "refused with a changed pid, or accepted another pid than the text's";
}

// An argument list (after the program name) given as one text, split at
// each NUL. A refused one says why; an accepted one, rebuilt from the
// command (a name not usable, or an address not the one given, comes back
// as a NUL no argument holds), is the list given.
inline const char *q7ctl_violation(std::string_view input)
{
    std::vector<std::string> args;
    for (size_t at = 0; at < input.size(); at = std::min(input.find('\0', at), input.size()) + 1)
        args.emplace_back(input.substr(at, input.find('\0', at) - at));
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    q7ctl::Command cmd;
    std::string err;
    if (!q7ctl::parse_args(int(args.size()), argv.data(), cmd, err))
        return err.empty() ? "refused without a reason" : nullptr;
    auto usable = [](const std::string &s) { return !s.empty() && s.size() <= 63 && s.find_first_of(" \t\r\n=") == s.npos; };
    const q7ctl::Address &a = cmd.addr;
    const std::string nul(1, '\0'), given = args.size() > 1 ? args[1] : "";
    std::vector<std::string> said{args[0]};
    if (cmd.verb == q7ctl::Verb::Get || cmd.verb == q7ctl::Verb::Set)
        said.push_back(usable(a.table) && usable(a.field) && (a.table + a.field).find('.') == a.table.npos &&
                               given.starts_with(a.table + ".") && given.ends_with("." + a.field) ? given : nul);
    if (cmd.verb == q7ctl::Verb::Set)
        said.push_back(cmd.value);
    for (size_t i = 0; i < cmd.tables.size(); ++i)  // only watch takes several
        said.push_back(usable(cmd.tables[i]) && (i == 0 || cmd.verb == q7ctl::Verb::Watch) ? cmd.tables[i] : nul);
    if (cmd.verb == q7ctl::Verb::Load)
        said.push_back(cmd.file);
    return said == args ? nullptr : "command not the one given";
}

}  // namespace parser_checks
