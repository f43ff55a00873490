/*
 * q7host.h - calls of the host Q7 client that only the other stand-ins and
 * the tools use (the daemon uses q7lib.h alone).
 */
#ifndef Q7HOST_H
#define Q7HOST_H

#include "q7lib.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * q7_set_text, done only while field `guard_field` of the same row holds
 * `guard_value` (compared as that field's canonical text), in one round
 * trip: a lookup by a cached key value needs no read to confirm it.
 * *held is 1 when the guard held (the value was then written, or was
 * already there), 0 when it did not (nothing written). Result codes as
 * q7_set_text; *held is set only on Q7_OK.
 */
int q7_set_text_if(q7_handle *h, const char *table, unsigned int row, const char *field, const char *value,
                   const char *guard_field, const char *guard_value, int *held);

/*
 * Inside a change callback of handle h: the value the change wrote, in the
 * canonical text form of q7_get_text (after a gap in delivery, the value the
 * field holds). NULL anywhere else. Valid until the callback returns.
 */
const char *q7_change_value(const q7_handle *h);

#ifdef __cplusplus
}
#endif

#endif /* Q7HOST_H */
