// layout_c.c - kjson.h compiled as C, so its _Static_assert branch checks the layouts C callers see.
#include "kjson.h"
typedef int kjson_layout_checked_in_c;
