#include "umbracore/profiling/trace_writer.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/platform/timer_platform.h"
#include "umbracore/profiling/profiler_id.h"
#include "umbracore/profiling/stat_counter.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra {

namespace {

constexpr char CLOSING_TEXT[] = "{}\n]";
constexpr u64 CLOSING_SIZE = 4;
constexpr char OPENING_TEXT[] = "[\n";
// Names tried for one file before the batch is given up.
constexpr u32 MAX_NAME_COUNTER = 100;

// One line of text: a scope name escaped for JSON can grow to six times its bytes.
using line_t = string_local_t<2048>;

struct open_scope_t {
  u64 begin_us;
  u32 category;
  const char* name;
};

// The name a counter record carries: its category, or the statistics counter it samples.
const char* counter_name(u32 category) {
  if (category < TRACE_STAT_COUNTER_BASE) return profiler_id_name(category);
  stat_counter_t* counter = stat_counter_at(category - TRACE_STAT_COUNTER_BASE);
  return counter ? counter->name() : "";
}

bool contains(const array_dyn_t<u64>& ids, u64 id) {
  for (u64 value : ids) {
    if (value == id) return true;
  }
  return false;
}

// Writes one buffer's lines; the thread's name goes first unless the file has it.
class buffer_lines_t {
 public:
  buffer_lines_t(const tracer_buffer_t& buffer, file_t* text, array_dyn_t<u64>& named)
      : buffer_(buffer), text_(text), named_(named) {}

  bool write() {
    for (const tracer_page_t* page = buffer_.first_page; page; page = page->next) {
      for (u32 i = 0; i < page->count; ++i) {
        if (!record(page->records[i])) return false;
      }
    }
    return true;
  }

 private:
  bool record(const trace_event_t& event) {
    u64 time = buffer_.base_us + trace_event_time(event.event);
    u32 category = trace_event_category(event.event);
    switch (trace_event_kind(event.event)) {
      case TRACE_EVENT_BEGIN:
        return open_.append({time, category, reinterpret_cast<const char*>(event.payload)}) != nullptr;
      case TRACE_EVENT_END:
        return close(time);
      case TRACE_EVENT_INSTANT:
        return instant(time, category, reinterpret_cast<const char*>(event.payload));
      case TRACE_EVENT_COUNTER:
        return counter(time, category, (s64)event.payload);
      default:
        return true;  // not an event kind: nothing to write
    }
  }

  // A scope of zero length is not written (nor one whose end lies before its begin).
  bool close(u64 end_us) {
    if (open_.empty()) return true;  // its begin went into an earlier buffer
    open_scope_t scope = open_.last();
    open_.remove(open_.count() - 1);
    if (end_us <= scope.begin_us) return true;
    line_t& line = start_line();
    escape(line, scope.name);
    line.append("\", \"cat\":\"");
    escape(line, profiler_id_name(scope.category));
    line.append_format("\", \"dur\":%" PRIu64 ", \"ts\":%" PRIu64 ", \"tid\":%" PRIu64 ", \"pid\":0},\n",
                       end_us - scope.begin_us, scope.begin_us, buffer_.thread_id);
    return emit("{ \"ph\":\"X\", \"name\":\"");
  }

  bool instant(u64 time, u32 category, const char* name) {
    line_t& line = start_line();
    escape(line, name);
    line.append_format("\", \"s\":\"%s\", \"ts\":%" PRIu64 ", \"tid\":%" PRIu64 ", \"pid\":0},\n",
                       category == PROFILER_ID_INDEX_PROCESS ? "p" : "t", time, buffer_.thread_id);
    return emit("{ \"ph\":\"i\", \"name\":\"");
  }

  bool counter(u64 time, u32 category, s64 value) {
    line_t& line = start_line();
    escape(line, counter_name(category));
    line.append_format("\", \"args\":{\"%s\":%" PRId64 "}, \"ts\":%" PRIu64 ", \"tid\":%" PRIu64 ", \"pid\":0},\n", "",
                       value, time, buffer_.thread_id);
    return emit("{ \"ph\":\"C\", \"name\":\"");
  }

  line_t& start_line() {
    body_.clear();
    return body_;
  }

  static void escape(line_t& line, const char* text) { trace_json_escape(line, text ? text : ""); }

