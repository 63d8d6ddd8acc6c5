#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <string>

#include "support/log_capture.h"
#include "support/platform_facts.h"
#include "umbracore/thread/thread.h"

namespace umbra {
namespace {

struct observed_t {
  std::string name;
  int urgency = 0;
  size_t stack_size = 0;
};

void observe(void* argument) {
  observed_t* observed = static_cast<observed_t*>(argument);
  observed->name = umbra_test::system_thread_name();
  observed->urgency = umbra_test::system_thread_urgency();
  observed->stack_size = umbra_test::system_thread_stack_size();
}

TEST(thread_start, name_stack_and_lowered_priority_are_in_place_before_the_routine_runs) {
  umbra_test::log_capture_t capture;
  thread::thread_t record;
  record.name.assign("Worker_12");
  record.priority = -1;
  observed_t observed;
  int parent_urgency = umbra_test::system_thread_urgency();
  record.start(observe, &observed);
  EXPECT_TRUE(record.started);
  record.join();
  EXPECT_FALSE(record.started);
  EXPECT_EQ(observed.name, "Worker_12");
#ifdef _WIN32
  EXPECT_EQ(observed.urgency, parent_urgency - 1);  // THREAD_PRIORITY_BELOW_NORMAL beside NORMAL
#else
  const int parent_nice = -parent_urgency;
  EXPECT_EQ(-observed.urgency, parent_nice < 14 ? parent_nice + 5 : 19);  // below normal, as low as it goes
#endif
  EXPECT_EQ(observed.stack_size, 1048576u);
  EXPECT_TRUE(capture.messages().empty());
}

#ifndef _WIN32
// Runs a thread of the given record priority in a child process whose nice value is
// process_nice and returns the nice value the thread ran with, or NICE_UNAVAILABLE when the
// child could not take that nice value (lowering it needs privilege).
constexpr int NICE_UNAVAILABLE = -100;
constexpr int CHILD_REFUSED = 100;

int nice_of_thread_in_process_at(int process_nice, s32 priority) {
  pid_t child = fork();
  if (child == 0) {
    if (setpriority(PRIO_PROCESS, 0, process_nice) != 0) _exit(CHILD_REFUSED);
    thread::thread_t record;
    record.priority = priority;
    observed_t observed;
    record.start(observe, &observed);
    record.join();
    _exit(-observed.urgency + 20);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return NICE_UNAVAILABLE - 1;
  return WEXITSTATUS(status) == CHILD_REFUSED ? NICE_UNAVAILABLE : WEXITSTATUS(status) - 20;
}

// Whether this process may lower a nice value, that is raise a priority.
bool may_raise_priority() {
  pid_t child = fork();
  if (child == 0) {
    int own = getpriority(PRIO_PROCESS, 0);
    _exit(own > -20 && setpriority(PRIO_PROCESS, 0, own - 1) == 0 ? 0 : 1);
  }
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A process started under `nice` keeps its below-normal threads below itself, and raises its
// highest threads above itself only where it may raise them at all.
#endif

TEST(thread_start, priorities_are_relative_to_the_nice_value_of_the_process) {
#ifdef _WIN32
  GTEST_SKIP() << "nice values are POSIX: a Windows thread priority is a step beside its process's class";
#else
  bool may_raise = may_raise_priority();
  struct case_t {
    int process_nice;
    s32 priority;
    int expected;
  } cases[] = {
      {10, -1, 15},
      {17, -1, 19},  // as low as it goes
      {19, -1, 19},
      {10, 1, may_raise ? 5 : 10},
      {-18, 1, may_raise ? -20 : -18},
      {10, 0, 10},
  };
  int tried = 0;
  for (const case_t& c : cases) {
    int observed = nice_of_thread_in_process_at(c.process_nice, c.priority);
    if (observed == NICE_UNAVAILABLE) continue;  // this process runs nicer than that already
    ++tried;
    EXPECT_EQ(observed, c.expected) << "process nice " << c.process_nice << ", priority " << c.priority;
  }
  EXPECT_GT(tried, 0);
#endif
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
  bool anywhere = false;
  record.start([](void* argument) { *static_cast<bool*>(argument) = umbra_test::system_thread_runs_anywhere(); },
               &anywhere);
  record.join();
  EXPECT_TRUE(anywhere);
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
