// End-to-end checks of how `extract` turns image entries back into a descriptor and a
// DDS file, on hand-built archives and the real binary.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/format/format_tools.h"
#include "umbracore/umbrautils/format/tobj.h"

using namespace umbra_test;
using umbra::format_t;

namespace {

struct image_t {
  format_t format;
  uint32_t width, height, mips;
  bool cube = false;
  uint32_t pitch_alignment = 256;
  uint32_t image_alignment = 512;
  uint32_t faces() const { return cube ? 6 : 1; }
};

std::vector<uint32_t> image_words(const image_t& image, std::optional<uint32_t> faces = std::nullopt,
                                  std::optional<uint32_t> type = std::nullopt) {
  umbra::fs_meta_image_t record{image.format,          type.value_or(image.cube ? 1 : 0),
                                image.width,           image.height,
                                faces.value_or(image.faces()), image.mips,
                                image.pitch_alignment, image.image_alignment};
  uint32_t words[2];
  EXPECT_TRUE(umbra::fs_meta_pack_image(record, words));
  return {words[0], words[1]};
}

// An entry's data as `create` lays it out, except that padding holds 0xEE instead of
// zeros, so that any padding that reaches the DDS shows; and the levels' rows back to
// back, as the DDS must hold them.
struct entry_data_t {
  std::string laid_out;
  std::string tight;
};

entry_data_t make_entry_data(const image_t& image) {
  const uint32_t levels = image.faces() * image.mips;
  std::vector<umbra::surface_level_layout_t> layout(levels);
  std::vector<uint32_t> rows(levels), lines(levels);
  uint64_t total = 0;
  EXPECT_TRUE(umbra::surface_compute_layout(image.format, image.width, image.height, image.mips, image.pitch_alignment,
                                            image.image_alignment, levels, layout.data(), rows.data(), lines.data(),
                                            &total));
  entry_data_t data{std::string(total, '\xEE'), ""};
  for (uint32_t i = 0; i < levels; ++i) {
    for (uint32_t row = 0; row < rows[i]; ++row) {
      for (uint32_t byte = 0; byte < lines[i]; ++byte) {
        const char value = (char)(i * 37 + row * 11 + byte);
        data.laid_out[layout[i].offset + (uint64_t)row * layout[i].pitch + byte] = value;
        data.tight += value;
      }
    }
  }
  return data;
}

uint32_t load_u32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  if (offset + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

// A rebuilt descriptor byte for byte: the constant header with the given texture type,
// sampler bytes and colour space, then the DDS path.
std::string descriptor_bytes(uint8_t texture_type, const uint8_t sampler[6], const std::string& dds_path,
                             uint8_t color_space = 0) {
  std::string bytes(40, '\0');
  bytes[0] = '\x01';
  bytes[1] = '\x0A';
  bytes[2] = '\xB1';
  bytes[3] = '\x70';
  bytes[20] = 1;
  bytes[24] = (char)texture_type;
  bytes[26] = (char)sampler[0];
  bytes[27] = (char)sampler[1];
  bytes[28] = (char)sampler[2];
  bytes[30] = (char)sampler[3];
  bytes[31] = (char)sampler[4];
  bytes[32] = (char)sampler[5];
  bytes[37] = 1;
  bytes[38] = (char)color_space;
  const uint64_t length = dds_path.size();
  bytes.append(reinterpret_cast<const char*>(&length), 8);
  return bytes + dds_path;
}

constexpr uint8_t NO_SAMPLER[6] = {3, 3, 3, 0, 0, 0};

std::string err_lines(const std::vector<std::string>& errors) {
  std::string text;
  for (const std::string& e : errors) text += "*** ERROR *** : " + e + "\r\n";
  return text;
}

class extract_image_test : public packer_tree_test_t {
 protected:
  // An archive with a root holding a.txt and the image entry t.tobj (whose records the
  // caller gives), in that listing order.
  void write_image_archive(const std::function<void(cairn_v2_builder_t&, int data_block)>& add_entry,
                           const std::string& data) {
    cairn_v2_builder_t b;
    b.add_directory("", b.add_plain(v2_listing({"a.txt", "t.tobj"})));
    b.add_file("a.txt", b.add_plain("plain"));
    add_entry(b, b.add_plain(data));
    write_file(archive(), b.build());
  }
  void write_image_archive(const image_t& image, std::optional<uint32_t> sampler, const std::string& data) {
    write_image_archive([&](cairn_v2_builder_t& b, int block) { b.add_image("t.tobj", image_words(image), sampler, block); },
                        data);
  }
  std::string dds() const { return read_file(out() + "/t.dds"); }
  std::string descriptor() const { return read_file(out() + "/t.tobj"); }
  // What a failed image entry leaves: only the plain file before it.
  void expect_only_the_plain_file() {
    std::vector<std::string> names;
    for (auto& item : std::filesystem::directory_iterator(out())) names.push_back(item.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"a.txt"});
  }
};

const char* const INFO_LINES = "[cairn] a.qar: Created, 3 entries\r\n[cairn] a.qar: Unmounted.\r\n";

TEST_F(extract_image_test, bc1_with_nine_mips_comes_back_as_tight_levels) {
  const image_t image{format_t::BC1_UNORM, 256, 256, 9};
  entry_data_t data = make_entry_data(image);
  ASSERT_EQ(data.laid_out.size(), 49672u);
  ASSERT_EQ(data.tight.size(), 43704u);
  write_image_archive(image, std::nullopt, data.laid_out);
  auto result = extract();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, INFO_LINES);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_file(out() + "/a.txt"), "plain");
  const std::string file = dds();
  ASSERT_EQ(file.size(), 148u + 43704u);
  EXPECT_EQ(file.substr(148), data.tight);
  EXPECT_EQ(load_u32(file, 8), 0x21007u);
  EXPECT_EQ(load_u32(file, 28), 9u);
  EXPECT_EQ(load_u32(file, 108), 0x401008u);
  EXPECT_EQ(load_u32(file, 128), 71u);
  EXPECT_EQ(descriptor(), descriptor_bytes(2, NO_SAMPLER, "/t.dds"));
}

