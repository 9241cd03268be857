// The escape prompt's command line: the keys typed for it, edited as the
// keyboard's terminal would edit them, and the commands it runs. Pure: the
// relay shows the prompt and reads the keys.
#pragma once

#include "common/common.hpp"
#include "terminal_control/terminal_control.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace serterm {

// A command line being gathered, NUL-terminated. Erase and kill reach back
// only to `pushed`, where the terminal's current line begins; `cut` says a
// key did not fit.
struct command_line {
  std::array<char, BUFFER_SIZE> text;
  std::size_t length = 0;
  std::size_t pushed = 0;
  bool cut = false;
};

enum class line_state { open, complete, end_of_input };

// Adds `keys` to `line` until the line ends (CR or LF, which is stored as a
// newline, or end of input on an empty terminal line), the keys of
// `editing` acting as the line-editing terminal would. Returns the number
// of keys used; `state` says how the line stands.
std::size_t add_keys(command_line& line, std::span<const unsigned char> keys,
                     const line_editing& editing, line_state& state);

// Size of the text a command may show: the help is the longest.
inline constexpr std::size_t COMMAND_TEXT_SIZE = 512;

enum class command_effect { none, quit, modem_status };

// What a command did besides changing `modes`: quit, or asked for the modem
// status; the number of bytes put at the start of the output for the line;
// the length of the text it put in the text output for standard error.
struct command_result {
  command_effect effect = command_effect::none;
  std::size_t bytes = 0;
  std::size_t text = 0;
};

// Carries out the command line `line` (NUL-terminated, as read, newline
// included): q quits, ? gives the help, v asks for the modem status, d/h/r
// toggle a bit of `modes`, x puts hex bytes in `bytes`; anything else does
// nothing.
[[nodiscard]] command_result
run_command(const char* line, std::span<unsigned char, BUFFER_SIZE> bytes,
            int& modes, std::span<char, COMMAND_TEXT_SIZE> text);

} // namespace serterm
