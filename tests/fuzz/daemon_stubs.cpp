/*
 * daemon_stubs.cpp - what the daemon's modules take from tsh_main.cpp, for
 * programs that link the modules without it (the fuzz targets and the corpus
 * replay test): no daemon runs there, so it is never stopping.
 */
#include "tsh_main.h"

extern "C" {
char __exec_binary_name[32] = "tsh-parsers";
}

bool tsh_shutting_down()
{
    return false;
}

// Nothing here waits for a period: the wait ends at once, as in a teardown.
bool sleep_unless_shutdown(long)
{
    return false;
}
