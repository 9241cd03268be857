// Parser for the bytes the x command sends, written in hexadecimal.
#pragma once

#include "common/common.hpp"

#include <cstddef>
#include <span>

namespace serterm {

// Returns 0-15 for the hex digits 0-9, A-F and a-f, -1 for every other
// character.
[[nodiscard]] int hex_digit_value(char c);

// Reads the NUL-terminated `text` as bytes in hexadecimal: digits are taken
// two at a time from the left of each run, a lone digit is a byte of its
// own, every other character separates. Writes the bytes to the start of
// `output` and returns their count, which never exceeds strlen(`text`).
[[nodiscard]] std::size_t
parse_hex_data(const char* text, std::span<unsigned char, BUFFER_SIZE> output);

} // namespace serterm
