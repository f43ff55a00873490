/*
 * q7lib.h - client of the Q7 configuration database.
 *
 * Q7 holds named tables of typed fields. Every field is addressed by
 * (table, row, field); single-row tables use row 0. A write that changes a
 * value notifies every client that subscribed the field's table, through the
 * one callback the client registered, on the library's callback thread, in
 * commit order.
 *
 * All operations may be called from any thread on the same handle. Every
 * call returns within a bounded time (Q7_TIMEOUT_MS, default 2000 ms) and
 * never raises SIGPIPE: q7_init sets SIGPIPE to be ignored when its
 * disposition is still the default (a program that handles SIGPIPE itself
 * keeps its handler). The server is found at $Q7_SOCKET (default
 * /tmp/q7.sock).
 */
#ifndef Q7LIB_H
#define Q7LIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes: the result of every operation, 0 for success. */
enum {
    Q7_OK = 0,
    Q7_TIMEOUT = 1,       /* server unreachable or call timed out */
    Q7_SHUTDOWN = 2,      /* handle NULL or being destroyed */
    Q7_NOSUCH_ITEM = 3,   /* unknown table, field or row */
    Q7_TOO_LONG = 4,      /* text too long for the field */
    Q7_INVALID = 5,       /* NULL argument, value outside the enum set, bad number */
    Q7_WRONG_TYPE = 6,    /* operation does not fit the field's kind */
    Q7_ENCODING = 7,      /* malformed MAC or IPv4 text */
    Q7_ERROR = 8          /* any other server error */
};

/* Field kinds, as the schema names them. */
typedef enum {
    Q7_KIND_ENUM = 0,   /* text from the field's fixed value set */
    Q7_KIND_ASCII,      /* printable ASCII text */
    Q7_KIND_STRING,     /* free (UTF-8) text */
    Q7_KIND_INT,        /* signed 32-bit */
    Q7_KIND_UINT,       /* unsigned 32-bit */
    Q7_KIND_BOOL,       /* 0 or 1 */
    Q7_KIND_MAC,        /* 6 bytes, text form "AA:BB:CC:DD:EE:FF" */
    Q7_KIND_IPV4        /* 4 bytes, text form "a.b.c.d" */
} q7_kind;

typedef struct q7_handle q7_handle;

/*
 * Change callback: table, row and field of the changed value, and the
 * context given to q7_subscribe_cb. Runs on the library's callback thread;
 * the texts are valid only during the call.
 */
typedef void (*q7_change_cb)(const char *table, unsigned int row,
                             const char *field, void *ctx);

/* Connects to the server; NULL when it cannot be reached. */
q7_handle *q7_init(void);

/*
 * Stops and joins the callback thread and releases the handle. After it
 * returns no callback runs. Called from inside a callback it does not wait
 * for itself: the running callback is the last one. Calls made on other
 * threads meanwhile return Q7_SHUTDOWN; the handle must not be used once
 * q7_destroy has returned.
 */
void q7_destroy(q7_handle *h);

/* Registers the one change callback of the handle (replaces an earlier one). */
int q7_subscribe_cb(q7_handle *h, q7_change_cb cb, void *ctx);

/*
 * on = 1: deliver changes of this table from now on; 0: stop delivering.
 * Q7_TIMEOUT when the server could not be reached to subscribe: the table
 * is kept and delivery starts once the handle has reconnected by itself.
 * Changes made while the handle is cut off from the server are delivered
 * once it is back; where they can no longer be told one by one, every field
 * whose value differs from the one last delivered is (at least once: a
 * change may come twice, none is lost).
 */
int q7_subscribe(q7_handle *h, const char *table, int on);

/* Texts are copied NUL-terminated and cut to size (size >= 1). */
int q7_get_enum(q7_handle *h, const char *table, unsigned int row,
                const char *field, char *buf, size_t size);
int q7_get_ascii(q7_handle *h, const char *table, unsigned int row,
                 const char *field, char *buf, size_t size);
int q7_get_string(q7_handle *h, const char *table, unsigned int row,
                  const char *field, char *buf, size_t size);
int q7_get_int(q7_handle *h, const char *table, unsigned int row,
               const char *field, int32_t *value);
int q7_get_uint(q7_handle *h, const char *table, unsigned int row,
                const char *field, uint32_t *value);
int q7_get_bool(q7_handle *h, const char *table, unsigned int row,
                const char *field, uint8_t *value);
/* Bytes in transmission order: "00:1A:.." gives mac[0] = 0x00. */
int q7_get_mac(q7_handle *h, const char *table, unsigned int row,
               const char *field, uint8_t mac[6]);
/* Bytes in dotted order: "192.168.1.2" gives ip[0] = 192. */
int q7_get_ipv4(q7_handle *h, const char *table, unsigned int row,
                const char *field, uint8_t ip[4]);

/* A set notifies watchers only when the stored value changes. */
int q7_set_enum(q7_handle *h, const char *table, unsigned int row,
                const char *field, const char *value);
int q7_set_ascii(q7_handle *h, const char *table, unsigned int row,
                 const char *field, const char *value);
int q7_set_string(q7_handle *h, const char *table, unsigned int row,
                  const char *field, const char *value);
int q7_set_int(q7_handle *h, const char *table, unsigned int row,
               const char *field, int32_t value);
int q7_set_uint(q7_handle *h, const char *table, unsigned int row,
                const char *field, uint32_t value);
int q7_set_bool(q7_handle *h, const char *table, unsigned int row,
                const char *field, int value);
int q7_set_mac(q7_handle *h, const char *table, unsigned int row,
               const char *field, const uint8_t mac[6]);
int q7_set_ipv4(q7_handle *h, const char *table, unsigned int row,
                const char *field, const uint8_t ip[4]);

/*
 * Any kind as text, in the forms above (int/uint decimal, bool 0/1 or
 * true/false on input, 0/1 on output). For tools; the daemon uses the typed
 * calls. q7_get_text cuts to size like the text getters.
 */
int q7_get_text(q7_handle *h, const char *table, unsigned int row,
                const char *field, char *buf, size_t size);
int q7_set_text(q7_handle *h, const char *table, unsigned int row,
                const char *field, const char *value);

/* Kind and row count of a field; for tools. */
int q7_field_kind(q7_handle *h, const char *table, const char *field,
                  q7_kind *kind);
int q7_table_rows(q7_handle *h, const char *table, unsigned int *rows);

/*
 * The schema the handle validates against, as the JSON text the server holds
 * (tables, their row counts, fields with kind, width, values and default).
 * *json is allocated; the caller releases it with free(). For tools.
 */
int q7_schema_text(q7_handle *h, char **json);

/* Constant text for a code, never freed by the caller. */
const char *q7_error_string(int code);

#ifdef __cplusplus
}
#endif

#endif /* Q7LIB_H */
