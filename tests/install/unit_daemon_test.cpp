// The installed systemd unit's promises, checked against the installed server
// without a service manager: started as the unit starts it (its ExecStart,
// its HOME, its runtime folder made first), the invoking process exits 0 once
// the PID file the unit names holds the daemon's pid, with nothing on its
// standard error; and SIGTERM, the unit's stop signal, ends the daemon and
// removes the PID file.
//
// The run happens in a private mount namespace (tests/host/private_namespace.h)
// with an empty tmpfs on /run and /dev/log leading to this test's socket, so
// it touches neither the machine's /run nor its logger. This process is the
// subreaper of what it starts, so the daemon becomes its child.
#include <libgen.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libdaemon/dpid.h>

#include "tests/host/private_namespace.h"
#include "tests/host/server_process.h"
#include "tests/host/syslog_socket.h"
#include "tests/install/install_support.h"
#include "tests/support/test_support.h"

namespace {

using install_support::Describe;
using install_support::InstallBuild;
using install_support::ReadUnit;
using testing_support::TempTree;
using install_support::Succeeded;
using install_support::UnitValue;
using testing_support::ProcessResult;
using testing_support::ReadFile;

class UnitDaemonTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  void SetUp() override {
    if (!install_support::kInstallsUnit) GTEST_SKIP() << "built without the systemd unit";
    if (install_support::kUnitDir[0] == '/') {
      GTEST_SKIP() << "the unit is configured to install outside the prefix, to "
                   << install_support::kUnitDir;
    }
    ASSERT_TRUE(scratch.Ok());
    std::string prefix = scratch.Root() + "/usr";
    ProcessResult installed = InstallBuild(prefix);
    ASSERT_TRUE(Succeeded(installed)) << Describe(installed);
    server = RealPath(prefix + "/" + install_support::kServerDir + "/ombrevard");
    unit = ReadUnit(prefix + "/" + install_support::kUnitDir + "/ombrevard.service");
    ASSERT_FALSE(unit.empty());
  }

  void TearDown() override {
    launch.Release();
    for (pid_t pid : ChildrenRunning(server)) {
      ADD_FAILURE() << "server " << pid << " still ran at the end of the case";
      StopChild(pid);
    }
  }

  TempTree scratch{TempTree::kEmpty};
  SyslogSocket socket{scratch.Root() + "/log.sock"};
  std::string server;  // the installed server, links resolved
  std::multimap<std::string, std::string> unit;
  PrivateLaunch launch;
};

TEST_F(UnitDaemonTest, PidFileIsTheOneTheServerWrites) {
  // libdaemon's file for the server's identity, with /var/run resolved.
  daemon_pid_file_ident = "ombrevard";
  std::string written = daemon_pid_file_proc_default();
  std::string folder = written;
  std::string resolved =
      RealPath(dirname(&folder[0])) + "/" + written.substr(written.rfind('/') + 1);
  EXPECT_EQ(UnitValue(unit, "Service.PIDFile"), resolved) << "libdaemon writes " << written;
}

TEST_F(UnitDaemonTest, StartsAsTheUnitSaysAndStopsOnSigterm) {
  ASSERT_TRUE(socket.Ok());
  std::string execStart = UnitValue(unit, "Service.ExecStart");
  std::string pidFile = UnitValue(unit, "Service.PIDFile");
  std::string runtimeDir = UnitValue(unit, "Service.RuntimeDirectory");
  std::string environment = UnitValue(unit, "Service.Environment");
  ASSERT_EQ(execStart, server) << "the unit must start the installed server by its real path";
  ASSERT_EQ(pidFile.compare(0, 5, "/run/"), 0) << pidFile;
  ASSERT_EQ(environment.compare(0, 5, "HOME="), 0) << environment;

  PrivateNamespace space;
  space.logSocket = socket.Path();
  space.pidDirectory = "/run";
  LaunchOptions options;
  // systemd makes the runtime folder before it runs ExecStart, in "/".
  std::string command = "exec " + install_support::Quoted(execStart);
  if (runtimeDir != "<missing>") {
    command = "mkdir -p " + install_support::Quoted("/run/" + runtimeDir) + " && " + command;
  }
  options.argv = {"/bin/sh", "-c", command};
  options.env["HOME"] = environment.substr(5);
  options.cwd = "/";
  ASSERT_TRUE(launch.Start(options, space)) << "namespace step " << launch.SetupError();
  ProcessResult invoker;
  ASSERT_TRUE(launch.Wait(30000, &invoker)) << "the invoking process did not exit";
  ASSERT_TRUE(Succeeded(invoker)) << Describe(invoker);
  // A lock file the server could not make would show here.
  EXPECT_EQ(invoker.err, "");

  // Type=forking: the PID file is there when the invoking process has gone.
  std::string pidText = ReadFile(launch.Inside(pidFile));
  pid_t daemon = atoi(pidText.c_str());
  ASSERT_GT(daemon, 0) << "no PID file at " << pidFile;
  EXPECT_NE(daemon, launch.Launched());
  EXPECT_EQ(ChildrenRunning(server), std::vector<pid_t>{daemon});
  SyslogRecord started;
  ASSERT_TRUE(socket.WaitFor(
      [](const SyslogRecord& record) { return record.text == "Successfully started"; }, 10000,
      &started))
      << socket.Dump();
  EXPECT_EQ(started.pid, daemon);
  EXPECT_EQ(started.ident, "ombrevard");

  ASSERT_EQ(kill(daemon, SIGTERM), 0);
  int status = 0;
  ASSERT_TRUE(WaitForChildExit(daemon, 15000, &status)) << "SIGTERM did not stop the daemon";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(access(launch.Inside(pidFile).c_str(), F_OK), 0) << "the PID file stayed";
  EXPECT_TRUE(
      socket.WaitFor([](const SyslogRecord& record) { return record.text == "Done"; }, 5000))
      << socket.Dump();
}

}  // namespace
