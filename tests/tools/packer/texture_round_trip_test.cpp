// Textures through `create` and `extract` and back: the rebuilt files hold the source
// pixels, independent DDS readers accept them, and packing an extracted tree again
// gives the same archive. The DDS files come from NVIDIA Texture Tools and ImageMagick
// (tests/fixtures/dds) or are written here with the DX10 header those tools never write;
// the PNG files come from ImageMagick (tests/fixtures/raster).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"

using namespace umbra_test;

namespace {

struct texture_t {
  std::string name;                  // the descriptor is t/<name>.tobj
  std::vector<std::string> sources;  // images below t/, one per face for a cube of six
  tobj_desc_t descriptor;            // names are filled in from sources
  unsigned format;                   // of the image entry
  uint8_t rebuilt_sampler[6];        // bytes 26-28 and 30-32 of the rebuilt descriptor
  bool linear_in_legacy;             // the legacy header needs the descriptor's colour space
};

tobj_desc_t texture_kind(uint8_t texture_type = 2, uint8_t color_space = 0) {
  tobj_desc_t s;
  s.texture_type = texture_type;
  s.color_space = color_space;
  return s;
}

// Filter 3 and mip filter 3 come back as 1; address 1 as 2, 5 as 4.
tobj_desc_t odd_sampler() {
  tobj_desc_t s;
  s.filter_primary = 3;
  s.mip_filter = 3;
  s.address_u = 1;
  s.address_v = 5;
  s.address_w = 3;
  return s;
}

const std::vector<std::string> SIX_FACES = {"nvtt_bc1_face0_8x8.dds", "nvtt_bc1_face1_8x8.dds",
                                            "nvtt_bc1_face2_8x8.dds", "nvtt_bc1_face3_8x8.dds",
                                            "nvtt_bc1_face4_8x8.dds", "nvtt_bc1_face5_8x8.dds"};

const std::vector<texture_t> TEXTURES = {
    {"bc1_256", {"nvtt_bc1_256x256_mips.dds"}, texture_kind(), 72, {1, 1, 2, 0, 0, 0}, false},
    {"bc1_linear", {"nvtt_bc1_32x32_mips.dds"}, texture_kind(2, 1), 71, {1, 1, 2, 0, 0, 0}, true},
    {"bc3", {"nvtt_bc3_32x16_mips.dds"}, odd_sampler(), 78, {1, 1, 1, 2, 4, 3}, false},
    {"bc3_linear", {"nvtt_bc3_32x16_mips.dds"}, texture_kind(2, 1), 77, {1, 1, 2, 0, 0, 0}, true},
    {"bc5", {"nvtt_bc5_32x32_mips.dds"}, texture_kind(), 83, {1, 1, 2, 0, 0, 0}, false},
    {"argb", {"nvtt_a8r8g8b8_8x8.dds"}, texture_kind(), 91, {1, 1, 2, 0, 0, 0}, false},
    {"argb_linear", {"nvtt_a8r8g8b8_8x8.dds"}, texture_kind(2, 1), 87, {1, 1, 2, 0, 0, 0}, true},
    {"rgb24", {"magick_r8g8b8_8x8.dds"}, texture_kind(), 203, {1, 1, 2, 0, 0, 0}, false},
    {"rgb24_linear", {"magick_r8g8b8_8x8.dds"}, texture_kind(2, 1), 201, {1, 1, 2, 0, 0, 0}, true},
    {"cube_one", {"nvtt_x8r8g8b8_cube_8x8.dds"}, texture_kind(5), 93, {1, 1, 2, 0, 0, 0}, false},
    {"cube_six", SIX_FACES, texture_kind(5), 72, {1, 1, 2, 0, 0, 0}, false},
    {"dx10_bc7", {"dx10_bc7_16x16_mips.dds"}, texture_kind(), 98, {1, 1, 2, 0, 0, 0}, false},
    {"dx10_rgba", {"dx10_rgba8_4x2.dds"}, texture_kind(), 28, {1, 1, 2, 0, 0, 0}, true},
    {"dx10_half_cube", {"dx10_rgba16f_cube_4x4.dds"}, texture_kind(5), 10, {1, 1, 2, 0, 0, 0}, false},
    {"png_rgb", {"magick_rgb8_13x7.png"}, texture_kind(), 202, {1, 1, 2, 0, 0, 0}, false},
    {"png_rgba", {"magick_rgba8_9x5.png"}, texture_kind(), 29, {1, 1, 2, 0, 0, 0}, false},
    {"png_rgba_linear", {"magick_rgba8_9x5.png"}, texture_kind(2, 1), 28, {1, 1, 2, 0, 0, 0}, true},
};

bool is_fixture(const std::string& name) { return name.rfind("dx10_", 0) != 0; }
bool is_raster(const std::string& name) { return name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0; }

// A raster fixture's pixels as ImageMagick decodes them: magick_rgba8_9x5.png has
// magick_rgba8_9x5.rgba beside it.
std::string raster_pixels(const std::string& name) {
  const size_t channels_end = name.find_first_of("0123456789");
  const std::string channels = name.substr(7, channels_end - 7);  // after "magick_"
  return read_file(texture_fixture("raster/" + name.substr(0, name.size() - 4) + "." + channels));
}

uint32_t load_be32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | (uint8_t)bytes[at + i];
  return value;
}

