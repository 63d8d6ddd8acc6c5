#include "tools/packer/source_prefetch.h"

#include "tools/packer/source_lists.h"
#include "umbracore/strings/string.h"

namespace umbra {

source_prefetcher_t::source_prefetcher_t(const char* root, u64 window, prefetch_function_t prefetch)
    : root_(root), prefetch_(prefetch) {
  window_.window = window;
  thread_.name.assign("Prefetch");
}

source_prefetcher_t::~source_prefetcher_t() { stop(); }

void source_prefetcher_t::start(array_dyn_t<item_t>&& items) {
  items_ = std::move(items);
  if (items_.empty()) return;
  thread_.start(&source_prefetcher_t::thread_entry, this);
}

void source_prefetcher_t::stop() {
  {
    mutex_guard_t guard(lock_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.started) {
    thread_.join();
    thread_.started = false;
  }
}

void source_prefetcher_t::on_read_started(u64 size) {
  mutex_guard_t guard(lock_);
  window_.started_bytes += size;
  if (waiting_ && window_.wakes_a_waiter()) wake_.notify_one();
}

void source_prefetcher_t::thread_entry(void* self) { static_cast<source_prefetcher_t*>(self)->run(); }

bool source_prefetcher_t::wait_for_room() {
  mutex_guard_t guard(lock_);
  while (!stopping_ && !window_.has_room()) {
    waiting_ = true;
    wake_.wait(lock_);
  }
  waiting_ = false;
  return !stopping_;
}

void source_prefetcher_t::run() {
  for (const item_t& item : items_) {
    if (!wait_for_room()) return;
    system_path_string_t full;
    // A hint that cannot be given costs nothing: the task's own read reports the problem.
    if (join_root(full, root_, item.path)) prefetch_(full.c_str());
    mutex_guard_t guard(lock_);
    window_.hinted_bytes += item.size;
  }
}

}  // namespace umbra
