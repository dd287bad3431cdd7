// Replays every file of the directories named on the command line (a missing one
// holds nothing) through the target, in name order, so `make test` runs the corpus.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/fuzz/FuzzInput.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::size_t replayed = 0;
  for (int argument = 1; argument < argc; ++argument) {
    fs::path directory = argv[argument];
    std::error_code error;
    if (!fs::is_directory(directory, error)) {
      std::printf("%s: no such directory, nothing to replay\n", argv[argument]);
      continue;
    }
    std::vector<fs::path> files;
    for (auto const& entry : fs::directory_iterator(directory)) {
      auto name = entry.path().filename().string();
      if (entry.is_regular_file() && !name.starts_with(".") && name != "README.md") {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    for (auto const& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in.eof() && in.fail()) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
      }
      LLVMFuzzerTestOneInput(reinterpret_cast<std::uint8_t const*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return replayed == 0 ? 1 : 0;
}
