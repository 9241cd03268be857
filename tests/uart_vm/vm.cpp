// Boots guests under QEMU and plays the device on their serial line.
#include "vm.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace uart_vm {

using namespace serterm::testing;
using namespace std::string_literals;

namespace {

// Where QEMU's run keeps the console's output and QEMU's own messages.
constexpr auto OUT = static_cast<std::size_t>(stream::out);
constexpr auto ERR = static_cast<std::size_t>(stream::err);

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
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string word; cpuinfo >> word;) {
    if (word == "vmx" || word == "svm") {
      return access("/dev/kvm", R_OK | W_OK) == 0;
    }
  }
  return false;
}

// A socket connected to the unix socket at `path`, or -1.
int
connect_unix(const std::string& path)
{
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (fd >= 0 &&
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// Makes in the guest's work directory its initial RAM file system (with
// initramfs.sh: the programs, the init script and, for a profile that loads
// any, the kernel's modules), the line's pty and the state shared with the
// shim, and starts QEMU on them. Returns what failed, or "".
std::string
start_qemu(vm& guest, const vm_files& files, const vm_profile& profile)
{
  const std::string& dir = guest.work_dir;
  launch script;
  script.argv = {files.scripts + "/initramfs.sh",
                 dir + "/initramfs.cpio",
                 files.agent,
                 files.serterm,
                 files.scripts + "/init.sh",
                 profile.modules.empty() ? "" : files.kernel + "/modules"};
  script.err = STDERR_FILENO;
  pid_t pid = start_process(script);
  int status = pid < 0 ? -1 : wait_child(pid, milliseconds(60000));
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "initramfs.sh could not write " + dir + "/initramfs.cpio";
  }
  // The slave stays open, so that the master never reads end of file while
  // QEMU has not opened the slave yet, or between its opens.
  termios raw{};
  if (!open_pty(guest.line) || tcgetattr(guest.line.slave, &raw) != 0 ||
      (cfmakeraw(&raw), tcsetattr(guest.line.slave, TCSANOW, &raw)) != 0) {
    return errno_text("openpty");
  }
  int fd = open((dir + "/device").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  void* map = fd >= 0 && ftruncate(fd, sizeof(device_state)) == 0
                  ? mmap(nullptr, sizeof(device_state), PROT_READ | PROT_WRITE,
                         MAP_SHARED, fd, 0)
                  : MAP_FAILED;
  close(fd);
  if (map == MAP_FAILED) {
    return errno_text(dir + "/device");
  }
  guest.device = static_cast<device_state*>(map);
  guest.accelerator = has_hardware_virtualisation() ? "kvm" : "tcg";
  // The device shim goes into QEMU alone, through env. What init is to load
  // comes to it in its environment, from the kernel command line's load=.
  // clang-format off
  launch qemu;
  qemu.argv = {
      "env", "LD_PRELOAD=" + files.shim,
      std::string(DEVICE_FILE_ENV) + "=" + dir + "/device",
      std::string(DEVICE_TTY_ENV) + "=" + guest.line.slave_path,
      std::string(PACED_SOCKET_ENV) + "=" + dir + "/paced",
      files.qemu, "-accel", guest.accelerator, "-M", "pc", "-m", "256",
      "-smp", "1", "-nodefaults", "-no-user-config", "-display", "none",
      "-no-reboot", "-kernel", files.kernel + "/vmlinux",
      "-initrd", dir + "/initramfs.cpio",
      "-append", "console=ttyS0,115200 quiet loglevel=1 panic=-1 load=" +
                     profile.modules,
      "-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console",
      "-chardev", "serial,id=line,path=" + guest.line.slave_path,
      "-chardev", "socket,id=paced,server=on,wait=off,path=" + dir + "/paced",
      "-monitor", "unix:" + dir + "/monitor,server=on,wait=off"};
  // clang-format on
  qemu.argv.insert(qemu.argv.end(), profile.devices.begin(),
                   profile.devices.end());
  qemu.in = qemu.out = qemu.err = PIPE;
  // QEMU must not outlive the harness, however the harness ends.
  qemu.die_with_parent = true;
  return start_run(guest.qemu, qemu) ? "" : errno_text("QEMU");
}

} // namespace

std::string
boot_vm(vm& guest, const vm_files& files, const vm_profile& profile,
        milliseconds limit)
{
  char dir[] = "/tmp/serterm-uart-vm.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    return errno_text("mkdtemp");
  }
  guest.name = profile.name;
  guest.work_dir = dir;
  auto launched = steady::now();
  std::string error = start_qemu(guest, files, profile);
  std::string answer = error.empty() ? ask_agent(guest, "", limit) : "";
  if (error.empty() && !answer.starts_with("ready ")) {
    error = (has_ended(guest.qemu.pid)
                 ? "QEMU ended before the guest's agent started"s
                 : "the guest's agent did not start within " +
                       std::to_string(limit.count() / 1000) + " s") +
            "\n--- console:\n" + console_tail(guest) + "\n--- QEMU:\n" +
            got(guest.qemu, stream::err);
  }
  guest.paced = error.empty() ? connect_unix(dir + "/paced"s) : -1;
  if (error.empty() && (guest.paced < 0 || !set_nonblocking(guest.paced))) {
    error = errno_text("the paced line's socket");
  }
  if (!error.empty()) {
    stop_vm(guest);
    return error;
  }
  guest.release = answer.substr(6);
  guest.boot_seconds =
      std::chrono::duration<double>(steady::now() - launched).count();
  // QEMU has loaded the archive and both sides have mapped the state:
  // neither file is needed any more, even if the harness is killed.
  for (const char* name : {"/initramfs.cpio", "/device"}) {
    unlink((guest.work_dir + name).c_str());
  }
  return "";
}

