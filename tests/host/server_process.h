// Helpers for tests that run the built server as a process: installing it in
// a scratch tree, reading what the trace_file plug-in wrote, starting it with
// standard input held open, starting it inside a private namespace (see
// private_namespace.h) for daemon runs, and finding, waiting for and stopping
// the processes it leaves behind. One thread only: the test's.
#ifndef TESTS_HOST_SERVER_PROCESS_H_
#define TESTS_HOST_SERVER_PROCESS_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "tests/host/private_namespace.h"
#include "tests/support/test_support.h"

// Copies the built server to tree.ExecutablePath(), executable; returns false
// when that failed.
bool InstallServer(const testing_support::TempTree& tree);
// The same into `directory` (made if missing), with an empty "plugins" folder
// beside it; the path is taken byte for byte.
bool InstallServerAt(const std::string& directory);

// The path with every link resolved, or the path itself when that fails.
std::string RealPath(const std::string& path);

// One line of the trace_file plug-in: the entry point, the process, and for
// Load the working directory.
struct TraceLine {
  std::string entry;
  pid_t pid = 0;
  std::string cwd;
};
std::vector<TraceLine> ReadTrace(const std::string& path);
// The entry point names of one process, in order.
std::vector<std::string> TraceOf(const std::vector<TraceLine>& trace, pid_t pid);

// Waits (scaled) for a child of this process to end; false when it has not
// ended by then. `status` gets the wait status when non-null.
bool WaitForChildExit(pid_t child, int milliseconds, int* status = nullptr);
// Ends a child of this process: SIGTERM, a few seconds' grace, then SIGKILL;
// always reaps it.
void StopChild(pid_t child);
// Children of this process that run `executable`; a daemon ends up among
// them once this process is its subreaper.
std::vector<pid_t> ChildrenRunning(const std::string& executable);
// One field of /proc/<pid>/status ("Umask", ...), without its label.
std::string ProcStatusField(pid_t pid, const std::string& field);

// What to start and how.
struct LaunchOptions {
  std::vector<std::string> argv;           // argv[0] is the name the program sees
  std::string program;                     // the file to execute; empty: argv[0]
  std::string cwd;                         // empty: inherit
  std::map<std::string, std::string> env;  // added to, or replacing in, ours
  std::vector<std::string> unsetEnv;
};

// Environment for a server that loads the shipped plug-ins, which bring GLib
// (address-sanitizer builds only; others ignore it): GLib's one-time
// allocations are not ours to report (tests/media/lsan_gstreamer.supp), a
// stack through GLib, which keeps no frame pointers, is whole only with the
// slow unwinder, and every GLib allocation is a block of its own, as under
// valgrind, so that a leak inside one of its slabs shows.
void AddGLibOptions(LaunchOptions* options);

// The environment of this process changed as the options say, ready for execve.
std::vector<std::string> BuildEnvironment(const LaunchOptions& options);

// A server started with standard input held open (its output goes to files
// in `logDir`), so that it runs until the test closes that input.
class HeldServer {
 public:
  HeldServer() = default;
  ~HeldServer();  // stops the server if it still runs
  HeldServer(const HeldServer&) = delete;
  HeldServer& operator=(const HeldServer&) = delete;

  bool Start(const LaunchOptions& options, const std::string& logDir);
  pid_t Pid() const { return pid; }
  // Ends its standard input, and with it the server's wait for a key.
  void CloseInput();
  bool WaitForExit(int milliseconds, int* status);

 private:
  pid_t pid = -1;
  int input = -1;  // owned; the write end of the server's standard input
};

// A program started inside a private namespace. A holder process (a child of
// this one) enters the namespace, starts the program and reports when it
// exits; it then stays in the namespace until Release, so that the test can
// still look at the namespace's files through /proc/<holder>/root after the
// program and any daemon it started have gone.
class PrivateLaunch {
 public:
  PrivateLaunch() = default;
  ~PrivateLaunch();  // releases the holder
  PrivateLaunch(const PrivateLaunch&) = delete;
  PrivateLaunch& operator=(const PrivateLaunch&) = delete;

  // False when the holder could not be started or could not set up the
  // namespace (SetupError() tells the step).
  bool Start(const LaunchOptions& options, const PrivateNamespace& space);
  // Waits (scaled) for the program to exit and collects its output; false on
  // time-out.
  bool Wait(int milliseconds, testing_support::ProcessResult* result);
  // The program's process id (the invoking process of a daemon).
  pid_t Launched() const { return launched; }
  int SetupError() const { return setupError; }
  // `path` as the processes in the namespace see it.
  std::string Inside(const std::string& path) const;
  // The namespace itself, for ProcessOptions::mountNamespace: another program
  // run there sees the same files.
  std::string MountNamespace() const { return "/proc/" + std::to_string(holder) + "/ns/mnt"; }
  // Lets the holder leave; the namespace ends with its last process.
  void Release();

 private:
  // Reads the holder's next word by `deadline` (monotonic milliseconds).
  bool ReadReport(long long deadline);

  pid_t holder = -1;
  pid_t launched = -1;
  int setupError = 0;
  int report = -1;         // owned; the holder writes the program's pid, then its wait status
  int release = -1;        // owned; closing it lets the holder leave
  int out = -1;            // owned; the program's standard output
  int err = -1;            // owned; the program's standard error
  std::vector<int> words;  // what the holder reported so far
};

#endif  // TESTS_HOST_SERVER_PROCESS_H_
