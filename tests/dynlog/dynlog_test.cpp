// The logging library in a program that exports its settings: line format
// and line ends, standard error outside init/uninit, level and destination
// from dalLogCfg, and whole lines from racing writers.
#include "dynlog_helpers.h"

#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <vector>

extern "C" {
int __log_level = 5, __log_to_console = 0, __log_to_file = 0;
char __log_file_name[32], __exec_binary_name[32] = "TeSvcHdlr";
}

TEST(DynlogStderr, WritesWholeLinesBeforeInitAndAfterUninit)
{
    dynlog_lib_uninit();   // without init: harmless
    StderrCapture err;
    log_printf(2, "tsh_main", 123, "no line end %d", 1);
    log_printf(4, nullptr, 124, "own line end\n");
    log_printf(2, "tsh_main", 125, "%s", std::string(3000, 'x').c_str());    // past the stack buffer
    log_printf(2, "tsh_main", 126, "%s", std::string(20000, 'y').c_str());   // cut
    log_printf(1, "tsh_main", 127, "information is below the default level\n");
    ASSERT_EQ(dynlog_lib_init(), 0);
    dynlog_lib_uninit();
    dynlog_lib_uninit();
    log_printf(2, "tsh_main", 128, "after uninit\n");

    std::string text = err.take();
    std::string head = "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} TeSvcHdlr\\[" + std::to_string(getpid()) + "\\] ";
    EXPECT_TRUE(std::regex_search(text, std::regex(head + "<notice> tsh_main:123: no line end 1\n"))) << text.substr(0, 99);
    EXPECT_THAT(text, HasSubstr("<error> -:124: own line end\n2"));
    EXPECT_THAT(text, HasSubstr(std::string(3000, 'x') + "\n2"));
    size_t cut = text.find('\n', text.find(":126: "));
    EXPECT_LT(cut - text.rfind('\n', cut - 1), 8192u);
    EXPECT_GT(cut - text.find(":126: "), 7000u);
    EXPECT_THAT(text, Not(HasSubstr("below the default")));
    EXPECT_THAT(text, HasSubstr("tsh_main:128: after uninit\n"));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
}

TEST_F(LogCfgTest, LevelAndDestinationFollowDalLogCfg)
{
    auto apply_and_log = [&](int level, const std::string &to_file) {
        configure(level, to_file.empty(), to_file);
        ASSERT_EQ(set_log_level(1, "Tsh", __exec_binary_name), 0);
        for (int l : {1, 2, 3, 4})
            log_printf(l, "tsh_dal", l, "level %d\n", l);
    };
    ASSERT_EQ(dynlog_lib_init(), 0);
    StderrCapture err;
    apply_and_log(5, "");   // notice, error
    apply_and_log(7, file("a.log"));
    EXPECT_EQ(__log_level, 7);
    EXPECT_EQ(__log_to_file, 1);
    EXPECT_EQ(file("a.log"), __log_file_name);
    apply_and_log(6, "");   // information too
    EXPECT_EQ(__log_to_console, 1);

    std::string console = err.take(), in_file = slurp(file("a.log"));
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 5) << console;
    EXPECT_THAT(console, AllOf(HasSubstr("<info> tsh_dal:1: level 1\n"), Not(HasSubstr("<debug>"))));
    EXPECT_EQ(std::count(in_file.begin(), in_file.end(), '\n'), 4) << in_file;
    EXPECT_THAT(in_file, HasSubstr("<debug> tsh_dal:3: level 3\n"));

    // Q7 unreachable: an error code, and the settings stay.
    dynlog_lib_uninit();
    std::string socket = getenv("Q7_SOCKET");
    setenv("Q7_SOCKET", file("none.sock").c_str(), 1);
    EXPECT_NE(set_log_level(1, "Tsh", __exec_binary_name), 0);
    setenv("Q7_SOCKET", socket.c_str(), 1);
    EXPECT_EQ(__log_level, 6);
}

// 8 writers, lines up to 2 KiB, while the output moves between two files:
// every line lands whole, exactly once.
TEST_F(LogCfgTest, LinesStayWholeWhileWritersRaceADestinationSwitch)
{
    constexpr int threads = 8, lines = 400;
    auto text = [](int t, int n) { return std::string(n * 5 % 2000, char('a' + t)); };
    ASSERT_EQ(dynlog_lib_init(), 0);
    configure(5, false, file("a.log"));
    ASSERT_EQ(set_log_level(0, "Tsh", __exec_binary_name), 0);
    std::atomic<int> running{threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++)
        writers.emplace_back([&, t] {
            for (int n = 0; n < lines; n++)
                log_printf(2, "tsh_sot", t, "t%d n%d %s|", t, n, text(t, n).c_str());
            running--;
        });
    for (int i = 0; running > 0 || i < 2; i++) {
        configure(5, false, file(i % 2 ? "b.log" : "a.log"));
        set_log_level(1, "Tsh", __exec_binary_name);
    }
    for (auto &w : writers)
        w.join();

    std::istringstream all(slurp(file("a.log")) + slurp(file("b.log")));
    std::regex shape(R"(^\S+ \S+ TeSvcHdlr\[\d+\] <notice> tsh_sot:(\d): t(\d) n(\d+) ([a-h]*)\|$)");
    std::set<std::pair<int, int>> seen;
    std::smatch m;
    for (std::string line; std::getline(all, line);) {
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 99);
        int t = std::stoi(m[2]), n = std::stoi(m[3]);
        ASSERT_EQ(m[1], m[2]);
        ASSERT_EQ(m[4], text(t, n));
        EXPECT_TRUE(seen.emplace(t, n).second) << line.substr(0, 99);
    }
    EXPECT_EQ(seen.size(), size_t(threads * lines));
}
