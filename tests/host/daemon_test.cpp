// The server as a daemon, run as a real process: the invoking process's exit
// status and output, the daemon's records in syslog, its PID file, its
// working directory and umask, the signals that end it, the invoking
// process's time-out, and a PID file that cannot be created.
//
// Every run happens inside a private mount namespace (private_namespace.h):
// /dev/log leads to this test's socket, and the PID file's folder is a fresh
// tmpfs, so no run touches the machine's /dev or /run and no PID file can be
// left behind. This process makes itself the subreaper of what it starts, so
// every daemon becomes its child: it can wait for the daemon's exit, and
// stops any daemon still running at the end of a case by its pid.
#include <libgen.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libdaemon/dpid.h>

#include "tests/host/private_namespace.h"
#include "tests/host/server_process.h"
#include "tests/host/syslog_socket.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::ListDir;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::TempTree;
using testing_support::TestPlugin;
using testing_support::WaitUntil;

const char kIdentity[] = "ombrevard";
const int kInfo = LOG_DAEMON | LOG_INFO;
const int kError = LOG_DAEMON | LOG_ERR;
const char kTimeoutText[] = "Timeout waiting for service to signal that it is running.";
const char kVerifyText[] =
    "Please verify that the service is responding by connecting to it with a client.";

class DaemonTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  void SetUp() override {
    ASSERT_TRUE(socket.Ok());
    ASSERT_TRUE(InstallServer(tree));
    tree.AddPlugin(TestPlugin("trace_file"), "trace_file.so");
    tracePath = tree.Root() + "/trace";
    // Where libdaemon puts the PID file for the server's identity.
    daemon_pid_file_ident = kIdentity;
    std::string pidFile = daemon_pid_file_proc_default();
    pidName = pidFile;
    std::string folder = pidFile;
    space.logSocket = socket.Path();
    space.pidDirectory = RealPath(dirname(&folder[0]));
    pidPath = space.pidDirectory + "/" + pidFile.substr(pidFile.rfind('/') + 1);
    executable = tree.ExecutablePath();
    options.argv = {executable};
    options.cwd = tree.Root();
    options.env["OMBREVARD_TRACE_FILE"] = tracePath;
    options.env["HOME"] = tree.Root();
#if defined(__SANITIZE_ADDRESS__)
    // Both processes check for leaks at exit and stop on the first report,
    // which goes to a file: the daemon's standard error is gone.
    options.env["ASAN_OPTIONS"] =
        "detect_leaks=1:abort_on_error=1:log_path=" + tree.Root() + "/sanitizer";
#endif
  }

  void TearDown() override {
    launch.Release();
    // Whatever still runs from this case: every daemon is our child by now.
    for (pid_t pid : ChildrenRunning(RealPath(executable))) {
      ADD_FAILURE() << "server " << pid << " still ran at the end of the case";
      StopChild(pid);
    }
    // Reports of the invoking process and the daemon, one file per process.
    for (const std::string& name : ListDir(tree.Root())) {
      if (name.rfind("sanitizer.", 0) == 0) ADD_FAILURE() << ReadFile(tree.Root() + "/" + name);
    }
  }

  // Starts the server without -d in the namespace and waits for the invoking
  // process to exit.
  ProcessResult StartDaemon(int milliseconds = 20000) {
    ProcessResult result;
    if (!launch.Start(options, space)) {
      ADD_FAILURE() << "no launch; namespace step " << launch.SetupError() << ": "
                    << strerror(errno);
      return result;
    }
    EXPECT_TRUE(launch.Wait(milliseconds, &result)) << "the invoking process did not exit";
    return result;
  }

  // Waits for the daemon's record with this text; its pid is the daemon's.
  SyslogRecord WaitForText(const std::string& text, int milliseconds = 10000) {
    SyslogRecord found;
    bool arrived = socket.WaitFor([&](const SyslogRecord& record) { return record.text == text; },
                                  milliseconds, &found);
    EXPECT_TRUE(arrived) << "no \"" << text << "\" in:\n" << socket.Dump();
    return found;
  }

  // The PID file as the daemon sees it.
  std::string PidFile() { return ReadFile(launch.Inside(pidPath)); }
  bool PidFileExists() { return access(launch.Inside(pidPath).c_str(), F_OK) == 0; }

  // Ends the daemon with `signal` and checks the whole way down.
  void StopWith(pid_t daemon, int signal) {
    ASSERT_EQ(kill(daemon, signal), 0);
    std::string received = "Received signal " + std::to_string(signal) + ", Exiting...";
    SyslogRecord exiting = WaitForText(received);
    EXPECT_EQ(exiting.pid, daemon);
    EXPECT_EQ(exiting.priority, kInfo) << exiting.raw;
    SyslogRecord done = WaitForText("Done");
    EXPECT_EQ(done.pid, daemon);
    EXPECT_EQ(done.priority, kInfo) << done.raw;
    int status = 0;
    ASSERT_TRUE(WaitForChildExit(daemon, 10000, &status)) << "the daemon did not exit";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // A clean run, start to exit, reports no error.
    socket.Receive(0);
    for (const SyslogRecord& record : socket.Records()) {
      if (record.pid == daemon) {
        EXPECT_GT(record.priority & LOG_PRIMASK, LOG_ERR) << record.raw;
      }
    }
    // Looked at after the exit, through the holder, which keeps the
    // namespace.
    EXPECT_FALSE(PidFileExists()) << PidFile();
    EXPECT_EQ(TraceOf(ReadTrace(tracePath), daemon),
              (std::vector<std::string>{"Load", "Open", "Close", "Unload"}))
        << ReadFile(tracePath);
    // The record of the signal comes before "Done".
    const std::vector<SyslogRecord>& records = socket.Records();
    auto position = [&](const std::string& text) {
      return std::find_if(records.begin(), records.end(),
                          [&](const SyslogRecord& r) { return r.text == text; }) -
             records.begin();
    };
    EXPECT_LT(position(received), position("Done")) << socket.Dump();
  }

  // Starts a daemon that must come up, and returns its pid.
  pid_t StartRunningDaemon() {
    ProcessResult result = StartDaemon();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0) << result.err;
    SyslogRecord started = WaitForText("Successfully started");
    return started.pid;
  }

  TempTree tree;
  SyslogSocket socket{tree.Root() + "/log.sock"};
  std::string tracePath;
  std::string pidPath;     // the PID file's path inside the namespace
  std::string pidName;     // the same as libdaemon names it (links unresolved)
  std::string executable;  // the server started; every daemon runs it
  PrivateNamespace space;
  LaunchOptions options;
  PrivateLaunch launch;
};

