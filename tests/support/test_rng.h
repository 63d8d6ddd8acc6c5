// Test support: a small, fast, seedable generator (splitmix64), so that generated inputs
// are the same on every run and every machine.
#pragma once

#include "umbracore/types.h"

namespace umbra_test {

struct rng_t {
  umbra::u64 s;
  umbra::u64 next() {
    s += 0x9E3779B97F4A7C15ull;
    umbra::u64 z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  umbra::u32 below(umbra::u32 n) { return (umbra::u32)(next() % n); }
};

}  // namespace umbra_test
