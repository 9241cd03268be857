// Boots the guest under QEMU and plays the device on its second UART.
#include "vm.hpp"

#include "initramfs.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace uart_vm {

namespace {

std::string
errno_text(const std::string& what)
{
  return what + ": " + std::strerror(errno);
}

// True when the processor offers hardware virtualisation. /dev/kvm alone
// does not say so: on some hosts it is a software hypervisor under which a
// stock kernel crawls.
bool
has_hardware_virtualisation()
{
  std::string cpuinfo;
  if (!read_file("/proc/cpuinfo", cpuinfo)) {
    return false;
  }
  std::size_t flags = cpuinfo.find("\nflags");
  std::string line =
      cpuinfo.substr(flags, cpuinfo.find('\n', flags + 1) - flags);
  return flags != std::string::npos &&
         (line.find(" vmx") != std::string::npos ||
          line.find(" svm") != std::string::npos) &&
         access("/dev/kvm", R_OK | W_OK) == 0;
}

std::string
build_initramfs(const vm& guest, const vm_files& files, std::string& path)
{
  path = guest.work_dir + "/initramfs.cpio";
  std::vector<initramfs_entry> entries{
      {"/bin", S_IFDIR | 0755, "", "", 0, 0},
      {"/dev", S_IFDIR | 0755, "", "", 0, 0},
      {"/dev/console", S_IFCHR | 0600, "", "", 5, 1},
      {"/proc", S_IFDIR | 0755, "", "", 0, 0},
      {"/sys", S_IFDIR | 0755, "", "", 0, 0},
      {"/tmp", S_IFDIR | 01777, "", "", 0, 0},
      {"/bin/busybox", S_IFREG | 0755, files.busybox, "", 0, 0},
      {"/bin/sh", S_IFLNK | 0777, "", "busybox", 0, 0},
      {"/bin/agent", S_IFREG | 0755, files.agent, "", 0, 0},
      {"/bin/serterm", S_IFREG | 0755, files.serterm, "", 0, 0},
      {"/init", S_IFREG | 0755, files.init_script, "", 0, 0},
  };
  return write_initramfs(path, entries);
}

std::string
open_line_pty(vm& guest)
{
  guest.line_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (guest.line_master < 0 || grantpt(guest.line_master) != 0 ||
      unlockpt(guest.line_master) != 0) {
    return errno_text("posix_openpt");
  }
  const char* name = ptsname(guest.line_master);
  if (name == nullptr) {
    return errno_text("ptsname");
  }
  guest.line_path = name;
  // Held open so that the master never reads end of file while QEMU has
  // not opened the slave yet, or between its opens.
  guest.line_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (guest.line_slave < 0) {
    return errno_text(guest.line_path);
  }
  termios raw{};
  tcgetattr(guest.line_slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(guest.line_slave, TCSANOW, &raw);
  fcntl(guest.line_master, F_SETFL,
        fcntl(guest.line_master, F_GETFL) | O_NONBLOCK);
  return "";
}

std::string
map_device_state(vm& guest, std::string& path)
{
  path = guest.work_dir + "/device";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, sizeof(device_state)) != 0) {
    return errno_text(path);
  }
  void* map = mmap(nullptr, sizeof(device_state), PROT_READ | PROT_WRITE,
                   MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    return errno_text("mmap " + path);
  }
  guest.device = static_cast<device_state*>(map);
  return "";
}

