// The single-instance pid file on real files and real processes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "dead_pid.h"
#include "tsh_daemon.h"

namespace {

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

bool write_lock(const std::string &path, int cmd, pid_t owner = 0)
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    return fcntl(open(path.c_str(), O_RDWR), cmd, &fl) == 0 && (owner == 0 || fl.l_pid == owner);
}

struct PidFile : ::testing::Test {
    char tmpl[32] = "/tmp/tsh-pidfile-XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : "/nonexistent", path = dir + "/TeSvcHdlr.pid";
    ~PidFile() override { (void)!system(("rm -rf " + dir).c_str()); }
};

TEST_F(PidFile, AFreePathIsTakenLockedWithOurPidAndGivenBack)
{
    const mode_t old = umask(0);
    const int fd = lock_process(path.c_str());
    umask(old);
    ASSERT_GE(fd, 0);
    // Asked first: a read here would close a descriptor of the file, which drops our lock.
    EXPECT_TRUE(Child([&] { return write_lock(path, F_GETLK, getppid()); }).went_well());
    EXPECT_EQ(slurp(path), std::to_string(getpid()) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(unlock_process(path.c_str(), fd), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    // Removed by someone else meanwhile: reported, the descriptor closed all the same.
    const int again = lock_process(path.c_str());
    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(unlock_process(path.c_str(), again), -1);
    EXPECT_EQ(fcntl(again, F_GETFD), -1);
}

TEST_F(PidFile, AnythingButAFreePathOrAStalePidIsRefusedAndLeftAsItIs)
{
    const std::string stale = std::to_string(dead_pid()) + "\n";
    std::unique_ptr<Child> holder;
    const struct {
        const char *content;  // nullptr: made by `make`
        std::function<void()> make = nullptr;
    } cases[] = {
        {""}, {"garbage\n"}, {"0\n"}, {"-5\n"}, {"   \n"},
        {nullptr, [&] { ASSERT_EQ(symlink((dir + "/stale").c_str(), path.c_str()), 0); }},
        {nullptr, [&] { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
        // A live instance holds the lock although the file names a dead pid.
        {nullptr, [&] {
             std::ofstream(path) << stale;
             holder = std::make_unique<Child>([&] { return write_lock(path, F_SETLK); });
             ASSERT_TRUE(holder->went_well());
         }},
    };
    std::ofstream(dir + "/stale") << stale;
    for (const auto &c : cases) {
        if (c.content)
            std::ofstream(path) << c.content;
        else
            ASSERT_NO_FATAL_FAILURE(c.make());
        struct stat before {}, after {};
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        const std::string text = slurp(path);
        EXPECT_EQ(lock_process(path.c_str()), -1) << "case " << &c - cases;
        ASSERT_EQ(lstat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "case " << &c - cases;
        EXPECT_EQ(slurp(path), text) << "case " << &c - cases;
        holder.reset();
        (void)!system(("rm -rf " + path).c_str());
    }
}

TEST_F(PidFile, TwoInstancesOverAStaleFileExactlyOneRuns)
{
    for (int round = 0; round < 20; ++round) {
        std::ofstream(path) << dead_pid() << "\n";
        const Child a([&] { return lock_process(path.c_str()) >= 0; });
        const Child b([&] { return lock_process(path.c_str()) >= 0; });
        EXPECT_EQ(a.went_well() + b.went_well(), 1) << "round " << round;
        unlink(path.c_str());
    }
}

} // namespace
