/*
 * q7schema.h - the Q7 schema (tables, typed fields, defaults) as parsed from
 * its JSON text, and the one place where a value's text is checked against
 * its field and brought into canonical form. Shared by libq7lib and q7ctl;
 * not part of the public API.
 */
#ifndef Q7SCHEMA_H
#define Q7SCHEMA_H

#include "q7lib.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace q7 {

// Names travel in keys ("q7:d:TABLE:ROW") and notifications (tab-separated)
// and in q7ctl's TABLE.ROW.FIELD form, so they are kept short and plain.
constexpr size_t kMaxName = 63;

struct Field {
    q7_kind kind = Q7_KIND_INT;
    size_t width = 0;                 // texts: bytes including the terminator
    std::vector<std::string> values;  // enum: the allowed texts
    std::string def;                  // canonical default text
};

struct Table {
    unsigned rows = 1;
    std::map<std::string, Field, std::less<>> fields;
};

struct Schema {
    std::map<std::string, Table, std::less<>> tables;
    std::string json;  // the text it was parsed from
};

using SchemaPtr = std::shared_ptr<const Schema>;

// Parses and checks a schema text; nullptr with a reason in *err on failure.
SchemaPtr parse_schema(std::string_view json, std::string *err);

// Checks text against the field and writes its canonical form into out.
// Returns a Q7 error code (Q7_TOO_LONG, Q7_INVALID, Q7_ENCODING) or Q7_OK.
int canonical(const Field &f, std::string_view text, std::string &out);

const char *kind_name(q7_kind k);

// "AA:BB:.." / "a.b.c.d" <-> bytes; false on malformed text.
bool parse_mac(std::string_view text, uint8_t mac[6]);
bool parse_ipv4(std::string_view text, uint8_t ip[4]);
std::string format_mac(const uint8_t mac[6]);
std::string format_ipv4(const uint8_t ip[4]);

}  // namespace q7

#endif
