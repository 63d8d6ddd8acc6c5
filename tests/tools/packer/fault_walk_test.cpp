// Every call that a small `create` and a small `extract` make to the platform's file
// layer is made to fail in turn, with each fault of one table, through the layer's table
// of failable calls (the tool run as tests/harness/qar_packer_faults). Whatever fails,
// the tool either exits 1 with an error line or succeeds with exactly the result of a
// run without faults. A failed `create` leaves the old archive byte for byte and no
// temporary; a failed `extract` touches nothing outside its destination and leaves in it
// only files that are whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "support/texture_files.h"
#include "umbracore/platform/platform_faults.h"

using namespace umbra;
using namespace umbra_test;

namespace {

enum outcome_t { MUST_FAIL, MUST_SUCCEED, EITHER };

struct fault_case_t {
  const char* name;
  platform_call_t call;
  platform_fault_t fault;
  bool from_then_on;
  // A failed probe (does the directory exist?) may rightly be worked around; a write
  // that is lost never may, and a transfer cut short must be continued.
  outcome_t outcome;
};

const fault_case_t FAULTS[] = {
    {"open fails", PLATFORM_CALL_OPEN, PLATFORM_FAULT_FAIL, false, EITHER},
    {"read fails", PLATFORM_CALL_READ, PLATFORM_FAULT_FAIL, false, MUST_FAIL},
    {"read cut short", PLATFORM_CALL_READ, PLATFORM_FAULT_SHORT, false, MUST_SUCCEED},
    {"write fails", PLATFORM_CALL_WRITE, PLATFORM_FAULT_FAIL, false, MUST_FAIL},
    {"write cut short", PLATFORM_CALL_WRITE, PLATFORM_FAULT_SHORT, false, MUST_SUCCEED},
    {"disk full from here on", PLATFORM_CALL_WRITE, PLATFORM_FAULT_NO_SPACE, true, MUST_FAIL},
    {"rename fails", PLATFORM_CALL_RENAME, PLATFORM_FAULT_FAIL, false, MUST_FAIL},
    {"mkdir fails", PLATFORM_CALL_MKDIR, PLATFORM_FAULT_FAIL, false, EITHER},
    {"stat fails", PLATFORM_CALL_STAT, PLATFORM_FAULT_FAIL, false, EITHER},
    {"listing fails", PLATFORM_CALL_LIST, PLATFORM_FAULT_FAIL, false, EITHER},
};

struct fault_run_t {
  tool_result_t result;
  std::map<std::string, u64> calls;
  u64 injected = 0;
};

std::string plan_text(const fault_case_t& f, u64 nth) {
  std::string text = std::string(platform_call_name(f.call)) + ":" + std::to_string(nth) + ":" +
                     platform_fault_name(f.fault);
  return f.from_then_on ? text + ":on" : text;
}

class fault_walk_test : public ::testing::Test {
 protected:
  std::string src() const { return dir / "src"; }
  std::string archive() const { return dir / "a.qar"; }

  void SetUp() override {
    // Files of every kind a task and a write can meet: compressible, incompressible and
    // empty data, a subdirectory, and a texture (a descriptor with its DDS).
    write_tree({{"a.txt", std::string(20000, 'a')},
                {"empty.bin", ""},
                {"d/e/noise.bin", random_bytes(70000, 7)},
                {"t/tex.dds", read_file(texture_fixture("dds/nvtt_bc1_32x32_mips.dds"))},
                {"t/tex.tobj", tobj_file([] {
                   tobj_desc_t descriptor;
                   descriptor.names = {"t/tex.dds"};
                   return descriptor;
                 }())}});
  }

  void write_tree(const std::map<std::string, std::string>& files) {
    for (const auto& [relative, bytes] : files) {
      std::string path = src() + "/" + relative;
      make_dirs(path.substr(0, path.rfind('/')));
      write_file(path, bytes);
    }
  }

  fault_run_t run(const std::vector<std::string>& args, const std::string& plan) {
    const std::string report_path = reports / "report";
    std::remove(report_path.c_str());
    run_setup_t setup;
    setup.environment = {"UMBRA_FAULT_PLAN=" + plan, "UMBRA_FAULT_REPORT=" + report_path};
    fault_run_t run;
    run.result = run_tool(tool_t::packer_faults, args, dir.path(), setup);
    std::istringstream report(read_file(report_path));
    std::string name;
    u64 count = 0;
    while (report >> name >> count) {
      if (name == "injected") {
        run.injected = count;
      } else {
        run.calls[name] = count;
      }
    }
    return run;
  }

