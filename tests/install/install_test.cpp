// The installed server and plug-in SDK: this build tree installed with
// `cmake --install` into a scratch prefix, its layout, its systemd unit, the
// installed server run in the foreground by each way it can be started, and
// plug-ins built outside the tree against the installed SDK (one pkg-config
// command line; the CMake package) and loaded by the installed server.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/install/install_support.h"
#include "tests/support/test_support.h"

namespace {

using install_support::Chomp;
using install_support::Describe;
using install_support::ExpectExamplesLoaded;
using install_support::InstallBuild;
using install_support::InstallBuildStaged;
using install_support::IsDirectory;
using install_support::IsExecutable;
using install_support::IsRegularFile;
using testing_support::ListDir;
using install_support::Quoted;
using install_support::ReadPkgConfig;
using install_support::ReadUnit;
using install_support::RunForeground;
using testing_support::TempTree;
using install_support::Shell;
using install_support::StatusPluginSource;
using install_support::Succeeded;
using install_support::UnitValue;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;

// A scratch folder with this build installed under <scratch>/usr.
class InstalledTreeTest : public testing::Test {
 protected:
  void SetUp() override {
    // An absolute unit folder would put the unit outside the scratch prefix,
    // on this machine itself.
    if (install_support::kInstallsUnit && install_support::kUnitDir[0] == '/') {
      GTEST_SKIP() << "the unit is configured to install outside the prefix, to "
                   << install_support::kUnitDir;
    }
    ASSERT_TRUE(scratch.Ok());
    prefix = scratch.Root() + "/usr";
    ProcessResult installed = InstallBuild(prefix);
    ASSERT_TRUE(Succeeded(installed)) << Describe(installed);
  }

  std::string Prefixed(const std::string& relative) const { return prefix + "/" + relative; }
  std::string Launcher() const { return Prefixed(install_support::kBinDir) + "/ombrevard"; }
  std::string ServerDir() const { return Prefixed(install_support::kServerDir); }
  std::string Server() const { return ServerDir() + "/ombrevard"; }
  std::string PluginDir() const { return ServerDir() + "/plugins"; }
  std::string UnitFile() const {
    return Prefixed(install_support::kUnitDir) + "/ombrevard.service";
  }
  std::string PkgConfigDir() const { return Prefixed(install_support::kDataDir) + "/pkgconfig"; }

  // The status documents the out-of-tree plug-in wrote during one run of
  // the installed server started by its launcher.
  std::string RunWithStatusPlugin() {
    std::string statusFile = scratch.Root() + "/status";
    ProcessOptions options;
    options.argv = {Launcher()};
    options.env[install_support::kStatusFileVariable] = statusFile;
    ProcessResult result = RunForeground(options, scratch.Root());
    EXPECT_TRUE(Succeeded(result)) << Describe(result);
    return ReadFile(statusFile);
  }

  TempTree scratch{TempTree::kEmpty};
  std::string prefix;
};

// ---- Layout -----------------------------------------------------------------

using InstallLayoutTest = InstalledTreeTest;

TEST_F(InstallLayoutTest, ServerAndItsPluginFolderAreTogether) {
  EXPECT_TRUE(IsExecutable(Server()));
  EXPECT_EQ(ReadFile(Server()).compare(0, 4, "\177ELF"), 0) << "not a program";
  ASSERT_TRUE(IsDirectory(PluginDir()));
  std::vector<std::string> expected;
  if (install_support::kInstallsExamples) expected = {"consumer.so", "monitor.so", "producer.so"};
  if (install_support::kInstallsMedia) {
    expected.insert(expected.end(), {"gst_sink.so", "gst_source.so"});
  }
  if (install_support::kInstallsNats) expected.push_back("nats_bridge.so");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListDir(PluginDir()), expected);
  for (const std::string& plugin : expected) {
    SCOPED_TRACE(plugin);
    EXPECT_TRUE(IsRegularFile(PluginDir() + "/" + plugin));
    EXPECT_FALSE(IsExecutable(PluginDir() + "/" + plugin)) << "a plug-in is not run";
  }
}

