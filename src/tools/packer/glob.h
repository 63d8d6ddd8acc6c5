// Path patterns of -filter: '*' matches any run of characters within one name, '?' one
// character within a name, '**' any run across names, and "**/" also no directory at
// all ("a/**/b" matches a/b and a/x/y/b). Everything else matches itself, byte for
// byte. A backslash separates names like a slash, in patterns and paths alike, and a
// leading separator is ignored, so "/a/*.txt" and "a\*.txt" are one pattern.
#pragma once

#include "umbracore/types.h"

namespace umbra {

// Whether the archive path (a device path like "/a/b.txt", or a relative one) matches.
// Time and memory grow with the product of the two lengths, never more.
bool glob_match(const char* pattern, const char* path);

}  // namespace umbra
