/*
 * q7ctl.cpp - command-line tool for the Q7 database: read, write, list and
 * watch fields, seed rows from JSON, print the schema. Single-threaded except
 * for `watch`, where the library's callback thread prints and the main
 * thread only waits for SIGINT/SIGTERM.
 */
#include "q7ctl_args.h"
#include "q7host.h"
#include "q7lib.h"
#include "q7schema.h"

#include <cJSON.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

using q7ctl::Command;
using q7ctl::Verb;

struct HandleFree {
    void operator()(q7_handle *h) const { q7_destroy(h); }
};
using HandlePtr = std::unique_ptr<q7_handle, HandleFree>;
using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

constexpr size_t kValueMax = 8192;  // above any schema width

const char kUsage[] =
    "usage: q7ctl COMMAND [ARGS]\n"
    "  get TABLE[.ROW].FIELD          print one value\n"
    "  set TABLE[.ROW].FIELD VALUE    write one value (watchers see it only if it changed)\n"
    "  show [TABLE]                   print TABLE[.ROW].FIELD=VALUE for every field; of\n"
    "                                 many-row tables only rows holding a non-default value\n"
    "  watch [TABLE...]               print TABLE.ROW.FIELD=VALUE per change until SIGINT/SIGTERM\n"
    "                                 (all tables when none is named)\n"
    "  load FILE.json                 write the values of a seed file (see host/q7/README.md)\n"
    "  schema [TABLE]                 print tables and fields with kind, width, default, values\n"
    "  --help                         this text\n"
    "The server is found at $Q7_SOCKET (default /tmp/q7.sock).\n";

// "q7ctl: get TelvaStatus.0.nosuch: no such table, field or row (3)"
int fail(const char *verb, const std::string &object, int code)
{
    fprintf(stderr, "q7ctl: %s %s: %s (%d)\n", verb, object.c_str(), q7_error_string(code), code);
    return 1;
}

std::string address(const std::string &table, unsigned rows, unsigned row, const std::string &field)
{
    return rows > 1 ? table + "." + std::to_string(row) + "." + field : table + "." + field;
}

int cmd_get(q7_handle *h, const Command &c, const char *text)
{
    char buf[kValueMax];
    if (int rc = q7_get_text(h, c.addr.table.c_str(), c.addr.row, c.addr.field.c_str(), buf, sizeof buf))
        return fail("get", text, rc);
    printf("%s\n", buf);
    return 0;
}

int cmd_set(q7_handle *h, const Command &c, const char *text)
{
    if (int rc = q7_set_text(h, c.addr.table.c_str(), c.addr.row, c.addr.field.c_str(), c.value.c_str()))
        return fail("set", text, rc);
    return 0;
}

// Tables to work on: the one named (must exist) or all of them.
bool pick_tables(const q7::Schema &s, const std::vector<std::string> &named, const char *verb,
                 std::vector<const std::string *> &out)
{
    for (const auto &[name, t] : s.tables)
        if (named.empty() || std::find(named.begin(), named.end(), name) != named.end())
            out.push_back(&name);
    for (const auto &n : named) {
        if (!s.tables.count(n)) {
            fail(verb, n, Q7_NOSUCH_ITEM);
            return false;
        }
    }
    return true;
}

int cmd_show(q7_handle *h, const q7::Schema &s, const Command &c)
{
    std::vector<const std::string *> names;
    if (!pick_tables(s, c.tables, "show", names))
        return 1;
    char buf[kValueMax];
    for (const std::string *name : names) {
        const q7::Table &t = s.tables.find(*name)->second;
        for (unsigned row = 0; row < t.rows; row++) {
            std::string lines;
            bool any = t.rows == 1;
            for (const auto &[field, f] : t.fields) {
                if (int rc = q7_get_text(h, name->c_str(), row, field.c_str(), buf, sizeof buf))
                    return fail("show", address(*name, t.rows, row, field), rc);
                any = any || buf != f.def;
                lines += address(*name, t.rows, row, field) + "=" + buf + "\n";
            }
            if (any)
                fputs(lines.c_str(), stdout);
        }
    }
    return 0;
}

int cmd_schema(const q7::Schema &s, const Command &c)
{
    std::vector<const std::string *> names;
    if (!pick_tables(s, c.tables, "schema", names))
        return 1;
    for (const std::string *name : names) {
        const q7::Table &t = s.tables.find(*name)->second;
        printf("%s rows=%u\n", name->c_str(), t.rows);
        for (const auto &[field, f] : t.fields) {
            printf("%s.%s %s", name->c_str(), field.c_str(), q7::kind_name(f.kind));
            if (f.width)
                printf(" width=%zu", f.width);
            printf(" default=%s", f.def.c_str());
            for (size_t i = 0; i < f.values.size(); i++)
                printf("%s%s", i ? "|" : " values=", f.values[i].c_str());
            printf("\n");
        }
    }
    return 0;
}

// The value the change wrote, not one read later: quick writes each show.
void print_change(const char *table, unsigned row, const char *field, void *ctx)
{
    const char *value = q7_change_value(static_cast<q7_handle *>(ctx));
    printf("%s.%u.%s=%s\n", table, row, field, value ? value : "");
    fflush(stdout);
}

