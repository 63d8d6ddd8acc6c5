#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"
#include "umbracore/ufs/ufs_device.h"
#include "umbracore/umbrautils/format/tobj.h"

using namespace umbra;

namespace {

void put32(std::string& bytes, size_t offset, u32 value) {
  if (bytes.size() < offset + 4) bytes.resize(offset + 4, '\0');
  std::memcpy(&bytes[offset], &value, 4);
}

// A legacy DDS header of the given FourCC (or DX10 format), size and mip count.
std::string dds_file(const char* fourcc, u32 width, u32 height, u32 mips, u32 dxgi_format = 0) {
  std::string bytes(128, '\0');
  std::memcpy(&bytes[0], "DDS ", 4);
  put32(bytes, 4, 124);
  put32(bytes, 8, 0x1007);
  put32(bytes, 12, height);
  put32(bytes, 16, width);
  put32(bytes, 28, mips);
  put32(bytes, 80, 0x4);
  std::memcpy(&bytes[84], fourcc, 4);
  put32(bytes, 108, mips > 1 ? 0x401008 : 0x1000);
  if (std::strcmp(fourcc, "DX10") == 0) {
    bytes.resize(148, '\0');
    put32(bytes, 128, dxgi_format);
  }
  return bytes + std::string(64, 'p');
}

struct descriptor_t {
  u8 texture_type = 2;
  u8 filter_primary = 1, filter_secondary = 1, mip_filter = 2;
  u8 address_u = 0, address_v = 1, address_w = 5;
  u8 color_space = 0;
  std::vector<std::string> names;

  std::string bytes() const {
    std::string out(TOBJ_HEADER_SIZE, '\0');
    put32(out, 0, TOBJ_MAGIC);
    out[24] = static_cast<char>(texture_type);
    out[26] = static_cast<char>(filter_primary);
    out[27] = static_cast<char>(filter_secondary);
    out[28] = static_cast<char>(mip_filter);
    out[30] = static_cast<char>(address_u);
    out[31] = static_cast<char>(address_v);
    out[32] = static_cast<char>(address_w);
    out[38] = static_cast<char>(color_space);
    for (const std::string& name : names) {
      const u64 count = name.size();
      out.append(reinterpret_cast<const char*>(&count), 8);
      out += name;
    }
    return out;
  }
};

// A temporary directory served by the system device, mounted into the unified device
// so that descriptors find their images by virtual path.
class tobj_meta_t : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_shutdown();
    ASSERT_TRUE(fs_startup(dir_.path().c_str()));
    ASSERT_TRUE(fs_get_root_device()->mount(fs_get_system_device(), -1));
  }
  void TearDown() override {
    fs_get_root_device()->unmount(fs_get_system_device());
    fs_shutdown();
  }

  void write(const std::string& name, const std::string& bytes) { umbra_test::write_file(dir_ / name, bytes); }

  bool build_tobj(const std::string& name, const std::string& bytes, fs_mstat_t* set) {
    write(name, bytes);
    auto_ptr_t<file_t> file;
    if (!fs_open(file, ("/" + name).c_str(), FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) {
      ADD_FAILURE() << "cannot open " << name;
      return false;
    }
    return fs_meta_tobj(set, *file, 0, 0);
  }

  umbra_test::temp_dir_t dir_;
  umbra_test::log_capture_t log_;
};

fs_meta_image_t image_of(const fs_mstat_t& set) {
  fs_meta_image_t image{};
  EXPECT_TRUE(fs_meta_get_image(&set, &image));
  return image;
}

u32 sampler_of(const fs_mstat_t& set) {
  u32 word = 0;
  EXPECT_EQ(fs_meta_get(&word, 1, &FS_TOKEN_SAMPLER, &set), 1u);
  return word;
}

TEST_F(tobj_meta_t, image_and_sampler_of_the_first_named_image) {
  write("tex.dds", dds_file("DXT5", 64, 32, 7));
  descriptor_t tobj;
  tobj.names = {"/tex.dds", "/ignored.dds"};
  fs_mstat_t set;
  ASSERT_TRUE(build_tobj("tex.tobj", tobj.bytes(), &set));
  ASSERT_EQ(set.records.count(), 2u);
  EXPECT_EQ(set.records[0].token, FS_TOKEN_IMAGE);
  EXPECT_EQ(set.records[1].token, FS_TOKEN_SAMPLER);
  const fs_meta_image_t image = image_of(set);
  EXPECT_EQ(image.format, format_t::BC3_UNORM_SRGB);
  EXPECT_EQ(image.image_type, 0u);
  EXPECT_EQ(image.width, 64u);
  EXPECT_EQ(image.height, 32u);
  EXPECT_EQ(image.face_count, 1u);
  EXPECT_EQ(image.mip_count, 7u);
  EXPECT_EQ(image.pitch_alignment, 1u);
  EXPECT_EQ(image.image_alignment, 1u);
  // Filters 1, 1, mip filter 2; address bytes 0, 1, 5 as modes 0, 2, 1.
  EXPECT_EQ(sampler_of(set), 0x3u | 2u << 2 | 0u << 4 | 2u << 7 | 1u << 10);
  EXPECT_TRUE(log_.errors().empty());
}

