// The profiler: every thread records named scopes, instants and counter values into its
// own tracer buffer, reached through its run context, without taking a lock. Full
// buffers are published to one list; with "-trace" a writer task on a serial task
// queue turns them into trace files (trace_writer.h). Without it nothing is recorded:
// a scope then costs one predictable branch.
#pragma once

#include <atomic>
#include <cstdarg>

#include "umbracore/profiling/profiler_id.h"
#include "umbracore/profiling/stat_counter.h"
#include "umbracore/profiling/trace_writer.h"
#include "umbracore/types.h"

namespace umbra {

struct run_context_t;

namespace profiler_detail {
extern std::atomic<bool> g_recording;
}

inline bool profiler_is_recording() { return profiler_detail::g_recording.load(std::memory_order_relaxed); }

// Microseconds since 1970-01-01 UTC, counted from a monotonic clock: consistent across
// threads and never going back within a run.
u64 profiler_clock_us();

// Recording into the calling thread's buffer; nothing happens while not recording or
// on a thread without a run context. A name given as const char* must live as long as
// the process (a literal); the text and format variants copy theirs.
void profiler_begin(const profiler_id_t& id, const char* name);
void profiler_begin_text(const profiler_id_t& id, const char* text);
void profiler_begin_format(const profiler_id_t& id, const char* format, ...) UMBRA_PRINTF(2, 3);
void profiler_vbegin_format(const profiler_id_t& id, const char* format, va_list args);
// Closes the thread's innermost open scope.
void profiler_end();
void profiler_instant(const profiler_id_t& id, const char* name);
void profiler_counter(const profiler_id_t& id, s64 value);

// A track of its own for work that overlaps on one thread (the transfers the IO pump
// has in flight): only the creating thread records into it.
struct profiler_tracer_t;
using profiler_lane_t = profiler_tracer_t;
// The calling thread's own track (null without run context or while not recording).
profiler_lane_t* profiler_lane_of_current_thread();
// A further track shown as a thread of its own under name (null while not recording).
profiler_lane_t* profiler_lane_create(const char* name, u32 lane_number);
void profiler_lane_destroy(profiler_lane_t* lane);
void profiler_lane_begin_format(profiler_lane_t* lane, const profiler_id_t& id, const char* format, ...)
    UMBRA_PRINTF(3, 4);
void profiler_lane_end(profiler_lane_t* lane);

// Records the named statistics counters that changed, at most every 10 ms (any thread).
void profiler_sample_counters();

// Publishes the thread's buffer and gives it a fresh one.
void publish_tracer(run_context_t* context);
// The thread of context ends: its buffer is published and its tracer freed.
void profiler_release_run_context(run_context_t* context);

// The process record "PROCESS": the profiler's clock and its own buffer (start-up,
// before the thread pool).
void profiler_startup();
void profiler_shutdown();
// The tracer: on when the command line holds "-trace" (start-up, after the file
// system). Returns whether tracing is on.
bool profiler_tracer_startup();
void profiler_tracer_start(const char* tag, const trace_writer_limits_t& limits = trace_writer_limits_t());
// Publishes every buffer, writes what is pending and stops recording.
void profiler_tracer_shutdown();
bool profiler_tracer_enabled();
// The trace file written last ("" before the first).
void profiler_trace_file_name(string& out);

// A buffer is published once it holds this many pages (about 4000 records).
constexpr u32 PROFILER_PUBLISH_PAGES = 16;
constexpr u64 PROFILER_SAMPLE_PERIOD_US = 10000;

// A scope for the lifetime of a block.
class profiler_scope_t {
 public:
  explicit profiler_scope_t(const profiler_id_t& id) : id_(id), active_(profiler_is_recording()) {}
  profiler_scope_t(const profiler_id_t& id, const char* name) : profiler_scope_t(id) {
    if (active_) profiler_begin(id, name);
  }
  ~profiler_scope_t() {
    if (active_) profiler_end();
  }
  profiler_scope_t(const profiler_scope_t&) = delete;
  profiler_scope_t& operator=(const profiler_scope_t&) = delete;

  bool active() const { return active_; }
  void begin_format(const char* format, ...) UMBRA_PRINTF(2, 3);

 private:
  const profiler_id_t& id_;
  bool active_;
};

}  // namespace umbra

#define UMBRA_PROFILE_PASTE(a, b) a##b
#define UMBRA_PROFILE_CONCAT(a, b) UMBRA_PROFILE_PASTE(a, b)
// A scope named by a literal until the end of the enclosing block.
#define UMBRA_PROFILE_SCOPE(id, name) ::umbra::profiler_scope_t UMBRA_PROFILE_CONCAT(profile_scope_, __LINE__)(id, name)
// A scope named by a printf format; the arguments are evaluated only while recording.
#define UMBRA_PROFILE_SCOPE_FORMAT(id, ...)                                         \
  ::umbra::profiler_scope_t UMBRA_PROFILE_CONCAT(profile_scope_, __LINE__)(id);     \
  if (!UMBRA_PROFILE_CONCAT(profile_scope_, __LINE__).active()) {                   \
  } else                                                                            \
    UMBRA_PROFILE_CONCAT(profile_scope_, __LINE__).begin_format(__VA_ARGS__)
