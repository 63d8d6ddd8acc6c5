#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "umbracore/cdl/cdl.h"

using namespace umbra;

namespace {

class cdl_test : public ::testing::Test {
 protected:
  void init(const std::vector<std::string>& words) {
    args = words;
    std::vector<const char*> argv;
    for (const auto& w : args) argv.push_back(w.c_str());
    cdl = &store;
    ok = cdl_init((int)argv.size(), argv.data());
  }
  umbra_test::log_capture_t log;
  std::vector<std::string> args;
  cdl_t store{};
  bool ok = false;
};

}  // namespace

TEST_F(cdl_test, finds_the_first_occurrence_and_its_values) {
  init({"qar_packer", "create", "x.qar", "-root", "a", "-root", "b", "-nocompress"});
  EXPECT_TRUE(ok);
  EXPECT_EQ(cdl_param("-root"), 3u);
  EXPECT_EQ(cdl_argc(), 2u);
  EXPECT_STREQ(cdl_argv(), "a");
  EXPECT_EQ(cdl_param("-nocompress"), 7u);
  EXPECT_EQ(cdl_argc(), 1u);
  EXPECT_EQ(cdl_argv(), nullptr);
}

TEST_F(cdl_test, values_stop_at_words_beginning_with_minus_or_plus) {
  init({"qar_packer", "-list", "a", "b", "+x", "-root", "-x"});
  cdl_param("-list");
  EXPECT_EQ(cdl_argc(), 3u);
  cdl_param("-root");
  EXPECT_EQ(cdl_argc(), 1u);
  EXPECT_EQ(cdl_argv(), nullptr);
}

TEST_F(cdl_test, matching_is_byte_exact_and_never_word_zero) {
  init({"-root", "-ROOT", "x"});
  EXPECT_EQ(cdl_param("-root"), CDL_NOT_FOUND);
  EXPECT_EQ(cdl_argc(), 0u);
  EXPECT_EQ(cdl_argv(), nullptr);
  EXPECT_EQ(cdl_param("-ROOT"), 1u);
}

TEST_F(cdl_test, argc_without_a_search_reports_the_missing_param_call) {
  init({"qar_packer", "x"});
  EXPECT_EQ(cdl_argc(), 2u);
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[cdl] A call to cdl_argc() without matching cdl_param()."});
}

TEST_F(cdl_test, keeps_only_the_first_128_words) {
  std::vector<std::string> words{"qar_packer"};
  for (int i = 1; i < 140; ++i) words.push_back("w" + std::to_string(i));
  init(words);
  EXPECT_FALSE(ok);
  EXPECT_EQ(store.count, 128u);
  EXPECT_EQ(cdl_param("w127"), 127u);
  EXPECT_EQ(cdl_param("w128"), CDL_NOT_FOUND);
}

TEST_F(cdl_test, stops_at_the_word_that_overflows_the_text_area) {
  init({"qar_packer", std::string(1500, 'a'), std::string(600, 'b'), "c"});
  EXPECT_FALSE(ok);
  EXPECT_EQ(store.count, 2u);
  EXPECT_EQ(std::string(store.words[1]), std::string(1500, 'a'));
}

TEST_F(cdl_test, invalid_utf8_bytes_become_replacement_characters) {
  init({"qar_packer", "a\xff" "b"});
  EXPECT_TRUE(ok);
  EXPECT_STREQ(store.words[1], "a\xef\xbf\xbd" "b");
}
