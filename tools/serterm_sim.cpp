// serterm-sim: a pseudo-terminal that plays a Hayes-style modem, a loopback
// or a pattern source, so serterm can be tried and tested without hardware.
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>

namespace serterm_sim {

namespace {

// A modem leaves data mode on "+++" only with this much silence before and
// after it.
constexpr long long GUARD_MS = 1000;
// The longest wait of the main loop, and the pause while nobody has the
// slave side open.
constexpr int TICK_MS = 50;
constexpr long long DEFAULT_TIMEOUT_S = 5;

constexpr std::size_t OUTPUT_SIZE = 16384;
// Room kept free for the answers to one read of input: 64 bytes can end at
// most 32 command lines, each answered with well under 128 bytes.
constexpr std::size_t INPUT_CHUNK = 64;
constexpr std::size_t ANSWER_ROOM = 4096;
constexpr std::size_t COMMAND_SIZE = 128;

// 62 characters, then the line end: the stream's known pattern.
constexpr std::string_view PATTERN_LINE =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

constexpr std::string_view IDENTIFICATION = "serterm-sim Hayes-style modem";

struct settings {
  const char* link_path = nullptr;
  bool loopback = false;
  long long stream_bytes = 0;
  bool cr_only = false;
  long long timeout_s = DEFAULT_TIMEOUT_S;
  long long guard_ms = GUARD_MS;
};

// Bytes waiting for the master side to take them.
struct output_queue {
  std::array<unsigned char, OUTPUT_SIZE> bytes;
  std::size_t start = 0;
  std::size_t end = 0;
};

struct modem_state {
  bool echo = true;
  bool verbose = true;
  bool data_mode = false;
  std::array<char, COMMAND_SIZE> command;
  std::size_t command_length = 0;
  bool command_too_long = false;
  // "+++" detection in data mode: how many guarded '+' in a row, when the
  // last one came, and when the last byte of any kind came.
  int plus_count = 0;
  long long last_plus_ms = 0;
  long long last_byte_ms = 0;
};

volatile std::sig_atomic_t stop_requested = 0;

void
request_stop(int)
{
  stop_requested = 1;
}

long long
now_ms()
{
  timespec t{};
  std::ignore = clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

constexpr const char* HELP_TEXT =
    R"(Usage: serterm-sim [--link PATH] [--loopback] [--stream N] [--cr-only]
                   [--timeout S] [--guard MS]
Creates a pseudo-terminal pair, prints the path of its slave side (the
device to give serterm) on standard output and plays a device on it.

By default the device is a Hayes-style modem. In command mode it echoes
what it receives and answers each line ended by CR:
  AT                 OK
  ATZ                OK, echo and word answers back on
  ATI                an identification line, then OK
  ATE0, ATE1         echo off, on; OK
  ATV0, ATV1         answers as numbers (0 OK, 1 CONNECT, 4 ERROR,
                     each followed by CR alone), as words; OK
  ATD<digits>        CONNECT 9600, then data mode (ATDT and ATDP too;
                     blanks, '-' and ',' in the number are allowed)
  ATH                OK (hang up)
  anything else      ERROR
Commands may be in upper or lower case; blanks are ignored; BS and DEL
take back the last character; an empty line gets no answer. Word
answers are framed by CR LF.
In data mode every byte is echoed back. "+++" with a second of silence
(the guard time) before and after it returns to command mode with OK.
When the slave side is closed the modem hangs up and starts afresh (echo
on, word answers, command mode).

Options:
  --link PATH   also make a symbolic link PATH to the slave side (an
                existing symbolic link there is replaced); removed at exit
  --loopback    echo every byte back instead of playing a modem
  --stream N    each time the slave side is opened, first send N bytes
                of a known pattern: lines of the 62 characters 0-9A-Za-z
                and a line end, cut after N bytes; then play the device
  --cr-only     end every line it sends with a lone CR instead of CR LF
  --timeout S   once the slave side has been opened and closed again,
                exit if it is not reopened within S seconds (default 5)
  --guard MS    the guard time around "+++", in milliseconds (default
                1000)
  --help        show this text and exit

serterm-sim runs until it is killed (SIGTERM, SIGINT and SIGHUP end it
cleanly, unless ignored when it started) or the timeout above passes.
Exit status: 0 after a normal end, 1 if the pseudo-terminal or the link
cannot be made, 2 for a bad command line.
)";

void
print_help(std::FILE* out)
{
  std::fputs(HELP_TEXT, out);
}

[[noreturn]] void
usage_error(const char* message, const char* word)
{
  std::fprintf(stderr, "serterm-sim: %s: %s\n", message, word);
  std::fputs("Try 'serterm-sim --help'.\n", stderr);
  std::exit(2);
}

long long
read_count(const char* option, const char* text)
{
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < 0) {
    usage_error(option, "expects a whole number of 0 or more");
  }
  return value;
}

settings
parse_arguments(std::span<char*> args)
{
  settings out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view word = args[i];
    bool has_value = i + 1 < args.size();
    if (word == "--help") {
      print_help(stdout);
      std::exit(0);
    } else if (word == "--loopback") {
      out.loopback = true;
    } else if (word == "--cr-only") {
      out.cr_only = true;
    } else if (word == "--link" && has_value) {
      out.link_path = args[++i];
    } else if (word == "--stream" && has_value) {
      out.stream_bytes = read_count("--stream", args[++i]);
    } else if (word == "--timeout" && has_value) {
      out.timeout_s = read_count("--timeout", args[++i]);
    } else if (word == "--guard" && has_value) {
      out.guard_ms = read_count("--guard", args[++i]);
    } else if (word == "--link" || word == "--stream" || word == "--timeout" ||
               word == "--guard") {
      usage_error("option needs a value", args[i]);
    } else {
      usage_error("unknown option", args[i]);
    }
  }
  return out;
}

