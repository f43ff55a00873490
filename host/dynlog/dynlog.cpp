/*
 * dynlog.cpp - the logging library: formats each message into one line and
 * writes it with one write(2) to the destinations chosen by the settings the
 * program exports (console, file) or to syslog when neither is chosen.
 *
 * The exported settings are weak references: a program that does not define
 * them links and runs on the defaults. They are read at dynlog_lib_init and
 * written by set_log_level, which fills them from Q7 table "dalLogCfg"
 * through a Q7 handle of the library's own. log_printf never reads them: it
 * works on the library's copy, so a re-apply can run while threads log.
 */
#include "q7dynlog.h"

#include "q7lib.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#define DYNLOG_API extern "C" __attribute__((visibility("default")))

// Settings the program may define (see q7dynlog.h); null when it does not.
extern "C" {
extern int __log_level __attribute__((weak));
extern int __log_to_console __attribute__((weak));
extern int __log_to_file __attribute__((weak));
extern char __log_file_name[32] __attribute__((weak));
extern char __exec_binary_name[32] __attribute__((weak));
}

namespace {

constexpr char log_table[] = "dalLogCfg";
constexpr size_t name_size = 32;
constexpr size_t stack_line = 1024;   // most lines fit here
constexpr size_t max_line = 8192;     // longer texts are cut

struct Settings {
    int level = 5;
    bool to_console = false;
    bool to_file = false;
    char file_name[name_size] = "";
};

// Where lines go now. Guarded by out_mutex; taken by every logging thread,
// by init/uninit and by set_log_level (main or Q7 callback thread). Holding
// the lock across each write keeps a re-apply from closing an fd in use.
struct Output {
    bool open = false;          // between dynlog_lib_init and dynlog_lib_uninit
    bool to_console = false;
    int file_fd = -1;
    char file_name[name_size] = "";
    bool to_syslog = false;
    char program[name_size] = "";   // also the syslog ident: must outlive openlog
};
std::mutex out_mutex;
Output out;

// Threshold read without the lock so that filtered messages cost nothing.
std::atomic<int> threshold{5};

// The library's Q7 handle, created on first use. Guarded by q7_mutex;
// taken by set_log_level and dynlog_lib_uninit.
std::mutex q7_mutex;
q7_handle *q7 = nullptr;

void copy_text(char (&dst)[name_size], const char *src)
{
    snprintf(dst, sizeof dst, "%s", src ? src : "");
}

int priority_of(int level)
{
    switch (level) {
    case 4: return LOG_ERR;
    case 2: return LOG_NOTICE;
    case 1: return LOG_INFO;
    default: return LOG_DEBUG;
    }
}

const char *priority_name(int prio)
{
    switch (prio) {
    case LOG_ERR: return "error";
    case LOG_NOTICE: return "notice";
    case LOG_INFO: return "info";
    default: return "debug";
    }
}

Settings exported_settings()
{
    Settings s;
    if (&__log_level)
        s.level = __log_level;
    if (&__log_to_console)
        s.to_console = __log_to_console != 0;
    if (&__log_to_file)
        s.to_file = __log_to_file != 0;
    if (&__log_file_name)
        copy_text(s.file_name, __log_file_name);
    return s;
}

void export_settings(const Settings &s)
{
    if (&__log_level)
        __log_level = s.level;
    if (&__log_to_console)
        __log_to_console = s.to_console;
    if (&__log_to_file)
        __log_to_file = s.to_file;
    if (&__log_file_name)
        copy_text(__log_file_name, s.file_name);
}

void write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;   // nowhere to report a failing log destination
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void close_file(Output &o)
{
    if (o.file_fd >= 0)
        close(o.file_fd);
    o.file_fd = -1;
    o.file_name[0] = '\0';
}

// Brings `o` in line with `s`; out_mutex held. Returns errno of a failed
// file open (the lines then go where they would go without the file).
int apply(Output &o, const Settings &s)
{
    threshold.store(s.level, std::memory_order_relaxed);
    o.to_console = o.open && s.to_console;
    int err = 0;
    bool want_file = o.open && s.to_file && s.file_name[0];
    if (!want_file) {
        close_file(o);
    } else if (o.file_fd < 0 || strcmp(o.file_name, s.file_name) != 0) {
        close_file(o);
        o.file_fd = open(s.file_name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (o.file_fd >= 0)
            copy_text(o.file_name, s.file_name);
        else
            err = errno;
    }
    // openlog again each time: the program name may have changed.
    bool want_syslog = o.open && !o.to_console && o.file_fd < 0;
    if (o.to_syslog)
        closelog();
    if (want_syslog)
        openlog(o.program[0] ? o.program : nullptr, LOG_PID, LOG_DAEMON);
    o.to_syslog = want_syslog;
    return err;
}

// Applies `s` and the program name (kept when null); reports a file that
// cannot be opened on standard error, naming the caller's module.
void apply_settings(const Settings &s, const char *program, const char *module)
{
    int err;
    {
        std::lock_guard lk(out_mutex);
        if (program)
            copy_text(out.program, program);
        err = apply(out, s);
    }
    if (err)
        log_printf(4, "dynlog", __LINE__, "%s: cannot open log file %s: %s\n",
                   module ? module : "-", s.file_name, strerror(err));
}

// Fills `s` from row 0 of dalLogCfg; a field that cannot be read keeps its
// value. Returns 0, or the first error when no field could be read.
int read_q7_settings(Settings &s)
{
    std::lock_guard lk(q7_mutex);
    if (!q7)
        q7 = q7_init();
    if (!q7) {
        log_printf(4, "dynlog", __LINE__, "q7: %s: no server, settings kept\n", log_table);
        return Q7_TIMEOUT;
    }

    int32_t level = 0;
    uint8_t console = 0, file = 0;
    char name[name_size] = "";
    int rc[4] = {
        q7_get_int(q7, log_table, 0, "TshLogLevel", &level),
        q7_get_bool(q7, log_table, 0, "TshLogToConsole", &console),
        q7_get_bool(q7, log_table, 0, "TshLogToFile", &file),
        q7_get_ascii(q7, log_table, 0, "TshLogFileName", name, sizeof name),
    };
    const char *fields[4] = {"TshLogLevel", "TshLogToConsole", "TshLogToFile", "TshLogFileName"};
    if (!rc[0])
        s.level = level;
    if (!rc[1])
        s.to_console = console != 0;
    if (!rc[2])
        s.to_file = file != 0;
    if (!rc[3])
        copy_text(s.file_name, name);

    int first_error = 0, failed = 0;
    for (int i = 0; i < 4; i++) {
        if (!rc[i])
            continue;
        failed++;
        if (!first_error)
            first_error = rc[i];
        log_printf(4, "dynlog", __LINE__, "q7: get %s[0].%s: %s (%d)\n", log_table, fields[i],
                   q7_error_string(rc[i]), rc[i]);
    }
    return failed == 4 ? first_error : 0;
}

// Program name for the lines: the applied one, else the exported one (set
// by the program before it starts threads), so early lines carry it too.
const char *program_name()
{
    if (out.program[0])
        return out.program;
    if (&__exec_binary_name && __exec_binary_name[0])
        return __exec_binary_name;
    return "-";
}

// Header "2026-12-06 20:07:32.123 prog[pid] <level> module:line: " into buf;
// *tag gets the offset of "module:line: ", where syslog lines start (syslog
// adds time, name and pid itself). out_mutex held.
size_t format_header(char *buf, size_t size, int prio, const char *module, int line, size_t *tag)
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char stamp[24];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    int a = snprintf(buf, size, "%s.%03ld %.31s[%ld] <%s> ", stamp, ts.tv_nsec / 1000000L,
                     program_name(), static_cast<long>(getpid()), priority_name(prio));
    *tag = static_cast<size_t>(std::max(a, 0));
    int b = snprintf(buf + *tag, size - *tag, "%.63s:%d: ", module ? module : "-", line);
    return *tag + static_cast<size_t>(std::max(b, 0));
}

// Writes one finished message to the current destinations; out_mutex held.
// `tagged` is the line from "module:line: " on, for syslog.
void emit(const char *line, size_t len, const char *tagged, int prio)
{
    if (!out.open) {
        write_all(STDERR_FILENO, line, len);
        return;
    }
    if (out.to_console)
        write_all(STDERR_FILENO, line, len);
    if (out.file_fd >= 0)
        write_all(out.file_fd, line, len);
    if (out.to_syslog)
        syslog(prio, "%s", tagged);
}

}  // namespace

