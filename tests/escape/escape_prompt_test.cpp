// Table tests of the escape prompt's command line: the commands, and the
// keys typed for it edited as the terminal would.
#include "escape/escape_prompt.hpp"
#include "support/oracles.hpp"
#include "support/pty_kit.hpp"

#include <gtest/gtest.h>
#include <string>

namespace serterm {
namespace {

constexpr int HEX = MODE_HEXDUMP;
constexpr int HALF = MODE_HALF_DUPLEX;
constexpr int MAP = MODE_MAP_CR;
constexpr command_effect NONE = command_effect::none;

TEST(RunCommand, EachLineDoesWhatItSaysAndNothingElse)
{
  // A command line and the modes before it; what it does, leaves in the
  // modes, puts in the bytes for the line and in the text to show.
  const struct {
    const char* line;
    int modes_before;
    command_effect effect;
    int modes_after;
    std::string bytes;
    std::string text;
  } rows[] = {
      {"q\n", 0, command_effect::quit, 0, "", ""},
      {"quit please\n", 0, command_effect::quit, 0, "", ""},
      {"v\n", MAP, command_effect::modem_status, MAP, "", ""},
      {"d\n", 0, NONE, HEX, "", ""},
      {"h\n", HEX, NONE, HEX | HALF, "", ""},
      {"r\n", HEX | HALF, NONE, HEX | HALF | MAP, "", ""},
      {"d\n", HEX | HALF | MAP, NONE, HALF | MAP, "", ""},
      // Unknown, upper case and empty lines do nothing at all.
      {"\n", MAP, NONE, MAP, "", ""},
      {"", MAP, NONE, MAP, "", ""},
      {"Q\n", MAP, NONE, MAP, "", ""},
      {"D\n", MAP, NONE, MAP, "", ""},
      {"V\n", MAP, NONE, MAP, "", ""},
      {"X 41\n", MAP, NONE, MAP, "", ""},
      {" q\n", MAP, NONE, MAP, "", ""},
      {"z\n", MAP, NONE, MAP, "", ""},
      {"x 41 54 5a 0d 0a\n", 0, NONE, 0, "ATZ\r\n", ""},
      {"?\n", 0, NONE, 0, "", testing::HELP_TEXT},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    std::array<unsigned char, BUFFER_SIZE> bytes{};
    std::array<char, COMMAND_TEXT_SIZE> text{};
    int modes = row.modes_before;
    command_result result = run_command(row.line, bytes, modes, text);
    EXPECT_EQ(result.effect, row.effect);
    EXPECT_EQ(modes, row.modes_after);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + result.bytes),
              row.bytes);
    EXPECT_EQ(std::string(text.data(), result.text), row.text);
  }
}

TEST(AddKeys, TypedKeysEditedAsTheTerminalWould)
{
  // Keys typed for the prompt with the terminal's editing keys (^D, DEL,
  // ^U) or with none; the line they make, how it stands, the keys used.
  const line_editing terminal{.eof = 4, .erase = 0x7f, .kill = 0x15};
  const struct {
    std::string keys;
    bool edits;
    std::string line;
    line_state state;
    std::size_t used;
  } rows[] = {
      {"q\rrest", true, "q\n", line_state::complete, 2},
      {"q\n", false, "q\n", line_state::complete, 2},
      {"x 41", true, "x 41", line_state::open, 4},
      {"\x04", true, "", line_state::end_of_input, 1},
      {"zz\x15q\r", true, "q\n", line_state::complete, 5},
      {"x 41 42\x7f"
       "3\r",
       true, "x 41 43\n", line_state::complete, 10},
      {"\x7f\x7fq\r", true, "q\n", line_state::complete, 4},
      // Text handed over by ^D stays: erase and kill cannot reach it, and
      // a second ^D ends the input with it as the line.
      {"ab\x04\x7f\x15"
       "c\x04\x04",
       true, "abc", line_state::end_of_input, 8},
      {"a\x7f\x15\x04", false, "a\x7f\x15\x04", line_state::open, 4},
      // A line too long for the buffer is cut, but still ends.
      {std::string(9000, 'a') + "\n", true, std::string(BUFFER_SIZE - 1, 'a'),
       line_state::complete, 9001},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::printable(row.keys.substr(0, 20)));
    command_line line;
    line_state state = line_state::open;
    EXPECT_EQ(add_keys(line, testing::bytes_of(row.keys),
                       row.edits ? terminal : line_editing{}, state),
              row.used);
    EXPECT_EQ(std::string(line.text.data()), row.line);
    EXPECT_EQ(state, row.state);
    EXPECT_EQ(line.cut, row.keys.size() > BUFFER_SIZE);
  }
}

} // namespace
} // namespace serterm
