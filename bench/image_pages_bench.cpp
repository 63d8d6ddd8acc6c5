// Large textures use every core: `create` of a tree whose work is one 4096x4096 BC7
// texture with its 13 mips, run by the real binary on one processor and on every
// processor in the same run. The pages of the one image entry are what takes the time;
// with two cores the run must take at most about 0.6 x the one-core time, and both runs
// must write the same archive byte for byte.
//
// The texture is made here: a brick wall with mortar, per-brick tint and noise, box-
// filtered down the mip chain and encoded as BC7 mode 6 blocks (bounding-box endpoints,
// indices by projection), so that its pages are those of a real BC7 texture rather than
// random bytes. The reference figure is the same image data compressed on one thread
// in-process.
//
// On a machine that others load, the scheduler shares the processors between sessions,
// not processes: run the bench in a session of its own with a raised share, e.g. as root
//   setsid sh -c 'echo -15 > /proc/self/autogroup; exec build/bench/image_pages_bench'
// or both runs measure mostly the other load.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "umbracore/umbrautils/format/dds.h"
#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/tobj.h"

namespace {

constexpr uint32_t TEXTURE_SIZE = 4096;

struct rgba_t {
  uint8_t c[4];
};

uint32_t hash32(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  return x ^ (x >> 16);
}

// Smooth value noise in [0, 1).
float value_noise(float x, float y, uint32_t seed) {
  const int xi = (int)std::floor(x), yi = (int)std::floor(y);
  const float fx = x - xi, fy = y - yi;
  auto at = [seed](int a, int b) { return (hash32((uint32_t)a * 73856093u ^ (uint32_t)b * 19349663u ^ seed) & 0xFFFF) / 65536.0f; };
  const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
  const float top = at(xi, yi) + (at(xi + 1, yi) - at(xi, yi)) * sx;
  const float bottom = at(xi, yi + 1) + (at(xi + 1, yi + 1) - at(xi, yi + 1)) * sx;
  return top + (bottom - top) * sy;
}

std::vector<rgba_t> brick_wall(uint32_t size) {
  std::vector<rgba_t> image((size_t)size * size);
  const uint32_t brick_w = 128, brick_h = 48, mortar = 6;
  for (uint32_t y = 0; y < size; ++y) {
    const uint32_t row = y / brick_h;
    for (uint32_t x = 0; x < size; ++x) {
      const uint32_t shifted = x + (row & 1) * (brick_w / 2);
      const uint32_t column = shifted / brick_w;
      const bool is_mortar = (y % brick_h) < mortar || (shifted % brick_w) < mortar;
      const float grain = value_noise(x / 9.0f, y / 9.0f, 1) * 0.6f + value_noise(x / 2.5f, y / 2.5f, 2) * 0.4f;
      const uint32_t tint = hash32(row * 7919u + column);
      rgba_t& p = image[(size_t)y * size + x];
      if (is_mortar) {
        const float v = 150 + 50 * grain;
        p = {{(uint8_t)v, (uint8_t)(v * 0.97f), (uint8_t)(v * 0.9f), 255}};
      } else {
        const float base = 0.75f + 0.25f * ((tint & 0xFF) / 255.0f);
        const float v = base * (0.7f + 0.3f * grain);
        p = {{(uint8_t)(170 * v + (tint >> 8 & 15)), (uint8_t)(80 * v), (uint8_t)(55 * v), 255}};
      }
    }
  }
  return image;
}

std::vector<rgba_t> half_size(const std::vector<rgba_t>& image, uint32_t size) {
  const uint32_t half = size / 2;
  std::vector<rgba_t> out((size_t)half * half);
  for (uint32_t y = 0; y < half; ++y) {
    for (uint32_t x = 0; x < half; ++x) {
      for (int c = 0; c < 4; ++c) {
        const uint32_t sum = image[(size_t)(2 * y) * size + 2 * x].c[c] + image[(size_t)(2 * y) * size + 2 * x + 1].c[c] +
                             image[(size_t)(2 * y + 1) * size + 2 * x].c[c] +
                             image[(size_t)(2 * y + 1) * size + 2 * x + 1].c[c];
        out[(size_t)y * half + x].c[c] = (uint8_t)((sum + 2) / 4);
      }
    }
  }
  return out;
}

struct bit_writer_t {
  uint8_t bytes[16] = {};
  uint32_t at = 0;
  void put(uint32_t value, uint32_t bits) {
    for (uint32_t i = 0; i < bits; ++i, ++at) bytes[at / 8] |= (uint8_t)(((value >> i) & 1) << (at % 8));
  }
};

// One BC7 mode 6 block: RGBA endpoints of 7 bits and a p-bit each, 4-bit indices.
void encode_block(const rgba_t pixels[16], uint8_t out[16]) {
  int lo[4] = {255, 255, 255, 255}, hi[4] = {0, 0, 0, 0};
  for (int i = 0; i < 16; ++i) {
    for (int c = 0; c < 4; ++c) {
      lo[c] = std::min(lo[c], (int)pixels[i].c[c]);
      hi[c] = std::max(hi[c], (int)pixels[i].c[c]);
    }
  }
  // Endpoint 0 carries p-bit 0, endpoint 1 p-bit 1.
  int e[2][4];
  for (int c = 0; c < 4; ++c) {
    e[0][c] = lo[c] >> 1;
    e[1][c] = std::max(0, (hi[c] - 1)) >> 1;
  }
  int p[2] = {0, 1};
  float d[4], dd = 0;
  for (int c = 0; c < 4; ++c) {
    d[c] = (float)((e[1][c] << 1 | 1) - (e[0][c] << 1));
    dd += d[c] * d[c];
  }
  uint32_t index[16];
  for (int i = 0; i < 16; ++i) {
    float t = 0;
    for (int c = 0; c < 4; ++c) t += (pixels[i].c[c] - (float)(e[0][c] << 1)) * d[c];
    t = dd > 0 ? t / dd : 0;
    index[i] = (uint32_t)std::clamp((int)std::lround(t * 15), 0, 15);
  }
  if (index[0] >= 8) {  // the anchor index has no top bit: swap the endpoints
    std::swap(e[0], e[1]);
    std::swap(p[0], p[1]);
    for (uint32_t& i : index) i = 15 - i;
  }
  bit_writer_t w;
  w.put(1u << 6, 7);
  for (int c = 0; c < 4; ++c) {
    w.put((uint32_t)e[0][c], 7);
    w.put((uint32_t)e[1][c], 7);
  }
  w.put((uint32_t)p[0], 1);
  w.put((uint32_t)p[1], 1);
  w.put(index[0], 3);
  for (int i = 1; i < 16; ++i) w.put(index[i], 4);
  std::memcpy(out, w.bytes, 16);
}

void encode_level(const std::vector<rgba_t>& image, uint32_t size, std::string& out) {
  const uint32_t blocks = std::max(1u, size / 4);
  for (uint32_t by = 0; by < blocks; ++by) {
    for (uint32_t bx = 0; bx < blocks; ++bx) {
      rgba_t pixels[16];
      for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t x = std::min(size - 1, bx * 4 + i % 4), y = std::min(size - 1, by * 4 + i / 4);
        pixels[i] = image[(size_t)y * size + x];
      }
      uint8_t block[16];
      encode_block(pixels, block);
      out.append(reinterpret_cast<const char*>(block), 16);
    }
  }
}

