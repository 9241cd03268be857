// End-to-end sessions: the serterm binary run on a line pty and a keyboard
// pty, every stream it writes taken in whole, and the end of the run
// checked against all of them at once, so no stray byte goes unseen.
#pragma once

#include "support/pty_kit.hpp"

#include <array>
#include <string>
#include <termios.h>
#include <vector>

namespace serterm::testing {

// The four streams of a run: what the device received on the line, the
// screen (the keyboard pty's master), standard output and standard error.
enum class stream { line, screen, out, err };

// An expected stream: exactly `value`, or, made by `matching`, text that the
// regular expression `value` matches whole.
struct text {
  text(const char* exact) : value(exact) {}
  text(std::string exact) : value(std::move(exact)) {}
  std::string value;
  bool pattern = false;
};
text matching(std::string regex);

// For `session_setup::keyboard` and `out`: a pty keyboard, a pipe for
// standard output (the defaults); any other value is the descriptor itself,
// -1 a closed one.
inline constexpr int OWN = -2;

struct session_setup {
  const termios* line = nullptr;   // the line pty's settings before the run
  const char* line_path = nullptr; // a device path instead of a line pty
  int keyboard = OWN;
  bool keyboard_nonblocking = false; // fd 0 non-blocking, as a parent may
  int out = OWN;
  bool out_nonblocking = false; // the stdout pipe small and non-blocking
  std::string argv0 = "serterm";
  bool ignore_sigpipe = false;
  int fill_descriptors_to = 0; // see launch
  int free_descriptor = -1;
  bool wait_for_setup = true;   // wait until both terminals are set up
  bool err_on_keyboard = false; // standard error on the keyboard pty too
};

struct session {
  pty_pair line;
  pty_pair keyboard;
  termios line_before{};
  termios keyboard_before{};
  pid_t pid = -1;
  // The descriptors the test reads each stream from (-1: none), what came
  // on each, and how far `await` has matched into it.
  std::array<int, 4> fds{-1, -1, -1, -1};
  std::array<std::string, 4> got;
  std::array<std::size_t, 4> seen{};
};

// Starts serterm with `options`, then the line's path.
session start_session(const std::vector<std::string>& options,
                      const session_setup& setup = {});

// What `which` has delivered so far.
std::string& got(session& s, stream which);

// Takes in whatever every stream has now, so that the program never blocks
// on a full pipe or pty while the test waits for one of them.
void take(session& s);

// Takes in every stream for `span`.
void settle(session& s, milliseconds span);

// Waits until `which` holds `needle` after what earlier awaits on it
// matched, and consumes it. Fails the test (showing the stream) on time-out.
bool await(session& s, stream which, std::string_view needle,
           milliseconds limit = WAIT_LIMIT);

// Waits until `which` holds at least `size` bytes in all.
bool await_size(session& s, stream which, std::size_t size,
                milliseconds limit = WAIT_LIMIT);

// Writes on the keyboard (`type`) or, as the device, on the line (`send`),
// taking in every stream while either is full. Fails the test if not all
// of `data` goes within `limit`.
void type(session& s, std::string_view data, milliseconds limit = WAIT_LIMIT);
void send(session& s, std::string_view data, milliseconds limit = WAIT_LIMIT);

// Types `escape` and waits for the next prompt and the cooked keyboard.
void open_prompt(session& s, std::string_view escape = "\x1d");

// Runs the prompt command `line` (newline included) and waits until the
// keyboard is raw again.
void command(session& s, std::string_view line);

// How a run is expected to end, and everything each stream got.
struct outcome {
  text line = "";
  text screen = "";
  text out = "";
  text err = "";
  int exit_code = 0; // the exit status expected, unless `signal` is set
  int signal = 0;    // the signal expected to end the run
  // Whether each terminal can still be read after the run, and so must be
  // back at its settings from before.
  bool line_restored = true;
  bool keyboard_restored = true;
};

// Waits for the run to end (killing it after `limit`), takes in the rest of
// every stream, and checks the end against `expected`: the status, every
// stream whole, both terminals' settings. Closes everything.
void end_session(session& s, const outcome& expected,
                 milliseconds limit = WAIT_LIMIT);

// Opens the prompt, quits with q, and ends the session as `expected`
// says; its screen and err include the prompt's own "q\r\n" and
// "serterm> ".
void quit(session& s, outcome expected);

// The settings of terminal `fd`, read with tcgetattr.
termios settings_of(int fd);

// True when every field of `a` and `b` is equal, control characters and
// speeds included; `why` gets the first difference.
bool same_settings(const termios& a, const termios& b, std::string* why);

// Waits until terminal `fd` is raw (ICANON and ECHO clear) or cooked.
bool wait_raw(int fd, milliseconds limit = WAIT_LIMIT);
bool wait_cooked(int fd, milliseconds limit = WAIT_LIMIT);

// True when the suite runs serterm under valgrind (SERTERM_VALGRIND).
bool under_valgrind();

// What the line receives when `keys` are typed faster than the escape
// time-out: an escape character sends the byte after it as data, whatever
// it is, and a last one sends nothing.
std::string sent_quickly(std::string_view keys, char escape = '\x1d');

// The usage text serterm prints when started as `name`.
std::string usage_text(const std::string& name);

// `size` reproducible random bytes from `seed`, none equal to `avoid`.
std::string random_bytes(std::size_t size, unsigned seed, int avoid = -1);

} // namespace serterm::testing