TEST_F(DaemonTest, StartsInTheBackgroundAndHoldsThePidFile) {
  ProcessResult result = StartDaemon();
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");

  SyslogRecord started = WaitForText("Successfully started");
  pid_t daemon = started.pid;
  EXPECT_EQ(started.ident, kIdentity);
  EXPECT_EQ(started.priority, kInfo) << started.raw;
  ASSERT_GT(daemon, 0);
  EXPECT_NE(daemon, launch.Launched()) << "the invoking process must not be the daemon";
  EXPECT_EQ(ChildrenRunning(RealPath(executable)), std::vector<pid_t>{daemon});

  EXPECT_EQ(atoi(PidFile().c_str()), daemon) << PidFile();
  // The Core runs in the daemon alone; the invoking process never started it.
  EXPECT_EQ(TraceOf(ReadTrace(tracePath), daemon), (std::vector<std::string>{"Load", "Open"}))
      << ReadFile(tracePath);
  EXPECT_EQ(ReadTrace(tracePath).size(), 2u) << ReadFile(tracePath);
  // Every record of the daemon carries its identity and pid.
  for (const SyslogRecord& record : socket.Records()) {
    EXPECT_EQ(record.ident, kIdentity) << record.raw;
    EXPECT_EQ(record.pid, daemon) << record.raw;
  }

  StopWith(daemon, SIGTERM);
}

