// The pieces under the profiler: categories, named counters and tracer buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "umbracore/profiling/profiler_id.h"
#include "umbracore/profiling/stat_counter.h"
#include "umbracore/profiling/tracer_buffer.h"

using namespace umbra;

namespace {

stat_counter_t first_counter("test.parts.first");
stat_counter_t second_counter("test.parts.second");

}  // namespace

TEST(profiler_id, the_table_starts_with_default_and_process_and_holds_sixteen) {
  EXPECT_EQ(profiler_id_default().index(), 0u);
  EXPECT_STREQ(profiler_id_default().name(), "default");
  EXPECT_EQ(profiler_id_process().index(), PROFILER_ID_INDEX_PROCESS);
  EXPECT_STREQ(profiler_id_process().name(), "process");
  EXPECT_STREQ(profiler_id_name(PROFILER_MAX_IDS), "");
  EXPECT_DEATH(
      {
        profiler_id_t local(PROFILER_ID_SCOPE, "local");
        EXPECT_EQ(local.index(), profiler_id_count() - 1);
        EXPECT_STREQ(profiler_id_name(local.index()), "local");
        for (u32 i = profiler_id_count(); i <= PROFILER_MAX_IDS; ++i) new profiler_id_t(PROFILER_ID_SCOPE, "more");
      },
      "Too many profiler_id_t identifiers, perhaps with dynamic lifetime\\?");
}

TEST(stat_counter, counters_link_into_one_list_in_start_up_order) {
  ASSERT_EQ(stat_counter_find("test.parts.first"), &first_counter);
  EXPECT_EQ(first_counter.next(), &second_counter);
  EXPECT_EQ(stat_counter_find("io.chunk.read_ops") != nullptr, true);
  EXPECT_EQ(stat_counter_find("no such counter"), nullptr);
  u32 index = 0;
  while (stat_counter_at(index) != &second_counter) ++index;
  EXPECT_EQ(stat_counter_at(index - 1), &first_counter);
  EXPECT_EQ(stat_counter_at(stat_counter_count()), nullptr);

  u64 before = first_counter.load();
  first_counter.add(5000000000ull);  // byte counts pass 32 bits
  first_counter.sub(1);
  EXPECT_EQ(first_counter.load() - before, 4999999999ull);
}

TEST(trace_event, packs_kind_time_and_category) {
  u64 word = trace_event_word(TRACE_EVENT_COUNTER, TRACE_TIME_MAX, 0xFFFFF);
  EXPECT_EQ(trace_event_kind(word), (u32)TRACE_EVENT_COUNTER);
  EXPECT_EQ(trace_event_time(word), TRACE_TIME_MAX);
  EXPECT_EQ(trace_event_category(word), 0xFFFFFu);
  word = trace_event_word(TRACE_EVENT_BEGIN, 12345, 3);
  EXPECT_EQ(trace_event_kind(word), (u32)TRACE_EVENT_BEGIN);
  EXPECT_EQ(trace_event_time(word), 12345u);
  EXPECT_EQ(trace_event_category(word), 3u);
}

TEST(tracer_buffer, records_run_over_pages_and_never_go_back_in_time) {
  tracer_buffer_t* b = tracer_buffer_take(9, "Main", TRACER_BUFFER_THREAD, 1000);
  for (u32 i = 0; i < TRACER_PAGE_RECORDS + 1; ++i) ASSERT_TRUE(tracer_buffer_append(b, TRACE_EVENT_INSTANT, 0, i, 2000 + i));
  EXPECT_EQ(b->record_count, TRACER_PAGE_RECORDS + 1);
  EXPECT_EQ(b->page_count, 2u);
  EXPECT_EQ(b->first_page->count, TRACER_PAGE_RECORDS);
  EXPECT_EQ(b->last_page->count, 1u);
  EXPECT_EQ(b->earliest_us, 2000);
  EXPECT_EQ(b->latest_us, 2000 + TRACER_PAGE_RECORDS);

  // A clock that steps back (another processor's, say) keeps the last time.
  ASSERT_TRUE(tracer_buffer_append(b, TRACE_EVENT_INSTANT, 0, 0, 500));
  EXPECT_EQ(trace_event_time(b->last_page->records[1].event), 1000u + TRACER_PAGE_RECORDS);
  EXPECT_EQ(b->latest_us, 2000 + TRACER_PAGE_RECORDS);
  // Beyond 40 bits of microseconds after the base: the buffer must be renewed first.
  EXPECT_FALSE(tracer_buffer_append(b, TRACE_EVENT_INSTANT, 0, 0, 1000 + TRACE_TIME_MAX + 1));
  EXPECT_EQ(b->record_count, TRACER_PAGE_RECORDS + 2);
  // (records + 252) * 4048 / 253 bytes: 16 per record plus most of a page.
  EXPECT_EQ(tracer_buffer_estimate(b), (u64)(TRACER_PAGE_RECORDS + 2 + 252) * 4048 / 253);
  tracer_buffer_release(b);
}

TEST(tracer_buffer, texts_are_copied_and_cut) {
  tracer_buffer_t* b = tracer_buffer_take(9, "Main", TRACER_BUFFER_THREAD, 0);
  std::string long_text(400, 'x');
  const char* copy = tracer_buffer_copy_text(b, long_text.c_str());
  EXPECT_EQ(std::strlen(copy), TRACER_TEXT_MAX);
  std::string text = "entry /a.txt";
  const char* short_copy = tracer_buffer_copy_text(b, text.c_str());
  text[0] = 'X';
  EXPECT_STREQ(short_copy, "entry /a.txt");
  for (int i = 0; i < 20; ++i) tracer_buffer_copy_text(b, long_text.c_str());  // more than one page
  EXPECT_EQ(b->text_page_count, 2u);
  EXPECT_EQ(tracer_buffer_estimate(b), 252u * 4048 / 253 + 2 * TRACER_PAGE_BYTES);
  tracer_buffer_release(b);
}

TEST(tracer_buffer, pages_are_recycled) {
  tracer_buffer_t* warm = tracer_buffer_take(1, "", TRACER_BUFFER_THREAD, 0);
  for (u32 i = 0; i < 3 * TRACER_PAGE_RECORDS; ++i) tracer_buffer_append(warm, TRACE_EVENT_INSTANT, 0, 0, i);
  tracer_buffer_release(warm);
  u64 allocated = tracer_pages_allocated();
  tracer_buffer_t* b = tracer_buffer_take(1, "", TRACER_BUFFER_THREAD, 0);
  for (u32 i = 0; i < 3 * TRACER_PAGE_RECORDS; ++i) tracer_buffer_append(b, TRACE_EVENT_INSTANT, 0, 0, i);
  EXPECT_EQ(tracer_pages_allocated(), allocated);
  tracer_buffer_release(b);
}
