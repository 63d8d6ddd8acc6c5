// The driver of the fuzz targets outside libFuzzer: runs LLVMFuzzerTestOneInput once on
// every file of the directories (or files) named on the command line, as libFuzzer runs
// a list of inputs. A directory that does not exist holds nothing (a target may have no
// kept findings yet); the program fails when no input was found at all, so that a moved
// corpus shows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // libFuzzer hands over a heap copy of exactly the input's size; so does this.
  std::vector<uint8_t> input(bytes);
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file()) files.push_back(entry.path());
      std::sort(files.begin(), files.end());
      for (const auto& file : files) runs += run_file(file) ? 1 : 0;
    } else if (std::filesystem::exists(path, error)) {
      if (!run_file(path)) return 1;
      ++runs;
    }
  }
  std::printf("%zu inputs run\n", runs);
  return runs > 0 ? 0 : 1;
}
