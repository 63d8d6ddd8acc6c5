// GDeflate tile streams against zlib on the same data, single thread: compress and
// decompress speed (MB/s of uncompressed data) and ratio on 8 MiB of BC1-like, BC7-like
// and mixed data made by a C++ port of the shared vectors' generators
// (gdeflate/vectors/gen_inputs.py, same SplitMix64 sequence and the same bytes).
// zlib runs at level 9 for compression. The decoder is also measured on its narrower
// paths (256-bit vectors, as on CPUs without the 512-bit ones, and none). The last
// benchmark sets our encoder's streams beside the published encoder's level-12 streams
// for the vector inputs.
//
// Run: gdeflate_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

using umbra::u32;
using umbra::u64;
using umbra::u8;

// ------------------------------------------------------------------ generators

struct rng_t {
  u64 s;
  explicit rng_t(u64 seed) : s(seed) {}
  u64 next64() {
    s += 0x9E3779B97F4A7C15ull;
    u64 z = s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  u64 below(u64 n) { return next64() % n; }
  void raw(size_t n, std::string& out) {
    std::string bytes;
    while (bytes.size() < n) {
      const u64 v = next64();
      for (int i = 0; i < 8; ++i) bytes.push_back((char)(v >> (8 * i)));
    }
    out.append(bytes, 0, n);
  }
};

const std::vector<std::string>& words() {
  static const std::vector<std::string> list = [] {
    const char* text =
        "the of and to in is that it for on with as was by at be this from or "
        "have an are which one all were but not they had their there been has "
        "when who will more no if out so said what up its about into than them "
        "can only other new some could time these two may then do first any my "
        "now such like our over man me even most made after also did many before "
        "must through back years where much your way well down should because "
        "each just those people how too little state good very make world still "
        "own see men work long get here between both life being under never day "
        "same another know while last might us great old year off come since "
        "against go came right used take three texture archive stream block page "
        "lane header table offset window symbol length distance literal buffer "
        "encoder decoder compress level round word bits format engine mount "
        "directory file path hash entry record chunk image sampler mip surface";
    std::vector<std::string> v;
    std::string w;
    for (const char* p = text;; ++p) {
      if (*p == ' ' || *p == 0) {
        if (!w.empty()) v.push_back(w);
        w.clear();
        if (*p == 0) break;
      } else {
        w.push_back(*p);
      }
    }
    return v;
  }();
  return list;
}

std::string text(rng_t& rng, size_t n) {
  std::string out;
  const auto& list = words();
  while (out.size() < n) {
    const u64 sentences = 2 + rng.below(5);
    for (u64 k = 0; k < sentences; ++k) {
      const u64 count = 4 + rng.below(11);
      std::string s;
      for (u64 i = 0; i < count; ++i) {
        std::string w = list[rng.below(list.size())];
        if (rng.below(20) == 0) w = std::to_string(rng.below(10000));
        if (i + 1 < count && rng.below(9) == 0) w += ",";
        if (i) s += " ";
        s += w;
      }
      if (s[0] >= 'a' && s[0] <= 'z') s[0] = (char)(s[0] - 'a' + 'A');
      out += s + ".  ";
    }
    out += "\n\n";
  }
  out.resize(n);
  return out;
}

std::string code_lines(rng_t& rng, size_t n) {
  static const char* names[] = {"count", "offset", "page", "lane", "size", "index", "value", "bits", "table", "result"};
  std::string out;
  int depth = 0;
  char line[160];
  while (out.size() < n) {
    const char* a = names[rng.below(10)];
    const char* b = names[rng.below(10)];
    const u64 r = rng.below(6);
    if (r == 0 && depth < 4) {
      std::snprintf(line, sizeof(line), "for (uint32_t %s = 0; %s < %s; ++%s) {", a, a, b, a);
      ++depth;
    } else if (r == 1 && depth > 0) {
      --depth;
      std::snprintf(line, sizeof(line), "}");
    } else if (r == 2) {
      std::snprintf(line, sizeof(line), "%s += %s * %d;", a, b, (int)rng.below(64));
    } else if (r == 3) {
      std::snprintf(line, sizeof(line), "if (%s == %s) return false;", a, b);
    } else {
      std::snprintf(line, sizeof(line), "%s = %s[%s & 0x%X];", a, b, a, (unsigned)rng.below(256));
    }
    out += std::string(4 * depth, ' ') + line + "\n";
  }
  out.resize(n);
  return out;
}

void put_le(std::string& out, u64 v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back((char)(v >> (8 * i)));
}

std::string records(rng_t& rng, size_t n) {
  std::string out;
  const u64 base = rng.below(1 << 20);
  for (u64 i = 0; out.size() < n; ++i) {
    put_le(out, base + i, 4);
    put_le(out, rng.below(40), 2);
    put_le(out, 1u << rng.below(8), 2);
    put_le(out, rng.below(1 << 16) * 16, 4);
  }
  out.resize(n);
  return out;
}

long long floor_div(long long a, long long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

std::string samples(rng_t& rng, size_t n) {
  std::string out;
  long long x = (long long)rng.below(2000) - 1000;
  long long v = 0;
  while (out.size() < n) {
    v += floor_div(-x, 64) + (long long)rng.below(9) - 4;
    x += v;
    x = std::max(-32768LL, std::min(32767LL, x));
    put_le(out, (u64)(x & 0xFFFF), 2);
  }
  out.resize(n);
  return out;
}

std::string mixed(rng_t& rng, size_t n) {
  std::string out;
  while (out.size() < n) {
    const u64 kind = rng.below(10);
    if (kind < 3) {
      const u64 len = 1024 + rng.below(7 * 1024);
      out += text(rng, len);
    } else if (kind < 5) {
      const u64 len = 512 + rng.below(4096);
      out += code_lines(rng, len);
    } else if (kind < 7) {
      const u64 len = 1024 + rng.below(5 * 1024);
      out += records(rng, len);
    } else if (kind < 8) {
      const u64 len = 1024 + rng.below(4096);
      out += samples(rng, len);
    } else if (kind < 9) {
      rng.raw(64 + rng.below(960), out);
    } else {
      out += std::string(rng.below(2048), '\0');
    }
  }
  out.resize(n);
  return out;
}

const u32 INDEX_PATTERNS[12] = {0x00000000, 0x55555555, 0xAAAAAAAA, 0xFFFFFFFF, 0x1B1B1B1B, 0xE4E4E4E4,
                                0x05050505, 0x50505050, 0x0000FFFF, 0xFFFF0000, 0x5A5A5A5A, 0xA5A5A5A5};

std::string bc1_like(rng_t& rng, size_t n, u64 width_blocks = 64) {
  std::string out;
  for (u64 i = 0; out.size() < n; ++i) {
    const long long bx = (long long)(i % width_blocks), by = (long long)(i / width_blocks);
    const long long r = (bx / 2 + by / 3 + (long long)rng.below(3)) & 31;
    const long long g = (bx + by / 2 + (long long)rng.below(5)) & 63;
    const long long b = (20 + (bx ^ by) / 8 + (long long)rng.below(3)) & 31;
    long long c0 = r << 11 | g << 5 | b;
    const long long r1 = std::max(r - 3 - (long long)rng.below(3), 0LL);
    const long long g1 = std::max(g - 6 - (long long)rng.below(6), 0LL);
    long long c1 = r1 << 11 | g1 << 5 | std::max(b - 2, 0LL);
    if (c0 <= c1) {
      const long long t = c0;
      c0 = c1 | 0x0800;
      c1 = t;
    }
    c0 &= 0xFFFF;
    u64 idx;
    if (rng.below(10) < 6) {
      idx = INDEX_PATTERNS[rng.below(12)];
    } else {
      idx = rng.next64() & 0xFFFFFFFF;
    }
    put_le(out, (u64)c0, 2);
    put_le(out, (u64)c1, 2);
    put_le(out, idx, 4);
  }
  out.resize(n);
  return out;
}

std::string bc7_like(rng_t& rng, size_t n, u64 width_blocks = 64) {
  static const u8 modes[6] = {0x40, 0x40, 0x40, 0x20, 0x10, 0x02};
  std::string out;
  std::string prev_idx(8, '\0');
  for (u64 i = 0; out.size() < n; ++i) {
    const u64 bx = i % width_blocks, by = i / width_blocks;
    std::string head(1, (char)modes[rng.below(6)]);
    for (u64 k = 0; k < 7; ++k) head.push_back((char)((bx * (k + 1) / 4 + by * 3 + k * 17 + rng.below(6)) & 0xFF));
    std::string idx;
    if (rng.below(4) == 0) {
      idx = prev_idx;
    } else {
      rng.raw(8, idx);
    }
    prev_idx = idx;
    out += head + idx;
  }
  out.resize(n);
  return out;
}

constexpr size_t DATA_SIZE = 8u << 20;

const std::vector<u8>& data_set(int which) {
  static std::map<int, std::vector<u8>> cache;
  auto it = cache.find(which);
  if (it != cache.end()) return it->second;
  rng_t rng(101 + which);
  const std::string bytes = which == 0   ? bc1_like(rng, DATA_SIZE)
                            : which == 1 ? bc7_like(rng, DATA_SIZE)
                                         : mixed(rng, DATA_SIZE);
  return cache[which] = std::vector<u8>(bytes.begin(), bytes.end());
}

const char* data_name(int which) { return which == 0 ? "bc1" : which == 1 ? "bc7" : "mixed"; }

std::vector<u8> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// ------------------------------------------------------------------ benchmarks

void set_rate(benchmark::State& state, size_t bytes, size_t compressed) {
  state.SetBytesProcessed((int64_t)(state.iterations() * bytes));
  state.counters["MB/s"] = benchmark::Counter((double)bytes * state.iterations() / 1e6, benchmark::Counter::kIsRate);
  state.counters["ratio"] = (double)compressed / (double)bytes;
  state.SetLabel(data_name((int)state.range(0)));
}

void gdeflate_compress(benchmark::State& state) {
  const std::vector<u8>& data = data_set((int)state.range(0));
  size_t compressed = 0;
  // As for zlib, the output buffer is taken once: both measure the codec, not the first
  // touch of fresh memory.
  umbra::array_dyn_t<u8> out;
  for (auto _ : state) {
    out.clear();
    if (!umbra::gdeflate_compress(data.data(), data.size(), out)) state.SkipWithError("compress failed");
    compressed = out.count();
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state, data.size(), compressed);
}

void gdeflate_decompress(benchmark::State& state) {
  const std::vector<u8>& data = data_set((int)state.range(0));
  umbra::array_dyn_t<u8> stream;
  umbra::gdeflate_compress(data.data(), data.size(), stream);
  std::vector<u8> out(data.size());
  for (auto _ : state) {
    if (!umbra::gdeflate_decompress(out.data(), out.size(), stream.data(), stream.count())) {
      state.SkipWithError("decompress failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != data) state.SkipWithError("round trip differs");
  set_rate(state, data.size(), stream.count());
}

// The decoder's narrower paths on the same pages: 256-bit vectors (range 1 = 1), as on
// CPUs without the 512-bit ones, and no vectors (range 1 = 2).
void gdeflate_decompress_narrower(benchmark::State& state) {
  const std::vector<u8>& data = data_set((int)state.range(0));
  const auto vectors = state.range(1) == 1 ? umbra::GDEFLATE_VECTORS_256 : umbra::GDEFLATE_VECTORS_NONE;
  umbra::gdeflate_encoder_t* encoder = umbra::gdeflate_encoder_create();
  std::vector<std::vector<u8>> pages;
  size_t compressed = 0;
  for (size_t at = 0; at < data.size(); at += umbra::GDEFLATE_PAGE_SIZE) {
    const u32 n = (u32)std::min<size_t>(umbra::GDEFLATE_PAGE_SIZE, data.size() - at);
    std::vector<u8> page(umbra::GDEFLATE_MAX_COMPRESSED_PAGE);
    page.resize(umbra::gdeflate_encode_page(*encoder, data.data() + at, n, page.data(), (u32)page.size()));
    compressed += page.size();
    pages.push_back(std::move(page));
  }
  umbra::gdeflate_encoder_destroy(encoder);
  umbra::gdeflate_decoder_t* decoder = umbra::gdeflate_decoder_create(vectors);
  std::vector<u8> out(data.size());
  for (auto _ : state) {
    for (size_t i = 0; i < pages.size(); ++i) {
      const size_t at = i * umbra::GDEFLATE_PAGE_SIZE;
      const u32 n = (u32)std::min<size_t>(umbra::GDEFLATE_PAGE_SIZE, data.size() - at);
      if (!umbra::gdeflate_decode_page(*decoder, pages[i].data(), pages[i].size(), out.data() + at, n)) {
        state.SkipWithError("decode failed");
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  umbra::gdeflate_decoder_destroy(decoder);
  if (out != data) state.SkipWithError("round trip differs");
  set_rate(state, data.size(), compressed);
}

void zlib9_compress(benchmark::State& state) {
  const std::vector<u8>& data = data_set((int)state.range(0));
  std::vector<u8> out(compressBound(data.size()));
  uLongf size = 0;
  for (auto _ : state) {
    size = out.size();
    if (compress2(out.data(), &size, data.data(), data.size(), 9) != Z_OK) state.SkipWithError("zlib failed");
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state, data.size(), size);
}

void zlib_inflate(benchmark::State& state) {
  const std::vector<u8>& data = data_set((int)state.range(0));
  std::vector<u8> stream(compressBound(data.size()));
  uLongf stream_size = stream.size();
  compress2(stream.data(), &stream_size, data.data(), data.size(), 9);
  std::vector<u8> out(data.size());
  for (auto _ : state) {
    uLongf size = out.size();
    if (uncompress(out.data(), &size, stream.data(), stream_size) != Z_OK) state.SkipWithError("zlib failed");
    benchmark::DoNotOptimize(out.data());
  }
  set_rate(state, data.size(), stream_size);
}

// Our stream sizes for the vector inputs beside the published encoder's level 12.
void vectors_against_reference_level_12(benchmark::State& state) {
  static const char* inputs[] = {"v05_text65535", "v06_text65536", "v07_text65537", "v08_mixed160k",
                                 "v11_farrepeat128k", "v12_bc1_128k", "v13_bc7_128k", "v14_multiblock64k"};
  const std::string dir = std::string(UMBRA_TEST_DATA_DIR) + "/gdeflate/";
  u64 ours = 0, reference = 0, worst_permille = 0, input_bytes = 0;
  for (auto _ : state) {
    ours = reference = input_bytes = 0;
    for (const char* name : inputs) {
      const std::vector<u8> input = read_bytes(dir + name + ".bin");
      const u64 ref = read_bytes(dir + name + ".L12.gd").size();
      umbra::array_dyn_t<u8> out;
      umbra::gdeflate_compress(input.data(), input.size(), out);
      ours += out.count();
      reference += ref;
      input_bytes += input.size();
      worst_permille = std::max<u64>(worst_permille, out.count() * 100000 / ref);
    }
  }
  state.counters["ours/L12"] = (double)ours / (double)reference;
  state.counters["worst ours/L12"] = (double)worst_permille / 100000.0;
  state.SetBytesProcessed((int64_t)(state.iterations() * input_bytes));
}

BENCHMARK(gdeflate_compress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(zlib9_compress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(gdeflate_decompress)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(zlib_inflate)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(gdeflate_decompress_narrower)
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);
BENCHMARK(vectors_against_reference_level_12)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
