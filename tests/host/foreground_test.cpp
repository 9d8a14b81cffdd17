// The server as a process in the foreground (-d / --debug): what it prints,
// how it exits, what it refuses, where its working directory ends up, and
// that a second instance runs beside the first. The trace_file plug-in in the
// scratch tree's plug-in folder shows whether a Core ran and where.
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/host/server_process.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempTree;
using testing_support::TestPlugin;
using testing_support::WaitUntil;

const char kForegroundOutput[] =
    "starting the core...\n"
    "\npress any key to stop the core\n\n"
    "\nstopping the core...\n\n";

class ForegroundTest : public testing::Test {
 protected:
  // A server that wrongly turns into a daemon becomes this process's child,
  // so that TearDown finds and stops it.
  static void SetUpTestSuite() { ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  void SetUp() override {
    ASSERT_TRUE(InstallServer(tree));
    installed.push_back(tree.ExecutablePath());
    tree.AddPlugin(TestPlugin("trace_file"), "trace_file.so");
    tracePath = tree.Root() + "/trace";
  }

  void TearDown() override {
    for (const std::string& executable : installed) {
      for (pid_t pid : ChildrenRunning(RealPath(executable))) {
        ADD_FAILURE() << "server " << pid << " still ran after the case";
        StopChild(pid);
      }
    }
  }

  // Options for a run of the installed server by its absolute path, in the
  // tree's root, with its single-instance lock kept inside the tree.
  ProcessOptions Options(const std::vector<std::string>& arguments) {
    ProcessOptions options;
    options.argv.push_back(tree.ExecutablePath());
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.cwd = tree.Root();
    options.env["OMBREVARD_TRACE_FILE"] = tracePath;
    options.env["HOME"] = tree.Root();
    options.timeoutMs = 20000;
    return options;
  }

  // The working directory the plug-in saw at Load, for the one run traced.
  std::string LoadDirectory() {
    std::vector<TraceLine> trace = ReadTrace(tracePath);
    EXPECT_EQ(trace.size(), 4u) << ReadFile(tracePath);
    return trace.empty() ? std::string() : trace[0].cwd;
  }

  TempTree tree;
  std::string tracePath;
  std::vector<std::string> installed;  // every copy of the server this case made
};

TEST_F(ForegroundTest, EndOfInputStartsAndStopsTheCore) {
  for (const char* flag : {"-d", "--debug"}) {
    SCOPED_TRACE(flag);
    unlink(tracePath.c_str());
    ProcessResult result = RunProcess(Options({flag}));
    ASSERT_TRUE(result.exited) << "timed out: " << result.timedOut << " signal " << result.signal;
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(kForegroundOutput));
    EXPECT_EQ(result.out.size(), 21u + 33u + 23u);
    std::vector<TraceLine> trace = ReadTrace(tracePath);
    ASSERT_FALSE(trace.empty()) << "no Core ran";
    EXPECT_EQ(TraceOf(trace, trace[0].pid),
              (std::vector<std::string>{"Load", "Open", "Close", "Unload"}));
  }
}

TEST_F(ForegroundTest, RejectedCommandLineStartsNoCore) {
  const std::vector<std::vector<std::string>> kCommandLines = {
      {"-x"},        {"--bogus"}, {"extra"}, {"-d", "extra"}, {"-d", "extr\xFF"},
      {"--debug=1"}, {"--help"},  {"-h"}};
  for (const std::vector<std::string>& arguments : kCommandLines) {
    std::string shown;
    for (const std::string& argument : arguments) shown += argument + " ";
    SCOPED_TRACE(shown);
    ProcessResult result = RunProcess(Options(arguments));
    ASSERT_TRUE(result.exited) << "timed out: " << result.timedOut;
    EXPECT_EQ(result.status, 255);
    // The framework's usage text lists the server's one switch.
    EXPECT_NE((result.out + result.err).find("do not daemonize"), std::string::npos)
        << result.out << result.err;
    EXPECT_EQ(result.out.find("starting the core"), std::string::npos);
    EXPECT_EQ(ReadFile(tracePath), "") << "a Core ran";
  }
}

TEST_F(ForegroundTest, AbsolutePathMovesToTheExecutablesDirectory) {
  // PATH leads elsewhere, so only the path given can put the server there.
  ProcessOptions options = Options({"-d"});
  options.env["PATH"] = tree.Root();
  ProcessResult result = RunProcess(options);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(LoadDirectory(), RealPath(tree.BinDir()));
}

