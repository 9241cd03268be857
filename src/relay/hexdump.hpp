// Hexdump text for received bytes.
#pragma once

#include "common/common.hpp"

#include <cstddef>
#include <span>

namespace serterm {

// Each byte takes three characters: two hex digits and a blank.
inline constexpr std::size_t HEXDUMP_SIZE = 3 * BUFFER_SIZE;

// Writes each byte of `input` (at most BUFFER_SIZE bytes) to `output` as two
// lower-case hex digits and a blank, with no line breaks and no NUL. Returns
// the number of characters written.
[[nodiscard]] std::size_t format_hexdump(std::span<const unsigned char> input,
                                         std::span<char, HEXDUMP_SIZE> output);

} // namespace serterm
