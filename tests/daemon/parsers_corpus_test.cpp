// Each fuzz corpus (seeds and kept reproducers) replayed in every build and its
// sanitizers: the rules of fuzz/parser_checks.h and kjson/discovered_check.h hold.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/parser_checks.h"
#include "kjson/discovered_check.h"

TEST(ParserCorpus, EveryTextKeepsItsParsersRules)
{
    using Check = const char *(*)(const std::string &);
    const std::pair<const char *, Check> parsers[] = {
        {"version", [](const std::string &t) { return parser_checks::version_violation(t.c_str()); }},
        {"status_report", [](const std::string &t) { return parser_checks::status_report_violation(t.c_str()); }},
        {"pidfile", [](const std::string &t) { return parser_checks::pid_violation(t.c_str()); }},
        {"q7ctl_args", [](const std::string &t) { return parser_checks::q7ctl_violation(t); }},
        {"discovered", [](const std::string &t) { return discovered_violation(t.c_str()); }},
        // Without a Q7 connection its writes fail at once: only the parsing runs.
        {"scan_event", [](const std::string &t) -> const char * { return update_scan_status_from_raw_response(t.c_str()), nullptr; }},
    };
    const char *root = std::getenv("TSH_SOURCE_DIR");
    ASSERT_NE(root, nullptr);
    for (const auto &[target, check] : parsers) {
        int texts = 0;
        for (const auto &e : std::filesystem::directory_iterator(std::string(root) + "/tests/fuzz/corpus/" + target)) {
            std::ifstream in(e.path(), std::ios::binary);
            EXPECT_STREQ(check(std::string(std::istreambuf_iterator<char>(in), {})), nullptr) << e.path();
            ++texts;
        }
        EXPECT_GE(texts, 5) << target;
    }
}
