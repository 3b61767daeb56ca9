// Runs a fuzz target's entry point over files, or every file in directories,
// without libFuzzer: the seeds and the fuzzers' findings replayed as tests in
// any build. A failure aborts inside the entry point, so an exit status of 0
// means every input passed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const fs::path p = argv[i];
    std::error_code ec;
    if (fs::is_directory(p, ec)) {
      for (const auto& e : fs::recursive_directory_iterator(p))
        if (e.is_regular_file()) inputs.push_back(e.path());
    } else if (fs::exists(p, ec)) {
      inputs.push_back(p);
    } else {
      std::fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& p : inputs) {
    // Named first: a failing input aborts the run, and the last name on
    // standard error is the one that failed.
    std::fprintf(stderr, "%s\n", p.string().c_str());
    std::ifstream f(p, std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (!f.eof() && f.fail()) {
      std::fprintf(stderr, "replay: cannot read %s\n", p.string().c_str());
      return 2;
    }
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("replayed %zu inputs\n", inputs.size());
  return inputs.empty() ? 2 : 0;
}