std::string
launch_qemu(vm& guest, const vm_files& files, const std::string& initramfs,
            const std::string& device_path)
{
  int to_guest[2];
  int from_guest[2];
  if (pipe2(to_guest, O_CLOEXEC) != 0 || pipe2(from_guest, O_CLOEXEC) != 0) {
    return errno_text("pipe");
  }
  std::string log_path = guest.work_dir + "/qemu.log";
  int log =
      open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0) {
    return errno_text(log_path);
  }
  guest.accelerator = has_hardware_virtualisation() ? "kvm" : "tcg";
  std::string line_chardev = "serial,id=line,path=" + guest.line_path;
  std::vector<std::string> args{
      files.qemu,
      "-accel",
      guest.accelerator,
      "-M",
      "pc",
      "-m",
      "256",
      "-smp",
      "1",
      "-nodefaults",
      "-no-user-config",
      "-display",
      "none",
      "-no-reboot",
      "-kernel",
      files.kernel,
      "-initrd",
      initramfs,
      "-append",
      "console=ttyS0,115200 quiet loglevel=1 panic=-1",
      "-chardev",
      "stdio,id=console,signal=off",
      "-serial",
      "chardev:console",
      "-chardev",
      line_chardev,
      "-serial",
      "chardev:line",
  };
  std::vector<char*> argv;
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  std::string preload = "LD_PRELOAD=" + files.shim;
  std::string device_file = std::string(DEVICE_FILE_ENV) + "=" + device_path;
  std::string device_tty = std::string(DEVICE_TTY_ENV) + "=" + guest.line_path;

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    return errno_text("fork");
  }
  if (pid == 0) {
    // QEMU must not outlive the harness, however the harness ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(1);
    }
    dup2(to_guest[0], STDIN_FILENO);
    dup2(from_guest[1], STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    putenv(preload.data());
    putenv(device_file.data());
    putenv(device_tty.data());
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(to_guest[0]);
  close(from_guest[1]);
  close(log);
  guest.qemu_pid = pid;
  guest.console_in = to_guest[1];
  guest.console_out = from_guest[0];
  fcntl(guest.console_out, F_SETFL,
        fcntl(guest.console_out, F_GETFL) | O_NONBLOCK);
  return "";
}

// Reads console output for up to `timeout_ms` until a whole "@@ " line is
// there; returns it without the prefix, or "" on time-out or end of output.
std::string
next_answer(vm& guest, long timeout_ms, const std::function<void()>& idle)
{
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    std::size_t end;
    while ((end = guest.console_pending.find('\n')) != std::string::npos) {
      std::string line = guest.console_pending.substr(0, end);
      guest.console_pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      std::size_t start = line.find("@@ ");
      if (start != std::string::npos) {
        return line.substr(start + 3);
      }
    }
    long left = deadline - now_ms();
    if (left <= 0) {
      return "";
    }
    pollfd p{guest.console_out, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(std::min(left, idle ? 5L : left)));
    if (ready > 0) {
      char buffer[65536];
      ssize_t n = read(guest.console_out, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        return "";
      }
      if (n > 0) {
        guest.console_pending.append(buffer, static_cast<std::size_t>(n));
        guest.console_log.append(buffer, static_cast<std::size_t>(n));
      }
    }
    if (idle) {
      idle();
    }
  }
}

} // namespace

bool
read_file(const std::string& path, std::string& contents)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  contents.clear();
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return n == 0;
}

long
now_ms()
{
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

std::string
start_vm(vm& guest, const vm_files& files, long timeout_ms)
{
  char dir[] = "/tmp/serterm-uart-vm.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    return errno_text("mkdtemp");
  }
  guest.work_dir = dir;
  std::string initramfs;
  std::string device_path;
  std::string error = build_initramfs(guest, files, initramfs);
  if (error.empty()) {
    error = open_line_pty(guest);
  }
  if (error.empty()) {
    error = map_device_state(guest, device_path);
  }
  long started = now_ms();
  if (error.empty()) {
    error = launch_qemu(guest, files, initramfs, device_path);
  }
  if (error.empty()) {
    std::string answer = next_answer(guest, timeout_ms, {});
    if (answer.rfind("ready ", 0) == 0) {
      guest.release = answer.substr(6);
      guest.boot_seconds = static_cast<double>(now_ms() - started) / 1000.0;
      // QEMU has loaded the archive and both sides have mapped the state:
      // neither file is needed any more, even if the harness is killed.
      unlink(initramfs.c_str());
      unlink(device_path.c_str());
      return "";
    }
    int status = 0;
    bool qemu_ended =
        waitpid(guest.qemu_pid, &status, WNOHANG) == guest.qemu_pid;
    if (qemu_ended) {
      guest.qemu_pid = -1;
    }
    error = (qemu_ended ? std::string("QEMU ended before the guest's agent "
                                      "started")
                        : "the guest's agent did not start within " +
                              std::to_string(timeout_ms / 1000) + " s") +
            "\n--- console:\n" + console_tail(guest) + "\n--- QEMU:\n";
    std::string qemu_log;
    std::ignore = read_file(guest.work_dir + "/qemu.log", qemu_log);
    error += qemu_log;
  }
  stop_vm(guest);
  return error;
}

