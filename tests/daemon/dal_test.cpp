// The daemon's own Q7 error texts.
#include <gtest/gtest.h>

#include <string>

#include "tsh_dal.h"
#include "tsh_main.h"

// The dispatcher asks the daemon whether it is stopping; this test runs no
// daemon, so it never is.
bool tsh_shutting_down()
{
    return false;
}

TEST(ErrorMessage, GivesTheTextOfEachCodeAndUnknownOutside)
{
    EXPECT_STREQ(error_message(0), "No Error");
    EXPECT_STREQ(error_message(1), "Connection Timeout");
    EXPECT_STREQ(error_message(3), "Q7_NOSUCH_ITEM ERROR");
    EXPECT_STREQ(error_message(9), "Q7 Unknown Error");
    EXPECT_STREQ(error_message(10), "Unknown");
    EXPECT_STREQ(error_message(-1), "Unknown");
}

TEST(DalKeyCompare, OrdersByKeyTextAlone)
{
    dal_subscription a{}, b{};
    std::snprintf(a.key, sizeof a.key, "TelvaCfg.action");
    std::snprintf(b.key, sizeof b.key, "TelvaCfg.SAAliveState");
    b.handler = [](void *) {};
    EXPECT_GT(dal_key_compare(&a, &b), 0);
    std::snprintf(b.key, sizeof b.key, "TelvaCfg.action");
    EXPECT_EQ(dal_key_compare(&a, &b), 0) << "the handler is not part of the key";
}