TEST_F(ForegroundTest, BareNameFoundThroughPathMovesToWhereItWasFound) {
  std::string elsewhere = tree.Root() + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
  ProcessOptions options = Options({"-d"});
  options.argv[0] = "ombrevard";
  options.program = tree.ExecutablePath();
  // The first folder searched does not have it.
  options.env["PATH"] = elsewhere + ":" + tree.BinDir();
  ProcessResult result = RunProcess(options);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(LoadDirectory(), RealPath(tree.BinDir()));
}

TEST_F(ForegroundTest, NameNotFoundThroughPathStaysInTheCurrentDirectory) {
  // Then the current directory stands in for the executable's, so the Core
  // loads from its plug-in folder. An empty name is found nowhere either, and
  // says nothing about it.
  std::string work = tree.Root() + "/work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((work + "/plugins").c_str(), 0755), 0);
  tree.WriteFile(work + "/plugins/trace_file.so", ReadFile(TestPlugin("trace_file")));
  for (const char* name : {"ombrevard", ""}) {
    SCOPED_TRACE(std::string("argv[0] \"") + name + "\"");
    unlink(tracePath.c_str());
    ProcessOptions options = Options({"-d"});
    options.argv[0] = name;
    options.program = tree.ExecutablePath();
    options.env["PATH"] = tree.Root();
    options.cwd = work;
    ProcessResult result = RunProcess(options);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(kForegroundOutput));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(LoadDirectory(), RealPath(work));
  }
}

TEST_F(ForegroundTest, ExecutablePathIsTakenByteForByte) {
  // A service usually runs in the C locale, where any byte outside ASCII is
  // no text; a folder name need not be UTF-8 either. Neither may keep the
  // server from its folder, nor cost it the switch that follows its name.
  const char* const kFolders[] = {"vid\xC3\xA9o", "raw\xFF\x80name"};
  const char* const kLocales[] = {"C", "C.UTF-8"};
  for (const char* folder : kFolders) {
    std::string directory = tree.Root() + "/" + folder;
    SCOPED_TRACE(testing::PrintToString(directory));
    ASSERT_TRUE(InstallServerAt(directory));
    installed.push_back(directory + "/ombrevard");
    tree.WriteFile(directory + "/plugins/trace_file.so", ReadFile(TestPlugin("trace_file")));
    for (const char* locale : kLocales) {
      for (bool searched : {false, true}) {
        SCOPED_TRACE(std::string(locale) + (searched ? " through PATH" : " absolute"));
        unlink(tracePath.c_str());
        ProcessOptions options = Options({"-d"});
        options.env["LC_ALL"] = locale;
        options.program = directory + "/ombrevard";
        options.argv[0] = searched ? "ombrevard" : options.program;
        options.env["PATH"] = searched ? tree.Root() + ":" + directory : tree.Root();
        ProcessResult result = RunProcess(options);
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, std::string(kForegroundOutput));
        EXPECT_EQ(LoadDirectory(), RealPath(directory));
      }
    }
  }
}

TEST_F(ForegroundTest, SecondInstanceRunsBesideTheFirst) {
  // Both share HOME, and with it the single-instance lock.
  ProcessOptions options = Options({"-d"});
  LaunchOptions held;
  held.argv = options.argv;
  held.cwd = options.cwd;
  held.env = options.env;
  HeldServer first;
  ASSERT_TRUE(first.Start(held, tree.Root()));
  pid_t firstPid = first.Pid();
  ASSERT_TRUE(WaitUntil([&] { return TraceOf(ReadTrace(tracePath), firstPid).size() >= 2; }))
      << "the first instance did not open its plug-ins: " << ReadFile(tracePath);

  ProcessResult second = RunProcess(options);
  ASSERT_TRUE(second.exited);
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out, std::string(kForegroundOutput));

  // The first still runs until its input ends.
  EXPECT_EQ(TraceOf(ReadTrace(tracePath), firstPid), (std::vector<std::string>{"Load", "Open"}));
  first.CloseInput();
  int status = 0;
  ASSERT_TRUE(first.WaitForExit(10000, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(ReadFile(tree.Root() + "/held.out"), std::string(kForegroundOutput));

  std::vector<TraceLine> trace = ReadTrace(tracePath);
  int secondLoads = 0;
  for (const TraceLine& line : trace) {
    if (line.entry == "Load" && line.pid != firstPid) secondLoads++;
  }
  EXPECT_EQ(secondLoads, 1) << ReadFile(tracePath);
}

}  // namespace

