// HttpServer: the admin plug-in's HTTP side, on libmicrohttpd, one thread per
// connection (at most kMostConnections, of which kMostTailReaders follow the
// live tail).
//
//   GET /metrics       Prometheus text (metrics_text.h)
//   GET /api/status    version, uptime, plug-ins, the module status document
//   GET /api/stats     every counter
//   GET /api/events    Server-Sent Events: text notices and sampled events
//   GET /preview       MJPEG of the preview source, when one is set (preview.h)
//   GET /              the dashboard page
//
// With a token set, every request needs it, as "Authorization: Bearer
// <token>" or a `token` query parameter; it is compared in constant time.
// Answers: 401 without the right token, 404 for any other path, 405 for a
// method other than GET or HEAD, 400 for a request with a body or longer
// than kLargestRequest in its line and headers, or an HTTP/1.1 request
// without Host (libmicrohttpd itself answers 400 to malformed header lines,
// lengths and versions, 414 or 431 to a request past its buffer, and closes
// the connection on a request line it cannot read). None of these reaches the
// Core.
#ifndef MODULES_ADMIN_HTTP_SERVER_H_
#define MODULES_ADMIN_HTTP_SERVER_H_

#include <string>

#include "modules/admin/admin_state.h"
#include "modules/admin/metrics_text.h"
#include "modules/admin/preview.h"
#include "modules/common/plugin_log.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace admin {

class HttpServer {
 public:
  static constexpr unsigned kMostConnections = 64;
  static constexpr size_t kMostTailReaders = 16;  // and as many preview viewers
  static constexpr size_t kLargestRequest = 8 * 1024;

  HttpServer(AdminState* state, Preview* preview, const plugin_common::PluginLog& log)
      : state_(state), preview_(preview), metrics_(log) {}
  ~HttpServer() { Stop(); }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Listens on `address` (numeric, IPv4 or IPv6) and `port`; false with
  // `why` when it cannot. Main thread.
  bool Start(const std::string& address, int port, const std::string& token, std::string* why);
  // Ends every connection, the live tail's too, and waits for their threads.
  // Main thread; safe to call twice.
  void Stop();
  // "http://127.0.0.1:8090/" once started.
  const std::string& Url() const { return url_; }

  // libmicrohttpd's threads.
  int Answer(MHD_Connection* connection, const char* url, const char* method, const char* version);

 private:
  bool Authorized(MHD_Connection* connection) const;

  AdminState* state_;
  Preview* preview_;
  MetricsText metrics_;
  MHD_Daemon* daemon_ = nullptr;
  std::string token_;  // fixed while the daemon runs
  std::string url_;
};

}  // namespace admin

#endif  // MODULES_ADMIN_HTTP_SERVER_H_
