#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "umbracore/ufs/cairn_path_hash.h"
#include "umbracore/ufs/cityhash.h"

using namespace umbra;

namespace {

u64 hash_of(const std::string& text) { return cityhash64(text.data(), text.size()); }

u64 device_key(const char* path, u32 salt = 0) {
  u64 hash = 0;
  EXPECT_TRUE(cairn_hash_device_path(path, salt, &hash)) << path;
  return hash;
}

}  // namespace

// Every length from 0 to 200 against the published 1.0.3 function: covers each
// length branch (1-3, 4-8, 9-16, 17-32, 33-64) and the 64-byte block loop with
// one, two and three blocks and every tail length.
TEST(cityhash64, matches_published_vectors) {
  std::ifstream file(UMBRA_TEST_DATA_DIR "/cityhash/cityhash64.tsv");
  ASSERT_TRUE(file.is_open());
  std::string line;
  std::vector<bool> seen(201, false);
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t tab1 = line.find('\t');
    size_t tab2 = line.find('\t', tab1 + 1);
    ASSERT_NE(tab2, std::string::npos) << line;
    size_t length = std::stoul(line.substr(0, tab1));
    u64 expected = std::stoull(line.substr(tab1 + 1, tab2 - tab1 - 1), nullptr, 16);
    std::string text = line.substr(tab2 + 1);
    ASSERT_EQ(text.size(), length) << line;
    EXPECT_EQ(hash_of(text), expected) << "length " << length;
    ASSERT_LT(length, seen.size());
    seen[length] = true;
  }
  for (size_t length = 0; length < seen.size(); ++length) EXPECT_TRUE(seen[length]) << "missing length " << length;
}

TEST(cityhash64, empty_input_is_k2_and_needs_no_bytes) {
  EXPECT_EQ(cityhash64(nullptr, 0), 0x9AE16A3B2F90404Full);
  EXPECT_EQ(cairn_hash_relative_path(""), 0x9AE16A3B2F90404Full);
}

// Loads must not assume alignment: the same bytes at every misalignment hash alike.
TEST(cityhash64, result_does_not_depend_on_alignment) {
  std::string text = "textures/environment/sky/clouds_layer_0.dds-and-a-tail-past-sixty-four-bytes/x/y/z.tobj";
  u64 expected = hash_of(text);
  std::vector<char> buffer(text.size() + 8);
  for (size_t shift = 1; shift < 8; ++shift) {
    std::memcpy(buffer.data() + shift, text.data(), text.size());
    EXPECT_EQ(cityhash64(buffer.data() + shift, text.size()), expected) << shift;
  }
}

TEST(cairn_path_hash, device_paths_hash_what_follows_the_leading_slash) {
  EXPECT_EQ(device_key("/"), hash_of(""));
  EXPECT_EQ(device_key("/a"), hash_of("a"));
  EXPECT_EQ(device_key("/a/b"), hash_of("a/b"));
  EXPECT_EQ(cairn_hash_relative_path("textures/Sky.png"), hash_of("textures/Sky.png"));
  // Case and a leading slash are part of the key.
  EXPECT_NE(cairn_hash_relative_path("Dir/file"), cairn_hash_relative_path("dir/file"));
  EXPECT_NE(cairn_hash_relative_path("dir/file"), cairn_hash_relative_path("/dir/file"));
}

TEST(cairn_path_hash, salt_is_written_in_decimal_in_front) {
  EXPECT_EQ(device_key("/", 7), hash_of("7"));
  EXPECT_EQ(device_key("/a/b", 7), hash_of("7a/b"));
  EXPECT_EQ(cairn_hash_relative_path("a/b", 65535), hash_of("65535a/b"));
  path_string_t form;
  cairn_hashed_form(form, "x", 1, 120);
  EXPECT_STREQ(form.c_str(), "120x");
}

// Only the first 255 bytes of the hashed form (salt included) make the key.
TEST(cairn_path_hash, long_forms_are_cut_to_255_bytes) {
  std::string base(255, 'p');
  EXPECT_EQ(cairn_hash_relative_path((base + "/one").c_str()), hash_of(base));
  EXPECT_EQ(cairn_hash_relative_path((base + "/one").c_str()), cairn_hash_relative_path((base + "/two").c_str()));
  EXPECT_NE(cairn_hash_relative_path(base.substr(0, 254).c_str()), hash_of(base));
  EXPECT_EQ(device_key(("/" + base + "x").c_str()), hash_of(base));
  EXPECT_EQ(cairn_hash_relative_path(base.c_str(), 7), hash_of("7" + base.substr(0, 254)));
}

TEST(cairn_path_hash, paths_that_are_not_device_paths_name_nothing) {
  u64 hash = 1234;
  EXPECT_FALSE(cairn_hash_device_path("", 0, &hash));
  EXPECT_FALSE(cairn_hash_device_path("a/b", 0, &hash));
  EXPECT_FALSE(cairn_hash_device_path(nullptr, 0, &hash));
  EXPECT_EQ(hash, 1234u);
}
