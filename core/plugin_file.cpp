#include "core/plugin_file.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "core/file_descriptor.h"

const char kPluginSkippedMessage[] = "plugin %s skipped: %s";

// The ELF header of the program (or test) this code is linked into: the
// class, byte order and machine a plug-in must share with it.
extern "C" const ElfW(Ehdr) __ehdr_start __attribute__((visibility("hidden")));

namespace {

bool ReadAt(int fd, void* into, size_t size, uint64_t offset) {
  return pread(fd, into, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

// Why the ELF object in `fd`, of `size` bytes, is not one the server can
// load; null when it is.
const char* CheckElf(int fd, uint64_t size) {
  ElfW(Ehdr) header;
  if (!ReadAt(fd, &header, sizeof(header), 0) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    return "not an ELF file";
  }
  if (header.e_ident[EI_CLASS] != __ehdr_start.e_ident[EI_CLASS]) {
    return "an ELF file of the other word size (32 or 64 bits) than this server's";
  }
  if (header.e_ident[EI_DATA] != __ehdr_start.e_ident[EI_DATA] ||
      header.e_machine != __ehdr_start.e_machine) {
    return "an ELF file for another machine than this server's";
  }
  if (header.e_type != ET_DYN) return "not a shared object";
  uint64_t tableSize = static_cast<uint64_t>(header.e_phnum) * header.e_phentsize;
  if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 ||
      header.e_phoff > size || tableSize > size - header.e_phoff) {
    return "incomplete: its program headers lie past the end of the file";
  }
  std::vector<ElfW(Phdr)> segments(header.e_phnum);
  if (!ReadAt(fd, segments.data(), tableSize, header.e_phoff)) {
    return "incomplete: its program headers cannot be read";
  }
  for (const ElfW(Phdr)& segment : segments) {
    if (segment.p_type != PT_LOAD) continue;
    if (segment.p_offset > size || segment.p_filesz > size - segment.p_offset) {
      return "incomplete: a loadable segment lies past the end of the file";
    }
  }
  return nullptr;
}

}  // namespace

const char* CheckPluginFile(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return "cannot be read";
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  // Without blocking: a FIFO put in the file's place since the look above
  // must not hold the start up either.
  FileDescriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.ok()) return "cannot be opened";
  if (fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return "not a regular file";
  return CheckElf(file.get(), static_cast<uint64_t>(info.st_size));
}
