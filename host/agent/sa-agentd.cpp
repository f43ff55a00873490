/*
 * sa-agentd.cpp - the security agent stand-in: a single-threaded daemon that
 * serves broker calls and agentctl's control calls on a Unix socket, keeps
 * the agent's state (agent_state.h), pushes events to subscribed clients,
 * journals every broker call and injects failures and delays on request.
 *
 * This file: start-up (options, detaching, pid file, signals) and logging.
 * Everything runs on the main thread's poll loop (agentd_loop.cpp); delayed
 * replies wait in a timer list, so a "hung" call never stops the agent
 * serving others.
 */
#include "agentd.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace saagent {

volatile sig_atomic_t g_stop = 0;

void logf(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fprintf(stderr, "sa-agentd: %s\n", buf);
    fflush(stderr);
}

} // namespace saagent

namespace {

using saagent::logf;
using saagent::Options;

void on_signal(int) { saagent::g_stop = 1; }

void usage(FILE *to)
{
    fprintf(to,
            "usage: sa-agentd [--socket PATH] [--state FILE] [--seed FILE] [--journal FILE]\n"
            "                 [--foreground] [--pidfile FILE] [--log FILE] [--replace]\n"
            "The security agent stand-in. Serves broker calls on a Unix socket\n"
            "(default $SA_AGENT_SOCKET or %s).\n"
            "  --state FILE    load the state from FILE at start, write it on every change\n"
            "  --seed FILE     initial state when the state file does not exist\n"
            "  --journal FILE  append every broker call with its result as a JSON line\n"
            "  --foreground    stay in the foreground (default: detach once listening)\n"
            "  --pidfile FILE  write the process id to FILE\n"
            "  --log FILE      log lines go to FILE (default: standard error, unless\n"
            "                  detached from a terminal)\n"
            "  --replace       stop an agent that already listens on the socket first\n",
            saproto::kDefaultSocket);
}

bool parse_options(int argc, char **argv, Options &o, int &exit_code)
{
    static const std::pair<const char *, std::string Options::*> with_value[] = {
        {"--socket", &Options::socket}, {"--state", &Options::state},     {"--seed", &Options::seed},
        {"--journal", &Options::journal}, {"--pidfile", &Options::pidfile}, {"--log", &Options::log},
    };
    exit_code = 2;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit_code = 0;
            return false;
        }
        if (a == "--foreground" || a == "--replace") {
            (a == "--foreground" ? o.foreground : o.replace) = true;
            continue;
        }
        bool known = false;
        for (auto &[name, field] : with_value) {
            if (a != name)
                continue;
            if (i + 1 >= argc) {
                fprintf(stderr, "sa-agentd: %s needs a value\n", name);
                return false;
            }
            o.*field = argv[++i];
            known = true;
        }
        if (!known) {
            fprintf(stderr, "sa-agentd: unknown option %s (see --help)\n", a.c_str());
            return false;
        }
    }
    return true;
}

bool write_pidfile(const std::string &path)
{
    if (path.empty())
        return true;
    FILE *f = fopen(path.c_str(), "w");
    bool ok = f && fprintf(f, "%ld\n", static_cast<long>(getpid())) > 0;
    ok = f && fclose(f) == 0 && ok;
    if (!ok)
        logf("cannot write pid file %s: %s", path.c_str(), strerror(errno));
    return ok;
}

// Detaches once the socket listens, so that a caller may connect as soon as
// sa-agentd returns. The parent exits 0 only when the child is ready.
bool detach(const Options &o)
{
    int ready[2];
    if (pipe(ready) != 0) {
        logf("pipe: %s", strerror(errno));
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        logf("fork: %s", strerror(errno));
        return false;
    }
    if (pid > 0) {
        close(ready[1]);
        char b = 0;
        ssize_t n;
        do
            n = read(ready[0], &b, 1);
        while (n < 0 && errno == EINTR);
        _exit(n == 1 ? 0 : 1);
    }
    close(ready[0]);
    setsid();
    if (!write_pidfile(o.pidfile))
        _exit(1);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    // A terminal is left behind; a file or pipe the caller chose is kept.
    if (o.log.empty() && isatty(STDERR_FILENO))
        dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO)
        close(null);
    char b = 1;
    ssize_t w = write(ready[1], &b, 1);
    close(ready[1]);
    return w == 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    int code = 0;
    if (!parse_options(argc, argv, opt, code))
        return code;
    if (!opt.log.empty() && !freopen(opt.log.c_str(), "a", stderr)) {
        fprintf(stdout, "sa-agentd: cannot open log %s: %s\n", opt.log.c_str(), strerror(errno));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        saagent::Agent agent(opt);
        if (!agent.setup())
            return 1;
        if (opt.foreground ? !write_pidfile(opt.pidfile) : !detach(opt))
            return 1;
        logf("listening on %s", opt.socket.c_str());
        int rc = agent.run();
        if (!opt.pidfile.empty())
            unlink(opt.pidfile.c_str());
        return rc;
    } catch (const std::exception &e) {
        logf("fatal: %s", e.what());
        return 1;
    }
}
