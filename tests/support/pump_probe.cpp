#include "support/pump_probe.h"

#include <chrono>
#include <memory>
#include <vector>

#include "umbracore/platform/platform_fs_engine.h"

namespace umbra_test {

using umbra::platform_io_engine_t;
using umbra::platform_io_request_t;

// The pump's back end with a gate on what it reports finished.
class pump_probe_t::holding_engine_t final : public platform_io_engine_t {
 public:
  explicit holding_engine_t(platform_io_engine_t* inner) : inner_(inner) {}

  const char* name() const override { return inner_->name(); }
  void start(platform_io_request_t* request) override { inner_->start(request); }
  bool wake() override { return inner_->wake(); }
  bool attach(umbra::platform_file_handle_t handle) override { return inner_->attach(handle); }
  umbra::u64 continued_pieces() const override { return inner_->continued_pieces(); }

  void reap(umbra::array_t<platform_io_request_t*>& done, bool block) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!holding_ && !held_.empty()) {
        for (platform_io_request_t* request : held_) done.append(request);
        held_.clear();
        return;
      }
    }
    const umbra::u64 before = done.count();
    inner_->reap(done, block);
    std::lock_guard<std::mutex> guard(lock_);
    if (!holding_) return;
    for (umbra::u64 i = before; i < done.count(); ++i) held_.push_back(done[i]);
    done.resize(before);
  }

  // From any thread; a blocked reap returns so that the pump sees the change.
  void set_holding(bool holding) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      holding_ = holding;
    }
    inner_->wake();
  }

 private:
  std::unique_ptr<platform_io_engine_t> inner_;
  std::mutex lock_;
  bool holding_ = false;
  std::vector<platform_io_request_t*> held_;
};

platform_io_engine_t* pump_probe_t::wrap_engine(platform_io_engine_t* engine) {
  engine_ = new holding_engine_t(engine);
  return engine_;
}

void pump_probe_t::pass_ended(const stats_t& stats) {
  // Held transfers would keep a stopping pump waiting for ever.
  if (stats.stopping && engine_) engine_->set_holding(false);
  std::lock_guard<std::mutex> guard(lock_);
  stats_ = stats;
  changed_.notify_all();
}

void pump_probe_t::hold_completions(bool hold) {
  if (engine_) engine_->set_holding(hold);
}

pump_probe_t::stats_t pump_probe_t::stats() {
  std::lock_guard<std::mutex> guard(lock_);
  return stats_;
}

bool pump_probe_t::wait_for(umbra::u32 in_flight, umbra::u32 queued, umbra::u32 timeout_ms) {
  return wait_until([&](const stats_t& s) { return s.in_flight == in_flight && s.queued == queued; }, timeout_ms);
}

bool pump_probe_t::wait_until(const std::function<bool(const stats_t&)>& reached, umbra::u32 timeout_ms) {
  std::unique_lock<std::mutex> guard(lock_);
  return changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return reached(stats_); });
}

}  // namespace umbra_test
