// serterm's entry: scan the command line, set up the line and the keyboard,
// relay, put both back.
#include "front_end/options.hpp"
#include "relay/relay.hpp"
#include "relay/relay_end.hpp"
#include "terminal_control/terminal_control.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no later open lands there: the line must never be taken for the keyboard
// or for standard output. Each stand-in is opened for the direction its
// descriptor is not used in, so using it still fails as a closed one would.
void
reserve_standard_descriptors()
{
  for (int fd = 0; fd <= 2; ++fd) {
    // The lower descriptors are open by now, so the open lands on `fd`.
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      std::ignore = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    }
  }
}

// Gives each of descriptors 0, 1 and 2 that is a terminal or a pipe an open
// file description of its own, opened anew with the same access mode and
// non-blocking: the relay then never waits on the screen or on standard
// output, while the descriptions shared with the shell keep their flags
// however serterm ends (stopped at the prompt or killed, too). One that
// cannot be opened anew stays as it is.
void
own_standard_descriptors()
{
  for (int fd = 0; fd <= 2; ++fd) {
    struct stat st {};
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fstat(fd, &st) != 0 ||
        (!isatty(fd) && !S_ISFIFO(st.st_mode))) {
      continue;
    }
    // Not formatted: printf's machinery alone would cost a sixth of
    // serterm's memory.
    constexpr std::array<const char*, 3> PATHS{
        "/proc/self/fd/0", "/proc/self/fd/1", "/proc/self/fd/2"};
    const char* path = PATHS[static_cast<std::size_t>(fd)];
    std::array<char, 64> target{};
    // Opened anew, a pseudo-terminal's master would be a new terminal.
    ssize_t length = readlink(path, target.data(), target.size() - 1);
    if (length < 0 || std::string_view(target.data()).find("ptmx") !=
                          std::string_view::npos) {
      continue;
    }
    int own = open(path, (flags & O_ACCMODE) | O_NONBLOCK | O_NOCTTY);
    if (own >= 0) {
      std::ignore = dup2(own, fd);
      std::ignore = close(own);
    }
  }
}

} // namespace

int
main(int argc, char** argv)
{
  using namespace serterm;

  if (argc > 0 && argv[0] != nullptr) {
    progname = argv[0];
  }
  options opts;
  std::span<char* const> args(argv, static_cast<std::size_t>(argc));
  if (!scan_options(args.empty() ? args : args.subspan(1), opts)) {
    print_usage();
    return 1;
  }
  // The prompt reads its line through stdin while the loop reads the
  // descriptor directly: a buffered stream would swallow keys typed ahead.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  reserve_standard_descriptors();
  install_signal_handlers();

  int line_fd = open_line(opts.device);
  setup_line(line_fd, opts.speed_bps);
  own_standard_descriptors();
  keyboard_raw();
  line_driver driver = describe_line(line_fd);
  relay_end end = run_relay(line_fd, opts.modes, opts.flush_timeout_us,
                            opts.escape_char, driver);
  // Before the saved settings come back, so that nothing goes out at their
  // speed.
  settle_line_output(line_fd, driver, end);
  // The messages' own line begun while the terminal is raw, so that it is
  // CR LF, and the messages written on the restored keyboard, so that each
  // ends its line there.
  begin_relay_report(end);
  keyboard_restore();
  report_relay_end(end);
  int status = wait_for_port(line_fd, driver, end);
  close_line(line_fd);
  return status;
}
