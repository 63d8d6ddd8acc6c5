#include "umbracore/profiling/tracer_buffer.h"

#include <cstring>
#include <new>

#include "umbracore/log/assert.h"
#include "umbracore/thread/locks.h"

namespace umbra {

namespace {

// Pages and buffers are recycled, never freed one by one: a long recording reuses the
// same few megabytes.
struct tracer_pool_t {
  mutex_t lock;
  tracer_page_t* free_pages = nullptr;
  u64 pages_allocated = 0;
  u64 pages_free = 0;
  tracer_buffer_t* free_buffers = nullptr;
};

tracer_pool_t& pool() {
  // Never destroyed: threads may give their buffers back while the process ends.
  static tracer_pool_t* instance = new tracer_pool_t();
  return *instance;
}

tracer_page_t* take_page() {
  tracer_pool_t& p = pool();
  tracer_page_t* page = nullptr;
  {
    mutex_guard_t guard(p.lock);
    page = p.free_pages;
    if (page) {
      p.free_pages = page->next;
      --p.pages_free;
    } else {
      ++p.pages_allocated;
    }
  }
  if (!page) page = static_cast<tracer_page_t*>(::operator new(sizeof(tracer_page_t), std::nothrow));
  UMBRA_ASSERT(page != nullptr, "%s", "Unable to allocate profiler tracer.");
  page->next = nullptr;
  page->count = 0;
  return page;
}

// Gives a chain of pages back.
void release_pages(tracer_page_t* first) {
  if (!first) return;
  tracer_page_t* last = first;
  u64 count = 1;
  while (last->next) {
    last = last->next;
    ++count;
  }
  tracer_pool_t& p = pool();
  mutex_guard_t guard(p.lock);
  last->next = p.free_pages;
  p.free_pages = first;
  p.pages_free += count;
}

void link_page(tracer_page_t*& first, tracer_page_t*& last, tracer_page_t* page) {
  if (last) {
    last->next = page;
  } else {
    first = page;
  }
  last = page;
}

}  // namespace

tracer_buffer_t* tracer_buffer_take(u64 thread_id, const char* thread_name, u32 kind, u64 base_us) {
  tracer_pool_t& p = pool();
  tracer_buffer_t* buffer = nullptr;
  {
    mutex_guard_t guard(p.lock);
    buffer = p.free_buffers;
    if (buffer) p.free_buffers = buffer->next;
  }
  if (!buffer) buffer = new (std::nothrow) tracer_buffer_t();
  UMBRA_ASSERT(buffer != nullptr, "%s", "Unable to allocate profiler tracer.");
  buffer->thread_id = thread_id;
  buffer->thread_name.assign(thread_name ? thread_name : "");
  buffer->kind = kind;
  buffer->record_count = 0;
  buffer->page_count = 0;
  buffer->text_page_count = 0;
  buffer->first_page = buffer->last_page = nullptr;
  buffer->first_text = buffer->last_text = nullptr;
  buffer->base_us = base_us;
  buffer->end_us = base_us;
  buffer->last_relative_us = 0;
  buffer->earliest_us = 0x7FFFFFFFFFFFFFFFll;
  buffer->latest_us = -1;
  buffer->next = nullptr;
  return buffer;
}

void tracer_buffer_release(tracer_buffer_t* buffer) {
  if (!buffer) return;
  release_pages(buffer->first_page);
  release_pages(buffer->first_text);
  buffer->first_page = buffer->last_page = nullptr;
  buffer->first_text = buffer->last_text = nullptr;
  tracer_pool_t& p = pool();
  mutex_guard_t guard(p.lock);
  buffer->next = p.free_buffers;
  p.free_buffers = buffer;
}

bool tracer_buffer_append(tracer_buffer_t* buffer, u32 kind, u64 category, u64 payload, u64 now_us) {
  u64 relative = now_us > buffer->base_us ? now_us - buffer->base_us : 0;
  if (relative < buffer->last_relative_us) relative = buffer->last_relative_us;
  if (relative > TRACE_TIME_MAX) return false;
  tracer_page_t* page = buffer->last_page;
  if (!page || page->count == TRACER_PAGE_RECORDS) {
    page = take_page();
    link_page(buffer->first_page, buffer->last_page, page);
    ++buffer->page_count;
  }
  page->records[page->count++] = {trace_event_word(kind, relative, category), payload};
  buffer->last_relative_us = relative;
  s64 absolute = (s64)(buffer->base_us + relative);
  if (buffer->record_count == 0) buffer->earliest_us = absolute;
  buffer->latest_us = absolute;
  ++buffer->record_count;
  return true;
}

const char* tracer_buffer_copy_text(tracer_buffer_t* buffer, const char* text) {
  u64 length = std::strlen(text);
  if (length > TRACER_TEXT_MAX) length = TRACER_TEXT_MAX;
  tracer_page_t* page = buffer->last_text;
  if (!page || page->count + length + 1 > sizeof(page->text)) {
    page = take_page();
    link_page(buffer->first_text, buffer->last_text, page);
    ++buffer->page_count;
    ++buffer->text_page_count;
  }
  char* copy = page->text + page->count;
  std::memcpy(copy, text, length);
  copy[length] = 0;
  page->count += (u32)length + 1;
  return copy;
}

u64 tracer_buffer_estimate(const tracer_buffer_t* buffer) {
  return (buffer->record_count + 252) * 4048 / 253 + (u64)buffer->text_page_count * TRACER_PAGE_BYTES;
}

u64 tracer_pages_allocated() {
  tracer_pool_t& p = pool();
  mutex_guard_t guard(p.lock);
  return p.pages_allocated;
}

u64 tracer_pages_free() {
  tracer_pool_t& p = pool();
  mutex_guard_t guard(p.lock);
  return p.pages_free;
}

}  // namespace umbra
