// Fuzz target for the hex data parser: compared with a slow obvious parser,
// with the count bounded by the text length and nothing written past it.
#include "escape/hex_parser.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Cuts the text into runs of hex digits; each run gives one byte per two
// digits from its left end, and a last lone digit gives a byte of its own.
// At most BUFFER_SIZE bytes fit the output.
std::vector<unsigned char>
reference_parse(const std::string& text)
{
  std::vector<unsigned char> bytes;
  std::string run;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
      run += text[i];
      continue;
    }
    for (std::size_t j = 0; j < run.size(); j += 2) {
      bytes.push_back(static_cast<unsigned char>(
          std::strtoul(run.substr(j, 2).c_str(), nullptr, 16)));
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
  // The whole area is compared: the bytes parsed, then the fill pattern.
  std::vector<unsigned char> expected = reference_parse(text);
  std::size_t expected_count = expected.size();
  expected.resize(BUFFER_SIZE, 0xA5);
  if (count > text.size() || count != expected_count ||
      !std::equal(expected.begin(), expected.end(), output.get())) {
    std::abort();
  }
  return 0;
}
