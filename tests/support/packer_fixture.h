// Test support: a temporary directory with a source tree, an archive and a destination,
// and the real tool run over them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_tool.h"

namespace umbra_test {

class packer_tree_test_t : public ::testing::Test {
 protected:
  std::string src() const { return dir / "src"; }
  std::string out() const { return dir / "out"; }
  std::string archive() const { return dir / "a.qar"; }
  // Writes a file below the source root, making its directories.
  void add(const std::string& relative, const std::string& bytes) {
    std::string path = src() + "/" + relative;
    make_dirs(path.substr(0, path.rfind('/')));
    write_file(path, bytes);
  }
  tool_result_t create(const std::vector<std::string>& extra = {}) {
    return run({"create", archive(), "-root", src()}, extra);
  }
  tool_result_t extract(const std::vector<std::string>& extra = {}) {
    return run({"extract", archive(), "-root", out()}, extra);
  }

  temp_dir_t dir;

 private:
  tool_result_t run(std::vector<std::string> args, const std::vector<std::string>& extra) {
    args.insert(args.end(), extra.begin(), extra.end());
    return run_packer(args, dir.path());
  }
};

}  // namespace umbra_test
