// Event categories: each profiler_id_t takes the next index of a process-wide table of
// at most 16 names. Categories are meant to be static objects; the name is shown as the
// "cat" of the scopes recorded under it.
#pragma once

#include "umbracore/types.h"

namespace umbra {

enum profiler_id_type_t : u32 {
  PROFILER_ID_SCOPE = 0,
  PROFILER_ID_INSTANT = 1,
  PROFILER_ID_COUNTER = 2,
};

constexpr u32 PROFILER_MAX_IDS = 16;
// Instants recorded under this index are drawn across the whole process ("s":"p").
constexpr u32 PROFILER_ID_INDEX_PROCESS = 1;

class profiler_id_t {
 public:
  // A seventeenth identifier stops the process.
  profiler_id_t(profiler_id_type_t type, const char* name);
  profiler_id_t(const profiler_id_t&) = delete;
  profiler_id_t& operator=(const profiler_id_t&) = delete;

  u32 index() const { return index_; }
  profiler_id_type_t type() const { return type_; }
  const char* name() const;

 private:
  friend const profiler_id_t& profiler_id_default();
  friend const profiler_id_t& profiler_id_process();
  profiler_id_t(u32 index, profiler_id_type_t type) : index_(index), type_(type) {}

  u32 index_;
  profiler_id_type_t type_;
};

// The two categories the table starts with: 0 "default" and 1 "process".
const profiler_id_t& profiler_id_default();
const profiler_id_t& profiler_id_process();

// The name of index, "" for an index without category.
const char* profiler_id_name(u32 index);
u32 profiler_id_count();

}  // namespace umbra
