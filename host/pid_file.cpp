#include "host/pid_file.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include <libdaemon/dpid.h>

#include <wx/log.h>

#include "core/file_descriptor.h"
#include "threads/pt.h"

const char kStalePidFileMessage[] = "Replacing stale PID file %s: process %s %s";

namespace {

// How long a start waits for another server's look at the folder to end.
constexpr int kFolderLockMilliseconds = 5000;

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Takes an exclusive lock on `fd` within kFolderLockMilliseconds; false when
// it could not.
bool LockWithin(int fd) {
  for (int waited = 0; waited < kFolderLockMilliseconds; waited += 10) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK) return false;
    pt::msleep(10);
  }
  return false;
}

// Removes the PID file at `path` when no running server holds its lock; a
// file that cannot be looked at is left alone.
void RemoveIfStale(const std::string& path) {
  FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!file.ok()) return;
  if (flock(file.get(), LOCK_EX | LOCK_NB) != 0) return;  // held: a live instance
  char text[32] = {};
  ssize_t length = read(file.get(), text, sizeof(text) - 1);
  std::string pid = length > 0 ? std::string(text, static_cast<size_t>(length)) : "";
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  long number = atol(pid.c_str());
  const char* what = number > 0 && (kill(static_cast<pid_t>(number), 0) == 0 || errno == EPERM)
                         ? "is no running instance of this server"
                         : "no longer runs";
  if (unlink(path.c_str()) != 0) return;
  wxLogWarning(kStalePidFileMessage, path, pid.empty() ? std::string("(none)") : pid, what);
}

}  // namespace

bool PidFile::Create() {
  std::string path = daemon_pid_file_proc();
  FileDescriptor folder(open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // Without the folder's lock the stale file is left alone: another server
  // may be making its own right now.
  if (folder.ok() && LockWithin(folder.get())) RemoveIfStale(path);
  if (daemon_pid_file_create() < 0) return false;
  lock.Reset(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (lock.ok()) (void)flock(lock.get(), LOCK_EX);  // the folder's lock keeps others from it
  return true;
}

void PidFile::Remove() {
  (void)daemon_pid_file_remove();
  lock.Reset();
}
