#include "tools/packer/packer_options.h"

#include <cerrno>
#include <cstdlib>

#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"

namespace umbra {

mstring_t packer_root;
u8 no_compress = 0;
u32 platform_type = 0;
u32 compression_level = DEFAULT_COMPRESSION_LEVEL;

const char* platform_type_name(u32 platform) {
  static const char* const names[] = {"pc", "xbone", "xs", "ps4", "ps5"};
  return platform < 5 ? names[platform] : "unknown";
}

void report_invalid_option_value(const char* word, const char* name) {
  log_error("'%s' is not valid value for %s parameter", word, name);
}

bool read_decimal_option(const char* name, u64* value, const char** word) {
  *word = nullptr;
  if (cdl_param(name) == CDL_NOT_FOUND) return true;
  if (cdl_argc() != 2) {
    log_error("%s requires value", name);
    return false;
  }
  const char* given = cdl_argv();
  const char* digits = given;
  while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r')) ++digits;
  char* end = nullptr;
  errno = 0;
  unsigned long long number = *digits >= '0' && *digits <= '9' ? std::strtoull(digits, &end, 10) : 0;
  if (end == nullptr || *end != 0) {
    report_invalid_option_value(given, name);
    return false;
  }
  *value = errno == ERANGE ? ~0ull : (u64)number;
  *word = given;
  return true;
}

bool read_compression_level() {
  const char* name = "-compression-level";
  u64 level = DEFAULT_COMPRESSION_LEVEL;
  const char* word = nullptr;
  if (!read_decimal_option(name, &level, &word)) return false;
  if (word && (level < MIN_COMPRESSION_LEVEL || level > MAX_COMPRESSION_LEVEL)) {
    report_invalid_option_value(word, name);
    return false;
  }
  compression_level = (u32)level;
  return true;
}

}  // namespace umbra
