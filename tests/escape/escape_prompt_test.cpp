// Tests of the escape commands that need no terminal.
#include "escape/escape_prompt.hpp"

#include <gtest/gtest.h>
#include <string>

namespace serterm {
namespace {

// run_command's answer as one number: the count of bytes to send, or -1
// for quit.
long
run(const char* line, std::span<unsigned char, BUFFER_SIZE> buffer, int& modes)
{
  std::size_t count = 99;
  relay_step step = run_command(line, buffer, -1, modes, count);
  EXPECT_NE(step, relay_step::failed);
  return step == relay_step::quit ? -1 : static_cast<long>(count);
}

TEST(RunCommand, QuitAndModeToggles)
{
  std::array<unsigned char, BUFFER_SIZE> buffer{};
  int modes = 0;
  EXPECT_EQ(run("q\n", buffer, modes), -1);
  EXPECT_EQ(run("quit please\n", buffer, modes), -1);
  EXPECT_EQ(run("d\n", buffer, modes), 0);
  EXPECT_EQ(modes, MODE_HEXDUMP);
  EXPECT_EQ(run("h\n", buffer, modes), 0);
  EXPECT_EQ(run("r\n", buffer, modes), 0);
  EXPECT_EQ(modes, MODE_HEXDUMP | MODE_HALF_DUPLEX | MODE_MAP_CR);
  EXPECT_EQ(run("d\n", buffer, modes), 0);
  EXPECT_EQ(modes, MODE_HALF_DUPLEX | MODE_MAP_CR);
}

TEST(RunCommand, UnknownUpperCaseAndEmptyDoNothing)
{
  std::array<unsigned char, BUFFER_SIZE> buffer{};
  buffer[0] = 0x1D;
  int modes = MODE_MAP_CR;
  for (const char* line :
       {"\n", "", "Q\n", "D\n", "H\n", "R\n", "V\n", "X 41\n", " q\n", "z\n"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(line, buffer, modes), 0) << line;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << line;
  }
  EXPECT_EQ(modes, MODE_MAP_CR);
  EXPECT_EQ(buffer[0], 0x1D);
}

TEST(RunCommand, HexDataGoesToBuffer)
{
  std::array<unsigned char, BUFFER_SIZE> buffer{};
  int modes = 0;
  ASSERT_EQ(run("x 41 54 5a 0d 0a\n", buffer, modes), 5);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 5), "ATZ\r\n");
}

TEST(RunCommand, HelpTextIsExact)
{
  std::array<unsigned char, BUFFER_SIZE> buffer{};
  int modes = 0;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run("?\n", buffer, modes), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "q: quit\n"
            "v: show modem status\n"
            "d: toggle hexdump mode\n"
            "h: toggle half-duplex mode\n"
            "r: toggle map CR->CR/LF mode\n"
            "x [string]: send hex data, 'x 41 54 5a 0d 0a' is equivalent to "
            "'ATZ\\r\\n'\n");
}

} // namespace
} // namespace serterm
