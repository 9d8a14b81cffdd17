// Helpers shared by the tests: time limits, scratch trees (temp_tree.h), the
// built server and test plug-ins, and child processes run to a deadline.
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H_
#define TESTS_SUPPORT_TEST_SUPPORT_H_

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/temp_tree.h"

namespace testing_support {

// Milliseconds scaled by OMBREVARD_TEST_TIME_SCALE (sanitizer builds run slower).
int Scaled(int milliseconds);

// Polls `condition` every millisecond until it holds (true) or `milliseconds`
// (scaled) pass (false).
bool WaitUntil(const std::function<bool()>& condition, int milliseconds = 5000);

// Path of a test plug-in built by the build, by target name ("probe" gives
// <dir>/libprobe.so... as named in the build).
std::string TestPlugin(const std::string& name);

// The server binary the process tests run: the one this build made, or the
// one OMBREVARD_TEST_SERVER names (with OMBREVARD_TEST_PLUGIN_DIR for its
// test plug-ins, to check another build's server with these test programs).
std::string ServerBinary();

std::string ReadFile(const std::string& path);
// A TCP port on the loopback that nothing listens on just now; -1 when none
// could be found.
int FreePort();
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& path);

struct ProcessResult {
  bool exited = false;  // exited normally (not killed, not timed out)
  bool timedOut = false;
  int status = -1;  // exit status when exited
  int signal = 0;   // terminating signal otherwise
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::vector<std::string> argv;           // argv[0] is the program name as the child sees it
  std::string program;                     // path to execute; empty: argv[0]
  std::string input;                       // written to standard input, which is then closed
  std::string cwd;                         // empty: inherit
  std::map<std::string, std::string> env;  // added to (or replacing in) the environment
  std::vector<std::string> unsetEnv;
  int timeoutMs = 30000;  // scaled; the child is killed after it
  // Non-empty: the mount namespace (a /proc/<pid>/ns/mnt path) the child
  // enters before it runs the program; needs root.
  std::string mountNamespace;
};

ProcessResult RunProcess(const ProcessOptions& options);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TEST_SUPPORT_H_
