// Hexdump text for received bytes.
#include "relay/hexdump.hpp"

namespace serterm {

std::size_t
format_hexdump(std::span<const unsigned char> input,
               std::span<char, HEXDUMP_SIZE> output)
{
  constexpr const char* digits = "0123456789abcdef";
  if (input.size() > BUFFER_SIZE) {
    input = input.first(BUFFER_SIZE);
  }
  std::size_t out = 0;
  for (unsigned char byte : input) {
    output[out++] = digits[byte >> 4U];
    output[out++] = digits[byte & 0x0FU];
    output[out++] = ' ';
  }
  return out;
}

} // namespace serterm