  // The line is its head and the body built so far; the thread's name line comes first.
  bool emit(const char* head) {
    if (!contains(named_, buffer_.thread_id)) {
      line_t name_line;
      name_line.format("{ \"ph\":\"M\", \"name\":\"thread_name\", \"tid\":%" PRIu64 ", \"pid\":0, \"args\":{\"name\":\"",
                       buffer_.thread_id);
      trace_json_escape(name_line, buffer_.thread_name.c_str());
      name_line.append("\"}},\n");
      if (!text_->write(name_line.c_str(), name_line.length()) || !named_.append(buffer_.thread_id)) return false;
    }
    return text_->write(head, std::strlen(head)) && text_->write(body_.c_str(), body_.length());
  }

  const tracer_buffer_t& buffer_;
  file_t* text_;
  array_dyn_t<u64>& named_;
  array_dyn_t<open_scope_t> open_;
  line_t body_;
};

}  // namespace

bool trace_file_name(string& out, const std::tm& local_time, const char* tag, u32 counter) {
  char time_text[20];
  if (std::strftime(time_text, sizeof time_text, "%Y%m%d_%H%M%S", &local_time) == 0) return false;
  string_local_t<16> suffix;
  if (counter != 0) suffix.format("_%u", counter);
  return out.format("trace_%s_%s%s.json", time_text, tag, suffix.c_str());
}

