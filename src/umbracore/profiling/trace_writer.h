// Trace files: published tracer buffers become lines of the JSON trace event format
// that trace viewers (Chrome's tracing page, Perfetto) read, appended to the current
// trace file so that it is a valid JSON array after every batch: "[", the events each
// followed by ",", an empty object "{}" and "]".
#pragma once

#include <ctime>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/profiling/tracer_buffer.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

class file_t;

struct trace_writer_limits_t {
  u64 batch_bytes = 524288;               // estimated buffer memory per write
  u64 file_records = 1398100;             // records per file
  u64 file_duration_us = 86400000000ull;  // a file covers at most 24 hours
  // Published data the writer has not taken yet beyond this much is dropped (128 MiB).
  u64 pending_bytes = 134217728;
};

// "trace_%s_%s%s.json": the local time as "%Y%m%d_%H%M%S", the tag, and "" or, when
// that name is taken, "_1", "_2", ...
bool trace_file_name(string& out, const std::tm& local_time, const char* tag, u32 counter);
// The tag as it goes into file names: every character that is not a lower-case letter,
// a digit, '.' or '_' becomes '-'.
void trace_sanitize_tag(string& out, const char* tag);
// Appends text as the inside of a JSON string: quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 replaced by U+FFFD.
void trace_json_escape(string& out, const char* text);

class trace_writer_t {
 public:
  explicit trace_writer_t(const char* tag, const trace_writer_limits_t& limits = trace_writer_limits_t());
  ~trace_writer_t();
  trace_writer_t(const trace_writer_t&) = delete;
  trace_writer_t& operator=(const trace_writer_t&) = delete;

  const trace_writer_limits_t& limits() const { return limits_; }
  // Starts a new file at now_us (profiler clock) named after local_time; the next batch
  // goes there.
  void start_file(u64 now_us, const std::tm& local_time);
  bool has_file() const { return has_file_; }
  // Records the current file takes before a batch goes to a new file.
  u64 records_room() const;
  // Writes the buffers of batch (linked through next) into the current file, starting
  // one first when there is none or the batch would make it too long. False when the
  // batch was dropped (no file could take it); the tool's work goes on either way.
  bool write_batch(const tracer_buffer_t* batch, u64 now_us);

  // The name of the file written last (or about to be), "" before the first.
  const char* file_name() const { return file_name_.c_str(); }
  u64 file_records() const { return file_records_; }

 private:
  struct target_t;
  enum open_result_t : u32 { OPEN_DONE, OPEN_FOREIGN, OPEN_FAILED };

  void finish_file();
  // Turns the batch into lines; threads named in this file are added to named.
  bool convert(const tracer_buffer_t* batch, file_t* text, array_dyn_t<u64>& named);
  bool pick_target(target_t& target);
  open_result_t open_candidate(const char* name, target_t& target);
  bool append(target_t& target, file_t* text);
  bool was_finished(const char* name) const;

  trace_writer_limits_t limits_;
  path_string_t tag_;
  bool has_file_ = false;
  std::tm file_time_{};
  path_string_t file_name_;
  u64 file_records_ = 0;
  u64 file_deadline_us_ = 0;
  array_dyn_t<u64> named_threads_;
  // Files this writer has closed out: a later file of the same second never goes back
  // into one of them.
  array_dyn_t<path_string_t> finished_;
  // The names whose failure was reported already (one line per file, not per batch).
  path_string_t reported_open_failure_;
  path_string_t reported_write_failure_;
};

}  // namespace umbra
