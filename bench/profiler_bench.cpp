// What a scope costs the thread that records it: with tracing off (the tool's normal
// run) against no scope at all, and with tracing on. bench/trace_bench.py turns the
// off figure into a share of a whole create.
#include <benchmark/benchmark.h>

#include "umbracore/profiling/profiler_system.h"
#include "umbracore/thread/run_context_system.h"

namespace {

const umbra::profiler_id_t BENCH_ID(umbra::PROFILER_ID_SCOPE, "bench");
const char* const ENTRY_PATH = "material/environment/rock/granite_02.tobj";

// The peer: the same loop without a scope.
void BM_no_scope(benchmark::State& state) {
  for (auto _ : state) benchmark::ClobberMemory();
}

void BM_scope_off(benchmark::State& state) {
  umbra::run_context_startup_main_thread();
  for (auto _ : state) {
    UMBRA_PROFILE_SCOPE(BENCH_ID, "merge");
    benchmark::ClobberMemory();
  }
}

void BM_scope_format_off(benchmark::State& state) {
  umbra::run_context_startup_main_thread();
  for (auto _ : state) {
    UMBRA_PROFILE_SCOPE_FORMAT(BENCH_ID, "plain /%s", ENTRY_PATH);
    benchmark::ClobberMemory();
  }
}

// Recording only: the data is dropped as it piles up (no file system, no writer run).
struct tracing_t {
  tracing_t() {
    umbra::run_context_startup_main_thread();
    umbra::trace_writer_limits_t limits;
    limits.pending_bytes = 1 << 20;
    umbra::profiler_tracer_start("bench", limits);
  }
  ~tracing_t() {
    umbra::profiler_tracer_shutdown();
    umbra::run_context_shutdown_main_thread();
  }
};

void BM_scope_on(benchmark::State& state) {
  tracing_t tracing;
  for (auto _ : state) {
    UMBRA_PROFILE_SCOPE(BENCH_ID, "merge");
    benchmark::ClobberMemory();
  }
}

void BM_scope_format_on(benchmark::State& state) {
  tracing_t tracing;
  for (auto _ : state) {
    UMBRA_PROFILE_SCOPE_FORMAT(BENCH_ID, "plain /%s", ENTRY_PATH);
    benchmark::ClobberMemory();
  }
}

}  // namespace

BENCHMARK(BM_no_scope);
BENCHMARK(BM_scope_off);
BENCHMARK(BM_scope_format_off);
BENCHMARK(BM_scope_on);
BENCHMARK(BM_scope_format_on);
