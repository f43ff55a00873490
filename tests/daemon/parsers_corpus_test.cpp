// The fuzz corpus of each daemon parser of outside text, seeds and kept
// reproducers, replayed through the parser in every build: the rules of
// fuzz/parser_checks.h hold for each text, and a scan event read from the
// agent replaces the whole last scan's state in Q7.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/parser_checks.h"
#include "tsh_dal.h"

namespace {

// (file name, contents) of each text in tests/fuzz/corpus/TARGET.
std::vector<std::pair<std::string, std::string>> corpus(const char *target)
{
    const char *root = std::getenv("TSH_SOURCE_DIR");
    std::vector<std::pair<std::string, std::string>> texts;
    if (!root)
        return texts;
    for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::path(root) / "tests/fuzz/corpus" / target)) {
        std::ifstream in(entry.path(), std::ios::binary);
        texts.emplace_back(entry.path().filename().string(), std::string(std::istreambuf_iterator<char>(in), {}));
    }
    return texts;
}

}  // namespace

TEST(ParserCorpus, EveryTextKeepsItsParsersRules)
{
    const std::pair<const char *, const char *(*)(const char *)> parsers[] = {
        {"version", parser_checks::version_violation},
        {"status_report", parser_checks::status_report_violation},
        {"pidfile", parser_checks::pid_violation},
    };
    for (const auto &[target, check] : parsers) {
        const auto texts = corpus(target);
        EXPECT_GE(texts.size(), 5u) << target << ": corpus missing (TSH_SOURCE_DIR unset?)";
        for (const auto &[name, text] : texts)
            EXPECT_STREQ(check(text.c_str()), nullptr) << target << "/" << name;
    }
    const auto args = corpus("q7ctl_args");
    EXPECT_GE(args.size(), 5u);
    for (const auto &[name, text] : args)
        EXPECT_STREQ(parser_checks::q7ctl_violation(text), nullptr) << "q7ctl_args/" << name;
}

namespace {

constexpr char RA_EVENT[] = "TelvaRAEvent";
const char *const SCAN_FIELDS[] = {"saVAScanStatus", "saVAScanType", "saVAScanReason", "saVAScanResult"};

class ScanEventCorpus : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(dal_init(), 0); }
    void TearDown() override
    {
        // The fixture server is shared: leave the defaults.
        for (const char *f : SCAN_FIELDS)
            q7_set_ascii(dal_get_handle(), RA_EVENT, 0, f, "");
        q7_set_enum(dal_get_handle(), RA_EVENT, 0, "saVAScanEvent", "false");
        dal_destroy();
    }
    static std::string get(const char *field)
    {
        char buf[64] = "(unread)";
        q7_get_text(dal_get_handle(), RA_EVENT, 0, field, buf, sizeof buf);
        return buf;
    }
};

// The status member as the scan status field can hold it: printable ASCII
// shorter than its 64 bytes, else nothing.
std::string storable_status(const cJSON *doc)
{
    const cJSON *s = cJSON_GetObjectItem(doc, "status");
    if (!cJSON_IsString(s))
        return "";
    const std::string text = s->valuestring;
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7e)
            return "";
    return text.size() < 64 ? text : "";
}

}  // namespace

TEST_F(ScanEventCorpus, EachEventReplacesTheLastScansFields)
{
    const auto texts = corpus("scan_event");
    EXPECT_GE(texts.size(), 5u);
    for (const auto &[name, text] : texts) {
        for (const char *f : SCAN_FIELDS)
            ASSERT_EQ(q7_set_ascii(dal_get_handle(), RA_EVENT, 0, f, "stale"), Q7_OK);
        ASSERT_EQ(q7_set_enum(dal_get_handle(), RA_EVENT, 0, "saVAScanEvent", "false"), Q7_OK);
        update_scan_status_from_raw_response(text.c_str());

        cJSON *doc = cJSON_Parse(text.c_str());
        if (!doc) {
            // A text that is no event changes nothing.
            for (const char *f : SCAN_FIELDS)
                EXPECT_EQ(get(f), "stale") << name << ": " << f;
            EXPECT_EQ(get("saVAScanEvent"), "false") << name;
            continue;
        }
        for (const char *f : SCAN_FIELDS)
            EXPECT_NE(get(f), "stale") << name << ": " << f << " kept from the last scan";
        const cJSON *status = cJSON_GetObjectItem(doc, "status");
        if (cJSON_IsString(status)) {
            EXPECT_EQ(get("saVAScanStatus"), storable_status(doc)) << name;
            EXPECT_EQ(get("saVAScanEvent"), "true") << name;
        }
        cJSON_Delete(doc);
    }
}
