// Sequential reads and writes through file_t (queued to the IO pump and waited for)
// against plain pread/pwrite on the same file, to show what the pump costs per block.
// UMBRA_IO_BACKEND=pread runs the file_t side on the fallback pump.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "umbracore/ufs/fs_device.h"

using namespace umbra;

namespace {

constexpr u64 FILE_SIZE = 64ull << 20;

struct bench_file_t {
  std::string path;
  bench_file_t() {
    char pattern[] = "/tmp/umbra_fs_bench_XXXXXX";
    int fd = mkstemp(pattern);
    path = pattern;
    std::vector<char> block(1 << 20, 'b');
    for (u64 done = 0; done < FILE_SIZE; done += block.size()) {
      if (write(fd, block.data(), block.size()) != (ssize_t)block.size()) std::abort();
    }
    close(fd);
    if (!fs_startup("")) std::abort();
  }
  ~bench_file_t() {
    fs_shutdown();
    unlink(path.c_str());
  }
};

bench_file_t& bench_file() {
  static bench_file_t file;
  return file;
}

auto_ptr_t<file_t> open_bench_file(u32 mode) {
  auto_ptr_t<file_t> file;
  if (!fs_device_open(file, bench_file().path.c_str(), mode, FS_DEVICE_SYSFS)) std::abort();
  return file;
}

void BM_file_read(benchmark::State& state) {
  const u64 block = (u64)state.range(0);
  auto_ptr_t<file_t> file = open_bench_file(FS_MODE_READ_ONLY);
  std::vector<char> buffer(block);
  for (auto _ : state) {
    if (file->get_position() + block > FILE_SIZE) file->set_position(0);
    if (!file->read(buffer.data(), block)) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * block));
}

void BM_file_read_at(benchmark::State& state) {
  const u64 block = (u64)state.range(0);
  auto_ptr_t<file_t> file = open_bench_file(FS_MODE_READ_ONLY);
  std::vector<char> buffer(block);
  u64 offset = 0;
  for (auto _ : state) {
    if (offset + block > FILE_SIZE) offset = 0;
    if (!file->read_at(buffer.data(), block, offset)) state.SkipWithError("read failed");
    offset += block;
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * block));
}

void BM_pread(benchmark::State& state) {
  const u64 block = (u64)state.range(0);
  int fd = open(bench_file().path.c_str(), O_RDONLY);
  std::vector<char> buffer(block);
  u64 offset = 0;
  for (auto _ : state) {
    if (offset + block > FILE_SIZE) offset = 0;
    if (pread(fd, buffer.data(), block, (off_t)offset) != (ssize_t)block) state.SkipWithError("pread failed");
    offset += block;
    benchmark::DoNotOptimize(buffer.data());
  }
  close(fd);
  state.SetBytesProcessed((int64_t)(state.iterations() * block));
}

void BM_file_write(benchmark::State& state) {
  const u64 block = (u64)state.range(0);
  auto_ptr_t<file_t> file = open_bench_file(FS_MODE_CREATE_OR_READ_WRITE);
  std::vector<char> buffer(block, 'w');
  for (auto _ : state) {
    if (file->get_position() + block > FILE_SIZE) file->set_position(0);
    if (!file->write(buffer.data(), block)) state.SkipWithError("write failed");
  }
  state.SetBytesProcessed((int64_t)(state.iterations() * block));
}

void BM_pwrite(benchmark::State& state) {
  const u64 block = (u64)state.range(0);
  int fd = open(bench_file().path.c_str(), O_RDWR);
  std::vector<char> buffer(block, 'w');
  u64 offset = 0;
  for (auto _ : state) {
    if (offset + block > FILE_SIZE) offset = 0;
    if (pwrite(fd, buffer.data(), block, (off_t)offset) != (ssize_t)block) state.SkipWithError("pwrite failed");
    offset += block;
  }
  close(fd);
  state.SetBytesProcessed((int64_t)(state.iterations() * block));
}

}  // namespace

// Wall time: the file_t side does its work on the pump thread, not the caller's.
BENCHMARK(BM_file_read)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_file_read_at)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_pread)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_file_write)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_pwrite)->Arg(4096)->Arg(1 << 20)->UseRealTime();
