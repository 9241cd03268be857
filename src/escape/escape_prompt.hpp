// What follows the escape character: a quick second key, or the one-line
// command prompt and its commands.
#pragma once

#include "common/common.hpp"

#include <span>

namespace serterm {

// Results of `escape_prompt` and `run_command` besides a byte count.
inline constexpr int ESCAPE_QUIT = -1;   // end the relay, exit status 0
inline constexpr int ESCAPE_FAILED = -2; // a keyboard read failed, reported

// Carries out the command line `line` (as read, newline included): q quits,
// ? prints the help, v the modem status of `line_fd`, d/h/r toggle a bit of
// `modes`, x puts hex bytes at the start of `relay_buffer`. Returns the
// number of bytes to send (0 for none) or ESCAPE_QUIT.
[[nodiscard]] int
run_command(const char* line,
            std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
            int& modes);

// Called with the escape character in relay_buffer[0]. If a key arrives
// within `flush_timeout_us`, puts it in relay_buffer[0] and returns 1 (0 at
// end of keyboard input); otherwise shows the prompt with the keyboard in
// its saved settings, reads one command line and runs it, and makes the
// keyboard raw again. Returns a byte count to send, ESCAPE_QUIT or
// ESCAPE_FAILED.
[[nodiscard]] int
escape_prompt(std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
              int& modes, int flush_timeout_us);

} // namespace serterm
