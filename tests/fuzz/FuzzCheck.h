#pragma once
// The check of every fuzz target: a property that does not hold aborts, so that libFuzzer and
// the corpus replay both report the input.
#include <cstdlib>

namespace vireo::test::fuzz {

inline void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace vireo::test::fuzz
