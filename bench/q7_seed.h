/*
 * q7_seed.h - the benches' side of Q7: a handle, writes that fail loudly,
 * the tables they seed (the router, kDevices devices, the daemon's log
 * settings) and the walk of the device records that is the floor of a
 * resync and of the start-up. Every failure throws std::runtime_error.
 */
#ifndef TSH_BENCH_Q7_SEED_H
#define TSH_BENCH_Q7_SEED_H

#include "bench_figures.h"
#include "q7lib.h"

#include <memory>
#include <string>

namespace bench {

constexpr unsigned kDevices = 256;

struct Q7Closer {
    void operator()(q7_handle *h) const { q7_destroy(h); }
};
using Q7Ptr = std::unique_ptr<q7_handle, Q7Closer>;

Q7Ptr open_q7();
void q7_check(int rc, const char *op, const char *table, unsigned row, const char *field);
void set(q7_handle *q7, const char *table, unsigned row, const char *field, const std::string &value);

// The MAC of device row `row` in the seeded tables.
std::string row_mac(unsigned row);
// The daemon's log settings: console output (which the benches send to a
// file) at the given TshLogLevel.
void seed_logging(q7_handle *q7, int log_level);
// The router and kDevices devices, all "UP" and none a satellite, so that a
// resync lists every device and asks the agent nothing else.
void seed_devices(q7_handle *q7);
// The nine reads the daemon makes for one device record, with its kinds.
void read_record(q7_handle *q7, unsigned row);
// One walk of all kDevices records (2,304 gets), in ms: the floor of the
// resync and of the start-up.
double walk_ms(q7_handle *q7);

}  // namespace bench

#endif
