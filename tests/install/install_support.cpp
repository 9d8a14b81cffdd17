#include "tests/install/install_support.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace install_support {

const char kBinDir[] = OMBREVARD_INSTALL_BINDIR;
const char kServerDir[] = OMBREVARD_INSTALL_SERVERDIR;
const char kIncludeDir[] = OMBREVARD_INSTALL_INCLUDEDIR;
const char kDataDir[] = OMBREVARD_INSTALL_DATADIR;
const char kUnitDir[] = OMBREVARD_SYSTEMD_UNIT_DIR;
const bool kInstallsUnit = OMBREVARD_INSTALLS_UNIT != 0;
const bool kInstallsExamples = OMBREVARD_INSTALLS_EXAMPLES != 0;
const bool kInstallsMedia = OMBREVARD_INSTALLS_MEDIA != 0;
const bool kInstallsNats = OMBREVARD_INSTALLS_NATS != 0;
const char kVersion[] = OMBREVARD_VERSION;
const char kConfiguredPrefix[] = OMBREVARD_CONFIGURED_PREFIX;
const char kInstallTestDir[] = OMBREVARD_INSTALL_TEST_DIR;
const char kSourceDir[] = OMBREVARD_SOURCE_DIR;
const char kStatusFileVariable[] = "OMBREVARD_STATUS_FILE";

namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// The end of a long output, which is where a failing tool says why.
std::string Tail(const std::string& text) {
  const size_t kShown = 4000;
  return text.size() <= kShown ? text : "..." + text.substr(text.size() - kShown);
}

}  // namespace

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

ProcessResult Shell(const std::string& commandLine, const std::map<std::string, std::string>& env,
                    int timeoutMs) {
  ProcessOptions options;
  options.argv = {"/bin/sh", "-c", commandLine};
  options.env = env;
  options.timeoutMs = timeoutMs;
  return testing_support::RunProcess(options);
}

std::string Chomp(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string Describe(const ProcessResult& result) {
  std::ostringstream text;
  if (result.timedOut) {
    text << "timed out";
  } else if (result.exited) {
    text << "exited " << result.status;
  } else {
    text << "ended by signal " << result.signal;
  }
  text << "\n--- standard output:\n"
       << Tail(result.out) << "\n--- standard error:\n"
       << Tail(result.err);
  return text.str();
}

bool Succeeded(const ProcessResult& result) { return result.exited && result.status == 0; }

ProcessResult InstallBuild(const std::string& prefix) {
  ProcessOptions options;
  options.argv = {OMBREVARD_CMAKE_COMMAND, "--install", OMBREVARD_BUILD_DIR, "--prefix", prefix};
  options.unsetEnv = {"DESTDIR"};
  options.timeoutMs = 60000;
  return testing_support::RunProcess(options);
}

ProcessResult InstallBuildStaged(const std::string& destdir) {
  ProcessOptions options;
  options.argv = {OMBREVARD_CMAKE_COMMAND, "--install", OMBREVARD_BUILD_DIR};
  options.env["DESTDIR"] = destdir;
  options.timeoutMs = 60000;
  return testing_support::RunProcess(options);
}

std::string FindProgram(const std::string& name) {
  const char* path = getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    std::string candidate = folder + "/" + name;
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

ProcessResult RunForeground(ProcessOptions options, const std::string& home) {
  options.argv.push_back("-d");
  options.env["HOME"] = home;
  options.input.clear();  // end of file at once: start the Core, then stop it
  options.timeoutMs = 30000;
  return testing_support::RunProcess(options);
}

void ExpectExamplesLoaded(const ProcessResult& result) {
  ASSERT_TRUE(Succeeded(result)) << Describe(result);
  const std::string& err = result.err;
  EXPECT_NE(err.find("monitor: broadcast (IOCTL 2)"), std::string::npos)
      << "the monitor got no status document\n"
      << Describe(result);
  for (const char* plugin : {"monitor.so", "producer.so", "consumer.so"}) {
    EXPECT_NE(err.find(std::string("<Plugin Filename=\"") + plugin + "\" Opened=\"1\""),
              std::string::npos)
        << plugin << " was not loaded\n"
        << Describe(result);
  }
}

std::string StatusPluginSource() { return std::string(kInstallTestDir) + "/status_to_file.c"; }

bool IsDirectory(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsExecutable(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool IsSymlink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::multimap<std::string, std::string> ReadUnit(const std::string& path) {
  std::multimap<std::string, std::string> settings;
  std::ifstream in(path);
  std::string line, section;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      settings.emplace("<malformed>", line);
      continue;
    }
    settings.emplace(section + "." + Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
  }
  return settings;
}

std::string UnitValue(const std::multimap<std::string, std::string>& unit, const std::string& key) {
  switch (unit.count(key)) {
    case 0:
      return "<missing>";
    case 1:
      return unit.find(key)->second;
    default:
      return "<repeated>";
  }
}

std::map<std::string, std::string> ReadPkgConfig(const std::string& path) {
  std::map<std::string, std::string> entries;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t split = line.find_first_of("=:");
    if (split == std::string::npos) continue;
    entries[Trim(line.substr(0, split))] = Trim(line.substr(split + 1));
  }
  return entries;
}

}  // namespace install_support
