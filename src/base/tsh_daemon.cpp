// tsh_daemon.cpp - the single-instance pid file, the stop state and the
// program name. The pid file is handled on the main thread only: at start-up
// before any other thread, and in the teardown.
//
// A stale pid file is removed only while its write lock is held and after
// checking that the path still names the file that was locked, so two
// instances starting together over a stale file cannot both go on.
#include "tsh_daemon.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tsh_log.h"

extern "C" {
__attribute__((visibility("default"))) char __exec_binary_name[32];
}

std::atomic<int> bShutdown{0};

namespace {
constexpr const char TSH_MODULE[] = "tsh_daemon";

// Set by the signal thread on SIGUSR1, read by every thread.
std::atomic<bool> stop_requested{false};
// wake_lock/wake_cv let every interruptible sleep end at once on a stop;
// any thread sleeps on them, the signal and main threads wake them.
std::mutex wake_lock;
std::condition_variable wake_cv;

bool sleep_until(long ms, bool (*done)())
{
    std::unique_lock<std::mutex> g(wake_lock);
    return wake_cv.wait_for(g, std::chrono::milliseconds(ms), done);
}

int set_lock(int fd, short type)
{
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, F_SETLK, &fl);
}

// Closes the descriptor on every path out of a scope.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) close(fd); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int release() { int f = fd; fd = -1; return f; }
};

int create_locked(const char *path, const char *pidtext, size_t len)
{
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd < 0)
        return -2;  // not created: the caller looks at what is there
    if (set_lock(fd, F_WRLCK) < 0) {
        TSH_LOG(TSH_ERROR, "fcntl() %s\n", path);
        close(fd);
        // Our own empty file must not look like a pid file to the next start.
        remove_file(path);
        return -1;
    }
    if (write(fd, pidtext, len) == static_cast<ssize_t>(len))
        return fd;
    TSH_LOG(TSH_ERROR, "write() %s\n", path);
    if (close(fd) < 0)
        TSH_LOG(TSH_ERROR, "close() %s\n", path);
    if (remove_file(path) == -1)
        TSH_LOG(TSH_ERROR, "remove_file() %s\n", path);
    return -1;
}

// Reads the pid of an existing file; 1 read, 0 format error.
int read_pid(int fd, int *pid)
{
    char buf[32] = {};
    ssize_t n = read(fd, buf, sizeof buf - 1);
    return n > 0 ? parse_pid(buf, pid) : 0;
}
}  // namespace

void hold_standard_streams()
{
    // Each open takes the lowest free number: the closed one being looked at.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return;
}

int parse_pid(const char *text, int *pid)
{
    int v = 0;
    if (!text || std::sscanf(text, "%8d", &v) != 1 || v <= 0)
        return 0;
    *pid = v;
    return 1;
}

int remove_file(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return -1;
    return unlink(path);
}

int lock_process(const char *path)
{
    char pidtext[16];
    int len = std::snprintf(pidtext, sizeof pidtext, "%d\n", static_cast<int>(getpid()));
    if (len <= 0 || len >= static_cast<int>(sizeof pidtext)) {
        TSH_LOG(TSH_ERROR, "sprintf()");
        return -1;
    }
    // Each pass either creates the file or finds one; a file that vanishes
    // or is replaced under us sends us round again, a bounded number of times.
    for (int pass = 0; pass < 8; ++pass) {
        int fd = create_locked(path, pidtext, static_cast<size_t>(len));
        if (fd != -2)
            return fd;

        TSH_LOG(TSH_INFO, "open() %s\n", path);
        struct stat st;
        if (lstat(path, &st) != 0) {
            if (errno == ENOENT)
                continue;  // removed meanwhile by the instance that owned it
            TSH_LOG(TSH_ERROR, "lock file access().\n");
            return -1;
        }
        TSH_LOG(TSH_NOTICE, "opened ok\n");
        Fd old(open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        struct stat ost;
        if (old.fd < 0 || fstat(old.fd, &ost) != 0 || !S_ISREG(ost.st_mode)) {
            int err = old.fd < 0 ? errno : EINVAL;
            TSH_LOG(TSH_ERROR, "Error opening pid file for reading %d\n", err);
            return -1;
        }
        int pid = 0;
        if (read_pid(old.fd, &pid) != 1) {
            TSH_LOG(TSH_ERROR, "Error reading data from pid file - possibly data is in wrong format\n");
            return -1;
        }
        int rc = kill(pid, 0);
        int err = rc < 0 ? errno : 0;
        TSH_LOG(TSH_INFO, "read from pid file pid %d, kill result is %d, errno is %d\n", pid, rc, err);
        if (rc >= 0) {
            TSH_LOG(TSH_NOTICE, "Daemon is already running.\n");
            return -1;
        }
        if (err != ESRCH) {
            TSH_LOG(TSH_ERROR, "kill(). errno %d\n", err);
            return -1;
        }
        TSH_LOG(TSH_NOTICE, "Remove not associated pid file.\n");
        if (set_lock(old.fd, F_WRLCK) < 0) {
            // A live instance holds it although its pid looked stale.
            TSH_LOG(TSH_ERROR, "fcntl() %s\n", path);
            return -1;
        }
        struct stat now;
        if (stat(path, &now) != 0 || now.st_ino != ost.st_ino || now.st_dev != ost.st_dev)
            continue;  // another instance replaced it first: look again
        if (remove_file(path) == -1) {
            TSH_LOG(TSH_ERROR, "remove_file() %s\n", path);
            return -1;
        }
    }
    TSH_LOG(TSH_ERROR, "lock file access().\n");
    return -1;
}

int unlock_process(const char *path, int fd)
{
    if (set_lock(fd, F_UNLCK) < 0)
        TSH_LOG(TSH_ERROR, "fcntl() unlock file error %s\n", path);
    if (close(fd) < 0)
        TSH_LOG(TSH_ERROR, "close() %s\n", path);
    if (remove_file(path) < 0) {
        TSH_LOG(TSH_ERROR, "remove_file() after unlock %s\n", path);
        return -1;
    }
    return 0;
}

void wake_sleepers()
{
    {
        std::lock_guard<std::mutex> g(wake_lock);
    }
    wake_cv.notify_all();
}

void request_stop()
{
    stop_requested = true;
    wake_sleepers();
}

bool stop_was_requested()
{
    return stop_requested;
}

void begin_teardown()
{
    bShutdown = 1;
    wake_sleepers();
}

bool tsh_shutting_down()
{
    return stop_requested || bShutdown;
}

bool sleep_unless_shutdown(long ms)
{
    return !sleep_until(ms, tsh_shutting_down);
}

bool sleep_until_teardown(long ms)
{
    return sleep_until(ms, [] { return bShutdown.load() != 0; });
}

void set_binary_name(const char *argv0)
{
    const char *base = argv0 ? std::strrchr(argv0, '/') : nullptr;
    base = base ? base + 1 : (argv0 ? argv0 : "");
    std::snprintf(__exec_binary_name, sizeof __exec_binary_name, "%s", base);
}
