/*
 * agentctl.cpp - the lab's control tool for sa-agentd: shows its state, sets
 * what it hands out, raises events, injects failures and delays, restarts
 * it and reads its journal. One request per run over the agent's socket.
 * Exit status: 0 success, 1 the agent refused or is unreachable, 2 bad usage.
 */
#include "proto.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using saproto::JsonPtr;

constexpr int kReplyTimeoutMs = 10000;

void usage(FILE *to)
{
    fprintf(to,
            "usage: agentctl [--socket PATH] COMMAND [ARGS]\n"
            "Controls the security agent stand-in on PATH (default $SA_AGENT_SOCKET or %s).\n"
            "  state                               print the agent's state as JSON\n"
            "  set [--raw] version|status-report|devices VALUE\n"
            "  set va-running 1|0                  VALUE is JSON text or @FILE; --raw hands\n"
            "                                      the text out verbatim, unchecked\n"
            "  emit [--raw] devices-changed|started|va-scan [JSON]\n"
            "                                      push event 3, 4 or 5 to its subscribers\n"
            "  fail CALL [N|always|off]            the next N calls (default 1) of CALL fail\n"
            "  notext TCALL [N|always|off]         the next N successes of TCALL carry no text\n"
            "  emptytext TCALL [N|always|off]      ... carry the empty text \"\"\n"
            "  hang CALL MS                        delay CALL's replies by MS (0: off)\n"
            "  restart [MS]                        drop every connection, reload the state\n"
            "                                      file, listen again after MS (default 0)\n"
            "  journal [--follow] [--clear]        print (or clear) the call journal\n"
            "  stop                                stop the agent\n"
            "CALL: %s\n"
            "TCALL: get_version_info get_status_report get_devices\n",
            saproto::kDefaultSocket, saproto::broker_call_names());
}

int bad_usage(const std::string &why)
{
    fprintf(stderr, "agentctl: %s (see agentctl --help)\n", why.c_str());
    return 2;
}

// VALUE or the content of @FILE.
bool value_text(const std::string &arg, std::string &out, std::string &err)
{
    if (arg.empty() || arg[0] != '@') {
        out = arg;
        return true;
    }
    if (!saproto::read_file(arg.substr(1), out)) {
        err = "cannot read " + arg.substr(1) + ": " + strerror(errno);
        return false;
    }
    return true;
}

bool parse_count(const std::string &s, long long lo, long long hi, long long &out)
{
    char *end = nullptr;
    errno = 0;
    out = strtoll(s.c_str(), &end, 10);
    return !s.empty() && *end == '\0' && errno == 0 && out >= lo && out <= hi;
}

// Prints journal entries pushed to us until the agent goes away.
int follow(int fd)
{
    saproto::LineReader reader;
    std::string line;
    char buf[8192];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !reader.feed(buf, static_cast<size_t>(n)))
            return 1;
        while (reader.next(line)) {
            JsonPtr msg(cJSON_Parse(line.c_str()));
            const cJSON *e = cJSON_GetObjectItemCaseSensitive(msg.get(), "journal");
            if (e) {
                printf("%s\n", saproto::print(e).c_str());
                fflush(stdout);
            }
        }
    }
}

// Sends the request; prints the reply's text. follow_journal keeps the
// connection open for pushed journal entries.
int send_request(const std::string &socket, cJSON *req, bool follow_journal)
{
    cJSON_AddNumberToObject(req, "id", 1);
    std::string err;
    saproto::UniqueFd fd = saproto::connect_unix(socket, err);
    if (!fd || !saproto::send_all(fd.get(), saproto::print(req) + "\n")) {
        fprintf(stderr, "agentctl: agent not reachable: %s\n", err.empty() ? strerror(errno) : err.c_str());
        return 1;
    }
    JsonPtr reply = saproto::read_reply(fd.get(), socket, kReplyTimeoutMs, err);
    if (!reply) {
        fprintf(stderr, "agentctl: no reply from the agent on %s\n", socket.c_str());
        return 1;
    }
    auto result = saproto::get_int(reply.get(), "result");
    const char *text = saproto::get_string(reply.get(), "text");
    const char *error = saproto::get_string(reply.get(), "error");
    if (!result || *result != 0) {
        fprintf(stderr, "agentctl: %s: %s\n", saproto::get_string(req, "call") + 4, error ? error : "refused");
        return 1;
    }
    if (text)
        fputs(text, stdout);
    if (text && *text && text[strlen(text) - 1] != '\n')
        fputc('\n', stdout);
    fflush(stdout);
    return follow_journal ? follow(fd.get()) : 0;
}