std::size_t
free_space(const output_queue& q)
{
  return OUTPUT_SIZE - (q.end - q.start);
}

// Appends `data` to the queue, moving what waits to the front if needed.
// Callers keep ANSWER_ROOM free, so nothing is ever cut in practice; if it
// were, the excess is dropped rather than written out of bounds.
void
push(output_queue& q, std::string_view data)
{
  if (q.end + data.size() > OUTPUT_SIZE && q.start > 0) {
    std::memmove(q.bytes.data(), q.bytes.data() + q.start, q.end - q.start);
    q.end -= q.start;
    q.start = 0;
  }
  std::size_t n = std::min(data.size(), OUTPUT_SIZE - q.end);
  std::memcpy(q.bytes.data() + q.end, data.data(), n);
  q.end += n;
}

void
push_byte(output_queue& q, unsigned char byte)
{
  char c = static_cast<char>(byte);
  push(q, std::string_view(&c, 1));
}

std::string_view
line_end(const settings& s)
{
  return s.cr_only ? "\r" : "\r\n";
}

// Sends a result code: "<CR LF>OK<CR LF>" in word form, "0<CR>" in numbers.
void
answer(output_queue& q, const modem_state& m, const settings& s,
       std::string_view words, std::string_view number)
{
  if (m.verbose) {
    push(q, line_end(s));
    push(q, words);
    push(q, line_end(s));
  } else {
    push(q, number);
    push(q, "\r");
  }
}

void
answer_ok(output_queue& q, const modem_state& m, const settings& s)
{
  answer(q, m, s, "OK", "0");
}

void
answer_error(output_queue& q, const modem_state& m, const settings& s)
{
  answer(q, m, s, "ERROR", "4");
}

// True if `number` is a dial string: digits, with blanks removed already,
// and '-' or ',' allowed between them.
bool
is_dial_string(std::string_view number)
{
  bool digit_seen = false;
  for (char c : number) {
    if (c >= '0' && c <= '9') {
      digit_seen = true;
    } else if (c != '-' && c != ',') {
      return false;
    }
  }
  return digit_seen;
}

