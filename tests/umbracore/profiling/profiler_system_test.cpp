// Recording and the tracer's life: nothing without tracing, what threads record reaches
// the file whole and nested, scopes that outlive their buffer, counters, the drop rule,
// and a writer that runs on the pool while threads record.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "support/trace_check.h"
#include "umbracore/profiling/profiler_system.h"
#include "umbracore/thread/run_context_system.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/ufs/fs_device.h"

using namespace umbra;

namespace {

const profiler_id_t TEST_ID(PROFILER_ID_SCOPE, "test");
stat_counter_t test_counter("test.system.counter");

// Runs body on a thread of its own with a run context named name.
void on_thread(const char* name, void (*body)(int), int argument) {
  std::thread worker([=] {
    run_context_t context;
    run_context_prime(&context, RUN_CONTEXT_KIND_NORMAL, name);
    body(argument);
    run_context_unprime();
  });
  worker.join();
}

void record_steps(int count) {
  UMBRA_PROFILE_SCOPE(TEST_ID, "steps");
  for (int i = 0; i < count; ++i) {
    UMBRA_PROFILE_SCOPE_FORMAT(TEST_ID, "step %d", i);
    std::this_thread::sleep_for(std::chrono::microseconds(2));
  }
}

// A tracer over a file system rooted in a temporary directory, where its files go.
class profiler_test : public testing::Test {
 protected:
  void SetUp() override {
    run_context_startup_main_thread();
    profiler_startup();
    ASSERT_TRUE(fs_startup(dir.path().c_str()));
  }
  void TearDown() override {
    profiler_tracer_shutdown();
    fs_shutdown();
    thread_pool_shutdown();
    thread_pool_set_worker_count_override(WORKER_COUNT_NO_OVERRIDE);
    run_context_shutdown_main_thread();
    profiler_shutdown();
  }
  std::vector<std::string> files() { return umbra_test::trace_files_in(dir.path()); }
  umbra_test::trace_summary_t only_trace() {
    std::vector<std::string> names = files();
    EXPECT_EQ(names.size(), 1u);
    if (names.empty()) return {};
    umbra_test::trace_summary_t summary = umbra_test::check_trace(dir / names[0]);
    EXPECT_TRUE(summary.valid) << summary.error;
    return summary;
  }

  umbra_test::log_capture_t log;
  umbra_test::temp_dir_t dir;
};

}  // namespace

TEST_F(profiler_test, without_tracing_nothing_is_recorded) {
  u64 pages = tracer_pages_allocated() - tracer_pages_free();
  record_steps(100);
  profiler_instant(TEST_ID, "instant");
  EXPECT_EQ(run_context_current()->profiler_state, nullptr);
  EXPECT_EQ(tracer_pages_allocated() - tracer_pages_free(), pages);
  profiler_tracer_shutdown();
  EXPECT_TRUE(files().empty());
}

TEST_F(profiler_test, every_thread_reaches_the_file_nested_and_named) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  profiler_tracer_start("full");
  {
    UMBRA_PROFILE_SCOPE(TEST_ID, "main work");
    record_steps(3);
    on_thread("Helper", record_steps, 5);
    profiler_instant(profiler_id_process(), "everywhere");
    test_counter.add(7);
    profiler_sample_counters();
  }
  profiler_tracer_shutdown();
  umbra_test::trace_summary_t trace = only_trace();
  EXPECT_EQ(trace.threads, (std::set<std::string>{"Main", "Helper", "PROCESS"}));
  for (const char* scope : {"main work", "steps", "step 0", "step 2", "step 4"}) EXPECT_EQ(trace.scopes.count(scope), 1u) << scope;
  EXPECT_EQ(trace.instants.count("everywhere"), 1u);
  EXPECT_EQ(trace.counters.count("test.system.counter"), 1u);
  EXPECT_EQ(trace.counters.count("io.chunk.read_ops"), 1u);
  EXPECT_FALSE(profiler_tracer_enabled());
}

