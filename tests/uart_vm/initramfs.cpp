// The newc cpio writer for the guest's initial RAM file system.
#include "initramfs.hpp"

#include "vm.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace uart_vm {

namespace {

void
pad_to_four(std::string& archive)
{
  archive.append((4 - archive.size() % 4) % 4, '\0');
}

void
append_member(std::string& archive, unsigned inode, const std::string& name,
              mode_t mode, const std::string& data, unsigned rdev_major,
              unsigned rdev_minor)
{
  char header[111];
  std::snprintf(header, sizeof header,
                "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X",
                inode, static_cast<unsigned>(mode), 0U, 0U,
                S_ISDIR(mode) ? 2U : 1U, 0U, static_cast<unsigned>(data.size()),
                0U, 0U, rdev_major, rdev_minor,
                static_cast<unsigned>(name.size() + 1), 0U);
  archive.append(header, 110);
  archive.append(name);
  archive.push_back('\0');
  pad_to_four(archive);
  archive.append(data);
  pad_to_four(archive);
}

} // namespace

std::string
write_initramfs(const std::string& out,
                const std::vector<initramfs_entry>& entries)
{
  std::string archive;
  unsigned inode = 1;
  for (const initramfs_entry& entry : entries) {
    std::string data = entry.data;
    if (!entry.source.empty() && !read_file(entry.source, data)) {
      return "cannot read " + entry.source;
    }
    // Archive paths are relative to the root of the new file system.
    std::string name = entry.path.substr(entry.path.find_first_not_of('/'));
    append_member(archive, inode++, name, entry.mode, data, entry.rdev_major,
                  entry.rdev_minor);
  }
  append_member(archive, inode, "TRAILER!!!", 0, "", 0, 0);
  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return "cannot write " + out + ": " + std::strerror(errno);
  }
  bool written = serterm::testing::write_all_bounded(fd, archive);
  if (close(fd) != 0 || !written) {
    return "cannot write " + out + ": " + std::strerror(errno);
  }
  return "";
}

} // namespace uart_vm
