// End-to-end checks of image entries written by `create`: a texture descriptor and its
// DDS (or raster) images become one entry with an image record, a sampler record and
// one chunk of laid out levels. DDS and PNG files come from independent tools
// (tests/fixtures) or are written here byte by byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/archive_reader.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"
#include "umbracore/umbrautils/format/gdeflate.h"

using namespace umbra_test;

namespace {

constexpr uint32_t KIND_IMAGE = 1, KIND_SAMPLER = 2, KIND_MIP_TAIL = 132;

// The stored records are packed; comparisons must see copies.
template <class T>
T field(T value) {
  return value;
}

struct image_words_t {
  uint32_t mips, format, type, faces, pitch_log2, image_log2, width, height;
};

image_words_t decode_image(const std::vector<uint32_t>& words) {
  image_words_t w{};
  if (words.size() != 2) {
    ADD_FAILURE() << "no image record";
    return w;
  }
  w.mips = (words[0] & 0xF) + 1;
  w.format = words[0] >> 4 & 0xFF;
  w.type = words[0] >> 12 & 3;
  w.faces = (words[0] >> 14 & 0x3F) + 1;
  w.pitch_log2 = words[0] >> 20 & 0xF;
  w.image_log2 = words[0] >> 24 & 0xF;
  w.width = (words[1] & 0xFFFF) + 1;
  w.height = (words[1] >> 16) + 1;
  return w;
}

std::string pixels_of(const std::string& dds) { return dds.substr(dds.compare(84, 4, "DX10") == 0 ? 148 : 128); }

class create_image_test : public packer_tree_test_t {
 protected:
  // The tool's fresh allocations come filled with a pattern (glibc's malloc), so that
  // padding the entry leaves unwritten cannot pass for zeros.
  static void SetUpTestSuite() { setenv("MALLOC_PERTURB_", "165", 1); }
  static void TearDownTestSuite() { unsetenv("MALLOC_PERTURB_"); }

  void add_fixture(const std::string& relative, const std::string& fixture) {
    add(relative, read_file(texture_fixture(fixture)));
  }
  void add_descriptor(const std::string& relative, const tobj_desc_t& desc) { add(relative, tobj_file(desc)); }

  // Runs create, which must succeed silently, and loads the archive.
  void create_ok(const std::vector<std::string>& extra = {}) {
    tool_result_t result = create(extra);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    ASSERT_TRUE(archive_.load(archive()));
  }

  const umbra::cairn_v2_entry_t& entry(const std::string& path) {
    const umbra::cairn_v2_entry_t* e = archive_.find(path);
    if (!e) {
      ADD_FAILURE() << "no entry " << path;
      static umbra::cairn_v2_entry_t none{};
      return none;
    }
    return *e;
  }
  image_words_t image(const std::string& path) { return decode_image(archive_.record(entry(path), KIND_IMAGE, 2)); }
  uint32_t sampler(const std::string& path) {
    std::vector<uint32_t> words = archive_.record(entry(path), KIND_SAMPLER, 1);
    EXPECT_EQ(words.size(), 1u);
    return words.empty() ? ~0u : words[0];
  }
  inspected_chunk_t data(const std::string& path) {
    inspected_chunk_t chunk;
    EXPECT_TRUE(archive_.chunk(entry(path), KIND_MIP_TAIL, &chunk)) << path;
    return chunk;
  }

  inspected_archive_t archive_;
};

tobj_desc_t names(std::vector<std::string> list, uint8_t texture_type = 2) {
  tobj_desc_t desc;
  desc.names = std::move(list);
  desc.texture_type = texture_type;
  return desc;
}

dds_desc_t dx10(uint32_t width, uint32_t height, uint32_t format = 71, uint32_t mips = 1);

const surface_kind_t BC1{8, true}, BC3{16, true}, BC7{16, true}, RGBA8{4, false}, RGB8{3, false};

}  // namespace

