// Test support: runs a program with arguments in a directory and captures its streams.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace umbra_test {

struct tool_result_t {
  int exit_code = -1;  // -1 when the program did not exit normally
  int signal = 0;      // the signal that ended it, if one did
  std::string out;
  std::string err;
  double cpu_seconds = 0;  // user and system time of the program
  long max_rss_kb = 0;     // its peak resident set
};

// What the child gets besides its arguments.
struct run_setup_t {
  std::vector<std::string> environment;  // NAME=value, added to the test's own
  unsigned long long file_size_limit = 0;  // RLIMIT_FSIZE in bytes (SIGXFSZ ignored); 0: none
};

tool_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& working_directory = "", const run_setup_t& setup = {});
// Runs the built qar_packer.
tool_result_t run_packer(const std::vector<std::string>& args, const std::string& working_directory = "",
                         const run_setup_t& setup = {});

// A fresh directory below the system's temporary directory, removed with its contents.
class temp_dir_t {
 public:
  temp_dir_t();
  ~temp_dir_t();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Small file helpers for tests.
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);
// Everything below root (nothing when it is missing): each file's relative path with its
// bytes, each directory's relative path with a '/' after it and no bytes.
std::map<std::string, std::string> tree_snapshot(const std::string& root);
// The text of lines joined with CR LF endings, as the console handler writes them.
std::string crlf_lines(const std::vector<std::string>& lines);

}  // namespace umbra_test