TEST_F(DaemonTest, RunsInTheExecutablesDirectoryWithUmask022) {
  // libdaemon leaves the daemon in "/"; the daemon moves back beside its
  // executable, in the C locale of a service, whatever bytes the folder's
  // name holds.
  std::string directory = tree.Root() + "/d\xC3\xA6mon\xFF";
  ASSERT_TRUE(InstallServerAt(directory));
  tree.WriteFile(directory + "/plugins/trace_file.so", ReadFile(TestPlugin("trace_file")));
  executable = directory + "/ombrevard";
  options.argv = {executable};
  options.env["LC_ALL"] = "C";
  pid_t daemon = StartRunningDaemon();
  ASSERT_GT(daemon, 0);
  char cwd[4096];
  std::string link = "/proc/" + std::to_string(daemon) + "/cwd";
  ssize_t n = readlink(link.c_str(), cwd, sizeof(cwd) - 1);
  ASSERT_GT(n, 0);
  cwd[n] = '\0';
  EXPECT_EQ(std::string(cwd), RealPath(directory));
  EXPECT_EQ(ProcStatusField(daemon, "Umask"), "0022");
  // The Core already ran there: the plug-ins were loaded from that folder.
  std::vector<TraceLine> trace = ReadTrace(tracePath);
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace[0].cwd, RealPath(directory));
  StopWith(daemon, SIGTERM);
}

class DaemonSignalTest : public DaemonTest, public testing::WithParamInterface<int> {};

TEST_P(DaemonSignalTest, StopSignalEndsTheDaemonCleanly) {
  pid_t daemon = StartRunningDaemon();
  ASSERT_GT(daemon, 0);
  ASSERT_TRUE(PidFileExists());
  StopWith(daemon, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonSignalTest, testing::Values(SIGTERM, SIGINT, SIGQUIT),
                         [](const testing::TestParamInfo<int>& signal) {
                           return std::string(signal.param == SIGTERM  ? "SIGTERM"
                                              : signal.param == SIGINT ? "SIGINT"
                                                                       : "SIGQUIT");
                         });

TEST_F(DaemonTest, HangupUserAndPipeSignalsLeaveItRunning) {
  // A plug-in that writes to a closed pipe makes the kernel send SIGPIPE.
  tree.AddPlugin(TestPlugin("writes_closed_pipe"), "writes_closed_pipe.so");
  pid_t daemon = StartRunningDaemon();
  ASSERT_GT(daemon, 0);
  for (int signal : {SIGHUP, SIGUSR1, SIGPIPE}) {
    ASSERT_EQ(kill(daemon, signal), 0);
    if (signal == SIGPIPE) continue;  // ignored without a word
    std::string text = "Received signal " + std::to_string(signal) + " but did nothing with it.";
    SyslogRecord ignored = WaitForText(text);
    EXPECT_EQ(ignored.pid, daemon);
    EXPECT_EQ(ignored.priority, LOG_DAEMON | LOG_WARNING) << ignored.raw;
  }
  StopWith(daemon, SIGTERM);
}

// A PID file that cannot be created: the invoking process exits 1 with
// "Daemon returned 1", and the daemon gives up without starting the Core.
class DaemonPidFileTest : public DaemonTest {
 protected:
  void ExpectRefusedStart() { ExpectRefused(StartDaemon(), launch.Launched()); }

  void ExpectRefused(const ProcessResult& result, pid_t invoker) {
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    // One line, the framework's error record: "hh:mm:ss: Error: Daemon returned 1".
    std::string suffix = "Daemon returned 1\n";
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_TRUE(result.err.size() >= suffix.size() &&
                result.err.compare(result.err.size() - suffix.size(), suffix.size(), suffix) == 0)
        << result.err;
    EXPECT_EQ(result.out, "");

    SyslogRecord failed;
    ASSERT_TRUE(socket.WaitFor(
        [](const SyslogRecord& record) {
          return record.text.rfind("Could not create PID file (error ", 0) == 0;
        },
        10000, &failed))
        << socket.Dump();
    EXPECT_EQ(failed.priority, kError) << failed.raw;
    EXPECT_EQ(failed.ident, kIdentity) << socket.Dump();
    pid_t daemon = failed.pid;
    ASSERT_GT(daemon, 0);
    EXPECT_NE(daemon, invoker);
    ASSERT_TRUE(WaitForChildExit(daemon, 10000)) << "the daemon did not give up";
    EXPECT_TRUE(TraceOf(ReadTrace(tracePath), daemon).empty()) << "the daemon started the Core";
    for (const SyslogRecord& record : socket.Records()) {
      EXPECT_FALSE(record.pid == daemon && (record.text == "Successfully started" || record.text == "Done"))
          << socket.Dump();
    }
  }

  // Another start of the server, in the namespace of the one launched.
  ProcessOptions Beside() {
    ProcessOptions again;
    again.argv = options.argv;
    again.cwd = options.cwd;
    again.env = options.env;
    again.mountNamespace = launch.MountNamespace();
    return again;
  }

  // The warning a daemon logs when it replaces a stale PID file.
  std::string Replacing(const std::string& pid, const std::string& why) {
    return "Replacing stale PID file " + pidName + ": process " + pid + " " + why;
  }
};

TEST_F(DaemonPidFileTest, ReadOnlyPidFolderRefusesTheStart) {
  space.pidDirectoryReadOnly = true;
  ExpectRefusedStart();
}

TEST_F(DaemonPidFileTest, PidFileNamingAnotherProgramIsReplaced) {
  space.files[pidPath] = "1\n";  // a live process, but no server of ours
  pid_t daemon = StartRunningDaemon();
  ASSERT_GT(daemon, 0);
  SyslogRecord replaced = WaitForText(Replacing("1", "is no running instance of this server"));
  EXPECT_EQ(replaced.pid, daemon);
  EXPECT_EQ(replaced.priority, LOG_DAEMON | LOG_WARNING) << replaced.raw;
  EXPECT_EQ(atoi(PidFile().c_str()), daemon) << PidFile();
  StopWith(daemon, SIGTERM);
}

TEST_F(DaemonPidFileTest, PidFileLeftByAKilledDaemonIsReplaced) {
  pid_t killed = StartRunningDaemon();
  ASSERT_GT(killed, 0);
  ASSERT_EQ(kill(killed, SIGKILL), 0);
  ASSERT_TRUE(WaitForChildExit(killed, 10000));
  ASSERT_EQ(atoi(PidFile().c_str()), killed) << "SIGKILL left no PID file behind";
  // The service starts again by itself, in the same namespace.
  ProcessResult result = testing_support::RunProcess(Beside());
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0) << result.err;
  SyslogRecord replaced = WaitForText(Replacing(std::to_string(killed), "no longer runs"));
  pid_t daemon = replaced.pid;
  ASSERT_GT(daemon, 0);
  EXPECT_EQ(atoi(PidFile().c_str()), daemon) << PidFile();
  StopWith(daemon, SIGTERM);
}

