/*
 * q7schema.cpp - parsing the schema JSON and canonicalising field values.
 * Pure functions, no shared state.
 */
#include "q7schema.h"

#include <cJSON.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace q7 {
namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

constexpr size_t kMaxWidth = 4096;
constexpr unsigned kMaxRows = 65536;

constexpr const char *kKindNames[] = {"enum", "ascii", "string", "int", "uint", "bool", "mac", "ipv4"};

bool plain_name(std::string_view s)
{
    if (s.empty() || s.size() > kMaxName)
        return false;
    for (unsigned char c : s)
        if (!(isalnum(c) || c == '_' || c == '-'))
            return false;
    return true;
}

bool is_text(q7_kind k)
{
    return k == Q7_KIND_ENUM || k == Q7_KIND_ASCII || k == Q7_KIND_STRING;
}

// Strict decimal: optional '-' (when allowed), digits only, within range.
bool parse_number(std::string_view s, bool sign, long long lo, long long hi, long long &v)
{
    if (s.empty() || s.size() > 20)
        return false;
    char buf[24];
    memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
    const char *p = buf;
    if (*p == '-' && sign)
        p++;
    if (!isdigit(static_cast<unsigned char>(*p)))
        return false;
    char *end = nullptr;
    errno = 0;
    v = strtoll(buf, &end, 10);
    return errno == 0 && *end == '\0' && v >= lo && v <= hi;
}

bool valid_utf8(std::string_view s)
{
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (n == 9 || (n > 0 && i + n >= s.size()))
            return false;
        uint32_t cp = n ? (c & (0x3f >> n)) : c;
        for (size_t k = 1; k <= n; k++) {
            unsigned char d = s[i + k];
            if ((d >> 6) != 2)
                return false;
            cp = cp << 6 | (d & 0x3f);
        }
        static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += n + 1;
    }
    return true;
}

bool parse_field(const cJSON *j, Field &f, std::string &why)
{
    const cJSON *kind = cJSON_GetObjectItemCaseSensitive(j, "kind");
    if (!cJSON_IsString(kind)) {
        why = "no kind";
        return false;
    }
    int k = 0;
    while (k < 8 && strcmp(kKindNames[k], kind->valuestring) != 0)
        k++;
    if (k == 8) {
        why = std::string("unknown kind ") + kind->valuestring;
        return false;
    }
    f.kind = static_cast<q7_kind>(k);
    if (is_text(f.kind)) {
        const cJSON *w = cJSON_GetObjectItemCaseSensitive(j, "width");
        if (!cJSON_IsNumber(w) || w->valuedouble < 2 || w->valuedouble > kMaxWidth) {
            why = "width must be 2.." + std::to_string(kMaxWidth);
            return false;
        }
        f.width = static_cast<size_t>(w->valuedouble);
    }
    if (f.kind == Q7_KIND_ENUM) {
        const cJSON *vals = cJSON_GetObjectItemCaseSensitive(j, "values");
        const cJSON *v = nullptr;
        cJSON_ArrayForEach(v, vals) {
            if (!cJSON_IsString(v) || strlen(v->valuestring) >= f.width || !valid_utf8(v->valuestring)) {
                why = "enum values must be texts shorter than the width";
                return false;
            }
            f.values.emplace_back(v->valuestring);
        }
        if (f.values.empty()) {
            why = "enum without values";
            return false;
        }
    }
    // The default goes through the same check as any written value.
    const cJSON *d = cJSON_GetObjectItemCaseSensitive(j, "default");
    std::string text;
    if (cJSON_IsString(d))
        text = d->valuestring;
    else if (cJSON_IsNumber(d))
        text = std::to_string(static_cast<long long>(d->valuedouble));
    else if (cJSON_IsBool(d))
        text = cJSON_IsTrue(d) ? "1" : "0";
    else {
        why = "no default";
        return false;
    }
    if (canonical(f, text, f.def) != Q7_OK) {
        why = "default \"" + text + "\" does not fit the field";
        return false;
    }
    return true;
}

}  // namespace

const char *kind_name(q7_kind k)
{
    return static_cast<unsigned>(k) < 8 ? kKindNames[k] : "?";
}

