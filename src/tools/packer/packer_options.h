// Process-wide option state of the packer, written before the command runs and only
// read afterwards (worker threads read it during create without locks).
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

extern mstring_t packer_root;
extern u8 no_compress;
extern u32 platform_type;

// "pc", "xbone", "xs", "ps4", "ps5", else "unknown".
const char* platform_type_name(u32 platform);

}  // namespace umbra
