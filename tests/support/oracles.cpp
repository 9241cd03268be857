// The expected texts, settings and oracles of the tests.
#include "support/oracles.hpp"

#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

namespace serterm::testing {

std::string
usage_text(const std::string& name)
{
  return "Usage: " + name +
         " [option...] modem\n"
         "    options:\n"
         "\t-#: set serial speed [bps]\n"
         "\t-d[#]: toggle/set/reset hexdump display mode\n"
         "\t-h[#]: toggle/set/reset half-duplex mode\n"
         "\t-r[#]: toggle/set/reset map CR->CR/LF mode\n"
         "\t-t #: set display/keyboard flush timeout [us]\n"
         "\t-eX: set escape charactor to ctrl-X\n"
         "    default:\n"
         "\t" +
         name + " -9600 -d0 -h0 -r0 -t 100000 -e']' /dev/cuaa0\n";
}

std::string
sent_quickly(std::string_view keys)
{
  // One state: whether an escape character waits for the key it sends.
  std::string line;
  bool escape_pending = false;
  for (char key : keys) {
    if (escape_pending || key != '\x1d') {
      line += key;
    }
    escape_pending = !escape_pending && key == '\x1d';
  }
  return line;
}

std::string
crlf_shown(std::string_view piece, bool* cr_open)
{
  // A CR's LF is decided by the byte after it: added only once that byte
  // is seen not to be an LF (or the stream ends).
  bool open = cr_open != nullptr && *cr_open;
  std::string shown;
  for (char c : piece) {
    if (open && c != '\n') {
      shown += '\n';
    }
    shown += c;
    open = c == '\r';
  }
  if (cr_open != nullptr) {
    *cr_open = open;
  } else if (open) {
    shown += '\n';
  }
  return shown;
}

std::string
hex_text(std::string_view data)
{
  std::string text;
  for (char c : data) {
    char three[4];
    std::snprintf(three, sizeof three, "%02x ", static_cast<unsigned char>(c));
    text += three;
  }
  return text;
}

std::string
settings_difference(const termios& got, const termios& want)
{
  std::vector<std::tuple<std::string, unsigned long, unsigned long>> fields = {
      {"c_iflag", got.c_iflag, want.c_iflag},
      {"c_oflag", got.c_oflag, want.c_oflag},
      {"c_cflag", got.c_cflag, want.c_cflag},
      {"c_lflag", got.c_lflag, want.c_lflag},
      {"c_line", got.c_line, want.c_line},
      {"input speed", cfgetispeed(&got), cfgetispeed(&want)},
      {"output speed", cfgetospeed(&got), cfgetospeed(&want)},
  };
  for (std::size_t i = 0; i < NCCS; ++i) {
    fields.emplace_back("c_cc[" + std::to_string(i) + "]", got.c_cc[i],
                        want.c_cc[i]);
  }
  for (const auto& [name, x, y] : fields) {
    if (x != y) {
      return name + ": " + std::to_string(x) + " instead of " +
             std::to_string(y);
    }
  }
  return "";
}

std::string
raw_line_difference(const termios& got, const termios& before, speed_t speed)
{
  termios want = before;
  want.c_iflag = IGNBRK | IGNPAR;
  want.c_oflag = 0;
  want.c_cflag = CS8 | CREAD | CLOCAL;
  want.c_lflag = 0;
  std::memset(want.c_cc, 0, sizeof want.c_cc);
  want.c_cc[VMIN] = 1;
  cfsetispeed(&want, speed);
  cfsetospeed(&want, speed);
  return settings_difference(got, want);
}

std::string
all_bytes()
{
  std::string all(256, '\0');
  std::iota(all.begin(), all.end(), '\0');
  return all;
}

std::string
random_bytes(std::size_t size, unsigned seed, int avoid)
{
  std::mt19937 random(seed);
  std::string data(size, '\0');
  for (char& c : data) {
    do {
      c = static_cast<char>(random());
    } while (static_cast<unsigned char>(c) == avoid);
  }
  return data;
}

std::string
line_left_open(std::string_view screen)
{
  return screen.empty() || screen.back() == '\n' ? "" : "\r\n";
}

} // namespace serterm::testing
