// Shared by the fuzzers that work in folders of their own (a zvtest::TempDir
// each): the check that stops the run on a broken rule, and the sentinel file
// a fuzzer keeps beside its target so that a write outside the target shows.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"

namespace fuzzsupport {

// Aborts (a finding for libFuzzer, a failed replay) when a rule is broken.
inline void require(bool condition)
{
    if (!condition)
        std::abort();
}

// Writes the sentinel file: the 8 bytes "precious".
inline void write_sentinel(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    require(f != nullptr);
    require(std::fwrite("precious", 1, 8, f) == 8);
    std::fclose(f);
}

} // namespace fuzzsupport
