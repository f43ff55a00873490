// tsh_log.h - the daemon's one logging macro. Each module defines
// TSH_MODULE (its name as the logging library shows it) before using it.
#ifndef TSH_LOG_H
#define TSH_LOG_H

#include "q7dynlog.h"

enum { TSH_INFO = 1, TSH_NOTICE = 2, TSH_ERROR = 4 };

#define TSH_LOG(level, ...) log_printf((level), TSH_MODULE, __LINE__, __VA_ARGS__)

#endif
