// daemon_stubs.cpp - what the daemon's modules take from tsh_main.cpp, for programs that
// link them without it (fuzz targets, corpus replay): it never stops, no wait lasts.
#include "tsh_main.h"

extern "C" { char __exec_binary_name[32] = "tsh-parsers"; }
bool tsh_shutting_down() { return false; }
bool sleep_unless_shutdown(long) { return false; }
