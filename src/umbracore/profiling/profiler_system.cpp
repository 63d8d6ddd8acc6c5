#include "umbracore/profiling/profiler_system.h"

#include <cstdio>

#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/timer_platform.h"
#include "umbracore/thread/locks.h"
#include "umbracore/thread/run_context_system.h"
#include "umbracore/thread/task_queue.h"
#include "umbracore/timer/process_clock.h"

namespace umbra {

namespace profiler_detail {
std::atomic<bool> g_recording{false};
}

using profiler_detail::g_recording;

namespace {

// Open scopes a tracer remembers by name, so that a scope still open when its buffer
// is published goes on in the next buffer; deeper ones go on unnamed.
constexpr u32 TRACKED_DEPTH = 32;
constexpr const char* UNTRACKED_SCOPE = "(scope)";
// Thread ids of tracks that are not threads: far above any system thread id.
constexpr u64 PROCESS_THREAD_ID = 1ull << 41;
constexpr u64 LANE_THREAD_ID_BASE = 1ull << 40;

struct open_scope_t {
  u32 category = 0;
  const char* name = nullptr;
  bool copied = false;  // lives in the buffer's text pages
};

}  // namespace

struct profiler_tracer_t {
  tracer_buffer_t* buffer = nullptr;
  u64 thread_id = 0;
  string_local_t<32> thread_name;
  run_context_t* context = nullptr;  // null for lanes and the process record
  u32 kind = TRACER_BUFFER_THREAD;
  u32 depth = 0;
  open_scope_t open[TRACKED_DEPTH];
  bool in_use = false;
  profiler_tracer_t* next_registered = nullptr;
};

namespace {

class writer_task_t;

struct profiler_t {
  mutex_t lock;
  // Every tracer ever made; free ones are reused, none is freed while the process runs.
  profiler_tracer_t* registered = nullptr;
  profiler_tracer_t process;
  bool process_started = false;
  tracer_buffer_t* published_head = nullptr;
  tracer_buffer_t* published_tail = nullptr;
  u64 pending_estimate = 0;
  bool enabled = false;
  trace_writer_t* writer = nullptr;
  thread::task_queue_t queue;
  array_dyn_t<writer_task_t*> writer_tasks;
  bool writer_scheduled = false;
  u64 last_sample_us = 0;
  bool sampled = false;
  path_string_t last_file_name;
};

// Every record published, dropped ones included: how much a traced run recorded.
stat_counter_t g_records_published("profiler.records");

profiler_t& profiler() {
  // Never destroyed: threads give their tracers back while the process ends.
  static profiler_t* instance = new profiler_t();
  return *instance;
}

// ---------------------------------------------------------------------------------
// Clock

struct clock_epoch_t {
  u64 counter = 0;
  u64 frequency = 1;
  u64 ticks_per_us = 0;  // when the frequency is a whole number of MHz: one division
  u64 wall_us = 0;
};

const clock_epoch_t& clock_epoch() {
  static const clock_epoch_t epoch = [] {
    clock_epoch_t e;
    if (!platform::qpc_frequency(&e.frequency) || e.frequency == 0) e.frequency = 1;
    if (e.frequency % 1000000 == 0) e.ticks_per_us = e.frequency / 1000000;
    platform::qpc_counter(&e.counter);
    e.wall_us = platform::wall_clock_us();
    return e;
  }();
  return epoch;
}

// ---------------------------------------------------------------------------------
// Publishing

void release_list(tracer_buffer_t* head) {
  while (head) {
    tracer_buffer_t* next = head->next;
    tracer_buffer_release(head);
    head = next;
  }
}

void schedule_writer_locked(profiler_t& p);

// Profiler lock held.
void publish_locked(profiler_t& p, tracer_buffer_t* buffer) {
  if (!p.enabled || buffer->record_count == 0) {
    tracer_buffer_release(buffer);
    return;
  }
  g_records_published.add(buffer->record_count);
  if (p.pending_estimate > p.writer->limits().pending_bytes) {
    log_warning("[profiler] Dropping unprocessed traced data. Contended system, maybe main thread in a busyloop?");
    release_list(p.published_head);
    p.published_head = p.published_tail = nullptr;
    p.pending_estimate = 0;
  }
  p.pending_estimate += tracer_buffer_estimate(buffer);
  buffer->next = nullptr;
  if (p.published_tail) {
    p.published_tail->next = buffer;
  } else {
    p.published_head = buffer;
  }
  p.published_tail = buffer;
  if (!p.writer_scheduled && p.pending_estimate >= p.writer->limits().batch_bytes) schedule_writer_locked(p);
}

void publish(tracer_buffer_t* buffer, u64 now_us) {
  buffer->end_us = now_us;
  process_clock_advance();
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  publish_locked(p, buffer);
}

tracer_buffer_t* start_buffer(profiler_tracer_t* tracer, u64 now_us) {
  process_clock_advance();
  tracer->buffer = tracer_buffer_take(tracer->thread_id, tracer->thread_name.c_str(), tracer->kind, now_us);
  return tracer->buffer;
}

bool buffer_is_due(const tracer_buffer_t* buffer, u64 now_us) {
  bool full = buffer->page_count >= PROFILER_PUBLISH_PAGES && buffer->last_page &&
              buffer->last_page->count == TRACER_PAGE_RECORDS;
  return full || (now_us > buffer->base_us && now_us - buffer->base_us > TRACE_TIME_MAX);
}

// Closes the open scopes in the tracer's buffer and detaches the buffer; with reopen,
// a fresh buffer takes the scopes up again at the same moment.
tracer_buffer_t* detach_buffer(profiler_tracer_t* tracer, u64 now_us, bool reopen) {
  tracer_buffer_t* old = tracer->buffer;
  tracer->buffer = nullptr;
  if (!old) return nullptr;
  if (reopen && tracer->depth > 0) {
    tracer_buffer_t* fresh = start_buffer(tracer, now_us);
    for (u32 i = 0; i < tracer->depth; ++i) {
      open_scope_t scope;
      if (i < TRACKED_DEPTH) scope = tracer->open[i];
      const char* name = scope.name ? scope.name : UNTRACKED_SCOPE;
      if (scope.copied) name = tracer_buffer_copy_text(fresh, name);
      tracer_buffer_append(fresh, TRACE_EVENT_BEGIN, scope.category, (u64)(uintptr_t)name, now_us);
      if (i < TRACKED_DEPTH) tracer->open[i].name = name;
    }
  }
  for (u32 i = 0; i < tracer->depth; ++i) tracer_buffer_append(old, TRACE_EVENT_END, 0, 0, now_us);
  if (!reopen) tracer->depth = 0;
  return old;
}

// The buffer that takes the next record, publishing the current one first when due.
tracer_buffer_t* ready_buffer(profiler_tracer_t* tracer, u64 now_us) {
  tracer_buffer_t* buffer = tracer->buffer;
  if (!buffer) return start_buffer(tracer, now_us);
  if (!buffer_is_due(buffer, now_us)) return buffer;
  publish(detach_buffer(tracer, now_us, true), now_us);
  return tracer->buffer ? tracer->buffer : start_buffer(tracer, now_us);
}

// ---------------------------------------------------------------------------------
// Tracers

profiler_tracer_t* take_tracer_locked(profiler_t& p) {
  for (profiler_tracer_t* tracer = p.registered; tracer; tracer = tracer->next_registered) {
    if (!tracer->in_use) {
      tracer->in_use = true;
      return tracer;
    }
  }
  profiler_tracer_t* tracer = new profiler_tracer_t();
  tracer->in_use = true;
  tracer->next_registered = p.registered;
  p.registered = tracer;
  return tracer;
}

void init_tracer(profiler_tracer_t* tracer, u64 thread_id, const char* name, run_context_t* context) {
  tracer->buffer = nullptr;
  tracer->thread_id = thread_id;
  tracer->thread_name.assign(name);
  tracer->context = context;
  tracer->kind = TRACER_BUFFER_THREAD;
  tracer->depth = 0;
}

profiler_tracer_t* attach_tracer(run_context_t* context) {
  // Several threads may hold the shared fallback context at once.
  if (context->shared) return nullptr;
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  profiler_tracer_t* tracer = take_tracer_locked(p);
  init_tracer(tracer, context->thread_id, context->thread_name.c_str(), context);
  context->profiler_state = tracer;
  return tracer;
}

profiler_tracer_t* current_tracer() {
  run_context_t* context = run_context_current();
  if (!context) return nullptr;
  profiler_tracer_t* tracer = static_cast<profiler_tracer_t*>(context->profiler_state);
  return tracer ? tracer : attach_tracer(context);
}

// Publishes what the tracer holds and frees it (its thread or lane ends).
void release_tracer(profiler_tracer_t* tracer) {
  u64 now = profiler_clock_us();
  tracer_buffer_t* buffer = nullptr;
  profiler_t& p = profiler();
  {
    mutex_guard_t guard(p.lock);
    buffer = detach_buffer(tracer, now, false);
    tracer->context = nullptr;
    tracer->in_use = false;
  }
  if (buffer) publish(buffer, now);
}

// ---------------------------------------------------------------------------------
// Recording

void record_begin(profiler_tracer_t* tracer, u32 category, const char* name, bool copy) {
  u64 now = profiler_clock_us();
  tracer_buffer_t* buffer = ready_buffer(tracer, now);
  const char* stored = copy ? tracer_buffer_copy_text(buffer, name) : name;
  tracer_buffer_append(buffer, TRACE_EVENT_BEGIN, category, (u64)(uintptr_t)stored, now);
  if (tracer->depth < TRACKED_DEPTH) tracer->open[tracer->depth] = {category, stored, copy};
  ++tracer->depth;
}

void record_begin_vformat(profiler_tracer_t* tracer, u32 category, const char* format, va_list args) {
  char text[TRACER_TEXT_MAX + 1];
  std::vsnprintf(text, sizeof text, format, args);
  record_begin(tracer, category, text, true);
}

void record_end(profiler_tracer_t* tracer) {
  // A scope whose begin was published at shutdown (or never recorded) ends silently.
  if (tracer->depth == 0) return;
  u64 now = profiler_clock_us();
  tracer_buffer_append(ready_buffer(tracer, now), TRACE_EVENT_END, 0, 0, now);
  --tracer->depth;
}

void record(profiler_tracer_t* tracer, u32 kind, u32 category, u64 payload) {
  u64 now = profiler_clock_us();
  tracer_buffer_append(ready_buffer(tracer, now), kind, category, payload, now);
}

// ---------------------------------------------------------------------------------
// The process record: counter samples go into its buffer, under the profiler lock.

void process_record_locked(profiler_t& p, u32 kind, u64 category, u64 payload, u64 now_us) {
  profiler_tracer_t* tracer = &p.process;
  tracer_buffer_t* buffer = tracer->buffer;
  if (buffer && buffer_is_due(buffer, now_us)) {
    tracer->buffer = nullptr;
    buffer->end_us = now_us;
    publish_locked(p, buffer);
    buffer = nullptr;
  }
  if (!buffer) buffer = tracer->buffer = tracer_buffer_take(tracer->thread_id, "PROCESS", TRACER_BUFFER_PROCESS, now_us);
  tracer_buffer_append(buffer, kind, category, payload, now_us);
}

void sample_counters_locked(profiler_t& p, u64 now_us) {
  p.last_sample_us = now_us;
  p.sampled = true;
  u32 index = 0;
  for (stat_counter_t* counter = stat_counter_first(); counter; counter = counter->next(), ++index) {
    u64 value = counter->load();
    if (counter->ever_reported && counter->reported == value) continue;
    counter->reported = value;
    counter->ever_reported = true;
    process_record_locked(p, TRACE_EVENT_COUNTER, TRACE_STAT_COUNTER_BASE + index, value, now_us);
  }
}

// ---------------------------------------------------------------------------------
// The writer task

// Takes published buffers in order while the batch stays within the batch size and the
// current file's room (at least one buffer).
tracer_buffer_t* take_batch_locked(profiler_t& p) {
  tracer_buffer_t* head = p.published_head;
  if (!head) return nullptr;
  const u64 max_bytes = p.writer->limits().batch_bytes;
  const u64 room = p.writer->records_room();
  u64 bytes = tracer_buffer_estimate(head);
  u64 records = head->record_count;
  tracer_buffer_t* last = head;
  while (last->next) {
    tracer_buffer_t* next = last->next;
    u64 next_bytes = tracer_buffer_estimate(next);
    if (bytes + next_bytes > max_bytes || records + next->record_count > room) break;
    bytes += next_bytes;
    records += next->record_count;
    last = next;
  }
  p.published_head = last->next;
  if (!p.published_head) p.published_tail = nullptr;
  last->next = nullptr;
  p.pending_estimate = p.pending_estimate > bytes ? p.pending_estimate - bytes : 0;
  return head;
}

class writer_task_t final : public thread::task_t {
 public:
  writer_task_t() : task_t(1, 1, "generate_chrome_tracing_file_t") {}
  // A thread waits for it: nobody else may delete it (profiler lock).
  bool pinned = false;

