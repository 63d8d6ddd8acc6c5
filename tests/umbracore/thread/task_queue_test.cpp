#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pool_fixture.h"
#include "umbracore/thread/task_queue.h"

namespace umbra {
namespace {

using thread::task_queue_t;
using thread::task_t;

class order_t {
 public:
  void add(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    names_.push_back(name);
  }
  std::vector<std::string> names() {
    std::lock_guard<std::mutex> guard(lock_);
    return names_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> names_;
};

class named_task_t : public task_t {
 public:
  named_task_t(order_t& order, const char* label, u8 priority = 1) : task_t(priority, 1, label), order_(order) {}
  void execute() override {
    // Two tasks of one queue overlapping would show here.
    EXPECT_EQ(active.fetch_add(1), 0);
    order_.add(get_name());
    if (gate) gate->wait();
    active.fetch_sub(1);
  }
  static std::atomic<int> active;
  umbra_test::gate_t* gate = nullptr;

 private:
  order_t& order_;
};

std::atomic<int> named_task_t::active{0};

class task_queue_test : public umbra_test::pool_fixture_t {};

TEST_F(task_queue_test, runs_in_submission_order_one_at_a_time) {
  start_pool(2);
  task_queue_t queue;
  order_t order;
  umbra_test::gate_t gate;
  std::vector<std::unique_ptr<named_task_t>> tasks;
  const char* labels[] = {"a", "b", "c", "d", "e"};
  for (const char* label : labels) tasks.push_back(std::make_unique<named_task_t>(order, label));
  tasks[0]->gate = &gate;  // holds the queue until everything is submitted
  for (auto& task : tasks) queue.submit_normal(task.get());
  EXPECT_EQ(queue.pending_count(), 4u);
  EXPECT_TRUE(queue.is_submitted(tasks[4].get()));
  gate.open();
  for (auto& task : tasks) queue.wait(task.get());
  EXPECT_EQ(order.names(), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(queue.pending_count(), 0u);
  for (auto& task : tasks) EXPECT_EQ(task->get_state(), (u32)thread::TASK_COLLECTED);
}

TEST_F(task_queue_test, waited_task_starts_next_even_without_workers) {
  start_pool(0);  // nothing runs unless someone waits
  task_queue_t queue;
  order_t order;
  named_task_t a(order, "a");
  named_task_t b(order, "b");
  named_task_t c(order, "c", 0);  // IO priority: no IO workers either
  named_task_t d(order, "d", 3);
  queue.submit_normal(&a);
  queue.submit_io(&b);
  queue.submit_io(&c);
  queue.submit_realtime(&d);
  queue.submit_normal(&d);  // already submitted: ignored
  queue.wait(&d);
  // The waiter ran the task ahead of it, then its own, which went to the front.
  EXPECT_EQ(order.names(), (std::vector<std::string>{"a", "d"}));
  queue.wait(&c);
  EXPECT_EQ(order.names(), (std::vector<std::string>{"a", "d", "b", "c"}));
  queue.wait(&a);
  queue.wait(&b);
  EXPECT_EQ(queue.pending_count(), 0u);
}

TEST_F(task_queue_test, many_tasks_each_run_exactly_once) {
  start_pool(2);
  task_queue_t queue;
  order_t order;
  std::vector<std::unique_ptr<named_task_t>> tasks;
  std::vector<std::string> labels;
  for (int i = 0; i < 300; ++i) labels.push_back("t" + std::to_string(i));
  for (const std::string& label : labels) {
    tasks.push_back(std::make_unique<named_task_t>(order, label.c_str(), (u8)(tasks.size() % 4)));
    queue.submit_normal(tasks.back().get());
  }
  // Waiting out of order moves tasks forward; every task still runs once.
  for (size_t i = tasks.size(); i-- > 0;) queue.wait(tasks[i].get());
  std::vector<std::string> ran = order.names();
  std::sort(ran.begin(), ran.end());
  std::vector<std::string> expected = labels;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ran, expected);
}

class recording_owner_t : public thread::task_owner_t {
 public:
  void on_task_completed(task_t* task) override { completed.fetch_add(1); }
  std::atomic<int> completed{0};
};

TEST_F(task_queue_test, the_task_owner_is_still_notified_and_restored) {
  start_pool(1);
  task_queue_t queue;
  order_t order;
  recording_owner_t owner;
  named_task_t a(order, "a");
  named_task_t b(order, "b");
  a.owner = &owner;
  queue.submit_normal(&a);
  queue.submit_normal(&b);
  queue.wait(&a);
  queue.wait(&b);
  EXPECT_EQ(owner.completed.load(), 1);
  EXPECT_EQ(a.owner, &owner);
  EXPECT_EQ(b.owner, nullptr);
}

TEST(task_queue_death, wide_tasks_are_refused) {
  EXPECT_DEATH(
      {
        struct wide_t : task_t {
          wide_t() : task_t(1, 2, "wide_t") {}
          void execute() override {}
        } wide;
        task_queue_t queue;
        queue.submit_normal(&wide);
      },
      "width 1 only");
}

}  // namespace
}  // namespace umbra
