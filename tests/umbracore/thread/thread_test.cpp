#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "support/log_capture.h"
#include "umbracore/thread/thread.h"

namespace umbra {
namespace {

struct observed_t {
  std::string name;
  int nice_value = 0;
  size_t stack_size = 0;
};

void observe(void* argument) {
  observed_t* observed = static_cast<observed_t*>(argument);
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  observed->name = name;
  observed->nice_value = getpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid));
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &observed->stack_size);
    pthread_attr_destroy(&attributes);
  }
}

TEST(thread_start, name_stack_and_lowered_priority_are_in_place_before_the_routine_runs) {
  umbra_test::log_capture_t capture;
  thread::thread_t record;
  record.name.assign("Worker_12");
  record.priority = -1;
  observed_t observed;
  int parent_nice = getpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid));
  record.start(observe, &observed);
  EXPECT_TRUE(record.started);
  record.join();
  EXPECT_FALSE(record.started);
  EXPECT_EQ(observed.name, "Worker_12");
  EXPECT_GT(observed.nice_value, parent_nice);  // below normal
  EXPECT_EQ(observed.stack_size, 1048576u);
  EXPECT_TRUE(capture.messages().empty());
}

TEST(thread_start, default_record_uses_the_default_name) {
  thread::thread_t record;
  observed_t observed;
  record.start(observe, &observed);
  record.join();
  EXPECT_EQ(observed.name, "UmbraThread");
}

TEST(thread_start, a_processor_the_process_cannot_use_only_warns) {
  umbra_test::log_capture_t capture;
  thread::thread_t record;
  record.processor = 100000;
  observed_t observed;
  record.start(observe, &observed);
  record.join();
  EXPECT_EQ(observed.name, "UmbraThread");  // it ran all the same
  ASSERT_EQ(capture.messages().size(), 1u);
  EXPECT_EQ(capture.messages()[0].level, (unsigned)LOG_LEVEL_WARNING);
  EXPECT_EQ(capture.messages()[0].text, "[thread] Failed to alter thread CPU affinity.");
}

TEST(thread_start, a_processor_hint_never_pins) {
  thread::thread_t record;
  record.processor = 0;
  struct affinity_t {
    cpu_set_t set;
  } inside;
  record.start(
      [](void* argument) {
        auto* out = static_cast<affinity_t*>(argument);
        sched_getaffinity(0, sizeof(out->set), &out->set);
      },
      &inside);
  record.join();
  cpu_set_t mine;
  sched_getaffinity(0, sizeof(mine), &mine);
  EXPECT_TRUE(CPU_EQUAL(&inside.set, &mine));
}

TEST(thread_start_death, a_thread_that_cannot_be_created_stops_the_process) {
  EXPECT_DEATH(
      {
        thread::thread_t record;
        record.stack_size = 1ull << 62;
        record.start([](void*) {}, nullptr);
      },
      "\\[thread\\] Failed to create thread\\.");
}

}  // namespace
}  // namespace umbra
