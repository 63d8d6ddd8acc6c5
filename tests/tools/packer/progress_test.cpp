// The progress line on a real terminal: the tool runs under tmux, whose pane is read
// back both as the raw bytes the tool wrote and as the screen they left. Without a
// terminal (the other tests' redirected streams) not one byte of it may appear.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/test_rng.h"
#include "tools/packer/progress.h"
#include "umbracore/strings/string.h"

using namespace umbra_test;

namespace {

const char* const tmux = "/usr/bin/tmux";

// A tmux server of its own, on a socket named for this process, killed at the end.
class tmux_session_t {
 public:
  explicit tmux_session_t(const std::string& directory)
      : socket_("qar_progress_" + std::to_string(getpid())), raw_(directory + "/pane.raw") {}
  ~tmux_session_t() { run({"kill-server"}); }

  // Runs the command line in a 200x40 pane, recording every byte written to it.
  void start(const std::string& command) {
    // The short sleep lets the recording start before the tool writes anything.
    run({"new-session", "-d", "-x", "200", "-y", "40", "sleep 1; " + command + "; echo EXIT=$?; sleep 600"});
    run({"pipe-pane", "-o", "cat > '" + raw_ + "'"});
  }
  // Waits (up to five minutes) for the command's end and returns the screen.
  std::string wait_for_exit() {
    for (int i = 0; i < 3000; ++i) {
      std::string screen = run({"capture-pane", "-p"}).out;
      if (screen.find("EXIT=") != std::string::npos) return screen;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
  }
  std::string raw() const { return read_file(raw_); }

 private:
  tool_result_t run(std::vector<std::string> args) {
    args.insert(args.begin(), {"-L", socket_, "-f", "/dev/null"});
    return run_program(tmux, args);
  }
  std::string socket_;
  std::string raw_;
};

// The states the line went through: the text between carriage returns and line feeds
// that begins with the verb.
std::vector<std::string> progress_states(const std::string& raw, const std::string& verb) {
  std::vector<std::string> states;
  std::string piece;
  for (char c : raw) {
    if (c != '\r' && c != '\n') {
      piece.push_back(c);
      continue;
    }
    if (piece.rfind(verb, 0) == 0 && (states.empty() || states.back() != piece)) states.push_back(piece);
    piece.clear();
  }
  return states;
}

uint64_t leading_count(const std::string& state, const std::string& verb) {
  return std::stoull(state.substr(verb.size() + 1));
}

class progress_test : public packer_tree_test_t {
 protected:
  void SetUp() override {
    UMBRA_SKIP_FOR_WINDOWS_TOOLS("the progress line is read off a terminal under tmux, which runs Linux programs");
    if (access(tmux, X_OK) != 0) GTEST_SKIP() << "tmux is not installed (scripts/install_deps.sh installs it)";
    // Text that zlib at level 9 takes a few seconds over: 32 MiB in 400 files.
    rng_t rng{19};
    std::vector<std::string> words;
    for (int i = 0; i < 3000; ++i) {
      std::string word;
      for (umbra::u32 n = 2 + rng.below(8); n > 0; --n) word.push_back((char)('a' + rng.below(10)));
      words.push_back(word);
    }
    for (int d = 0; d < 8; ++d) {
      for (int f = 0; f < 50; ++f) {
        std::string text;
        while (text.size() < (84u << 10)) text += words[rng.below((umbra::u32)words.size())] + " ";
        add("d" + std::to_string(d) + "/f" + std::to_string(f) + ".txt", text);
      }
    }
    // A copy that -dedupe stores once, and three names the scan leaves out: the closing
    // line counts them.
    add("d7/copy.txt", read_file(src() + "/d0/f0.txt"));
    add(".notes", "x");
    add("d0/@meta", "x");
    add("d1/loose.dds", "x");
  }
  std::string packer_command(const std::string& args) const {
    return std::string("cd '") + dir.path() + "' && '" + QAR_PACKER_BINARY + "' " + args;
  }
};

}  // namespace

TEST_F(progress_test, create_and_extract_update_one_line_and_end_it_cleanly) {
  tmux_session_t session(dir.path());
  session.start(packer_command("create a.qar -root src -dedupe && '" + std::string(QAR_PACKER_BINARY) +
                               "' extract a.qar -root out"));
  std::string screen = session.wait_for_exit();
  ASSERT_NE(screen, "") << "the tool did not finish under tmux";
  EXPECT_NE(screen.find("EXIT=0"), std::string::npos) << screen;
  const std::string raw = session.raw();

  // Packing: several states, counts that only grow, totals from the start.
  std::vector<std::string> packing = progress_states(raw, "Packing");
  ASSERT_GE(packing.size(), 2u) << raw;
  for (size_t i = 1; i < packing.size(); ++i)
    EXPECT_LE(leading_count(packing[i - 1], "Packing"), leading_count(packing[i], "Packing")) << packing[i];
  for (const std::string& state : packing) {
    EXPECT_NE(state.find("/401 files, "), std::string::npos) << state;
    EXPECT_NE(state.find("/32.9 MiB"), std::string::npos) << state;
  }

  // The screen holds no trace of either line: the closing information line of create,
  // extract's lines, and the end.
  EXPECT_EQ(screen.find("Packing"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("Extracting"), std::string::npos) << screen;
  std::vector<std::string> lines;
  std::string line;
  for (char c : screen) {
    if (c == '\n') {
      if (!line.empty()) lines.push_back(line);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  ASSERT_EQ(lines.size(), 4u) << screen;
  EXPECT_EQ(lines[0].rfind("Packed 410 entries (401 files, 9 directories), 32.9 MiB in, ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("; 3 names skipped ('.' or '@' first, .dds); 1 file shares the block of an equal file ("),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(lines[1], "[cairn] a.qar: Created, 410 entries");
  EXPECT_EQ(lines[2], "[cairn] a.qar: Unmounted.");
  EXPECT_EQ(lines[3], "EXIT=0");
  EXPECT_EQ(read_file(out() + "/d7/f49.txt"), read_file(src() + "/d7/f49.txt"));
  EXPECT_EQ(read_file(out() + "/d7/copy.txt"), read_file(src() + "/d0/f0.txt"));
}

TEST_F(progress_test, quiet_and_redirected_runs_show_none_of_it) {
  tmux_session_t session(dir.path());
  session.start(packer_command("create a.qar -root src -quiet && '" + std::string(QAR_PACKER_BINARY) +
                               "' extract a.qar -root out -quiet"));
  std::string screen = session.wait_for_exit();
  EXPECT_NE(screen.find("EXIT=0"), std::string::npos) << screen;
  EXPECT_EQ(session.raw().find("Packing"), std::string::npos);
  EXPECT_EQ(session.raw().find("Extracting"), std::string::npos);
  EXPECT_EQ(screen.find("Packed"), std::string::npos) << screen;

  // Standard error to a file: exactly today's output, whatever the run's length.
  std::filesystem::remove_all(out());
  auto created = create();
  EXPECT_EQ(created.exit_code, 0);
  EXPECT_EQ(created.out, "");
  EXPECT_EQ(created.err, "");
  auto extracted = extract();
  EXPECT_EQ(extracted.exit_code, 0);
  EXPECT_EQ(extracted.err, "");
  EXPECT_EQ(extracted.out, "[cairn] a.qar: Created, 410 entries\r\n[cairn] a.qar: Unmounted.\r\n");
}

TEST(progress_line, shows_counts_totals_rate_and_time_left) {
  umbra::progress_t progress;
  umbra::mstring_t line;
  progress.start("Packing", 10, 100u << 20);
  progress.format(line, 3, 30u << 20, 500000);  // too early for a rate
  EXPECT_STREQ(line.c_str(), "Packing 3/10 files, 30.0 MiB/100.0 MiB");
  progress.format(line, 5, 50u << 20, 2000000);
  EXPECT_STREQ(line.c_str(), "Packing 5/10 files, 50.0 MiB/100.0 MiB, 25.0 MiB/s, 0:03 left");
  progress.format(line, 5, 50u << 20, 4000000000ull);
  EXPECT_STREQ(line.c_str(), "Packing 5/10 files, 50.0 MiB/100.0 MiB, 12.8 KiB/s, 1:06:41 left");
  umbra::progress_t unknown;
  unknown.start("Extracting", 0, 0);
  unknown.format(line, 7, 1000, 3000000);
  EXPECT_STREQ(line.c_str(), "Extracting 7 files, 1000 B, 333 B/s");
}
