// process_util.h - starting the real programs that tests drive.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

// Starts args (looked up in PATH), stdout and stderr to out_fd when given;
// the pid, or -1.
inline pid_t spawn_process(const std::vector<std::string> &args, int out_fd = -1)
{
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    for (int fd : {STDOUT_FILENO, STDERR_FILENO})
        if (out_fd >= 0)
            posix_spawn_file_actions_adddup2(&fa, out_fd, fd);
    pid_t pid = -1;
    const bool started = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
    return started ? pid : -1;
}

// Reaps pid: its exit status, or 128 + the signal that ended it.
inline int wait_exit(pid_t pid)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
        continue;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Runs a program to its end; its exit status, or -1 when it cannot start.
inline int run_process(const std::vector<std::string> &args)
{
    const pid_t pid = spawn_process(args);
    return pid < 0 ? -1 : wait_exit(pid);
}

// The state letter of a process ('T' when stopped), or 0 when it is gone.
inline char process_state(pid_t pid)
{
    std::string line;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), line);
    const size_t p = line.rfind(')');  // the name may hold blanks and parentheses
    return p != std::string::npos && p + 2 < line.size() ? line[p + 2] : 0;
}