// The DDS file (DX10 header, BC7_UNORM) and its pixel bytes.
std::string bc7_texture(std::string* pixels) {
  std::vector<rgba_t> image = brick_wall(TEXTURE_SIZE);
  uint32_t mips = 0;
  for (uint32_t size = TEXTURE_SIZE; size >= 1; size /= 2) {
    encode_level(image, size, *pixels);
    ++mips;
    if (size > 1) image = half_size(image, size);
  }
  const umbra::dds_surface_t surface{umbra::format_t::BC7_UNORM, TEXTURE_SIZE, TEXTURE_SIZE, mips, false};
  const umbra::dds_written_header_t header = umbra::dds_make_header(surface, false);
  const std::string dds(reinterpret_cast<const char*>(header.bytes), header.size);
  return dds + *pixels;
}

void write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size());
}

struct tree_t {
  std::string dir;
  std::string pixels;
};

// Outlives every object with a destructor, for the removal at exit.
char tree_dir[] = "/tmp/image_pages_bench_XXXXXX";
void remove_tree() {
  std::error_code ignored;
  std::filesystem::remove_all(tree_dir, ignored);
}

const tree_t& texture_tree() {
  static tree_t tree = [] {
    tree_t t;
    t.dir = mkdtemp(tree_dir);
    std::filesystem::create_directories(t.dir + "/src/tex");
    write(t.dir + "/src/tex/wall.dds", bc7_texture(&t.pixels));
    umbra::tobj_header_t header{};
    header.magic = umbra::TOBJ_MAGIC;
    header.texture_type = umbra::TOBJ_TEXTURE_TYPE_SINGLE;
    std::string tobj(reinterpret_cast<const char*>(&header), sizeof(header));
    const std::string name = "tex/wall.dds";
    const uint64_t count = name.size();
    tobj.append(reinterpret_cast<const char*>(&count), 8);
    write(t.dir + "/src/tex/wall.tobj", tobj + name);
    std::atexit(remove_tree);
    return t;
  }();
  return tree;
}

