// The logging library in a program that exports its settings, as the daemon does. (The
// daemon's tests see its lines on standard error before init and after uninit.)
#include "q7dynlog.h"
#include "q7lib.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern "C" {
int __log_level = 5, __log_to_console = 0, __log_to_file = 0;
char __log_file_name[32], __exec_binary_name[32] = "TeSvcHdlr";
}

namespace {

// Each line of a log file as "<level> module:line: text", its end and prefix checked.
using Lines = std::vector<std::string>;
Lines lines(const std::string &path)
{
    std::ifstream in(path);
    const std::string text(std::istreambuf_iterator<char>(in), {}), me = " TeSvcHdlr[" + std::to_string(getpid()) + "] ";
    Lines out;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at), time = line.substr(0, 23);
        const bool ok = end < text.size() && line.compare(23, me.size(), me) == 0 &&
                        std::all_of(time.begin(), time.end(), [](char c) { return isdigit(c) || strchr("-:. ", c); });
        out.push_back(ok ? line.substr(23 + me.size()) : "? " + line);
    }
    return out;
}

}  // namespace

// 8 writers, lines up to 2 KiB (past the 1 KiB stack buffer), while the output moves
// between two files: every line lands whole, exactly once; information stays below
// the threshold 5; a line end is added where missing; 20,000 bytes are cut.
TEST(LogCfg, LinesStayWholeWhileWritersRaceADestinationSwitch)
{
    char dir[32] = "/tmp/dlXXXXXX";  // file names hold 31 characters
    q7_handle *q7 = q7_init();
    ASSERT_TRUE(mkdtemp(dir) && q7) << "no Q7 server at $Q7_SOCKET";
    auto file = [&](const char *name) { return std::string(dir) + "/" + name; };
    auto configure = [&](const std::string &file) {  // the dalLogCfg row; standard error when file is ""
        ASSERT_EQ(q7_set_int(q7, "dalLogCfg", 0, "TshLogLevel", 5) | q7_set_bool(q7, "dalLogCfg", 0, "TshLogToConsole", file.empty()) |
                      q7_set_bool(q7, "dalLogCfg", 0, "TshLogToFile", !file.empty()) |
                      q7_set_ascii(q7, "dalLogCfg", 0, "TshLogFileName", file.c_str()), Q7_OK);
        ASSERT_EQ(set_log_level(1, "Tsh", __exec_binary_name), 0);
    };

    constexpr int threads = 8, per_thread = 400;
    auto text = [](int t, int n) { return "t" + std::to_string(n * threads + t) + " " + std::string(n * 5 % 2000, 'a') + "|"; };
    ASSERT_EQ(dynlog_lib_init(), 0);
    configure(file("a.log"));
    log_printf(2, nullptr, 1, "no line end %d", 1);
    log_printf(1, "tsh_sot", 2, "information\n");
    log_printf(4, "tsh_sot", 3, "%s\n", std::string(20000, 'y').c_str());  // cut at 8 KiB
    std::atomic<int> running{threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++)
        writers.emplace_back([&, t] {
            for (int n = 0; n < per_thread; n++)
                log_printf(2, "tsh_sot", 9, "%s", text(t, n).c_str());
            running--;
        });
    for (int i = 0; running > 0 || i < 2; i++)
        configure(file(i % 2 ? "b.log" : "a.log"));
    for (auto &w : writers)
        w.join();
    Lines want, got = lines(file("a.log")), more = lines(file("b.log"));
    got.insert(got.end(), more.begin(), more.end());
    for (int i = 0; i < threads * per_thread; i++)
        want.push_back("<notice> tsh_sot:9: " + text(i % threads, i / threads));
    want.insert(want.end(), {"<notice> -:1: no line end 1", "<error> tsh_sot:3: cut"});
    for (std::string &line : got)
        if (line.starts_with("<error> tsh_sot:3: ") && line.size() > 7000 && line.size() < 8192 && line.find_first_not_of('y', 19) == line.npos)
            line = "<error> tsh_sot:3: cut";
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_TRUE(got == want) << got.size() << " lines of " << want.size();

    dynlog_lib_uninit();
    configure("");  // the fixture server is shared: back to the defaults
    q7_destroy(q7);
    std::filesystem::remove_all(dir);
}
