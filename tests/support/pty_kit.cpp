// The pty toolkit: pseudo-terminal pairs, started programs, bounded I/O.
#include "support/pty_kit.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace serterm::testing {

bool
open_pty(pty_pair& pty, const termios* settings)
{
  char name[256];
  if (openpty(&pty.master, &pty.slave, name, settings, nullptr) != 0) {
    return false;
  }
  pty.slave_path = name;
  return fcntl(pty.master, F_SETFD, FD_CLOEXEC) == 0 &&
         fcntl(pty.slave, F_SETFD, FD_CLOEXEC) == 0 &&
         set_nonblocking(pty.master);
}

void
close_pty(pty_pair& pty)
{
  // close(-1) fails harmlessly for an end that is not open.
  close(std::exchange(pty.master, -1));
  close(std::exchange(pty.slave, -1));
}

bool
set_nonblocking(int fd)
{
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int
remaining_ms(steady::time_point end)
{
  auto left =
      std::chrono::duration_cast<milliseconds>(end - steady::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::string
printable(std::string_view data)
{
  std::string out;
  for (char c : data) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (byte < 0x20 || byte >= 0x7f || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string
difference(std::string_view got, std::string_view want)
{
  if (got == want) {
    return "";
  }
  auto at = static_cast<std::size_t>(std::ranges::mismatch(got, want).in1 -
                                     got.begin());
  std::size_t from = at > 40 ? at - 40 : 0;
  return std::to_string(got.size()) + " bytes, " + std::to_string(want.size()) +
         " expected; from byte " + std::to_string(from) + " \"" +
         printable(got.substr(from, 80)) + "\" instead of \"" +
         printable(want.substr(from, 80)) + "\"";
}

bool
drain(int fd, std::string& into, std::size_t most)
{
  char chunk[65536];
  while (most > 0) {
    ssize_t n = read(fd, chunk, std::min(sizeof chunk, most));
    if (n <= 0) {
      return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    into.append(chunk, static_cast<std::size_t>(n));
    most -= static_cast<std::size_t>(n);
  }
  return true;
}

bool
wait_fd(int fd, short events, int ms)
{
  pollfd p{fd, events, 0};
  return poll(&p, 1, ms) > 0 && (p.revents & events) != 0;
}

wanted::wanted(std::string_view needle)
    : match(
          [text = std::string(needle)](std::string_view in, std::size_t from) {
            std::size_t at = in.find(text, from);
            return at == std::string_view::npos ? at : at + text.size();
          }),
      label("\"" + printable(needle) + "\"")
{
}

wanted
at_least(std::size_t size)
{
  wanted what("");
  what.match = [size](std::string_view in, std::size_t) {
    return in.size() >= size ? in.size() : std::string_view::npos;
  };
  what.label = std::to_string(size) + " bytes in all";
  return what;
}

bool
read_until(int fd, std::string& into, const wanted& what, milliseconds limit,
           std::size_t from)
{
  bool open = true;
  eventually(
      [&] {
        open = open && drain(fd, into);
        return !open || what.match(into, from) != std::string_view::npos;
      },
      limit);
  return what.match(into, from) != std::string_view::npos;
}

void
read_for(int fd, std::string& into, milliseconds span)
{
  eventually([&] { return !drain(fd, into); }, span);
}

bool
write_all_bounded(int fd, std::string_view data, milliseconds limit,
                  const std::function<void()>& while_full)
{
  auto end = steady::now() + limit;
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
        remaining_ms(end) == 0) {
      return false;
    }
    if (while_full) {
      while_full();
    }
    wait_fd(fd, POLLOUT, std::min(remaining_ms(end), while_full ? 5 : 50));
  }
  return true;
}

namespace {

// The streams of a run by name, for messages.
constexpr std::array<const char*, 4> STREAM_NAMES{"line", "screen", "stdout",
                                                  "stderr"};

// What differs between the wait status `status` and the one expected.
std::string
status_difference(int status, const outcome& expected)
{
  if (expected.signal != 0
          ? WIFSIGNALED(status) && WTERMSIG(status) == expected.signal
          : WIFEXITED(status) && WEXITSTATUS(status) == expected.exit_code) {
    return "";
  }
  return "wait status " + std::to_string(status) + ", expected " +
         (expected.signal != 0
              ? "death by signal " + std::to_string(expected.signal)
              : "exit " + std::to_string(expected.exit_code));
}

// In the child: opens /dev/null on every descriptor from 3 up to `end`,
// raising the soft limit on open files as far as the hard one allows.
void
fill_descriptors(int end)
{
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 &&
      limit.rlim_cur < static_cast<rlim_t>(end) + 16) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  int null = open("/dev/null", O_RDWR);
  for (int fd = 3; fd < end && null >= 0; ++fd) {
    dup2(null, fd); // on `null` itself, it does nothing
  }
  if (null >= end) {
    close(null);
  }
}

} // namespace

launch
program_launch(const std::string& binary, const std::string& argv0)
{
  if (emulated()) {
    return {.argv = {SERTERM_EMULATOR, "-0", argv0, binary}};
  }
  return {.argv = {argv0}, .path = binary};
}

bool
emulated()
{
  return *SERTERM_EMULATOR != '\0';
}

pid_t
start_process(const launch& what)
{
  std::vector<char*> argv;
  for (const std::string& word : what.argv) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid != 0) {
    return pid;
  }
  // Only async-signal-safe calls from here on.
  if (what.die_with_parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The caller may have ended before the request took effect.
    if (getppid() != parent) {
      _exit(1);
    }
  }
  if (what.new_session) {
    setsid();
  }
  auto id = static_cast<uid_t>(what.user);
  auto group = static_cast<gid_t>(what.group);
  if (what.user >= 0 && (setgroups(what.group >= 0 ? 1 : 0, &group) != 0 ||
                         setgid(id) != 0 || setuid(id) != 0)) {
    _exit(126);
  }
  int fds[3] = {what.in, what.out, what.err};
  for (int& fd : fds) {
    fd = fd >= 0 ? fcntl(fd, F_DUPFD, 3) : -1;
  }
  // Each on its place, or that closed; all were moved above 2 first, so
  // no dup clobbers another.
  for (int i = 0; i < 3; ++i) {
    fds[i] >= 0 ? dup2(fds[i], i) : close(i);
  }
  close_range(3, ~0U, 0);
  if (what.fill_descriptors_to > 0) {
    fill_descriptors(what.fill_descriptors_to);
    if (what.free_descriptor > 2) {
      close(what.free_descriptor);
    }
  }
  signal(SIGPIPE, what.ignore_sigpipe ? SIG_IGN : SIG_DFL);
  what.path.empty() ? execvp(argv[0], argv.data())
                    : execv(what.path.c_str(), argv.data());
  _exit(127);
}

int
wait_child(pid_t pid, milliseconds limit)
{
  int status = 0;
  pid_t done = 0;
  if (eventually([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; },
                 limit) &&
      done == pid) {
    return status;
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

bool
has_ended(pid_t pid)
{
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info,
                WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

long
cpu_ticks(pid_t pid)
{
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(file, line);
  long user = -1;
  long system = -1;
  // Fields 14 and 15, after the command name in parentheses, which may hold
  // blanks of its own.
  std::sscanf(line.c_str() + std::min(line.rfind(')') + 1, line.size()),
              " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user,
              &system);
  return user < 0 || system < 0 ? -1 : user + system;
}

long
proc_value(pid_t pid, const std::string& file, const std::string& key)
{
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string word;
  long value = -1;
  while (in >> word && word != key) {
  }
  in >> value;
  return value;
}

void (*report_failure)(const std::string& what) = [](const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
};

bool
start_run(run& r, launch what)
{
  std::array<int*, 3> child{&what.in, &what.out, &what.err};
  // The test's ends: the keys, and the `out` and `err` streams.
  std::array<int*, 3> mine{&r.keys, &r.fds[2], &r.fds[3]};
  for (std::size_t i = 0; i < child.size(); ++i) {
    int ends[2] = {-1, -1};
    if (*child[i] != PIPE) {
      continue;
    }
    if (pipe2(ends, O_CLOEXEC) != 0) {
      report_failure(std::string("pipe: ") + std::strerror(errno));
    }
    // The child reads its standard input and writes the other two.
    *child[i] = ends[i == 0 ? 0 : 1];
    *mine[i] = ends[i == 0 ? 1 : 0];
    set_nonblocking(*mine[i]);
  }
  r.pid = start_process(what);
  if (r.pid < 0) {
    report_failure("cannot start " + what.argv[0] + ": " +
                   std::strerror(errno));
  }
  for (std::size_t i = 0; i < child.size(); ++i) {
    if (*mine[i] >= 0) {
      close(*child[i]);
    }
  }
  return r.pid > 0;
}

std::string&
got(run& r, stream which)
{
  return r.got[static_cast<std::size_t>(which)];
}

void
pace(run& r, stream which, long bytes_per_s, std::size_t first)
{
  auto i = static_cast<std::size_t>(which);
  r.rate[i] = bytes_per_s;
  r.paced_since[i] = steady::now();
  r.paced_from[i] = r.got[i].size() + first;
}

void
take(run& r)
{
  for (std::size_t i = 0; i < r.fds.size(); ++i) {
    if (r.fds[i] < 0 || r.rate[i] == 0) {
      continue;
    }
    std::size_t most = SIZE_MAX;
    if (r.rate[i] > 0 && r.got[i].size() < r.paced_from[i]) {
      // The rate's clock starts once the bytes before `paced_from` are in.
      most = r.paced_from[i] - r.got[i].size();
      r.paced_since[i] = steady::now();
    } else if (r.rate[i] > 0) {
      auto due = static_cast<std::size_t>(
          static_cast<double>(r.rate[i]) *
          std::chrono::duration<double>(steady::now() - r.paced_since[i])
              .count());
      most = due - std::min(due, r.got[i].size() - r.paced_from[i]);
    }
    drain(r.fds[i], r.got[i], most);
  }
  while (!r.flood.empty() && r.fds[0] >= 0) {
    std::string_view rest =
        std::string_view(r.flood).substr(r.flood_sent % r.flood.size());
    ssize_t n = write(r.fds[0], rest.data(), rest.size());
    if (n <= 0) {
      break;
    }
    r.flood_sent += static_cast<std::size_t>(n);
  }
}

void
settle(run& r, milliseconds span)
{
  auto end = steady::now() + span;
  while (remaining_ms(end) > 0) {
    take(r);
    std::this_thread::sleep_for(milliseconds(2));
  }
}

bool
await(run& r, stream which, const wanted& what, milliseconds limit)
{
  auto i = static_cast<std::size_t>(which);
  std::size_t past = std::string_view::npos;
  bool found = eventually(
      [&] {
        take(r);
        past = what.match(r.got[i], r.seen[i]);
        return past != std::string_view::npos;
      },
      limit);
  if (!found) {
    report_failure(
        std::string(STREAM_NAMES[i]) + " never showed " + what.label +
        "; it holds " + std::to_string(r.got[i].size()) +
        " bytes, after byte " + std::to_string(r.seen[i]) + " \"" +
        printable(r.got[i].substr(std::min(r.seen[i], r.got[i].size()))) +
        "\"");
    return false;
  }
  r.seen[i] = past;
  return true;
}

void
put(run& r, int fd, std::string_view data, milliseconds limit)
{
  if (!write_all_bounded(fd, data, limit, [&r] { take(r); })) {
    report_failure("could not write all of \"" + printable(data) + "\"");
  }
}

bool
take_until_ended(run& r, milliseconds limit)
{
  return eventually(
      [&r] {
        take(r);
        return has_ended(r.pid);
      },
      limit);
}

void
end_run(run& r, const outcome& expected, milliseconds limit)
{
  bool ended = take_until_ended(r, limit);
  int status = wait_child(r.pid, milliseconds(0));
  take(r);
  const std::array<const stream_text*, 4> wants{
      &expected.line, &expected.screen, &expected.out, &expected.err};
  std::string why = ended ? status_difference(status, expected)
                          : "did not end in time: killed";
  for (std::size_t i = 0; i < wants.size(); ++i) {
    const std::string& got = r.got[i];
    const stream_text& want = *wants[i];
    std::string_view head(got.data(),
                          got.size() - std::min(want.value.size(), got.size()));
    bool fits = got.ends_with(want.value) &&
                (want.pattern
                     ? std::regex_match(head.begin(), head.end(), *want.pattern)
                     : want.fits != nullptr && want.fits(head));
    std::string part =
        !want.pattern && want.fits == nullptr ? difference(got, want.value)
        : fits                                ? ""
               : "unexpected \"" + printable(got.substr(0, 200)) + "\"";
    why +=
        part.empty() ? "" : std::string("\n") + STREAM_NAMES[i] + ": " + part;
  }
  if (why.find_first_not_of('\n') != std::string::npos) {
    report_failure("pid " + std::to_string(r.pid) + ": " + why);
  }
  for (int* fd : {&r.keys, &r.fds[2], &r.fds[3]}) {
    close(std::exchange(*fd, -1));
  }
  r.pid = -1;
}

} // namespace serterm::testing
