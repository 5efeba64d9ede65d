#pragma once
// A failed expectation ends the run like a sanitizer report: libFuzzer then
// keeps the input that caused it. The message goes through the sanitizer's
// own report channel, which stays open when the run closes standard error.

#include <sanitizer/common_interface_defs.h>

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                            \
    do {                                                                                                 \
        if (!(condition)) {                                                                              \
            char fuzzCheckMessage[512];                                                                  \
            std::snprintf(fuzzCheckMessage, sizeof(fuzzCheckMessage), "check failed: %s (%s:%d)", #condition, \
                          __FILE__, __LINE__);                                                           \
            __sanitizer_report_error_summary(fuzzCheckMessage);                                          \
            std::abort();                                                                                \
        }                                                                                                \
    } while (0)