int cmd_watch(q7_handle *h, const q7::Schema &s, const Command &c, const sigset_t &stop)
{
    std::vector<const std::string *> names;
    if (!pick_tables(s, c.tables, "watch", names))
        return 1;
    q7_subscribe_cb(h, print_change, h);
    for (const std::string *name : names)
        if (int rc = q7_subscribe(h, name->c_str(), 1))
            return fail("watch", *name, rc);
    fprintf(stderr, "q7ctl: watching %zu table(s); SIGINT or SIGTERM stops\n", names.size());
    int sig = 0;
    while (sigwait(&stop, &sig) != 0) {
    }
    return 0;
}

// Seed-file value as text: strings as they are, integers in decimal,
// booleans as 1/0.
bool json_text(const cJSON *v, std::string &out)
{
    if (cJSON_IsString(v)) {
        out = v->valuestring;
        return true;
    }
    if (cJSON_IsBool(v)) {
        out = cJSON_IsTrue(v) ? "1" : "0";
        return true;
    }
    if (cJSON_IsNumber(v) && v->valuedouble == static_cast<double>(static_cast<long long>(v->valuedouble))) {
        out = std::to_string(static_cast<long long>(v->valuedouble));
        return true;
    }
    return false;
}

int load_row(q7_handle *h, const std::string &file, const char *table, unsigned rows, unsigned row,
             const cJSON *fields)
{
    if (!cJSON_IsObject(fields)) {
        fprintf(stderr, "q7ctl: load %s: %s row %u is not an object\n", file.c_str(), table, row);
        return 1;
    }
    const cJSON *f = nullptr;
    cJSON_ArrayForEach(f, fields) {
        std::string where = file + ": " + address(table, rows, row, f->string), text;
        if (!json_text(f, text))
            return fail("load", where, Q7_INVALID);
        if (int rc = q7_set_text(h, table, row, f->string, text.c_str()))
            return fail("load", where, rc);
    }
    return 0;
}

int cmd_load(q7_handle *h, const std::string &file)
{
    std::ifstream in(file);
    std::stringstream ss;
    ss << in.rdbuf();
    if (!in) {
        fprintf(stderr, "q7ctl: load %s: cannot read the file\n", file.c_str());
        return 1;
    }
    std::string text = ss.str();
    JsonPtr root(cJSON_Parse(text.c_str()), cJSON_Delete);
    if (!cJSON_IsObject(root.get())) {
        fprintf(stderr, "q7ctl: load %s: not a JSON object\n", file.c_str());
        return 1;
    }
    const cJSON *t = nullptr;
    cJSON_ArrayForEach(t, root.get()) {
        unsigned rows = 0;
        if (int rc = q7_table_rows(h, t->string, &rows))
            return fail("load", file + ": " + t->string, rc);
        if (!cJSON_IsArray(t)) {
            if (int rc = load_row(h, file, t->string, rows, 0, t))
                return rc;
            continue;
        }
        unsigned row = 0;
        for (const cJSON *r = t->child; r; r = r->next, row++) {
            if (cJSON_IsNull(r))
                continue;
            if (int rc = load_row(h, file, t->string, rows, row, r))
                return rc;
        }
    }
    return 0;
}

int run(const Command &c, const char *addr_text)
{
    // watch: take SIGINT/SIGTERM in sigwait only; blocked before the library's
    // thread exists, which inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (c.verb == Verb::Watch)
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    HandlePtr h(q7_init());
    if (!h) {
        const char *sock = getenv("Q7_SOCKET");
        fprintf(stderr, "q7ctl: cannot reach the Q7 server at %s, or it holds no valid schema\n",
                sock && *sock ? sock : "/tmp/q7.sock");
        return 1;
    }
    char *json = nullptr;
    if (int rc = q7_schema_text(h.get(), &json))
        return fail("schema", "", rc);
    std::string err;
    q7::SchemaPtr schema = q7::parse_schema(json, &err);
    free(json);
    if (!schema) {
        fprintf(stderr, "q7ctl: the server's schema is invalid: %s\n", err.c_str());
        return 1;
    }
    switch (c.verb) {
    case Verb::Get:
        return cmd_get(h.get(), c, addr_text);
    case Verb::Set:
        return cmd_set(h.get(), c, addr_text);
    case Verb::Show:
        return cmd_show(h.get(), *schema, c);
    case Verb::Watch:
        return cmd_watch(h.get(), *schema, c, stop);
    case Verb::Load:
        return cmd_load(h.get(), c.file);
    case Verb::Schema:
        return cmd_schema(*schema, c);
    case Verb::Help:
        break;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    try {
        Command c;
        std::string err;
        if (!q7ctl::parse_args(argc - 1, argv + 1, c, err)) {
            fprintf(stderr, "q7ctl: %s (q7ctl --help shows the usage)\n", err.c_str());
            return 2;
        }
        if (c.verb == Verb::Help) {
            fputs(kUsage, stdout);
            return 0;
        }
        return run(c, argc > 2 ? argv[2] : "");
    } catch (const std::exception &e) {
        fprintf(stderr, "q7ctl: %s\n", e.what());
        return 1;
    }
}