int run(const std::string &socket, const std::vector<std::string> &args)
{
    const std::string &cmd = args[0];
    JsonPtr req(cJSON_CreateObject());
    cJSON_AddStringToObject(req.get(), "call", ("ctl." + cmd).c_str());
    size_t i = 1;
    bool raw = false;
    if ((cmd == "set" || cmd == "emit") && args.size() > 1 && args[1] == "--raw") {
        raw = true;
        i++;
    }
    const size_t n = args.size() - i;
    std::string err, text;
    if (cmd == "state" || cmd == "stop") {
        if (n != 0)
            return bad_usage(cmd + " takes no arguments");
    } else if (cmd == "set" || cmd == "emit") {
        if (n < (cmd == "set" ? 2u : 1u) || n > 2)
            return bad_usage(cmd == "set" ? "set WHAT VALUE" : "emit EVENT [JSON]");
        cJSON_AddStringToObject(req.get(), "what", args[i].c_str());
        if (n == 2) {
            if (!value_text(args[i + 1], text, err))
                return bad_usage(err);
            cJSON_AddStringToObject(req.get(), "value", text.c_str());
        }
        cJSON_AddBoolToObject(req.get(), "raw", raw);
    } else if (cmd == "fail" || cmd == "notext" || cmd == "emptytext" || cmd == "hang") {
        const bool counted = cmd != "hang";
        if (n < (counted ? 1u : 2u) || n > 2)
            return bad_usage(counted ? cmd + " CALL [N|always|off]" : "hang CALL MS");
        if (cmd == "fail" || cmd == "hang" ? !saproto::is_injectable_call(args[i]) : !saproto::is_text_call(args[i]))
            return bad_usage("unknown call '" + args[i] + "' for " + cmd + " (see --help)");
        long long count = 1;
        std::string c = n == 2 ? args[i + 1] : "1";
        if (counted && (c == "always" || c == "off"))
            count = c == "always" ? -1 : 0;
        else if (!parse_count(c, counted ? 1 : 0, INT_MAX, count))
            return bad_usage("bad " + std::string(counted ? "count" : "delay") + " '" + c + "'");
        cJSON_AddStringToObject(req.get(), "what", args[i].c_str());
        cJSON_AddNumberToObject(req.get(), "count", static_cast<double>(count));
    } else if (cmd == "restart") {
        long long ms = 0;
        if (n > 1 || (n == 1 && !parse_count(args[i], 0, INT_MAX, ms)))
            return bad_usage("restart [MS]");
        cJSON_AddNumberToObject(req.get(), "count", static_cast<double>(ms));
    } else if (cmd == "journal") {
        for (; i < args.size(); i++) {
            if (args[i] != "--follow" && args[i] != "--clear")
                return bad_usage("journal [--follow] [--clear]");
            cJSON_AddBoolToObject(req.get(), args[i].c_str() + 2, true);
        }
    } else {
        return bad_usage("unknown command '" + cmd + "'");
    }
    bool follow_journal = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(req.get(), "follow"));
    return send_request(socket, req.get(), follow_journal);
}

} // namespace

int main(int argc, char **argv)
{
    std::string socket = saproto::socket_from_env();
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (args.empty() && (a == "--help" || a == "-h")) {
            usage(stdout);
            return 0;
        }
        if (args.empty() && a == "--socket") {
            if (++i >= argc)
                return bad_usage("--socket needs a path");
            socket = argv[i];
            continue;
        }
        args.push_back(a);
    }
    if (args.empty())
        return bad_usage("no command");
    try {
        return run(socket, args);
    } catch (const std::exception &e) {
        fprintf(stderr, "agentctl: %s\n", e.what());
        return 1;
    }
}
