/* Fixture for check_schema_names.py: every way the daemon names Q7 tables and
 * fields, all known to the schema except one field in the last call. */
void uses(void *h, char *buf, const char *field)
{
    q7_get_enum(h, "TelvaCfg", 0, "action", buf, sizeof(buf)); /* q7_get_enum(h, "X", 0, "y") */
    q7_subscribe(h, "Wexsignature", 1);
    dal_call_on_change("General", "DeviceName", 0, 0);
    get_general_ascii("FSN", buf, 16);
    get_deviceid_string("DisplayNameCustom", buf, 64, 3);
    q7_get_ascii(h, "Wexsignature", 0, field, buf, 32); /* not a literal: skipped */
    q7_set_bool(h, "TelvaStatus", 0, "protectionStatusX", 1);
}