void
stop_vm(vm& guest)
{
  if (guest.qemu_pid > 0) {
    if (guest.console_in >= 0) {
      std::string quit = "quit\n";
      std::ignore = write(guest.console_in, quit.data(), quit.size());
      std::ignore = next_answer(guest, 3000, {});
    }
    long deadline = now_ms() + 3000;
    int status = 0;
    while (waitpid(guest.qemu_pid, &status, WNOHANG) == 0) {
      if (now_ms() >= deadline) {
        kill(guest.qemu_pid, SIGKILL);
        waitpid(guest.qemu_pid, &status, 0);
        break;
      }
      poll(nullptr, 0, 10);
    }
    guest.qemu_pid = -1;
  }
  for (int* fd : {&guest.console_in, &guest.console_out, &guest.line_master,
                  &guest.line_slave}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
  if (guest.device != nullptr) {
    munmap(guest.device, sizeof(device_state));
    guest.device = nullptr;
  }
  if (!guest.work_dir.empty()) {
    for (const char* name : {"initramfs.cpio", "device", "qemu.log"}) {
      unlink((guest.work_dir + "/" + name).c_str());
    }
    rmdir(guest.work_dir.c_str());
    guest.work_dir.clear();
  }
}

std::string
ask_agent(vm& guest, const std::string& command, long timeout_ms,
          const std::function<void(const std::string&)>& on_note,
          const std::function<void()>& idle)
{
  std::string line = command + "\n";
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(guest.console_in, data, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return "";
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  long deadline = now_ms() + timeout_ms;
  for (;;) {
    long remaining = deadline - now_ms();
    if (remaining <= 0) {
      return "";
    }
    std::string answer = next_answer(guest, remaining, idle);
    if (answer.rfind("note ", 0) != 0) {
      return answer;
    }
    if (on_note) {
      on_note(answer.substr(5));
    }
  }
}

std::string
console_tail(const vm& guest)
{
  constexpr std::size_t TAIL = 4000;
  const std::string& log = guest.console_log;
  return log.size() <= TAIL ? log : log.substr(log.size() - TAIL);
}

void
set_device_lines(vm& guest, std::uint32_t lines)
{
  guest.device->device_lines.store(lines & DEVICE_LINES);
}

termios
device_line_settings(const vm& guest)
{
  termios t{};
  t.c_cflag = guest.device->line_cflag.load();
  cfsetspeed(&t, guest.device->line_speed.load());
  return t;
}

termios
host_pty_settings(const vm& guest)
{
  termios t{};
  tcgetattr(guest.line_master, &t);
  return t;
}

bool
write_line(vm& guest, const std::string& data, long timeout_ms)
{
  long deadline = now_ms() + timeout_ms;
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n =
        write(guest.line_master, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    long left = deadline - now_ms();
    if (left <= 0) {
      return false;
    }
    pollfd p{guest.line_master, POLLOUT, 0};
    poll(&p, 1, static_cast<int>(std::min(left, 10L)));
  }
  return true;
}

void
read_line(vm& guest, std::string& received, std::size_t limit, long timeout_ms)
{
  pollfd p{guest.line_master, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout_ms)) <= 0) {
    return;
  }
  char buffer[65536];
  std::size_t want = std::min(limit, sizeof buffer);
  ssize_t n = read(guest.line_master, buffer, want);
  if (n > 0) {
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

} // namespace uart_vm