struct run_t {
  double wall = -1;  // seconds, -1 when create failed
  double cpu = 0;    // user and system seconds of the process
};

// `create` with the process bound to the first `processors` processors.
run_t run_create(const tree_t& tree, const std::string& archive, int processors) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int i = 0; i < processors; ++i) CPU_SET(i, &set);
    sched_setaffinity(0, sizeof(set), &set);
    // On one processor the pool warns that its workers cannot have processors of their own.
    if (FILE* null = std::fopen("/dev/null", "w")) {
      dup2(fileno(null), 1);
      dup2(fileno(null), 2);
    }
    const std::string root = tree.dir + "/src";
    execl(QAR_PACKER_BINARY, QAR_PACKER_BINARY, "create", archive.c_str(), "-root", root.c_str(), (char*)nullptr);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  run_t run;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
  run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return run;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Both figures from the same run, alternating which goes first. The processor seconds
// show how much of the machine the runs had: on a loaded machine the wall ratio says
// little unless the runs got the processors they asked for.
void BM_create_one_bc7_4096_texture(benchmark::State& state) {
  const tree_t& tree = texture_tree();
  const int cores = (int)std::min<long>(2, sysconf(_SC_NPROCESSORS_ONLN));
  std::vector<double> one, all, one_cpu, all_cpu;
  bool identical = true;
  for (auto _ : state) {
    const bool one_first = one.size() % 2 == 0;
    run_t a, b;
    if (one_first) a = run_create(tree, tree.dir + "/one.qar", 1);
    b = run_create(tree, tree.dir + "/all.qar", cores);
    if (!one_first) a = run_create(tree, tree.dir + "/one.qar", 1);
    if (a.wall < 0 || b.wall < 0) {
      state.SkipWithError("create failed");
      return;
    }
    one.push_back(a.wall);
    all.push_back(b.wall);
    one_cpu.push_back(a.cpu);
    all_cpu.push_back(b.cpu);
    identical = identical && read_all(tree.dir + "/one.qar") == read_all(tree.dir + "/all.qar");
    state.SetIterationTime(b.wall);
  }
  state.counters["one_core_s"] = median(one);
  state.counters["one_core_cpu_s"] = median(one_cpu);
  state.counters["cores"] = cores;
  state.counters["all_cores_s"] = median(all);
  state.counters["all_cores_cpu_s"] = median(all_cpu);
  state.counters["ratio"] = median(all) / median(one);
  state.counters["identical"] = identical ? 1 : 0;
  state.counters["image_MB"] = tree.pixels.size() / 1e6;
}
BENCHMARK(BM_create_one_bc7_4096_texture)->UseManualTime()->Iterations(3)->Unit(benchmark::kSecond);

// The same pixels as one tile stream on the calling thread: what one core does without
// the archive around it.
void BM_gdeflate_one_thread(benchmark::State& state) {
  const tree_t& tree = texture_tree();
  umbra::array_dyn_t<umbra::u8> stream;
  for (auto _ : state) {
    stream.clear();
    benchmark::DoNotOptimize(
        umbra::gdeflate_compress(reinterpret_cast<const umbra::u8*>(tree.pixels.data()), tree.pixels.size(), stream));
  }
  state.counters["ratio_to_input"] = (double)stream.count() / tree.pixels.size();
}
BENCHMARK(BM_gdeflate_one_thread)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
