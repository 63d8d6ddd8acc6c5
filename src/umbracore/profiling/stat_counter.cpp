#include "umbracore/profiling/stat_counter.h"

#include <cstring>

namespace umbra {

namespace {

// Zero-initialised before any constructor runs, so counters in any translation unit
// may register in whatever order the program's start-up constructs them.
stat_counter_t* g_first = nullptr;
stat_counter_t* g_last = nullptr;

}  // namespace

stat_counter_t::stat_counter_t(const char* name) : name_(name) {
  if (g_last) {
    g_last->next_ = this;
  } else {
    g_first = this;
  }
  g_last = this;
}

stat_counter_t::~stat_counter_t() {
  stat_counter_t* previous = nullptr;
  for (stat_counter_t* c = g_first; c; previous = c, c = c->next_) {
    if (c != this) continue;
    if (previous) {
      previous->next_ = next_;
    } else {
      g_first = next_;
    }
    if (g_last == this) g_last = previous;
    return;
  }
}

stat_counter_t* stat_counter_first() { return g_first; }

u32 stat_counter_count() {
  u32 count = 0;
  for (stat_counter_t* c = g_first; c; c = c->next()) ++count;
  return count;
}

stat_counter_t* stat_counter_at(u32 index) {
  stat_counter_t* c = g_first;
  while (c && index-- > 0) c = c->next();
  return c;
}

stat_counter_t* stat_counter_find(const char* name) {
  for (stat_counter_t* c = g_first; c; c = c->next()) {
    if (std::strcmp(c->name(), name) == 0) return c;
  }
  return nullptr;
}

}  // namespace umbra
