// tsh_daemon.h - the single-instance pid file, the process's stop state and
// its program name: what every other module of the daemon may use.
#ifndef TSH_DAEMON_H
#define TSH_DAEMON_H

#include <atomic>

// Points any of descriptors 0, 1 and 2 that the parent left closed at
// /dev/null, so that no file the daemon opens (the pid file first) takes
// that number and receives what is printed. Before any other open.
void hold_standard_streams();
// Creates, write-locks and fills the pid file; the open descriptor, or -1.
int lock_process(const char *path);
// Unlocks, closes and removes it; 0 when the file is gone, -1 otherwise.
int unlock_process(const char *path, int fd);
// The pid a pid file's text holds: 1 and *pid set, or 0 for a format error.
int parse_pid(const char *text, int *pid);
// Unlinks the file if it exists; -1 when it does not.
int remove_file(const char *path);


// 1 once the teardown has begun (begin_teardown, main thread); read by every
// thread.
extern std::atomic<int> bShutdown;

// SIGUSR1 (the signal thread): from now on handlers, callbacks and retry
// loops return at once, and every interruptible sleep ends.
void request_stop();
bool stop_was_requested();
// The teardown's first step: the flag, then every sleep ended.
void begin_teardown();
// Ends every interruptible sleep now (their conditions are read again).
void wake_sleepers();
// True once a stop was asked for or the teardown began.
bool tsh_shutting_down();
// Sleeps up to ms milliseconds; false (at once) when shutting down.
bool sleep_unless_shutdown(long ms);
// Sleeps up to ms milliseconds; true (at once) once the teardown has begun.
bool sleep_until_teardown(long ms);

// The program's name as the logging library shows it (exported for it);
// written once by set_binary_name before any thread starts.
extern "C" {
extern char __exec_binary_name[32];
}
void set_binary_name(const char *argv0);

#endif
