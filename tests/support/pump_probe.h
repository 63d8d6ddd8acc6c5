// Test support: watches the pump of a platform_fs_t through its observer seam. It keeps
// the counts of the last pass, waits for counts, and can hold finished transfers back:
// the pump then counts them in flight and their requests stay unfinished until the
// hold ends (or the pump stops, which ends it).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

#include "umbracore/platform/platform_fs.h"

namespace umbra_test {

class pump_probe_t : public umbra::platform_pump_observer_t {
 public:
  using stats_t = umbra::platform_pump_stats_t;

  // Observes fs from its next init on; the probe must outlive fs's pump.
  void attach(umbra::platform_fs_t& fs) { fs.set_pump_observer(this); }

  void hold_completions(bool hold);
  stats_t stats();
  // Waits until a pass ends with these counts; false after timeout_ms.
  bool wait_for(umbra::u32 in_flight, umbra::u32 queued, umbra::u32 timeout_ms);
  bool wait_until(const std::function<bool(const stats_t&)>& reached, umbra::u32 timeout_ms);

  umbra::platform_io_engine_t* wrap_engine(umbra::platform_io_engine_t* engine) override;
  void pass_ended(const stats_t& stats) override;

 private:
  class holding_engine_t;

  std::mutex lock_;
  std::condition_variable changed_;
  stats_t stats_;
  holding_engine_t* engine_ = nullptr;  // owned by the pump
};

}  // namespace umbra_test
