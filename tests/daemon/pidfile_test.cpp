// The single-instance pid file on real files and real processes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dead_pid.h"
#include "tsh_daemon.h"

namespace {

std::string slurp(const std::string &p)
{
    char buf[64] = {};
    const int fd = open(p.c_str(), O_RDONLY);
    if (fd >= 0 && read(fd, buf, sizeof buf - 1) < 0)
        buf[0] = 0;
    close(fd);
    return buf;
}

void spit(const std::string &p, const std::string &text)
{
    const int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
}

// A child process that runs `what`, tells how it went, and waits to be killed.
struct Child {
    pid_t pid = -1;
    int fd = -1;
    explicit Child(const std::function<bool()> &what)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            const char c = what() ? 'y' : 'n';
            (void)!write(fds[1], &c, 1);
            pause();
            _exit(0);
        }
        close(fds[1]);
        fd = fds[0];
    }
    ~Child()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        close(fd);
    }
    char outcome() const
    {
        char c = '?';
        return read(fd, &c, 1) == 1 ? c : '?';
    }
};

struct PidFile : ::testing::Test {
    std::string dir, path;
    void SetUp() override
    {
        char tmpl[] = "/tmp/tsh-pidfile-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/TeSvcHdlr.pid";
    }
    void TearDown() override { (void)!system(("rm -rf " + dir).c_str()); }
};

TEST_F(PidFile, AFreePathIsTakenLockedWithOurPidAndGivenBack)
{
    const mode_t old = umask(0);
    const int fd = lock_process(path.c_str());
    umask(old);
    ASSERT_GE(fd, 0);
    // Another process sees our write lock (asked first: a read here would
    // close a descriptor of the file, which drops our lock).
    const Child other([&] {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        return fcntl(open(path.c_str(), O_RDWR), F_GETLK, &fl) == 0 && fl.l_pid == getppid();
    });
    EXPECT_EQ(other.outcome(), 'y');
    EXPECT_EQ(slurp(path), std::to_string(getpid()) + "\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(unlock_process(path.c_str(), fd), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    // Removed by someone else meanwhile: reported, the descriptor closed all the same.
    const int again = lock_process(path.c_str());
    ASSERT_GE(again, 0);
    unlink(path.c_str());
    EXPECT_EQ(unlock_process(path.c_str(), again), -1);
    EXPECT_EQ(fcntl(again, F_GETFD), -1);
}

TEST_F(PidFile, AnythingButAFreePathOrAStalePidIsRefusedAndLeftAsItIs)
{
    const std::string stale = std::to_string(dead_pid()) + "\n";
    std::unique_ptr<Child> holder;
    const struct {
        const char *name;
        std::function<void()> make;
    } cases[] = {
        {"empty", [&] { spit(path, ""); }},
        {"no number", [&] { spit(path, "garbage\n"); }},
        {"zero", [&] { spit(path, "0\n"); }},
        {"negative", [&] { spit(path, "-5\n"); }},
        {"blank", [&] { spit(path, "   \n"); }},
        {"link to a stale pid file",
         [&] {
             spit(dir + "/target", stale);
             ASSERT_EQ(symlink((dir + "/target").c_str(), path.c_str()), 0);
         }},
        {"directory", [&] { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
        // A live instance holds the lock although the file names a dead pid.
        {"stale pid, lock held",
         [&] {
             spit(path, stale);
             holder = std::make_unique<Child>([&] {
                 struct flock fl {};
                 fl.l_type = F_WRLCK;
                 return fcntl(open(path.c_str(), O_RDWR), F_SETLK, &fl) == 0;
             });
             ASSERT_EQ(holder->outcome(), 'y');
         }},
    };
    for (const auto &c : cases) {
        ASSERT_NO_FATAL_FAILURE(c.make()) << c.name;
        struct stat before {}, after {};
        ASSERT_EQ(lstat(path.c_str(), &before), 0) << c.name;
        const std::string text = S_ISREG(before.st_mode) ? slurp(path) : "";
        EXPECT_EQ(lock_process(path.c_str()), -1) << c.name;
        ASSERT_EQ(lstat(path.c_str(), &after), 0) << c.name;
        EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
        EXPECT_EQ(S_ISREG(after.st_mode) ? slurp(path) : "", text) << c.name;
        holder.reset();
        (void)!system(("rm -rf " + path).c_str());
    }
}

TEST_F(PidFile, TwoInstancesOverAStaleFileExactlyOneRuns)
{
    for (int round = 0; round < 20; ++round) {
        spit(path, std::to_string(dead_pid()) + "\n");
        {
            const Child a([&] { return lock_process(path.c_str()) >= 0; });
            const Child b([&] { return lock_process(path.c_str()) >= 0; });
            EXPECT_EQ((a.outcome() == 'y') + (b.outcome() == 'y'), 1) << "round " << round;
        }
        unlink(path.c_str());
    }
}

} // namespace
