#include "tests/host/syslog_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace {

long long NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool IsDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool ParseSyslogRecord(const std::string& datagram, SyslogRecord* record) {
  record->raw = datagram;
  if (datagram.size() < 3 || datagram[0] != '<') return false;
  size_t close = datagram.find('>');
  if (close == std::string::npos || !IsDigits(datagram.substr(1, close - 1))) return false;
  record->priority = atoi(datagram.substr(1, close - 1).c_str());
  // The time stamp "Mmm dd hh:mm:ss " is always 16 bytes.
  size_t header = close + 1 + 16;
  if (datagram.size() < header || datagram[close + 16] != ' ' || datagram[close + 10] != ':' ||
      datagram[close + 13] != ':') {
    return false;
  }
  size_t colon = datagram.find(": ", header);
  if (colon == std::string::npos) return false;
  std::string tag = datagram.substr(header, colon - header);
  record->text = datagram.substr(colon + 2);
  record->pid = 0;
  size_t open = tag.rfind('[');
  if (!tag.empty() && tag.back() == ']' && open != std::string::npos &&
      IsDigits(tag.substr(open + 1, tag.size() - open - 2))) {
    record->pid = static_cast<pid_t>(atol(tag.substr(open + 1).c_str()));
    tag.resize(open);
  }
  record->ident = tag;
  return true;
}

SyslogSocket::SyslogSocket(const std::string& socketPath) : fd(-1), path(socketPath) {
  sockaddr_un address;
  memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int made = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (made < 0) return;
  unlink(path.c_str());
  if (bind(made, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(made);
    return;
  }
  // Every process in the test may write to it, whatever its umask.
  chmod(path.c_str(), 0666);
  fd = made;
}

SyslogSocket::~SyslogSocket() {
  if (fd >= 0) {
    close(fd);
    unlink(path.c_str());
  }
}

void SyslogSocket::Receive(int milliseconds) {
  if (fd < 0) return;
  pollfd ready = {fd, POLLIN, 0};
  if (poll(&ready, 1, milliseconds) <= 0) return;
  char buffer[8192];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0) return;
    SyslogRecord record;
    if (!ParseSyslogRecord(std::string(buffer, static_cast<size_t>(n)), &record)) {
      record.priority = -1;  // kept, so that Dump shows it
    }
    records.push_back(record);
  }
}

bool SyslogSocket::WaitFor(const std::function<bool(const SyslogRecord&)>& match, int milliseconds,
                           SyslogRecord* found) {
  long long deadline = NowMs() + testing_support::Scaled(milliseconds);
  size_t checked = 0;
  for (;;) {
    for (; checked < records.size(); checked++) {
      if (match(records[checked])) {
        if (found != nullptr) *found = records[checked];
        return true;
      }
    }
    long long left = deadline - NowMs();
    if (left <= 0) return false;
    Receive(static_cast<int>(left < 50 ? left : 50));
  }
}

std::vector<SyslogRecord> SyslogSocket::WithText(const std::string& text) const {
  std::vector<SyslogRecord> matching;
  for (const SyslogRecord& record : records) {
    if (record.text == text) matching.push_back(record);
  }
  return matching;
}

std::string SyslogSocket::Dump() const {
  std::string all;
  for (const SyslogRecord& record : records) all += record.raw + "\n";
  return all.empty() ? "(no syslog records)\n" : all;
}
