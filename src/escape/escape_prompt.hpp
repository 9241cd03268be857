// What follows the escape character: a quick second key, or the one-line
// command prompt and its commands.
#pragma once

#include "common/common.hpp"

#include <span>

namespace serterm {

// Carries out the command line `line` (as read, newline included): q quits,
// ? prints the help, v the modem status of `line_fd`, d/h/r toggle a bit of
// `modes`, x puts hex bytes at the start of `relay_buffer`. Sets `count` to
// the number of bytes to send (0 for none); returns quit or go_on.
[[nodiscard]] relay_step
run_command(const char* line,
            std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
            int& modes, std::size_t& count);

// Called with the escape character in relay_buffer[0]. If a key arrives
// within `flush_timeout_us`, puts it in relay_buffer[0] with `count` 1 (0 at
// end of keyboard input); otherwise shows the prompt with the keyboard in
// its saved settings, reads one command line and runs it, and makes the
// keyboard raw again. Returns failed, errno set, if the quick key cannot be
// read.
[[nodiscard]] relay_step
escape_prompt(std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
              int& modes, int flush_timeout_us, std::size_t& count);

} // namespace serterm
