// serterm's entry: scan the command line, set up the line and the keyboard,
// relay, put both back.
#include "common/io.hpp"
#include "front_end/options.hpp"
#include "relay/relay.hpp"
#include "terminal_control/terminal_control.hpp"

#include <cstdio>

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
  keyboard_raw();
  int status =
      run_relay(line_fd, opts.modes, opts.flush_timeout_us, opts.escape_char);
  keyboard_restore();
  close_line(line_fd);
  return status;
}
