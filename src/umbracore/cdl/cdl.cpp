#include "umbracore/cdl/cdl.h"

#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/strings/string.h"

namespace umbra {

cdl_t* cdl = nullptr;

namespace {

constexpr u32 WIDE_BUFFER_UNITS = 2048;

// The system hands us bytes; like the platform's ANSI conversion, a byte sequence that
// is not valid UTF-8 becomes U+FFFD instead of failing. Returns the number of code
// points (0 when the word does not fit the conversion buffer).
u32 decode_argument(const char* word, u32* code_points, u32 capacity) {
  u32 n = 0;
  const char* p = word;
  while (*p) {
    u32 cp = 0;
    int length = decode_utf8(p, &cp);
    if (length < 0) {
      cp = 0xFFFD;
      length = 1;
    }
    u32 units = cp > 0xFFFF ? 2 : 1;
    if (n + units >= capacity) return 0;  // too long for the wide buffer
    code_points[n++] = cp;
    if (units == 2) code_points[n++] = 0;  // placeholder keeps the unit count honest
    p += length;
  }
  code_points[n] = 0;
  return n + 1;  // the terminator counts, as in the platform conversion
}

// Encodes the code points as UTF-8 into [out, out + room); 0 when it does not fit.
u32 encode_argument(const u32* code_points, u32 count, char* out, u32 room) {
  string_local_t<8> piece;
  u32 used = 0;
  for (u32 i = 0; i + 1 < count; ++i) {
    if (code_points[i] == 0) continue;  // second unit of a pair
    piece.clear();
    append_code_point(piece, code_points[i]);
    if (used + piece.length() + 1 > room) return 0;
    std::memcpy(out + used, piece.c_str(), piece.length());
    used += piece.length();
  }
  if (used + 1 > room) return 0;
  out[used] = 0;
  return used + 1;
}

void cdl_report_unmatched() {
  if (cdl->param_index == 0 && cdl->param_end == cdl->count)
    log_error("[cdl] A call to cdl_argc() without matching cdl_param().");
}

bool starts_option(const char* word) { return word[0] == '-' || word[0] == '+'; }

}  // namespace

bool cdl_init(int argc, const char* const* argv) {
  static u32 code_points[WIDE_BUFFER_UNITS];
  u32 words = argc < 0 ? 0 : (u32)argc;
  if (words > CDL_MAX_WORDS) words = CDL_MAX_WORDS;
  u32 used = 0;
  u32 stored = 0;
  bool ok = (u32)(argc < 0 ? 0 : argc) <= CDL_MAX_WORDS;
  for (u32 i = 0; i < words; ++i) {
    u32 units = decode_argument(argv[i], code_points, WIDE_BUFFER_UNITS);
    u32 bytes = units ? encode_argument(code_points, units, cdl->text + used, CDL_TEXT_BYTES - used) : 0;
    if (bytes == 0) {
      ok = false;
      break;
    }
    cdl->words[stored++] = cdl->text + used;
    used += bytes;
  }
  cdl->count = stored;
  cdl->begin = 0;
  cdl->end = stored;
  cdl->param_index = 0;
  cdl->param_end = stored;
  return ok;
}

u32 cdl_param(const char* name) {
  cdl->param_index = CDL_NOT_FOUND;
  cdl->param_end = CDL_NOT_FOUND;
  u32 range = cdl->end - cdl->begin;
  if (range < 2) return CDL_NOT_FOUND;
  for (u32 i = 1; i < range; ++i) {
    if (std::strcmp(cdl->words[cdl->begin + i], name) != 0) continue;
    u32 last = i + 1;
    while (last < range && !starts_option(cdl->words[cdl->begin + last])) ++last;
    cdl->param_index = i;
    cdl->param_end = last;
    return i;
  }
  return CDL_NOT_FOUND;
}

u32 cdl_argc() {
  cdl_report_unmatched();
  return cdl->param_end - cdl->param_index;
}

const char* cdl_argv() {
  cdl_report_unmatched();
  if (cdl->param_index == CDL_NOT_FOUND) return nullptr;
  if (cdl->param_end <= cdl->param_index + 1) return nullptr;
  return cdl->words[cdl->begin + cdl->param_index + 1];
}

}  // namespace umbra
