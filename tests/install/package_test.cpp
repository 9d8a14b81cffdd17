// The Debian package: `cpack -G DEB` on this build tree, its control fields,
// its file list, what lintian says of it, and its content unpacked into a
// scratch root (dpkg-deb -x, no maintainer scripts, nothing installed on this
// machine), where the unit is checked and the server is run in the
// foreground with the root's own plug-ins.
//
// The package is built once for all cases (building it takes seconds), so
// this program runs as one ctest test rather than a test per case.
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/install/install_support.h"
#include "tests/support/test_support.h"

namespace {

using install_support::Chomp;
using install_support::Describe;
using install_support::ExpectExamplesLoaded;
using install_support::IsExecutable;
using install_support::IsRegularFile;
using testing_support::ListDir;
using install_support::Quoted;
using install_support::ReadPkgConfig;
using install_support::ReadUnit;
using install_support::RunForeground;
using testing_support::TempTree;
using install_support::Shell;
using install_support::Succeeded;
using install_support::UnitValue;
using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;

// The package names in a Depends field, without versions; each of a set of
// alternatives counts.
std::vector<std::string> DependedPackages(const std::string& field) {
  std::vector<std::string> names;
  std::string entry;
  for (char c : field + ",") {
    if (c == ',' || c == '|') {
      size_t first = entry.find_first_not_of(" \n");
      if (first != std::string::npos) {
        names.push_back(entry.substr(first, entry.find_first_of(" (:", first) - first));
      }
      entry.clear();
    } else {
      entry += c;
    }
  }
  return names;
}

class PackageTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch = new TempTree(TempTree::kEmpty);
    std::string output = scratch->Root() + "/out";
    root = scratch->Root() + "/root";
    // Everything cpack makes, its staging folder too, goes to the scratch
    // folder and not into the build tree.
    ProcessOptions options;
    std::string config = std::string(OMBREVARD_BUILD_DIR) + "/CPackConfig.cmake";
    options.argv = {OMBREVARD_CPACK_COMMAND, "--config", config, "-G", "DEB", "-B", output};
    options.unsetEnv = {"DESTDIR"};
    options.timeoutMs = 240000;
    ProcessResult built = testing_support::RunProcess(options);
    if (!Succeeded(built)) {
      setupFailure = "cpack failed: " + Describe(built);
      return;
    }
    for (const std::string& name : ListDir(output)) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0) {
        if (!debName.empty()) {
          setupFailure = "more than one package: " + debName + ", " + name;
          return;
        }
        debName = name;
      }
    }
    if (debName.empty()) {
      setupFailure = "cpack made no .deb: " + Describe(built);
      return;
    }
    debPath = output + "/" + debName;
    ProcessResult unpacked = Shell("dpkg-deb -x " + Quoted(debPath) + " " + Quoted(root));
    if (!Succeeded(unpacked)) setupFailure = "dpkg-deb -x failed: " + Describe(unpacked);
  }

  static void TearDownTestSuite() {
    delete scratch;
    scratch = nullptr;
  }

  void SetUp() override { ASSERT_EQ(setupFailure, ""); }

  // One control field of the package.
  static std::string Field(const std::string& name) {
    ProcessResult result = Shell("dpkg-deb --field " + Quoted(debPath) + " " + name);
    EXPECT_TRUE(Succeeded(result)) << Describe(result);
    return Chomp(result.out);
  }

  static std::string InRoot(const std::string& path) { return root + path; }
  static std::string ServerPath() {
    return std::string("/usr/") + install_support::kServerDir + "/ombrevard";
  }
  static std::string DocDir() {
    return std::string("/usr/") + install_support::kDataDir + "/doc/ombrevard";
  }
  static std::string UnitPath() {
    std::string dir = install_support::kUnitDir;
    return (dir[0] == '/' ? dir : "/usr/" + dir) + "/ombrevard.service";
  }

  // Owned; made by SetUpTestSuite, removed by TearDownTestSuite.
  static TempTree* scratch;
  static std::string root;          // the package's content, unpacked
  static std::string setupFailure;  // why there is no package to test
  static std::string debName;
  static std::string debPath;
};

