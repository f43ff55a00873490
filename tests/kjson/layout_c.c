/*
 * layout_c.c - compiles kjson.h as C11, so its _Static_assert branch checks
 * the record layouts as C callers see them.
 */
#include "kjson.h"

typedef int kjson_layout_checked_in_c;
