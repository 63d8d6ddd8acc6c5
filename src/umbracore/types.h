// Fixed-width integer names used throughout the core library and the tools.
#pragma once

#include <cstddef>
#include <cstdint>

namespace umbra {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using s8 = std::int8_t;
using s16 = std::int16_t;
using s32 = std::int32_t;
using s64 = std::int64_t;

}  // namespace umbra

// printf-style argument checking at compile time. MinGW checks "printf" against the
// Microsoft runtime's formats; the C99 ones (%zu, %lld) are what the library formats with.
#if defined(__MINGW32__)
#define UMBRA_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__) || defined(__clang__)
#define UMBRA_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define UMBRA_PRINTF(fmt_index, first_arg)
#endif
