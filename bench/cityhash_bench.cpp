// CityHash64 over path-like keys of the lengths archives actually hash: short names,
// typical relative paths, and the 255-byte cap of the hashed form.
#include <benchmark/benchmark.h>

#include <string>

#include "umbracore/ufs/cityhash.h"

namespace {

std::string path_like(size_t length) {
  static const char pattern[] = "textures/environment/sky/clouds_layer_0/";
  std::string text;
  while (text.size() < length) text += pattern;
  text.resize(length);
  return text;
}

void bm_cityhash64(benchmark::State& state) {
  const std::string text = path_like((size_t)state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(text.data());
    benchmark::DoNotOptimize(umbra::cityhash64(text.data(), text.size()));
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)text.size());
}

}  // namespace

BENCHMARK(bm_cityhash64)->Arg(8)->Arg(32)->Arg(64)->Arg(128)->Arg(255);
