// q7ctl_test.cpp - the q7ctl tool as a user runs it against the fixture
// server: output, messages and exit status, seeding, watch until SIGTERM.
#include "q7_test_util.h"

#include <fcntl.h>

#include <sstream>

using namespace q7test;

namespace {

std::string read_file(const std::string &path)
{
    std::ostringstream ss;
    ss << std::ifstream(path).rdbuf();
    return ss.str();
}

// Starts q7ctl (through the emulator in a cross build), standard output and
// error into the file out.
pid_t start(const std::vector<std::string> &args, const std::string &out)
{
    std::vector<std::string> argv;
    std::istringstream emu(TSH_EMULATOR);
    for (std::string w; emu >> w;)
        argv.push_back(w);
    argv.push_back(env("TSH_BIN_DIR") + "/q7ctl");
    argv.insert(argv.end(), args.begin(), args.end());
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = spawn_process(argv, fd);
    close(fd);
    return pid;
}

const std::string kOut = "/tmp/q7ctl_test_" + std::to_string(getpid());

// Runs q7ctl to its end: exit status and output.
std::pair<int, std::string> q7ctl(const std::vector<std::string> &args)
{
    int st = wait_exit(start(args, kOut));
    return {st, read_file(kOut)};
}

}  // namespace

TEST(Q7ctl, CommandsPrintAndExitAsDocumented)
{
    const std::string bad_seed = kOut + ".json", usage = " (q7ctl --help shows the usage)\n";
    std::ofstream(bad_seed) << R"({"TelvaCfg": {"action": "sideways"}})";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;  // the whole output, or with a leading '*' one line of it
    } rows[] = {
        {{"set", "TelvaCfg.0.SAService", "UP"}, 0, ""},
        {{"get", "TelvaCfg.SAService"}, 0, "UP\n"},
        {{"show", "TelvaCfg"}, 0, "*TelvaCfg.SAService=UP\n"},
        {{"--help"}, 0, "*  watch [TABLE...]               print TABLE.ROW.FIELD=VALUE per change until SIGINT/SIGTERM\n"},
        {{"get", "TelvaStatus.0.nosuch"}, 1, "q7ctl: get TelvaStatus.0.nosuch: no such table, field or row (3)\n"},
        {{"set", "General.FSN", "12345678901234567890"}, 1, "q7ctl: set General.FSN: text too long for the field (4)\n"},
        {{"set", "Wexsignature.1.DeviceMAC", "zz"}, 1,
         "q7ctl: set Wexsignature.1.DeviceMAC: malformed MAC or IPv4 text (7)\n"},
        {{"load", bad_seed}, 1, "q7ctl: load " + bad_seed + ": TelvaCfg.action: invalid input (5)\n"},
        {{"load", "/nonexistent.json"}, 1, "q7ctl: load /nonexistent.json: cannot read the file\n"},
        {{"frobnicate"}, 2, "q7ctl: unknown command \"frobnicate\"" + usage},
        {{"get"}, 2, "q7ctl: get: wrong number of arguments" + usage},
        {{"get", "Table.x.Field"}, 2, "q7ctl: get: \"Table.x.Field\" is not TABLE[.ROW].FIELD" + usage},
    };
    for (const auto &r : rows) {
        auto [status, out] = q7ctl(r.args);
        EXPECT_EQ(status, r.status) << r.args[0] << ": " << out;
        if (r.out.starts_with('*'))
            EXPECT_NE(("\n" + out).find("\n" + r.out.substr(1)), std::string::npos) << out;
        else
            EXPECT_EQ(out, r.out);
    }
    unlink(bad_seed.c_str());
    const std::string fixture = env("Q7_SOCKET");
    setenv("Q7_SOCKET", "/nonexistent/q7.sock", 1);
    EXPECT_EQ(q7ctl({"get", "TelvaCfg.SAService"}),
              std::make_pair(1, std::string("q7ctl: cannot reach the Q7 server at /nonexistent/q7.sock, or it holds no valid schema\n")));
    setenv("Q7_SOCKET", fixture.c_str(), 1);
}

TEST(Q7ctl, LoadsTheDemoAndShowsOnlyRowsInUse)
{
    for (unsigned r = 0; r < 256; r++)  // other tests write some device rows
        raw_command(env("Q7_SOCKET"), ("DEL q7:d:Wexsignature:" + std::to_string(r)).c_str());
    ASSERT_EQ(q7ctl({"load", env("TSH_SOURCE_DIR") + "/host/q7/demo.json"}).first, 0);
    EXPECT_EQ(q7ctl({"get", "General.DeviceModel"}).second, "Model-X1\n");
    EXPECT_EQ(q7ctl({"get", "Wexsignature.11.DeviceIP"}).second, "192.168.1.112\n");
    const std::string shown = q7ctl({"show", "Wexsignature"}).second;
    EXPECT_NE(shown.find("\nWexsignature.11.DeviceIP=192.168.1.112\n"), std::string::npos);
    EXPECT_EQ(shown.find("Wexsignature.12."), std::string::npos);
}

// Each line shows the value its write made, not one read later: three quick
// writes while the tool is stopped.
TEST(Q7ctl, WatchPrintsEachWrittenValueUntilSigterm)
{
    Handle h(q7_init());
    ASSERT_TRUE(h);
    q7_set_enum(h.get(), "TelvaStatus", 0, "protectionStatus", "false");
    const std::string out = kOut + ".watch";
    pid_t pid = start({"watch", "TelvaStatus"}, out);
    ASSERT_TRUE(wait_until([&] { return read_file(out).find("watching") != std::string::npos; }));
    kill(pid, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_state(pid) == 'T'; }));
    q7_set_enum(h.get(), "TelvaCfg", 0, "action", "do_reboot");  // not watched
    for (const char *v : {"true", "false", "true"})
        q7_set_enum(h.get(), "TelvaStatus", 0, "protectionStatus", v);
    kill(pid, SIGCONT);
    const std::string want = "q7ctl: watching 1 table(s); SIGINT or SIGTERM stops\n"
                             "TelvaStatus.0.protectionStatus=true\nTelvaStatus.0.protectionStatus=false\n"
                             "TelvaStatus.0.protectionStatus=true\n";
    EXPECT_TRUE(wait_until([&] { return read_file(out).size() >= want.size(); }));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(read_file(out), want);
    unlink(out.c_str());
    q7_set_enum(h.get(), "TelvaCfg", 0, "action", "none");
}
