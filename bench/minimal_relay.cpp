// The bare relay the benchmark measures serterm against: select, read up to
// 64 KB, write it all, between the keyboard (fd 0, also the screen) and a
// line device, with nothing else.
#include <array>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Writes all of `count` bytes of `data` to the blocking descriptor `fd`.
// Returns false on an error.
bool
write_all(int fd, const unsigned char* data, std::size_t count)
{
  while (count > 0) {
    ssize_t n = write(fd, data, count);
    if (n < 0) {
      return false;
    }
    data += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

void
make_raw(int fd)
{
  termios settings{};
  if (tcgetattr(fd, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
  }
}

} // namespace

int
main(int argc, char** argv)
{
  if (argc != 2) {
    std::fputs("usage: minimal_relay line-device\n", stderr);
    return 1;
  }
  int line_fd = open(argv[1], O_RDWR | O_NOCTTY);
  if (line_fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  make_raw(line_fd);
  make_raw(STDIN_FILENO);

  static std::array<unsigned char, 65536> buffer;
  for (;;) {
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(STDIN_FILENO, &read_set);
    FD_SET(line_fd, &read_set);
    if (select(line_fd + 1, &read_set, nullptr, nullptr, nullptr) < 0) {
      continue;
    }
    if (FD_ISSET(STDIN_FILENO, &read_set)) {
      ssize_t n = read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n <= 0 ||
          !write_all(line_fd, buffer.data(), static_cast<std::size_t>(n))) {
        return 0;
      }
    }
    if (FD_ISSET(line_fd, &read_set)) {
      ssize_t n = read(line_fd, buffer.data(), buffer.size());
      if (n <= 0 || !write_all(STDIN_FILENO, buffer.data(),
                               static_cast<std::size_t>(n))) {
        return 0;
      }
    }
  }
}
