// Single-instance pid file on real files and real processes.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dead_pid.h"
#include "tsh_daemon.h"

namespace {
std::string slurp(const std::string &p)
{
    std::ifstream f(p);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void spit(const std::string &p, const std::string &text)
{
    std::ofstream(p) << text;
}

struct flock whole_file_write_lock()
{
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    return fl;
}

// Runs lock_process in a child; its exit status says whether it got the lock.
pid_t lock_in_child(const std::string &path, int hold_fd_pipe = -1)
{
    pid_t p = fork();
    if (p == 0) {
        int fd = lock_process(path.c_str());
        if (hold_fd_pipe >= 0) {
            char c = fd >= 0 ? 'y' : 'n';
            (void)!write(hold_fd_pipe, &c, 1);
            pause();
        }
        _exit(fd >= 0 ? 0 : 1);
    }
    return p;
}

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

TEST_F(PidFile, CreatesLockedFileWithOwnPid)
{
    mode_t old = umask(0);
    int fd = lock_process(path.c_str());
    umask(old);
    ASSERT_GE(fd, 0);
    // Another process sees our write lock. (Checked first: reading the file
    // here would close a descriptor of it, which drops the process's lock.)
    pid_t p = fork();
    if (p == 0) {
        struct flock fl = whole_file_write_lock();
        if (fcntl(open(path.c_str(), O_RDWR), F_GETLK, &fl) != 0) _exit(2);
        if (fl.l_type != F_WRLCK) _exit(3);
        _exit(fl.l_pid == getppid() ? 0 : 4);
    }
    int status = 0;
    waitpid(p, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(slurp(path), std::to_string(getpid()) + "\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(unlock_process(path.c_str(), fd), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(PidFile, LiveInstanceIsRefusedAndItsFileKept)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t first = lock_in_child(path, fds[1]);
    char c = 0;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    const std::string before = slurp(path);
    EXPECT_EQ(lock_process(path.c_str()), -1);
    EXPECT_EQ(slurp(path), before);
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
}

TEST_F(PidFile, StaleFileIsReplaced)
{
    spit(path, std::to_string(dead_pid()) + "\n");
    int fd = lock_process(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(slurp(path), std::to_string(getpid()) + "\n");
    EXPECT_EQ(unlock_process(path.c_str(), fd), 0);
}

TEST_F(PidFile, MalformedContentIsRefusedUntouched)
{
    for (const char *text : {"", "garbage\n", "0\n", "-5\n", "   \n"}) {
        spit(path, text);
        EXPECT_EQ(lock_process(path.c_str()), -1) << '"' << text << '"';
        EXPECT_EQ(slurp(path), text);
    }
}

TEST_F(PidFile, SymlinkOrDirectoryIsRefused)
{
    const std::string target = dir + "/target";
    spit(target, std::to_string(dead_pid()) + "\n");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_EQ(lock_process(path.c_str()), -1);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is left alone";
    unlink(path.c_str());
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(lock_process(path.c_str()), -1);
}

TEST_F(PidFile, StalePidButHeldLockIsRefused)
{
    // A live instance holds the lock although the file names a dead pid.
    spit(path, std::to_string(dead_pid()) + "\n");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t holder = fork();
    if (holder == 0) {
        struct flock fl = whole_file_write_lock();
        char c = fcntl(open(path.c_str(), O_RDWR), F_SETLK, &fl) == 0 ? 'y' : 'n';
        (void)!write(fds[1], &c, 1);
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(lock_process(path.c_str()), -1);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

TEST_F(PidFile, TwoInstancesOverAStaleFileExactlyOneRuns)
{
    for (int round = 0; round < 20; ++round) {
        spit(path, std::to_string(dead_pid()) + "\n");
        int fa[2], fb[2];
        ASSERT_EQ(pipe(fa), 0);
        ASSERT_EQ(pipe(fb), 0);
        pid_t a = lock_in_child(path, fa[1]);
        pid_t b = lock_in_child(path, fb[1]);
        char ca = 0, cb = 0;
        ASSERT_EQ(read(fa[0], &ca, 1), 1);
        ASSERT_EQ(read(fb[0], &cb, 1), 1);
        EXPECT_EQ((ca == 'y') + (cb == 'y'), 1) << "round " << round;
        kill(a, SIGKILL);
        kill(b, SIGKILL);
        waitpid(a, nullptr, 0);
        waitpid(b, nullptr, 0);
        for (int f : {fa[0], fa[1], fb[0], fb[1]})
            close(f);
        unlink(path.c_str());
    }
}

TEST_F(PidFile, UnlockAfterForeignRemovalReportsIt)
{
    int fd = lock_process(path.c_str());
    ASSERT_GE(fd, 0);
    unlink(path.c_str());
    EXPECT_EQ(unlock_process(path.c_str(), fd), -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor is closed all the same";
    EXPECT_EQ(remove_file(path.c_str()), -1);
}
}  // namespace
