// What the harness and the guest's agent both know: the hexadecimal in
// which bytes cross the console and the bytes of the large paste.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

namespace uart_vm {

// Lower-case hexadecimal of `data`.
inline std::string
to_hex(const std::string& data)
{
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (char c : data) {
    auto byte = static_cast<unsigned char>(c);
    hex.push_back(DIGITS[byte >> 4]);
    hex.push_back(DIGITS[byte & 15]);
  }
  return hex;
}

// The bytes `hex` stands for; of a malformed string, what it decoded up to
// the fault.
inline std::string
from_hex(const std::string& hex)
{
  std::string data;
  std::size_t digits =
      std::min(hex.find_first_not_of("0123456789abcdef"), hex.size());
  for (std::size_t i = 0; i + 1 < digits; i += 2) {
    data.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return data;
}

// The first `size` bytes of the paste: printable text in 64-byte lines
// ending in CR LF, so that a lost or repeated stretch shows where it
// happened. The escape character never occurs.
inline std::string
paste_text(std::size_t size)
{
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    std::size_t column = i % 64;
    text.push_back(column == 62 ? '\r'
                   : column == 63
                       ? '\n'
                       : static_cast<char>(' ' + (i / 64 + column * 7) % 95));
  }
  return text;
}

} // namespace uart_vm
