// quiet_logs.cpp - the logging library, linked in statically, reads this threshold at
// init: 0 lets no line through, so a line per Q7 error does not slow each run.
#include "q7dynlog.h"

extern "C" { int __log_level = 0; }
extern "C" int LLVMFuzzerInitialize(int *, char ***) { return dynlog_lib_init(); }