TEST_F(tobj_meta_t, descriptor_decides_cube_and_colour_space) {
  write("flat.dds", dds_file("DXT1", 16, 16, 1));
  write("bc7.dds", dds_file("DX10", 16, 16, 1, 99));
  struct case_t {
    const char* image;
    u8 texture_type;
    u8 color_space;
    format_t format;
    u32 faces;
    u32 type;
  };
  const case_t cases[] = {
      {"/flat.dds", 5, 0, format_t::BC1_UNORM_SRGB, 6, 1},  // a plain 2D image still becomes a cube
      {"/flat.dds", 2, 1, format_t::BC1_UNORM, 1, 0},
      {"/flat.dds", 4, 2, format_t::BC1_UNORM_SRGB, 1, 0},
      {"/bc7.dds", 2, 1, format_t::BC7_UNORM_SRGB, 1, 0},  // no linear twin listed
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.image << " type " << unsigned(c.texture_type) << " space "
                                      << unsigned(c.color_space));
    descriptor_t tobj;
    tobj.texture_type = c.texture_type;
    tobj.color_space = c.color_space;
    tobj.names = {c.image};
    fs_mstat_t set;
    ASSERT_TRUE(build_tobj("case.tobj", tobj.bytes(), &set));
    const fs_meta_image_t image = image_of(set);
    EXPECT_EQ(static_cast<unsigned>(image.format), static_cast<unsigned>(c.format));
    EXPECT_EQ(image.face_count, c.faces);
    EXPECT_EQ(image.image_type, c.type);
  }
}

TEST_F(tobj_meta_t, general_builder_adds_the_descriptor_file_itself) {
  write("tex.dds", dds_file("DXT1", 8, 8, 1));
  descriptor_t tobj;
  tobj.names = {"/tex.dds"};
  const std::string bytes = tobj.bytes();
  write("tex.tobj", bytes);
  auto_ptr_t<file_t> file;
  ASSERT_TRUE(fs_open(file, "/tex.tobj", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  fs_mstat_t set;
  ASSERT_TRUE(fs_meta_build(&set, *file, 0, 0));
  ASSERT_EQ(set.records.count(), 3u);
  EXPECT_EQ(set.records[2].token, FS_TOKEN_CHUNK_PLAIN);
  fs_chunk_t plain{};
  ASSERT_TRUE(fs_meta_get_chunk(&set, FS_TOKEN_CHUNK_PLAIN, &plain));
  EXPECT_EQ(plain.size, bytes.size());

  // Through the unified device as well, the way any caller asks.
  fs_mstat_t by_path;
  ASSERT_TRUE(fs_get_root_device()->mstat("/tex.tobj", &by_path));
  EXPECT_EQ(std::vector<u32>(by_path.words.begin(), by_path.words.end()),
            std::vector<u32>(set.words.begin(), set.words.end()));
}

TEST_F(tobj_meta_t, failures_log_one_line_and_append_nothing) {
  write("tex.dds", dds_file("DXT1", 8, 8, 1));
  write("notes.txt", "not an image");
  descriptor_t good;
  good.names = {"/tex.dds"};
  const std::string header_only = good.bytes().substr(0, TOBJ_HEADER_SIZE);

  std::string huge_count = header_only;
  const u64 limit = 0xFFFFFFFFull;
  huge_count.append(reinterpret_cast<const char*>(&limit), 8);
  huge_count += "/tex.dds";

  descriptor_t long_name;
  long_name.names = {"/" + std::string(300, 'a') + ".dds"};
  descriptor_t cut_name = good;
  std::string cut = cut_name.bytes();
  cut.pop_back();
  descriptor_t missing;
  missing.names = {"/missing.dds"};
  descriptor_t not_image;
  not_image.names = {"/notes.txt"};
  descriptor_t bad_address = good;
  bad_address.address_v = 7;
  descriptor_t self;
  self.names = {"/self.tobj"};

  struct failure_case_t {
    const char* name;
    std::string bytes;
    std::string message;
  };
  const failure_case_t cases[] = {
      {"short.tobj", header_only.substr(0, 39), "[tobj] Failed to read header of '/short.tobj' for metadata"},
      {"bad_address.tobj", bad_address.bytes(), "[tobj] Failed to read header of '/bad_address.tobj' for metadata"},
      {"bare.tobj", header_only, "[tobj] Failed reading map name from file '/bare.tobj'."},
      {"huge.tobj", huge_count, "[tobj] Failed reading map name from file '/huge.tobj'."},
      {"long.tobj", long_name.bytes(), "[tobj] Failed reading map name from file '/long.tobj'."},
      {"cut.tobj", cut, "[tobj] Failed reading map name from file '/cut.tobj'."},
      {"missing.tobj", missing.bytes(), "[tobj] Failed to retrieve metadata from file '/missing.dds'."},
      {"not_image.tobj", not_image.bytes(), "[tobj] Failed to decode image from file '/notes.txt'."},
      // A descriptor naming itself must not recurse.
      {"self.tobj", self.bytes(), "[tobj] Failed to retrieve metadata from file '/self.tobj'."},
  };
  for (const failure_case_t& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    fs_mstat_t set;
    EXPECT_FALSE(build_tobj(c.name, c.bytes, &set));
    log_.expect_last_error_once(c.message);
    EXPECT_EQ(set.records.count(), 0u);
    EXPECT_EQ(set.words.count(), 0u);
  }
}

TEST(tobj_meta_without_file_system, image_lookup_fails_cleanly) {
  umbra_test::temp_dir_t dir;
  descriptor_t tobj;
  tobj.names = {"/tex.dds"};
  umbra_test::write_file(dir / "tex.tobj", tobj.bytes());
  fs_shutdown();
  ASSERT_TRUE(fs_startup(dir.path().c_str()));
  auto_ptr_t<file_t> file;
  ASSERT_TRUE(fs_open(file, "/tex.tobj", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  // The system device is not mounted into the unified device: nothing answers there.
  umbra_test::log_capture_t log;
  fs_mstat_t set;
  EXPECT_FALSE(fs_meta_tobj(&set, *file, 0, 0));
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[tobj] Failed to retrieve metadata from file '/tex.dds'."});
  file.reset();
  fs_shutdown();
}

}  // namespace