TempTree* PackageTest::scratch = nullptr;
std::string PackageTest::root;
std::string PackageTest::setupFailure;
std::string PackageTest::debName;
std::string PackageTest::debPath;

TEST_F(PackageTest, IsNamedForTheProjectVersionAndArchitecture) {
  std::string architecture = OMBREVARD_PACKAGE_ARCHITECTURE;
  if (architecture.empty()) {
    ProcessResult native = Shell("dpkg --print-architecture");
    ASSERT_TRUE(Succeeded(native)) << Describe(native);
    architecture = Chomp(native.out);
  }
  EXPECT_EQ(Field("Package"), "ombrevard");
  EXPECT_EQ(Field("Version"), install_support::kVersion);
  EXPECT_EQ(Field("Architecture"), architecture);
  EXPECT_EQ(debName,
            std::string("ombrevard_") + install_support::kVersion + "_" + architecture + ".deb");
  // The changelog's latest entry is this version's: a new version needs one.
  ProcessResult changelog = Shell("gzip -dc " + Quoted(InRoot(DocDir() + "/changelog.gz")));
  ASSERT_TRUE(Succeeded(changelog)) << Describe(changelog);
  EXPECT_EQ(changelog.out.rfind(std::string("ombrevard (") + install_support::kVersion + ") ", 0),
            0u)
      << changelog.out.substr(0, changelog.out.find('\n'));
}

TEST_F(PackageTest, LintianFindsNoError) {
  // Debian's own checker. Its errors are what the archive would refuse; its
  // warnings and notes are shown in the log, not failed on.
  std::string lintian = install_support::FindProgram("lintian");
  ASSERT_NE(lintian, "") << "lintian is not installed; scripts/setup.sh installs it";
  ProcessOptions options;
  options.argv = {lintian, "--fail-on", "error", "--no-tag-display-limit", debPath};
  options.timeoutMs = 300000;
  ProcessResult result = testing_support::RunProcess(options);
  std::cout << result.out;
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    EXPECT_NE(line.compare(0, 3, "E: "), 0) << line;
  }
  EXPECT_TRUE(Succeeded(result)) << Describe(result);
}

TEST_F(PackageTest, DependsOnTheRuntimeLibraryPackages) {
  // dpkg-deb -I shows the control file with these fields.
  ProcessResult info = Shell("dpkg-deb -I " + Quoted(debPath));
  ASSERT_TRUE(Succeeded(info)) << Describe(info);
  EXPECT_NE(info.out.find(" Depends: "), std::string::npos) << info.out;

  std::vector<std::string> depends = DependedPackages(Field("Depends"));
  std::vector<std::string> needed = {"libwxbase3.2-1", "libdaemon0", "libtinyxml2.6.2v5", "libc6"};
  if (OMBREVARD_LINKS_TCMALLOC) needed.push_back("libtcmalloc-minimal4");
  for (const std::string& package : needed) {
    EXPECT_NE(std::find(depends.begin(), depends.end(), package), depends.end())
        << package << " missing from Depends: " << Field("Depends");
  }
  // Build tools and headers are not needed to run the server.
  for (const std::string& package : depends) {
    EXPECT_EQ(package.find("-dev"), std::string::npos) << package;
  }
}

