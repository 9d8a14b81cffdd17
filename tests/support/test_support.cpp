#include "tests/support/test_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

extern char** environ;

namespace testing_support {

namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int Scaled(int milliseconds) {
  const char* scale = getenv("OMBREVARD_TEST_TIME_SCALE");
  int factor = scale != nullptr ? atoi(scale) : 1;
  if (factor < 1) factor = 1;
  return milliseconds * factor;
}

bool WaitUntil(const std::function<bool()>& condition, int milliseconds) {
  long long deadline = NowMs() + Scaled(milliseconds);
  for (;;) {
    if (condition()) return true;
    if (NowMs() >= deadline) return condition();
    usleep(1000);
  }
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string TestPlugin(const std::string& name) {
  const char* folder = getenv("OMBREVARD_TEST_PLUGIN_DIR");
  return std::string(folder != nullptr ? folder : OMBREVARD_TEST_PLUGIN_DIR) + "/" + name + ".so";
}

std::string ServerBinary() {
  const char* server = getenv("OMBREVARD_TEST_SERVER");
  return server != nullptr ? server : OMBREVARD_BINARY;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

int FreePort() {
  int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = -1;
  if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(probe);
  return port;
}

ProcessResult RunProcess(const ProcessOptions& options) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (!options.mountNamespace.empty()) {
      int space = open(options.mountNamespace.c_str(), O_RDONLY | O_CLOEXEC);
      if (space < 0 || setns(space, CLONE_NEWNS) != 0) _exit(125);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    for (const auto& entry : options.env) setenv(entry.first.c_str(), entry.second.c_str(), 1);
    for (const auto& name : options.unsetEnv) unsetenv(name.c_str());
    std::vector<char*> args;
    for (const auto& arg : options.argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::string program = options.program.empty() ? options.argv[0] : options.program;
    execve(program.c_str(), args.data(), environ);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Small inputs only: written at once, then end of file.
  if (!options.input.empty() && write(in[1], options.input.data(), options.input.size()) < 0) {
    // The child may have gone already; its result tells.
  }
  close(in[1]);

  long long deadline = NowMs() + Scaled(options.timeoutMs);
  bool outOpen = true, errOpen = true;
  int status = 0;
  bool reaped = false;
  while (!reaped) {
    long long left = deadline - NowMs();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      reaped = true;
      break;
    }
    if (outOpen || errOpen) {
      pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
      int ready = poll(fds, 2, static_cast<int>(left < 50 ? left : 50));
      char buffer[4096];
      if (ready > 0) {
        for (int i = 0; i < 2; i++) {
          if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
          ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
          if (n > 0) {
            (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
          } else {
            (i == 0 ? outOpen : errOpen) = false;
          }
        }
      }
    } else {
      usleep(1000);
    }
    if (!outOpen && !errOpen) {
      // Both streams closed: the process (and anything that held them) is done.
      long long waitLeft = deadline - NowMs();
      while (waitLeft > 0) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
          reaped = true;
          break;
        }
        usleep(1000);
        waitLeft = deadline - NowMs();
      }
      if (!reaped) continue;
    } else if (waitpid(pid, &status, WNOHANG) == pid) {
      // Exited, but a descendant may still hold the pipes (a daemon does not:
      // it closes them); collect what is there without blocking.
      reaped = true;
      for (int fd : {out[0], err[0]}) {
        fcntl(fd, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
          (fd == out[0] ? result.out : result.err).append(buffer, static_cast<size_t>(n));
        }
      }
    }
  }
  close(out[0]);
  close(err[0]);
  if (WIFEXITED(status) && !result.timedOut) {
    result.exited = true;
    result.status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace testing_support
