// GDeflate pages of texture data against libdeflate level 12 over the same pages.
//
// Each texture of bench/make_texture_set.py (one or more of every kind the corpus holds,
// made by ImageMagick and nvcompress on first use into the build tree) is laid out by the
// packer's own image entry code, as create stores it, and cut into 64 KiB pages. Per kind,
// a row gives the bytes of our pages and of libdeflate-12's raw DEFLATE streams of the
// same pages side by side, and their ratio; the time is our encoder's. A second set of
// rows times libdeflate-12 on the same pages.
//
// Run: texture_pages_bench --benchmark_counters_tabular=true
// TEXTURE_PAGES_SET=DIR measures another set instead: DIR/textures.tsv lists
// "name<TAB>kind" lines for descriptors DIR/name.tobj, kinds as in the table below.
#include <benchmark/benchmark.h>
#include <libdeflate.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/packer/packer_image.h"
#include "tools/packer/packer_options.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

using umbra::u32;
using umbra::u64;
using umbra::u8;

const char* const KINDS[] = {"BC1", "BC3", "BC4", "BC5", "BC7", "RGBA8", "RGB8"};
constexpr int KIND_COUNT = sizeof(KINDS) / sizeof(KINDS[0]);

struct texture_t {
  std::string name;
  std::string kind;
  std::vector<u8> laid_out;  // the entry's levels before compression
};

std::vector<u8> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The laid out levels of the descriptor name.tobj in dir, by the packer's own code.
bool lay_out(const std::string& dir, const std::string& name, std::vector<u8>& out) {
  const std::vector<u8> descriptor = read_bytes(dir + "/" + name + ".tobj");
  umbra::image_entry_t entry;
  const u8 keep = umbra::no_compress;
  umbra::no_compress = 1;  // the levels as laid out, not their tile stream
  const bool ok = !descriptor.empty() &&
                  umbra::build_image_entry(descriptor.data(), descriptor.size(), (name + ".tobj").c_str(),
                                           dir.c_str(), &entry);
  umbra::no_compress = keep;
  if (!ok) return false;
  out.assign(entry.data.data(), entry.data.data() + entry.data.count());
  return true;
}

// Makes the set on first use and lays every texture out; empty (with a message) when the
// tools or the set are missing.
const std::vector<texture_t>& textures() {
  static const std::vector<texture_t> list = [] {
    std::vector<texture_t> v;
    const char* other_set = std::getenv("TEXTURE_PAGES_SET");
    const std::string dir = other_set ? other_set : UMBRA_BENCH_TEXTURE_DIR;
    const std::string command = "python3 '" UMBRA_BENCH_SOURCE_DIR "/make_texture_set.py' '" + dir + "'";
    if (!other_set && std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "texture_pages_bench: could not make the texture set in %s\n", dir.c_str());
      return v;
    }
    if (!umbra::fs_startup()) return v;
    std::ifstream listing(dir + "/textures.tsv");
    std::string line;
    while (std::getline(listing, line)) {
      std::istringstream fields(line);
      texture_t t;
      if (!std::getline(fields, t.name, '\t') || !std::getline(fields, t.kind)) continue;
      if (!lay_out(dir, t.name, t.laid_out)) {
        std::fprintf(stderr, "texture_pages_bench: could not lay out %s\n", t.name.c_str());
        continue;
      }
      v.push_back(std::move(t));
    }
    return v;
  }();
  return list;
}

std::vector<const texture_t*> of_kind(int kind) {
  std::vector<const texture_t*> v;
  for (const texture_t& t : textures()) {
    if (t.kind == KINDS[kind]) v.push_back(&t);
  }
  return v;
}

// Bytes of our pages over every page of the textures.
u64 our_pages(umbra::gdeflate_encoder_t& encoder, const std::vector<const texture_t*>& set,
              std::vector<u8>& page) {
  u64 total = 0;
  for (const texture_t* t : set) {
    for (u64 at = 0; at < t->laid_out.size(); at += umbra::GDEFLATE_PAGE_SIZE) {
      const u32 n = (u32)std::min<u64>(umbra::GDEFLATE_PAGE_SIZE, t->laid_out.size() - at);
      total += umbra::gdeflate_encode_page(encoder, t->laid_out.data() + at, n, page.data(), (u32)page.size());
    }
  }
  return total;
}

