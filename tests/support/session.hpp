// End-to-end sessions: the serterm binary run on a line pty and a keyboard
// pty, every stream it writes taken in whole, and the end of the run
// checked against all of them and both terminals' settings at once, so no
// stray byte goes unseen. Failures are GoogleTest failures.
#pragma once

#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <initializer_list>
#include <string>
#include <termios.h>
#include <vector>

namespace serterm::testing {

// For `session_setup::keyboard`: a pty keyboard (the default). `PIPE` there
// is a pipe the test types into, for `out` one it reads (the default); any
// other value is the descriptor itself, -1 a closed one.
inline constexpr int OWN = -3;

struct session_setup {
  const termios* line = nullptr;   // the line pty's settings before the run
  const char* line_path = nullptr; // a device path instead of a line pty
  int keyboard = OWN;
  const char* keyboard_path = nullptr; // a file opened read-only as fd 0
  bool keyboard_nonblocking = false;   // fd 0 non-blocking, as a parent may
  int out = PIPE;
  const char* out_path = nullptr; // a file opened write-only as fd 1
  std::string argv0 = "serterm";
  bool ignore_sigpipe = false;
  int fill_descriptors_to = 0; // see launch
  int free_descriptor = -1;
  int user = -1;                // see launch
  bool wait_for_setup = true;   // wait until both terminals are set up
  bool err_on_keyboard = false; // standard error on the keyboard pty too
};

// A run of serterm and the two ptys it was given.
struct session : run {
  pty_pair line;
  pty_pair keyboard;
  termios line_before{};
  termios keyboard_before{};
  // The description serterm got as its keyboard, shared with the test as
  // with a shell, and its file status flags before the run (-1 for either
  // when there is none).
  int keyboard_shared = -1;
  int keyboard_flags = -1;
};

// Starts serterm with `options`, then the line's path.
session start_session(const std::vector<std::string>& options,
                      const session_setup& setup = {});

// Writes on the keyboard (`type`: its pty or its pipe) or, as the device, on
// the line (`send`), taking in every stream while either is full. Fails the
// test if not all of `data` goes within `limit`.
void type(session& s, std::string_view data, milliseconds limit = WAIT_LIMIT);
void send(session& s, std::string_view data, milliseconds limit = WAIT_LIMIT);

// Ends the keyboard pipe's input.
void end_input(session& s);

// Types `keys` and waits until serterm has read them (while nothing else
// comes for it to read): a pty's input count cannot tell keys not yet
// passed on by the kernel from keys read.
void type_and_await_read(session& s, std::string_view keys);

// Closes the test's end of `which`: the line's or the keyboard's pty
// hangs up, standard output's or error's pipe has no reader.
void close_far_end(session& s, stream which);

// Types control-] and waits for the next prompt and the cooked keyboard.
void open_prompt(session& s);

// Runs each prompt command of `lines` (newline included) in turn, waiting
// each time until the keyboard is raw again.
void commands(session& s, std::initializer_list<std::string_view> lines);

// Waits for the run to end (killing it after `limit`), takes in the rest of
// every stream, and checks the end against `expected`: the status, every
// stream whole, both terminals' settings. Closes everything.
void end_session(session& s, const outcome& expected,
                 milliseconds limit = WAIT_LIMIT);

// Opens the prompt, quits with q, and ends the session as `expected`
// says; its screen and err include the prompt's own "q\r\n" and
// "serterm> ".
void quit(session& s, outcome expected);

// Fails the test unless serterm uses no processor time while the test
// takes in every stream for `span`: it must be waiting, not polling.
void expect_idle(session& s, milliseconds span = milliseconds(500));

// Stops serterm with SIGSTOP and waits until it is stopped.
void stop(session& s);

// The settings of terminal `fd`, read with tcgetattr.
termios settings_of(int fd);

// Whether settings `t` are raw: ICANON and ECHO clear.
bool is_raw(const termios& t);

// True when the suite runs serterm under valgrind (SERTERM_VALGRIND).
bool under_valgrind();

} // namespace serterm::testing
