// EnterPrivateNamespace: gives the calling process a mount namespace of its
// own in which /dev/log leads to a test's SyslogSocket and, if asked, the PID
// file folder is an empty tmpfs. Nothing it mounts or creates is seen outside
// that namespace, and it ends with the last process in it, so a test can run
// the server as a daemon without a system logger and without touching the
// machine's /dev or /run.
//
// Changing mounts needs root (tests run as root here and in CI). Call it only
// in a freshly forked child that has no other threads; processes the child
// starts afterwards inherit the namespace.
#ifndef TESTS_HOST_PRIVATE_NAMESPACE_H_
#define TESTS_HOST_PRIVATE_NAMESPACE_H_

#include <map>
#include <string>

struct PrivateNamespace {
  std::string logSocket;              // /dev/log becomes a symbolic link to it
  std::string pidDirectory;           // non-empty: an empty tmpfs is mounted over it
  bool pidDirectoryReadOnly = false;  // that tmpfs refuses every new file
  // Files written once the namespace is set up (say, into the PID folder):
  // path to content.
  std::map<std::string, std::string> files;
};

// Returns 0, or the number of the step that failed (errno tells why).
int EnterPrivateNamespace(const PrivateNamespace& setup);

#endif  // TESTS_HOST_PRIVATE_NAMESPACE_H_
