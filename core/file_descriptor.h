// FileDescriptor: an open file descriptor, closed when the object goes. One
// owner, one thread at a time; not copyable.
#ifndef CORE_FILE_DESCRIPTOR_H_
#define CORE_FILE_DESCRIPTOR_H_

#include <unistd.h>

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes the one held, if any, and holds `fd` instead.
  void Reset(int fd = -1) {
    Close();
    fd_ = fd;
  }

 private:
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  int fd_;
};

#endif  // CORE_FILE_DESCRIPTOR_H_
