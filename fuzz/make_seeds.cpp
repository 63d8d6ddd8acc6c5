// Writes the hand-made part of the fuzz seeds with the test builders: small archives of
// both versions with every compression, hostile ones (tables past the end, counts far
// beyond the file, chunks outside the archive, sizes no stored bytes can make), listing
// blocks, metadata sets with image data, and list files. fuzz/make_seeds.sh adds what
// `create` writes and copies the DDS fixtures; the seeds are kept in fuzz/corpus/.
//   make_seeds OUT_DIR
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/cairn_builder.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/umbrautils/format/gdeflate.h"

namespace {

using namespace umbra_test;
namespace fs = std::filesystem;

fs::path g_out;

void put(const char* target, const std::string& name, const std::string& bytes) {
  fs::create_directories(g_out / target);
  std::ofstream(g_out / target / name, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size());
}

std::string text(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = (char)('a' + (i * 7 + i / 13) % 26);
  return s;
}

std::string gdeflate(const std::string& content) {
  umbra::array_dyn_t<umbra::u8> out;
  if (!umbra::gdeflate_compress(reinterpret_cast<const umbra::u8*>(content.data()), content.size(), out)) return "";
  return std::string(reinterpret_cast<const char*>(out.data()), out.count());
}

std::vector<uint32_t> image_words(umbra::format_t format, uint32_t w, uint32_t h, uint32_t mips, uint32_t faces,
                                  uint32_t type) {
  umbra::fs_meta_image_t image{format, type, w, h, faces, mips, 256, 512};
  uint32_t words[umbra::FS_META_IMAGE_WORDS] = {};
  umbra::fs_meta_pack_image(image, words);
  return {words[0], words[1]};
}

void v2_seeds() {
  // Every compression, a nested directory, a hidden file.
  cairn_v2_builder_t b;
  b.add_directory("", b.add_plain(v2_listing({"/d", "a.txt", "z.bin"})));
  b.add_directory("d", b.add_zlib(v2_listing({"/e", "b.txt"})));
  b.add_directory("d/e", b.add_block(raw_deflate(v2_listing({"c.txt"})), v2_listing({"c.txt"}).size(), 2));
  b.add_file("a.txt", b.add_plain("hello, cairn"));
  b.add_file("z.bin", b.add_block(zstd_compress(text(3000)), 3000, 4));
  b.add_file("d/b.txt", b.add_zlib(text(5000)));
  b.add_file("d/e/c.txt", b.add_block(gdeflate(text(70000)), 70000, 3));
  b.add_file("hidden.txt", b.add_plain("not listed"));
  put("cairn_v2_device", "builder_all_compressions", b.build());
  b.compress_tables = false;
  put("cairn_v2_device", "builder_plain_tables", b.build());

  // An image entry: a 16x16 BC1 texture with its chain, laid out as create lays it out.
  cairn_v2_builder_t img;
  img.add_directory("", img.add_plain(v2_listing({"t.tobj"})));
  img.add_image("t.tobj", image_words(umbra::format_t::BC1_UNORM, 16, 16, 5, 1, 0), 0x2a, img.add_plain(text(2560)));
  put("cairn_v2_device", "builder_image", img.build());

  // Hostile headers and chunks.
  cairn_v2_builder_t h = b;
  h.entry_count = 0x7fffffff;
  put("cairn_v2_device", "hostile_entry_count", h.build());
  h = b;
  h.metadata_table_offset = 1ull << 40;
  put("cairn_v2_device", "hostile_metadata_offset", h.build());
  cairn_v2_builder_t c;
  c.add_directory("", c.add_plain(v2_listing({"big", "out"})));
  c.add_entry(v2_entry_spec_t("big", false, {v2_record_t(128, v2_chunk_words(64, 0xfffffff, 0, 1))}));
  c.add_entry(v2_entry_spec_t("out", false, {v2_record_t(128, v2_chunk_words(16, 16, 1ull << 30, 0))}));
  put("cairn_v2_device", "hostile_chunks", c.build());
}

void v1_seeds() {
  cairn_v1_builder_t b;
  b.add_directory("", "*d\r\na.txt\r\nz.txt\r\n");
  b.add_directory("d", "b.txt\r\n");
  b.add_file("a.txt", "hello, cairn");
  b.add_file("z.txt", text(4000), true);
  b.add_file("d/b.txt", text(300));
  put("cairn_v1_device", "builder_tree", b.build());
  cairn_v1_builder_t h;
  h.add_directory("", "big\r\nfar\r\n");
  v1_entry_spec_t big;
  big.path = "big";
  big.content = "x";
  big.compressed = true;
  big.size = 0xfffffff0u;
  h.add(big);
  v1_entry_spec_t far;
  far.path = "far";
  far.content = "y";
  far.offset = 1ull << 40;
  h.add(far);
  put("cairn_v1_device", "hostile_sizes", h.build());
  h.entry_count = 0x10000000;
  put("cairn_v1_device", "hostile_entry_count", h.build());
}

void listing_seeds() {
  put("listing", "v2_names", v2_listing({"/dir", "a", "b.txt", "\xc3\xa9t\xc3\xa9"}));
  put("listing", "v2_count_past_end", v2_listing({"a", "b"}, 0x40000));
  put("listing", "v1_text", "*dir\r\n*\r\na.txt\n\nb.txt\r\r\n");
}

void list_file_seeds() {
  put("list_file", "paths", "a.txt\r\n/d/b.txt\r\nd\\c.txt\r\nx.dds\r\n/\r\n\r\ntail");
  put("list_file", "long_line", std::string(300, 'p') + "\r\n");
}

// Input of the image rebuild target: path choice, records (token choice, word count,
// words), then the data.
std::string rebuild_input(uint8_t choice, const std::vector<std::pair<uint8_t, std::vector<uint32_t>>>& records,
                          size_t data_size) {
  std::string s(1, (char)choice);
  s += (char)records.size();
  for (const auto& [token, words] : records) {
    s += (char)token;
    s += (char)words.size();
    s.append(reinterpret_cast<const char*>(words.data()), words.size() * 4);
  }
  return s + text(data_size);
}

void image_rebuild_seeds() {
  put("image_rebuild", "bc1_16_chain", rebuild_input(0, {{0, image_words(umbra::format_t::BC1_UNORM, 16, 16, 5, 1, 0)}, {1, {0x2a}}}, 2560));
  put("image_rebuild", "rgba8_cube", rebuild_input(1, {{0, image_words(umbra::format_t::R8G8B8A8_UNORM, 4, 4, 1, 6, 1)}}, 6 * 1024));
  put("image_rebuild", "bc1_legacy_short", rebuild_input(6, {{0, image_words(umbra::format_t::BC1_UNORM_SRGB, 64, 32, 7, 1, 0)}}, 100));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUT_DIR\n");
    return 2;
  }
  g_out = argv[1];
  v2_seeds();
  v1_seeds();
  listing_seeds();
  list_file_seeds();
  image_rebuild_seeds();
  return 0;
}
