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

// The tools the end-to-end tests run: the binaries of this build, unless the environment
// puts another build of them in their place (the Windows executables, run through Wine):
//   UMBRA_TOOL_EMULATOR      the program that runs them, e.g. "wine"
//   UMBRA_QAR_PACKER         qar_packer
//   UMBRA_QAR_PACKER_FAULTS  qar_packer with the table of failable calls armed
//   UMBRA_GDEFLATE_TOOL      gdeflate_tool
enum class tool_t { packer, packer_faults, gdeflate };
tool_result_t run_tool(tool_t tool, const std::vector<std::string>& args, const std::string& working_directory = "",
                       const run_setup_t& setup = {});
// Runs qar_packer.
tool_result_t run_packer(const std::vector<std::string>& args, const std::string& working_directory = "",
                         const run_setup_t& setup = {});
// The words that start the tool: the emulator, if any, and the binary.
std::vector<std::string> tool_command(tool_t tool);
// True when the tools under test are Windows executables: a test of what only the Linux
// build does (io_uring, /proc, RLIMIT_FSIZE, tmpfs mounts, a terminal under tmux) skips.
bool tools_are_windows_build();

}  // namespace umbra_test

// Skips the rest of a test when the tools under test are the Windows build; reason says
// which Linux fact the test depends on.
#define UMBRA_SKIP_FOR_WINDOWS_TOOLS(reason) \
  do {                                            \
    if (::umbra_test::tools_are_windows_build()) GTEST_SKIP() << "Windows build of the tools: " << (reason); \
  } while (0)

namespace umbra_test {

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
