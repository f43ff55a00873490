/*
 * q7ctl_args.cpp - q7ctl's argument parser.
 */
#include "q7ctl_args.h"

#include <cstring>

namespace q7ctl {
namespace {

struct VerbRule {
    const char *name;
    Verb verb;
    int min_args, max_args;  // after the verb; -1: no limit
};

constexpr VerbRule kVerbs[] = {
    {"get", Verb::Get, 1, 1},     {"set", Verb::Set, 2, 2},     {"show", Verb::Show, 0, 1},
    {"watch", Verb::Watch, 0, -1}, {"load", Verb::Load, 1, 1},   {"schema", Verb::Schema, 0, 1},
    {"help", Verb::Help, 0, 0},   {"--help", Verb::Help, 0, 0}, {"-h", Verb::Help, 0, 0},
};

bool valid_name(std::string_view s)
{
    return !s.empty() && s.size() <= 63 && s.find_first_of(" \t\r\n=") == std::string_view::npos;
}

}  // namespace

bool parse_address(std::string_view text, Address &a)
{
    size_t first = text.find('.'), last = text.rfind('.');
    if (first == std::string_view::npos)
        return false;
    a.table.assign(text.substr(0, first));
    a.field.assign(text.substr(last + 1));
    a.row = 0;
    if (first != last) {
        std::string_view row = text.substr(first + 1, last - first - 1);
        if (row.empty() || row.size() > 9 || row.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        for (char c : row)
            a.row = a.row * 10 + static_cast<unsigned>(c - '0');
    }
    return valid_name(a.table) && valid_name(a.field);
}

bool parse_args(int argc, const char *const *argv, Command &cmd, std::string &err)
{
    cmd = Command{};
    if (argc < 1 || !argv || !argv[0]) {
        err = "no command given";
        return false;
    }
    const VerbRule *rule = nullptr;
    for (const auto &v : kVerbs)
        if (strcmp(v.name, argv[0]) == 0)
            rule = &v;
    if (!rule) {
        err = std::string("unknown command \"") + argv[0] + "\"";
        return false;
    }
    int n = argc - 1;
    if (n < rule->min_args || (rule->max_args >= 0 && n > rule->max_args)) {
        err = std::string(argv[0]) + ": wrong number of arguments";
        return false;
    }
    cmd.verb = rule->verb;
    for (int i = 1; i < argc; i++) {
        if (!argv[i]) {
            err = "missing argument";
            return false;
        }
    }
    switch (cmd.verb) {
    case Verb::Get:
    case Verb::Set:
        if (!parse_address(argv[1], cmd.addr)) {
            err = std::string(argv[0]) + ": \"" + argv[1] + "\" is not TABLE[.ROW].FIELD";
            return false;
        }
        if (cmd.verb == Verb::Set)
            cmd.value = argv[2];
        break;
    case Verb::Load:
        cmd.file = argv[1];
        break;
    case Verb::Show:
    case Verb::Watch:
    case Verb::Schema:
        for (int i = 1; i < argc; i++) {
            if (!valid_name(argv[i])) {
                err = std::string(argv[0]) + ": \"" + argv[i] + "\" is not a table name";
                return false;
            }
            cmd.tables.emplace_back(argv[i]);
        }
        break;
    case Verb::Help:
        break;
    }
    return true;
}

}  // namespace q7ctl
