#include "tests/admin/admin_run.h"

#include <ctype.h>
#include <glib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

using testing_support::ReadFile;
using testing_support::Scaled;

sockaddr_in LoopbackAddress(int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

HttpAnswer SendRaw(int port, const std::string& request, int milliseconds) {
  HttpAnswer answer;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return answer;
  }
  // The server may answer before it has read all of a request it refuses.
  (void)send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string text;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(Scaled(milliseconds));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready = {fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[16384];
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    // Done when the body is as long as the head says (some servers keep the
    // connection open all the same).
    size_t head = text.find("\r\n\r\n");
    if (head == std::string::npos) continue;
    std::string lower = text.substr(0, head);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    size_t length = lower.find("\r\ncontent-length:");
    if (length != std::string::npos &&
        text.size() >= head + 4 + std::strtoul(lower.c_str() + length + 17, nullptr, 10)) {
      break;
    }
  }
  close(fd);
  size_t split = text.find("\r\n\r\n");
  if (text.compare(0, 5, "HTTP/") != 0 || split == std::string::npos) return answer;
  answer.status = std::stoi(text.substr(9, 3));
  answer.head = text.substr(0, split);
  answer.body = text.substr(split + 4);
  return answer;
}

HttpAnswer Get(int port, const std::string& path, const std::string& headers) {
  return SendRaw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                           headers + "\r\n");
}

AdminServer::AdminServer(const std::string& settings) : port_(testing_support::FreePort()) {
  installed_ = InstallServer(tree_);
  for (const char* name : {"monitor.so", "producer.so", "consumer.so", "admin.so"}) {
    installed_ &= !tree_.AddPlugin(std::string(OMBREVARD_PLUGIN_DIR) + "/" + name, name).empty();
  }
  installed_ &=
      !tree_.AddPlugin(testing_support::TestPlugin("ioctl_sleeper"), "ioctl_sleeper.so").empty();
  std::string text = settings;
  for (size_t at = text.find("{port}"); at != std::string::npos; at = text.find("{port}"))
    text.replace(at, 6, std::to_string(port_));
  tree_.WriteFile(tree_.PluginDir() + "/admin.conf", text);
}

bool AdminServer::AddPlugin(const std::string& name, const std::string& settings) {
  tree_.WriteFile(tree_.PluginDir() + "/" + name + ".conf", settings);
  return !tree_.AddPlugin(std::string(OMBREVARD_PLUGIN_DIR) + "/" + name + ".so", name + ".so")
              .empty();
}

bool AdminServer::Start() {
  LaunchOptions options;
  options.argv = {tree_.ExecutablePath(), "-d"};
  options.cwd = tree_.Root();
  options.env["HOME"] = tree_.Root();
  AddGLibOptions(&options);
  return installed_ && server_.Start(options, tree_.Root());
}

bool AdminServer::WaitForLog(const std::string& text, int milliseconds) {
  return testing_support::WaitUntil([&] { return Log().find(text) != std::string::npos; },
                                    milliseconds);
}

