// tsh_daemon.h - the single-instance pid file.
#ifndef TSH_DAEMON_H
#define TSH_DAEMON_H

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

#endif
