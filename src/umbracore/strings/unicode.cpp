// Strict UTF-8 decoding and the UTF-8 / UTF-16 conversions used for platform names.
#include "umbracore/log/log.h"
#include "umbracore/strings/string.h"

namespace umbra {

namespace {

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes at most `available` bytes; a zero byte never counts as a continuation, so
// zero-terminated text is never read past its terminator.
int decode_sequence(const unsigned char* s, u64 available, u32* code_point) {
  if (available == 0) return -1;
  unsigned char c = s[0];
  if (c < 0x80) {
    *code_point = c;
    return 1;
  }
  int length;
  u32 cp;
  unsigned char second_min = 0x80, second_max = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    cp = c & 0x0F;
    if (c == 0xE0) second_min = 0xA0;  // overlong
    if (c == 0xED) second_max = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    cp = c & 0x07;
    if (c == 0xF0) second_min = 0x90;  // overlong
    if (c == 0xF4) second_max = 0x8F;  // above U+10FFFF
  } else {
    return -1;
  }
  if ((u64)length > available) {
    // Check the bytes that are there so that a terminator ends the sequence early.
    for (u64 i = 1; i < available; ++i)
      if (!is_continuation(s[i])) return -1;
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    unsigned char b = s[i];
    if (!is_continuation(b)) return -1;
    if (i == 1 && (b < second_min || b > second_max)) return -1;
    cp = (cp << 6) | (b & 0x3F);
  }
  *code_point = cp;
  return length;
}

}  // namespace

int decode_utf8(const char* text, u32* code_point) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  // Continuation bytes are never zero, so stopping at a zero keeps the read in bounds.
  if (s[0] == 0) {
    if (code_point) *code_point = 0;
    return 1;
  }
  u64 available = 1;
  while (available < 4 && s[available] != 0) ++available;
  u32 cp = 0;
  int n = decode_sequence(s, available, &cp);
  if (code_point) *code_point = n < 0 ? 0xFFFFFFFFu : cp;
  return n;
}

int decode_utf8_bounded(const char* text, const char* end, u32* code_point) {
  u32 cp = 0;
  int n = decode_sequence(reinterpret_cast<const unsigned char*>(text), (u64)(end - text), &cp);
  if (code_point) *code_point = n < 0 ? 0xFFFFFFFFu : cp;
  return n;
}

bool is_valid_utf8(const char* text) {
  if (!text) return true;
  while (*text) {
    int n = decode_utf8(text, nullptr);
    if (n < 0) return false;
    text += n;
  }
  return true;
}

bool is_valid_utf8(const char* text, u64 size) {
  const char* end = text + size;
  while (text < end) {
    int n = decode_utf8_bounded(text, end, nullptr);
    if (n < 0) return false;
    text += n;
  }
  return true;
}

bool append_code_point(string& out, u32 cp) {
  if (cp == 0) return true;
  char bytes[4];
  int n;
  if (cp < 0x80) {
    bytes[0] = (char)cp;
    n = 1;
  } else if (cp < 0x800) {
    bytes[0] = (char)(0xC0 | (cp >> 6));
    bytes[1] = (char)(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    bytes[0] = (char)(0xE0 | (cp >> 12));
    bytes[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
    bytes[2] = (char)(0x80 | (cp & 0x3F));
    n = 3;
  } else if (cp <= 0x1FFFFF) {
    bytes[0] = (char)(0xF0 | (cp >> 18));
    bytes[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = (char)(0x80 | (cp & 0x3F));
    n = 4;
  } else {
    return false;
  }
  if (out.request_capacity((u64)out.length() + n + 1) < (u64)out.length() + n + 1) return false;
  return out.append(bytes, (u64)n);
}

bool utf8_to_utf16(array_t<u16>& out, const char* text) {
  out.clear();
  bool failed = false;
  bool reported_invalid = false;
  const char* p = text ? text : "";
  while (*p) {
    u32 cp = 0;
    int n = decode_utf8(p, &cp);
    if (n < 0) {
      if (!reported_invalid) log_error("Encountered invalid code point.");
      reported_invalid = true;
      failed = true;
      ++p;
      continue;
    }
    p += n;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      log_error("Unexpected code point 0x%08x", cp);
      failed = true;
      continue;
    }
    if (cp > 0xFFFF) {
      if (!out.append((u16)(0xD800 + ((cp - 0x10000) >> 10)))) return false;
      if (!out.append((u16)(0xDC00 + (cp & 0x3FF)))) return false;
    } else {
      if (!out.append((u16)cp)) return false;
    }
  }
  if (!out.append((u16)0)) return false;
  return !failed;
}

bool utf16_to_utf8(string& out, const u16* units) {
  const u32 budget = 512;
  bool failed = false;
  for (u32 i = 0; i < budget && units[i] != 0; ++i) {
    u32 unit = units[i];
    if (unit < 0xD800 || unit > 0xDFFF) {
      if (!append_code_point(out, unit)) return false;
      continue;
    }
    if (unit >= 0xDC00) {
      log_error("Standalone tailing surrogate found.");
      failed = true;
      continue;
    }
    if (i + 1 >= budget) {
      log_error("Input ends with leading surrogate.");
      return false;
    }
    u32 trail = units[i + 1];
    if (trail < 0xDC00 || trail > 0xDFFF) {
      log_error("Leading surrogate without trailing one found.");
      failed = true;
      continue;
    }
    if (!append_code_point(out, (unit << 10) + trail - 0x35FDC00u)) return false;
    ++i;
  }
  return !failed;
}

}  // namespace umbra
