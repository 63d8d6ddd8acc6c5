#include "support/run_tool.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace umbra_test {

// The test programs of the Windows build run the layer's own tests only; the tools are
// run from the Linux test programs (through Wine, for the Windows executables).
#ifndef _WIN32
namespace {

std::string slurp_fd(int fd) {
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, (size_t)n);
  }
  return text;
}

}  // namespace

tool_result_t run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::string& working_directory, const run_setup_t& setup) {
  char out_name[] = "/tmp/umbra_out_XXXXXX";
  char err_name[] = "/tmp/umbra_err_XXXXXX";
  int out_fd = mkstemp(out_name);
  int err_fd = mkstemp(err_name);
  unlink(out_name);
  unlink(err_name);
  tool_result_t result;
  pid_t pid = fork();
  if (pid == 0) {
    if (!working_directory.empty() && chdir(working_directory.c_str()) != 0) _exit(127);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (const auto& variable : setup.environment) putenv(const_cast<char*>(variable.c_str()));
    if (setup.file_size_limit) {
      // Past the limit writes fail with EFBIG instead of the signal ending the program.
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{setup.file_size_limit, setup.file_size_limit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.cpu_seconds = (double)usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + (double)usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
  result.max_rss_kb = usage.ru_maxrss;
  lseek(out_fd, 0, SEEK_SET);
  lseek(err_fd, 0, SEEK_SET);
  result.out = slurp_fd(out_fd);
  result.err = slurp_fd(err_fd);
  close(out_fd);
  close(err_fd);
  return result;
}

namespace {

std::string from_environment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

std::string tool_binary(tool_t tool) {
  switch (tool) {
    case tool_t::packer:
      return from_environment("UMBRA_QAR_PACKER", QAR_PACKER_BINARY);
    case tool_t::packer_faults:
      return from_environment("UMBRA_QAR_PACKER_FAULTS", QAR_PACKER_FAULTS_BINARY);
    case tool_t::gdeflate:
      return from_environment("UMBRA_GDEFLATE_TOOL", GDEFLATE_TOOL_BINARY);
  }
  return "";
}

}  // namespace

std::vector<std::string> tool_command(tool_t tool) {
  std::vector<std::string> words;
  std::string emulator = from_environment("UMBRA_TOOL_EMULATOR", "");
  if (!emulator.empty()) words.push_back(emulator);
  words.push_back(tool_binary(tool));
  return words;
}

bool tools_are_windows_build() {
  const std::string binary = tool_binary(tool_t::packer);
  return binary.size() > 4 && binary.compare(binary.size() - 4, 4, ".exe") == 0;
}

tool_result_t run_tool(tool_t tool, const std::vector<std::string>& args, const std::string& working_directory,
                       const run_setup_t& setup) {
  std::vector<std::string> words = tool_command(tool);
  words.insert(words.end(), args.begin(), args.end());
  const std::string program = words.front();
  words.erase(words.begin());
  return run_program(program, words, working_directory, setup);
}

tool_result_t run_packer(const std::vector<std::string>& args, const std::string& working_directory,
                         const run_setup_t& setup) {
  return run_tool(tool_t::packer, args, working_directory, setup);
}
#endif  // !_WIN32

temp_dir_t::temp_dir_t() {
#ifdef _WIN32
  // The system's temporary directory, with '/' between components like every test path.
  std::error_code ec;
  std::string base = std::filesystem::temp_directory_path(ec).generic_string();
  if (ec || base.empty()) throw std::runtime_error("no temporary directory");
  if (base.back() == '/') base.pop_back();
  std::random_device seed;
  std::mt19937_64 random(((uint64_t)seed() << 32) ^ seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = base + "/umbra_test_" + std::to_string(random());
    if (std::filesystem::create_directory(candidate, ec) && !ec) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no fresh temporary directory");
#else
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/umbra_test_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed");
  path_ = name.data();
#endif
}

temp_dir_t::~temp_dir_t() {
  std::error_code ec;
  // Tests may leave directories without permissions behind; give them back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

void make_dirs(const std::string& path) { std::filesystem::create_directories(path); }

std::map<std::string, std::string> tree_snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string relative = std::filesystem::relative(it->path(), root).string();
    if (it->is_directory()) {
      tree[relative + "/"] = "";
    } else {
      tree[relative] = read_file(it->path().string());
    }
  }
  return tree;
}

std::string crlf_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace umbra_test
