// bench_cli.cpp - the benches' command line and their common main.
#include "bench_cli.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <exception>

namespace bench {

int parse_args(int argc, char **argv, const char *prog, const std::vector<IntFlag> &ints,
               const std::vector<TextFlag> &texts, std::vector<std::string> &pos,
               const std::function<int(FILE *, int)> &usage)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h")
            return usage(stdout, 0);
        const auto i_flag = std::find_if(ints.begin(), ints.end(), [&](const IntFlag &f) { return a == f.name; });
        const auto t_flag = std::find_if(texts.begin(), texts.end(), [&](const TextFlag &f) { return a == f.name; });
        if (i_flag == ints.end() && t_flag == texts.end()) {
            pos.push_back(a);
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "%s: %s wants a value\n", prog, a.c_str());
            return usage(stderr, 2);
        }
        const char *value = argv[++i];
        if (t_flag != texts.end()) {
            if (t_flag->one)
                *t_flag->one = value;
            if (t_flag->many)
                t_flag->many->push_back(value);
            continue;
        }
        char *end = nullptr;
        const long v = strtol(value, &end, 10);
        if (*value == '\0' || *end != '\0' || v < i_flag->min || v > i_flag->max) {
            if (i_flag->max == kIntFlagMax)
                fprintf(stderr, "%s: %s wants a number of at least %d\n", prog, i_flag->name, i_flag->min);
            else
                fprintf(stderr, "%s: %s wants a number from %d to %d\n", prog, i_flag->name, i_flag->min,
                        i_flag->max);
            return usage(stderr, 2);
        }
        *i_flag->value = static_cast<int>(v);
    }
    return -1;
}

int bench_main(int argc, char **argv, const char *prog, std::vector<IntFlag> ints, std::vector<TextFlag> texts,
               const Help &help, CommonOptions &o, LabBase &lab, const std::function<void()> &run)
{
    const auto usage = [&](FILE *to, int status) {
        fputs(help.text, to);
        fprintf(to,
                "  --log-level N     the daemon's TshLogLevel (default 5)\n"
                "  --launcher PROG   runs DAEMON through PROG (an emulator such as qemu-arm)\n"
                "  --probe COMMAND   runs COMMAND (words split at blanks, {pid} the daemon's pid)\n"
                "                    while %s run, then ends it with SIGINT; repeatable\n",
                help.measured);
        fputs("  --lab DIR         starts a Q7 server and an agent of its own in DIR (the agent\n"
              "                    through --launcher) and stops them at the end; without it the\n"
              "                    bench uses those at $Q7_SOCKET and $SA_AGENT_SOCKET\n"
              "  --load FILE       with --lab, loads FILE into its Q7 server first (q7ctl load)\n",
              to);
        return status;
    };
    signal(SIGPIPE, SIG_IGN);
    ints.push_back({"--log-level", &o.log_level, 0});
    texts.push_back({"--launcher", &o.launcher});
    texts.push_back({"--probe", nullptr, &o.probes});
    texts.push_back({"--lab", &o.lab});
    texts.push_back({"--load", &o.load});
    std::vector<std::string> pos;
    const int st = parse_args(argc, argv, prog, ints, texts, pos, usage);
    if (st >= 0)
        return st;
    if (pos.size() != 2)
        return usage(stderr, 2);
    o.daemon = pos[0];
    o.log = pos[1];
    if (!o.load.empty() && o.lab.empty()) {
        fprintf(stderr, "%s: --load wants --lab\n", prog);
        return usage(stderr, 2);
    }
    try {
        if (!o.lab.empty()) {
            lab.own.emplace(source_dir(), o.lab, bin_dir() + "/sa-agentd", o.launcher);
            if (!o.load.empty())
                lab.own->load(o.load);
        }
        lab.agent_socket = saproto::socket_from_env();
        lab.q7 = open_q7();
        run();
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "%s: %s\n", prog, e.what());
        return 1;
    }
}

}  // namespace bench
