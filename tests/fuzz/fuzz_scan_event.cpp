// fuzz_scan_event.cpp - the agent's scan status event as the daemon takes it apart. No Q7
// connection is open, so each write fails at once: only the parsing runs, under the sanitizers.
#include "fuzz/fuzz_text.h"
#include "tsh_agent.h"
FUZZ_TEXT((update_scan_status_from_raw_response(text.c_str()), nullptr))
