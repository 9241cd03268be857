// Tests of the hex data parser.
#include "escape/hex_parser.hpp"
#include "support/pty_kit.hpp"

#include <cctype>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <string_view>

namespace serterm {
namespace {

// The bytes `text` gives, read as the C string it starts with.
std::string
parse(std::string_view text)
{
  std::array<unsigned char, BUFFER_SIZE> out{};
  std::size_t n = parse_hex_data(std::string(text).c_str(), out);
  return std::string(out.begin(), out.begin() + static_cast<long>(n));
}

TEST(HexDigitValue, DigitsAndEverythingElse)
{
  // Every character: its place among the digits, either case, or -1.
  const std::string digits = "0123456789abcdef";
  for (int c = 0; c < 256; ++c) {
    std::size_t place = digits.find(static_cast<char>(std::tolower(c)));
    EXPECT_EQ(hex_digit_value(static_cast<char>(c)),
              place == std::string::npos ? -1 : static_cast<int>(place))
        << c;
  }
}

TEST(ParseHexData, TextsAndTheirBytes)
{
  using namespace std::string_view_literals;
  // clang-format off
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"x 41 54 5a 0d 0a\n", "\x41\x54\x5a\x0d\x0a"}, {"x 41\n", "\x41"}, {"x\n", ""},
      {"x 4 1\n", "\x04\x01"}, {"x 123 45\n", "\x12\x03\x45"}, {"x 415\n", "\x41\x05"},
      {"x aB\n", "\xab"}, {"x AB\n", "\xab"}, {"x 0x41\n", "\x00\x41"sv},
      // A 0 as either digit of a pair.
      {"x 40\n", "\x40"}, {"x 0a 10 a0 00 0\n", "\x0a\x10\xa0\x00\x00"sv},
      {"x,41;zz-54   \n\n", "\x41\x54"}, {"", ""},
      // The last digits count without a newline after them.
      {"x 41", "\x41"}, {"x 4", "\x04"}, {"x 41 5", "\x41\x05"}, {"ff", "\xff"},
      // Digits after the text's terminating NUL are not part of it.
      {"x 41\0 42 43\n\0"sv, "\x41"}, {"x 4\0" "2\n\0"sv, "\x04"},
  };
  // clang-format on
  for (auto [text, bytes] : rows) {
    EXPECT_EQ(parse(text), bytes) << testing::printable(text);
  }
}

TEST(ParseHexData, CountNeverExceedsTextAndNothingWrittenPastIt)
{
  std::mt19937 random(2024);
  const std::string alphabet = "0123456789abcdefABCDEFxX \n\t,g";
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    std::size_t length = random() % 64;
    for (std::size_t i = 0; i < length; ++i) {
      text += alphabet[random() % alphabet.size()];
    }
    std::array<unsigned char, BUFFER_SIZE> out;
    out.fill(0xEE);
    std::size_t n = parse_hex_data(text.c_str(), out);
    ASSERT_LE(n, text.size()) << text;
    for (std::size_t i = n; i < out.size(); ++i) {
      ASSERT_EQ(out[i], 0xEE) << text << " at " << i;
    }
  }
}

TEST(ParseHexData, LongestLineFillsWithoutOverflow)
{
  // 8191 digits: 4096 bytes; a line of lone digits gives one byte each.
  std::string digits(BUFFER_SIZE - 1, 'a');
  EXPECT_EQ(parse(digits).size(), BUFFER_SIZE / 2);
  std::string lone;
  while (lone.size() + 2 <= BUFFER_SIZE - 1) {
    lone += "1 ";
  }
  EXPECT_EQ(parse(lone).size(), lone.size() / 2);
}

} // namespace
} // namespace serterm
