#include "umbracore/profiling/profiler_id.h"

#include "umbracore/log/assert.h"

namespace umbra {

namespace {

// Filled during the program's start-up (categories are static objects), read afterwards.
struct id_table_t {
  const char* names[PROFILER_MAX_IDS] = {"default", "process"};
  u32 count = 2;
};

id_table_t& table() {
  static id_table_t instance;
  return instance;
}

}  // namespace

profiler_id_t::profiler_id_t(profiler_id_type_t type, const char* name) : type_(type) {
  id_table_t& t = table();
  UMBRA_ASSERT(t.count < PROFILER_MAX_IDS, "%s", "Too many profiler_id_t identifiers, perhaps with dynamic lifetime?");
  index_ = t.count;
  t.names[t.count++] = name;
}

const char* profiler_id_t::name() const { return profiler_id_name(index_); }

const profiler_id_t& profiler_id_default() {
  static const profiler_id_t id(0u, PROFILER_ID_SCOPE);
  return id;
}

const profiler_id_t& profiler_id_process() {
  static const profiler_id_t id(PROFILER_ID_INDEX_PROCESS, PROFILER_ID_INSTANT);
  return id;
}

const char* profiler_id_name(u32 index) {
  id_table_t& t = table();
  return index < t.count ? t.names[index] : "";
}

u32 profiler_id_count() { return table().count; }

}  // namespace umbra
