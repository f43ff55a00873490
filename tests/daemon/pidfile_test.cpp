// The single-instance pid file on real files and real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "tsh_daemon.h"

namespace {

// A pid that names no process: a child that has exited and been reaped.
pid_t dead_pid()
{
    pid_t p = fork();
    if (p == 0)
        _exit(0);
    waitpid(p, nullptr, 0);
    return p;
}

std::string slurp(const std::string &p)
{
    char text[64] = {};
    const int fd = open(p.c_str(), O_RDONLY);
    (void)!read(fd, text, sizeof text - 1);
    close(fd);
    return text;
}

// A child process that runs `what`, tells whether it went well, and holds
// what it took until it is killed.
struct Child {
    int fds[2] = {-1, -1};
    pid_t pid = pipe(fds) == 0 ? fork() : -1;
    explicit Child(const std::function<bool()> &what)
    {
        if (pid == 0) {
            (void)!write(fds[1], what() ? "y" : "n", 1);
            pause();
            _exit(0);
        }
    }
    ~Child()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        close(fds[0]);
        close(fds[1]);
    }
    bool went_well() const
    {
        char c = 0;
        return read(fds[0], &c, 1) == 1 && c == 'y';
    }
};

// A whole-file write lock on `path`, taken (F_SETLK) or seen (F_GETLK).
pid_t write_lock(const std::string &path, int cmd)
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    return fcntl(open(path.c_str(), O_RDWR), cmd, &fl) == 0 ? (cmd == F_GETLK ? fl.l_pid : 1) : 0;
}

struct PidFile : ::testing::Test {
    char tmpl[32] = "/tmp/tsh-pidfile-XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/nonexistent", path = dir + "/TeSvcHdlr.pid";
    ~PidFile() override { (void)!system(("rm -rf " + dir).c_str()); }
};

TEST_F(PidFile, AnythingButAFreePathOrAStalePidIsRefusedAndLeftAsItIs)
{
    const std::string stale = std::to_string(dead_pid()) + "\n";
    std::ofstream(dir + "/stale") << stale;
    // A text; a link to a stale pid file; a directory; a stale pid whose lock a live instance holds.
    for (const std::string c : {"", "garbage\n", "0\n", "-5\n", "   \n", "@link", "@dir", "@held"}) {
        std::unique_ptr<Child> holder;
        if (c == "@link")
            ASSERT_EQ(symlink((dir + "/stale").c_str(), path.c_str()), 0);
        else if (c == "@dir")
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        else
            std::ofstream(path) << (c == "@held" ? stale : c);
        if (c == "@held") {
            holder = std::make_unique<Child>([&] { return write_lock(path, F_SETLK) != 0; });
            ASSERT_TRUE(holder->went_well());
        }
        struct stat before {}, after {};
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        const std::string text = slurp(path);
        EXPECT_EQ(lock_process(path.c_str()), -1) << c;
        ASSERT_EQ(lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << c;
        EXPECT_EQ(slurp(path), text) << c;
        holder.reset();
        (void)!system(("rm -rf " + path).c_str());
    }
}

TEST_F(PidFile, OfTwoInstancesOverAStaleFileOneTakesItLockedForTheGroup)
{
    const mode_t old = umask(0);
    for (int round = 0; round < 20; ++round) {
        std::ofstream(path) << dead_pid() << "\n";
        const Child a([&] { return lock_process(path.c_str()) >= 0; });
        const Child b([&] { return lock_process(path.c_str()) >= 0; });
        const bool a_runs = a.went_well(), b_runs = b.went_well();
        ASSERT_EQ(a_runs + b_runs, 1) << "round " << round;
        EXPECT_EQ(write_lock(path, F_GETLK), a_runs ? a.pid : b.pid);
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u, 0660u);
        unlink(path.c_str());
    }
    umask(old);
    // Removed by someone else meanwhile: reported, the descriptor closed all the same.
    const int fd = lock_process(path.c_str());
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(unlock_process(path.c_str(), fd), -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

// A file system that takes no more bytes: the file is not left behind and the
// one failure is the one reported.
TEST_F(PidFile, AFailedWriteLeavesNoFileAndSaysSo)
{
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDERR_FILENO);
        const struct rlimit none {0, 0};
        signal(SIGXFSZ, SIG_IGN);
        _exit(setrlimit(RLIMIT_FSIZE, &none) == 0 && lock_process(path.c_str()) == -1 ? 0 : 1);
    }
    close(out[1]);
    std::string err;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        err.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    // One line, ending in the call that failed.
    const std::string tail = "<error> tsh_daemon:";
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find(tail), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with(": write() " + path + "\n")) << err;
}

} // namespace
