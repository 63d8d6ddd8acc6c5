// Test support: runs a program with arguments in a directory and captures its streams.
#pragma once

#include <string>
#include <vector>

namespace umbra_test {

struct tool_result_t {
  int exit_code = -1;  // -1 when the program did not exit normally
  std::string out;
  std::string err;
};

tool_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& working_directory = "");
// Runs the built qar_packer.
tool_result_t run_packer(const std::vector<std::string>& args, const std::string& working_directory = "");

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
// The text of lines joined with CR LF endings, as the console handler writes them.
std::string crlf_lines(const std::vector<std::string>& lines);

}  // namespace umbra_test
