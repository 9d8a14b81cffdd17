// wxLogSyslog, checked by what really reaches a system logger's socket: the
// priority byte, the identity, the process id and the text.
//
// Each case runs the logging side in a forked child that has its own mount
// namespace, where /dev/log leads to this test's socket; the test process
// reads the records as they arrive (a datagram socket queues only a few) and
// checks them once the child has exited.
#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/log.h>

#include "core/thread_log.h"
#include "host/log_syslog.h"
#include "tests/host/private_namespace.h"
#include "tests/host/syslog_socket.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Scaled;
using testing_support::TempTree;

const int kDaemonFacility = LOG_DAEMON;  // 24: 3 << 3

// Exit codes of the logging child.
const int kChildOk = 0;
const int kChildNoFramework = 90;
const int kChildNamespaceBase = 100;  // plus the failed step

// Open sockets of this process (the syslog connection is one of them).
int CountSockets() {
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (dirent* entry = readdir(fds)) {
    char target[64];
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (strncmp(target, "socket:", 7) == 0) count++;
  }
  closedir(fds);
  return count;
}

class LogSyslogTest : public testing::Test {
 protected:
  // Runs `body` in a forked child inside a private namespace, with the
  // framework initialised; the child exits with what `body` returns. Collects
  // the records until the child has exited. Returns the child's exit code
  // (-1 when it did not exit normally in time); `child` gets its pid.
  int RunLogging(const std::function<int()>& body, pid_t* child) {
    if (!socket.Ok()) return -1;
    PrivateNamespace space;
    space.logSocket = socket.Path();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      int step = EnterPrivateNamespace(space);
      if (step != 0) _exit(kChildNamespaceBase + step);
      wxInitializer framework;
      if (!framework.IsOk()) _exit(kChildNoFramework);
      // _exit: neither the framework's nor the test runner's clean-up may run
      // in the child.
      _exit(body());
    }
    *child = pid;
    int status = 0;
    bool exited = testing_support::WaitUntil(
        [&] {
          socket.Receive(10);
          return waitpid(pid, &status, WNOHANG) == pid;
        },
        10000);
    if (!exited) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    socket.Receive(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The one record with this text; fails the test when there is not exactly one.
  SyslogRecord Only(const std::string& text) {
    std::vector<SyslogRecord> found = socket.WithText(text);
    EXPECT_EQ(found.size(), 1u) << "text \"" << text << "\" in:\n" << socket.Dump();
    return found.empty() ? SyslogRecord() : found[0];
  }

  TempTree tree;
  SyslogSocket socket{tree.Root() + "/log.sock"};
};

TEST_F(LogSyslogTest, LevelsArriveAtTheirPriorityInTheDaemonFacility) {
  struct Row {
    wxLogLevel level;
    int severity;
  };
  // Status sits one step above Message; everything above Trace is
  // informational, also the user levels.
  const Row kRows[] = {
      {wxLOG_Error, LOG_ERR},      {wxLOG_Warning, LOG_WARNING}, {wxLOG_Message, LOG_INFO},
      {wxLOG_Status, LOG_NOTICE},  {wxLOG_Info, LOG_INFO},       {wxLOG_Debug, LOG_DEBUG},
      {wxLOG_Trace, LOG_DEBUG},    {wxLOG_Progress, LOG_INFO},   {wxLOG_User, LOG_INFO},
      {wxLOG_User + 17, LOG_INFO}, {wxLOG_Max, LOG_INFO},
  };
  pid_t child = 0;
  int result = RunLogging(
      [&] {
        wxLog::SetLogLevel(wxLOG_Max);  // the framework passes every level on
        delete wxLog::SetActiveTarget(new wxLogSyslog("ombrevard"));
        for (const Row& row : kRows) {
          wxLogGeneric(row.level, "level %lu", static_cast<unsigned long>(row.level));
        }
        return kChildOk;
      },
      &child);
  ASSERT_EQ(result, kChildOk);
  for (const Row& row : kRows) {
    SCOPED_TRACE("level " + std::to_string(row.level));
    SyslogRecord record = Only("level " + std::to_string(row.level));
    EXPECT_EQ(record.priority, kDaemonFacility | row.severity) << record.raw;
    EXPECT_EQ(record.ident, "ombrevard");
    EXPECT_EQ(record.pid, child);
  }
}

TEST_F(LogSyslogTest, FatalErrorArrivesAsCritical) {
  // The framework ends the process on a fatal record before any target sees
  // it; a record handed over directly, as the log relay hands them, still
  // has its row.
  pid_t child = 0;
  int result = RunLogging(
      [&] {
        wxLogSyslog* target = new wxLogSyslog("ombrevard");
        delete wxLog::SetActiveTarget(target);
        target->LogRecord(wxLOG_FatalError, "cannot go on", wxLogRecordInfo());
        return kChildOk;
      },
      &child);
  ASSERT_EQ(result, kChildOk);
  SyslogRecord record = Only("cannot go on");
  EXPECT_EQ(record.priority, kDaemonFacility | LOG_CRIT) << record.raw;
  EXPECT_EQ(record.pid, child);
}

TEST_F(LogSyslogTest, TextArrivesVerbatimWithoutPrefix) {
  pid_t child = 0;
  int result = RunLogging(
      [&] {
        delete wxLog::SetActiveTarget(new wxLogSyslog("ombrevard"));
        // After the framework's formatting the text holds conversions of its
        // own, which must not be expanded a second time.
        wxLogError("100%% done %%s %%d");
        wxLogMessage("%s", "%n%n%n%n %s %d %%");
        errno = ENOENT;
        wxLogSysError("Could not create PID file");
        return kChildOk;
      },
      &child);
  ASSERT_EQ(result, kChildOk);
  SyslogRecord done = Only("100% done %s %d");
  EXPECT_EQ(done.priority, kDaemonFacility | LOG_ERR) << done.raw;
  EXPECT_EQ(done.ident, "ombrevard");
  EXPECT_EQ(done.pid, child);
  EXPECT_EQ(Only("%n%n%n%n %s %d %%").priority, kDaemonFacility | LOG_INFO);
  // The framework appends the system error; no time stamp or level word is
  // put in front.
  bool found = false;
  for (const SyslogRecord& record : socket.Records()) {
    if (record.text.rfind("Could not create PID file (error 2: ", 0) != 0) continue;
    found = true;
    EXPECT_EQ(record.priority, kDaemonFacility | LOG_ERR) << record.raw;
  }
  EXPECT_TRUE(found) << socket.Dump();
}

TEST_F(LogSyslogTest, IdentityIsTheTargetsOwnCopy) {
  pid_t child = 0;
  int result = RunLogging(
      [&] {
        // The caller's buffer is gone before the first record.
        // One target at a time: each closes the process's one connection.
        // The caller's buffer is gone before the first record.
        char* ident = strdup("ombrevard");
        delete wxLog::SetActiveTarget(nullptr);
        wxLog::SetActiveTarget(new wxLogSyslog(ident));
        memset(ident, 'X', strlen(ident));
        free(ident);
        wxLogMessage("named");
        delete wxLog::SetActiveTarget(nullptr);
        wxLog::SetActiveTarget(new wxLogSyslog());
        wxLogMessage("unnamed");
        delete wxLog::SetActiveTarget(nullptr);
        wxLog::SetActiveTarget(new wxLogSyslog(nullptr));
        wxLogMessage("null");
        delete wxLog::SetActiveTarget(nullptr);
        return kChildOk;
      },
      &child);
  ASSERT_EQ(result, kChildOk);
  EXPECT_EQ(Only("named").ident, "ombrevard");
  EXPECT_EQ(Only("unnamed").ident, "UNKNOWN");
  SyslogRecord empty = Only("null");
  EXPECT_EQ(empty.ident, "");
  EXPECT_EQ(empty.pid, child) << empty.raw;
}

TEST_F(LogSyslogTest, DestroyingTheTargetClosesTheConnection) {
  const int kStillConnected = 1;
  const int kConnectionMissing = 2;
  pid_t child = 0;
  int result = RunLogging(
      [&] {
        int before = CountSockets();
        wxLogSyslog* target = new wxLogSyslog("ombrevard");
        delete wxLog::SetActiveTarget(target);
        wxLogMessage("while open");
        if (CountSockets() != before + 1) return kConnectionMissing;
        delete wxLog::SetActiveTarget(nullptr);
        if (CountSockets() != before) return kStillConnected;
        // A record after the close opens a new connection with the system
        // logger's default identity, not the target's.
        syslog(LOG_INFO, "after close");
        return kChildOk;
      },
      &child);
  ASSERT_EQ(result, kChildOk);
  EXPECT_EQ(Only("while open").ident, "ombrevard");
  EXPECT_NE(Only("after close").ident, "ombrevard") << socket.Dump();
}

TEST_F(LogSyslogTest, RecordsFromManyThreadsAllArrive) {
  // The Core's threads log through the relay straight into the target, at
  // the same time as each other and as the main thread.
  const int kThreads = 4;
  const int kRecordsEach = 30;
  pid_t child = 0;
  int result = RunLogging(
      [&] {
        delete wxLog::SetActiveTarget(new wxLogSyslog("ombrevard"));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
          threads.emplace_back([t] {
            BindThreadToActiveLog();
            for (int k = 0; k < kRecordsEach; k++) wxLogWarning("thread %d record %d", t, k);
          });
        }
        for (int k = 0; k < kRecordsEach; k++) wxLogMessage("main record %d", k);
        for (std::thread& thread : threads) thread.join();
        return kChildOk;
      },
      &child);
  ASSERT_EQ(result, kChildOk);
  EXPECT_EQ(socket.Records().size(), static_cast<size_t>((kThreads + 1) * kRecordsEach));
  for (int t = 0; t < kThreads; t++) {
    for (int k = 0; k < kRecordsEach; k++) {
      SyslogRecord record = Only("thread " + std::to_string(t) + " record " + std::to_string(k));
      EXPECT_EQ(record.priority, kDaemonFacility | LOG_WARNING);
      EXPECT_EQ(record.pid, child);
    }
  }
  for (int k = 0; k < kRecordsEach; k++) {
    EXPECT_EQ(Only("main record " + std::to_string(k)).priority, kDaemonFacility | LOG_INFO);
  }
}

}  // namespace
