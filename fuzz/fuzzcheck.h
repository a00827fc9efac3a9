#pragma once
// A failed property is a crash, so that libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(cond, what)                                                 \
    do {                                                                       \
        if (!(cond)) {                                                         \
            std::fprintf(stderr, "%s:%d: %s: %s\n", __FILE__, __LINE__, #cond, \
                         std::string(what).c_str());                           \
            std::abort();                                                      \
        }                                                                      \
    } while (0)
