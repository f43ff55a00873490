/*
 * q7changes.cpp - stream positions and entries, snapshots of watched tables,
 * and the per-field memory of what was delivered. No I/O and no locks: the
 * callers own the connection and guard the Delivered tables.
 */
#include "q7changes.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace q7 {

namespace {

// Reads every watched row with the stream's last id, atomically: changes
// after the snapshot are exactly the entries after that id. ARGV per table:
// name, rows, field count, fields. A row key that holds no hash reads as
// all defaults.
constexpr const char *kSnapshotScript =
    "local last = redis.call('XREVRANGE', KEYS[1], '+', '-', 'COUNT', 1)[1]\n"
    "local out = {last and last[1] or ''}\n"
    "local i = 1\n"
    "while i <= #ARGV do\n"
    "  local n = tonumber(ARGV[i + 2])\n"
    "  local fields, rows = {unpack(ARGV, i + 3, i + 2 + n)}, {}\n"
    "  for r = 0, tonumber(ARGV[i + 1]) - 1 do\n"
    "    local v = redis.pcall('HMGET', 'q7:d:' .. ARGV[i] .. ':' .. r, unpack(fields))\n"
    "    rows[r + 1] = v.err and {} or v\n"
    "  end\n"
    "  out[#out + 1] = rows\n"
    "  i = i + 3 + n\n"
    "end\n"
    "return out\n";

bool to_u64(std::string_view s, uint64_t &v)
{
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size() && !s.empty();
}

std::string_view str(const redisReply *r)
{
    return r && r->type == REDIS_REPLY_STRING ? std::string_view(r->str, r->len) : std::string_view();
}

bool is_array(const redisReply *r) { return r && r->type == REDIS_REPLY_ARRAY; }

// FNV-1a: a collision would hide one change after a gap, at odds of 2^-64.
uint64_t hash(std::string_view s)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

}  // namespace

bool StreamPos::parse(std::string_view id, StreamPos &out)
{
    out = StreamPos{};
    out.known = true;
    if (id.empty())
        return true;
    size_t dash = id.find('-');
    out.empty = false;
    return dash != std::string_view::npos && to_u64(id.substr(0, dash), out.epoch) &&
           to_u64(id.substr(dash + 1), out.seq);
}

std::string StreamPos::text() const
{
    return empty ? "0-0" : std::to_string(epoch) + "-" + std::to_string(seq);
}

bool StreamPos::followed_by(const StreamPos &next) const
{
    return empty ? next.seq == 0 : next.epoch == epoch && next.seq == seq + 1;
}

bool parse_entry(const redisReply *e, StreamPos &id, Change &c, bool &has_change)
{
    has_change = false;
    if (!is_array(e) || e->elements != 2 || !StreamPos::parse(str(e->element[0]), id) || id.empty)
        return false;
    const redisReply *kv = e->element[1];
    std::string_view n, v;
    bool have_v = false;
    for (size_t i = 0; is_array(kv) && i + 1 < kv->elements; i += 2) {
        std::string_view k = str(kv->element[i]);
        if (k == "n")
            n = str(kv->element[i + 1]);
        else if (k == "v" && kv->element[i + 1]->type == REDIS_REPLY_STRING)
            v = str(kv->element[i + 1]), have_v = true;
    }
    size_t t1 = n.find('\t'), t2 = n.rfind('\t');
    uint64_t row = 0;
    if (!have_v || t1 == std::string_view::npos || t1 == t2 || !to_u64(n.substr(t1 + 1, t2 - t1 - 1), row) ||
        row > UINT32_MAX)
        return true;
    c = Change{std::string(n.substr(0, t1)), static_cast<unsigned>(row), std::string(n.substr(t2 + 1)),
               std::string(v)};
    has_change = true;
    return true;
}

std::vector<std::string> snapshot_request(const Schema &schema, const std::vector<std::string> &tables, Snapshot &s)
{
    std::vector<std::string> args = {"EVAL", kSnapshotScript, "1", kStream};
    s = Snapshot{};
    for (const auto &name : tables) {
        auto it = schema.tables.find(name);
        if (it == schema.tables.end())
            continue;
        TableValues t{name, it->second.rows, {}, {}, nullptr};
        for (const auto &[field, f] : it->second.fields) {
            t.fields.push_back(field);
            t.defaults.push_back(f.def);
        }
        args.insert(args.end(), {name, std::to_string(t.rows), std::to_string(t.fields.size())});
        args.insert(args.end(), t.fields.begin(), t.fields.end());
        s.tables.push_back(std::move(t));
    }
    return args;
}

bool read_snapshot(const redisReply *r, Snapshot &s)
{
    if (!is_array(r) || r->elements != s.tables.size() + 1 || !StreamPos::parse(str(r->element[0]), s.pos))
        return false;
    for (size_t i = 0; i < s.tables.size(); i++) {
        const redisReply *rows = r->element[i + 1];
        if (!is_array(rows) || rows->elements != s.tables[i].rows)
            return false;
        s.tables[i].values = rows;
    }
    return true;
}

std::string_view TableValues::value(unsigned row, size_t field) const
{
    const redisReply *v = values->element[row];
    return is_array(v) && field < v->elements && v->element[field]->type == REDIS_REPLY_STRING
               ? str(v->element[field])
               : std::string_view(defaults[field]);
}

void Delivered::remember(unsigned row, std::string_view field, std::string_view value)
{
    auto f = std::lower_bound(fields_.begin(), fields_.end(), field);
    if (row < rows_ && f != fields_.end() && *f == field)
        hashes_[row * fields_.size() + (f - fields_.begin())] = hash(value);
}

void Delivered::take(const TableValues &t, bool report, std::vector<Change> &out)
{
    const size_t n = t.fields.size();
    std::vector<uint64_t> now(t.rows * n);
    // A table first taken, or laid out anew by another schema, has nothing
    // to compare with.
    report = report && t.fields == fields_ && t.rows == rows_;
    for (unsigned row = 0; row < t.rows; row++) {
        for (size_t f = 0; f < n; f++) {
            std::string_view v = t.value(row, f);
            now[row * n + f] = hash(v);
            if (report && now[row * n + f] != hashes_[row * n + f])
                out.push_back({t.name, row, t.fields[f], std::string(v)});
        }
    }
    fields_ = t.fields;
    rows_ = t.rows;
    hashes_ = std::move(now);
}

}  // namespace q7