TEST_F(profiler_test, a_scope_open_when_its_buffer_fills_goes_on_in_the_next) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  profiler_tracer_start("full");
  const int steps = 3 * PROFILER_PUBLISH_PAGES * TRACER_PAGE_RECORDS / 2;  // three buffers' worth
  {
    UMBRA_PROFILE_SCOPE_FORMAT(TEST_ID, "outer %s", "copied");
    for (int i = 0; i < steps; ++i) {
      UMBRA_PROFILE_SCOPE(TEST_ID, "inner");
      std::this_thread::sleep_for(std::chrono::microseconds(1));
    }
  }
  profiler_tracer_shutdown();
  std::vector<std::string> names = files();
  ASSERT_EQ(names.size(), 1u);
  umbra_test::trace_summary_t trace = umbra_test::check_trace(dir / names[0]);
  ASSERT_TRUE(trace.valid) << trace.error;
  std::string text = umbra_test::read_file(dir / names[0]);
  auto count = [&](const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  };
  // The outer scope is drawn once per buffer it spans; no inner scope is lost.
  EXPECT_GE(count("\"name\":\"outer copied\""), 3);
  EXPECT_EQ(count("\"name\":\"inner\""), steps);
}

TEST_F(profiler_test, counters_are_recorded_when_they_change) {
  profiler_tracer_start("full");
  test_counter.add(1);
  profiler_sample_counters();  // within 10 ms of the first sample: not yet
  std::this_thread::sleep_for(std::chrono::milliseconds(12));
  profiler_sample_counters();
  std::this_thread::sleep_for(std::chrono::milliseconds(12));
  profiler_sample_counters();  // nothing changed
  profiler_tracer_shutdown();
  std::vector<std::string> names = files();
  ASSERT_EQ(names.size(), 1u);
  std::string text = umbra_test::read_file(dir / names[0]);
  std::string needle = "\"name\":\"test.system.counter\"";
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  EXPECT_EQ(n, 2);  // the value at the start, then the changed one
}

TEST_F(profiler_test, unwritten_data_beyond_the_limit_is_dropped_with_a_warning) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  trace_writer_limits_t limits;
  limits.pending_bytes = 200000;  // a few buffers; no worker runs the writer meanwhile
  profiler_tracer_start("full", limits);
  const int steps = 6 * PROFILER_PUBLISH_PAGES * TRACER_PAGE_RECORDS / 2;
  for (int i = 0; i < steps; ++i) {
    UMBRA_PROFILE_SCOPE(TEST_ID, "busy");
  }
  EXPECT_TRUE(log.contains(
      "[profiler] Dropping unprocessed traced data. Contended system, maybe main thread in a busyloop?"));
  profiler_tracer_shutdown();
  std::vector<std::string> names = files();
  ASSERT_EQ(names.size(), 1u);
  umbra_test::trace_summary_t trace = umbra_test::check_trace(dir / names[0]);
  EXPECT_TRUE(trace.valid) << trace.error;
}

TEST_F(profiler_test, the_writer_runs_on_the_pool_while_threads_record) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  thread_pool_set_worker_count_override(2);
  thread_pool_startup();
  trace_writer_limits_t limits;
  limits.batch_bytes = 8192;  // every published buffer wakes the writer
  profiler_tracer_start("full", limits);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([t] {
      run_context_t context;
      string_local_t<16> name;
      name.format("Recorder_%d", t);
      run_context_prime(&context, RUN_CONTEXT_KIND_NORMAL, name.c_str());
      for (int i = 0; i < 3000; ++i) {
        UMBRA_PROFILE_SCOPE_FORMAT(TEST_ID, "r%d", t);
      }
      run_context_unprime();
    });
  }
  for (std::thread& t : threads) t.join();
  profiler_tracer_shutdown();
  umbra_test::trace_summary_t trace = only_trace();
  EXPECT_EQ(trace.threads.count("Recorder_0") + trace.threads.count("Recorder_1") + trace.threads.count("Recorder_2"), 3u);
}
