// Logging-library test helpers: standard error captured into a file, and a
// fixture with a short temporary directory (log file names hold 31
// characters) and a Q7 handle that writes the dalLogCfg row.
#pragma once

#include "q7dynlog.h"
#include "q7lib.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

using ::testing::HasSubstr;
using ::testing::Not;

inline std::string slurp(const std::string &path)
{
    std::stringstream ss;
    ss << std::ifstream(path).rdbuf();
    return ss.str();
}

struct StderrCapture {
    char path[32] = "/tmp/dlerrXXXXXX";
    int fd = mkstemp(path), saved = dup(STDERR_FILENO);
    StderrCapture() { dup2(fd, STDERR_FILENO); }
    std::string take()
    {
        dup2(saved, STDERR_FILENO);
        return slurp(path);
    }
    ~StderrCapture() { take(), close(fd), close(saved), unlink(path); }
};

struct LogCfgTest : ::testing::Test {
    char dir[32] = "/tmp/dlXXXXXX";
    q7_handle *q7 = q7_init();
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_NE(q7, nullptr) << "no Q7 server at $Q7_SOCKET";
    }
    void TearDown() override
    {
        dynlog_lib_uninit();
        if (q7)
            configure(5, false, "");
        q7_destroy(q7);
        std::filesystem::remove_all(dir);
    }
    std::string file(const char *name) { return std::string(dir) + "/" + name; }
    // Standard error when file is empty, else that file only.
    void configure(int level, bool console, const std::string &file)
    {
        ASSERT_EQ(q7_set_int(q7, "dalLogCfg", 0, "TshLogLevel", level), Q7_OK);
        ASSERT_EQ(q7_set_bool(q7, "dalLogCfg", 0, "TshLogToConsole", console), Q7_OK);
        ASSERT_EQ(q7_set_bool(q7, "dalLogCfg", 0, "TshLogToFile", !file.empty()), Q7_OK);
        ASSERT_EQ(q7_set_ascii(q7, "dalLogCfg", 0, "TshLogFileName", file.c_str()), Q7_OK);
    }
};
