#pragma once
// What every fuzz target shares: the libFuzzer entry points and a check that stops the run.
// A target is built twice: with clang and libFuzzer (scripts/fuzz.sh), and with the normal
// compiler around ReplayMain.cpp, which runs it over its corpus in the ordinary test run.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

// A broken property is a finding like a crash: print what broke and abort, so libFuzzer keeps
// the input and the replay run fails.
#define FUZZ_CHECK(condition)                                                                       \
    do {                                                                                            \
        if (!(condition)) {                                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
            std::abort();                                                                           \
        }                                                                                           \
    } while (false)