TEST_F(InstallLayoutTest, CommandOnPathIsALauncherNotALink) {
  // The server looks for plug-ins beside the path it was started by, links
  // unresolved; a link here would send it to <bin>/plugins.
  ASSERT_TRUE(IsRegularFile(Launcher())) << "missing, or a link";
  EXPECT_TRUE(IsExecutable(Launcher()));
  EXPECT_EQ(ReadFile(Launcher()).compare(0, 10, "#!/bin/sh\n"), 0);
  EXPECT_FALSE(IsDirectory(Prefixed(install_support::kBinDir) + "/plugins"));
}

TEST_F(InstallLayoutTest, SdkHasTheSourceHeadersAndItsBuildFiles) {
  for (const char* name : {"plugin_api.h", "media.h"}) {
    std::string header = Prefixed(install_support::kIncludeDir) + "/ombrevard/" + name;
    ASSERT_TRUE(IsRegularFile(header)) << name;
    EXPECT_EQ(ReadFile(header), ReadFile(std::string(install_support::kSourceDir) + "/core/" + name));
  }

  std::map<std::string, std::string> pc = ReadPkgConfig(PkgConfigDir() + "/ombrevard-plugin.pc");
  EXPECT_EQ(pc["prefix"], prefix);
  EXPECT_EQ(pc["Version"], install_support::kVersion);
  EXPECT_EQ(pc["Cflags"], "-I${includedir}/ombrevard");

  std::string cmakeDir = Prefixed(install_support::kDataDir) + "/cmake/OmbrevardPlugin";
  EXPECT_EQ(ListDir(cmakeDir), (std::vector<std::string>{"OmbrevardPluginConfig.cmake",
                                                         "OmbrevardPluginConfigVersion.cmake"}));
}

TEST_F(InstallLayoutTest, NothingLandsOutsideThePrefix) {
  EXPECT_EQ(ListDir(scratch.Root()), std::vector<std::string>{"usr"});
}

TEST_F(InstallLayoutTest, StagedInstallNamesTheConfiguredPrefixNotTheStage) {
  // DESTDIR moves the files but not what they say: a package is staged
  // this way and then unpacked at the prefix.
  std::string stage = scratch.Root() + "/stage";
  ProcessResult staged = InstallBuildStaged(stage);
  ASSERT_TRUE(Succeeded(staged)) << Describe(staged);
  std::string configured = install_support::kConfiguredPrefix;
  std::string stagedPrefix = stage + configured;
  EXPECT_TRUE(IsExecutable(stagedPrefix + "/" + install_support::kServerDir + "/ombrevard"));
  std::map<std::string, std::string> pc = ReadPkgConfig(
      stagedPrefix + "/" + install_support::kDataDir + "/pkgconfig/ombrevard-plugin.pc");
  EXPECT_EQ(pc["prefix"], configured);
  if (install_support::kInstallsUnit) {
    std::string unitDir = install_support::kUnitDir;
    std::string unitFile =
        (unitDir[0] == '/' ? stage + unitDir : stagedPrefix + "/" + unitDir) + "/ombrevard.service";
    EXPECT_EQ(UnitValue(ReadUnit(unitFile), "Service.ExecStart"),
              configured + "/" + install_support::kServerDir + "/ombrevard");
  }
  ProcessResult leaks = Shell("grep -rl -F " + Quoted(stage) + " " + Quoted(stage));
  EXPECT_EQ(leaks.out, "") << "files that name the staging folder";
}

// ---- The systemd unit ---------------------------------------------------------

class UnitTest : public InstalledTreeTest {
 protected:
  void SetUp() override {
    if (!install_support::kInstallsUnit) GTEST_SKIP() << "built without the systemd unit";
    InstalledTreeTest::SetUp();
  }
};

TEST_F(UnitTest, RunsTheInstalledServerAsAForkingDaemon) {
  std::multimap<std::string, std::string> unit = ReadUnit(UnitFile());
  ASSERT_FALSE(unit.empty()) << "no unit at " << UnitFile();
  EXPECT_EQ(UnitValue(unit, "Service.Type"), "forking");
  // Daemon mode: the server by its real path (so it finds its plug-ins),
  // without -d.
  EXPECT_EQ(UnitValue(unit, "Service.ExecStart"), Server());
  // libdaemon writes /var/run/ombrevard.pid; /var/run is a link to /run.
  EXPECT_EQ(UnitValue(unit, "Service.PIDFile"), "/run/ombrevard.pid");
  EXPECT_EQ(UnitValue(unit, "Install.WantedBy"), "multi-user.target");
  EXPECT_EQ(unit.count("<malformed>"), 0u);
}

