// tsh_daemon.h - the single-instance pid file.
#ifndef TSH_DAEMON_H
#define TSH_DAEMON_H

// Creates, write-locks and fills the pid file; the open descriptor, or -1.
int lock_process(const char *path);
// Unlocks, closes and removes it; 0 when the file is gone, -1 otherwise.
int unlock_process(const char *path, int fd);
// Unlinks the file if it exists; -1 when it does not.
int remove_file(const char *path);

#endif