SchemaPtr parse_schema(std::string_view json, std::string *err)
{
    std::string why;
    auto fail = [&](const std::string &where) {
        if (err)
            *err = where + (why.empty() ? "" : ": " + why);
        return nullptr;
    };
    JsonPtr root(cJSON_ParseWithLength(json.data(), json.size()), cJSON_Delete);
    const cJSON *tables = cJSON_GetObjectItemCaseSensitive(root.get(), "tables");
    if (!cJSON_IsObject(tables))
        return fail("no \"tables\" object");
    auto s = std::make_shared<Schema>();
    s->json.assign(json);
    const cJSON *t = nullptr;
    cJSON_ArrayForEach(t, tables) {
        std::string tname = t->string;
        if (!plain_name(tname) || s->tables.count(tname))
            return fail("bad or repeated table name \"" + tname + "\"");
        Table tab;
        const cJSON *rows = cJSON_GetObjectItemCaseSensitive(t, "rows");
        if (!cJSON_IsNumber(rows) || rows->valuedouble < 1 || rows->valuedouble > kMaxRows)
            return fail(tname + ": rows must be 1.." + std::to_string(kMaxRows));
        tab.rows = static_cast<unsigned>(rows->valuedouble);
        const cJSON *fields = cJSON_GetObjectItemCaseSensitive(t, "fields");
        const cJSON *f = nullptr;
        cJSON_ArrayForEach(f, fields) {
            std::string fname = f->string;
            Field fld;
            if (!plain_name(fname) || tab.fields.count(fname))
                return fail(tname + ": bad or repeated field name \"" + fname + "\"");
            if (!parse_field(f, fld, why))
                return fail(tname + "." + fname);
            tab.fields.emplace(fname, std::move(fld));
        }
        if (tab.fields.empty())
            return fail(tname + ": no fields");
        s->tables.emplace(tname, std::move(tab));
    }
    if (s->tables.empty())
        return fail("no tables");
    return s;
}

int canonical(const Field &f, std::string_view text, std::string &out)
{
    long long v = 0;
    uint8_t b[6];
    switch (f.kind) {
    case Q7_KIND_ENUM:
    case Q7_KIND_ASCII:
    case Q7_KIND_STRING:
        if (text.size() >= f.width)
            return Q7_TOO_LONG;
        if (f.kind == Q7_KIND_ENUM) {
            bool known = false;
            for (const auto &e : f.values)
                known = known || e == text;
            if (!known)
                return Q7_INVALID;
        } else if (f.kind == Q7_KIND_ASCII) {
            for (unsigned char c : text)
                if (c < 0x20 || c > 0x7e)
                    return Q7_INVALID;
        } else if (!valid_utf8(text) || text.find('\0') != std::string_view::npos) {
            return Q7_INVALID;
        }
        out.assign(text);
        return Q7_OK;
    case Q7_KIND_INT:
        if (!parse_number(text, true, INT32_MIN, INT32_MAX, v))
            return Q7_INVALID;
        out = std::to_string(v);
        return Q7_OK;
    case Q7_KIND_UINT:
        if (!parse_number(text, false, 0, UINT32_MAX, v))
            return Q7_INVALID;
        out = std::to_string(v);
        return Q7_OK;
    case Q7_KIND_BOOL:
        if (text == "1" || text == "true")
            out = "1";
        else if (text == "0" || text == "false")
            out = "0";
        else
            return Q7_INVALID;
        return Q7_OK;
    case Q7_KIND_MAC:
        if (!parse_mac(text, b))
            return Q7_ENCODING;
        out = format_mac(b);
        return Q7_OK;
    case Q7_KIND_IPV4:
        if (!parse_ipv4(text, b))
            return Q7_ENCODING;
        out = format_ipv4(b);
        return Q7_OK;
    }
    return Q7_INVALID;
}

bool parse_mac(std::string_view s, uint8_t mac[6])
{
    if (s.size() != 17)
        return false;
    for (size_t i = 0; i < 6; i++) {
        auto hex = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        };
        int hi = hex(s[3 * i]), lo = hex(s[3 * i + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && s[3 * i + 2] != ':'))
            return false;
        mac[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool parse_ipv4(std::string_view s, uint8_t ip[4])
{
    size_t pos = 0;
    for (int i = 0; i < 4; i++) {
        unsigned v = 0;
        size_t digits = 0;
        while (pos < s.size() && isdigit(static_cast<unsigned char>(s[pos])) && digits < 4) {
            v = v * 10 + (s[pos++] - '0');
            digits++;
        }
        if (digits == 0 || digits > 3 || v > 255)
            return false;
        ip[i] = static_cast<uint8_t>(v);
        if (i < 3 && (pos >= s.size() || s[pos++] != '.'))
            return false;
    }
    return pos == s.size();
}

std::string format_mac(const uint8_t m[6])
{
    char buf[18];
    snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

std::string format_ipv4(const uint8_t ip[4])
{
    char buf[16];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return buf;
}

}  // namespace q7
