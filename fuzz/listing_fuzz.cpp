// libFuzzer target for the directory listing decoders of both archive versions: any
// bytes as a version 2 listing block (count, lengths, names) and as a version 1 text
// listing. Every name a decoder accepts must lie inside the input and hold no zero
// byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/cairn_v1_device.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  umbra_fuzz::startup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace umbra;
  array_dyn_t<cairn_listing_child_t> children;
  if (cairn_decode_listing(data, size, children)) {
    for (const cairn_listing_child_t& child : children) {
      if (child.length == 0 || child.length > 255 || std::memchr(child.name, 0, child.length))
        umbra_fuzz::fail("v2 listing child out of shape");
    }
  }
  fs_dir_list_t list;
  if (cairn_v1_parse_listing(reinterpret_cast<const char*>(data), size, list)) {
    for (u64 i = 0; i < list.count(); ++i) {
      if (list[i].name.length() > 255 || std::strlen(list[i].name.c_str()) != list[i].name.length())
        umbra_fuzz::fail("v1 listing child out of shape");
    }
  }
  return 0;
}
