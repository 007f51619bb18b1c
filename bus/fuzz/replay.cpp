// The replay driver: where no libFuzzer is linked in (a g++ build, CI), each
// fuzz target is this main around its LLVMFuzzerTestOneInput, and runs every
// file of the corpus directories (or the files) it is given through it, in
// name order.  A failed check aborts, so a replay that finishes has passed;
// one that found nothing to replay fails, since a corpus that went missing
// would otherwise pass unseen.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fuzz.h"

namespace fs = std::filesystem;

int main(int argc, char **argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    fs::path arg(argv[i]);
    std::error_code error;
    if (fs::is_directory(arg, error)) {
      for (const auto &entry : fs::directory_iterator(arg))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else if (fs::is_regular_file(arg, error)) {
      files.push_back(arg);
    } else {
      fprintf(stderr, "%s: no such file or directory: %s\n", argv[0], argv[i]);
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  for (const fs::path &file : files) {
    std::ifstream in(file, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
      return 2;
    }
    // A copy of exactly its size, so that ASan sees a read past the end;
    // never a null pointer, not even for an empty file (libFuzzer's way).
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[data.size()]);
    std::copy(data.begin(), data.end(), bytes.get());
    LLVMFuzzerTestOneInput(bytes.get(), data.size());
  }
  if (files.empty()) {
    fprintf(stderr, "%s: nothing to replay\n", argv[0]);
    return 1;
  }
  printf("%s: %zu inputs replayed\n", argv[0], files.size());
  return 0;
}
