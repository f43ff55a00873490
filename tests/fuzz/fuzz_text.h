/*
 * fuzz_text.h - the body of a fuzz target that hands one text to a check
 * of parser_checks.h and aborts, naming the broken rule, when it fails.
 */
#ifndef FUZZ_TEXT_H
#define FUZZ_TEXT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline int fuzz_text(const uint8_t *data, size_t size, const char *(*check)(const char *), const char *target)
{
    const std::string text(reinterpret_cast<const char *>(data), size);  // inputs are not terminated
    if (const char *problem = check(text.c_str())) {
        std::fprintf(stderr, "%s: %s\n", target, problem);
        std::abort();
    }
    return 0;
}

#endif
