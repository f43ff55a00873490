// The fuzz corpus of each parser of outside text, seeds and kept
// reproducers, replayed in every build: the rules of fuzz/parser_checks.h and
// kjson/discovered_check.h hold for each text, and a scan event replaces the
// last scan's state.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "fuzz/parser_checks.h"
#include "kjson/discovered_check.h"
#include "tsh_dal.h"

namespace {

// File name -> contents of each text in tests/fuzz/corpus/TARGET; at least five.
std::map<std::string, std::string> corpus(const char *target)
{
    std::map<std::string, std::string> texts;
    const char *root = std::getenv("TSH_SOURCE_DIR");
    for (const auto &e : std::filesystem::directory_iterator(std::string(root ? root : "") + "/tests/fuzz/corpus/" + target)) {
        std::ifstream in(e.path(), std::ios::binary);
        texts[e.path().filename()] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_GE(texts.size(), 5u) << target;
    return texts;
}

}  // namespace

TEST(ParserCorpus, EveryTextKeepsItsParsersRules)
{
    const std::pair<const char *, const char *(*)(const std::string &)> parsers[] = {
        {"version", [](const std::string &t) { return parser_checks::version_violation(t.c_str()); }},
        {"status_report", [](const std::string &t) { return parser_checks::status_report_violation(t.c_str()); }},
        {"pidfile", [](const std::string &t) { return parser_checks::pid_violation(t.c_str()); }},
        {"q7ctl_args", [](const std::string &t) { return parser_checks::q7ctl_violation(t); }},
        {"discovered", [](const std::string &t) { return discovered_violation(t.c_str()); }},
    };
    for (const auto &[target, check] : parsers)
        for (const auto &[name, text] : corpus(target))
            EXPECT_STREQ(check(text), nullptr) << target << "/" << name;
}

// An event replaces every field of the last scan (a status too long or not
// printable by nothing), a text that is no event none.
TEST(ParserCorpus, EachScanEventReplacesTheLastScansFields)
{
    const char *const fields[] = {"saVAScanStatus", "saVAScanType", "saVAScanReason", "saVAScanResult"};
    ASSERT_EQ(dal_init(), 0);
    auto get = [](const char *field) {
        char buf[64] = "(unread)";
        q7_get_text(dal_get_handle(), "TelvaRAEvent", 0, field, buf, sizeof buf);
        return std::string(buf);
    };
    for (const auto &[name, text] : corpus("scan_event")) {
        for (const char *f : fields)
            ASSERT_EQ(q7_set_ascii(dal_get_handle(), "TelvaRAEvent", 0, f, "stale"), Q7_OK);
        update_scan_status_from_raw_response(text.c_str());
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_Parse(text.c_str()), cJSON_Delete);
        for (const char *f : fields)
            EXPECT_EQ(get(f) == "stale", !doc) << name << ": " << f;
        const cJSON *status = cJSON_GetObjectItem(doc.get(), "status");
        const std::string want = cJSON_IsString(status) ? status->valuestring : "";
        const bool storable = want.size() < 64 && std::all_of(want.begin(), want.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
        EXPECT_TRUE(!doc || get(fields[0]) == (storable ? want : "")) << name;
    }
    for (const char *f : fields)  // the fixture server is shared: leave the defaults
        q7_set_ascii(dal_get_handle(), "TelvaRAEvent", 0, f, "");
    dal_destroy();
}
