// Fuzz target for the option scan: the input is an argument vector, words
// separated by NUL bytes, each word in its own exactly sized allocation so
// that a read past a word's end is caught.
#include "front_end/options.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// atoi-style reading done the slow obvious way: strtoll (which saturates at
// the long long range), then clamped to the int range.
int
reference_decimal(const char* text)
{
  return static_cast<int>(
      std::clamp<long long>(std::strtoll(text, nullptr, 10), INT_MIN, INT_MAX));
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  using namespace serterm;

  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<char*> words;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      std::size_t length = i - start;
      storage.push_back(std::make_unique<char[]>(length + 1));
      std::memcpy(storage.back().get(), data + start, length);
      storage.back()[length] = '\0';
      words.push_back(storage.back().get());
      start = i + 1;
    }
  }

  for (char* word : words) {
    if (read_decimal(word) != reference_decimal(word)) {
      std::abort();
    }
  }

  options result;
  bool accepted = scan_options(words, result);
  if (!accepted) {
    return 0;
  }
  if (result.modes < 0 || result.modes > 7 || result.escape_char > 0x1F) {
    std::abort();
  }
  // The device is the first word after the options, or the default.
  std::size_t i = 0;
  while (i < words.size() && words[i][0] == '-') {
    i += words[i][1] == 't' ? 2U : 1U;
  }
  const char* expected = i < words.size() ? words[i] : DEFAULT_DEVICE;
  if (result.device != expected) {
    std::abort();
  }
  return 0;
}
