/*
 * q7ctl_args.h - command-line parsing of q7ctl, apart from the tool so that
 * it can be tested and fuzzed on its own. No I/O, no Q7 access.
 */
#ifndef Q7CTL_ARGS_H
#define Q7CTL_ARGS_H

#include <string>
#include <string_view>
#include <vector>

namespace q7ctl {

// TABLE[.ROW].FIELD; row 0 when not given.
struct Address {
    std::string table;
    unsigned row = 0;
    std::string field;
};

enum class Verb { Help, Get, Set, Show, Watch, Load, Schema };

struct Command {
    Verb verb = Verb::Help;
    Address addr;                     // get, set
    std::string value;                // set
    std::vector<std::string> tables;  // show, watch, schema (show/schema: at most one)
    std::string file;                 // load
};

bool parse_address(std::string_view text, Address &a);

// argv holds the arguments after the program name. False with a reason in
// err when they do not form a command.
bool parse_args(int argc, const char *const *argv, Command &cmd, std::string &err);

}  // namespace q7ctl

#endif
