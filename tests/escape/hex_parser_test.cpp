// Tests of the hex data parser.
#include "escape/hex_parser.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace serterm {
namespace {

std::vector<unsigned char>
parse(const std::string& text)
{
  std::array<unsigned char, BUFFER_SIZE> out{};
  std::size_t n = parse_hex_data(text.c_str(), out);
  return std::vector<unsigned char>(out.begin(),
                                    out.begin() + static_cast<long>(n));
}

using bytes = std::vector<unsigned char>;

TEST(HexDigitValue, DigitsAndEverythingElse)
{
  EXPECT_EQ(hex_digit_value('0'), 0);
  EXPECT_EQ(hex_digit_value('9'), 9);
  EXPECT_EQ(hex_digit_value('a'), 10);
  EXPECT_EQ(hex_digit_value('F'), 15);
  for (int c = 0; c < 256; ++c) {
    bool digit = std::strchr("0123456789abcdefABCDEF", c) != nullptr && c != 0;
    EXPECT_EQ(hex_digit_value(static_cast<char>(c)) >= 0, digit) << c;
  }
}

TEST(ParseHexData, CommandLines)
{
  EXPECT_EQ(parse("x 41 54 5a 0d 0a\n"), (bytes{0x41, 0x54, 0x5A, 0x0D, 0x0A}));
  EXPECT_EQ(parse("x 41\n"), (bytes{0x41}));
  EXPECT_EQ(parse("x\n"), bytes{});
  EXPECT_EQ(parse("x 4 1\n"), (bytes{0x04, 0x01}));
  EXPECT_EQ(parse("x 123 45\n"), (bytes{0x12, 0x03, 0x45}));
  EXPECT_EQ(parse("x 415\n"), (bytes{0x41, 0x05}));
  EXPECT_EQ(parse("x aB\n"), (bytes{0xAB}));
  EXPECT_EQ(parse("x AB\n"), (bytes{0xAB}));
  EXPECT_EQ(parse("x 0x41\n"), (bytes{0x00, 0x41}));
  // A 0 as either digit of a pair.
  EXPECT_EQ(parse("x 40\n"), (bytes{0x40}));
  EXPECT_EQ(parse("x 0a 10 a0 00 0\n"), (bytes{0x0A, 0x10, 0xA0, 0x00, 0x00}));
  EXPECT_EQ(parse("x,41;zz-54   \n\n"), (bytes{0x41, 0x54}));
  EXPECT_EQ(parse(""), bytes{});
}

TEST(ParseHexData, LastDigitsCountWithoutNewline)
{
  EXPECT_EQ(parse("x 41"), (bytes{0x41}));
  EXPECT_EQ(parse("x 4"), (bytes{0x04}));
  EXPECT_EQ(parse("x 41 5"), (bytes{0x41, 0x05}));
  EXPECT_EQ(parse("ff"), (bytes{0xFF}));
}

TEST(ParseHexData, StopsAtTheEndOfItsText)
{
  // Digits left in the buffer after the terminator are not part of it.
  const char text[] = "x 41\0 42 43\n\0";
  std::array<unsigned char, BUFFER_SIZE> out{};
  ASSERT_EQ(parse_hex_data(text, out), 1U);
  EXPECT_EQ(out[0], 0x41);
  const char digit_then_end[] = "x 4\0"
                                "2\n\0";
  ASSERT_EQ(parse_hex_data(digit_then_end, out), 1U);
  EXPECT_EQ(out[0], 0x04);
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
