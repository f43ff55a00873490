// fuzz_text.h - FUZZ_TEXT(CHECK): a fuzz target that evaluates CHECK on the input as
// the std::string `text` and aborts, naming the broken rule, when it fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_TEXT(CHECK)                                                                 \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)              \
    {                                                                                    \
        const std::string text(reinterpret_cast<const char *>(data), size); /* ends */   \
        if (const char *problem = CHECK)                                                 \
            std::fprintf(stderr, "%s: %s\n", __FILE__, problem), std::abort();           \
        return 0;                                                                        \
    }
