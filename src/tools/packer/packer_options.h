// Process-wide option state of the packer, written before the command runs and only
// read afterwards (worker threads read it during create without locks), and the reader
// of the options that take a decimal number.
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

// -compression-level: libdeflate's levels. The default makes archives no larger than
// zlib level 9 did in about half its time.
constexpr u32 MIN_COMPRESSION_LEVEL = 1;
constexpr u32 MAX_COMPRESSION_LEVEL = 12;
constexpr u32 DEFAULT_COMPRESSION_LEVEL = 10;

extern mstring_t packer_root;
extern u8 no_compress;
extern u32 platform_type;
extern u32 compression_level;

// "pc", "xbone", "xs", "ps4", "ps5", else "unknown".
const char* platform_type_name(u32 platform);

// The decimal value of option name when the command line has it, with *word its value
// as given (null, and *value untouched, when the option is absent). Leading white space
// is allowed; a value beyond 64 bits reads as the largest one. False after an error line
// when the option has no value or one that is not a number.
bool read_decimal_option(const char* name, u64* value, const char** word);
// The error line for a value the option cannot take.
void report_invalid_option_value(const char* word, const char* name);

// -compression-level into compression_level; false after an error line for a value
// that is no level.
bool read_compression_level();

}  // namespace umbra
