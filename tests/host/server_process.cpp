#include "tests/host/server_process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char** environ;

using testing_support::ProcessResult;
using testing_support::Scaled;
using testing_support::TempTree;

namespace {

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::vector<char*> Pointers(std::vector<std::string>* strings) {
  std::vector<char*> pointers;
  for (std::string& s : *strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

void CloseIfOpen(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Appends whatever can be read from `fd` now, without waiting.
void Drain(int fd, std::string* into) {
  if (fd < 0) return;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) return;
    into->append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

bool InstallServer(const TempTree& tree) { return InstallServerAt(tree.BinDir()); }

bool InstallServerAt(const std::string& directory) {
  (void)mkdir(directory.c_str(), 0755);
  (void)mkdir((directory + "/plugins").c_str(), 0755);
  std::string target = directory + "/ombrevard";
  std::ifstream in(testing_support::ServerBinary(), std::ios::binary);
  std::ofstream copy(target, std::ios::binary);
  copy << in.rdbuf();
  copy.close();
  return in.good() && copy.good() && chmod(target.c_str(), 0755) == 0;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

std::vector<TraceLine> ReadTrace(const std::string& path) {
  std::vector<TraceLine> trace;
  std::istringstream lines(testing_support::ReadFile(path));
  std::string line;
  while (std::getline(lines, line)) {
    TraceLine entry;
    size_t first = line.find(' ');
    entry.entry = line.substr(0, first);
    if (first != std::string::npos) {
      size_t second = line.find(' ', first + 1);
      entry.pid = static_cast<pid_t>(atol(line.substr(first + 1, second).c_str()));
      if (second != std::string::npos) entry.cwd = line.substr(second + 1);
    }
    trace.push_back(entry);
  }
  return trace;
}

std::vector<std::string> TraceOf(const std::vector<TraceLine>& trace, pid_t pid) {
  std::vector<std::string> entries;
  for (const TraceLine& line : trace) {
    if (line.pid == pid) entries.push_back(line.entry);
  }
  return entries;
}

bool WaitForChildExit(pid_t child, int milliseconds, int* status) {
  long long deadline = NowMs() + Scaled(milliseconds);
  for (;;) {
    int got = 0;
    pid_t done = waitpid(child, &got, WNOHANG);
    if (done == child) {
      if (status != nullptr) *status = got;
      return true;
    }
    if (done < 0 && errno != EINTR) return false;  // not ours, or already reaped
    if (NowMs() >= deadline) return false;
    usleep(1000);
  }
}

void StopChild(pid_t child) {
  if (child <= 0) return;
  if (kill(child, SIGTERM) != 0) {
    (void)waitpid(child, nullptr, WNOHANG);  // gone already; reap it if it is ours
    return;
  }
  if (WaitForChildExit(child, 10000)) return;
  kill(child, SIGKILL);
  (void)waitpid(child, nullptr, 0);
}

// A server for another architecture runs inside a user-mode emulator,
// which the system starts with the server's path as its first argument.
static bool RunsUnderEmulator(const std::string& base, const char* exe,
                              const std::string& executable) {
  if (strstr(exe, "qemu-") == nullptr) return false;
  std::string cmdline = testing_support::ReadFile(base + "/cmdline");
  size_t first = cmdline.find('\0');
  if (first == std::string::npos) return false;
  std::string argument = cmdline.substr(first + 1);
  argument = argument.substr(0, argument.find('\0'));
  return RealPath(argument) == executable;
}

std::vector<pid_t> ChildrenRunning(const std::string& executable) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string base = std::string("/proc/") + entry->d_name;
    std::string stat = testing_support::ReadFile(base + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    // After the name: " S ppid ..."
    long parent = 0;
    if (sscanf(stat.c_str() + close + 1, " %*c %ld", &parent) != 1) continue;
    if (parent != getpid()) continue;
    char target[PATH_MAX];
    ssize_t n = readlink((base + "/exe").c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (executable == target || RunsUnderEmulator(base, target, executable)) {
      children.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
  return children;
}

std::string ProcStatusField(pid_t pid, const std::string& field) {
  std::istringstream lines(testing_support::ReadFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, field.size() + 1, field + ":") != 0) continue;
    size_t value = line.find_first_not_of(" \t", field.size() + 1);
    return value == std::string::npos ? std::string() : line.substr(value);
  }
  return std::string();
}

std::vector<std::string> BuildEnvironment(const LaunchOptions& options) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; entry++) {
    std::string text = *entry;
    size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& entry : options.env) variables[entry.first] = entry.second;
  for (const std::string& name : options.unsetEnv) variables.erase(name);
  std::vector<std::string> environment;
  for (const auto& entry : variables) environment.push_back(entry.first + "=" + entry.second);
  return environment;
}

HeldServer::~HeldServer() {
  CloseIfOpen(&input);
  if (pid > 0 && !WaitForChildExit(pid, 5000)) StopChild(pid);
}

void AddGLibOptions(LaunchOptions* options) {
  const char* asan = getenv("ASAN_OPTIONS");
  options->env["ASAN_OPTIONS"] =
      std::string(asan != nullptr ? asan : "") + ":fast_unwind_on_malloc=0";
  options->env["LSAN_OPTIONS"] = std::string("suppressions=") + OMBREVARD_LSAN_SUPPRESSIONS;
  options->env["G_SLICE"] = "always-malloc";
}

bool HeldServer::Start(const LaunchOptions& options, const std::string& logDir) {
  std::vector<std::string> argv = options.argv;
  std::vector<std::string> environment = BuildEnvironment(options);
  std::string program = options.program.empty() ? argv[0] : options.program;
  std::string outPath = logDir + "/held.out";
  std::string errPath = logDir + "/held.err";
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (outFd < 0 || errFd < 0) _exit(126);
    dup2(pipeFds[0], 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args = Pointers(&argv);
    std::vector<char*> env = Pointers(&environment);
    execve(program.c_str(), args.data(), env.data());
    _exit(127);
  }
  close(pipeFds[0]);
  input = pipeFds[1];
  return true;
}

void HeldServer::CloseInput() { CloseIfOpen(&input); }

bool HeldServer::WaitForExit(int milliseconds, int* status) {
  if (pid <= 0) return false;
  if (!WaitForChildExit(pid, milliseconds, status)) return false;
  pid = -1;
  return true;
}

PrivateLaunch::~PrivateLaunch() {
  Release();
  CloseIfOpen(&out);
  CloseIfOpen(&err);
}

bool PrivateLaunch::Start(const LaunchOptions& options, const PrivateNamespace& space) {
  std::vector<std::string> argv = options.argv;
  std::vector<std::string> environment = BuildEnvironment(options);
  std::string program = options.program.empty() ? argv[0] : options.program;
  int reportPipe[2], releasePipe[2], outPipe[2], errPipe[2];
  if (pipe2(reportPipe, O_CLOEXEC) != 0 || pipe2(releasePipe, O_CLOEXEC) != 0 ||
      pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    return false;
  }
  holder = fork();
  if (holder < 0) return false;
  if (holder == 0) {
    close(reportPipe[0]);
    close(releasePipe[1]);
    close(outPipe[0]);
    close(errPipe[0]);
    int step = EnterPrivateNamespace(space);
    if (step != 0) {
      int word = -step;
      (void)!write(reportPipe[1], &word, sizeof(word));
      _exit(1);
    }
    pid_t child = fork();
    if (child == 0) {
      int nothing = open("/dev/null", O_RDONLY);
      if (nothing < 0) _exit(126);
      dup2(nothing, 0);
      dup2(outPipe[1], 1);
      dup2(errPipe[1], 2);
      if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
      std::vector<char*> args = Pointers(&argv);
      std::vector<char*> env = Pointers(&environment);
      execve(program.c_str(), args.data(), env.data());
      _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    int word = static_cast<int>(child);
    (void)!write(reportPipe[1], &word, sizeof(word));
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    (void)!write(reportPipe[1], &status, sizeof(status));
    // Stay in the namespace until the test lets go.
    for (;;) {
      char byte;
      ssize_t n = read(releasePipe[0], &byte, 1);
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    _exit(0);
  }
  close(reportPipe[1]);
  close(releasePipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  report = reportPipe[0];
  release = releasePipe[1];
  out = outPipe[0];
  err = errPipe[0];
  fcntl(out, F_SETFL, O_NONBLOCK);
  fcntl(err, F_SETFL, O_NONBLOCK);
  if (!ReadReport(NowMs() + Scaled(10000))) return false;
  if (words[0] < 0) {
    setupError = -words[0];
    return false;
  }
  launched = static_cast<pid_t>(words[0]);
  return true;
}

bool PrivateLaunch::ReadReport(long long deadline) {
  for (;;) {
    long long left = deadline - NowMs();
    if (left <= 0 || report < 0) return false;
    pollfd ready = {report, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
    int word;
    // The holder writes whole words, each in one write, so each read gets one.
    ssize_t n = read(report, &word, sizeof(word));
    if (n == static_cast<ssize_t>(sizeof(word))) {
      words.push_back(word);
      return true;
    }
    if (n == 0) {  // the holder is gone
      CloseIfOpen(&report);
      return false;
    }
  }
}

bool PrivateLaunch::Wait(int milliseconds, ProcessResult* result) {
  long long deadline = NowMs() + Scaled(milliseconds);
  while (words.size() < 2) {
    // Drained while waiting, so that a chatty program cannot block on a
    // full pipe.
    Drain(out, &result->out);
    Drain(err, &result->err);
    long long now = NowMs();
    if (now >= deadline || report < 0) {
      result->timedOut = now >= deadline;
      return false;
    }
    (void)ReadReport(now + 100 < deadline ? now + 100 : deadline);
  }
  // Written before the program exited, so already in the pipes.
  Drain(out, &result->out);
  Drain(err, &result->err);
  int status = words[1];
  result->exited = WIFEXITED(status);
  result->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return true;
}

std::string PrivateLaunch::Inside(const std::string& path) const {
  return "/proc/" + std::to_string(holder) + "/root" + path;
}

void PrivateLaunch::Release() {
  // A program that has not exited yet would keep the holder waiting for it.
  // Until the holder reports the exit it has not reaped the program, so the
  // pid is still the program's.
  if (launched > 0 && words.size() < 2) (void)ReadReport(NowMs() + 1);
  if (launched > 0 && words.size() < 2) kill(launched, SIGKILL);
  launched = -1;
  CloseIfOpen(&release);
  CloseIfOpen(&report);
  if (holder > 0 && !WaitForChildExit(holder, 5000)) StopChild(holder);
  holder = -1;
}
