// Names taken from archives and command lines, made safe to show: on a terminal (where
// control bytes and escape sequences would drive the terminal) and inside JSON strings
// (which must be valid UTF-8 and must escape control characters).
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

// Appends the bytes as they can be printed: well-formed UTF-8 stays as it is, except
// a backslash ("\\"), control characters and bytes that are not UTF-8 ("\xNN" per byte),
// and the invisible characters that reorder or break lines ("\u202E" and the like).
// Different byte strings never give the same text. False when out cannot hold it.
bool append_escaped_for_display(string& out, const char* bytes, u64 size);
bool append_escaped_for_display(string& out, const char* text);

// Appends the bytes as one JSON string, quotes included. Bytes that are not UTF-8
// become U+FFFD (JSON text must be UTF-8); control characters and the characters above
// are escaped as \uXXXX. *was_utf8 (when given) tells whether the bytes were valid
// UTF-8, that is whether the string gives them back exactly.
bool append_json_string(string& out, const char* bytes, u64 size, bool* was_utf8 = nullptr);

// A name as a message line shows it: the name itself when every character prints as
// itself (so that lines about ordinary names read as they always did, backslashes
// included), its escaped form as above when it holds anything a terminal would act on
// or that is not UTF-8. Made for one call: log_error("'%s'", shown_name_t(p).c_str()).
class shown_name_t {
 public:
  explicit shown_name_t(const char* text);
  shown_name_t(const shown_name_t&) = delete;
  shown_name_t& operator=(const shown_name_t&) = delete;
  const char* c_str() const { return text_; }

 private:
  mstring_t escaped_;
  const char* text_;
};

// Appends the bytes as lower-case hexadecimal digits, two per byte.
bool append_hex_bytes(string& out, const char* bytes, u64 size);

}  // namespace umbra
