#include "modules/admin/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "modules/admin/api_text.h"
#include "modules/admin/server_view.h"

namespace admin {

extern const char kDashboardPage[];  // dashboard_page.cpp, made from dashboard.html

namespace {

constexpr int kKeepAliveMs = 15000;  // a comment to tail readers after this much silence
constexpr size_t kTailBacklog = 20;  // entries a new tail reader gets from before it came
const char kRowsMark[] = "<!--PLUGIN_ROWS-->";
const char kPreviewMark[] = "<!--PREVIEW-->";
const char kPreviewPart[] =
    "<h2>Preview</h2>\n<img id=\"preview\" alt=\"live preview\" width=\"480\">";

// Hands libmicrohttpd what fits of `pending`.
ssize_t Drain(std::string* pending, char* buffer, size_t most) {
  size_t length = pending->size() < most ? pending->size() : most;
  memcpy(buffer, pending->data(), length);
  pending->erase(0, length);
  return static_cast<ssize_t>(length);
}

// The live tail of one reader, fed to libmicrohttpd as it can send.
struct TailReader {
  AdminState* state;
  uint64_t next;
  std::string pending;  // written, not yet handed to libmicrohttpd
  bool dropped = false;
};

ssize_t ReadTail(void* cls, uint64_t, char* buffer, size_t most) {
  TailReader* reader = static_cast<TailReader*>(cls);
  if (reader->pending.empty()) {
    std::vector<TailEntry> entries;
    switch (reader->state->Follow(&reader->next, &entries, kKeepAliveMs)) {
      case AdminState::Wait::kStopped:
        return MHD_CONTENT_READER_END_OF_STREAM;
      case AdminState::Wait::kLapped:
        reader->dropped = true;  // it fell a whole ring behind: drop it
        return MHD_CONTENT_READER_END_WITH_ERROR;
      case AdminState::Wait::kTimedOut:
        reader->pending = ": still here\n\n";
        break;
      case AdminState::Wait::kEntries: {
        ServerView names = ReadServer(*reader->state);
        for (const TailEntry& entry : entries) reader->pending += TailEvent(entry, names);
        break;
      }
    }
  }
  return Drain(&reader->pending, buffer, most);
}

void EndTail(void* cls) {
  TailReader* reader = static_cast<TailReader*>(cls);
  reader->state->RemoveReader(reader->dropped);
  delete reader;
}

// One viewer of the preview: the latest frame each time, as a part of a
// multipart/x-mixed-replace answer.
struct PreviewViewer {
  Preview* preview;
  AdminState* state;  // counts viewers with the tail readers
  uint64_t seen = 0;
  std::string pending;
};

ssize_t ReadPreview(void* cls, uint64_t, char* buffer, size_t most) {
  PreviewViewer* viewer = static_cast<PreviewViewer*>(cls);
  if (viewer->pending.empty()) {
    std::string jpeg;
    switch (viewer->preview->Next(&viewer->seen, &jpeg, kKeepAliveMs)) {
      case Preview::Frame::kStopped:
      case Preview::Frame::kNone:  // the source stopped sending: end, the page may ask again
        return MHD_CONTENT_READER_END_OF_STREAM;
      case Preview::Frame::kNew:
        viewer->pending = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                          std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg + "\r\n";
        break;
    }
  }
  return Drain(&viewer->pending, buffer, most);
}

void EndPreview(void* cls) {
  PreviewViewer* viewer = static_cast<PreviewViewer*>(cls);
  viewer->state->RemoveReader(false);
  delete viewer;
}

MHD_Result Stream(MHD_Connection* connection, MHD_ContentReaderCallback read, void* context,
                  MHD_ContentReaderFreeCallback end, const char* type) {
  MHD_Response* response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, read, context, end);
  if (response == nullptr) {
    end(context);
    return MHD_NO;
  }
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body,
                 const char* type, const char* allow = nullptr) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  if (status == MHD_HTTP_UNAUTHORIZED)
    MHD_add_response_header(response, "WWW-Authenticate", "Bearer realm=\"ombrevard\"");
  if (allow != nullptr) MHD_add_response_header(response, "Allow", allow);
  if (strcmp(type, "text/html; charset=utf-8") == 0) {
    // The page fetches nothing from anywhere else, and nothing may make it.
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'none'; script-src 'unsafe-inline'; "
                            "style-src 'unsafe-inline'; img-src 'self' data:; "
                            "connect-src 'self'; base-uri 'none'; form-action 'none'");
  }
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result Plain(MHD_Connection* connection, unsigned status, const std::string& text) {
  return Reply(connection, status, text + "\n", "text/plain; charset=utf-8");
}

MHD_Result CountHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  *static_cast<size_t*>(cls) += strlen(key) + (value != nullptr ? strlen(value) : 0) + 4;
  return MHD_YES;
}

// Compares in time that depends only on the lengths of what is given.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char differ = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); i++) {
    differ |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
  }
  return differ == 0;
}

MHD_Result Dispatch(void* cls, MHD_Connection* connection, const char* url, const char* method,
                    const char* version, const char*, size_t*, void**) {
  return static_cast<MHD_Result>(
      static_cast<HttpServer*>(cls)->Answer(connection, url, method, version));
}

}  // namespace

