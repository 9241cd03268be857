// Writes the guest's initial RAM file system as an uncompressed newc cpio
// archive, so device nodes need no privileges and no archiver is needed.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace uart_vm {

// One file, directory, symbolic link or character device of the archive.
// A regular file's data is `data`, or the contents of the host file
// `source` when `source` is not empty; a link's target is `data`.
struct initramfs_entry {
  std::string path;
  mode_t mode;
  std::string source;
  std::string data;
  unsigned rdev_major = 0;
  unsigned rdev_minor = 0;
};

// Writes `entries` in order to the archive `out`. Returns an empty string
// on success, else what failed.
[[nodiscard]] std::string
write_initramfs(const std::string& out,
                const std::vector<initramfs_entry>& entries);

} // namespace uart_vm
