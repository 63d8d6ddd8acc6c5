// What a thread records into: 16-byte event records in a chain of 4 KiB pages, with the
// texts of formatted names in pages of their own. Buffers and pages are pooled; a full
// buffer is published whole and goes back to the pool once the writer has read it.
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

enum trace_event_kind_t : u32 {
  TRACE_EVENT_BEGIN = 1,    // payload: the name (const char*)
  TRACE_EVENT_END = 2,      // closes the innermost open scope of its buffer
  TRACE_EVENT_INSTANT = 3,  // payload: the name
  TRACE_EVENT_COUNTER = 4,  // payload: the signed value
};

// Bits 0-3 kind, 4-43 microseconds after the buffer's base time, 44-63 category: a
// profiler_id_t index, or for counters TRACE_STAT_COUNTER_BASE plus the index of a
// named statistics counter.
struct trace_event_t {
  u64 event;
  u64 payload;
};
static_assert(sizeof(trace_event_t) == 16, "trace events are 16-byte records");

constexpr u32 TRACE_TIME_BITS = 40;
constexpr u64 TRACE_TIME_MAX = (1ull << TRACE_TIME_BITS) - 1;
constexpr u32 TRACE_CATEGORY_SHIFT = 44;
constexpr u64 TRACE_CATEGORY_MAX = (1ull << (64 - TRACE_CATEGORY_SHIFT)) - 1;
constexpr u32 TRACE_STAT_COUNTER_BASE = 16;

inline u64 trace_event_word(u32 kind, u64 relative_us, u64 category) {
  return (u64)(kind & 0xF) | (relative_us & TRACE_TIME_MAX) << 4 | (category & TRACE_CATEGORY_MAX) << TRACE_CATEGORY_SHIFT;
}
inline u32 trace_event_kind(u64 word) { return (u32)(word & 0xF); }
inline u64 trace_event_time(u64 word) { return (word >> 4) & TRACE_TIME_MAX; }
inline u32 trace_event_category(u64 word) { return (u32)(word >> TRACE_CATEGORY_SHIFT); }

constexpr u32 TRACER_PAGE_BYTES = 4096;
constexpr u32 TRACER_PAGE_RECORDS = 253;  // 4048 bytes of records after a 48-byte header

struct tracer_page_t {
  tracer_page_t* next;
  u32 count;  // records, or text bytes used in a text page
  u8 reserved[36];
  union {
    trace_event_t records[TRACER_PAGE_RECORDS];
    char text[TRACER_PAGE_RECORDS * sizeof(trace_event_t)];
  };
};
static_assert(sizeof(tracer_page_t) == TRACER_PAGE_BYTES, "tracer pages are 4 KiB");

enum tracer_buffer_kind_t : u32 {
  TRACER_BUFFER_PROCESS = 1,  // the process record's own buffer ("PROCESS")
  TRACER_BUFFER_THREAD = 2,
};

// The longest text a formatted name keeps (longer ones are cut).
constexpr u32 TRACER_TEXT_MAX = 255;

struct tracer_buffer_t {
  u64 thread_id = 0;
  string_local_t<32> thread_name;
  u32 kind = TRACER_BUFFER_THREAD;
  u64 record_count = 0;
  u32 page_count = 0;  // record and text pages
  u32 text_page_count = 0;
  tracer_page_t* first_page = nullptr;
  tracer_page_t* last_page = nullptr;
  tracer_page_t* first_text = nullptr;
  tracer_page_t* last_text = nullptr;
  // Profiler clock (microseconds) when the buffer was started and ended; the records'
  // times are relative to base_us.
  u64 base_us = 0;
  u64 end_us = 0;
  u64 last_relative_us = 0;
  // Absolute times of the first and the last record: largest value and -1 while empty.
  s64 earliest_us = 0x7FFFFFFFFFFFFFFFll;
  s64 latest_us = -1;
  tracer_buffer_t* next = nullptr;  // in the published list
};

// A buffer from the pool, started at base_us. Allocation failure stops the process
// ("Unable to allocate profiler tracer.").
tracer_buffer_t* tracer_buffer_take(u64 thread_id, const char* thread_name, u32 kind, u64 base_us);
// Back to the pool with its pages.
void tracer_buffer_release(tracer_buffer_t* buffer);

// Appends one record at the absolute time now_us (earlier than the last record counts
// as the last record's time: clocks may step back, the records of a buffer never do).
// False when now_us lies beyond what 40 bits can say relative to the buffer's base.
bool tracer_buffer_append(tracer_buffer_t* buffer, u32 kind, u64 category, u64 payload, u64 now_us);
// Copies text (cut to TRACER_TEXT_MAX bytes) into the buffer's text pages; the copy
// lives as long as the buffer.
const char* tracer_buffer_copy_text(tracer_buffer_t* buffer, const char* text);

// Memory the buffer holds, as the pending-data estimate counts it: its record pages at
// 4048 bytes per 253 records, and its text pages.
u64 tracer_buffer_estimate(const tracer_buffer_t* buffer);

// Pages in the pool (free and in use), for tests.
u64 tracer_pages_allocated();
u64 tracer_pages_free();

}  // namespace umbra
