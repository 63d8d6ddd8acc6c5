#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"
#include "umbracore/platform/timer_platform.h"
#ifndef _WIN32
#include "umbracore/platform/posix/timer_posix.h"
#endif
#include "umbracore/timer/process_clock.h"
#include "umbracore/timer/timer_wall.h"

namespace umbra {
namespace {

struct classification_case_t {
  u64 frequency;
  u64 cpu_speed_hz;
  u32 processors;
  u32 source;
  bool usable;
};

TEST(timer_classify_qpc, frequency_table) {
  const classification_case_t cases[] = {
      {0, 3000000000ull, 8, QPC_SOURCE_UNKNOWN, false},
      {1193182, 0, 8, QPC_SOURCE_PIT, true},
      {3579545, 0, 8, QPC_SOURCE_ACPI, true},
      {3579545, 3579545, 8, QPC_SOURCE_ACPI, true},  // the fixed frequencies win over a clock match
      {10000000, 0, 8, QPC_SOURCE_HPET, true},
      {14318180, 3000000000ull, 8, QPC_SOURCE_HPET, true},
      {9999999, 0, 8, QPC_SOURCE_UNKNOWN, false},
      {9999999, 3000000000ull, 8, QPC_SOURCE_UNKNOWN, false},
      // Within 1 % of the processor clock: a raw TSC, unusable across processors.
      {3010000000ull, 3000000000ull, 8, QPC_SOURCE_TSC, false},
      {3010000000ull, 3000000000ull, 1, QPC_SOURCE_TSC, true},
      {3030000000ull, 3000000000ull, 1, QPC_SOURCE_HPET, true},  // exactly 1 % off: no match
      // The clock divided by 1024.
      {2929687, 3000000000ull, 8, QPC_SOURCE_TSC_INVARIANT, true},
      {2900000, 3000000000ull, 8, QPC_SOURCE_UNKNOWN, false},
      {1000000000ull, 0, 2, QPC_SOURCE_HPET, true},
  };
  for (const classification_case_t& c : cases) {
    SCOPED_TRACE(testing::Message() << "F=" << c.frequency << " S=" << c.cpu_speed_hz << " n=" << c.processors);
    qpc_classification_t found = timer_classify_qpc(c.frequency, c.cpu_speed_hz, c.processors);
    EXPECT_EQ(found.source, c.source);
    EXPECT_EQ(found.usable, c.usable);
  }
}

TEST(timer_classify_qpc, source_names) {
  const char* expected[] = {"unknown", "PIT 8254", "RTC", "ACPI (PM Clock)", "TSC", "TSC invariant", "HPET"};
  for (u32 i = 0; i < 7; ++i) EXPECT_STREQ(timer_qpc_source_name(i), expected[i]);
  EXPECT_STREQ(timer_qpc_source_name(7), "unknown");
}

#ifndef _WIN32
TEST(timer_classify_qpc, linux_clock_source_names) {
  EXPECT_EQ(platform::qpc_source_from_clocksource_name("tsc"), (u32)QPC_SOURCE_TSC_INVARIANT);
  EXPECT_EQ(platform::qpc_source_from_clocksource_name("hpet"), (u32)QPC_SOURCE_HPET);
  EXPECT_EQ(platform::qpc_source_from_clocksource_name("acpi_pm"), (u32)QPC_SOURCE_ACPI);
  EXPECT_EQ(platform::qpc_source_from_clocksource_name("kvm-clock"), (u32)QPC_SOURCE_UNKNOWN);
  EXPECT_EQ(platform::qpc_source_from_clocksource_name(""), (u32)QPC_SOURCE_UNKNOWN);
}
#endif

TEST(elapsed_counter, carries_the_remainder_so_the_sum_never_drifts) {
  elapsed_counter_t counter;
  counter.start(3, 100);
  // One tick of a 3 Hz counter is 333333.33 us: the thirds add up to whole seconds.
  EXPECT_EQ(counter.advance(101), 333333u);
  EXPECT_EQ(counter.advance(102), 333333u);
  EXPECT_EQ(counter.advance(103), 333334u);
  u64 total = 0;
  for (u64 tick = 104; tick <= 403; ++tick) total += counter.advance(tick);
  EXPECT_EQ(total, 100u * 1000000u);
}

TEST(elapsed_counter, backwards_reading_gives_zero_and_keeps_the_base) {
  elapsed_counter_t counter;
  counter.start(1000000000ull, 5000);
  EXPECT_EQ(counter.advance(4000), 0u);
  EXPECT_EQ(counter.advance(7000), 2u);  // still measured from 5000
}

TEST(elapsed_counter, long_intervals_do_not_overflow) {
  elapsed_counter_t counter;
  counter.start(1000000000ull, 0);
  const u64 thirty_days_ns = 30ull * 86400 * 1000000000ull;
  EXPECT_EQ(counter.advance(thirty_days_ns), 30ull * 86400 * 1000000ull);
}

TEST(timer_initialize, reports_the_selected_timer) {
  umbra_test::log_capture_t capture;
  timer_initialize(true);
  std::string selected = timer_selected_name();
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].level, (unsigned)LOG_LEVEL_INFO);
  // 1 GHz on Linux (nanoseconds); Windows reports its counter's own.
  u64 frequency = 0;
  ASSERT_TRUE(platform::qpc_frequency(&frequency));
  const std::string hz = " frequency " + std::to_string(frequency) + "Hz";
  if (selected == "QPC") {
    std::string expected = std::string("[sys] using QPC / ") + timer_qpc_source_name(timer_selected_source()) + " timer," + hz;
    EXPECT_EQ(capture.messages()[0].text, expected);
  } else {
    // kvm-clock and other sources the kernel names but the table does not.
    EXPECT_EQ(selected, "pure QPC");
    EXPECT_EQ(capture.messages()[0].text, "[sys] using pure QPC," + hz);
  }
  capture.clear();
  timer_initialize(false);
  EXPECT_TRUE(capture.messages().empty());
}

TEST(timer_initialize, elapsed_time_follows_the_monotonic_clock) {
  timer_initialize(false);
  u64 start = 0;
  platform::qpc_counter(&start);
  timer_elapsed_us();
  u64 total = 0;
  for (int i = 0; i < 1000; ++i) total += timer_elapsed_us();
  u64 end = 0;
  platform::qpc_counter(&end);
  u64 frequency = 0;
  ASSERT_TRUE(platform::qpc_frequency(&frequency));
  EXPECT_LE(total, (end - start) * 1000000 / frequency + 1);
}

TEST(process_clock, advances_by_the_wall_timer) {
  timer_initialize(false);
  process_clock_reset();
  EXPECT_EQ(process_clock_now_us(), 0u);
  u64 first = process_clock_advance();
  u64 second = process_clock_advance();
  EXPECT_GE(second, first);
  EXPECT_EQ(process_clock_now_us(), second);
}

}  // namespace
}  // namespace umbra
