// Helpers for the tests of the installed server, the plug-in SDK and the
// Debian package: scratch folders, installing this build tree into one,
// running tools and the installed server as processes with deadlines, and
// reading what was installed. One thread only: the test's.
#ifndef TESTS_INSTALL_INSTALL_SUPPORT_H_
#define TESTS_INSTALL_INSTALL_SUPPORT_H_

#include <map>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace install_support {

using testing_support::ProcessOptions;
using testing_support::ProcessResult;

// The installed layout, relative to the prefix, as this build installs it.
extern const char kBinDir[];      // the launcher: <bin>/ombrevard
extern const char kServerDir[];   // the server and its plugins folder
extern const char kIncludeDir[];  // plugin_api.h is in <include>/ombrevard
extern const char kDataDir[];     // pkgconfig/ and cmake/OmbrevardPlugin/ below it
extern const char kUnitDir[];     // the systemd unit; relative or absolute
extern const bool kInstallsUnit;
extern const bool kInstallsExamples;
extern const bool kInstallsMedia;
extern const bool kInstallsNats;
extern const char kVersion[];
extern const char kConfiguredPrefix[];
extern const char kInstallTestDir[];  // tests/install in the source tree
extern const char kSourceDir[];

// `text` in single quotes for /bin/sh.
std::string Quoted(const std::string& text);

// Runs `commandLine` with /bin/sh, with `env` added to the environment.
ProcessResult Shell(const std::string& commandLine,
                    const std::map<std::string, std::string>& env = {}, int timeoutMs = 120000);

// `text` without trailing newlines and spaces (a tool's one line of output).
std::string Chomp(std::string text);

// What a process did, for failure messages.
std::string Describe(const ProcessResult& result);
bool Succeeded(const ProcessResult& result);

// Installs this build tree: `cmake --install <build> --prefix <prefix>`, or,
// with `destdir`, DESTDIR=<destdir> and the configured prefix.
ProcessResult InstallBuild(const std::string& prefix);
ProcessResult InstallBuildStaged(const std::string& destdir);

// The path of `name` along PATH, or "" when it is not there.
std::string FindProgram(const std::string& name);

// Runs an installed server in the foreground (-d is added to `options.argv`)
// with standard input at end of file, so that it starts its Core and stops it
// again; HOME is `home`, which holds the server's lock file.
ProcessResult RunForeground(ProcessOptions options, const std::string& home);

// Checks a foreground run: exited 0, and the example monitor printed the
// module status document naming every example plug-in, which it only gets
// when the Core loaded it from the plug-in folder beside the server.
void ExpectExamplesLoaded(const ProcessResult& result);

// The plug-in built outside the tree: its source, and the file its
// module status documents go to (OMBREVARD_STATUS_FILE).
std::string StatusPluginSource();
extern const char kStatusFileVariable[];

bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);  // not a link
bool IsExecutable(const std::string& path);
bool IsSymlink(const std::string& path);
std::string RealPath(const std::string& path);

// The settings of a systemd unit file as "Section.Key" -> values in order;
// comments and blank lines are skipped, and lines that are no setting are
// kept under "<malformed>".
std::multimap<std::string, std::string> ReadUnit(const std::string& path);
// The one value of `key`, or "<missing>" / "<repeated>".
std::string UnitValue(const std::multimap<std::string, std::string>& unit, const std::string& key);

// The "name=value" variables and "Name: value" fields of a pkg-config file.
std::map<std::string, std::string> ReadPkgConfig(const std::string& path);

}  // namespace install_support

#endif  // TESTS_INSTALL_INSTALL_SUPPORT_H_
