#include "umbracore/strings/string_escape.h"

namespace umbra {

namespace {

// Characters a terminal does not print but acts on, or that make one name look like
// another: C0 and C1 controls, DEL, line and paragraph separators, the bidirectional
// embeddings, overrides and isolates, and the byte order mark.
bool is_hidden_character(u32 cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
         (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069) ||
         cp == 0xFEFF;
}

}  // namespace

bool append_escaped_for_display(string& out, const char* bytes, u64 size) {
  const char* end = bytes + size;
  bool ok = true;
  for (const char* p = bytes; p < end && ok;) {
    u32 cp = 0;
    int length = decode_utf8_bounded(p, end, &cp);
    if (length < 0) {
      ok = out.append_format("\\x%02X", (unsigned)(unsigned char)*p);
      ++p;
      continue;
    }
    if (cp == '\\') {
      ok = out.append("\\\\");
    } else if (cp < 0x80 && is_hidden_character(cp)) {
      ok = out.append_format("\\x%02X", (unsigned)cp);
    } else if (is_hidden_character(cp)) {
      ok = out.append_format("\\u%04X", (unsigned)cp);
    } else {
      ok = out.append(p, (u64)length);
    }
    p += length;
  }
  return ok;
}

bool append_escaped_for_display(string& out, const char* text) {
  return append_escaped_for_display(out, text, std::strlen(text));
}

namespace {

bool prints_as_itself(const char* text) {
  const char* end = text + std::strlen(text);
  for (const char* p = text; p < end;) {
    u32 cp = 0;
    int length = decode_utf8_bounded(p, end, &cp);
    if (length < 0 || is_hidden_character(cp)) return false;
    p += length;
  }
  return true;
}

}  // namespace

shown_name_t::shown_name_t(const char* text) : text_(text) {
  if (prints_as_itself(text)) return;
  // Out of memory: a placeholder rather than bytes that could drive the terminal.
  text_ = append_escaped_for_display(escaped_, text) ? escaped_.c_str() : "?";
}

bool append_json_string(string& out, const char* bytes, u64 size, bool* was_utf8) {
  const char* end = bytes + size;
  bool valid = true;
  bool ok = out.append_char('"');
  for (const char* p = bytes; p < end && ok;) {
    u32 cp = 0;
    int length = decode_utf8_bounded(p, end, &cp);
    if (length < 0) {
      valid = false;
      ok = out.append("\\uFFFD");
      ++p;
      continue;
    }
    if (cp == '"') {
      ok = out.append("\\\"");
    } else if (cp == '\\') {
      ok = out.append("\\\\");
    } else if (is_hidden_character(cp)) {
      ok = out.append_format("\\u%04X", (unsigned)cp);
    } else {
      ok = out.append(p, (u64)length);
    }
    p += length;
  }
  if (was_utf8) *was_utf8 = valid;
  return ok && out.append_char('"');
}

bool append_hex_bytes(string& out, const char* bytes, u64 size) {
  static const char digits[] = "0123456789abcdef";
  for (u64 i = 0; i < size; ++i) {
    unsigned char byte = (unsigned char)bytes[i];
    if (!out.append_char(digits[byte >> 4]) || !out.append_char(digits[byte & 15])) return false;
  }
  return true;
}

}  // namespace umbra