struct header_case_t {
  const char* what;
  image_t image;
  uint32_t flags, mip_count, caps, caps2, misc;
};

// Every byte of a DX10 header: the listed fields, the rest zero.
std::string dx10_header(const image_t& image, const header_case_t& c) {
  std::string h(148, '\0');
  auto put = [&](size_t offset, uint32_t value) { std::memcpy(&h[offset], &value, 4); };
  std::memcpy(&h[0], "DDS ", 4);
  put(4, 124);
  put(8, c.flags);
  put(12, image.height);
  put(16, image.width);
  put(28, c.mip_count);
  put(76, 32);
  put(80, 4);
  std::memcpy(&h[84], "DX10", 4);
  put(108, c.caps);
  put(112, c.caps2);
  put(128, (uint32_t)image.format);
  put(132, 3);
  put(136, c.misc);
  put(140, 1);
  return h;
}

TEST_F(extract_image_test, dds_headers_say_faces_and_mips) {
  const header_case_t cases[] = {
      {"2D, one mip", {format_t::R8G8B8A8_UNORM_SRGB, 5, 3, 1}, 0x1007, 0, 0x1000, 0, 0},
      {"cube, 10 mips", {format_t::BC3_UNORM, 512, 512, 10, true}, 0x21007, 10, 0x401008, 0xFE00, 4},
      {"cube, one mip", {format_t::B8G8R8_UNORM_SRGB, 3, 3, 1, true}, 0x1007, 0, 0x1008, 0xFE00, 4},
      {"tight rows and levels", {format_t::R16G16B16A16_FLOAT, 7, 5, 3, false, 1, 1}, 0x21007, 3, 0x401008, 0, 0},
      {"alignments of 32 KiB", {format_t::BC7_UNORM, 64, 8, 2, false, 32768, 32768}, 0x21007, 2, 0x401008, 0, 0},
  };
  for (const header_case_t& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(out());
    entry_data_t data = make_entry_data(c.image);
    write_image_archive(c.image, std::nullopt, data.laid_out);
    auto result = extract();
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(dds(), dx10_header(c.image, c) + data.tight);
    EXPECT_EQ(descriptor(), descriptor_bytes(c.image.cube ? 5 : 2, NO_SAMPLER, "/t.dds"));
  }
}

umbra::tobj_header_t sampler_header(uint8_t f1, uint8_t f2, uint8_t mip, uint8_t u, uint8_t v, uint8_t w) {
  umbra::tobj_header_t header{};
  header.filter_primary = f1;
  header.filter_secondary = f2;
  header.mip_filter = mip;
  header.address_u = u;
  header.address_v = v;
  header.address_w = w;
  return header;
}