// Width and height from a DDS header or from a PNG's IHDR chunk.
void image_size(const std::string& name, const std::string& bytes, uint32_t* width, uint32_t* height) {
  if (is_raster(name)) {
    *width = load_be32(bytes, 16);
    *height = load_be32(bytes, 20);
    return;
  }
  std::memcpy(width, &bytes[16], 4);
  std::memcpy(height, &bytes[12], 4);
}

// The DX10 files no tool here writes.
std::string written_source(const std::string& name) {
  dds_desc_t s;
  if (name == "dx10_bc7_16x16_mips.dds") {
    s.width = s.height = 16;
    s.mips = 2;
    s.dxgi_format = 98;
    return dds_file(s, patterned_bytes(256 + 64, 7));
  }
  if (name == "dx10_rgba8_4x2.dds") {
    s.width = 4;
    s.height = 2;
    s.dxgi_format = 28;
    return dds_file(s, patterned_bytes(32, 8));
  }
  s.cube = true;
  s.dxgi_format = 10;
  return dds_file(s, patterned_bytes(6 * 4 * 4 * 8, 9));
}

size_t header_size(const std::string& dds) { return dds.compare(84, 4, "DX10") == 0 ? 148 : 128; }
std::string pixels_of(const std::string& dds) { return dds.substr(header_size(dds)); }

// The whole rebuilt descriptor: the constant header, then the DDS path.
std::string rebuilt_descriptor(const texture_t& t, uint8_t color_space) {
  std::string bytes(40, '\0');
  const char magic[4] = {'\x01', '\x0A', '\xB1', '\x70'};
  bytes.replace(0, 4, magic, 4);
  bytes[20] = 1;
  bytes[24] = (char)(t.descriptor.texture_type == 5 ? 5 : 2);
  for (int i = 0; i < 3; ++i) bytes[26 + i] = (char)t.rebuilt_sampler[i];
  for (int i = 0; i < 3; ++i) bytes[30 + i] = (char)t.rebuilt_sampler[3 + i];
  bytes[37] = 1;
  bytes[38] = (char)color_space;
  const std::string path = "/t/" + t.name + ".dds";
  const uint64_t length = path.size();
  bytes.append(reinterpret_cast<const char*>(&length), 8);
  return bytes + path;
}