// The documented layout: levels at 0, 32768, 40960, 45056, 47104, 48128, 48640, 49152
// and 49664, T = 49672, every level's rows from the DDS at 256-byte pitch, zeros between.
TEST_F(create_image_test, bc1_with_mips_from_nvcompress_is_laid_out_as_documented) {
  add_fixture("tex/a.dds", "dds/nvtt_bc1_256x256_mips.dds");
  add_descriptor("tex/a.tobj", names({"/tex/a.dds"}));
  create_ok();
  const auto& e = entry("tex/a.tobj");
  EXPECT_EQ(archive_.index_words(e).size(), 3u);
  std::vector<uint32_t> kinds;
  for (uint32_t word : archive_.index_words(e)) kinds.push_back(word >> 24);
  EXPECT_EQ(kinds, (std::vector<uint32_t>{KIND_IMAGE, KIND_SAMPLER, KIND_MIP_TAIL}));

  image_words_t im = image("tex/a.tobj");
  EXPECT_EQ(im.format, 72u);  // BC1_UNORM_SRGB, as the DDS reader reports DXT1
  EXPECT_EQ(im.width, 256u);
  EXPECT_EQ(im.height, 256u);
  EXPECT_EQ(im.mips, 9u);
  EXPECT_EQ(im.faces, 1u);
  EXPECT_EQ(im.type, 0u);
  EXPECT_EQ(im.pitch_log2, 8u);
  EXPECT_EQ(im.image_log2, 9u);

  uint64_t total = 0;
  std::vector<level_place_t> levels = entry_levels(BC1, 256, 256, 9, 1, &total, nullptr);
  std::vector<uint64_t> offsets;
  for (const auto& level : levels) offsets.push_back(level.offset);
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 32768, 40960, 45056, 47104, 48128, 48640, 49152, 49664}));
  EXPECT_EQ(total, 49672u);

  inspected_chunk_t chunk = data("tex/a.tobj");
  EXPECT_EQ(field(chunk.record.size), 49672u);
  EXPECT_EQ(field(chunk.record.compression), 3u);
  EXPECT_EQ(field(chunk.record.attribute), 3u);
  EXPECT_EQ(field(chunk.record.aux), 0u);
  EXPECT_LT(field(chunk.record.stored_size), 49672u);
  EXPECT_EQ(field(chunk.record.offset) % 16, 0u);
  std::string dds = read_file(src() + "/tex/a.dds");
  EXPECT_EQ(chunk.content, expected_entry_data(BC1, 256, 256, 9, 1, pixels_of(dds)));
  // The DDS itself is not packed; the descriptor's own bytes are not stored either.
  EXPECT_EQ(archive_.find("tex/a.dds"), nullptr);
  EXPECT_EQ(archive_.listing("tex"), std::vector<std::string>{"a.tobj"});
}

TEST_F(create_image_test, nocompress_stores_the_laid_out_levels) {
  add_fixture("a.dds", "dds/nvtt_bc1_256x256_mips.dds");
  add_descriptor("a.tobj", names({"a.dds"}));
  create_ok({"-nocompress"});
  inspected_chunk_t chunk = data("a.tobj");
  EXPECT_EQ(field(chunk.record.compression), 0u);
  EXPECT_EQ(field(chunk.record.stored_size), 49672u);
  EXPECT_EQ(field(chunk.record.size), 49672u);
  EXPECT_EQ(chunk.content, expected_entry_data(BC1, 256, 256, 9, 1, pixels_of(read_file(src() + "/a.dds"))));
}

// Rows of 256 bytes need no padding; random pixels leave GDeflate nothing to gain.
TEST_F(create_image_test, data_that_gdeflate_cannot_shrink_is_stored) {
  dds_desc_t desc;
  desc.width = 64;
  desc.height = 64;
  desc.dxgi_format = 28;  // R8G8B8A8_UNORM
  std::string pixels = random_bytes(64 * 64 * 4, 5);
  add("noise.dds", dds_file(desc, pixels));
  add_descriptor("noise.tobj", names({"noise.dds"}));
  create_ok();
  inspected_chunk_t chunk = data("noise.tobj");
  EXPECT_EQ(field(chunk.record.compression), 0u);
  EXPECT_EQ(field(chunk.record.stored_size), 16384u);
  EXPECT_EQ(chunk.content, pixels);
  EXPECT_EQ(image("noise.tobj").format, 28u);
}

