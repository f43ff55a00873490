// lab_processes.cpp - the daemon as a child process, the probes beside it
// and the wait for its start-up to end.
#include "lab_processes.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

extern char **environ;

namespace bench {

using namespace std::chrono_literals;

Daemon::Daemon(const std::string &path, const std::string &log, const std::string &launcher,
               const std::vector<std::string> &env)
    : log_(log)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char *> argv;
    if (!launcher.empty())
        argv.push_back(const_cast<char *>(launcher.c_str()));
    argv.push_back(const_cast<char *>(path.c_str()));
    argv.push_back(nullptr);
    // The overrides first: the first entry of a name is the one a program reads.
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    for (char **e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        fail("cannot start the daemon " + std::string(argv[0]) + ": " + strerror(rc));
}

Daemon::~Daemon()
{
    const pid_t pid = pid_;
    if (pid > 0 && stop() < 0)
        fprintf(stderr, "bench: daemon %d killed, it did not stop on SIGUSR1\n", static_cast<int>(pid));
}

int Daemon::exited()
{
    int st = 0;
    if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return pid_ > 0 ? -1 : status_;
}

int Daemon::stop()
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGUSR1);
    // A fine poll: the stop itself is one of the figures.
    for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(100us))
        if (exited() >= 0)
            return status_;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

void Daemon::stop_in_order()
{
    const int status = stop();
    if (status != 0)
        fail("the daemon did not stop in order (status " + std::to_string(status) + "); see " + log_);
}

Probes::Probes(const std::vector<std::string> &commands, pid_t daemon)
{
    for (const std::string &c : commands) {
        std::vector<std::string> words;
        std::istringstream in(c);
        for (std::string w; in >> w;)
            words.push_back(w == "{pid}" ? std::to_string(daemon) : w);
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (argv.size() < 2 || posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            fail("cannot start the probe '" + c + "'");
        pids_.push_back(pid);
    }
    if (!pids_.empty())
        std::this_thread::sleep_for(500ms);
}

Probes::~Probes()
{
    for (pid_t pid : pids_)
        kill(pid, SIGINT);
    for (pid_t pid : pids_)
        waitpid(pid, nullptr, 0);
}

Receipt wait_ready(JournalFollower &journal, Daemon &daemon, const std::string &log)
{
    size_t next = journal.count();
    const auto end = Clock::now() + 30s;
    for (;;) {
        if (auto r = journal.wait(next, is_call("set_router_info"), 50ms))
            return *r;
        if (const int st = daemon.exited(); st >= 0)
            fail("the daemon ended with status " + std::to_string(st) + " before it was ready; see " + log);
        if (Clock::now() > end)
            fail("the daemon pushed no router info within 30 s of its start; see " + log);
    }
}

}  // namespace bench
