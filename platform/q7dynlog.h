/*
 * q7dynlog.h - the router's logging library.
 *
 * Levels the callers use, and where they map:
 *   level 4  error        -> syslog LOG_ERR     (3)
 *   level 2  notice       -> syslog LOG_NOTICE  (5)
 *   level 1  information  -> syslog LOG_INFO    (6)
 *   any other level       -> syslog LOG_DEBUG   (7)
 * __log_level is a syslog threshold: a message is written when its mapped
 * priority is <= __log_level. The default 5 shows notices and errors; 6 adds
 * information, 7 everything.
 *
 * The library reads five variables the program may define (weak references:
 * a program that defines none still links and gets the defaults):
 *   int  __log_level          threshold above (default 5)
 *   int  __log_to_console     1: write to standard error
 *   int  __log_to_file        1: append to __log_file_name
 *   char __log_file_name[32]  file for __log_to_file
 *   char __exec_binary_name[32] program name shown in every line
 * With neither console nor file chosen, lines go to syslog (facility daemon).
 *
 * set_log_level(mode, module, program) fills those variables from the Q7
 * table "dalLogCfg" (TshLogLevel, TshLogToConsole, TshLogToFile,
 * TshLogFileName) and applies them; mode 0 is the first call at start-up,
 * mode 1 re-applies after a change. A field that cannot be read keeps the
 * variable's value.
 *
 * log_printf may be called before dynlog_lib_init and after
 * dynlog_lib_uninit (it then writes to standard error). It is thread-safe
 * and writes each message as one write: time, program, pid, level, module,
 * line and the text; a line end is added only when the text has none.
 */
#ifndef Q7DYNLOG_H
#define Q7DYNLOG_H

#ifdef __cplusplus
extern "C" {
#endif

int dynlog_lib_init(void);      /* 0 on success */
void dynlog_lib_uninit(void);   /* harmless without a successful init */
int set_log_level(int mode, const char *module, const char *program);
void log_printf(int level, const char *module, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

#ifdef __cplusplus
}
#endif

#endif /* Q7DYNLOG_H */