std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// What Pillow makes of each file: a digest of its mode, size and decoded pixels, or ""
// when it cannot read the file. One interpreter for all files: starting one is slow.
std::vector<std::string> pillow_decode(const std::vector<std::string>& files) {
  static const char* const script =
      "import sys, hashlib\n"
      "from PIL import Image\n"
      "for name in sys.argv[1:]:\n"
      "    try:\n"
      "        im = Image.open(name); im.load()\n"
      "        digest = hashlib.sha256(('%s %dx%d ' % (im.mode, im.size[0], im.size[1])).encode() + im.tobytes())\n"
      "        print(digest.hexdigest())\n"
      "    except Exception:\n"
      "        print()\n";
  std::vector<std::string> args = {"-c", script};
  args.insert(args.end(), files.begin(), files.end());
  tool_result_t result = run_program("/usr/bin/python3", args);
  EXPECT_EQ(result.exit_code, 0) << result.err << " (scripts/install_deps.sh installs python3-pil)";
  std::vector<std::string> digests;
  for (size_t start = 0, end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1)
    digests.push_back(result.out.substr(start, end - start));
  EXPECT_EQ(digests.size(), files.size());
  digests.resize(files.size());
  return digests;
}

// What ImageMagick makes of a file: its pixels as RGBA, or "" when it cannot read it.
std::string magick_decode(const std::string& file) {
  static const std::string convert = find_program("convert");
  tool_result_t result = run_program(convert, {file, "rgba:-"});
  return result.exit_code == 0 ? result.out : "";
}

std::string source_bytes(const std::string& name) {
  if (is_raster(name)) return read_file(texture_fixture("raster/" + name));
  return is_fixture(name) ? read_file(texture_fixture("dds/" + name)) : written_source(name);
}

// What the rebuilt DDS must hold after its header.
std::string source_pixels(const std::string& name) {
  return is_raster(name) ? raster_pixels(name) : pixels_of(source_bytes(name));
}

// ImageMagick 6 reads the rows of an uncompressed DDS as B, G, R (and A) whatever its
// masks say, so it shows the R8G8B8(A8) files rebuilt from PNG images with red and blue
// swapped; Pillow follows the masks and reads them as their sources.
std::string swap_red_and_blue(std::string rgba) {
  for (size_t i = 0; i + 2 < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
  return rgba;
}

class texture_round_trip_test : public packer_tree_test_t {
 protected:
  void SetUp() override {
    for (const texture_t& t : TEXTURES) {
      tobj_desc_t descriptor = t.descriptor;
      for (const std::string& source : t.sources) {
        descriptor.names.push_back("t/" + source);
        if (!file_exists(src() + "/t/" + source))
          add("t/" + source, source_bytes(source));
      }
      add("t/" + t.name + ".tobj", tobj_file(descriptor));
    }
    add("t/readme.txt", "plain files pass through beside the textures");
    tool_result_t made = create();
    ASSERT_EQ(made.exit_code, 0) << made.err;
    ASSERT_EQ(made.err, "");
  }

  void extract_ok(const std::vector<std::string>& extra = {}) {
    std::filesystem::remove_all(out());
    tool_result_t result = extract(extra);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    ASSERT_EQ(result.err, "");
  }
  std::string source(const std::string& name) const { return read_file(src() + "/t/" + name); }
  std::string rebuilt_dds(const texture_t& t) const { return read_file(out() + "/t/" + t.name + ".dds"); }

  // `create` of the extracted tree must give the first archive again.
  void expect_second_generation_identical() {
    const std::string again = dir / "again.qar";
    tool_result_t made = run_packer({"create", again, "-root", out()}, dir.path());
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_TRUE(read_file(again) == read_file(archive())) << "the second generation differs";
  }
};

TEST_F(texture_round_trip_test, second_generation_is_byte_identical) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "-dds-legacy" : "DX10 headers");
    extract_ok(legacy ? std::vector<std::string>{"-dds-legacy"} : std::vector<std::string>{});
    expect_second_generation_identical();
  }
}

