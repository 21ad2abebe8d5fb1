// Runs a fuzz target's entry point once over every file it is given, or every file in the
// folders it is given, without libFuzzer: the seed and regression inputs become a plain test of
// the normal build. A property that fails aborts, which fails the test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> InputsOf(const char* argument) {
  std::vector<fs::path> inputs;
  const fs::path path(argument);
  std::error_code error;
  if (fs::is_directory(path, error)) {
    for (const auto& entry : fs::directory_iterator(path, error)) {
      if (entry.is_regular_file(error)) {
        inputs.push_back(entry.path());
      }
    }
    std::sort(inputs.begin(), inputs.end());
  } else if (fs::is_regular_file(path, error)) {
    inputs.push_back(path);
  }
  return inputs;
}

bool RunOne(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    return false;
  }
  const std::vector<char> content((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
  // A block of exactly the input's size, so that a sanitizer sees any read past its end.
  const std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[content.size()]);
  std::copy(content.begin(), content.end(), data.get());
  LLVMFuzzerTestOneInput(data.get(), content.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t ran = 0;
  for (int i = 1; i < argc; ++i) {
    for (const fs::path& input : InputsOf(argv[i])) {
      if (!RunOne(input)) {
        return 1;
      }
      ++ran;
    }
  }
  std::printf("%zu inputs ran\n", ran);
  // No input at all means a misnamed corpus, not a pass.
  return ran > 0 ? 0 : 1;
}