DYNLOG_API int dynlog_lib_init(void)
{
    {
        std::lock_guard lk(out_mutex);
        out.open = true;
    }
    bool named = &__exec_binary_name && __exec_binary_name[0];
    apply_settings(exported_settings(), named ? __exec_binary_name : nullptr, "dynlog");
    return 0;
}

DYNLOG_API void dynlog_lib_uninit(void)
{
    {
        std::lock_guard lk(q7_mutex);
        q7_destroy(q7);
        q7 = nullptr;
    }
    std::lock_guard lk(out_mutex);
    if (!out.open)
        return;
    out.open = false;
    Settings keep;
    keep.level = threshold.load(std::memory_order_relaxed);
    apply(out, keep);
}

DYNLOG_API int set_log_level(int mode, const char *module, const char *program)
{
    (void)mode;   // start-up and re-apply do the same: read everything, apply everything
    Settings s = exported_settings();
    int rc = read_q7_settings(s);
    export_settings(s);
    apply_settings(s, program, module);
    return rc;
}

DYNLOG_API void log_printf(int level, const char *module, int line, const char *fmt, ...)
{
    int prio = priority_of(level);
    if (prio > threshold.load(std::memory_order_relaxed) || !fmt)
        return;

    char stack[stack_line];
    std::unique_ptr<char, decltype(&free)> heap(nullptr, &free);
    char *buf = stack;
    size_t size = sizeof stack;

    std::lock_guard lk(out_mutex);
    size_t tag = 0;
    size_t head = format_header(buf, size, prio, module, line, &tag);
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(buf + head, size - head, fmt, ap);
    va_end(ap);
    size_t text = n < 0 ? 0 : static_cast<size_t>(n);
    if (head + text + 2 > size) {
        // Too long for the stack: one heap buffer, cut at max_line.
        size_t want = std::min(head + text + 2, max_line);
        heap.reset(static_cast<char *>(malloc(want)));
        if (heap) {
            memcpy(heap.get(), stack, head);
            buf = heap.get();
            size = want;
            vsnprintf(buf + head, size - head, fmt, again);
        }
    }
    va_end(again);
    // Room for the line end is kept: size - 2 is the last text position.
    size_t len = std::min(head + text, size - 2);
    if (len == head || buf[len - 1] != '\n')
        buf[len++] = '\n';
    buf[len] = '\0';
    emit(buf, len, buf + tag, prio);
}