// An image of many pages is compressed on every worker; its stream is still exactly the
// one a single thread writes for the laid out levels.
TEST_F(create_image_test, pages_of_a_large_image_give_the_single_thread_stream) {
  dds_desc_t desc = dx10(512, 512, 98, 10);
  uint64_t total = 0, face_bytes = 0;
  entry_levels(BC7, 512, 512, 10, 1, &total, &face_bytes);
  const std::string pixels = patterned_bytes(face_bytes, 21);
  add("big.dds", dds_file(desc, pixels));
  add_descriptor("big.tobj", names({"big.dds"}));
  create_ok();
  const std::string expected = expected_entry_data(BC7, 512, 512, 10, 1, pixels);
  ASSERT_GT(expected.size(), 5u * 65536);
  umbra::array_dyn_t<umbra::u8> stream;
  ASSERT_TRUE(umbra::gdeflate_compress(reinterpret_cast<const umbra::u8*>(expected.data()), expected.size(), stream));
  inspected_chunk_t chunk = data("big.tobj");
  EXPECT_EQ(field(chunk.record.compression), 3u);
  EXPECT_EQ(archive_.bytes.substr(chunk.record.offset, chunk.record.stored_size),
            std::string(reinterpret_cast<const char*>(stream.data()), stream.count()));
  EXPECT_EQ(chunk.content, expected);
}

TEST_F(create_image_test, cube_in_one_dds_from_nvassemble_gives_six_faces) {
  add_fixture("sky/cube.dds", "dds/nvtt_x8r8g8b8_cube_8x8.dds");
  add_descriptor("sky/cube.tobj", names({"sky/cube.dds"}, 5));
  create_ok();
  image_words_t im = image("sky/cube.tobj");
  EXPECT_EQ(im.type, 1u);
  EXPECT_EQ(im.faces, 6u);
  EXPECT_EQ(im.mips, 1u);
  EXPECT_EQ(im.format, 93u);  // B8G8R8X8_UNORM_SRGB
  inspected_chunk_t chunk = data("sky/cube.tobj");
  EXPECT_EQ(field(chunk.record.size), 5u * 2048 + 7 * 256 + 32);
  EXPECT_EQ(chunk.content, expected_entry_data(RGBA8, 8, 8, 1, 6, pixels_of(read_file(src() + "/sky/cube.dds"))));
}

TEST_F(create_image_test, cube_of_six_dds_files_takes_face_k_from_name_k) {
  dds_desc_t desc;
  desc.width = 16;
  desc.height = 16;
  desc.mips = 5;
  desc.dxgi_format = 98;  // BC7_UNORM
  std::vector<std::string> list;
  std::string faces;
  uint64_t face_bytes = 0, total = 0;
  entry_levels(BC7, 16, 16, 5, 1, &total, &face_bytes);
  for (int k = 0; k < 6; ++k) {
    std::string pixels = patterned_bytes(face_bytes, 100 + k);
    faces += pixels;
    add("env/face" + std::to_string(k) + ".dds", dds_file(desc, pixels));
    list.push_back("/env/face" + std::to_string(k) + ".dds");
  }
  add_descriptor("env/sky.tobj", names(list, 5));
  create_ok();
  image_words_t im = image("env/sky.tobj");
  EXPECT_EQ(im.faces, 6u);
  EXPECT_EQ(im.type, 1u);
  EXPECT_EQ(im.mips, 5u);
  EXPECT_EQ(im.format, 98u);
  EXPECT_EQ(data("env/sky.tobj").content, expected_entry_data(BC7, 16, 16, 5, 6, faces));
}

