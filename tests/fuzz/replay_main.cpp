// Runs a fuzz target over the files and directories named on the command
// line, for builds without libFuzzer: the seed corpus and the kept crash
// inputs become ordinary regression tests.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace {

// Runs the target on `path`, a file, or on every file in it, a directory,
// counting each in `replayed`. False if one cannot be read.
bool
replay(const std::filesystem::path& path, int& replayed)
{
  if (std::filesystem::is_directory(path)) {
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      // Dot files (.gitkeep) only hold the directory in the repository.
      if (entry.is_regular_file() &&
          entry.path().filename().string()[0] != '.' &&
          !replay(entry.path(), replayed)) {
        return false;
      }
    }
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                          std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         bytes.size());
  ++replayed;
  return true;
}

} // namespace

int
main(int argc, char** argv)
{
  int replayed = 0;
  for (int i = 1; i < argc; ++i) {
    if (!replay(argv[i], replayed)) {
      return 1;
    }
  }
  std::printf("%d inputs replayed\n", replayed);
  return replayed > 0 ? 0 : 1;
}
