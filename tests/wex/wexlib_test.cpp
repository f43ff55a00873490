/*
 * wexlib_test.cpp - DID updates by MAC against the fixture Q7 server: the
 * right row and no other, refused input writes nothing, init/uninit
 * sequences, cutting, and concurrent callers.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "q7lib.h"
#include "wait_until.h"
#include "wexlib.h"

namespace {

const char *const table = "Wexsignature";

class Wex : public ::testing::Test {
protected:
    q7_handle *q7 = nullptr;

    void SetUp() override
    {
        q7 = q7_init();
        ASSERT_NE(q7, nullptr) << "fixture Q7 server at $Q7_SOCKET";
        for (unsigned int row = 0; row < WEX_DEVICE_ROWS; ++row) {
            set_mac(row, 0);
            ASSERT_EQ(q7_set_ascii(q7, table, row, "DeviceDID", ""), Q7_OK);
        }
        set_mac(5, 0x05);
        set_mac(9, 0x09);
        ASSERT_EQ(wex_init(), WEX_OK);
    }

    void TearDown() override
    {
        wex_uninit();
        if (q7)
            q7_destroy(q7);
    }

    // Row `row` holds AA:BB:CC:00:00:<last>; last 0 clears it.
    void set_mac(unsigned int row, uint8_t last)
    {
        const uint8_t mac[6] = {0xAA, 0xBB, 0xCC, 0x00, 0x00, last};
        const uint8_t none[6] = {};
        ASSERT_EQ(q7_set_mac(q7, table, row, "DeviceMAC", last ? mac : none), Q7_OK);
    }

    std::string did(unsigned int row)
    {
        char buf[WEX_DID_WIDTH] = {};
        EXPECT_EQ(q7_get_ascii(q7, table, row, "DeviceDID", buf, sizeof buf), Q7_OK);
        return buf;
    }

    // Rows whose DID is not empty.
    std::vector<unsigned int> written_rows()
    {
        std::vector<unsigned int> rows;
        for (unsigned int row = 0; row < WEX_DEVICE_ROWS; ++row)
            if (!did(row).empty())
                rows.push_back(row);
        return rows;
    }

    static int update(const char *mac, const char *value, int width = WEX_DID_WIDTH)
    {
        return wex_update_table_field(mac, WEX_FIELD_DEVICE_MAC, value, width, WEX_FIELD_DEVICE_DID);
    }
};

using Rows = std::vector<unsigned int>;

} // namespace

TEST_F(Wex, KnownMacWritesCutDidAtItsRowOnly)
{
    EXPECT_EQ(update("AA:BB:CC:00:00:09", "did-nine"), WEX_OK);
    EXPECT_EQ(update("aa:bb:cc:00:00:05", "did-five"), WEX_OK);
    EXPECT_EQ(did(9), "did-nine");
    EXPECT_EQ(did(5), "did-five");
    EXPECT_EQ(written_rows(), (Rows{5, 9}));

    // Cut to value_width - 1 characters, never more than the field's 64.
    const std::string longer(100, 'd');
    EXPECT_EQ(update("AA:BB:CC:00:00:05", longer.c_str()), WEX_OK);
    EXPECT_EQ(did(5), std::string(64, 'd'));
    char unterminated[WEX_DID_WIDTH];
    std::memset(unterminated, 'u', sizeof unterminated);
    EXPECT_EQ(update("AA:BB:CC:00:00:09", unterminated), WEX_OK);
    EXPECT_EQ(did(9), std::string(64, 'u'));
    EXPECT_EQ(update("AA:BB:CC:00:00:09", "0123456789", 5), WEX_OK);
    EXPECT_EQ(did(9), "0123");
}

TEST_F(Wex, DeviceThatMovedOrAppearedIsFound)
{
    ASSERT_EQ(update("AA:BB:CC:00:00:05", "first"), WEX_OK); // fills the cache
    set_mac(5, 0);
    set_mac(200, 0x05);
    set_mac(201, 0x77);
    // Found once the library's own subscription has seen the rows change.
    EXPECT_TRUE(wait_until([&] { return update("AA:BB:CC:00:00:05", "moved") == WEX_OK; }));
    EXPECT_TRUE(wait_until([&] { return update("AA:BB:CC:00:00:77", "new") == WEX_OK; }));
    EXPECT_EQ(did(200), "moved");
    EXPECT_EQ(did(201), "new");
    EXPECT_EQ(did(5), "first");
}

TEST_F(Wex, RefusedCallsReturnTheirCodeAndWriteNothing)
{
    EXPECT_EQ(update("AA:BB:CC:00:00:06", "x"), WEX_ERR_NO_DEVICE);
    EXPECT_EQ(update("00:00:00:00:00:00", "x"), WEX_ERR_NO_DEVICE); // every unused row holds it
    for (const char *bad : {"", "AA:BB:CC:00:00", "AA:BB:CC:00:00:05:", "AA-BB-CC-00-00-05", "AA:BB:CC:00:00:0G",
                            " AA:BB:CC:00:00:05", "AA:BB:CC:00:00:05 ", "AABBCC000005", "AA:BB:CC:00:00:5",
                            "AA:BB:CC:00:000:5"})
        EXPECT_EQ(update(bad, "x"), WEX_ERR_BAD_MAC) << '"' << bad << '"';
    EXPECT_EQ(wex_update_table_field("AA:BB:CC:00:00:05", 22, "x", WEX_DID_WIDTH, WEX_FIELD_DEVICE_DID),
              WEX_ERR_FIELD);
    EXPECT_EQ(wex_update_table_field("AA:BB:CC:00:00:05", WEX_FIELD_DEVICE_MAC, "x", WEX_DID_WIDTH, 31),
              WEX_ERR_FIELD);
    EXPECT_EQ(update(nullptr, "x"), WEX_ERR_ARG);
    EXPECT_EQ(update("AA:BB:CC:00:00:05", nullptr), WEX_ERR_ARG);
    EXPECT_EQ(update("AA:BB:CC:00:00:05", "x", 0), WEX_ERR_ARG);
    EXPECT_EQ(update("AA:BB:CC:00:00:05", "not\tprintable"), WEX_ERR_Q7);
    EXPECT_EQ(written_rows(), Rows{});
}

TEST_F(Wex, InitAndUninitInAnyOrder)
{
    EXPECT_EQ(wex_init(), WEX_OK); // already initialised
    wex_uninit();
    wex_uninit();
    EXPECT_EQ(update("AA:BB:CC:00:00:05", "x"), WEX_ERR_NOT_INIT);
    EXPECT_EQ(written_rows(), Rows{});

    const char *real = std::getenv("Q7_SOCKET");
    ASSERT_NE(real, nullptr);
    const std::string saved = real;
    setenv("Q7_SOCKET", "/nonexistent/q7.sock", 1);
    EXPECT_EQ(wex_init(), WEX_ERR_Q7);
    EXPECT_EQ(update("AA:BB:CC:00:00:05", "x"), WEX_ERR_NOT_INIT);
    wex_uninit(); // after a failed init
    setenv("Q7_SOCKET", saved.c_str(), 1);

    ASSERT_EQ(wex_init(), WEX_OK);
    EXPECT_EQ(update("AA:BB:CC:00:00:05", "again"), WEX_OK);
    EXPECT_EQ(did(5), "again");
}

// Updaters on several threads while another closes and reopens the library:
// every call ends with a defined code (run under tsan for races).
TEST_F(Wex, ConcurrentCallersAndReinit)
{
    std::atomic<bool> bad_code{false};
    std::vector<std::thread> threads;
    for (uint8_t last = 20; last < 24; ++last) {
        set_mac(last, last);
        threads.emplace_back([last, &bad_code] {
            char mac[18];
            std::snprintf(mac, sizeof mac, "AA:BB:CC:00:00:%02X", last);
            for (int i = 0; i < 50; ++i) {
                int rc = update(mac, "did");
                bad_code = bad_code || (rc != WEX_OK && rc != WEX_ERR_NOT_INIT);
            }
        });
    }
    threads.emplace_back([] {
        for (int i = 0; i < 10; ++i) {
            wex_uninit();
            wex_init();
        }
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_FALSE(bad_code);
    ASSERT_EQ(wex_init(), WEX_OK);
    EXPECT_EQ(update("AA:BB:CC:00:00:17", "final"), WEX_OK);
    EXPECT_EQ(did(23), "final");
}