void trace_sanitize_tag(string& out, const char* tag) {
  out.clear();
  for (const char* c = tag; *c; ++c) {
    bool kept = (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '.' || *c == '_';
    if (!out.append_char(kept ? *c : '-')) return;
  }
}

void trace_json_escape(string& out, const char* text) {
  const char* end = text + std::strlen(text);
  while (text < end) {
    unsigned char c = (unsigned char)*text;
    if (c == '"' || c == '\\') {
      out.append_char('\\');
      out.append_char((char)c);
      ++text;
    } else if (c < 0x20) {
      out.append_format("\\u%04x", (unsigned)c);
      ++text;
    } else if (c < 0x80) {
      out.append_char((char)c);
      ++text;
    } else {
      u32 code_point = 0;
      int length = decode_utf8_bounded(text, end, &code_point);
      if (length <= 0) {
        out.append("\\ufffd");
        ++text;
      } else {
        out.append(text, (u64)length);
        text += length;
      }
    }
  }
}

// ---------------------------------------------------------------------------------

struct trace_writer_t::target_t {
  auto_ptr_t<file_t> file;
  fs_device_t* device = nullptr;
  path_string_t path;  // on that device
  bool created = false;
  u64 original_size = 0;
};

trace_writer_t::trace_writer_t(const char* tag, const trace_writer_limits_t& limits) : limits_(limits) {
  trace_sanitize_tag(tag_, tag ? tag : "");
}

trace_writer_t::~trace_writer_t() = default;

void trace_writer_t::start_file(u64 now_us, const std::tm& local_time) {
  if (has_file_) finish_file();
  has_file_ = true;
  file_time_ = local_time;
  file_name_.clear();
  file_records_ = 0;
  file_deadline_us_ = now_us + limits_.file_duration_us;
  named_threads_.clear();
}

void trace_writer_t::finish_file() {
  if (!has_file_) return;
  has_file_ = false;
  if (!file_name_.empty() && !was_finished(file_name_.c_str())) finished_.append(file_name_);
}

bool trace_writer_t::was_finished(const char* name) const {
  for (const path_string_t& finished : finished_) {
    if (finished.equals(name)) return true;
  }
  return false;
}

u64 trace_writer_t::records_room() const {
  if (!has_file_ || file_records_ >= limits_.file_records) return limits_.file_records;
  return limits_.file_records - file_records_;
}

bool trace_writer_t::write_batch(const tracer_buffer_t* batch, u64 now_us) {
  u64 records = 0;
  s64 latest = -1;
  for (const tracer_buffer_t* buffer = batch; buffer; buffer = buffer->next) {
    records += buffer->record_count;
    if (buffer->latest_us > latest) latest = buffer->latest_us;
  }
  if (has_file_ && file_records_ > 0 && file_records_ + records > limits_.file_records) finish_file();
  if (!has_file_) {
    std::tm local{};
    platform::local_time(platform::wall_clock_us() / 1000000ull, &local);
    start_file(now_us, local);
  }

  auto_ptr_t<file_t> text = mem_file_create();
  array_dyn_t<u64> named;
  if (!named.append_block(named_threads_.data(), named_threads_.count())) return false;
  if (!convert(batch, text.get(), named)) return false;

  target_t target;
  if (!pick_target(target)) return false;
  if (!append(target, text.get())) return false;
  named_threads_ = std::move(named);
  file_records_ += records;
  if (file_records_ >= limits_.file_records || (latest >= 0 && (u64)latest > file_deadline_us_)) finish_file();
  return true;
}

bool trace_writer_t::convert(const tracer_buffer_t* batch, file_t* text, array_dyn_t<u64>& named) {
  for (const tracer_buffer_t* buffer = batch; buffer; buffer = buffer->next) {
    buffer_lines_t lines(*buffer, text, named);
    if (!lines.write()) return false;
  }
  text->set_position(0);
  return true;
}

bool trace_writer_t::pick_target(target_t& target) {
  path_string_t name;
  for (u32 counter = 0; counter < MAX_NAME_COUNTER; ++counter) {
    if (!trace_file_name(name, file_time_, tag_.c_str(), counter)) break;
    if (was_finished(name.c_str())) continue;
    file_name_ = name;
    open_result_t result = open_candidate(name.c_str(), target);
    if (result == OPEN_DONE) return true;
    if (result == OPEN_FAILED) break;
  }
  if (!reported_open_failure_.equals(file_name_.c_str())) {
    log_error("[profiler] Unable to open trace file '%s', forgetting traced data.", file_name_.c_str());
    reported_open_failure_ = file_name_;
  }
  return false;
}

// "/home/<name>" on the unified device first, then the name itself on the system
// device. A file of the name that does not end the way ours do is somebody else's:
// it is closed untouched and the caller tries the next name.
trace_writer_t::open_result_t trace_writer_t::open_candidate(const char* name, target_t& target) {
  struct place_t {
    u32 device_type;
    const char* prefix;
  };
  static const place_t places[] = {{FS_DEVICE_UFS, "/home/"}, {FS_DEVICE_SYSFS, ""}};
  for (const place_t& place : places) {
    fs_device_t* device = fs_get_device(place.device_type);
    path_string_t path;
    if (!device || !path.format("%s%s", place.prefix, name)) continue;
    fs_stat_t existing;
    bool existed = device->stat(path.c_str(), &existing);
    // Opened on the device itself: the first place is expected to fail in most setups,
    // and a failure here is no error of the tool.
    auto_ptr_t<file_t> file(device->open(path.c_str(), FS_MODE_CREATE_OR_READ_WRITE));
    if (!file) continue;
    file->set_device_type(place.device_type);
    u64 size = 0;
    fs_stat_t info;
    if (file->stat(&info)) size = info.size;
    if (existed || size > 0) {
      char tail[CLOSING_SIZE];
      if (size < CLOSING_SIZE || !file->read_at(tail, CLOSING_SIZE, size - CLOSING_SIZE) ||
          std::memcmp(tail, CLOSING_TEXT, CLOSING_SIZE) != 0) {
        return OPEN_FOREIGN;
      }
    }
    target.file = std::move(file);
    target.device = device;
    target.path = path;
    target.created = !existed;
    target.original_size = size;
    return OPEN_DONE;
  }
  return OPEN_FAILED;
}

// Writes over the closing "{}\n]" (or after a new "[\n"), then closes again. A write
// that fails takes the file back to what it was, so that it stays valid JSON.
bool trace_writer_t::append(target_t& target, file_t* text) {
  file_t* file = target.file.get();
  bool ok = true;
  if (target.original_size == 0) {
    file->set_position(0);
    ok = file->write(OPENING_TEXT, sizeof OPENING_TEXT - 1);
  } else {
    file->set_position(target.original_size - CLOSING_SIZE);
  }
  ok = ok && fs_copy(file, text) && file->write(CLOSING_TEXT, CLOSING_SIZE);
  if (ok) return true;

  if (target.created) {
    target.file.reset();
    target.device->remove(target.path.c_str());
  } else {
    file->set_size(target.original_size);
    file->write_at(CLOSING_TEXT, CLOSING_SIZE, target.original_size - CLOSING_SIZE);
    target.file.reset();
  }
  if (!reported_write_failure_.equals(file_name_.c_str())) {
    log_error("[profiler] Unable to write trace file '%s', forgetting traced data.", file_name_.c_str());
    reported_write_failure_ = file_name_;
  }
  return false;
}

}  // namespace umbra