struct sampler_case_t {
  const char* what;
  std::optional<uint32_t> sampler;
  uint8_t rebuilt[6];
  std::string warnings;
};

TEST_F(extract_image_test, sampler_comes_back_in_the_descriptor) {
  const std::string unknown_mip = "*** WARNING *** : Unknown mipmap filtering mode provided, defaulting to linear\r\n";
  const std::string unknown_address = "*** WARNING *** : Unknown texture addressing mode provided, defaulting to repeat\r\n";
  const sampler_case_t cases[] = {
      {"address 1 gives 2, filter 3 gives 1", umbra::tobj_encode_sampler(sampler_header(3, 0, 3, 1, 0, 3)),
       {1, 0, 1, 2, 0, 3}, ""},
      {"address 5 and 6 give 4, the rest stays", umbra::tobj_encode_sampler(sampler_header(0, 1, 2, 5, 6, 2)),
       {0, 1, 2, 4, 4, 2}, ""},
      {"no sampler record", std::nullopt, {3, 3, 3, 0, 0, 0}, ""},
      {"mip filter 3 and address modes 4 to 7", 3u << 2 | 4u << 4 | 7u << 7 | 5u << 10, {0, 0, 1, 0, 0, 0},
       unknown_mip + unknown_address + unknown_address + unknown_address},
  };
  const image_t image{format_t::BC1_UNORM_SRGB, 4, 4, 1};
  for (const sampler_case_t& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(out());
    write_image_archive(image, c.sampler, make_entry_data(image).laid_out);
    auto result = extract();
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, c.warnings);
    EXPECT_EQ(descriptor(), descriptor_bytes(2, c.rebuilt, "/t.dds"));
  }
}

