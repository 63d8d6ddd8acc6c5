// The assertion routine: one error line naming the source position, then an abnormal end.
#pragma once

#include "umbracore/types.h"

namespace umbra {

[[noreturn]] void assert_failed(const char* file, unsigned line, const char* function, const char* format, ...)
    UMBRA_PRINTF(4, 5);

}  // namespace umbra

// Stops the process with the formatted message when the condition does not hold.
#define UMBRA_ASSERT(condition, ...)                                          \
  do {                                                                        \
    if (__builtin_expect(!(condition), 0)) {                                  \
      ::umbra::assert_failed(__FILE__, __LINE__, __func__, __VA_ARGS__);      \
    }                                                                         \
  } while (0)

// Unconditional stop, for states that must never be reached.
#define UMBRA_FAIL(...) ::umbra::assert_failed(__FILE__, __LINE__, __func__, __VA_ARGS__)