TEST_F(UnitTest, HardeningLeavesThePidFileAndTheLockFileWritable) {
  std::multimap<std::string, std::string> unit = ReadUnit(UnitFile());
  // "strict" would make /run read-only, and the daemon gives up without its
  // PID file.
  std::string protectSystem = UnitValue(unit, "Service.ProtectSystem");
  EXPECT_TRUE(protectSystem == "<missing>" || protectSystem == "yes" || protectSystem == "true" ||
              protectSystem == "full")
      << protectSystem;
  for (const char* key : {"Service.ReadOnlyPaths", "Service.InaccessiblePaths"}) {
    auto range = unit.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
      EXPECT_EQ(it->second.find("/run"), std::string::npos) << key << "=" << it->second;
    }
  }
  // The server keeps a lock file in $HOME. With home folders out of reach,
  // HOME must be a folder the unit gives it.
  if (UnitValue(unit, "Service.ProtectHome") != "<missing>") {
    EXPECT_EQ(UnitValue(unit, "Service.Environment"),
              "HOME=/run/" + UnitValue(unit, "Service.RuntimeDirectory"));
  }
}

TEST_F(UnitTest, PassesSystemdVerify) {
  std::string analyze = install_support::FindProgram("systemd-analyze");
  if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
  // Offline: it reads the file and checks that ExecStart can be executed;
  // no service manager is involved.
  ProcessOptions options;
  options.argv = {analyze, "verify", UnitFile()};
  // Documentation= names the manual page installed beside it.
  options.env["MANPATH"] = Prefixed(install_support::kDataDir) + "/man";
  options.timeoutMs = 60000;
  ProcessResult result = testing_support::RunProcess(options);
  EXPECT_TRUE(Succeeded(result)) << Describe(result);
  EXPECT_EQ(result.err, "") << "warnings about the unit";
}

// ---- The installed server, started each way ---------------------------------

enum class Start {
  kLauncherByAbsolutePath,
  kLauncherByBareNameOnPath,
  kLauncherByRelativePath,
  kLinkToLauncherOnPath,
  kServerByAbsolutePath,
};

std::string StartName(const testing::TestParamInfo<Start>& info) {
  switch (info.param) {
    case Start::kLauncherByAbsolutePath:
      return "LauncherByAbsolutePath";
    case Start::kLauncherByBareNameOnPath:
      return "LauncherByBareNameOnPath";
    case Start::kLauncherByRelativePath:
      return "LauncherByRelativePath";
    case Start::kLinkToLauncherOnPath:
      return "LinkToLauncherOnPath";
    case Start::kServerByAbsolutePath:
      return "ServerByAbsolutePath";
  }
  return "Unknown";
}

class InstalledServerTest : public InstalledTreeTest, public testing::WithParamInterface<Start> {
 protected:
  void SetUp() override {
    if (!install_support::kInstallsExamples) GTEST_SKIP() << "built without the example plug-ins";
    InstalledTreeTest::SetUp();
  }

  // A shell that finds `ombrevard` along a PATH starting with `folder`, as
  // an operator's would.
  ProcessOptions ThroughPath(const std::string& folder) {
    ProcessOptions options;
    options.argv = {"/bin/sh", "-c", "exec ombrevard \"$@\"", "sh"};
    const char* path = getenv("PATH");
    options.env["PATH"] = folder + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    options.cwd = scratch.Root();
    return options;
  }
};

TEST_P(InstalledServerTest, LoadsTheInstalledExamplePlugins) {
  ProcessOptions options;
  switch (GetParam()) {
    case Start::kLauncherByAbsolutePath:
      options.argv = {Launcher()};
      options.cwd = scratch.Root();
      break;
    case Start::kLauncherByBareNameOnPath:
      options = ThroughPath(Prefixed(install_support::kBinDir));
      break;
    case Start::kLauncherByRelativePath:
      options.argv = {"./ombrevard"};
      options.cwd = Prefixed(install_support::kBinDir);
      break;
    case Start::kLinkToLauncherOnPath: {
      std::string links = scratch.Root() + "/links";
      ASSERT_EQ(mkdir(links.c_str(), 0755), 0);
      ASSERT_EQ(symlink(Launcher().c_str(), (links + "/ombrevard").c_str()), 0);
      options = ThroughPath(links);
      break;
    }
    case Start::kServerByAbsolutePath:
      options.argv = {Server()};
      options.cwd = scratch.Root();
      break;
  }
  ExpectExamplesLoaded(RunForeground(options, scratch.Root()));
}

