// Boots guests under QEMU and plays the device on their serial line.
#include "vm.hpp"

#include "initramfs.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <poll.h>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace uart_vm {

using namespace serterm::testing;

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
  std::size_t flags = std::string::npos;
  if (read_file("/proc/cpuinfo", cpuinfo)) {
    flags = cpuinfo.find("\nflags");
  }
  if (flags == std::string::npos) {
    return false;
  }
  std::string line =
      cpuinfo.substr(flags, cpuinfo.find('\n', flags + 1) - flags);
  return (line.find(" vmx") != std::string::npos ||
          line.find(" svm") != std::string::npos) &&
         access("/dev/kvm", R_OK | W_OK) == 0;
}

// The value of `key` in the .modinfo section of the kernel module `image`
// (an ELF file of NUL-separated key=value strings), or "".
std::string
modinfo(const std::string& image, const std::string& key)
{
  Elf64_Ehdr header{};
  if (image.size() < sizeof header) {
    return "";
  }
  std::memcpy(&header, image.data(), sizeof header);
  auto section = [&](std::size_t index) {
    Elf64_Shdr entry{};
    std::size_t at = header.e_shoff + index * sizeof entry;
    if (at + sizeof entry <= image.size()) {
      std::memcpy(&entry, image.data() + at, sizeof entry);
    }
    return entry;
  };
  Elf64_Shdr names = section(header.e_shstrndx);
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr entry = section(i);
    std::size_t name = names.sh_offset + entry.sh_name;
    if (name >= image.size() ||
        std::strcmp(image.c_str() + name, ".modinfo") != 0 ||
        entry.sh_offset + entry.sh_size > image.size()) {
      continue;
    }
    std::string info = image.substr(entry.sh_offset, entry.sh_size);
    for (std::size_t at = 0; at < info.size();
         at += std::strlen(&info[at]) + 1) {
      if (info.compare(at, key.size() + 1, key + "=") == 0) {
        return info.c_str() + at + key.size() + 1;
      }
    }
  }
  return "";
}

// A module's name as the kernel knows it: its file name without ".ko",
// dashes as underscores.
std::string
module_name(std::string name)
{
  name = name.substr(0, name.find(".ko"));
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

// Adds to `order` the files of module `name` and of every module it depends
// on, each after its dependencies and once, from the modules in `files` by
// name. Returns what failed, or "".
std::string
add_module(const std::map<std::string, std::string>& files,
           const std::string& name, std::vector<std::string>& order,
           std::set<std::string>& added)
{
  if (!added.insert(name).second) {
    return "";
  }
  auto file = files.find(name);
  std::string image;
  if (file == files.end() || !read_file(file->second, image)) {
    return "no module " + name;
  }
  std::string depends = modinfo(image, "depends");
  for (std::size_t at = 0; at < depends.size();) {
    std::size_t end = std::min(depends.find(',', at), depends.size());
    std::string error = add_module(
        files, module_name(depends.substr(at, end - at)), order, added);
    if (!error.empty()) {
      return error;
    }
    at = end + 1;
  }
  order.push_back(file->second);
  return "";
}

// Adds `profile`'s modules to `entries` as /lib/modules/NN-name.ko, numbered
// in the order they must be loaded in: the kernel package has no
// modules.dep, so the order comes from each module's own "depends".
std::string
add_modules(const vm_files& files, const vm_profile& profile,
            std::vector<initramfs_entry>& entries)
{
  std::map<std::string, std::string> by_name;
  std::error_code error;
  for (const auto& file : std::filesystem::recursive_directory_iterator(
           files.kernel + "/modules", error)) {
    by_name[module_name(file.path().filename())] = file.path();
  }
  std::vector<std::string> order;
  std::set<std::string> added;
  for (const std::string& name : profile.modules) {
    std::string failure = add_module(by_name, name, order, added);
    if (!failure.empty()) {
      return failure + " under " + files.kernel + "/modules";
    }
  }
  entries.push_back({"/lib", S_IFDIR | 0755, "", "", 0, 0});
  entries.push_back({"/lib/modules", S_IFDIR | 0755, "", "", 0, 0});
  for (std::size_t i = 0; i < order.size(); ++i) {
    char path[64];
    std::snprintf(
        path, sizeof path, "/lib/modules/%02zu-%s.ko", i,
        module_name(std::filesystem::path(order[i]).filename()).c_str());
    entries.push_back({path, S_IFREG | 0644, order[i], "", 0, 0});
  }
  return "";
}

std::string
build_initramfs(const vm& guest, const vm_files& files,
                const vm_profile& profile, std::string& path)
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
  std::string error = add_modules(files, profile, entries);
  return error.empty() ? write_initramfs(path, entries) : error;
}

