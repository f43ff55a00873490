// soak_check_test.cpp - the soak's agreement check: a comparison that misses a
// difference lets a lost change pass the soak.
#include "soak_check.h"

#include "proto.h"

#include <gtest/gtest.h>

#include <functional>

using namespace bench;

TEST(SoakCheck, EachDifferenceBetweenQ7AndTheAgentIsOneMismatch)
{
    const Q7View agreed{{{"02:1a:11:00:00:01", "UP", "allow", "uuid-0", "Anna's phone #1"},
                         {"02:1A:11:00:01:0C", "DOWN", "block", "uuid-12", "Soak device 12"}},
                        "true"};
    // MACs in the online list are matched whatever their case.
    const char *agent_text = R"({"protection": true,
        "device_info": {"uuid-0": {"display_name": "Anna's phone #1", "traffic_blocked": 0},
                        "uuid-12": {"display_name": "Soak device 12", "traffic_blocked": 1}},
        "online": {"02:1A:11:00:00:01": {"is_online": 1}, "02:1a:11:00:01:0c": {"is_online": 0}}})";
    struct Case {
        const char *what;
        std::function<void(Q7View &)> change;
        const char *mismatch;  // the one expected, in part; nullptr: they agree
        const char *summary;
    };
    const Case cases[] = {
        {"agree", [](Q7View &) {}, nullptr, "names 2/2, blocks 2/2, online 2/2, protection yes; mismatches 0"},
        {"name", [](Q7View &v) { v.rows[1].name = "Soak device 12 #7"; },
         "row 1 uuid uuid-12: display name Q7 'Soak device 12 #7', agent \"Soak device 12\"", "names 1/2,"},
        {"block", [](Q7View &v) { v.rows[0].block = "block"; },
         "row 0 uuid uuid-0: traffic_blocked Q7 1 ('block'), agent 0", "blocks 1/2,"},
        {"online", [](Q7View &v) { v.rows[1].state = "UP"; },
         "row 1 mac 02:1A:11:00:01:0C: is_online Q7 1 ('UP'), agent 0", "online 1/2,"},
        {"protection", [](Q7View &v) { v.protection = "false"; },
         "protection: Q7 protectionStatus 'false', agent true", "protection no;"},
        {"missing in the agent", [](Q7View &v) { v.rows[0].uuid = "uuid-99"; },
         "row 0 uuid uuid-99: not in the agent's device_info", "names 1/2, blocks 1/2, online 2/2"},
        {"no UUID in Q7", [](Q7View &v) { v.rows[0].uuid = ""; },
         "row 0: no UUID or MAC in Q7 (uuid '', mac '02:1A:11:00:00:01')", "names 1/2, blocks 1/2, online 1/2"},
        // The agent hears of a setting only once it changes: the others of
        // a row are not compared, whatever the agent holds.
        {"settings not compared",
         [](Q7View &v) {
             v.rows[0].compared = 0, v.rows[0].uuid = "uuid-99";
             v.rows[1].compared = kBlock, v.rows[1].name = "renamed", v.rows[1].state = "UP";
         },
         nullptr, "names 0/0, blocks 1/1, online 0/0"},
        {"only the block setting compared", [](Q7View &v) { v.rows[1].compared = kBlock, v.rows[1].block = "allow"; },
         "row 1 uuid uuid-12: traffic_blocked Q7 0 ('allow'), agent 1", "names 1/1, blocks 1/2, online 1/1"},
    };
    const saproto::JsonPtr agent(cJSON_Parse(agent_text));
    ASSERT_TRUE(agent);
    for (const Case &c : cases) {
        Q7View view = agreed;
        c.change(view);
        const Agreement a = compare(view, agent.get());
        EXPECT_EQ(a.agrees(), c.mismatch == nullptr) << c.what;
        EXPECT_EQ(a.mismatches, c.mismatch ? std::vector<std::string>{c.mismatch} : std::vector<std::string>{})
            << c.what;
        EXPECT_NE(a.summary().find(c.summary), std::string::npos) << c.what << ": " << a.summary();
    }
}
