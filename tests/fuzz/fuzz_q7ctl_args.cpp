/*
 * fuzz_q7ctl_args.cpp - q7ctl's command line: the input split at NUL bytes
 * is the argument list after the program name; an accepted command holds
 * what its arguments said (parser_checks.h).
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "fuzz/parser_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (const char *problem = parser_checks::q7ctl_violation(std::string_view(reinterpret_cast<const char *>(data), size))) {
        std::fprintf(stderr, "fuzz_q7ctl_args: %s\n", problem);
        std::abort();
    }
    return 0;
}