bool HttpServer::Start(const std::string& address, int port, const std::string& token,
                       std::string* why) {
  addrinfo hints = {};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  shown += ":" + std::to_string(port);
  int error = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (error != 0) {
    *why = "cannot listen on " + shown + ": " + gai_strerror(error);
    return false;
  }
  int listener = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  bool listening =
      listener >= 0 && setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0 &&
      bind(listener, found->ai_addr, found->ai_addrlen) == 0 && listen(listener, 32) == 0;
  bool ipv6 = found->ai_family == AF_INET6;
  freeaddrinfo(found);
  if (!listening) {
    *why = "cannot listen on " + shown + ": " + strerror(errno);
    if (listener >= 0) close(listener);
    return false;
  }
  token_ = token;
  unsigned flags =
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | (ipv6 ? MHD_USE_IPv6 : 0);
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Dispatch, this, MHD_OPTION_LISTEN_SOCKET, listener,
      MHD_OPTION_CONNECTION_LIMIT, kMostConnections, MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(2 * kKeepAliveMs / 1000), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(4 * kLargestRequest), MHD_OPTION_END);
  if (daemon_ == nullptr) {
    close(listener);
    *why = "cannot serve on " + shown + ": libmicrohttpd did not start";
    return false;
  }
  url_ = "http://" + shown + "/";
  return true;
}

void HttpServer::Stop() {
  if (daemon_ == nullptr) return;
  state_->Stop();  // tail readers end their streams
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

bool HttpServer::Authorized(MHD_Connection* connection) const {
  if (token_.empty()) return true;
  const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
  if (header != nullptr && strncmp(header, "Bearer ", 7) == 0 && SameSecret(header + 7, token_))
    return true;
  const char* query = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
  return query != nullptr && SameSecret(query, token_);
}

int HttpServer::Answer(MHD_Connection* connection, const char* url, const char* method,
                       const char* version) {
  // Answered on the first call, before any body is read: no request takes one.
  size_t length = strlen(url);
  (void)MHD_get_connection_values(connection, MHD_HEADER_KIND, &CountHeader, &length);
  (void)MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CountHeader, &length);
  const char* bodyLength =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
  bool body = (bodyLength != nullptr && strcmp(bodyLength, "0") != 0) ||
              MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding");
  if (length > kLargestRequest) return Plain(connection, MHD_HTTP_BAD_REQUEST, "request too large");
  if (body) return Plain(connection, MHD_HTTP_BAD_REQUEST, "requests take no body");
  if (strcmp(version, MHD_HTTP_VERSION_1_0) != 0 &&
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host") == nullptr)
    return Plain(connection, MHD_HTTP_BAD_REQUEST, "no Host header");
  if (!Authorized(connection)) {
    return Plain(connection, MHD_HTTP_UNAUTHORIZED,
                 "401 Unauthorized: this server needs its token, as \"Authorization: Bearer "
                 "<token>\" or ?token=<token>");
  }
  std::string path = url;
  if (path != "/" && path != "/metrics" && path != "/api/status" && path != "/api/stats" &&
      path != "/api/events" && (path != "/preview" || !preview_->Enabled())) {
    return Plain(connection, MHD_HTTP_NOT_FOUND, "404 Not Found");
  }
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "405 Method Not Allowed\n",
                 "text/plain; charset=utf-8", "GET, HEAD");

  if (path == "/api/events") {
    if (!state_->AddReader(kMostTailReaders))
      return Plain(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many readers of the tail");
    TailReader* reader =
        new TailReader{state_, state_->TailStart(kTailBacklog), "retry: 2000\n\n", false};
    return Stream(connection, &ReadTail, reader, &EndTail, "text/event-stream");
  }
  if (path == "/preview") {
    if (!state_->AddReader(2 * kMostTailReaders))
      return Plain(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many viewers");
    preview_->Start();
    return Stream(connection, &ReadPreview, new PreviewViewer{preview_, state_, 0, ""}, &EndPreview,
                  "multipart/x-mixed-replace; boundary=frame");
  }
  ServerView view = ReadServer(*state_);
  if (path == "/metrics")
    return Reply(connection, MHD_HTTP_OK, metrics_.Render(view), "text/plain; version=0.0.4");
  if (path == "/api/status")
    return Reply(connection, MHD_HTTP_OK, StatusJson(view), "application/json");
  if (path == "/api/stats")
    return Reply(connection, MHD_HTTP_OK, StatsJson(view), "application/json");
  std::string page = kDashboardPage;
  size_t mark = page.find(kRowsMark);
  if (mark != std::string::npos) page.replace(mark, sizeof(kRowsMark) - 1, PluginRows(view));
  mark = page.find(kPreviewMark);
  if (mark != std::string::npos && preview_->Enabled())
    page.replace(mark, sizeof(kPreviewMark) - 1, kPreviewPart);
  return Reply(connection, MHD_HTTP_OK, page, "text/html; charset=utf-8");
}

}  // namespace admin
