#pragma once

#include <QString>

// What every fuzz target shares: a failed invariant ends the run as a finding (libFuzzer keeps the
// input that caused it), and files go to one private folder that is removed at exit.

[[noreturn]] void fuzzFailure(const char *condition, const char *file, int line);

#define FUZZ_CHECK(condition) \
    do { \
        if (!(condition)) { \
            fuzzFailure(#condition, __FILE__, __LINE__); \
        } \
    } while (false)

QString fuzzScratchDirectory();
