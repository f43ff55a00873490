/*
 * wexlib.h - the device-information library: records facts about a client
 * device in its row of the Q7 table "Wexsignature", found by the device's MAC.
 *
 * The library opens its own Q7 connection in wex_init and watches the
 * table through it. All calls are thread-safe; updates are serialised
 * inside the library.
 */
#ifndef WEXLIB_H
#define WEXLIB_H

#ifdef __cplusplus
extern "C" {
#endif

/* Field ids for wex_update_table_field. */
enum {
    /* Key: the row whose Wexsignature.DeviceMAC equals the MAC text. */
    WEX_FIELD_DEVICE_MAC = 21,
    /* Value: Wexsignature.DeviceDID, the agent's device identifier. */
    WEX_FIELD_DEVICE_DID = 30
};

/* Width of a DID value buffer (at most 64 characters and the terminator). */
#define WEX_DID_WIDTH 65

/* Rows of "Wexsignature": device indexes 0..255. */
#define WEX_DEVICE_ROWS 256

/* Results. */
enum {
    WEX_OK = 0,
    WEX_ERR_NOT_INIT = 1,  /* no successful wex_init (or after wex_uninit) */
    WEX_ERR_ARG = 2,       /* NULL mac or value, value_width < 1 */
    WEX_ERR_FIELD = 3,     /* key_field or value_field not one of the ids above */
    WEX_ERR_BAD_MAC = 4,   /* mac is not "hh:hh:hh:hh:hh:hh" (either case) */
    WEX_ERR_NO_DEVICE = 5, /* no row holds that MAC (00:00:00:00:00:00 marks unused rows) */
    WEX_ERR_Q7 = 6         /* Q7 unreachable, or a read or write failed */
};

/* Connects to Q7. 0 on success (also when already initialised), else WEX_ERR_Q7. */
int wex_init(void);

/* Closes the connection. Harmless without a successful wex_init, and twice. */
void wex_uninit(void);

/*
 * Writes `value` into field `value_field` of the device row whose field
 * `key_field` matches `mac`. The daemon calls it as
 * (MAC text, WEX_FIELD_DEVICE_MAC, DID text, WEX_DID_WIDTH, WEX_FIELD_DEVICE_DID).
 * `value` is read up to `value_width` bytes and cut to value_width - 1
 * characters (and to the field's width). When several rows hold the MAC, the
 * lowest is written. Returns WEX_OK or one of the codes above (the arguments
 * are checked before the connection); on any error nothing is written.
 */
int wex_update_table_field(const char *mac, int key_field, const char *value, int value_width,
                           int value_field);

#ifdef __cplusplus
}
#endif

#endif /* WEXLIB_H */
