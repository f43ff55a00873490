// The logging library in a program that defines none of the settings: it
// links, runs on the defaults and still follows dalLogCfg.
#include "dynlog_helpers.h"

TEST_F(LogCfgTest, RunsOnDefaultsWithoutExportedSettings)
{
    StderrCapture err;
    log_printf(1, "tool", 1, "information\n");
    log_printf(2, "tool", 2, "notice\n");
    EXPECT_THAT(err.take(), AllOf(HasSubstr(" -[" + std::to_string(getpid()) + "] <notice> tool:2: notice\n"),
                                  Not(HasSubstr("information"))));
    ASSERT_EQ(dynlog_lib_init(), 0);
    configure(6, false, file("a.log"));
    ASSERT_EQ(set_log_level(0, "Tool", "tool"), 0);
    log_printf(1, "tool", 3, "into the file\n");
    EXPECT_THAT(slurp(file("a.log")), HasSubstr(" tool[" + std::to_string(getpid()) + "] <info> tool:3: into the file\n"));
}
