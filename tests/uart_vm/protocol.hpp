// What the harness, the guest's agent and the device shim share: an answer
// is one line, "@@ " and words separated by single blanks, bytes in
// lower-case hexadecimal (an empty text is "-"); the bytes of the paste;
// and the device's side of a guest's serial line, which the harness and the
// shim preloaded into QEMU both map.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace uart_vm {

using words = std::vector<std::string>;

inline std::string
to_hex(const std::string& data)
{
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (char c : data) {
    auto byte = static_cast<unsigned char>(c);
    hex += {DIGITS[byte >> 4], DIGITS[byte & 15]};
  }
  return hex.empty() ? "-" : hex;
}

// The bytes `hex` stands for ("-": none).
inline std::string
from_hex(const std::string& hex)
{
  std::string data;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    data.push_back(
        static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16)));
  }
  return data;
}

inline words
split(const std::string& line)
{
  std::istringstream in(line);
  words out;
  for (std::string word; in >> word;) {
    out.push_back(word);
  }
  return out;
}

// Word `i` of `w`, or "" when there are fewer; as a number, 0 then.
inline std::string
word(const words& w, std::size_t i)
{
  return i < w.size() ? w[i] : "";
}

inline long
number(const words& w, std::size_t i)
{
  return std::strtol(word(w, i).c_str(), nullptr, 10);
}

// The first `size` bytes of the paste: printable text in 64-byte lines
// ending in CR LF, so that a lost or repeated stretch shows where it
// happened. The escape character never occurs.
inline std::string
paste_text(std::size_t size)
{
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    std::size_t column = i % 64;
    text.push_back(column == 62 ? '\r'
                   : column == 63
                       ? '\n'
                       : static_cast<char>(' ' + (i / 64 + column * 7) % 95));
  }
  return text;
}

// The lines the guest drives (its UART's control register); the device
// drives the others.
inline constexpr std::uint32_t GUEST_LINES = TIOCM_DTR | TIOCM_RTS;

// One file mapped by the harness and the shim. The harness writes
// `device_lines`; the shim answers QEMU's TIOCMGET with them plus the
// guest's lines, counting the requests, and counts the changes of the
// guest's lines that QEMU's TIOCMSET brings. A pseudo-terminal forces 8 data
// bits and no parity, so the shim also keeps the control flags and speed of
// QEMU's last tcsetattr.
struct device_state {
  std::atomic<std::uint32_t> device_lines, guest_lines, get_count, changes;
  std::atomic<std::uint32_t> line_cflag, line_speed;
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
              "the record is shared between processes");

// The record in the file at `path`, made if it is not there yet, mapped
// shared; nullptr if it cannot be.
inline device_state*
map_device_state(const char* path)
{
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  void* map = fd >= 0 && ftruncate(fd, sizeof(device_state)) == 0
                  ? mmap(nullptr, sizeof(device_state), PROT_READ | PROT_WRITE,
                         MAP_SHARED, fd, 0)
                  : MAP_FAILED;
  close(fd);
  return map == MAP_FAILED ? nullptr : static_cast<device_state*>(map);
}

// Environment variables through which the harness tells the shim the
// shared file and the host tty whose calls it answers.
inline constexpr const char* DEVICE_FILE_ENV = "SERTERM_VM_DEVICE_FILE";
inline constexpr const char* DEVICE_TTY_ENV = "SERTERM_VM_DEVICE_TTY";

} // namespace uart_vm
