#include "tools/packer/packer_options.h"

namespace umbra {

mstring_t packer_root;
u8 no_compress = 0;
u32 platform_type = 0;

const char* platform_type_name(u32 platform) {
  static const char* const names[] = {"pc", "xbone", "xs", "ps4", "ps5"};
  return platform < 5 ? names[platform] : "unknown";
}

}  // namespace umbra
