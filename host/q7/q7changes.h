/*
 * q7changes.h - the change stream as a reader sees it: where it stands, the
 * entries it reads, and what it last delivered of each watched table, so that
 * after a gap it can tell which fields changed. Used by libq7lib's callback
 * thread and by q7_subscribe; not part of the public API.
 */
#ifndef Q7CHANGES_H
#define Q7CHANGES_H

#include "q7schema.h"

#include <hiredis/hiredis.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace q7 {

// Every change is also an entry of this stream (fields n = "TABLE\tROW\tFIELD",
// v = the value written), capped at about kStreamBound entries.
constexpr const char *kStream = "q7:events";
constexpr const char *kStreamBound = "4096";

// Entry ids are EPOCH-SEQ: EPOCH is fixed for the life of the stream and SEQ
// counts from 0 without gaps, so a reader sees a missed entry as a jump in
// SEQ and a stream that began again as another EPOCH.
struct StreamPos {
    bool known = false;  // false: no position taken yet
    bool empty = true;   // the stream held no entry at the position
    uint64_t epoch = 0, seq = 0;

    static bool parse(std::string_view id, StreamPos &out);
    std::string text() const;  // for XREAD; "0-0" when empty
    bool followed_by(const StreamPos &next) const;
};

struct Change {
    std::string table;
    unsigned row = 0;
    std::string field, value;
};

// One stream entry; false when its id is no stream id. c is filled only
// when the entry holds a well-formed change (has_change).
bool parse_entry(const redisReply *e, StreamPos &id, Change &c, bool &has_change);

// What a table held at a snapshot: per row the values of its fields in
// schema order, read from the snapshot's reply (which must outlive it).
struct TableValues {
    std::string name;
    unsigned rows = 0;
    std::vector<std::string> fields, defaults;
    const redisReply *values = nullptr;  // one array per row; nil: the default

    std::string_view value(unsigned row, size_t field) const;
};

struct Snapshot {
    StreamPos pos;  // the stream's last entry when the values were read
    std::vector<TableValues> tables;
};

// The request reading the stream's last id and the rows of the named tables
// in one atomic step; s is laid out for read_snapshot. Tables the schema
// lacks are left out.
std::vector<std::string> snapshot_request(const Schema &schema, const std::vector<std::string> &tables, Snapshot &s);
bool read_snapshot(const redisReply *r, Snapshot &s);

// What a handle last delivered of one table, as a hash per field value
// (8 bytes a field: a 256-row table of 9 fields takes 18 KiB).
class Delivered {
public:
    // Records a delivered value (ignored until the table was taken once).
    void remember(unsigned row, std::string_view field, std::string_view value);
    // Takes the snapshot's values as delivered; with report, first adds to
    // out each field whose value differs from the one last delivered.
    void take(const TableValues &t, bool report, std::vector<Change> &out);

private:
    std::vector<std::string> fields_;  // empty: nothing known yet
    unsigned rows_ = 0;
    std::vector<uint64_t> hashes_;
};

}  // namespace q7

#endif