  // Runs the command once per call of the kind of each fault, the fault at that call,
  // and hands every run to check (which reports through gtest).
  template <class check_t>
  void walk(const std::vector<std::string>& args, const std::map<std::string, u64>& calls, check_t check) {
    u64 runs = 0;
    for (const fault_case_t& f : FAULTS) {
      const u64 count = calls.at(platform_call_name(f.call));
      for (u64 nth = 1; nth <= count; ++nth) {
        const std::string plan = plan_text(f, nth);
        SCOPED_TRACE(std::string(f.name) + " at " + plan);
        fault_run_t run = this->run(args, plan);
        ++runs;
        const tool_result_t& r = run.result;
        ASSERT_EQ(r.signal, 0) << r.err;
        ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.exit_code << r.err;
        if (r.exit_code == 1) {
          // The whole run, for a failure without its line: what it printed and what was injected.
          EXPECT_NE(r.err.find("*** ERROR *** : "), std::string::npos)
              << "stdout: " << r.out << "\nstderr: " << r.err << "\ninjected: " << run.injected;
        }
        if (run.injected > 0 && f.outcome == MUST_FAIL) {
          EXPECT_EQ(r.exit_code, 1) << r.err;
        }
        if (f.outcome == MUST_SUCCEED) {
          EXPECT_EQ(r.exit_code, 0) << r.err;
        }
        check(r);
        if (::testing::Test::HasFailure()) return;
      }
    }
    EXPECT_GT(runs, 20u);
  }

  temp_dir_t dir;
  temp_dir_t reports;
};

std::map<std::string, std::string> snapshot_without(const std::string& root, const std::string& left_out) {
  std::map<std::string, std::string> all = tree_snapshot(root);
  for (auto it = all.begin(); it != all.end();) {
    it = it->first == left_out || it->first.rfind(left_out + "/", 0) == 0 ? all.erase(it) : std::next(it);
  }
  return all;
}

}  // namespace

TEST_F(fault_walk_test, create_fails_cleanly_or_writes_the_archive_at_every_call) {
  const std::vector<std::string> args = {"create", archive(), "-root", src()};
  fault_run_t reference = run(args, "count");
  ASSERT_EQ(reference.result.exit_code, 0) << reference.result.err;
  const std::string made = read_file(archive());
  const std::string old = "an archive of an earlier run";
  write_file(archive(), old);
  const std::map<std::string, std::string> before = tree_snapshot(dir.path());

  walk(args, reference.calls, [&](const tool_result_t& r) {
    EXPECT_FALSE(file_exists(archive() + ".atomic"));
    if (r.exit_code == 0) {
      EXPECT_TRUE(read_file(archive()) == made) << "a create that succeeded wrote another archive";
      write_file(archive(), old);
    }
    EXPECT_TRUE(tree_snapshot(dir.path()) == before) << "the old archive or the sources changed";
  });
}

TEST_F(fault_walk_test, extract_fails_cleanly_or_extracts_everything_at_every_call) {
  ASSERT_EQ(run_packer({"create", archive(), "-root", src()}, dir.path()).exit_code, 0);
  fault_run_t reference = run({"extract", archive(), "-root", dir / "reference"}, "count");
  ASSERT_EQ(reference.result.exit_code, 0) << reference.result.err;
  const std::map<std::string, std::string> extracted = tree_snapshot(dir / "reference");
  ASSERT_EQ(extracted.count("t/tex.dds"), 1u);
  const std::map<std::string, std::string> outside = snapshot_without(dir.path(), "out");

  walk({"extract", archive(), "-root", dir / "out"}, reference.calls, [&](const tool_result_t& r) {
    const std::map<std::string, std::string> left = tree_snapshot(dir / "out");
    if (r.exit_code == 0) {
      EXPECT_TRUE(left == extracted) << "an extract that succeeded left another tree";
    } else {
      // What is there is whole: each file as the full extraction has it.
      for (const auto& [path, bytes] : left) {
        auto it = extracted.find(path);
        EXPECT_TRUE(it != extracted.end() && it->second == bytes) << path << " is not as extracted";
      }
    }
    EXPECT_TRUE(snapshot_without(dir.path(), "out") == outside) << "something outside the destination changed";
    std::filesystem::remove_all(dir / "out");
  });
}
