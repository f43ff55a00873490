// dead_pid.h - a pid that names no process, for the pid-file tests.
#ifndef TSH_TEST_DEAD_PID_H
#define TSH_TEST_DEAD_PID_H

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// A child that has exited and been reaped.
inline pid_t dead_pid()
{
    pid_t p = fork();
    if (p == 0)
        _exit(0);
    waitpid(p, nullptr, 0);
    return p;
}

#endif
