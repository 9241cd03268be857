// The one-line command prompt that the escape character opens, and its
// commands.
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

// Shows the prompt with the keyboard in its saved settings, reads one
// command line and runs it, and makes the keyboard raw again. Keys typed
// before the prompt appeared begin the line, and a CR among them (Enter in
// raw mode) ends it. Sets `count` to the number of bytes the command put at
// the start of `relay_buffer`; returns quit or go_on.
[[nodiscard]] relay_step
escape_prompt(std::span<unsigned char, BUFFER_SIZE> relay_buffer, int line_fd,
              int& modes, std::size_t& count);

} // namespace serterm
