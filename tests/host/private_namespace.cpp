#include "tests/host/private_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The device nodes a process may open; each is bound from the machine's /dev
// into the fresh one, so no node is made and nothing is left behind.
const char* const kDevices[] = {"null", "zero", "full", "random", "urandom", "tty"};
const int kDeviceCount = sizeof(kDevices) / sizeof(kDevices[0]);

}  // namespace

int EnterPrivateNamespace(const PrivateNamespace& setup) {
  if (unshare(CLONE_NEWNS) != 0) return 1;
  // Without this, mounts made here would propagate back to the machine.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 2;

  // Hold on to the machine's device nodes before the new /dev hides them.
  int devices[kDeviceCount];
  for (int i = 0; i < kDeviceCount; i++) {
    std::string path = std::string("/dev/") + kDevices[i];
    devices[i] = open(path.c_str(), O_PATH | O_CLOEXEC);
  }
  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) return 3;
  for (int i = 0; i < kDeviceCount; i++) {
    if (devices[i] < 0) continue;
    std::string path = std::string("/dev/") + kDevices[i];
    int made = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (made < 0) return 4;
    close(made);
    char source[64];
    snprintf(source, sizeof(source), "/proc/self/fd/%d", devices[i]);
    if (mount(source, path.c_str(), nullptr, MS_BIND, nullptr) != 0) return 5;
    close(devices[i]);
  }
  if (symlink("/proc/self/fd", "/dev/fd") != 0) return 6;
  if (symlink("/proc/self/fd/0", "/dev/stdin") != 0) return 6;
  if (symlink("/proc/self/fd/1", "/dev/stdout") != 0) return 6;
  if (symlink("/proc/self/fd/2", "/dev/stderr") != 0) return 6;
  if (mkdir("/dev/shm", 01777) != 0 || mkdir("/dev/pts", 0755) != 0) return 7;
  if (symlink(setup.logSocket.c_str(), "/dev/log") != 0) return 8;

  if (!setup.pidDirectory.empty()) {
    unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC;
    if (setup.pidDirectoryReadOnly) flags |= MS_RDONLY;
    if (mount("tmpfs", setup.pidDirectory.c_str(), "tmpfs", flags, "mode=0755") != 0) return 9;
  }
  for (const auto& file : setup.files) {
    int made = open(file.first.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (made < 0) return 10;
    ssize_t written = write(made, file.second.data(), file.second.size());
    close(made);
    if (written != static_cast<ssize_t>(file.second.size())) return 10;
  }
  return 0;
}