TEST_F(ForegroundTest, PluginNamesReachStandardErrorByteForByteInAnyLocale) {
  const std::string name = "bad-\xff\xfe-\xe5\x90\x8d $(x) <&>.so";
  tree.AddPlugin(TestPlugin("load_fails"), name);
  for (const char* locale : {"C", "C.UTF-8"}) {
    SCOPED_TRACE(locale);
    ProcessOptions options = Options({"-d"});
    options.env["LC_ALL"] = locale;
    ProcessResult result = RunProcess(options);
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("plugin " + name + " load returned 3 error 7"), std::string::npos)
        << result.err;
  }
}

TEST_F(ForegroundTest, RelativePathWithAFolderFindsThePluginsBesideIt) {
  ProcessOptions options = Options({"-d"});
  options.argv[0] = "bin/ombrevard";
  options.program = tree.ExecutablePath();
  options.env["PATH"] = "/nonexistent";
  options.cwd = tree.Root();
  ProcessResult result = RunProcess(options);
  ASSERT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(LoadDirectory(), RealPath(tree.BinDir()));
}

namespace {

// Stop must end whatever the plug-ins keep posting: what is still queued
// after a bounded time is discarded (and counted), and every plug-in is still
// closed and unloaded.
class ForegroundLoadTest : public ForegroundTest,
                           public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(ForegroundLoadTest, StopEndsWhileTheQueueNeverEmpties) {
  for (const std::string& plugin : GetParam()) tree.AddPlugin(TestPlugin(plugin), plugin + ".so");
  ProcessResult result = RunProcess(Options({"-d"}));
  ASSERT_TRUE(result.exited) << "timed out: " << result.timedOut << " signal " << result.signal;
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, std::string(kForegroundOutput));
  size_t discarded = result.err.find("discarded ");
  EXPECT_NE(discarded, std::string::npos) << result.err;
  EXPECT_NE(result.err.find(" queued event(s) at stop", discarded), std::string::npos) << result.err;
  std::vector<TraceLine> trace = ReadTrace(tracePath);
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(TraceOf(trace, trace[0].pid),
            (std::vector<std::string>{"Load", "Open", "Close", "Unload"}));
}

INSTANTIATE_TEST_SUITE_P(
    Loads, ForegroundLoadTest,
    testing::Values(std::vector<std::string>{"echo_loop"},
                    std::vector<std::string>{"flood_reader", "slow_sink"}),
    [](const testing::TestParamInfo<std::vector<std::string>>& plugins) {
      return plugins.param.size() == 1 ? std::string("RelayLoop")
                                    : std::string("ProducerOutrunsSlowSink");
    });

// The stall watchdog names a plug-in that holds delivery up, on standard
// error, and the statistics call the server exports counts it there.
TEST_F(ForegroundTest, StalledDeliveryIsNamedOnStandardError) {
  tree.AddPlugin(TestPlugin("stalls_once"), "stalls_once.so");
  LaunchOptions options;
  options.argv = {tree.ExecutablePath(), "-d"};
  options.cwd = tree.Root();
  options.env = {{"OMBREVARD_STALL_MS", "100"}, {"HOME", tree.Root()}};
  HeldServer server;
  ASSERT_TRUE(server.Start(options, tree.Root()));
  std::string errPath = tree.Root() + "/held.err";
  EXPECT_TRUE(WaitUntil([&] {
    return ReadFile(errPath).find("plugin stalls_once.so returned from IOCTL after ") !=
           std::string::npos;
  }, testing_support::Scaled(30000))) << ReadFile(errPath);
  server.CloseInput();
  int status = -1;
  ASSERT_TRUE(server.WaitForExit(testing_support::Scaled(20000), &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string err = ReadFile(errPath);
  size_t stalled = err.find("plugin stalls_once.so has been in IOCTL for ");
  ASSERT_NE(stalled, std::string::npos) << err;
  std::string line = err.substr(stalled, err.find('\n', stalled) - stalled);
  int ms = 0;
  EXPECT_EQ(sscanf(line.c_str(), "plugin stalls_once.so has been in IOCTL for %d ms; delivery is waiting", &ms), 1) << line;
  EXPECT_GE(ms, 100) << line;
  EXPECT_EQ(line.substr(line.size() - 24), " ms; delivery is waiting") << line;
}

TEST_F(ForegroundTest, PluginWritingToAClosedPipeDoesNotEndTheServer) {
  tree.AddPlugin(TestPlugin("writes_closed_pipe"), "writes_closed_pipe.so");
  ProcessResult result = RunProcess(Options({"-d"}));
  ASSERT_TRUE(result.exited) << "signal " << result.signal;
  EXPECT_EQ(result.status, 0) << result.err;
  std::vector<TraceLine> trace = ReadTrace(tracePath);
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(TraceOf(trace, trace[0].pid),
            (std::vector<std::string>{"Load", "Open", "Close", "Unload"}));
}

}  // namespace
