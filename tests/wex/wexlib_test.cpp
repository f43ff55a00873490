// wexlib against the fixture Q7 server: the DID lands in the row that holds the MAC
// and no other, refused calls write nothing, a moved or new device is found.
#include <gtest/gtest.h>

#include "q7lib.h"
#include "wait_until.h"
#include "wexlib.h"

namespace {

// Rows 5 and 9 hold AA:BB:CC:00:00:05 and :09, the others no MAC; no DID.
struct Wex : ::testing::Test {
    q7_handle *q7 = q7_init();
    void SetUp() override
    {
        ASSERT_NE(q7, nullptr) << "fixture Q7 server at $Q7_SOCKET";
        for (unsigned row = 0; row < WEX_DEVICE_ROWS; ++row)
            ASSERT_EQ(set_mac(row, row == 5 || row == 9 ? uint8_t(row) : 0) | q7_set_ascii(q7, "Wexsignature", row, "DeviceDID", ""), Q7_OK);
        ASSERT_EQ(wex_init(), WEX_OK);
    }
    void TearDown() override { wex_uninit(), q7_destroy(q7); }
    int set_mac(unsigned row, uint8_t last)  // 0 clears it
    {
        const uint8_t mac[6] = {0xAA, 0xBB, 0xCC, 0x00, 0x00, last}, none[6] = {};
        return q7_set_mac(q7, "Wexsignature", row, "DeviceMAC", last ? mac : none);
    }
    // "row=DID" of every row whose DID is set.
    std::string dids()
    {
        std::string s;
        for (unsigned row = 0; row < WEX_DEVICE_ROWS; ++row) {
            char buf[WEX_DID_WIDTH] = "(unread)";
            q7_get_ascii(q7, "Wexsignature", row, "DeviceDID", buf, sizeof buf);
            s += *buf ? (s.empty() ? "" : " ") + std::to_string(row) + "=" + buf : "";
        }
        return s;
    }
    static int update(const char *mac, const char *did) { return wex_update_table_field(mac, 21, did, WEX_DID_WIDTH, 30); }
};

}  // namespace

TEST_F(Wex, UpdatesWriteTheCutDidAtTheMacsRowOrNothing)
{
    const std::string d64 = "5=" + std::string(64, 'd'), longer(100, 'd'), u65(WEX_DID_WIDTH, 'u');  // u65: unterminated
    const char *const five = "AA:BB:CC:00:00:05", *const nine = "AA:BB:CC:00:00:09";
    struct { const char *mac, *value; int rc; std::string after = ""; int width = WEX_DID_WIDTH, key = 21, field = 30; } rows[] = {
        {nine, "did-nine", WEX_OK, "9=did-nine"}, {"aa:bb:cc:00:00:05", "did-five", WEX_OK, "5=did-five 9=did-nine"},
        {five, longer.c_str(), WEX_OK, d64 + " 9=did-nine"}, {nine, u65.c_str(), WEX_OK, d64 + " 9=" + std::string(64, 'u')},
        {nine, "0123456789", WEX_OK, d64 + " 9=0123", 5},
        {"AA:BB:CC:00:00:06", "x", WEX_ERR_NO_DEVICE}, {"00:00:00:00:00:00", "x", WEX_ERR_NO_DEVICE},  // every unused row's
        {"", "x", WEX_ERR_BAD_MAC}, {"AA:BB:CC:00:00", "x", WEX_ERR_BAD_MAC}, {"AA:BB:CC:00:00:05:", "x", WEX_ERR_BAD_MAC},
        {"AA-BB-CC-00-00-05", "x", WEX_ERR_BAD_MAC}, {"AA:BB:CC:00:00:0G", "x", WEX_ERR_BAD_MAC},
        {"AA:BB:CC:00:00:05 ", "x", WEX_ERR_BAD_MAC}, {"AA:BB:CC:00:00:5", "x", WEX_ERR_BAD_MAC},
        {"AA:BB:CC:00:000:5", "x", WEX_ERR_BAD_MAC}, {five, "x", WEX_ERR_FIELD, "", 65, 22}, {five, "x", WEX_ERR_FIELD, "", 65, 21, 31},
        {nullptr, "x", WEX_ERR_ARG}, {five, nullptr, WEX_ERR_ARG}, {five, "x", WEX_ERR_ARG, "", 0},
        {five, "not\tprintable", WEX_ERR_Q7},
    };
    std::string now;
    for (const auto &r : rows) {
        EXPECT_EQ(wex_update_table_field(r.mac, r.key, r.value, r.width, r.field), r.rc) << (r.mac ? r.mac : "NULL");
        now = r.after.empty() ? now : r.after;  // "": nothing written
        EXPECT_EQ(dids(), now) << (r.mac ? r.mac : "NULL");
    }
}

TEST_F(Wex, DeviceThatMovedOrAppearedIsFound)
{
    ASSERT_EQ(update("AA:BB:CC:00:00:05", "first"), WEX_OK);  // fills the library's index
    ASSERT_EQ(set_mac(5, 0) | set_mac(200, 0x05) | set_mac(201, 0x77), Q7_OK);
    // Found once the library's own subscription has seen the rows change.
    EXPECT_TRUE(wait_until([&] { return update("AA:BB:CC:00:00:05", "moved") == WEX_OK; }));
    EXPECT_TRUE(wait_until([&] { return update("AA:BB:CC:00:00:77", "new") == WEX_OK; }));
    EXPECT_EQ(dids(), "5=first 200=moved 201=new");
}