TEST_F(PackageTest, InstallsEverythingUnderUsrOwnedByRoot) {
  ProcessResult listing = Shell("dpkg-deb -c " + Quoted(debPath));
  ASSERT_TRUE(Succeeded(listing)) << Describe(listing);
  std::istringstream lines(listing.out);
  std::string line;
  std::vector<std::string> paths;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string mode, owner, size, date, time, path;
    fields >> mode >> owner >> size >> date >> time >> path;
    EXPECT_EQ(owner, "root/root") << line;
    EXPECT_EQ(path.compare(0, 6, "./usr/"), 0) << line;
    paths.push_back(path);
  }
  std::vector<std::string> expected = {
      "." + ServerPath(),
      std::string("./usr/") + install_support::kBinDir + "/ombrevard",
      std::string("./usr/") + install_support::kIncludeDir + "/ombrevard/plugin_api.h",
      std::string("./usr/") + install_support::kDataDir + "/pkgconfig/ombrevard-plugin.pc",
      std::string("./usr/") + install_support::kDataDir +
          "/cmake/OmbrevardPlugin/OmbrevardPluginConfig.cmake",
  };
  if (install_support::kInstallsUnit) expected.push_back("." + UnitPath());
  if (install_support::kInstallsExamples) {
    expected.push_back(std::string("./usr/") + install_support::kServerDir + "/plugins/monitor.so");
  }
  for (const std::string& path : expected) {
    EXPECT_NE(std::find(paths.begin(), paths.end(), path), paths.end()) << path;
  }
  EXPECT_EQ(ListDir(root), std::vector<std::string>{"usr"});
}

TEST_F(PackageTest, UnitStartsTheServerInstalledUnderUsr) {
  if (!install_support::kInstallsUnit) GTEST_SKIP() << "built without the systemd unit";
  std::multimap<std::string, std::string> unit = ReadUnit(InRoot(UnitPath()));
  ASSERT_FALSE(unit.empty()) << "no unit at " << UnitPath();
  EXPECT_EQ(UnitValue(unit, "Service.Type"), "forking");
  EXPECT_EQ(UnitValue(unit, "Service.PIDFile"), "/run/ombrevard.pid");
  EXPECT_EQ(UnitValue(unit, "Service.ExecStart"), ServerPath());
  EXPECT_TRUE(IsExecutable(InRoot(ServerPath())));
}

TEST_F(PackageTest, UnitPassesSystemdVerify) {
  if (!install_support::kInstallsUnit) GTEST_SKIP() << "built without the systemd unit";
  std::string analyze = install_support::FindProgram("systemd-analyze");
  if (analyze.empty()) GTEST_SKIP() << "systemd-analyze is not installed";
  // The server is not at /usr on this machine, and verify checks that
  // ExecStart can be executed: check a copy that starts the unpacked one.
  std::string text = ReadFile(InRoot(UnitPath()));
  std::string execStart = "\nExecStart=" + ServerPath() + "\n";
  size_t at = text.find(execStart);
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, execStart.size(), "\nExecStart=" + InRoot(ServerPath()) + "\n");
  std::string copy = scratch->Root() + "/ombrevard.service";
  std::ofstream(copy) << text;
  ProcessOptions options;
  options.argv = {analyze, "verify", copy};
  // Documentation= names the package's manual page, not one on this machine.
  options.env["MANPATH"] = InRoot(std::string("/usr/") + install_support::kDataDir + "/man");
  options.timeoutMs = 60000;
  ProcessResult result = testing_support::RunProcess(options);
  EXPECT_TRUE(Succeeded(result)) << Describe(result);
  EXPECT_EQ(result.err, "") << "warnings about the unit";
}

TEST_F(PackageTest, SdkFilesNameUsrNotTheStagingFolder) {
  std::map<std::string, std::string> pc = ReadPkgConfig(
      InRoot(std::string("/usr/") + install_support::kDataDir + "/pkgconfig/ombrevard-plugin.pc"));
  EXPECT_EQ(pc["prefix"], "/usr");
  EXPECT_EQ(pc["plugindir"], std::string("${prefix}/") + install_support::kServerDir + "/plugins");
  // cpack stages under the output folder; nothing may remember that.
  ProcessResult leaks = Shell("grep -rl -F " + Quoted(scratch->Root()) + " " + Quoted(root));
  EXPECT_EQ(leaks.out, "") << "files that name the staging folder";
}

TEST_F(PackageTest, UnpackedServerRunsWithTheUnpackedPlugins) {
  if (!install_support::kInstallsExamples) GTEST_SKIP() << "built without the example plug-ins";
  ProcessOptions options;
  options.argv = {InRoot(std::string("/usr/") + install_support::kBinDir + "/ombrevard")};
  options.cwd = scratch->Root();
  ExpectExamplesLoaded(RunForeground(options, scratch->Root()));
}

}  // namespace
