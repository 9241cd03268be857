// What the harness and the guest's agent both know: an answer is one line,
// "@@ " and words separated by single blanks, bytes in lower-case
// hexadecimal (an empty text is "-"); and the bytes of the paste.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace uart_vm {

using words = std::vector<std::string>;

inline std::string
to_hex(const std::string& data)
{
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (char c : data) {
    auto byte = static_cast<unsigned char>(c);
    hex += {DIGITS[byte >> 4], DIGITS[byte & 15]};
  }
  return hex.empty() ? "-" : hex;
}

// The bytes `hex` stands for, up to its first character that is no digit.
inline std::string
from_hex(const std::string& hex)
{
  std::string data;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    char pair[3] = {hex[i], hex[i + 1], '\0'};
    char* end = nullptr;
    auto byte = std::strtoul(pair, &end, 16);
    if (end != pair + 2) {
      break;
    }
    data.push_back(static_cast<char>(byte));
  }
  return data;
}

inline words
split(const std::string& line)
{
  std::istringstream in(line);
  words out;
  for (std::string word; in >> word;) {
    out.push_back(word);
  }
  return out;
}

// Word `i` of `w`, or "" when there are fewer.
inline std::string
word(const words& w, std::size_t i)
{
  return i < w.size() ? w[i] : "";
}

inline long
number(const words& w, std::size_t i)
{
  return std::strtol(word(w, i).c_str(), nullptr, 10);
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

// Where `got` first parts from the paste pattern, or -1 if it is a prefix
// of it.
inline long
parts_from_paste(const std::string& got)
{
  std::string want = paste_text(got.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i]) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

} // namespace uart_vm
