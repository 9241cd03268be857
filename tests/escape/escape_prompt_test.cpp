// Tests of the escape commands that need no terminal.
#include "escape/escape_prompt.hpp"
#include "support/oracles.hpp"

#include <gtest/gtest.h>
#include <string>

namespace serterm {
namespace {

// A command line, the modes before it, and what it must return (QUIT, or
// the count of bytes to send), leave in the modes, put at the start of the
// relay buffer (which starts as an escape character) and write to stderr.
struct command_row {
  const char* line;
  int modes_before;
  long result;
  int modes_after;
  std::string bytes;
  std::string err;
};

constexpr long QUIT = -1;
constexpr int HEX = MODE_HEXDUMP;
constexpr int HALF = MODE_HALF_DUPLEX;
constexpr int MAP = MODE_MAP_CR;

// clang-format off
const command_row COMMANDS[] = {
    {"q\n", 0, QUIT, 0, "", ""},
    {"quit please\n", 0, QUIT, 0, "", ""},
    {"d\n", 0, 0, HEX, "", ""},
    {"h\n", HEX, 0, HEX | HALF, "", ""},
    {"r\n", HEX | HALF, 0, HEX | HALF | MAP, "", ""},
    {"d\n", HEX | HALF | MAP, 0, HALF | MAP, "", ""},
    // Unknown, upper case and empty lines do nothing at all.
    {"\n", MAP, 0, MAP, "", ""}, {"", MAP, 0, MAP, "", ""}, {"Q\n", MAP, 0, MAP, "", ""},
    {"D\n", MAP, 0, MAP, "", ""}, {"H\n", MAP, 0, MAP, "", ""}, {"R\n", MAP, 0, MAP, "", ""},
    {"V\n", MAP, 0, MAP, "", ""}, {"X 41\n", MAP, 0, MAP, "", ""}, {" q\n", MAP, 0, MAP, "", ""},
    {"z\n", MAP, 0, MAP, "", ""},
    {"x 41 54 5a 0d 0a\n", 0, 5, 0, "ATZ\r\n", ""},
    {"?\n", 0, 0, 0, "", testing::HELP_TEXT},
};
// clang-format on

TEST(RunCommand, EachLineDoesWhatItSaysAndNothingElse)
{
  for (const command_row& row : COMMANDS) {
    SCOPED_TRACE(row.line);
    std::array<unsigned char, BUFFER_SIZE> buffer{};
    buffer[0] = 0x1D;
    int modes = row.modes_before;
    ::testing::internal::CaptureStderr();
    std::size_t count = 99;
    relay_step step = run_command(row.line, buffer, -1, modes, count);
    EXPECT_NE(step, relay_step::failed);
    EXPECT_EQ(step == relay_step::quit ? QUIT : static_cast<long>(count),
              row.result);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), row.err);
    EXPECT_EQ(modes, row.modes_after);
    // A line that sends nothing leaves the buffer as it was.
    std::string start = row.bytes.empty() ? "\x1d" : row.bytes;
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + start.size()),
              start);
  }
}

} // namespace
} // namespace serterm
