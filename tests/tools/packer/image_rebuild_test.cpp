// The parts of the image rebuild that no archive reaches alone: the DDS path rule for
// any path, and records that the archive's fixed record sizes cannot produce.
#include "tools/packer/image_rebuild.h"

#include <gtest/gtest.h>

#include <string>

#include "support/log_capture.h"

using namespace umbra;

namespace {

TEST(image_dds_path, replaces_the_last_components_extension) {
  const struct {
    const char* path;
    const char* dds;
  } cases[] = {
      {"/a/tex.tobj", "/a/tex.dds"},       {"/a/b.c/tex", "/a/b.c/tex.dds"}, {"/a/x.y.tobj", "/a/x.y.dds"},
      {"a\\b.c\\tex", "a\\b.c\\tex.dds"}, {"/.tobj", "/.dds"},              {"tex.", "tex.dds"},
      {"tex", "tex.dds"},
  };
  for (const auto& c : cases) {
    mstring_t path, dds;
    path.assign(c.path);
    ASSERT_TRUE(image_dds_path(path, dds));
    EXPECT_STREQ(dds.c_str(), c.dds) << c.path;
  }
}

class image_plan_test : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_meta_image_t image{format_t::BC1_UNORM, 0, 4, 4, 1, 1, 256, 512};
    ASSERT_TRUE(fs_meta_append_image(&set_, image));
    path_.assign("/d/t.tobj");
  }
  bool plan() { return plan_image_rebuild(path_, set_, 8, "out", image_rebuild_options_t(), &plan_); }

  fs_mstat_t set_;
  mstring_t path_;
  image_rebuild_plan_t plan_;
  umbra_test::log_capture_t log_;
};

TEST_F(image_plan_test, vets_both_targets) {
  ASSERT_TRUE(plan());
  EXPECT_STREQ(plan_.descriptor_target.c_str(), "out/d/t.tobj");
  EXPECT_STREQ(plan_.dds_target.c_str(), "out/d/t.dds");
  EXPECT_STREQ(plan_.dds_path.c_str(), "/d/t.dds");

  path_.assign("/d/con.tobj");
  EXPECT_FALSE(plan());
  log_.expect_last_error_once("Path '/d/con.tobj' is not supported: special windows path");
}

TEST_F(image_plan_test, sampler_record_of_another_size_fails) {
  const u32 words[2] = {0, 0};
  fs_meta_append(&set_, FS_TOKEN_SAMPLER, 2, words);
  EXPECT_FALSE(plan());
  log_.expect_last_error_once("Failed to decode sampler for '/d/t.tobj'!");
}

}  // namespace