void
stop_vm(vm& guest)
{
  if (guest.qemu.pid > 0) {
    std::ignore = ask_agent(guest, "quit", milliseconds(3000));
    std::ignore = wait_child(guest.qemu.pid, milliseconds(3000));
    for (int fd : {guest.qemu.keys, guest.qemu.fds[OUT], guest.qemu.fds[ERR]}) {
      close(fd);
    }
  }
  guest.qemu = run{};
  close_pty(guest.line);
  if (guest.paced >= 0) {
    close(guest.paced);
    guest.paced = -1;
  }
  if (guest.device != nullptr) {
    munmap(guest.device, sizeof(device_state));
    guest.device = nullptr;
  }
  std::error_code ignored;
  std::filesystem::remove_all(guest.work_dir, ignored);
  guest.work_dir.clear();
}

std::string
ask_agent(vm& guest, const std::string& command, milliseconds limit,
          const std::function<void()>& idle)
{
  auto end = steady::now() + limit;
  if (!command.empty() &&
      !write_all_bounded(guest.qemu.keys, command + "\n", limit)) {
    return "";
  }
  std::string& console = got(guest.qemu, stream::out);
  std::size_t& seen = guest.qemu.seen[OUT];
  for (;;) {
    // What QEMU wrote before it ended is all there once it has.
    bool running = !has_ended(guest.qemu.pid);
    take(guest.qemu);
    if (idle) {
      idle();
    }
    std::size_t at = console.find("@@ ", seen);
    std::size_t line_end = console.find('\n', std::min(at, console.size()));
    if (line_end == std::string::npos) {
      if (!running || remaining_ms(end) == 0) {
        return "";
      }
      wait_fd(guest.qemu.fds[OUT], POLLIN, std::min(remaining_ms(end), 5));
      continue;
    }
    seen = line_end + 1;
    std::string answer = console.substr(at + 3, line_end - at - 3);
    if (answer.ends_with('\r')) {
      answer.pop_back();
    }
    return answer;
  }
}

bool
monitor(vm& guest, const std::string& command)
{
  constexpr std::string_view PROMPT = "(qemu) ";
  int fd = connect_unix(guest.work_dir + "/monitor");
  // The monitor greets with its prompt, and shows it again after each
  // command's answer.
  std::string got;
  bool greeted = fd >= 0 && set_nonblocking(fd) && read_until(fd, got, PROMPT);
  std::size_t from = got.size();
  bool answered = greeted && write_all_bounded(fd, command + "\n") &&
                  read_until(fd, got, PROMPT, WAIT_LIMIT, from);
  close(fd);
  return answered && got.find("Error", from) == std::string::npos;
}

std::string
console_tail(vm& guest)
{
  const std::string& console = got(guest.qemu, stream::out);
  return console.substr(console.size() -
                        std::min<std::size_t>(console.size(), 4000));
}

} // namespace uart_vm