// What create packs, extract must be able to rebuild: the longest mip chain a size has
// (8x2 halves to 1x1 in four levels), and a cube DDS under a descriptor that is no cube
// (the entry is one plain image, the cube's first face).
TEST_F(create_image_test, longest_mip_chain_and_first_face_of_a_cube_extract_again) {
  uint64_t total = 0, face_bytes = 0;
  entry_levels(BC1, 8, 2, 4, 1, &total, &face_bytes);
  const std::string chain_pixels = patterned_bytes(face_bytes, 5);
  add("chain.dds", dds_file(dx10(8, 2, 71, 4), chain_pixels));
  add_descriptor("chain.tobj", names({"chain.dds"}));
  add_fixture("cube.dds", "dds/nvtt_x8r8g8b8_cube_8x8.dds");
  add_descriptor("flat.tobj", names({"cube.dds"}));
  create_ok();

  image_words_t chain = image("chain.tobj");
  EXPECT_EQ(chain.mips, 4u);
  EXPECT_EQ(data("chain.tobj").content, expected_entry_data(BC1, 8, 2, 4, 1, chain_pixels));
  image_words_t flat = image("flat.tobj");
  EXPECT_EQ(flat.type, 0u);
  EXPECT_EQ(flat.faces, 1u);
  const std::string first_face = pixels_of(read_file(src() + "/cube.dds")).substr(0, 8 * 8 * 4);
  EXPECT_EQ(data("flat.tobj").content, expected_entry_data(RGBA8, 8, 8, 1, 1, first_face));

  tool_result_t result = extract();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(pixels_of(read_file(out() + "/chain.dds")) == chain_pixels);
  EXPECT_TRUE(pixels_of(read_file(out() + "/flat.dds")) == first_face);
}

// DXT5 reads as BC3_UNORM_SRGB (78); a descriptor's colour space 1 declares it linear (77).
TEST_F(create_image_test, color_space_chooses_between_srgb_and_linear_formats) {
  add_fixture("m/bc3.dds", "dds/nvtt_bc3_32x16_mips.dds");
  tobj_desc_t srgb = names({"m/bc3.dds"});
  tobj_desc_t linear = srgb;
  linear.color_space = 1;
  add_descriptor("m/srgb.tobj", srgb);
  add_descriptor("m/linear.tobj", linear);
  create_ok();
  EXPECT_EQ(image("m/srgb.tobj").format, 78u);
  EXPECT_EQ(image("m/linear.tobj").format, 77u);
  const std::string expected = expected_entry_data(BC3, 32, 16, 6, 1, pixels_of(read_file(src() + "/m/bc3.dds")));
  EXPECT_EQ(data("m/srgb.tobj").content, expected);
  EXPECT_EQ(data("m/linear.tobj").content, expected);
}

// ImageMagick's 24-bit DDS: three bytes a pixel, 24-byte rows padded to 256.
TEST_F(create_image_test, rgb_24_bit_dds_from_imagemagick) {
  add_fixture("rgb.dds", "dds/magick_r8g8b8_8x8.dds");
  add_descriptor("rgb.tobj", names({"rgb.dds"}));
  create_ok();
  EXPECT_EQ(image("rgb.tobj").format, 203u);  // B8G8R8_UNORM_SRGB
  inspected_chunk_t chunk = data("rgb.tobj");
  EXPECT_EQ(field(chunk.record.size), 7u * 256 + 24);
  EXPECT_EQ(chunk.content, expected_entry_data(RGB8, 8, 8, 1, 1, pixels_of(read_file(src() + "/rgb.dds"))));
}

// Bytes 26-28 and 30-32 of the descriptor become the sampler word.
TEST_F(create_image_test, sampler_word_comes_from_the_descriptor) {
  add_fixture("a.dds", "dds/nvtt_bc1_32x32_mips.dds");
  tobj_desc_t desc = names({"a.dds"});
  desc.filter_primary = 3;
  desc.filter_secondary = 0;
  desc.mip_filter = 3;
  desc.address_u = 1;
  desc.address_v = 5;
  desc.address_w = 3;
  add_descriptor("a.tobj", desc);
  create_ok();
  // filter 1, 0; mip filter 1; address modes 2, 1, 3.
  EXPECT_EQ(sampler("a.tobj"), 1u | 1u << 2 | 2u << 4 | 1u << 7 | 3u << 10);
}

