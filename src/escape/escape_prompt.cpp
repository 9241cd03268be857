// What follows the escape character: a quick second key, or the one-line
// command prompt and its commands.
#include "escape/escape_prompt.hpp"

#include "common/io.hpp"
#include "escape/hex_parser.hpp"
#include "terminal_control/terminal_control.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/select.h>
#include <tuple>
#include <unistd.h>

namespace serterm {

namespace {

constexpr std::array<const char*, 7> HELP_TEXT{
    "q: quit\n",
    "v: show modem status\n",
    "d: toggle hexdump mode\n",
    "h: toggle half-duplex mode\n",
    "r: toggle map CR->CR/LF mode\n",
    "x [string]: send hex data, ",
    "'x 41 54 5a 0d 0a' is equivalent to 'ATZ\\r\\n'\n",
};

// Waits up to `timeout_us` for the keyboard alone. True if it is readable.
// Descriptor 0 is always within the fd_set.
bool
keyboard_ready_within(int timeout_us)
{
  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(STDIN_FILENO, &read_set);
  timeval timeout = flush_timeval(timeout_us);
  return select(STDIN_FILENO + 1, &read_set, nullptr, nullptr, &timeout) > 0 &&
         FD_ISSET(STDIN_FILENO, &read_set);
}

enum class line_read { complete, too_long, end_of_input };

// Reads one command line from the standard input stream into `line`, NUL
// terminated, newline kept. A line too long for `line` is read to its end
// and reported as too long: run cut, it could send a wrong byte (a hex pair
// cut after its first digit), and its tail must not reach the line as data.
// A keyboard left non-blocking is waited for.
line_read
read_command_line(std::span<char, BUFFER_SIZE> line)
{
  std::size_t length = 0;
  bool cut = false;
  for (;;) {
    int c = std::fgetc(stdin);
    if (c == EOF) {
      if (std::ferror(stdin) && (errno == EAGAIN || errno == EINTR)) {
        std::clearerr(stdin);
        if (wait_readable(STDIN_FILENO)) {
          continue;
        }
      }
      std::clearerr(stdin);
      break;
    }
    if (length + 1 < line.size()) {
      line[length++] = static_cast<char>(c);
    } else if (c != '\n') {
      cut = true;
    }
    if (c == '\n') {
      break;
    }
  }
  line[length] = '\0';
  if (length == 0) {
    return line_read::end_of_input;
  }
  return cut ? line_read::too_long : line_read::complete;
}

} // namespace

int
run_command(const char* line,
            std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
            int& modes)
{
  switch (line[0]) {
  case 'q':
    return ESCAPE_QUIT;
  case '?':
    for (const char* piece : HELP_TEXT) {
      std::fputs(piece, stderr);
    }
    return 0;
  case 'v':
    show_modem_status(line_fd);
    return 0;
  case 'd':
    modes ^= MODE_HEXDUMP;
    return 0;
  case 'h':
    modes ^= MODE_HALF_DUPLEX;
    return 0;
  case 'r':
    modes ^= MODE_MAP_CR;
    return 0;
  case 'x':
    return static_cast<int>(parse_hex_data(line, relay_buffer));
  default:
    return 0;
  }
}

int
escape_prompt(std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
              int& modes, int flush_timeout_us)
{
  if (keyboard_ready_within(flush_timeout_us)) {
    ssize_t got = read(STDIN_FILENO, relay_buffer.data(), 1);
    if (got >= 0) {
      return static_cast<int>(got);
    }
    if (errno != EAGAIN && errno != EINTR) {
      std::fprintf(stderr, "%s: keyboard read failed: %s\n", progname,
                   std::strerror(errno));
      return ESCAPE_FAILED;
    }
    // The key vanished before it could be read: the prompt opens.
  }

  keyboard_restore();
  std::fprintf(stderr, "%s> ", progname);
  std::array<char, BUFFER_SIZE> line;
  int result = 0;
  switch (read_command_line(line)) {
  case line_read::end_of_input:
    std::fprintf(stderr, "\n%s: EOF encountered\n", progname);
    result = ESCAPE_QUIT;
    break;
  case line_read::too_long:
    std::fprintf(stderr, "%s: command line too long\n", progname);
    break;
  case line_read::complete:
    result = run_command(line.data(), relay_buffer, line_fd, modes);
    break;
  }
  keyboard_raw();
  return result;
}

} // namespace serterm
