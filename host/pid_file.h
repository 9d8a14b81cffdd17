// The daemon's PID file, made with libdaemon and held for the daemon's whole
// run.
//
// While it runs, the daemon holds a lock (flock) on its PID file. A PID file
// that nobody holds that lock on names no running instance of this server:
// the process it names is gone (after SIGKILL or a crash) or is some other
// program. Such a file is replaced, with a warning, so that the service can
// start again by itself; a file whose lock is held is left alone and the
// start is refused as before. The look at the old file and the making of the
// new one happen under a lock on the PID file's folder, so that two servers
// starting at once cannot both find the file stale. Main thread of the
// daemon only.
#ifndef HOST_PID_FILE_H_
#define HOST_PID_FILE_H_

#include "core/file_descriptor.h"

extern const char kStalePidFileMessage[];  // "Replacing stale PID file %s: process %s %s"

class PidFile {
 public:
  PidFile() = default;  // the destructor lets go of the lock, and leaves the file
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;

  // Makes the file (daemon_pid_file_create), after replacing a stale one;
  // false, with errno set by libdaemon, when that failed, as it does beside
  // a live instance.
  bool Create();
  // Removes the file (daemon_pid_file_remove), then lets go of its lock.
  void Remove();

 private:
  FileDescriptor lock;  // the descriptor the lock is held on
};

#endif  // HOST_PID_FILE_H_