TEST_F(extract_image_test, legacy_headers_on_request) {
  const image_t linear_bc1{format_t::BC1_UNORM, 16, 8, 2};
  entry_data_t data = make_entry_data(linear_bc1);
  write_image_archive(linear_bc1, std::nullopt, data.laid_out);
  auto result = extract({"-dds-legacy"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::string file = dds();
  ASSERT_EQ(file.size(), 128u + data.tight.size());
  EXPECT_EQ(file.substr(0, 4), "DDS ");
  EXPECT_EQ(file.substr(84, 4), "DXT1");
  EXPECT_EQ(load_u32(file, 8), 0xA1007u);  // with the linear size of the top level
  EXPECT_EQ(load_u32(file, 20), 64u);
  EXPECT_EQ(file.substr(128), data.tight);
  // DXT1 alone reads as sRGB: the descriptor says the pixels are linear.
  EXPECT_EQ(descriptor(), descriptor_bytes(2, NO_SAMPLER, "/t.dds", 1));

  // Without a legacy equivalent the header stays DX10, and the colour space 0.
  std::filesystem::remove_all(out());
  const image_t bc7{format_t::BC7_UNORM, 4, 4, 1};
  write_image_archive(bc7, std::nullopt, make_entry_data(bc7).laid_out);
  ASSERT_EQ(extract({"-dds-legacy"}).exit_code, 0);
  EXPECT_EQ(dds().size(), 148u + 16u);
  EXPECT_EQ(dds().substr(84, 4), "DX10");
  EXPECT_EQ(descriptor(), descriptor_bytes(2, NO_SAMPLER, "/t.dds"));

  result = extract({"-dds-legacy", "yes"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, err_lines({"-dds-legacy takes no value"}));
}

TEST_F(extract_image_test, data_past_the_levels_is_dropped_with_a_warning) {
  const image_t image{format_t::R8_UNORM, 4, 4, 1};
  entry_data_t data = make_entry_data(image);
  write_image_archive(image, std::nullopt, data.laid_out + "extra");
  auto result = extract();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "*** WARNING *** : Image '/t.tobj' holds 5 bytes past its levels, which are dropped\r\n");
  EXPECT_EQ(dds().substr(148), data.tight);
}

struct hostile_case_t {
  const char* what;
  std::function<void(cairn_v2_builder_t&, int block)> add_entry;
  std::string data;
  std::string error;
};

TEST_F(extract_image_test, hostile_image_entries_fail_alone) {
  const image_t bc1{format_t::BC1_UNORM, 256, 256, 9};
  const std::string bc1_data = make_entry_data(bc1).laid_out;
  auto entry = [](const image_t& image, std::optional<uint32_t> faces = std::nullopt,
                  std::optional<uint32_t> type = std::nullopt) {
    return [=](cairn_v2_builder_t& b, int block) {
      b.add_image("t.tobj", image_words(image, faces, type), std::nullopt, block);
    };
  };
  const hostile_case_t cases[] = {
      {"no image record",
       [](cairn_v2_builder_t& b, int block) { b.add_image("t.tobj", {}, 0u, block); }, bc1_data,
       "Failed to decode image for '/t.tobj'!"},
      {"format without a row", entry({static_cast<format_t>(150), 4, 4, 1}), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: format 150 has no layout"},
      {"format the layout cannot describe", entry({format_t::R1_UNORM, 8, 8, 1}), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: format 66 has no layout"},
      {"six faces of a single image", entry(bc1, 6u), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: face count 6 for image type 0"},
      {"one face of a cube", entry(bc1, 1u, 1u), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: face count 1 for image type 1"},
      {"two faces of a cube", entry(bc1, 2u, 1u), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: face count 2 for image type 1"},
      {"64 faces of an image type 3", entry(bc1, 64u, 3u), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: face count 64 for image type 3"},
      {"more mips than halvings", entry({format_t::BC1_UNORM, 4, 4, 4}), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: 4 mips for a 4x4 image"},
      {"16 mips of a 1x1 image", entry({format_t::R8_UNORM, 1, 1, 16}), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: 16 mips for a 1x1 image"},
      {"huge dimensions", entry({format_t::R32G32B32A32_FLOAT, 65536, 65536, 1}), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: its levels are too large"},
      {"huge alignments", entry({format_t::BC1_UNORM, 256, 256, 9, false, 32768, 32768}), bc1_data,
       "Image '/t.tobj' cannot be rebuilt: 49672 bytes of data for levels of 4194312 bytes"},
      {"data one byte short", entry(bc1), bc1_data.substr(0, bc1_data.size() - 1),
       "Image '/t.tobj' cannot be rebuilt: 49671 bytes of data for levels of 49672 bytes"},
      {"no data", entry(bc1), "", "Image '/t.tobj' cannot be rebuilt: 0 bytes of data for levels of 49672 bytes"},
  };
  for (const hostile_case_t& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(out());
    write_image_archive(c.add_entry, c.data);
    auto result = extract();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, err_lines({c.error, "Failed to extract some files"}));
    expect_only_the_plain_file();
  }
}

TEST_F(extract_image_test, corrupt_compressed_image_data_fails_alone) {
  const image_t image{format_t::BC1_UNORM, 256, 256, 9};
  std::string stored = random_bytes(4000, 1);
  cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(v2_listing({"a.txt", "t.tobj"})));
  b.add_file("a.txt", b.add_plain("plain"));
  b.add_image("t.tobj", image_words(image), std::nullopt, b.add_block(stored, 49672, 3));
  write_file(archive(), b.build());
  auto result = extract();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, err_lines({"Failed to extract some files"}));
  expect_only_the_plain_file();
}

TEST_F(extract_image_test, an_entry_that_cannot_be_written_leaves_no_half) {
  const image_t image{format_t::BC1_UNORM, 8, 8, 1};
  write_image_archive(image, std::nullopt, make_entry_data(image).laid_out);
  // Directories where the files should go: first the DDS cannot be created, then the
  // descriptor after its DDS was written.
  for (const char* blocked : {"t.dds", "t.tobj"}) {
    SCOPED_TRACE(blocked);
    std::filesystem::remove_all(out());
    make_dirs(out() + "/" + blocked + "/x");
    auto result = extract();
    EXPECT_EQ(result.exit_code, 1);
    const std::string target = out() + "/" + blocked;
    EXPECT_EQ(result.err, err_lines({"[fs] Failed to open file '" + target + "' in the create_truncate mode.",
                                     "Failed to create file '" + target + "'!", "Failed to extract some files"}));
    std::vector<std::string> names;
    for (auto& item : std::filesystem::directory_iterator(out())) names.push_back(item.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", blocked}));
  }
}

}  // namespace
