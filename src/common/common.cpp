// The process-wide program name, the messages that carry it, and where
// the user's terminal left its line.
#include "common/common.hpp"

#include <cstdio>
#include <cstring>

namespace serterm {

const char* progname = "serterm";

namespace {

// At start the shell has just ended its line.
bool line_open = false;

} // namespace

void
report(const char* what, int error)
{
  if (error == 0) {
    std::fprintf(stderr, "%s: %s\n", progname, what);
  } else {
    std::fprintf(stderr, "%s: %s: %s\n", progname, what, std::strerror(error));
  }
}

void
note_shown(std::span<const unsigned char> written)
{
  if (!written.empty()) {
    line_open = written.back() != LF;
  }
}

void
start_own_line()
{
  if (line_open) {
    std::fputs("\r\n", stderr);
    line_open = false;
  }
}

} // namespace serterm
