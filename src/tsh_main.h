// tsh_main.h - life of the daemon: start-up, the wait, signals, teardown.
#ifndef TSH_MAIN_H
#define TSH_MAIN_H

#include <atomic>

// 1 once the teardown has begun (set by good_bye); read by every thread.
extern std::atomic<int> bShutdown;

// True once a stop was asked for (SIGUSR1) or the teardown began: handlers,
// callbacks and retry loops return at once.
bool tsh_shutting_down();
// Sleeps up to ms milliseconds; false (at once) when shutting down.
bool sleep_unless_shutdown(long ms);

int setup_signal_handlers();
int signal_user2_handler();
void good_bye(const char *label);

extern "C" {
extern char __exec_binary_name[32];
}

#endif
