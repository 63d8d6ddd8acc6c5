#include "umbracore/timer/timer_wall.h"

#include <cinttypes>

#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/timer_platform.h"
#include "umbracore/thread/locks.h"
#include "umbracore/timer/cpu.h"

namespace umbra {

namespace {

constexpr u64 PIT_FREQUENCY = 1193182;
constexpr u64 ACPI_PM_FREQUENCY = 3579545;
constexpr u64 LOWEST_HPET_FREQUENCY = 10000000;

const char* const SOURCE_NAMES[] = {"unknown", "PIT 8254", "RTC", "ACPI (PM Clock)", "TSC", "TSC invariant", "HPET"};

u64 absolute_difference(u64 a, u64 b) { return a > b ? a - b : b - a; }

struct wall_timer_t {
  const char* name;
  bool (*init)();
  void (*shutdown)();
  void (*report)();
};

struct timer_state_t {
  mutex_t lock;
  elapsed_counter_t counter;
  u64 frequency = 0;
  u32 source = QPC_SOURCE_UNKNOWN;
  const wall_timer_t* selected = nullptr;
};

timer_state_t& state() {
  static timer_state_t* instance = new timer_state_t();
  return *instance;
}

bool start_counter(u64 frequency) {
  u64 now = 0;
  if (!platform::qpc_counter(&now)) return false;
  timer_state_t& s = state();
  mutex_guard_t guard(s.lock);
  s.frequency = frequency;
  s.counter.start(frequency, now);
  return true;
}

u64 first_processor_speed_hz() {
  const array_t<cpu_t>& cpus = cpu_list();
  if (cpus.empty()) return 0;
  u32 khz = cpus[0].speed;
  if (khz == 0 || khz == CPU_SPEED_UNKNOWN) return 0;
  return (u64)khz * 1000;
}

bool qpc_classified_init() {
  u64 frequency = 0;
  if (!platform::qpc_frequency(&frequency) || frequency == 0) return false;
  qpc_classification_t found;
  u32 named = QPC_SOURCE_UNKNOWN;
  if (platform::qpc_named_source(&named)) {
    found.source = named;
    found.usable = named != QPC_SOURCE_UNKNOWN;
  } else {
    u32 processors = cpu_list().empty() ? 1u : (u32)cpu_list().count();
    found = timer_classify_qpc(frequency, first_processor_speed_hz(), processors);
  }
  state().source = found.usable ? found.source : (u32)QPC_SOURCE_UNKNOWN;
  if (!found.usable) return false;
  return start_counter(frequency);
}

bool qpc_pure_init() {
  u64 frequency = 0;
  if (!platform::qpc_frequency(&frequency) || frequency == 0) frequency = 1;
  return start_counter(frequency);
}

void qpc_shutdown() {}

void qpc_classified_report() {
  timer_state_t& s = state();
  log_info("[sys] using QPC / %s timer, frequency %" PRIu64 "Hz", timer_qpc_source_name(s.source), s.frequency);
}

void qpc_pure_report() { log_info("[sys] using pure QPC, frequency %" PRIu64 "Hz", state().frequency); }

const wall_timer_t TIMERS[] = {
    {"QPC", qpc_classified_init, qpc_shutdown, qpc_classified_report},
    {"pure QPC", qpc_pure_init, qpc_shutdown, qpc_pure_report},
};

}  // namespace

const char* timer_qpc_source_name(u32 source) {
  return source < sizeof(SOURCE_NAMES) / sizeof(SOURCE_NAMES[0]) ? SOURCE_NAMES[source] : "unknown";
}

qpc_classification_t timer_classify_qpc(u64 frequency, u64 cpu_speed_hz, u32 processor_count) {
  qpc_classification_t result;
  if (frequency == 0) return result;
  if (frequency == PIT_FREQUENCY) {
    result.source = QPC_SOURCE_PIT;
    result.usable = true;
    return result;
  }
  if (frequency == ACPI_PM_FREQUENCY) {
    result.source = QPC_SOURCE_ACPI;
    result.usable = true;
    return result;
  }
  if (cpu_speed_hz != 0) {
    if (absolute_difference(frequency, cpu_speed_hz) < cpu_speed_hz / 100) {
      // A raw TSC is not synchronised between processors.
      result.source = QPC_SOURCE_TSC;
      result.usable = processor_count <= 1;
      return result;
    }
    u64 divided = cpu_speed_hz / 1024;
    if (absolute_difference(frequency, divided) < divided / 100) {
      result.source = QPC_SOURCE_TSC_INVARIANT;
      result.usable = true;
      return result;
    }
  }
  if (frequency < LOWEST_HPET_FREQUENCY) return result;
  result.source = QPC_SOURCE_HPET;
  result.usable = true;
  return result;
}

void elapsed_counter_t::start(u64 counter_frequency, u64 now) {
  frequency = counter_frequency == 0 ? 1 : counter_frequency;
  previous = now;
  remainder = 0;
}

u64 elapsed_counter_t::advance(u64 now) {
  if (now < previous) return 0;
  // 128 bits: the product overflows 64 bits after about five hours at 1 GHz.
  unsigned __int128 scaled = (unsigned __int128)(now - previous) * 1000000u + remainder;
  u64 microseconds = (u64)(scaled / frequency);
  remainder = (u64)(scaled % frequency);
  previous = now;
  return microseconds;
}

void timer_initialize(bool report) {
  timer_state_t& s = state();
  const wall_timer_t* selected = nullptr;
  for (const wall_timer_t& timer : TIMERS) {
    if (timer.init()) {
      selected = &timer;
      break;
    }
  }
  UMBRA_ASSERT(selected != nullptr, "%s", "Failed to initialize system timer");
  {
    mutex_guard_t guard(s.lock);
    s.selected = selected;
  }
  if (report) timer_report();
}

namespace {

const wall_timer_t* selected_timer() {
  timer_state_t& s = state();
  mutex_guard_t guard(s.lock);
  return s.selected;
}

}  // namespace

void timer_shutdown() {
  const wall_timer_t* selected = selected_timer();
  if (selected) selected->shutdown();
  timer_state_t& s = state();
  mutex_guard_t guard(s.lock);
  s.selected = nullptr;
}

void timer_report() {
  const wall_timer_t* selected = selected_timer();
  if (selected) selected->report();
}

u64 timer_elapsed_us() {
  timer_state_t& s = state();
  mutex_guard_t guard(s.lock);
  if (!s.selected) return 0;
  // Read under the lock: a reading older than the stored one would count as backwards.
  u64 now = 0;
  platform::qpc_counter(&now);
  return s.counter.advance(now);
}

const char* timer_selected_name() {
  const wall_timer_t* selected = selected_timer();
  return selected ? selected->name : "";
}

u32 timer_selected_source() { return state().source; }

void timer_startup() { timer_initialize(true); }

}  // namespace umbra