TEST_F(DaemonPidFileTest, SecondDaemonBesideARunningOneIsRefused) {
  pid_t first = StartRunningDaemon();
  ASSERT_GT(first, 0);
  std::string held = PidFile();
  ExpectRefused(testing_support::RunProcess(Beside()), 0);
  EXPECT_EQ(PidFile(), held) << "the running daemon's PID file was touched";
  StopWith(first, SIGTERM);
}

// A daemon that takes longer than the invoking process waits: Load blocks
// until the test lets it go (the plug-in gives up by itself after two
// minutes).
TEST_F(DaemonTest, SlowReportMakesTheInvokerGiveUp) {
  tree.AddPlugin(TestPlugin("load_blocks"), "load_blocks.so");
  std::string release = tree.Root() + "/release";
  options.env["OMBREVARD_LOAD_RELEASE"] = release;
  options.env["OMBREVARD_LOAD_BLOCK_MS"] = "120000";
  ProcessResult result = StartDaemon(90000);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out, "");
  size_t timeout = result.err.find(kTimeoutText);
  size_t verify = result.err.find(kVerifyText);
  EXPECT_NE(timeout, std::string::npos) << result.err;
  EXPECT_NE(verify, std::string::npos) << result.err;
  EXPECT_LT(timeout, verify) << result.err;

  // The daemon is still in its start-up, holding the PID file it made first.
  pid_t daemon = atoi(PidFile().c_str());
  ASSERT_GT(daemon, 0) << PidFile();
  EXPECT_EQ(ChildrenRunning(RealPath(executable)), std::vector<pid_t>{daemon});
  EXPECT_TRUE(socket.WithText("Successfully started").empty()) << socket.Dump();

  // Let it go on: it starts, and stops like any other.
  tree.WriteFile(release, "");
  SyslogRecord started = WaitForText("Successfully started");
  EXPECT_EQ(started.pid, daemon);
  StopWith(daemon, SIGTERM);
}

}  // namespace