TEST_F(texture_round_trip_test, rebuilt_files_hold_the_source_pixels_and_one_name) {
  for (bool legacy : {false, true}) {
    extract_ok(legacy ? std::vector<std::string>{"-dds-legacy"} : std::vector<std::string>{});
    for (const texture_t& t : TEXTURES) {
      SCOPED_TRACE(t.name + (legacy ? " -dds-legacy" : ""));
      std::string pixels;
      for (const std::string& s : t.sources) pixels += source_pixels(s);
      const std::string dds = rebuilt_dds(t);
      ASSERT_GE(dds.size(), 128u);
      EXPECT_EQ(header_size(dds), legacy && t.format != 98 ? 128u : 148u);
      EXPECT_TRUE(pixels_of(dds) == pixels) << "pixels differ";
      EXPECT_EQ(read_file(out() + "/t/" + t.name + ".tobj"), rebuilt_descriptor(t, legacy && t.linear_in_legacy));
    }
    EXPECT_EQ(read_file(out() + "/t/readme.txt"), "plain files pass through beside the textures");
  }
}

TEST_F(texture_round_trip_test, nvddsinfo_accepts_every_rebuilt_file) {
  for (bool legacy : {false, true}) {
    extract_ok(legacy ? std::vector<std::string>{"-dds-legacy"} : std::vector<std::string>{});
    for (const texture_t& t : TEXTURES) {
      SCOPED_TRACE(t.name + (legacy ? " -dds-legacy" : ""));
      const std::string file = out() + "/t/" + t.name + ".dds";
      tool_result_t info = run_program("/usr/bin/nvddsinfo", {file});
      ASSERT_EQ(info.exit_code, 0) << info.out << info.err << " (scripts/install_deps.sh installs libnvtt-bin)";
      uint32_t width = 0, height = 0;
      image_size(t.sources[0], source(t.sources[0]), &width, &height);
      EXPECT_NE(info.out.find("Width: " + std::to_string(width) + "\n"), std::string::npos) << info.out;
      EXPECT_NE(info.out.find("Height: " + std::to_string(height) + "\n"), std::string::npos) << info.out;
      const bool dx10 = header_size(rebuilt_dds(t)) == 148;
      EXPECT_EQ(info.out.find("DXGI Format: " + std::to_string(t.format) + " ") != std::string::npos, dx10) << info.out;
    }
  }
}

// Pillow shows a cube as its first face, ImageMagick as its faces one after the other:
// a cube of six files is compared with its first file and with all six.
TEST_F(texture_round_trip_test, legacy_files_decode_like_their_sources) {
  ASSERT_FALSE(find_program("convert").empty()) << "scripts/install_deps.sh installs imagemagick";
  extract_ok({"-dds-legacy"});
  std::vector<std::string> first_sources, rebuilt;
  for (const texture_t& t : TEXTURES) {
    first_sources.push_back(src() + "/t/" + t.sources[0]);
    rebuilt.push_back(out() + "/t/" + t.name + ".dds");
  }
  const std::vector<std::string> pillow_sources = pillow_decode(first_sources);
  const std::vector<std::string> pillow_rebuilt = pillow_decode(rebuilt);
  int pillow_compared = 0, magick_compared = 0;
  for (size_t i = 0; i < TEXTURES.size(); ++i) {
    const texture_t& t = TEXTURES[i];
    SCOPED_TRACE(t.name);
    if (!pillow_sources[i].empty()) {
      EXPECT_EQ(pillow_rebuilt[i], pillow_sources[i]) << "Pillow decodes the rebuilt file differently";
      ++pillow_compared;
    }
    std::string magick_source;
    bool magick_reads_source = true;
    for (const std::string& s : t.sources) {
      const std::string face = magick_decode(src() + "/t/" + s);
      magick_reads_source = magick_reads_source && !face.empty();
      magick_source += face;
    }
    if (!magick_reads_source) continue;
    if (is_raster(t.sources[0])) magick_source = swap_red_and_blue(magick_source);
    EXPECT_TRUE(magick_decode(rebuilt[i]) == magick_source) << "ImageMagick decodes the rebuilt file differently";
    ++magick_compared;
  }
  // Both read every legacy fixture and PNG (ImageMagick no ATI2), Pillow DX10 BC7 and RGBA8 too.
  EXPECT_EQ(pillow_compared, 16);
  EXPECT_EQ(magick_compared, 13);
}

}  // namespace