  void execute() override {
    profiler_t& p = profiler();
    for (;;) {
      tracer_buffer_t* batch = nullptr;
      {
        mutex_guard_t guard(p.lock);
        batch = take_batch_locked(p);
        if (!batch) {
          p.writer_scheduled = false;
          return;
        }
      }
      // The writer alone touches its state: the serial queue runs one writer at a time.
      p.writer->write_batch(batch, profiler_clock_us());
      {
        mutex_guard_t guard(p.lock);
        p.last_file_name.assign(p.writer->file_name());
      }
      release_list(batch);
    }
  }
};

// Tasks that have finished are deleted here, the others when tracing stops.
void collect_writer_tasks_locked(profiler_t& p) {
  for (u64 i = p.writer_tasks.count(); i-- > 0;) {
    writer_task_t* task = p.writer_tasks[i];
    if (task->pinned || task->get_state() < thread::TASK_FINISHED) continue;
    thread::wait(task);
    delete task;
    p.writer_tasks.remove(i);
  }
}

void schedule_writer_locked(profiler_t& p) {
  collect_writer_tasks_locked(p);
  writer_task_t* task = new writer_task_t();
  if (!p.writer_tasks.append(task)) {
    delete task;
    return;
  }
  p.writer_scheduled = true;
  p.queue.submit(task);
}

// Waits for every writer task; the last one may have been submitted meanwhile.
void wait_writer_tasks(profiler_t& p) {
  for (;;) {
    writer_task_t* task = nullptr;
    {
      mutex_guard_t guard(p.lock);
      collect_writer_tasks_locked(p);
      if (p.writer_tasks.empty()) return;
      task = p.writer_tasks[0];
      task->pinned = true;
    }
    p.queue.wait(task);
    mutex_guard_t guard(p.lock);
    task->pinned = false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------

u64 profiler_clock_us() {
  const clock_epoch_t& epoch = clock_epoch();
  u64 now = 0;
  platform::qpc_counter(&now);
  u64 elapsed = now > epoch.counter ? now - epoch.counter : 0;
  if (epoch.ticks_per_us) return epoch.wall_us + elapsed / epoch.ticks_per_us;
  u64 seconds = elapsed / epoch.frequency;
  u64 rest = elapsed % epoch.frequency;
  return epoch.wall_us + seconds * 1000000ull + rest * 1000000ull / epoch.frequency;
}

void profiler_begin(const profiler_id_t& id, const char* name) {
  if (!profiler_is_recording()) return;
  if (profiler_tracer_t* tracer = current_tracer()) record_begin(tracer, id.index(), name, false);
}

void profiler_begin_text(const profiler_id_t& id, const char* text) {
  if (!profiler_is_recording()) return;
  if (profiler_tracer_t* tracer = current_tracer()) record_begin(tracer, id.index(), text, true);
}

void profiler_vbegin_format(const profiler_id_t& id, const char* format, va_list args) {
  if (!profiler_is_recording()) return;
  if (profiler_tracer_t* tracer = current_tracer()) record_begin_vformat(tracer, id.index(), format, args);
}

void profiler_begin_format(const profiler_id_t& id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  profiler_vbegin_format(id, format, args);
  va_end(args);
}

void profiler_scope_t::begin_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  profiler_vbegin_format(id_, format, args);
  va_end(args);
}

void profiler_end() {
  run_context_t* context = run_context_current();
  profiler_tracer_t* tracer = context ? static_cast<profiler_tracer_t*>(context->profiler_state) : nullptr;
  if (tracer) record_end(tracer);
}

void profiler_instant(const profiler_id_t& id, const char* name) {
  if (!profiler_is_recording()) return;
  if (profiler_tracer_t* tracer = current_tracer()) record(tracer, TRACE_EVENT_INSTANT, id.index(), (u64)(uintptr_t)name);
}

void profiler_counter(const profiler_id_t& id, s64 value) {
  if (!profiler_is_recording()) return;
  if (profiler_tracer_t* tracer = current_tracer()) record(tracer, TRACE_EVENT_COUNTER, id.index(), (u64)value);
}

profiler_lane_t* profiler_lane_of_current_thread() { return profiler_is_recording() ? current_tracer() : nullptr; }

profiler_lane_t* profiler_lane_create(const char* name, u32 lane_number) {
  if (!profiler_is_recording()) return nullptr;
  run_context_t* context = run_context_current();
  u64 owner = context ? context->thread_id : 0;
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  profiler_tracer_t* tracer = take_tracer_locked(p);
  init_tracer(tracer, LANE_THREAD_ID_BASE | owner << 8 | (lane_number & 0xFF), name, nullptr);
  return tracer;
}

void profiler_lane_destroy(profiler_lane_t* lane) {
  if (lane && !lane->context) release_tracer(lane);
}

void profiler_lane_begin_format(profiler_lane_t* lane, const profiler_id_t& id, const char* format, ...) {
  if (!lane) return;
  va_list args;
  va_start(args, format);
  record_begin_vformat(lane, id.index(), format, args);
  va_end(args);
}

void profiler_lane_end(profiler_lane_t* lane) {
  if (lane) record_end(lane);
}

void profiler_sample_counters() {
  if (!profiler_is_recording()) return;
  u64 now = profiler_clock_us();
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  if (!p.enabled || (p.sampled && now - p.last_sample_us < PROFILER_SAMPLE_PERIOD_US)) return;
  sample_counters_locked(p, now);
}

void publish_tracer(run_context_t* context) {
  profiler_tracer_t* tracer = context ? static_cast<profiler_tracer_t*>(context->profiler_state) : nullptr;
  if (!tracer || !tracer->buffer) return;
  u64 now = profiler_clock_us();
  publish(detach_buffer(tracer, now, true), now);
}

void profiler_release_run_context(run_context_t* context) {
  profiler_tracer_t* tracer = static_cast<profiler_tracer_t*>(context->profiler_state);
  if (!tracer) return;
  context->profiler_state = nullptr;
  release_tracer(tracer);
}

void profiler_startup() {
  clock_epoch();
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  if (p.process_started) return;
  p.process_started = true;
  init_tracer(&p.process, PROCESS_THREAD_ID, "PROCESS", nullptr);
  p.process.kind = TRACER_BUFFER_PROCESS;
  p.process.in_use = true;
  p.process.buffer = tracer_buffer_take(PROCESS_THREAD_ID, "PROCESS", TRACER_BUFFER_PROCESS, profiler_clock_us());
}

void profiler_shutdown() {
  profiler_tracer_shutdown();
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  if (!p.process_started) return;
  p.process_started = false;
  tracer_buffer_release(p.process.buffer);
  p.process.buffer = nullptr;
}

bool profiler_tracer_startup() {
  if (cdl && cdl_param("-trace") != CDL_NOT_FOUND) profiler_tracer_start("full");
  return profiler_tracer_enabled();
}

void profiler_tracer_start(const char* tag, const trace_writer_limits_t& limits) {
  profiler_startup();
  u64 now = profiler_clock_us();
  std::tm local{};
  platform::local_time(now / 1000000ull, &local);
  profiler_t& p = profiler();
  {
    mutex_guard_t guard(p.lock);
    if (p.enabled) return;
    p.writer = new trace_writer_t(tag, limits);
    // The first file is named after the moment tracing started.
    p.writer->start_file(now, local);
    p.enabled = true;
    p.last_file_name.clear();
    for (stat_counter_t* counter = stat_counter_first(); counter; counter = counter->next()) {
      counter->ever_reported = false;
    }
    sample_counters_locked(p, now);
  }
  g_recording.store(true, std::memory_order_relaxed);
}

void profiler_tracer_shutdown() {
  profiler_t& p = profiler();
  {
    mutex_guard_t guard(p.lock);
    if (!p.enabled) return;
  }
  // A writer that runs has transfers in flight that the IO pump still records.
  wait_writer_tasks(p);
  u64 now = profiler_clock_us();
  g_recording.store(false, std::memory_order_relaxed);
  // Every thread is idle by now (the command is over): what their tracers hold is
  // published here, in registration order, then the counters' last values.
  {
    mutex_guard_t guard(p.lock);
    for (profiler_tracer_t* tracer = p.registered; tracer; tracer = tracer->next_registered) {
      if (!tracer->in_use) continue;
      if (tracer_buffer_t* buffer = detach_buffer(tracer, now, false)) {
        buffer->end_us = now;
        publish_locked(p, buffer);
      }
    }
    sample_counters_locked(p, now);
    if (tracer_buffer_t* buffer = p.process.buffer) {
      p.process.buffer = nullptr;
      buffer->end_us = now;
      publish_locked(p, buffer);
    }
    if (p.published_head && !p.writer_scheduled) schedule_writer_locked(p);
  }
  wait_writer_tasks(p);
  mutex_guard_t guard(p.lock);
  release_list(p.published_head);
  p.published_head = p.published_tail = nullptr;
  p.pending_estimate = 0;
  p.enabled = false;
  delete p.writer;
  p.writer = nullptr;
}

bool profiler_tracer_enabled() {
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  return p.enabled;
}

void profiler_trace_file_name(string& out) {
  profiler_t& p = profiler();
  mutex_guard_t guard(p.lock);
  out.assign(p.last_file_name);
}

}  // namespace umbra
