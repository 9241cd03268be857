// The escape prompt's command line and its commands.
#include "escape/escape_prompt.hpp"

#include "escape/hex_parser.hpp"

#include <algorithm>
#include <cstring>

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

// Appends `c` to `line` if it fits, leaving room for the NUL; a key that
// does not fit makes the line too long, except the newline that ends it.
void
store(command_line& line, char c)
{
  if (line.length + 1 < line.text.size()) {
    line.text[line.length++] = c;
  } else if (c != '\n') {
    line.cut = true;
  }
}

} // namespace

std::size_t
add_keys(command_line& line, std::span<const unsigned char> keys,
         const line_editing& editing, line_state& state)
{
  state = line_state::open;
  std::size_t used = 0;
  while (used < keys.size() && state == line_state::open) {
    unsigned char key = keys[used++];
    if (key == CR || key == LF) {
      store(line, '\n');
      state = line_state::complete;
    } else if (editing.eof != 0 && key == editing.eof) {
      // At the start of the terminal's line it ends the input; after
      // text it hands that text over as it stands.
      state = line.length == line.pushed ? line_state::end_of_input : state;
      line.pushed = line.length;
    } else if (editing.erase != 0 && key == editing.erase) {
      line.length -= line.length > line.pushed ? 1 : 0;
    } else if (editing.kill != 0 && key == editing.kill) {
      line.length = line.pushed;
    } else {
      store(line, static_cast<char>(key));
    }
  }
  line.text[line.length] = '\0';
  return used;
}

command_result
run_command(const char* line, std::span<unsigned char, BUFFER_SIZE> bytes,
            int& modes, std::span<char, COMMAND_TEXT_SIZE> text)
{
  command_result result;
  switch (line[0]) {
  case 'q':
    result.effect = command_effect::quit;
    break;
  case '?':
    for (const char* piece : HELP_TEXT) {
      std::size_t n = std::strlen(piece);
      std::memcpy(text.data() + result.text, piece, n);
      result.text += n;
    }
    break;
  case 'v':
    result.effect = command_effect::modem_status;
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
    result.bytes = parse_hex_data(line, bytes);
    break;
  default:
    break;
  }
  return result;
}

} // namespace serterm