std::string
open_line_pty(vm& guest)
{
  // The slave stays open, so that the master never reads end of file while
  // QEMU has not opened the slave yet, or between its opens.
  if (!open_pty(guest.line)) {
    return errno_text("openpty");
  }
  termios raw{};
  tcgetattr(guest.line.slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(guest.line.slave, TCSANOW, &raw);
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

std::vector<std::string>
qemu_arguments(const vm& guest, const vm_files& files,
               const vm_profile& profile, const std::string& initramfs)
{
  std::vector<std::string> arguments{
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
      files.kernel + "/vmlinux",
      "-initrd",
      initramfs,
      "-append",
      "console=ttyS0,115200 quiet loglevel=1 panic=-1",
      "-chardev",
      "stdio,id=console,signal=off",
      "-serial",
      "chardev:console",
      "-chardev",
      "serial,id=line,path=" + guest.line.slave_path,
  };
  arguments.insert(arguments.end(), profile.devices.begin(),
                   profile.devices.end());
  return arguments;
}

// The harness's environment plus what the device shim needs inside QEMU.
std::vector<std::string>
qemu_environment(const vm& guest, const vm_files& files,
                 const std::string& device_path)
{
  std::vector<std::string> env;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    env.emplace_back(*variable);
  }
  env.push_back("LD_PRELOAD=" + files.shim);
  env.push_back(std::string(DEVICE_FILE_ENV) + "=" + device_path);
  env.push_back(std::string(DEVICE_TTY_ENV) + "=" + guest.line.slave_path);
  return env;
}

std::string
launch_qemu(vm& guest, const vm_files& files, const vm_profile& profile,
            const std::string& initramfs, const std::string& device_path)
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
  launch qemu;
  qemu.argv = qemu_arguments(guest, files, profile, initramfs);
  qemu.path = files.qemu;
  qemu.env = qemu_environment(guest, files, device_path);
  qemu.in = to_guest[0];
  qemu.out = from_guest[1];
  qemu.err = log;
  // QEMU must not outlive the harness, however the harness ends.
  qemu.die_with_parent = true;
  guest.qemu_pid = start_process(qemu);
  close(to_guest[0]);
  close(from_guest[1]);
  close(log);
  guest.console_in = to_guest[1];
  guest.console_out = from_guest[0];
  if (guest.qemu_pid < 0) {
    return errno_text("fork");
  }
  set_nonblocking(guest.console_out);
  return "";
}

// Reads console output until `end` for a whole "@@ " line; returns it
// without the prefix, or "" on time-out or end of output.
std::string
next_answer(vm& guest, steady::time_point end,
            const std::function<void()>& idle)
{
  for (;;) {
    std::size_t at;
    while ((at = guest.console_pending.find('\n')) != std::string::npos) {
      std::string line = guest.console_pending.substr(0, at);
      guest.console_pending.erase(0, at + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      std::size_t start = line.find("@@ ");
      if (start != std::string::npos) {
        return line.substr(start + 3);
      }
    }
    int left = remaining_ms(end);
    if (left == 0) {
      return "";
    }
    wait_fd(guest.console_out, POLLIN, idle ? std::min(left, 5) : left);
    std::string got;
    if (!drain(guest.console_out, got) && got.empty()) {
      return "";
    }
    guest.console_pending += got;
    guest.console_log += got;
    if (idle) {
      idle();
    }
  }
}

// What failed when the agent did not report ready: the console's and
// QEMU's last words.
std::string
boot_failure(vm& guest, milliseconds limit)
{
  int status = 0;
  bool qemu_ended = waitpid(guest.qemu_pid, &status, WNOHANG) == guest.qemu_pid;
  if (qemu_ended) {
    guest.qemu_pid = -1;
  }
  std::string qemu_log;
  std::ignore = read_file(guest.work_dir + "/qemu.log", qemu_log);
  return (qemu_ended ? std::string("QEMU ended before the guest's agent "
                                   "started")
                     : "the guest's agent did not start within " +
                           std::to_string(limit.count() / 1000) + " s") +
         "\n--- console:\n" + console_tail(guest) + "\n--- QEMU:\n" + qemu_log;
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

std::string
launch_vm(vm& guest, const vm_files& files, const vm_profile& profile)
{
  char dir[] = "/tmp/serterm-uart-vm.XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    return errno_text("mkdtemp");
  }
  guest.name = profile.name;
  guest.work_dir = dir;
  std::string initramfs;
  std::string device_path;
  std::string error = build_initramfs(guest, files, profile, initramfs);
  if (error.empty()) {
    error = open_line_pty(guest);
  }
  if (error.empty()) {
    error = map_device_state(guest, device_path);
  }
  guest.launched = steady::now();
  if (error.empty()) {
    error = launch_qemu(guest, files, profile, initramfs, device_path);
  }
  if (!error.empty()) {
    stop_vm(guest);
  }
  return error;
}

std::string
await_vm(vm& guest, milliseconds limit)
{
  std::string answer = next_answer(guest, guest.launched + limit, {});
  if (answer.rfind("ready ", 0) != 0) {
    std::string error = boot_failure(guest, limit);
    stop_vm(guest);
    return error;
  }
  guest.release = answer.substr(6);
  guest.boot_seconds =
      std::chrono::duration<double>(steady::now() - guest.launched).count();
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
  if (guest.qemu_pid > 0) {
    if (guest.console_in >= 0) {
      std::ignore = write(guest.console_in, "quit\n", 5);
      std::ignore = next_answer(guest, steady::now() + milliseconds(3000), {});
    }
    std::ignore = wait_child(guest.qemu_pid, milliseconds(3000));
    guest.qemu_pid = -1;
  }
  for (int* fd : {&guest.console_in, &guest.console_out}) {
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
  close_pty(guest.line);
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
ask_agent(vm& guest, const std::string& command, milliseconds limit,
          const std::function<void(const std::string&)>& on_note,
          const std::function<void()>& idle)
{
  auto end = steady::now() + limit;
  if (!write_all_bounded(guest.console_in, command + "\n", limit)) {
    return "";
  }
  for (;;) {
    std::string answer = next_answer(guest, end, idle);
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
  tcgetattr(guest.line.master, &t);
  return t;
}

} // namespace uart_vm