u64 libdeflate_pages(libdeflate_compressor* compressor, const std::vector<const texture_t*>& set,
                     std::vector<u8>& page) {
  page.resize(std::max(page.size(), libdeflate_deflate_compress_bound(compressor, umbra::GDEFLATE_PAGE_SIZE)));
  u64 total = 0;
  for (const texture_t* t : set) {
    for (u64 at = 0; at < t->laid_out.size(); at += umbra::GDEFLATE_PAGE_SIZE) {
      const size_t n = (size_t)std::min<u64>(umbra::GDEFLATE_PAGE_SIZE, t->laid_out.size() - at);
      total += libdeflate_deflate_compress(compressor, t->laid_out.data() + at, n, page.data(), page.size());
    }
  }
  return total;
}

u64 input_bytes(const std::vector<const texture_t*>& set) {
  u64 total = 0;
  for (const texture_t* t : set) total += t->laid_out.size();
  return total;
}

struct peer_t {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(12);
  ~peer_t() { libdeflate_free_compressor(compressor); }
};

// "BC1: 200416 / 200425 bytes; bc1_plasma_512 0.9991, bc1_noise_256 1.0002": the kind's
// exact sizes, then each texture's ratio.
std::string sizes_label(int kind, u64 ours, u64 theirs, const std::vector<double>& ratios,
                        const std::vector<const texture_t*>& set) {
  char text[128];
  std::snprintf(text, sizeof(text), "%s: %llu / %llu bytes;", KINDS[kind], (unsigned long long)ours,
                (unsigned long long)theirs);
  std::string label = text;
  for (size_t i = 0; i < set.size(); ++i) {
    std::snprintf(text, sizeof(text), "%s %s %.4f", i ? "," : "", set[i]->name.c_str(), ratios[i]);
    label += text;
  }
  return label;
}

// Our encoder, timed; both sizes and their ratio as counters.
void texture_pages_ours(benchmark::State& state) {
  const int kind = (int)state.range(0);
  const std::vector<const texture_t*> set = of_kind(kind);
  if (set.empty()) {
    state.SkipWithError("no texture of this kind");
    return;
  }
  umbra::gdeflate_encoder_t* encoder = umbra::gdeflate_encoder_create();
  std::vector<u8> page(umbra::GDEFLATE_MAX_COMPRESSED_PAGE);
  peer_t peer;
  u64 ours = 0;
  for (auto _ : state) ours = our_pages(*encoder, set, page);
  // Per texture, untimed.
  u64 theirs = 0;
  std::vector<double> ratios;
  for (const texture_t* t : set) {
    const u64 a = our_pages(*encoder, {t}, page);
    const u64 b = libdeflate_pages(peer.compressor, {t}, page);
    theirs += b;
    ratios.push_back((double)a / (double)b);
  }
  umbra::gdeflate_encoder_destroy(encoder);
  const u64 bytes = input_bytes(set);
  state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
  state.counters["input"] = (double)bytes;
  state.counters["ours"] = (double)ours;
  state.counters["libdeflate12"] = (double)theirs;
  state.counters["ours/ld12"] = (double)ours / (double)theirs;
  state.SetLabel(sizes_label(kind, ours, theirs, ratios, set));
}

// libdeflate-12 on the same pages, timed.
void texture_pages_libdeflate12(benchmark::State& state) {
  const std::vector<const texture_t*> set = of_kind((int)state.range(0));
  if (set.empty()) {
    state.SkipWithError("no texture of this kind");
    return;
  }
  std::vector<u8> page(umbra::GDEFLATE_MAX_COMPRESSED_PAGE);
  peer_t peer;
  u64 theirs = 0;
  for (auto _ : state) theirs = libdeflate_pages(peer.compressor, set, page);
  const u64 bytes = input_bytes(set);
  state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
  state.counters["input"] = (double)bytes;
  state.counters["libdeflate12"] = (double)theirs;
  state.SetLabel(KINDS[state.range(0)]);
}

BENCHMARK(texture_pages_ours)->DenseRange(0, KIND_COUNT - 1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(texture_pages_libdeflate12)->DenseRange(0, KIND_COUNT - 1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
