// What create's compression costs on its own: every file create compresses (not .bank,
// which it stores, nor textures), whole in memory, one thread, kept only when strictly
// smaller as create keeps it; libdeflate at the levels of -compression-level beside zlib
// level 9 (what create used before). The CPU time of one iteration is the figure to set
// beside create's CPU seconds on the same tree; "kept" is the kept bytes per input byte.
// Reading the same files (open, stat, one read, close) is measured apart, into a fresh
// buffer per file and into one reused buffer.
//
// The tree: $UMBRA_BENCH_TREE, else the plain-file copy bench/archive_bench.py makes in
// build/bench_corpus (run that first).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

bool compressed_by_create(const std::filesystem::path& path) {
  const std::string ext = path.extension().string();
  return ext != ".bank" && ext != ".dds" && ext != ".tobj";
}

std::string tree_dir() {
  const char* dir = std::getenv("UMBRA_BENCH_TREE");
  return dir ? dir : UMBRA_BENCH_CORPUS_DIR "/medium_notex";
}

struct tree_files_t {
  std::vector<std::string> paths;
  std::vector<std::vector<unsigned char>> contents;
  size_t bytes = 0;
};

const tree_files_t& tree_files() {
  static const tree_files_t files = [] {
    tree_files_t t;
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(tree_dir(), error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (!it->is_regular_file() || !compressed_by_create(it->path())) continue;
      std::ifstream in(it->path(), std::ios::binary);
      t.paths.push_back(it->path().string());
      t.contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      t.bytes += t.contents.back().size();
    }
    return t;
  }();
  return files;
}

bool have_tree(benchmark::State& state) {
  if (!tree_files().contents.empty()) return true;
  state.SkipWithError(("no files under " + tree_dir() + " (run bench/archive_bench.py first)").c_str());
  return false;
}

void report(benchmark::State& state, size_t kept) {
  const tree_files_t& t = tree_files();
  state.counters["kept"] = (double)kept / (double)t.bytes;
  state.counters["in_MB"] = (double)t.bytes / 1e6;
  state.counters["files"] = (double)t.contents.size();
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)t.bytes);
}

void bm_libdeflate_files(benchmark::State& state) {
  if (!have_tree(state)) return;
  libdeflate_compressor* compressor = libdeflate_alloc_compressor((int)state.range(0));
  std::vector<unsigned char> out;
  size_t kept = 0;
  for (auto _ : state) {
    kept = 0;
    for (const auto& data : tree_files().contents) {
      // Room for one byte less than the data: what does not fit is stored.
      if (data.size() <= 8) {
        kept += data.size();
        continue;
      }
      out.resize(data.size() - 1);
      const size_t made = libdeflate_zlib_compress(compressor, data.data(), data.size(), out.data(), out.size());
      kept += made ? made : data.size();
    }
  }
  libdeflate_free_compressor(compressor);
  report(state, kept);
}
BENCHMARK(bm_libdeflate_files)->Arg(6)->Arg(9)->Arg(10)->Arg(12)->Iterations(1)->Unit(benchmark::kMillisecond);

void bm_zlib_files(benchmark::State& state) {
  if (!have_tree(state)) return;
  std::vector<unsigned char> out;
  size_t kept = 0;
  for (auto _ : state) {
    kept = 0;
    for (const auto& data : tree_files().contents) {
      uLongf made = compressBound((uLong)data.size());
      out.resize(made);
      if (compress2(out.data(), &made, data.data(), (uLong)data.size(), (int)state.range(0)) != Z_OK)
        made = data.size();
      kept += made < data.size() ? made : data.size();
    }
  }
  report(state, kept);
}
BENCHMARK(bm_zlib_files)->Arg(9)->Iterations(1)->Unit(benchmark::kMillisecond);

// Reads every file the way create does (open, stat, one read of the whole file, close);
// argument 1 reads each into a fresh buffer of its own size, 0 into one reused buffer.
void bm_read_files(benchmark::State& state) {
  if (!have_tree(state)) return;
  const bool fresh = state.range(0) != 0;
  std::vector<unsigned char> reused;
  size_t read_bytes = 0;
  for (auto _ : state) {
    read_bytes = 0;
    for (const std::string& path : tree_files().paths) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st;
      if (fd < 0 || ::fstat(fd, &st) != 0) {
        state.SkipWithError(("cannot read " + path).c_str());
        if (fd >= 0) ::close(fd);
        return;
      }
      const size_t size = (size_t)st.st_size;
      unsigned char* buffer = nullptr;
      if (fresh) {
        buffer = static_cast<unsigned char*>(std::malloc(size ? size : 1));
      } else {
        if (reused.size() < size) reused.resize(size);
        buffer = reused.data();
      }
      const ssize_t got = ::pread(fd, buffer, size, 0);
      read_bytes += got > 0 ? (size_t)got : 0;
      benchmark::DoNotOptimize(buffer[0]);
      if (fresh) std::free(buffer);
      ::close(fd);
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)read_bytes);
}
BENCHMARK(bm_read_files)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