INSTANTIATE_TEST_SUITE_P(Starts, InstalledServerTest,
                         testing::Values(Start::kLauncherByAbsolutePath,
                                         Start::kLauncherByBareNameOnPath,
                                         Start::kLauncherByRelativePath,
                                         Start::kLinkToLauncherOnPath,
                                         Start::kServerByAbsolutePath),
                         StartName);

// ---- Plug-ins built against the installed SDK ---------------------------------

using SdkTest = InstalledTreeTest;

TEST_F(SdkTest, PkgConfigLineBuildsAPluginTheInstalledServerLoads) {
  std::map<std::string, std::string> env = {{"PKG_CONFIG_PATH", PkgConfigDir()}};
  ProcessResult cflags = Shell("pkg-config --cflags ombrevard-plugin", env);
  ASSERT_TRUE(Succeeded(cflags)) << Describe(cflags);
  EXPECT_EQ(Chomp(cflags.out), "-I" + Prefixed(install_support::kIncludeDir) + "/ombrevard");
  ProcessResult plugindir = Shell("pkg-config --variable=plugindir ombrevard-plugin", env);
  ASSERT_TRUE(Succeeded(plugindir)) << Describe(plugindir);
  ASSERT_EQ(Chomp(plugindir.out), PluginDir());

  // The one line a plug-in author types, made strict; nothing of the source
  // tree is on the include path.
  std::string plugin = PluginDir() + "/status_to_file.so";
  std::string line = std::string(OMBREVARD_C_COMPILER) + " " + OMBREVARD_C_FLAGS +
                     " -shared -fPIC -fvisibility=hidden -Wall -Wextra -Werror -o " +
                     Quoted(plugin) + " " + Quoted(StatusPluginSource()) +
                     " $(pkg-config --cflags ombrevard-plugin)";
  ProcessResult built = Shell(line, env);
  ASSERT_TRUE(Succeeded(built)) << line << "\n" << Describe(built);

  std::string documents = RunWithStatusPlugin();
  // One start, one document, naming this plug-in as opened.
  EXPECT_EQ(std::count(documents.begin(), documents.end(), '\n'), 1) << documents;
  EXPECT_NE(documents.find("<Plugin Filename=\"status_to_file.so\" Opened=\"1\""),
            std::string::npos)
      << documents;
}

TEST_F(SdkTest, CMakePackageBuildsAPluginTheInstalledServerLoads) {
  std::string build = scratch.Root() + "/consumer-build";
  std::string source = std::string(install_support::kInstallTestDir) + "/sdk_consumer";
  std::vector<std::vector<std::string>> steps = {
      {OMBREVARD_CMAKE_COMMAND, "-S", source, "-B", build, "-DCMAKE_PREFIX_PATH=" + prefix,
       std::string("-DCMAKE_C_COMPILER=") + OMBREVARD_C_COMPILER,
       std::string("-DCMAKE_C_FLAGS=") + OMBREVARD_C_FLAGS},
      {OMBREVARD_CMAKE_COMMAND, "--build", build},
      {OMBREVARD_CMAKE_COMMAND, "--install", build},
  };
  for (const std::vector<std::string>& step : steps) {
    ProcessOptions options;
    options.argv = step;
    options.unsetEnv = {"DESTDIR", "CMAKE_PREFIX_PATH"};
    options.timeoutMs = 120000;
    ProcessResult result = testing_support::RunProcess(options);
    ASSERT_TRUE(Succeeded(result)) << step[1] << "\n" << Describe(result);
  }
  // Installed into the plug-in folder the package names: this scratch one.
  ASSERT_TRUE(IsRegularFile(PluginDir() + "/status_to_file.so"));

  std::string documents = RunWithStatusPlugin();
  EXPECT_NE(documents.find("<Plugin Filename=\"status_to_file.so\" Opened=\"1\""),
            std::string::npos)
      << documents;
}

}  // namespace
