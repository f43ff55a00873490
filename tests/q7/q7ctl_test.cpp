/*
 * q7ctl_test.cpp - the q7ctl tool as a user runs it, against the fixture
 * server: exit codes, error texts, seeding, and watch until SIGTERM. The
 * argument parser is also checked on its own.
 */
#include "q7_test_util.h"
#include "q7ctl_args.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <sstream>

using namespace q7test;

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs q7ctl (through the emulator in a cross build). With `until` set the
// tool keeps running: `until` is awaited on stderr, `act` runs (given the
// tool's pid) and names the lines of output to await, then SIGTERM.
struct Tool {
    std::vector<std::string> argv(const std::vector<std::string> &args)
    {
        std::vector<std::string> a;
        std::istringstream emu(TSH_EMULATOR);
        for (std::string w; emu >> w;)
            a.push_back(w);
        a.push_back(env("TSH_BIN_DIR") + "/q7ctl");
        a.insert(a.end(), args.begin(), args.end());
        return a;
    }

    Result operator()(const std::vector<std::string> &args, const std::string &until = "",
                      const std::function<size_t(pid_t)> &act = nullptr)
    {
        int out[2], err[2];
        Result res;
        if (pipe(out) || pipe(err))
            return res;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err[1], 2);
        auto a = argv(args);
        std::vector<char *> av;
        for (auto &s : a)
            av.push_back(s.data());
        av.push_back(nullptr);
        pid_t pid = -1;
        int rc = posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(out[1]);
        close(err[1]);
        bool stopped = until.empty();
        std::vector<pollfd> fds = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        while (rc == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
            if (poll(fds.data(), 2, 10000) <= 0)
                break;
            for (int i = 0; i < 2; i++) {
                char buf[4096];
                if (fds[i].fd < 0 || !fds[i].revents)
                    continue;
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    continue;
                }
                (i ? res.err : res.out).append(buf, static_cast<size_t>(n));
            }
            if (!stopped && res.err.find(until) != std::string::npos) {
                stopped = true;
                const auto lines = static_cast<std::ptrdiff_t>(act(pid));
                // Let the output of act arrive before stopping the tool.
                auto arrived = [&] { return std::count(res.out.begin(), res.out.end(), '\n') >= lines; };
                wait_until([&] { return arrived() || !drain(fds[0].fd, res.out); }, std::chrono::milliseconds(5000));
                kill(pid, SIGTERM);
            }
        }
        for (auto &f : fds)
            if (f.fd >= 0)
                close(f.fd);
        int st = 0;
        if (rc == 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
            res.status = WEXITSTATUS(st);
        return res;
    }

    // Reads what is there without blocking; false at end of file.
    static bool drain(int fd, std::string &to)
    {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        if (fd < 0 || poll(&p, 1, 0) <= 0)
            return true;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            to.append(buf, static_cast<size_t>(n));
        return n > 0;
    }
};

}  // namespace