// Carries out one command line (upper case, blanks removed) and queues the
// answer.
void
run_command(std::string_view line, output_queue& q, modem_state& m,
            const settings& s, long long now)
{
  if (line.empty()) {
    return;
  }
  if (line.substr(0, 2) != "AT") {
    answer_error(q, m, s);
    return;
  }
  std::string_view rest = line.substr(2);
  if (rest.empty()) {
    answer_ok(q, m, s);
  } else if (rest == "Z" || rest == "Z0") {
    m.echo = true;
    m.verbose = true;
    answer_ok(q, m, s);
  } else if (rest == "I" || rest == "I0") {
    if (m.verbose) {
      push(q, line_end(s));
    }
    push(q, IDENTIFICATION);
    push(q, line_end(s));
    answer_ok(q, m, s);
  } else if (rest == "E" || rest == "E0" || rest == "E1") {
    m.echo = rest == "E1";
    answer_ok(q, m, s);
  } else if (rest == "V" || rest == "V0" || rest == "V1") {
    m.verbose = rest == "V1";
    answer_ok(q, m, s);
  } else if (rest == "H" || rest == "H0") {
    answer_ok(q, m, s);
  } else if (rest[0] == 'D') {
    std::string_view number = rest.substr(1);
    if (!number.empty() && (number[0] == 'T' || number[0] == 'P')) {
      number = number.substr(1);
    }
    if (!is_dial_string(number)) {
      answer_error(q, m, s);
      return;
    }
    answer(q, m, s, "CONNECT 9600", "1");
    m.data_mode = true;
    m.plus_count = 0;
    m.last_byte_ms = now;
  } else {
    answer_error(q, m, s);
  }
}

void
command_mode_byte(unsigned char byte, output_queue& q, modem_state& m,
                  const settings& s, long long now)
{
  if (m.echo) {
    push_byte(q, byte);
  }
  if (byte == '\r') {
    std::string_view line(m.command.data(), m.command_length);
    if (m.command_too_long) {
      answer_error(q, m, s);
    } else {
      run_command(line, q, m, s, now);
    }
    m.command_length = 0;
    m.command_too_long = false;
  } else if (byte == '\b' || byte == 0x7F) {
    if (m.command_length > 0) {
      --m.command_length;
    }
  } else if (byte == '\n' || byte == ' ') {
    // A terminal's LF after CR, and blanks, carry no meaning.
  } else if (m.command_length < m.command.size()) {
    char c = static_cast<char>(byte);
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
    m.command[m.command_length++] = c;
  } else {
    m.command_too_long = true;
  }
}

void
data_mode_byte(unsigned char byte, output_queue& q, modem_state& m,
               long long guard_ms, long long now)
{
  push_byte(q, byte);
  bool guarded = m.plus_count == 0 ? now - m.last_byte_ms >= guard_ms
                                   : now - m.last_plus_ms < guard_ms;
  if (byte == '+' && m.plus_count < 3 && guarded) {
    ++m.plus_count;
    m.last_plus_ms = now;
  } else {
    m.plus_count = 0;
  }
  m.last_byte_ms = now;
}

void
handle_input(std::span<const unsigned char> input, output_queue& q,
             modem_state& m, const settings& s, long long now)
{
  for (unsigned char byte : input) {
    if (s.loopback) {
      push_byte(q, byte);
    } else if (m.data_mode) {
      data_mode_byte(byte, q, m, s.guard_ms, now);
    } else {
      command_mode_byte(byte, q, m, s, now);
    }
  }
}

