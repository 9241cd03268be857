// The process-wide program name and the messages that carry it.
#include "common/common.hpp"

#include <cstdio>
#include <cstring>

namespace serterm {

const char* progname = "serterm";

void
report(const char* what, int error)
{
  if (error == 0) {
    std::fprintf(stderr, "%s: %s\n", progname, what);
  } else {
    std::fprintf(stderr, "%s: %s: %s\n", progname, what, std::strerror(error));
  }
}

} // namespace serterm
