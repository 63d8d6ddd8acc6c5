#include "tools/packer/progress.h"

#include <cinttypes>

#include "umbracore/cdl/cdl.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/console_platform.h"
#include "umbracore/platform/timer_platform.h"

namespace umbra {

namespace {

// A few times a second: often enough to look alive, rarely enough to cost nothing.
constexpr u32 REFRESH_MS = 250;
// Before this much time the rate says little, and the time left nothing.
constexpr u64 ESTIMATE_AFTER_US = 1000000;

void format_duration(string& out, u64 seconds) {
  if (seconds >= 3600) {
    out.append_format("%" PRIu64 ":%02u:%02u", seconds / 3600, (unsigned)(seconds / 60 % 60), (unsigned)(seconds % 60));
  } else {
    out.append_format("%u:%02u", (unsigned)(seconds / 60), (unsigned)(seconds % 60));
  }
}

}  // namespace

bool progress_wanted() {
  return platform::console_is_terminal(platform::CONSOLE_STDERR) && cdl_param("-quiet") == CDL_NOT_FOUND;
}

u64 progress_clock_us() {
  u64 frequency = 0, counter = 0;
  if (!platform::qpc_frequency(&frequency) || !platform::qpc_counter(&counter) || frequency == 0) return 0;
  return (u64)((unsigned __int128)counter * 1000000u / frequency);
}

void format_byte_size(string& out, u64 bytes) {
  static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) {
    out.format("%" PRIu64 " B", bytes);
    return;
  }
  double value = (double)bytes / 1024.0;
  u32 unit = 0;
  while (value >= 1024.0 && unit + 1 < sizeof(units) / sizeof(units[0])) {
    value /= 1024.0;
    ++unit;
  }
  out.format("%.1f %s", value, units[unit]);
}

progress_t::~progress_t() { stop(); }

void progress_t::start(const char* verb, u64 total_files, u64 total_bytes) {
  verb_ = verb;
  total_files_ = total_files;
  total_bytes_ = total_bytes;
  started_us_ = progress_clock_us();
  if (running_ || !progress_wanted()) return;
  stopping_ = false;
  running_ = true;
  refresher_.name.assign("Progress");
  refresher_.stack_size = 65536;
  refresher_.start(&progress_t::refresh_main, this);
}

void progress_t::stop() {
  if (!running_) return;
  {
    mutex_guard_t guard(lock_);
    stopping_ = true;
    wake_.notify_all();
  }
  refresher_.join();
  running_ = false;
  console_status_clear();
}

void progress_t::refresh_main(void* self) { static_cast<progress_t*>(self)->refresh_loop(); }

void progress_t::refresh_loop() {
  mutex_guard_t guard(lock_);
  while (!stopping_) {
    // Spurious wake-ups only redraw early; stop() always ends the wait.
    wake_.wait_for(lock_, REFRESH_MS);
    if (!stopping_) draw();
  }
}

void progress_t::draw() {
  mstring_t line;
  format(line, files_.load(std::memory_order_relaxed), bytes_.load(std::memory_order_relaxed),
         progress_clock_us() - started_us_);
  // A line longer than the terminal would wrap, and the carriage return could no longer
  // take it back.
  u32 columns = platform::console_columns(platform::CONSOLE_STDERR);
  if (columns > 1 && line.length() >= columns) line.truncate(columns - 1);
  console_status_show(line.c_str());
}

void progress_t::format(string& out, u64 files, u64 bytes, u64 elapsed_us) const {
  mstring_t done, total;
  format_byte_size(done, bytes);
  out.format("%s %" PRIu64, verb_, files);
  if (total_files_ != 0) out.append_format("/%" PRIu64, total_files_);
  out.append_format(" files, %s", done.c_str());
  if (total_bytes_ != 0) {
    format_byte_size(total, total_bytes_);
    out.append_format("/%s", total.c_str());
  }
  if (elapsed_us < ESTIMATE_AFTER_US || bytes == 0) return;
  const double rate = (double)bytes * 1e6 / (double)elapsed_us;
  mstring_t speed;
  format_byte_size(speed, (u64)rate);
  out.append_format(", %s/s", speed.c_str());
  if (total_bytes_ > bytes) {
    out.append(", ");
    format_duration(out, (u64)((double)(total_bytes_ - bytes) / rate) + 1);
    out.append(" left");
  }
}

}  // namespace umbra
