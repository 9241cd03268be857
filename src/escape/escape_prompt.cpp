// The one-line command prompt that the escape character opens, and its
// commands.
#include "escape/escape_prompt.hpp"

#include "common/io.hpp"
#include "escape/hex_parser.hpp"
#include "terminal_control/terminal_control.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
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

enum class line_read { complete, too_long, end_of_input };

// Writes `text` to `fd` as far as it takes it at once: the prompt's own
// output must never hold up reading its line.
void
show_now(int fd, std::span<const char> text)
{
  std::span<const unsigned char> bytes(
      reinterpret_cast<const unsigned char*>(text.data()), text.size());
  ssize_t n = write_some(fd, bytes);
  note_shown(bytes.first(n > 0 ? static_cast<std::size_t>(n) : 0));
}

// Writes the prompt on a line of its own, then the start of the command
// line `typed` if the keyboard echoes.
void
show_prompt(std::span<const char> typed)
{
  start_own_line();
  show_now(STDERR_FILENO, std::span(progname, std::strlen(progname)));
  show_now(STDERR_FILENO, std::span("> ", 2));
  if (!typed.empty() && keyboard_echoes()) {
    show_now(STDIN_FILENO, typed);
  }
}

// Shows the prompt and reads one command line from the standard input
// stream into `line`, NUL terminated, ending in a newline unless input ended
// first. CR ends it too: the `ahead` keys typed in raw mode before the
// prompt made the terminal cooked come first, as typed, Enter as CR, and are
// echoed after the prompt, as the terminal did not. A line too long for `line`
// is read to its end and reported as too long: run cut, it could send a wrong
// byte (a hex pair cut after its first digit), and its tail must not reach the
// line as data. A keyboard left non-blocking is waited for.
line_read
read_command_line(std::span<char, BUFFER_SIZE> line, std::size_t ahead)
{
  std::size_t length = 0;
  bool cut = false;
  // Only a stop at the prompt calls for it again.
  std::ignore = was_continued();
  bool shown = false;
  for (;;) {
    // The keys typed ahead are read first and shown with the prompt, so
    // that their echo comes before that of anything typed once it shows.
    if (!shown && ahead == 0) {
      show_prompt(std::span(line).first(length));
      shown = true;
    }
    int c = std::fgetc(stdin);
    if (c == EOF) {
      if (std::ferror(stdin) && is_transient(errno)) {
        std::clearerr(stdin);
        // Back from a stop (control-Z, then fg), with the shell's screen
        // since, or nothing more typed ahead after all: the prompt shows
        // (again) before the wait.
        if (was_continued() || !shown) {
          note_shown(std::span(&LF, shown ? 1 : 0));
          show_prompt(std::span(line).first(length));
          shown = true;
          ahead = 0;
        }
        if (wait_readable(STDIN_FILENO)) {
          continue;
        }
      }
      std::clearerr(stdin);
      break;
    }
    c = c == '\r' ? '\n' : c;
    if (length + 1 < line.size()) {
      line[length++] = static_cast<char>(c);
    } else if (c != '\n') {
      cut = true;
    }
    ahead -= ahead != 0 ? 1 : 0;
    if (c == '\n') {
      // The terminal has echoed the Enter, or the line was shown above.
      note_shown(std::span(&LF, 1));
      break;
    }
  }
  if (!shown) {
    show_prompt(std::span(line).first(length));
  }
  line[length] = '\0';
  if (length == 0) {
    return line_read::end_of_input;
  }
  return cut ? line_read::too_long : line_read::complete;
}

} // namespace

relay_step
run_command(const char* line,
            std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
            int& modes, std::size_t& count)
{
  count = 0;
  switch (line[0]) {
  case 'q':
    return relay_step::quit;
  case '?':
    for (const char* piece : HELP_TEXT) {
      std::fputs(piece, stderr);
    }
    break;
  case 'v':
    show_modem_status(line_fd);
    break;
  case 'd':
    modes ^= MODE_HEXDUMP;
    break;
  case 'h':
    modes ^= MODE_HALF_DUPLEX;
    break;
  case 'r':
    modes ^= MODE_MAP_CR;
    break;
  case 'x':
    count = parse_hex_data(line, relay_buffer);
    break;
  default:
    break;
  }
  return relay_step::go_on;
}

relay_step
escape_prompt(std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
              int& modes, std::size_t& count)
{
  count = 0;
  // Counted while the terminal is raw: every key after the switch is the
  // terminal's to echo. The line is begun raw too, so that it is CR LF.
  int ahead = 0;
  if (ioctl(STDIN_FILENO, FIONREAD, &ahead) != 0 || ahead < 0) {
    ahead = 0;
  }
  start_own_line();
  keyboard_restore();
  std::array<char, BUFFER_SIZE> line;
  relay_step step = relay_step::go_on;
  switch (read_command_line(line, static_cast<std::size_t>(ahead))) {
  case line_read::end_of_input:
    std::fprintf(stderr, "\n%s: EOF encountered\n", progname);
    step = relay_step::quit;
    break;
  case line_read::too_long:
    report("command line too long", 0);
    break;
  case line_read::complete:
    step = run_command(line.data(), relay_buffer, line_fd, modes, count);
    break;
  }
  keyboard_raw();
  return step;
}

} // namespace serterm
