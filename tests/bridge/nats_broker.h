// Broker: one nats-server on 127.0.0.1 for a test or the bridge benchmark,
// started on a free port (or a given one), killed with the object. One
// thread only.
#ifndef TESTS_BRIDGE_NATS_BROKER_H_
#define TESTS_BRIDGE_NATS_BROKER_H_

#include <string>
#include <vector>

#include "tests/host/server_process.h"
#include "tests/support/temp_tree.h"

class Broker {
 public:
  // Where Debian installs it.
  static constexpr const char* kProgram = "/usr/sbin/nats-server";

  Broker() = default;
  ~Broker() { Kill(); }
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // On `port` (0: a free one), with extra arguments; waits until it serves.
  bool Start(const std::vector<std::string>& args = {}, int port = 0);
  // Kills it and starts it again on the same port, with the same arguments.
  bool Restart();
  void Kill();
  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
  std::string Log() const;

 private:
  testing_support::TempTree tree_{testing_support::TempTree::kEmpty};
  HeldServer server_;
  int port_ = -1;
  std::vector<std::string> args_;
};

#endif  // TESTS_BRIDGE_NATS_BROKER_H_
