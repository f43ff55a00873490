/*
 * parser_checks.h - what must hold after each daemon parser of outside text
 * (the agent's version text and status report, pid file text, q7ctl's
 * arguments) whatever the input; shared by the fuzz targets and the unit
 * test that replays their corpus. Each returns the first broken rule, or
 * nullptr.
 */
#ifndef PARSER_CHECKS_H
#define PARSER_CHECKS_H

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "q7ctl_args.h"
#include "tsh_agent.h"
#include "tsh_daemon.h"

namespace parser_checks {

constexpr size_t version_size = 128, patch_size = 16;  // the daemon's buffers
constexpr size_t guard = 8;
constexpr char guard_byte = '\x5A';

// A scanned part: terminated inside its buffer with the guard after it
// intact, free of blanks and of the character that ends it, and a piece of
// the text it came from.
inline const char *part_violation(const char *text, const char *out, size_t size, char stop)
{
    for (size_t i = size; i < size + guard; ++i)
        if (out[i] != guard_byte)
            return "wrote past the buffer";
    const void *end = std::memchr(out, '\0', size);
    if (!end)
        return "not terminated within the buffer";
    const std::string_view part(out, static_cast<size_t>(static_cast<const char *>(end) - out));
    if (part.find_first_of(" \t\n\r\f\v") != std::string_view::npos || part.find(stop) != std::string_view::npos)
        return "holds a blank or its closing character";
    if (!part.empty() && !std::strstr(text, out))
        return "not taken from the text";
    return nullptr;
}

// The part as sscanf reads it with the agent text's own pattern (`%s` bound
// to the buffer), cut at its closing character.
inline std::string sscanf_part(const char *text, const char *name, const char *pattern, char stop)
{
    char out[version_size] = "";
    const char *at = std::strstr(text, name);
    if (at && std::sscanf(at, pattern, out) == 1)
        if (char *cut = std::strchr(out, stop))
            *cut = '\0';
    return out;
}

inline const char *version_violation(const char *text)
{
    char version[version_size + guard], patch[patch_size + guard];
    std::memset(version, guard_byte, sizeof version);
    std::memset(patch, guard_byte, sizeof patch);
    scan_version_info(text, version, version_size, patch, patch_size);
    const char *v = part_violation(text, version, version_size, '"');
    v = v ? v : part_violation(text, patch, patch_size, '}');
    if (v)
        return v;
    if (version != sscanf_part(text, "\"version\"", "\"version\": \"%127s\"", '"') ||
        patch != sscanf_part(text, "\"patch_level\"", "\"patch_level\": %15s", '}'))
        return "read otherwise than sscanf reads it";
    return nullptr;
}

// The report counts as read exactly when it is JSON: members of other types
// or missing members are logged as absent, not refused.
inline const char *status_report_violation(const char *text)
{
    cJSON *doc = cJSON_Parse(text);
    const bool json = doc != nullptr;
    cJSON_Delete(doc);
    const int rc = log_status_report(text);
    if (rc != 0 && rc != 1)
        return "result neither 0 nor 1";
    return (rc == 0) == json ? nullptr : "accepted a text that is not JSON, or refused one that is";
}

// A pid is 1..99999999, written in the text; a refused text leaves *pid.
inline const char *pid_violation(const char *text)
{
    constexpr int untouched = -7;
    int pid = untouched;
    const int rc = parse_pid(text, &pid);
    if (rc == 0)
        return pid == untouched ? nullptr : "refused text changed the pid";
    if (rc != 1)
        return "result neither 0 nor 1";
    if (pid < 1 || pid > 99999999)
        return "pid out of 1..99999999";
    return std::strstr(text, std::to_string(pid).c_str()) ? nullptr : "pid not written in the text";
}

inline bool usable_name(const std::string &s)
{
    return !s.empty() && s.size() <= 63 && s.find_first_of(" \t\r\n=") == std::string::npos;
}

// An accepted command holds exactly what its arguments said, with usable
// names; a refused one says why.
inline const char *q7ctl_violation(int argc, const char *const *argv)
{
    q7ctl::Command cmd;
    std::string err;
    if (!q7ctl::parse_args(argc, argv, cmd, err))
        return err.empty() ? "refused without a reason" : nullptr;
    const std::string_view arg1 = argc > 1 ? argv[1] : "";
    switch (cmd.verb) {
    case q7ctl::Verb::Get:
    case q7ctl::Verb::Set: {
        const q7ctl::Address &a = cmd.addr;
        if (!usable_name(a.table) || !usable_name(a.field) || a.table.find('.') != std::string::npos ||
            a.field.find('.') != std::string::npos)
            return "address with an empty or unusable table or field";
        if (!arg1.starts_with(a.table + ".") || !arg1.ends_with("." + a.field))
            return "address not the one given";
        if (argc != (cmd.verb == q7ctl::Verb::Set ? 3 : 2))
            return "accepted a wrong argument count";
        return cmd.verb == q7ctl::Verb::Get || cmd.value == argv[2] ? nullptr : "set value not the one given";
    }
    case q7ctl::Verb::Show:
    case q7ctl::Verb::Watch:
    case q7ctl::Verb::Schema:
        if (cmd.tables.size() != static_cast<size_t>(argc - 1) || (cmd.verb != q7ctl::Verb::Watch && argc > 2))
            return "table count not the one given";
        for (size_t i = 0; i < cmd.tables.size(); ++i)
            if (!usable_name(cmd.tables[i]) || cmd.tables[i] != argv[i + 1])
                return "empty, unusable or altered table name";
        return nullptr;
    case q7ctl::Verb::Load:
        return argc == 2 && cmd.file == arg1 ? nullptr : "load file not the one given";
    case q7ctl::Verb::Help:
        return argc == 1 ? nullptr : "help with arguments";
    }
    return "unknown verb";
}

// The same for an argument list given as one text: every NUL ends an
// argument, the last one ends at the end of the text.
inline const char *q7ctl_violation(std::string_view input)
{
    std::string text(input);
    text += '\0';
    std::vector<const char *> argv;
    for (size_t at = 0; at < input.size(); at = text.find('\0', at) + 1)
        argv.push_back(text.c_str() + at);
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    return q7ctl_violation(argc, argv.data());
}

}  // namespace parser_checks

#endif
