// tsh_dal.h - the daemon's one Q7 connection, its error texts, the watched
// fields and the change dispatcher.
#ifndef TSH_DAL_H
#define TSH_DAL_H

#include "q7lib.h"

// Shared table names and the two action values, by position.
extern const char *const tsh_names[10];
enum {
    N_ORLIX_CFG = 0, N_TELVA_STATUS, N_TELVA_CFG, N_TELVA_DEBUG, N_PROTECTION_ON,
    N_PROTECTION_OFF, N_WEXSIGNATURE, N_DEVICE_ID_LIST, N_GENERAL, N_TELVA_RA_EVENT
};
#define T_ORLIX_CFG tsh_names[N_ORLIX_CFG]
#define T_TELVA_STATUS tsh_names[N_TELVA_STATUS]
#define T_TELVA_CFG tsh_names[N_TELVA_CFG]
#define T_TELVA_DEBUG tsh_names[N_TELVA_DEBUG]
#define T_WEXSIGNATURE tsh_names[N_WEXSIGNATURE]
#define T_DEVICE_ID_LIST tsh_names[N_DEVICE_ID_LIST]
#define T_GENERAL tsh_names[N_GENERAL]
#define T_TELVA_RA_EVENT tsh_names[N_TELVA_RA_EVENT]

typedef void (*dal_handler)(void *ctx);

// One watched field; owned by the subscription set once added.
struct dal_subscription {
    char key[64];  // "table.field"
    dal_handler handler;
    void *context;
};

int dal_init();
q7_handle *dal_get_handle();
void dal_destroy();
const char *error_message(int code);
void print_err(int code);
void log_q7_error(int code);
int dal_key_compare(const void *a, const void *b);
int dal_call_on_change(const char *table, const char *field, dal_handler handler, void *context);
void dal_change_dispatch(const char *table, unsigned int row, const char *field, void *unused);

// Row of the notification being dispatched (one dispatch at a time).
extern int WexIndex;

#endif
