// Test support: a trace file as a trace viewer reads it (through trace_check.py).
#pragma once

#include <set>
#include <string>
#include <vector>

namespace umbra_test {

struct trace_summary_t {
  bool valid = false;
  std::string error;  // the checker's complaint when not valid
  std::set<std::string> threads, scopes, counters, instants;
  // How many thread ids carry each name (two runs in one file name "Main" twice).
  std::set<std::pair<std::string, int>> thread_name_counts;
  int threads_named(const std::string& name) const;
};

trace_summary_t check_trace(const std::string& path);

}  // namespace umbra_test

// check_trace runs tests/support/trace_check.py with the build machine's Python, which the
// Windows test programs cannot start; their traces are checked by the end-to-end tests of
// the Windows executables instead.
#ifdef _WIN32
#define UMBRA_SKIP_WITHOUT_TRACE_CHECKER() \
  GTEST_SKIP() << "the trace checker is a Python program of the build machine, out of reach of a Windows program"
#else
#define UMBRA_SKIP_WITHOUT_TRACE_CHECKER() \
  do {                                     \
  } while (0)
#endif

namespace umbra_test {

// The names of the files in directory that begin with "trace_", sorted.
std::vector<std::string> trace_files_in(const std::string& directory);
// "trace_<local time of unix_seconds as %Y%m%d_%H%M%S>_full<suffix>.json".
std::string trace_name_at(long long unix_seconds, const std::string& suffix = "");

}  // namespace umbra_test