int AdminServer::Stop() {
  server_.CloseInput();
  int status = 0;
  if (!server_.WaitForExit(20000, &status)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string AdminServer::Log() const { return ReadFile(tree_.Root() + "/held.err"); }

int Promtool(const std::string& text, std::string* report) {
  if (access("/usr/bin/promtool", X_OK) != 0) return -1;
  testing_support::ProcessOptions promtool;
  promtool.argv = {"/usr/bin/promtool", "check", "metrics"};
  promtool.input = text;
  testing_support::ProcessResult checked = testing_support::RunProcess(promtool);
  *report = checked.out + checked.err;
  return checked.exited && checked.status == 0 ? 1 : 0;
}

bool HaveBrowser() {
  return access("/usr/bin/chromium", X_OK) == 0 && access("/usr/bin/chromedriver", X_OK) == 0;
}

BrowserRun DumpDom(const std::string& url, const std::string& profile) {
  testing_support::ProcessOptions options;
  options.argv = {"/usr/bin/chromium",
                  "--headless",
                  "--no-sandbox",
                  "--disable-gpu",
                  "--no-first-run",
                  "--disable-background-networking",
                  "--user-data-dir=" + profile,
                  "--dump-dom",
                  url};
  options.env["HOME"] = profile;
  options.timeoutMs = 60000;
  testing_support::ProcessResult result = testing_support::RunProcess(options);
  BrowserRun run;
  run.ran = result.exited && result.status == 0;
  run.dom = result.out;
  run.error = result.err;
  return run;
}

namespace {

// The text of the JSON string at `at` (just past its opening quote); only
// the escapes WebDriver's answers here use.
std::string JsonString(const std::string& json, size_t at) {
  std::string text;
  for (; at < json.size() && json[at] != '"'; at++) {
    if (json[at] != '\\' || at + 1 >= json.size()) {
      text += json[at];
      continue;
    }
    char escaped = json[++at];
    text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
  }
  return text;
}

// The value of `"key":"..."` in `json`, or "".
std::string JsonField(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":\"");
  return at == std::string::npos ? "" : JsonString(json, at + key.size() + 4);
}

}  // namespace

Browser::~Browser() {
  if (!session_.empty()) (void)Call("DELETE", "/session/" + session_, "");
}

HttpAnswer Browser::Call(const std::string& method, const std::string& path,
                         const std::string& json) {
  return SendRaw(port_,
                 method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                     "Connection: close\r\nContent-Type: application/json\r\n" +
                     "Content-Length: " + std::to_string(json.size()) + "\r\n\r\n" + json,
                 30000);
}

bool Browser::Start(const std::string& dir) {
  port_ = testing_support::FreePort();
  mkdir(dir.c_str(), 0755);
  LaunchOptions options;
  options.argv = {"/usr/bin/chromedriver", "--port=" + std::to_string(port_)};
  options.env["HOME"] = dir;
  if (!driver_.Start(options, dir)) {
    error_ = "chromedriver did not start";
    return false;
  }
  if (!testing_support::WaitUntil([&] { return Call("GET", "/status", "").status == 200; },
                                  10000)) {
    error_ = "chromedriver did not answer: " + ReadFile(dir + "/held.err");
    return false;
  }
  HttpAnswer created =
      Call("POST", "/session",
           "{\"capabilities\":{\"alwaysMatch\":{\"browserName\":\"chrome\","
           "\"goog:chromeOptions\":{\"binary\":\"/usr/bin/chromium\",\"args\":[\"--headless\","
           "\"--no-sandbox\",\"--disable-gpu\",\"--no-first-run\",\"--window-size=1280,1100\","
           "\"--disable-background-networking\",\"--user-data-dir=" +
               dir +
               "/profile\"]},"
               "\"goog:loggingPrefs\":{\"browser\":\"ALL\"}}}}");
  session_ = JsonField(created.body, "sessionId");
  if (session_.empty()) error_ = "no session: " + created.body;
  return !session_.empty();
}

bool Browser::Open(const std::string& url) {
  return Call("POST", "/session/" + session_ + "/url", "{\"url\":\"" + url + "\"}").status == 200;
}

std::string Browser::Text(const std::string& script) {
  std::string quoted;
  for (char c : script) quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
  HttpAnswer answer = Call("POST", "/session/" + session_ + "/execute/sync",
                           "{\"script\":\"" + quoted + "\",\"args\":[]}");
  return answer.status == 200 ? JsonField(answer.body, "value") : "";
}

std::string Browser::Console() {
  HttpAnswer answer = Call("POST", "/session/" + session_ + "/se/log", "{\"type\":\"browser\"}");
  size_t at = answer.body.find("\"value\":");
  if (answer.status != 200 || at == std::string::npos) return "no log: " + answer.body;
  std::string value = answer.body.substr(at + 8);
  return value.substr(0, value.rfind('}'));
}

bool Browser::Screenshot(const std::string& path) {
  HttpAnswer answer = Call("GET", "/session/" + session_ + "/screenshot", "");
  std::string encoded = JsonField(answer.body, "value");
  if (answer.status != 200 || encoded.empty()) return false;
  gsize length = 0;
  guchar* png = g_base64_decode(encoded.c_str(), &length);
  bool saved = g_file_set_contents(path.c_str(), reinterpret_cast<const gchar*>(png),
                                   static_cast<gssize>(length), nullptr);
  g_free(png);
  return saved;
}
