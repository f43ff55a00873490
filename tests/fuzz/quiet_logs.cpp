/*
 * quiet_logs.cpp - linked into every target that calls daemon parsers.
 * The logging library is linked in statically here, so it reads the
 * threshold below at dynlog_lib_init: 0 lets no line through, which keeps a
 * line per Q7 error from slowing each run.
 */
#include "q7dynlog.h"

extern "C" {
int __log_level = 0;

int LLVMFuzzerInitialize(int *, char ***)
{
    return dynlog_lib_init();
}
}
