// Tests of the speed table, the modem-status words and the line set-up on a
// pseudo-terminal.
#include "common/common.hpp"
#include "support/session.hpp"
#include "terminal_control/terminal_control.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <vector>

namespace serterm {
namespace {

TEST(SpeedCode, OfferedSpeedsAreSilentOthersFallBackTo9600WithMessage)
{
  std::vector<testing::test_speed> speeds(testing::TEST_SPEEDS.begin(),
                                          testing::TEST_SPEEDS.end());
  for (int bps : {0, 5, -1, 2147483647}) {
    speeds.push_back({bps, B9600, false});
  }
  for (auto [bps, code, offered] : speeds) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(speed_code(bps), offered ? code : B9600) << bps;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              offered ? ""
                      : std::to_string(bps) +
                            " bps unavailable.  9600 bps selected.\n");
  }
}

TEST(FormatModemStatus, SevenWordsInOrderCasedByBit)
{
  // clang-format off
  const std::pair<int, const char*> rows[] = {
      {0, "enable|dtr|rts|cts|dcd|ri|dsr\n"},
      {TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR, "enable|DTR|RTS|CTS|dcd|ri|DSR\n"},
      {TIOCM_LE | TIOCM_CAR | TIOCM_RNG, "ENABLE|dtr|rts|cts|DCD|RI|dsr\n"},
      {~0, "ENABLE|DTR|RTS|CTS|DCD|RI|DSR\n"}};
  // clang-format on
  for (auto [bits, words] : rows) {
    std::array<char, MODEM_STATUS_TEXT_SIZE> text{};
    EXPECT_EQ(format_modem_status(bits, text), std::strlen(words));
    EXPECT_STREQ(text.data(), words);
  }
}

TEST(SetupLine, RawEightBitsAtTheSpeedThenRestored)
{
  testing::pty_pair pty;
  ASSERT_TRUE(testing::open_pty(pty));
  termios before = testing::settings_of(pty.slave);
  before.c_cc[VMIN] = 3;
  before.c_cc[VTIME] = 0;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  before = testing::settings_of(pty.slave);

  int fd = open_line(pty.slave_path.c_str());
  setup_line(fd, 115200);
  EXPECT_EQ(testing::raw_line_difference(testing::settings_of(pty.slave),
                                         before, B115200),
            "");
  close_line(fd);
  EXPECT_EQ(
      testing::settings_difference(testing::settings_of(pty.slave), before),
      "");
  testing::close_pty(pty);
}

TEST(ModemStatusText, PseudoTerminalReportsWhyNot)
{
  testing::pty_pair pty;
  ASSERT_TRUE(testing::open_pty(pty));
  const char* saved = progname;
  progname = "st";
  std::array<char, 51> text{};
  std::size_t length = modem_status_text(pty.slave, text);
  progname = saved;
  // Cut to fit, NUL-terminated.
  EXPECT_EQ(std::string(text.data(), length),
            "st: can't read modem status: Inappropriate ioctl f");
  EXPECT_EQ(length, text.size() - 1);
  testing::close_pty(pty);
}

} // namespace
} // namespace serterm