// Queues the next pattern bytes of the stream, keeping ANSWER_ROOM free.
void
fill_stream(output_queue& q, long long& stream_sent, const settings& s)
{
  std::size_t line_length = PATTERN_LINE.size() + line_end(s).size();
  while (stream_sent < s.stream_bytes && free_space(q) > ANSWER_ROOM) {
    auto position = static_cast<std::size_t>(stream_sent) % line_length;
    std::string_view piece =
        position < PATTERN_LINE.size()
            ? PATTERN_LINE.substr(position)
            : line_end(s).substr(position - PATTERN_LINE.size());
    auto left = static_cast<std::size_t>(s.stream_bytes - stream_sent);
    piece = piece.substr(
        0, std::min({piece.size(), left, free_space(q) - ANSWER_ROOM}));
    push(q, piece);
    stream_sent += static_cast<long long>(piece.size());
  }
}

// Opens a pseudo-terminal pair and sets its slave side raw, so that nothing
// sent before the other program sets the line up is echoed or altered.
// Returns the master descriptor, or -1 after a message.
int
open_pty(std::array<char, 128>& slave_path)
{
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, slave_path.data(), slave_path.size()) != 0) {
    std::fprintf(stderr, "serterm-sim: can't make a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return -1;
  }
  int slave = open(slave_path.data(), O_RDWR | O_NOCTTY);
  if (slave < 0) {
    std::fprintf(stderr, "serterm-sim: can't open %s: %s\n", slave_path.data(),
                 std::strerror(errno));
    return -1;
  }
  termios t{};
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    std::ignore = tcsetattr(slave, TCSANOW, &t);
  }
  std::ignore = close(slave);
  return master;
}

// Makes `link_path` a symbolic link to `target`, replacing a symbolic link
// already there but nothing else. Returns false after a message.
bool
make_link(const char* link_path, const char* target)
{
  struct stat st {};
  if (lstat(link_path, &st) == 0 && S_ISLNK(st.st_mode)) {
    std::ignore = unlink(link_path);
  }
  if (symlink(target, link_path) != 0) {
    std::fprintf(stderr, "serterm-sim: can't make the link %s: %s\n", link_path,
                 std::strerror(errno));
    return false;
  }
  return true;
}

// Removes `link_path` if it still points to `target`.
void
remove_link(const char* link_path, const char* target)
{
  std::array<char, 128> seen{};
  ssize_t n = readlink(link_path, seen.data(), seen.size() - 1);
  if (n > 0 && std::string_view(seen.data(), static_cast<std::size_t>(n)) ==
                   std::string_view(target)) {
    std::ignore = unlink(link_path);
  }
}

// Signals that end the simulator are blocked except inside ppoll, so a
// signal cannot slip in between the check of `stop_requested` and the wait.
sigset_t
install_signal_handlers()
{
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction old {};
    // A signal ignored at start (nohup, a background job of a script)
    // stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      continue;
    }
    std::ignore = sigaction(sig, &action, nullptr);
    sigaddset(&blocked, sig);
  }
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t previous;
  std::ignore = sigprocmask(SIG_BLOCK, &blocked, &previous);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    sigdelset(&previous, sig);
  }
  return previous;
}

// What the main loop keeps from one pass to the next.
struct device_state {
  output_queue q;
  modem_state m;
  long long stream_sent = 0;
  // Whether the slave side has ever been opened, whether it is open now,
  // and when it was last closed.
  bool peer_seen = false;
  bool peer_open = false;
  long long closed_at = 0;
};

constexpr timespec TICK{0, TICK_MS * 1000000L};

// Leaves data mode with OK once "+++" has been followed by the guard time
// of silence.
void
end_data_mode_after_guard(device_state& d, const settings& s, long long now)
{
  modem_state& m = d.m;
  if (m.data_mode && m.plus_count == 3 && now - m.last_plus_ms >= s.guard_ms) {
    m.data_mode = false;
    m.plus_count = 0;
    answer_ok(d.q, m, s);
  }
}

// Waits up to one tick for `master` to have input (only while the queue
// has room for its answers) or room for what is queued. Returns the events
// that came, or -1 when a stop signal came.
int
wait_for_master(int master, const output_queue& q, const sigset_t& wait_mask)
{
  pollfd p{master, 0, 0};
  if (free_space(q) >= ANSWER_ROOM) {
    p.events |= POLLIN;
  }
  if (q.end > q.start) {
    p.events |= POLLOUT;
  }
  if (ppoll(&p, 1, &TICK, &wait_mask) < 0) {
    return -1;
  }
  return p.revents;
}