// A raster image named by a descriptor is decoded: the entry holds its pixels, as
// ImageMagick decodes them, in rows of the format its channels and depth give.
struct raster_case_t {
  const char* png;
  const char* raw;
  uint32_t width, height, format, bytes_per_pixel;
  bool high_bytes;  // 16-bit samples stored as 8-bit: their high byte
};

class create_raster_test : public create_image_test, public ::testing::WithParamInterface<raster_case_t> {};

TEST_P(create_raster_test, pixels_are_decoded) {
  const raster_case_t& c = GetParam();
  add_fixture(std::string("img/") + c.png, std::string("raster/") + c.png);
  add_descriptor("img/t.tobj", names({std::string("img/") + c.png}));
  create_ok({"-nocompress"});
  image_words_t im = image("img/t.tobj");
  EXPECT_EQ(im.format, c.format);
  EXPECT_EQ(im.width, c.width);
  EXPECT_EQ(im.height, c.height);
  EXPECT_EQ(im.mips, 1u);
  std::string raw = read_file(texture_fixture(std::string("raster/") + c.raw));
  if (c.high_bytes) {
    std::string cut;
    for (size_t i = 1; i < raw.size(); i += 2) cut += raw[i];
    raw = cut;
  }
  ASSERT_EQ(raw.size(), (size_t)c.width * c.height * c.bytes_per_pixel);
  EXPECT_EQ(data("img/t.tobj").content,
            expected_entry_data({c.bytes_per_pixel, false}, c.width, c.height, 1, 1, raw));
  // The PNG itself is packed as a plain file as well.
  EXPECT_NE(archive_.find(std::string("img/") + c.png), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    rasters, create_raster_test,
    ::testing::Values(raster_case_t{"magick_rgb8_13x7.png", "magick_rgb8_13x7.rgb", 13, 7, 202, 3, false},
                      raster_case_t{"magick_rgb8_13x7.tga", "magick_rgb8_13x7.rgb", 13, 7, 202, 3, false},
                      raster_case_t{"magick_rgba8_9x5.png", "magick_rgba8_9x5.rgba", 9, 5, 29, 4, false},
                      raster_case_t{"magick_rgb16_11x3.png", "magick_rgb16_11x3.rgb", 11, 3, 202, 3, true},
                      raster_case_t{"magick_rgba16_5x6.png", "magick_rgba16_5x6.rgba", 5, 6, 11, 8, false},
                      raster_case_t{"magick_grey16_6x4.png", "magick_grey16_6x4.gray", 6, 4, 56, 2, false}));

// ---- refusals and bad input ----
//
// Whatever an image entry cannot hold, and every malformed descriptor, image or name,
// fails the entry with its own line, then `create` with "Failed to build archive!"; the
// old archive stays as it was and nothing is left beside it.

namespace {

constexpr const char* FIFO_MARKER = "\x01fifo";

struct refusal_case_t {
  const char* name;
  std::vector<std::pair<std::string, std::string>> files;  // below the root; FIFO_MARKER makes a fifo
  std::vector<std::string> lines;                          // "$" stands for the root
};

dds_desc_t dx10(uint32_t width, uint32_t height, uint32_t format, uint32_t mips) {
  dds_desc_t desc;
  desc.width = width;
  desc.height = height;
  desc.dxgi_format = format;
  desc.mips = mips;
  return desc;
}

std::string bc1_4x4() { return dds_file(dx10(4, 4), std::string(8, 'p')); }

std::string descriptor(std::vector<std::string> list, uint8_t texture_type = 2) {
  return tobj_file(names(std::move(list), texture_type));
}

std::string six_faces_with(const std::string& odd) {
  return descriptor({"a.dds", "a.dds", "a.dds", odd, "a.dds", "a.dds"}, 5);
}

// A PNG whose header announces another size, with a valid checksum so that only the
// pixel data can tell.
std::string png_claiming(uint32_t width, uint32_t height) {
  std::string png = read_file(texture_fixture("raster/magick_rgb8_13x7.png"));
  auto put_be32 = [&png](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) png[at + i] = (char)(v >> (24 - 8 * i));
  };
  put_be32(16, width);
  put_be32(20, height);
  put_be32(29, (uint32_t)crc32(0, reinterpret_cast<const Bytef*>(png.data() + 12), 17));
  return png;
}

// Cut inside its pixel rows, where nothing in the format says the file is short.
std::string tga_cut() {
  std::string tga = read_file(texture_fixture("raster/magick_rgb8_13x7.tga"));
  return tga.substr(0, tga.size() - 40);
}

std::string png_cut() {
  std::string png = read_file(texture_fixture("raster/magick_rgb8_13x7.png"));
  return png.substr(0, png.size() / 2);
}

const char* a_dds_lines[] = {"Failed getting dependency of file $/a.dds of t.tobj."};

std::vector<refusal_case_t> refusal_cases() {
  const std::string bc1_256 = read_file(texture_fixture("dds/nvtt_bc1_256x256_mips.dds"));
  std::string wrong_magic = descriptor({"a.dds"});
  wrong_magic[0] = 'X';
  std::string bad_address = descriptor({"a.dds"});
  bad_address[31] = 7;
  const std::string no_names = descriptor({});
  std::string ffff_count = no_names + std::string("\xFF\xFF\xFF\xFF\0\0\0\0a.dds", 13);
  std::string cut_name = descriptor({"a.dds"});
  cut_name.resize(cut_name.size() - 2);
  const std::string garbage_dds = "DDS " + random_bytes(200, 9);
  return {
      // What an image entry cannot hold.
      {"image_data_of_2_to_the_28_bytes",
       {{"a.dds", dds_header(dx10(8192, 8192, 28))}, {"t.tobj", descriptor({"a.dds"})}},
       {"Image file $/a.dds of t.tobj needs more than 268435455 bytes laid out; an image entry cannot hold it."}},
      {"no_map_name", {{"t.tobj", no_names}}, {"Texture descriptor 't.tobj' names no image."}},
      {"seven_names",
       {{"a.dds", bc1_4x4()}, {"t.tobj", descriptor(std::vector<std::string>(7, "a.dds"), 5)}},
       {"Texture descriptor 't.tobj' names 7 images; at most six can be packed."}},
      {"two_names_without_cube",
       {{"a.dds", bc1_4x4()}, {"t.tobj", descriptor({"a.dds", "a.dds"})}},
       {"Texture descriptor 't.tobj' names 2 images but is no cube map; it must name one."}},
      {"cube_with_two_names",
       {{"a.dds", bc1_4x4()}, {"t.tobj", descriptor({"a.dds", "a.dds"}, 5)}},
       {"Cube map descriptor 't.tobj' names 2 images; it must name one or six."}},
      {"cube_face_of_another_format",
       {{"a.dds", bc1_4x4()},
        {"b.dds", dds_file(dx10(4, 4, 72), std::string(8, 'q'))},
        {"t.tobj", six_faces_with("b.dds")}},
       {"Image file $/b.dds of t.tobj differs from the first image in format, size or mip count."}},
      {"cube_face_of_another_size",
       {{"a.dds", bc1_4x4()},
        {"b.dds", dds_file(dx10(8, 4), std::string(16, 'q'))},
        {"t.tobj", six_faces_with("b.dds")}},
       {"Image file $/b.dds of t.tobj differs from the first image in format, size or mip count."}},
      {"cube_face_with_other_mips",
       {{"a.dds", dds_file(dx10(8, 8, 71, 2), std::string(40, 'p'))},
        {"b.dds", dds_file(dx10(8, 8), std::string(32, 'q'))},
        {"t.tobj", six_faces_with("b.dds")}},
       {"Image file $/b.dds of t.tobj differs from the first image in format, size or mip count."}},
      {"dds_shorter_than_its_levels",
       {{"a.dds", bc1_256.substr(0, bc1_256.size() - 1)}, {"t.tobj", descriptor({"a.dds"})}},
       {"Image file $/a.dds of t.tobj is shorter than the levels its header announces."}},
      // 4x4 halves to 1x1 in three levels: a fourth names no image and could not be extracted.
      {"mip_chain_longer_than_the_full_chain",
       {{"a.dds", dds_file(dx10(4, 4, 71, 4), std::string(32, 'p'))}, {"t.tobj", descriptor({"a.dds"})}},
       {"[dds] Incompatible image type '$/a.dds'", a_dds_lines[0]}},
      {"cube_made_of_one_flat_image",
       {{"a.dds", bc1_4x4() + std::string(40, 'p')}, {"t.tobj", descriptor({"a.dds"}, 5)}},
       {"Image file $/a.dds of t.tobj holds 1 face(s); a cube map made of one image needs six."}},
      // Malformed descriptors.
      {"wrong_magic",
       {{"a.dds", bc1_4x4()}, {"t.tobj", wrong_magic}},
       {"[tobj] Failed reading tobj file, unrecognized magic 't.tobj'."}},
      {"descriptor_shorter_than_a_magic",
       {{"t.tobj", std::string("\x01\x0A", 2)}},
       {"[tobj] Failed reading tobj file, unrecognized magic 't.tobj'."}},
      {"cut_name", {{"t.tobj", cut_name}}, {"Failed reading map name from file 't.tobj'."}},
      {"name_count_0xFFFFFFFF", {{"t.tobj", ffff_count}}, {"Failed reading map name from file 't.tobj'."}},
      {"address_mode_without_meaning",
       {{"a.dds", bc1_4x4()}, {"t.tobj", bad_address}},
       {"Texture descriptor 't.tobj' has an unknown texture addressing mode."}},
      // Names that point at no image.
      {"missing_file",
       {{"t.tobj", descriptor({"gone.dds"})}},
       {"[fs] Failed to open file '$/gone.dds' in the read_only mode.",
        "Failed reading tobj dependency file $/gone.dds of t.tobj."}},
      {"another_descriptor",
       {{"a.dds", bc1_4x4()}, {"u.tobj", descriptor({"a.dds"})}, {"t.tobj", descriptor({"u.tobj"})}},
       {"Image file $/u.tobj of t.tobj is a texture descriptor, not an image."}},
      {"itself",
       {{"t.tobj", descriptor({"t.tobj"})}},
       {"Image file $/t.tobj of t.tobj is a texture descriptor, not an image."}},
      {"directory",
       {{"d/x.txt", "x"}, {"t.tobj", descriptor({"d"})}},
       {"[fs] Failed to open file '$/d' in the read_only mode.", "Failed reading tobj dependency file $/d of t.tobj."}},
      {"fifo",
       {{"f.dds", FIFO_MARKER}, {"t.tobj", descriptor({"f.dds"})}},
       {"[fs] Failed to open file '$/f.dds' in the read_only mode.",
        "Failed reading tobj dependency file $/f.dds of t.tobj."}},
      {"plain_file",
       {{"a.txt", "text"}, {"t.tobj", descriptor({"a.txt"})}},
       {"Failed decoding image of file $/a.txt of t.tobj."}},
      // Malformed images.
      {"garbage_dds_header",
       {{"a.dds", garbage_dds}, {"t.tobj", descriptor({"a.dds"})}},
       {"[dds] Incompatible image type '$/a.dds'", a_dds_lines[0]}},
      {"empty_dds",
       {{"a.dds", ""}, {"t.tobj", descriptor({"a.dds"})}},
       {"[fs] cached read - read request too big (<SYSFS>$/a.dds)", "[dds] Failed to read header of '$/a.dds'",
        a_dds_lines[0]}},
      {"dds_of_zero_width",
       {{"a.dds", dds_header(dx10(0, 4))}, {"t.tobj", descriptor({"a.dds"})}},
       {"[dds] Incompatible image type '$/a.dds'", a_dds_lines[0]}},
      {"dds_of_huge_size",
       {{"a.dds", dds_header(dx10(0xFFFFFFFF, 0xFFFFFFFF))}, {"t.tobj", descriptor({"a.dds"})}},
       {"[dds] Incompatible image type '$/a.dds'", a_dds_lines[0]}},
      // 0x147's low byte would be BC1_UNORM.
      {"dx10_format_above_255",
       {{"a.dds", dds_file(dx10(4, 4, 0x147), std::string(8, 'p'))}, {"t.tobj", descriptor({"a.dds"})}},
       {"[dds] Incompatible image type '$/a.dds'", a_dds_lines[0]}},
      {"truncated_png",
       {{"p.png", png_cut()}, {"t.tobj", descriptor({"p.png"})}},
       {"Failed reading file $/p.png of t.tobj."}},
      {"truncated_tga",
       {{"p.tga", tga_cut()}, {"t.tobj", descriptor({"p.tga"})}},
       {"Failed reading file $/p.tga of t.tobj."}},
      {"png_lying_about_its_size",
       {{"p.png", png_claiming(1000, 1000)}, {"t.tobj", descriptor({"p.png"})}},
       {"Failed reading file $/p.png of t.tobj."}},
      {"png_too_large_for_an_entry",
       {{"p.png", png_claiming(10000, 10000)}, {"t.tobj", descriptor({"p.png"})}},
       {"Image file $/p.png of t.tobj needs more than 268435455 bytes laid out; an image entry cannot hold it."}},
      // Its decoded size does not even fit the metadata record.
      {"png_of_the_largest_size",
       {{"p.png", png_claiming(65536, 65536)}, {"t.tobj", descriptor({"p.png"})}},
       {"Failed getting dependency of file $/p.png of t.tobj."}},
      {"png_cut_in_its_header",
       {{"p.png", png_cut().substr(0, 20)}, {"t.tobj", descriptor({"p.png"})}},
       {"Failed getting dependency of file $/p.png of t.tobj."}},
  };
}

std::vector<std::string> list_directory(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(path)) names.push_back(item.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string expand_root(const std::string& line, const std::string& root) {
  std::string out;
  for (char c : line) out += c == '$' ? root : std::string(1, c);
  return out;
}

class create_image_refusal_test : public create_image_test, public ::testing::WithParamInterface<refusal_case_t> {};

}  // namespace

TEST_P(create_image_refusal_test, fails_with_one_line_and_keeps_the_old_archive) {
  const refusal_case_t& c = GetParam();
  add("keep.txt", "old content");
  ASSERT_EQ(create().exit_code, 0);
  const std::string old_archive = read_file(archive());

  for (const auto& [path, bytes] : c.files) {
    if (bytes == FIFO_MARKER) {
      ASSERT_EQ(mkfifo((src() + "/" + path).c_str(), 0600), 0);
    } else {
      add(path, bytes);
    }
  }
  tool_result_t result = create();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  std::vector<std::string> lines;
  for (const std::string& line : c.lines) lines.push_back("*** ERROR *** : " + expand_root(line, src()));
  lines.push_back("*** ERROR *** : Failed to build archive!");
  EXPECT_EQ(result.err, crlf_lines(lines));
  EXPECT_EQ(read_file(archive()), old_archive);
  EXPECT_EQ(list_directory(dir.path()), (std::vector<std::string>{"a.qar", "src"}));
}

INSTANTIATE_TEST_SUITE_P(cases, create_image_refusal_test, ::testing::ValuesIn(refusal_cases()),
                         [](const ::testing::TestParamInfo<refusal_case_t>& info) { return info.param.name; });
