// Everything that changes terminal settings: the serial line (open, speed,
// raw 8N1, restore, close, modem status) and the user's keyboard terminal.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <termios.h>

namespace serterm {

struct speed_entry {
  int bps;
  speed_t code;
};

// The only speeds offered.
inline constexpr std::array<speed_entry, 8> SPEED_TABLE{{
    {1200, B1200},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
}};

// Opens `path` read-write and non-blocking, moved below FD_SETSIZE if need
// be, takes an exclusive flock on it and puts the terminal in exclusive
// mode, so that no other open of it, through any device node, succeeds
// (but root's). If it cannot be opened, is not a terminal or is in use by
// another program, writes "can't open <path>" and "<progname>: <path>:
// <reason>" to standard error and exits with status 1; if no descriptor
// below FD_SETSIZE is free, exits with status 1 after "<progname>: too many
// descriptors open to watch the line".
[[nodiscard]] int open_line(const char* path);

// Returns the speed code for `bps` from SPEED_TABLE; for any other value
// writes "<bps> bps unavailable.  9600 bps selected." to standard error and
// returns B9600.
[[nodiscard]] speed_t speed_code(int bps);

// Saves the line's settings, then sets it to raw 8N1 at `bps`, receiver on,
// modem lines ignored, no flow control, VMIN 1 and VTIME 0. Failures of the
// terminal calls are ignored (the line may have hung up).
void setup_line(int line_fd, int bps);

// Restores the line's saved settings, takes it out of exclusive mode, then
// closes it, which releases the lock. A close that would wait for what the
// driver still holds is cut short: the driver drops it.
void close_line(int line_fd);

// Saves the keyboard terminal's current settings (again on every call) and
// makes it raw, without echo.
void keyboard_raw();

// Puts back the keyboard settings saved by the latest `keyboard_raw`.
void keyboard_restore();

// The keyboard's own line-editing keys, from its saved settings: end of
// input, erase one character, erase the line (0 where one is disabled or the
// terminal does not edit lines), and whether it echoes what is typed.
struct line_editing {
  unsigned char eof = 0;
  unsigned char erase = 0;
  unsigned char kill = 0;
  bool echo = false;
};

// The line-editing keys of the settings the latest `keyboard_raw` saved;
// none when the keyboard is not a terminal.
[[nodiscard]] line_editing keyboard_editing();

// Size of the text `format_modem_status` writes, NUL included.
inline constexpr std::size_t MODEM_STATUS_TEXT_SIZE = 64;

// Writes the seven modem-line words for the TIOCM_* bits in `bits` to `out`
// as a NUL-terminated line ending in "\n": upper case when set, lower case
// when clear. Returns the text's length.
std::size_t format_modem_status(int bits,
                                std::span<char, MODEM_STATUS_TEXT_SIZE> out);

// Writes the line's modem control lines to `text` as seven words and a
// newline, or "<progname>: can't read modem status: <reason>" and a newline
// if they cannot be read. Returns the text's length (cut to fit `text`).
std::size_t modem_status_text(int line_fd, std::span<char> text);

// Installs, on an alternate signal stack, a handler for every catchable
// signal whose default action ends the process: it puts back whatever
// terminal settings were saved (keyboard first, then line) and then ends the
// process by the same signal. Signals ignored at start stay ignored.
void install_signal_handlers();

// True, once, if the process has been stopped and gone on since the last
// call (a handler installed with the others marks SIGCONT).
[[nodiscard]] bool was_continued();

} // namespace serterm