// Notes that nobody has the slave side open. Before the first opener this
// is only the simulator's own set-up open; after it, a hang-up. Returns
// true once the slave side has stayed closed for the timeout.
bool
note_hang_up(int master, device_state& d, const settings& s, long long now)
{
  if (d.peer_open) {
    d.peer_open = false;
    d.closed_at = now;
    // Like a modem whose DTR dropped: back to command mode, nothing left
    // to send.
    d.m = modem_state{};
    d.q.start = d.q.end = 0;
    std::ignore = tcflush(master, TCIOFLUSH);
  }
  return d.peer_seen && (now - d.closed_at) / 1000 >= s.timeout_s;
}

// Notes that the slave side is open; a new opener gets the stream afresh.
void
note_open(device_state& d)
{
  if (!d.peer_open) {
    d.peer_open = true;
    d.peer_seen = true;
    d.stream_sent = 0;
  }
}

// Reads what `master` has and plays the device on it.
void
read_master(int master, device_state& d, const settings& s, long long now)
{
  std::array<unsigned char, INPUT_CHUNK> input{};
  ssize_t got = read(master, input.data(), input.size());
  if (got > 0) {
    handle_input(std::span<const unsigned char>(input).first(
                     static_cast<std::size_t>(got)),
                 d.q, d.m, s, now);
  }
}

// Writes as much of the queue to `master` as it takes.
void
write_master(int master, output_queue& q)
{
  ssize_t put = write(master, q.bytes.data() + q.start, q.end - q.start);
  if (put > 0) {
    q.start += static_cast<std::size_t>(put);
    if (q.start == q.end) {
      q.start = q.end = 0;
    }
  }
}

// Plays the device on `master` until a stop signal, or until the slave side
// has been closed for the timeout.
void
run(int master, const settings& s, const sigset_t& wait_mask)
{
  device_state d;
  while (stop_requested == 0) {
    end_data_mode_after_guard(d, s, now_ms());
    if (d.peer_open) {
      fill_stream(d.q, d.stream_sent, s);
    }
    int events = wait_for_master(master, d.q, wait_mask);
    if (events < 0) {
      continue; // a stop signal; the loop condition sees it
    }
    long long now = now_ms();
    if ((events & POLLHUP) != 0) {
      if (note_hang_up(master, d, s, now)) {
        return;
      }
      std::ignore = ppoll(nullptr, 0, &TICK, &wait_mask);
      continue;
    }
    note_open(d);
    if ((events & POLLIN) != 0) {
      read_master(master, d, s, now);
    }
    if ((events & POLLOUT) != 0 && d.q.end > d.q.start) {
      write_master(master, d.q);
    }
  }
}

} // namespace

} // namespace serterm_sim

int
main(int argc, char** argv)
{
  using namespace serterm_sim;

  std::span<char*> args(argv, static_cast<std::size_t>(argc));
  settings s = parse_arguments(args.empty() ? args : args.subspan(1));
  sigset_t wait_mask = install_signal_handlers();

  std::array<char, 128> slave_path{};
  int master = open_pty(slave_path);
  if (master < 0) {
    return 1;
  }
  if (s.link_path != nullptr && !make_link(s.link_path, slave_path.data())) {
    return 1;
  }
  std::printf("%s\n", slave_path.data());
  std::fflush(stdout);
  // Nothing else goes to standard output; letting it go means a caller
  // reading the path through a pipe sees its end at once.
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    std::ignore = dup2(null_fd, STDOUT_FILENO);
    std::ignore = close(null_fd);
  }

  run(master, s, wait_mask);

  if (s.link_path != nullptr) {
    remove_link(s.link_path, slave_path.data());
  }
  std::ignore = close(master);
  return 0;
}