TEST(Q7ctl, GetSetShowAndErrors)
{
    Tool q7ctl;
    EXPECT_EQ(q7ctl({"set", "TelvaCfg.0.SAService", "UP"}).status, 0);
    Result r = q7ctl({"get", "TelvaCfg.SAService"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "UP\n");

    r = q7ctl({"get", "TelvaStatus.0.nosuch"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "q7ctl: get TelvaStatus.0.nosuch: no such table, field or row (3)\n");
    r = q7ctl({"set", "General.FSN", "12345678901234567890"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("General.FSN"), std::string::npos);
    EXPECT_NE(r.err.find("(4)"), std::string::npos);
    EXPECT_EQ(q7ctl({"set", "Wexsignature.1.DeviceMAC", "zz"}).status, 1);
    EXPECT_EQ(q7ctl({"show", "NoSuchTable"}).status, 1);
    EXPECT_EQ(q7ctl({"frobnicate"}).status, 2);
    EXPECT_EQ(q7ctl({"get"}).status, 2);
    r = q7ctl({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("watch"), std::string::npos);

    r = q7ctl({"show", "TelvaCfg"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("TelvaCfg.SAService=UP\n"), std::string::npos) << r.out;

    setenv("Q7_SOCKET", "/nonexistent/q7.sock", 1);
    r = q7ctl({"get", "TelvaCfg.SAService"});
    unsetenv("Q7_SOCKET");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot reach"), std::string::npos);
}

TEST(Q7ctl, LoadsDemoAndShowsOnlyRowsInUse)
{
    // Start from empty device rows: other tests write some.
    reset_rows("Wexsignature", 0, 256);
    Tool q7ctl;
    Result r = q7ctl({"load", env("TSH_SOURCE_DIR") + "/host/q7/demo.json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(q7ctl({"get", "General.DeviceModel"}).out, "Model-X1\n");
    EXPECT_EQ(q7ctl({"get", "Wexsignature.11.DeviceIP"}).out, "192.168.1.112\n");
    r = q7ctl({"show", "Wexsignature"});
    EXPECT_NE(r.out.find("Wexsignature.11.DeviceCategory="), std::string::npos);
    EXPECT_EQ(r.out.find("Wexsignature.12."), std::string::npos);

    std::string bad = "/tmp/q7ctl_bad_" + std::to_string(getpid()) + ".json";
    std::ofstream(bad) << R"({"TelvaCfg": {"action": "sideways"}})";
    r = q7ctl({"load", bad});
    unlink(bad.c_str());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("TelvaCfg.action"), std::string::npos) << r.err;
    EXPECT_EQ(q7ctl({"load", "/nonexistent.json"}).status, 1);
}

TEST(Q7ctl, WatchPrintsEachWrittenValueUntilSigterm)
{
    Handle h(q7_init());
    ASSERT_TRUE(h);
    q7_set_enum(h.get(), "TelvaStatus", 0, "protectionStatus", "false");
    Tool q7ctl;
    Result r = q7ctl({"watch", "TelvaStatus"}, "watching", [&](pid_t pid) -> size_t {
        // Three quick writes while the tool is stopped: each line shows the
        // value its write made, not one read later.
        kill(pid, SIGSTOP);
        EXPECT_TRUE(wait_until([&] { return process_state(pid) == 'T'; }));
        q7_set_enum(h.get(), "TelvaCfg", 0, "action", "do_reboot");  // not watched
        for (const char *v : {"true", "false", "true"})
            q7_set_enum(h.get(), "TelvaStatus", 0, "protectionStatus", v);
        kill(pid, SIGCONT);
        return 3;
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "TelvaStatus.0.protectionStatus=true\nTelvaStatus.0.protectionStatus=false\n"
                     "TelvaStatus.0.protectionStatus=true\n");
    q7_set_enum(h.get(), "TelvaCfg", 0, "action", "none");
}

TEST(Q7ctlArgs, ParsesAddressesAndRejectsBadForms)
{
    q7ctl::Command c;
    std::string err;
    const char *set[] = {"set", "Wexsignature.17.DeviceIP", "10.0.0.1"};
    ASSERT_TRUE(q7ctl::parse_args(3, set, c, err));
    EXPECT_EQ(c.addr.table, "Wexsignature");
    EXPECT_EQ(c.addr.row, 17u);
    EXPECT_EQ(c.addr.field, "DeviceIP");
    EXPECT_EQ(c.value, "10.0.0.1");
    for (const char *bad : {"Table", "Table.x.Field", "Table..Field", ".Field", "Table.", "T.1.2.F", "T.9999999999.F"}) {
        const char *get[] = {"get", bad};
        EXPECT_FALSE(q7ctl::parse_args(2, get, c, err)) << bad;
    }
    const char *none[] = {nullptr};
    EXPECT_FALSE(q7ctl::parse_args(0, none, c, err));
}
