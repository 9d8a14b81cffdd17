// SyslogSocket: a datagram socket that stands in for the system logger.
//
// Tests bind one in their scratch folder and point a private /dev/log at it
// (see private_namespace.h); every record that syslog() sends then arrives
// here as one datagram "<PRI>Mmm dd hh:mm:ss ident[pid]: text", which the
// socket parses into a SyslogRecord. One thread only: the test's.
#ifndef TESTS_HOST_SYSLOG_SOCKET_H_
#define TESTS_HOST_SYSLOG_SOCKET_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct SyslogRecord {
  int priority = -1;  // the <PRI> number: facility * 8 + severity
  std::string ident;  // what precedes "[pid]: " (or ": ")
  pid_t pid = 0;      // 0 when the record carries no process id
  std::string text;   // everything after ": ", byte for byte
  std::string raw;    // the whole datagram
};

// Splits one datagram; false when it is not in the logger's format.
bool ParseSyslogRecord(const std::string& datagram, SyslogRecord* record);

class SyslogSocket {
 public:
  // Binds a datagram socket at `path`; Ok() tells whether that worked.
  explicit SyslogSocket(const std::string& path);
  ~SyslogSocket();
  SyslogSocket(const SyslogSocket&) = delete;
  SyslogSocket& operator=(const SyslogSocket&) = delete;

  bool Ok() const { return fd >= 0; }
  const std::string& Path() const { return path; }
  // The descriptor, for polling it together with other descriptors.
  int Fd() const { return fd; }

  // Takes in every datagram that is waiting, after waiting at most
  // `milliseconds` (not scaled) for the first one.
  void Receive(int milliseconds);
  // Waits until a record for which `match` holds has arrived, at most
  // `milliseconds` (scaled). The record is copied to `found` when non-null.
  bool WaitFor(const std::function<bool(const SyslogRecord&)>& match, int milliseconds,
               SyslogRecord* found = nullptr);
  // Records with exactly this text, in arrival order.
  std::vector<SyslogRecord> WithText(const std::string& text) const;

  const std::vector<SyslogRecord>& Records() const { return records; }
  // Every datagram received, one a line, for failure messages.
  std::string Dump() const;

 private:
  int fd;
  std::string path;
  std::vector<SyslogRecord> records;
};

#endif  // TESTS_HOST_SYSLOG_SOCKET_H_
