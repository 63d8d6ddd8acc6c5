// The registry on Linux: one key per online processor,
// HKEY_LOCAL_MACHINE\HARDWARE\DESCRIPTION\System\CentralProcessor\<n>, holding the one
// value ~MHz, answered from the kernel's nominal clock of that processor. Every other key
// fails to open, as a missing key does on Windows.
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/platform/posix/registry_linux.h"
#include "umbracore/platform/registry_platform.h"

namespace umbra {
namespace platform {

namespace {

constexpr char PROCESSOR_KEY_PREFIX[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\";
constexpr u32 MAX_PROCESSOR = 4095;
constexpr u64 MAX_CPUINFO_SIZE = 16u << 20;

bool parse_processor_number(const char* text, u32* processor) {
  if (text[0] < '0' || text[0] > '9') return false;
  if (text[0] == '0' && text[1] != 0) return false;  // one spelling per key
  u32 value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (u32)(*p - '0');
    if (value > MAX_PROCESSOR) return false;
  }
  *processor = value;
  return true;
}

bool processor_exists(u32 processor) {
  char path[64];
  std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%u", processor);
  if (access(path, F_OK) == 0) return true;
  long count = sysconf(_SC_NPROCESSORS_CONF);
  return count > 0 && (long)processor < count;
}

bool read_text_file(const char* path, array_dyn_t<char>& text) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  text.clear();
  char chunk[4096];
  bool ok = true;
  for (;;) {
    size_t got = std::fread(chunk, 1, sizeof(chunk), file);
    if (got == 0) break;
    if (text.count() + got > MAX_CPUINFO_SIZE || !text.append_block(chunk, got)) {
      ok = false;
      break;
    }
  }
  std::fclose(file);
  return ok && text.append(0) != nullptr;
}

bool read_khz_file(const char* path, u32* khz) {
  char text[32] = {};
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  size_t got = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  text[got] = 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || value == 0 || value > 0xFFFFFFFFul) return false;
  *khz = (u32)value;
  return true;
}

// Parses "<digits>[.<digits>]" and returns the value times 1000, rounded; false when the
// text does not start with a digit.
bool parse_decimal_milli(const char*& p, u64* milli) {
  if (*p < '0' || *p > '9') return false;
  u64 whole = 0;
  while (*p >= '0' && *p <= '9') {
    if (whole > 1000000000ull) return false;
    whole = whole * 10 + (u64)(*p++ - '0');
  }
  u64 fraction = 0;
  u64 scale = 1000;
  u64 rest = 0;
  if (*p == '.') {
    ++p;
    while (*p >= '0' && *p <= '9') {
      if (scale > 1) {
        scale /= 10;
        fraction += (u64)(*p - '0') * scale;
      } else if (rest == 0) {
        rest = (u64)(*p - '0');  // first digit beyond the thousandths, for rounding
      }
      ++p;
    }
  }
  *milli = whole * 1000 + fraction + (rest >= 5 ? 1 : 0);
  return true;
}

// Finds the field's value text (after "name<blanks>: ") within one processor's block.
const char* find_field(const char* cpuinfo, u32 processor, const char* name, const char** line_end) {
  const char* p = cpuinfo;
  bool in_block = false;
  size_t name_length = std::strlen(name);
  while (*p) {
    const char* end = std::strchr(p, '\n');
    if (!end) end = p + std::strlen(p);
    if (end == p) {
      in_block = false;  // blank line ends a processor's block
    } else {
      const char* colon = static_cast<const char*>(std::memchr(p, ':', (size_t)(end - p)));
      if (colon) {
        const char* key_end = colon;
        while (key_end > p && (key_end[-1] == ' ' || key_end[-1] == '\t')) --key_end;
        const char* value = colon + 1;
        while (value < end && (*value == ' ' || *value == '\t')) ++value;
        size_t key_length = (size_t)(key_end - p);
        if (key_length == 9 && std::memcmp(p, "processor", 9) == 0) {
          char* number_end = nullptr;
          unsigned long number = std::strtoul(value, &number_end, 10);
          in_block = number_end != value && number == processor;
        } else if (in_block && key_length == name_length && std::memcmp(p, name, name_length) == 0) {
          *line_end = end;
          return value;
        }
      }
    }
    p = *end ? end + 1 : end;
  }
  return nullptr;
}

}  // namespace

