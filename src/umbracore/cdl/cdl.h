// The command-line store: the argument words as UTF-8 and option lookups over them.
#pragma once

#include "umbracore/types.h"

namespace umbra {

constexpr u32 CDL_MAX_WORDS = 128;
constexpr u32 CDL_TEXT_BYTES = 2048;
constexpr u32 CDL_NOT_FOUND = 0xFFFFFFFFu;

struct cdl_t {
  const char* words[CDL_MAX_WORDS];
  u32 count;
  u32 begin;
  u32 end;
  u32 param_index;
  u32 param_end;
  char text[CDL_TEXT_BYTES];
};

// The process-wide store; main points it at its static instance before anything else.
extern cdl_t* cdl;

bool cdl_init(int argc, const char* const* argv);
u32 cdl_param(const char* name);
u32 cdl_argc();
const char* cdl_argv();

}  // namespace umbra
