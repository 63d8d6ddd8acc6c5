#include "support/trace_check.h"

#include <dirent.h>

#include <algorithm>
#include <ctime>
#include <sstream>

#include "support/run_tool.h"

namespace umbra_test {

int trace_summary_t::threads_named(const std::string& name) const {
  for (const auto& entry : thread_name_counts) {
    if (entry.first == name) return entry.second;
  }
  return 0;
}

trace_summary_t check_trace(const std::string& path) {
#ifdef _WIN32
  trace_summary_t none;
  none.error = "no trace checker on Windows: " + path;
  return none;
#else
  tool_result_t run = run_program("/usr/bin/python3", {std::string(UMBRA_SOURCE_DIR) + "/tests/support/trace_check.py", path});
  trace_summary_t summary;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    auto rest = [&](const char* prefix) { return line.substr(std::string(prefix).size()); };
    if (line.rfind("thread ", 0) == 0) {
      summary.threads.insert(rest("thread "));
    } else if (line.rfind("threads-named ", 0) == 0) {
      std::string body = rest("threads-named ");
      size_t space = body.rfind(' ');
      summary.thread_name_counts.insert({body.substr(0, space), std::stoi(body.substr(space + 1))});
    } else if (line.rfind("scope ", 0) == 0) {
      summary.scopes.insert(rest("scope "));
    } else if (line.rfind("counter ", 0) == 0) {
      summary.counters.insert(rest("counter "));
    } else if (line.rfind("instant ", 0) == 0) {
      summary.instants.insert(rest("instant "));
    } else if (line == "ok") {
      summary.valid = run.exit_code == 0;
    } else {
      summary.error += line + run.err;
    }
  }
  if (!summary.valid && summary.error.empty()) summary.error = run.err;
  return summary;
#endif
}

std::vector<std::string> trace_files_in(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.rfind("trace_", 0) == 0) names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string trace_name_at(long long unix_seconds, const std::string& suffix) {
  time_t seconds = (time_t)unix_seconds;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d_%H%M%S", &local);
  return std::string("trace_") + text + "_full" + suffix + ".json";
}

}  // namespace umbra_test