u32 registry_parse_model_name_mhz(const char* model_name) {
  const char* at = std::strrchr(model_name, '@');
  if (!at) return 0;
  const char* p = at + 1;
  while (*p == ' ') ++p;
  u64 milli = 0;
  if (!parse_decimal_milli(p, &milli)) return 0;
  while (*p == ' ') ++p;
  u64 mhz = 0;
  if (strncasecmp(p, "GHz", 3) == 0) {
    mhz = milli;  // GHz x 1000
  } else if (strncasecmp(p, "MHz", 3) == 0) {
    mhz = (milli + 500) / 1000;
  } else {
    return 0;
  }
  return mhz > 0xFFFFFFFFull ? 0 : (u32)mhz;
}

u32 registry_parse_cpuinfo_model_mhz(const char* cpuinfo, u32 processor) {
  const char* end = nullptr;
  const char* value = find_field(cpuinfo, processor, "model name", &end);
  if (!value) return 0;
  char line[256];
  size_t length = (size_t)(end - value);
  if (length >= sizeof(line)) length = sizeof(line) - 1;
  std::memcpy(line, value, length);
  line[length] = 0;
  return registry_parse_model_name_mhz(line);
}

u32 registry_parse_cpuinfo_cpu_mhz(const char* cpuinfo, u32 processor) {
  const char* end = nullptr;
  const char* value = find_field(cpuinfo, processor, "cpu MHz", &end);
  if (!value) return 0;
  u64 milli = 0;
  if (!parse_decimal_milli(value, &milli)) return 0;
  u64 mhz = (milli + 500) / 1000;
  return mhz > 0xFFFFFFFFull ? 0 : (u32)mhz;
}

u32 registry_nominal_cpu_mhz(u32 processor) {
  char path[128];
  u32 khz = 0;
  // base_frequency is the nominal clock (intel_pstate); the brand's "@ x.xxGHz" names
  // it too. cpuinfo_max_freq may include turbo, so it only comes after the brand.
  std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%u/cpufreq/base_frequency", processor);
  if (read_khz_file(path, &khz)) return (khz + 500) / 1000;
  array_dyn_t<char> cpuinfo;
  bool have_cpuinfo = read_text_file("/proc/cpuinfo", cpuinfo);
  if (have_cpuinfo) {
    u32 mhz = registry_parse_cpuinfo_model_mhz(cpuinfo.data(), processor);
    if (mhz != 0) return mhz;
  }
  std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%u/cpufreq/cpuinfo_max_freq", processor);
  if (read_khz_file(path, &khz)) return (khz + 500) / 1000;
  if (have_cpuinfo) return registry_parse_cpuinfo_cpu_mhz(cpuinfo.data(), processor);
  return 0;
}

bool registry_open_key(registry_root_t root, const char* sub_key, registry_key_t* key) {
  *key = 0;
  if (root != REGISTRY_ROOT_LOCAL_MACHINE) return false;
  size_t prefix_length = sizeof(PROCESSOR_KEY_PREFIX) - 1;
  // Registry key names compare without regard to case.
  if (strncasecmp(sub_key, PROCESSOR_KEY_PREFIX, prefix_length) != 0) return false;
  u32 processor = 0;
  if (!parse_processor_number(sub_key + prefix_length, &processor) || !processor_exists(processor)) return false;
  *key = (registry_key_t)processor + 1;
  return true;
}

bool registry_query_value(registry_key_t key, const char* value_name, u32* type, void* data, u32* size) {
  if (key == 0 || strcasecmp(value_name, "~MHz") != 0) return false;
  u32 mhz = registry_nominal_cpu_mhz((u32)(key - 1));
  if (mhz == 0) return false;
  *type = REGISTRY_TYPE_DWORD;
  if (*size < sizeof(u32)) {
    *size = sizeof(u32);
    return false;
  }
  std::memcpy(data, &mhz, sizeof(u32));
  *size = sizeof(u32);
  return true;
}

bool registry_close_key(registry_key_t key) { return key != 0; }

}  // namespace platform
}  // namespace umbra
