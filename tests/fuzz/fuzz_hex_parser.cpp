// Fuzz target for the hex data parser: compared with a slow obvious parser,
// with the count bounded by the text length and nothing written past it.
#include "escape/hex_parser.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

bool
is_hex_digit(char c)
{
  return std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != '\0';
}

unsigned
digit_value(char c)
{
  const char* digits = "0123456789abcdef";
  char lower = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
  return static_cast<unsigned>(std::strchr(digits, lower) - digits);
}

// Cuts the text into runs of hex digits; each run gives one byte per two
// digits from its left end, and a last lone digit gives a byte of its own.
// At most BUFFER_SIZE bytes fit the output.
std::vector<unsigned char>
reference_parse(const std::string& text)
{
  std::vector<unsigned char> bytes;
  std::string run;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && is_hex_digit(text[i])) {
      run += text[i];
      continue;
    }
    for (std::size_t j = 0; j < run.size(); j += 2) {
      unsigned value = digit_value(run[j]);
      if (j + 1 < run.size()) {
        value = value * 16 + digit_value(run[j + 1]);
      }
      bytes.push_back(static_cast<unsigned char>(value));
    }
    run.clear();
  }
  if (bytes.size() > serterm::BUFFER_SIZE) {
    bytes.resize(serterm::BUFFER_SIZE);
  }
  return bytes;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  using namespace serterm;

  // The parser sees the text up to its first NUL, as it would a C string.
  auto text_area = std::make_unique<char[]>(size + 1);
  std::memcpy(text_area.get(), data, size);
  text_area[size] = '\0';
  std::string text(text_area.get());

  // Exactly BUFFER_SIZE bytes on the heap, so a write past the area is
  // caught; the part past the count must keep its fill pattern.
  auto output = std::make_unique<unsigned char[]>(BUFFER_SIZE);
  std::memset(output.get(), 0xA5, BUFFER_SIZE);
  std::size_t count = parse_hex_data(
      text_area.get(),
      std::span<unsigned char, BUFFER_SIZE>(output.get(), BUFFER_SIZE));
  if (count > text.size()) {
    std::abort();
  }
  for (std::size_t i = count; i < BUFFER_SIZE; ++i) {
    if (output[i] != 0xA5) {
      std::abort();
    }
  }
  std::vector<unsigned char> expected = reference_parse(text);
  if (count != expected.size() ||
      !std::equal(expected.begin(), expected.end(), output.get())) {
    std::abort();
  }
  return 0;
}
