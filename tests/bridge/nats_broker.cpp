#include "tests/bridge/nats_broker.h"

#include <signal.h>

#include "tests/media/media_run.h"

bool Broker::Start(const std::vector<std::string>& args, int port) {
  // A free port may be taken by someone else before the broker binds it:
  // then another one, a few times.
  for (int attempt = 0; attempt < (port != 0 ? 1 : 3); attempt++) {
    port_ = port != 0 ? port : FreePort();
    args_ = args;
    LaunchOptions options;
    options.argv = {kProgram, "-a", "127.0.0.1", "-p", std::to_string(port_)};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    if (port_ > 0 && server_.Start(options, tree_.Root()) &&
        testing_support::WaitUntil(
            [&] { return Log().find("Server is ready") != std::string::npos; }, 10000)) {
      return true;
    }
    Kill();
  }
  return false;
}

bool Broker::Restart() {
  Kill();
  return Start(args_, port_);
}

void Broker::Kill() {
  if (server_.Pid() > 0) kill(server_.Pid(), SIGKILL);
  server_.CloseInput();
  (void)server_.WaitForExit(10000, nullptr);
}

std::string Broker::Log() const { return testing_support::ReadFile(tree_.Root() + "/held.err"); }
