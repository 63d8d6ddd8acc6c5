// End-to-end checks of -trace on the real binary: one valid file named after the run's
// start, every working thread named, scopes nested, counters present; appending, files
// that are not ours, no file without the option, and a trace that cannot be written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"
#include "support/trace_check.h"

using namespace umbra_test;

namespace {

class trace_test : public packer_tree_test_t {
 protected:
  void SetUp() override {
    add("a.txt", std::string(20000, 'a'));
    add("d/b.txt", "text that is stored");
    add("d/e/c.bin", std::string(3000, 'c'));
    add("t/a.dds", read_file(texture_fixture("dds/nvtt_bc1_256x256_mips.dds")));
    tobj_desc_t descriptor;
    descriptor.names = {"t/a.dds"};
    add("t/a.tobj", tobj_file(descriptor));
  }
  // Runs the tool in cwd and returns its result; start and end bracket the run.
  tool_result_t run_in(const std::string& cwd, std::vector<std::string> args) {
    start = (long long)time(nullptr);
    tool_result_t result = run_packer(args, cwd);
    end = (long long)time(nullptr);
    return result;
  }
  tool_result_t create_in(const std::string& cwd, const std::vector<std::string>& extra = {"-trace"}) {
    std::vector<std::string> args = {"create", archive(), "-root", src()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_in(cwd, args);
  }
  // The file's name must be the one of a second the run was in.
  bool named_in_run(const std::string& name, const std::string& suffix = "") {
    for (long long s = start; s <= end; ++s)
      if (name == trace_name_at(s, suffix)) return true;
    return false;
  }
  std::string make_dir(const std::string& name) {
    std::string path = dir / name;
    make_dirs(path);
    return path;
  }

  long long start = 0, end = 0;
};

}  // namespace

TEST_F(trace_test, create_and_extract_each_write_one_valid_trace) {
  std::string c1 = make_dir("c1");
  tool_result_t created = create_in(c1);
  ASSERT_EQ(created.exit_code, 0) << created.err;
  EXPECT_EQ(created.err, "");
  std::vector<std::string> files = trace_files_in(c1);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(named_in_run(files[0])) << files[0];
  trace_summary_t trace = check_trace(c1 + "/" + files[0]);
  ASSERT_TRUE(trace.valid) << trace.error;
  EXPECT_TRUE(trace.threads.count("Main"));
  EXPECT_TRUE(trace.threads.count("IO_Pump"));
  // Scopes that do work of their own. A scope shorter than the clock's microsecond is not
  // written, and some are little more than a wait: the main thread's "entry /<path>" (waiting
  // for the entry's task, then merging it) and extraction's "read /<path>" (waiting for a read)
  // end at once when the work was done before the main thread came to it, as it often is on a
  // loaded machine. Of those only the image's entry is named, whose merge writes its pages.
  for (const char* scope : {"scan", "stat paths", "sort paths", "hash paths", "build archive", "store tables", "merge",
                            "compress", "read", "plain /a.txt", "plain /d/e/c.bin", "directory /d", "entry /t/a.tobj",
                            "image /t/a.tobj", "GDeflate encode"}) {
    EXPECT_TRUE(trace.scopes.count(scope)) << scope;
  }
  EXPECT_TRUE(trace.scopes.count("create " + archive()));
  EXPECT_TRUE(trace.scopes.count("read image " + src() + "/t/a.dds"));
  for (const char* counter : {"Block read requests", "io.chunk.read_ops", "thread.tasks.submitted", "thread.tasks.runs"})
    EXPECT_TRUE(trace.counters.count(counter)) << counter;

  std::string c2 = make_dir("c2");
  tool_result_t extracted = run_in(c2, {"extract", archive(), "-root", out(), "-trace"});
  ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
  EXPECT_EQ(read_file(out() + "/a.txt"), std::string(20000, 'a'));
  files = trace_files_in(c2);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(named_in_run(files[0])) << files[0];
  trace = check_trace(c2 + "/" + files[0]);
  ASSERT_TRUE(trace.valid) << trace.error;
  for (const char* thread : {"Main", "IO Scheduler"}) EXPECT_TRUE(trace.threads.count(thread)) << thread;
  for (const char* scope : {"mount", "walk", "copy files", "decompress /a.txt", "write /a.txt", "write /d/e/c.bin",
                            "rebuild image /t/a.tobj"}) {
    EXPECT_TRUE(trace.scopes.count(scope)) << scope;
  }
  EXPECT_TRUE(trace.scopes.count("extract " + archive()));
  for (const char* counter : {"io.chunk.read_ops", "io.chunk.finish_bytesize", "io.queue.high.ops"})
    EXPECT_TRUE(trace.counters.count(counter)) << counter;
}

TEST_F(trace_test, the_inspecting_commands_trace_without_changing_their_output) {
  ASSERT_EQ(create_in(dir.path(), {}).exit_code, 0);
  const std::vector<std::vector<std::string>> scopes = {
      {"list", "mount", "walk /"}, {"info", "mount"}, {"verify", "mount", "walk /", "check data"}};
  for (const std::vector<std::string>& expected : scopes) {
    const std::string& command = expected[0];
    tool_result_t untraced = run_in(dir.path(), {command, archive()});
    std::string cwd = make_dir("in_" + command);
    tool_result_t traced = run_in(cwd, {command, archive(), "-trace"});
    EXPECT_EQ(traced.exit_code, untraced.exit_code) << command;
    EXPECT_EQ(traced.exit_code, 0) << command << traced.err;
    EXPECT_EQ(traced.out, untraced.out) << command;
    EXPECT_EQ(traced.err, untraced.err) << command;
    std::vector<std::string> files = trace_files_in(cwd);
    ASSERT_EQ(files.size(), 1u) << command;
    EXPECT_TRUE(named_in_run(files[0])) << files[0];
    trace_summary_t trace = check_trace(cwd + "/" + files[0]);
    ASSERT_TRUE(trace.valid) << command << trace.error;
    EXPECT_TRUE(trace.scopes.count(command + " " + archive())) << command;
    for (size_t i = 1; i < expected.size(); ++i) EXPECT_TRUE(trace.scopes.count(expected[i])) << expected[i];
  }
}

TEST_F(trace_test, a_second_run_of_the_same_second_appends_to_the_file) {
  std::string c1 = make_dir("c1");
  ASSERT_EQ(create_in(c1).exit_code, 0);
  std::vector<std::string> first = trace_files_in(c1);
  ASSERT_EQ(first.size(), 1u);
  const std::string earlier = read_file(c1 + "/" + first[0]);
  // Whatever second the next run starts in, a file of that second holds a trace already.
  std::string c2 = make_dir("c2");
  long long now = (long long)time(nullptr);
  for (long long s = now; s < now + 30; ++s) write_file(c2 + "/" + trace_name_at(s), earlier);
  ASSERT_EQ(create_in(c2).exit_code, 0);
  std::vector<std::string> files = trace_files_in(c2);
  ASSERT_EQ(files.size(), 30u);  // no new file
  int appended = 0;
  for (const std::string& name : files) {
    std::string text = read_file(c2 + "/" + name);
    if (text == earlier) continue;
    ++appended;
    EXPECT_TRUE(named_in_run(name)) << name;
    EXPECT_EQ(text.compare(0, earlier.size() - 4, earlier, 0, earlier.size() - 4), 0);
    trace_summary_t trace = check_trace(c2 + "/" + name);
    ASSERT_TRUE(trace.valid) << trace.error;
    EXPECT_EQ(trace.threads_named("Main"), 2);  // one per run
  }
  EXPECT_EQ(appended, 1);
}

TEST_F(trace_test, a_file_of_the_name_that_is_not_a_trace_is_left_alone) {
  std::string c1 = make_dir("c1");
  long long now = (long long)time(nullptr);
  for (long long s = now; s < now + 30; ++s) write_file(c1 + "/" + trace_name_at(s), "keep me");
  ASSERT_EQ(create_in(c1).exit_code, 0);
  std::vector<std::string> files = trace_files_in(c1);
  ASSERT_EQ(files.size(), 31u);
  int ours = 0;
  for (const std::string& name : files) {
    if (read_file(c1 + "/" + name) == "keep me") continue;
    ++ours;
    EXPECT_TRUE(named_in_run(name, "_1")) << name;
    EXPECT_TRUE(check_trace(c1 + "/" + name).valid);
  }
  EXPECT_EQ(ours, 1);
}

TEST_F(trace_test, without_the_option_no_trace_is_written) {
  std::vector<std::string> home_before = trace_files_in("/home");
  std::string c1 = make_dir("c1");
  ASSERT_EQ(create_in(c1, {}).exit_code, 0);
  ASSERT_EQ(run_in(c1, {"extract", archive(), "-root", out()}).exit_code, 0);
  for (const std::string& d : {c1, dir.path(), src(), out()}) EXPECT_TRUE(trace_files_in(d).empty()) << d;
  EXPECT_EQ(trace_files_in("/home"), home_before);
}

TEST_F(trace_test, a_trace_that_cannot_be_written_changes_nothing_else) {
  ASSERT_EQ(create_in(dir.path(), {}).exit_code, 0);
  const std::string untraced = read_file(archive());
  // Nothing can be created in /proc, not even by root; no "/home" is mounted either.
  tool_result_t created = create_in("/proc");
  EXPECT_EQ(created.exit_code, 0);
  EXPECT_EQ(created.out, "");
  bool named = false;
  for (long long s = start; s <= end; ++s) {
    named = named || created.err == crlf_lines({"*** ERROR *** : [profiler] Unable to open trace file '" +
                                                trace_name_at(s) + "', forgetting traced data."});
  }
  EXPECT_TRUE(named) << created.err;
  EXPECT_EQ(read_file(archive()), untraced);
  tool_result_t extracted = run_in("/proc", {"extract", archive(), "-root", out(), "-trace"});
  EXPECT_EQ(extracted.exit_code, 0);
  EXPECT_EQ(read_file(out() + "/d/b.txt"), "text that is stored");
  EXPECT_NE(extracted.err.find("[profiler] Unable to open trace file"), std::string::npos);
}

TEST_F(trace_test, a_full_disk_leaves_every_trace_valid_and_the_command_unchanged) {
  ASSERT_EQ(create_in(dir.path(), {}).exit_code, 0);
  const tool_result_t untraced = run_in(dir.path(), {"list", archive()});
  ASSERT_EQ(untraced.exit_code, 0);
  // Files may grow to 1024 bytes and no further (the signal is ignored, so a write past
  // that fails as on a full disk). The listing goes through a pipe, which has no limit.
  auto list_with_little_room = [&](const std::string& cwd) {
    std::vector<std::string> args = {"-c", "set -o pipefail; (trap '' XFSZ; ulimit -f 1; exec \"$0\" \"$@\") | cat"};
    for (const std::string& word : tool_command(tool_t::packer)) args.push_back(word);
    for (const std::string& word : {std::string("list"), archive(), std::string("-trace")}) args.push_back(word);
    return run_program("/bin/bash", args, cwd);
  };
  const std::string failed_line = "[profiler] Unable to write trace file '";

  std::string fresh = make_dir("fresh");
  tool_result_t listed = list_with_little_room(fresh);
  EXPECT_EQ(listed.exit_code, 0);
  EXPECT_EQ(listed.out, untraced.out);
  EXPECT_NE(listed.err.find(failed_line), std::string::npos) << listed.err;
  EXPECT_TRUE(trace_files_in(fresh).empty());  // the file it began is gone

  // A trace of an earlier run in the same second goes back to what it was.
  std::string earlier = make_dir("earlier");
  const std::string small_trace = "[\n{}\n]";
  long long now = (long long)time(nullptr);
  for (long long s = now; s < now + 30; ++s) write_file(earlier + "/" + trace_name_at(s), small_trace);
  listed = list_with_little_room(earlier);
  EXPECT_EQ(listed.exit_code, 0);
  EXPECT_EQ(listed.out, untraced.out);
  EXPECT_NE(listed.err.find(failed_line), std::string::npos) << listed.err;
  std::vector<std::string> files = trace_files_in(earlier);
  EXPECT_EQ(files.size(), 30u);
  for (const std::string& name : files) EXPECT_EQ(read_file(earlier + "/" + name), small_trace) << name;
}
