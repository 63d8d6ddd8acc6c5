// libFuzzer target for the list-file reader of create: any bytes as the content of a
// "-list" file. Every path it keeps must be at most 255 bytes without a zero byte (what
// an archive listing can store).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "tools/packer/source_lists.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  umbra_fuzz::startup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace umbra;
  path_list_t list;
  if (!parse_list_lines(reinterpret_cast<const char*>(data), size, "fuzz.lst", list)) return 0;
  for (const path_string_t& path : list) {
    if (path.length() > 255 || std::strlen(path.c_str()) != path.length())
      umbra_fuzz::fail("list path out of shape");
  }
  return 0;
}
