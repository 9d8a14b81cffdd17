// Helpers for the admin plug-in's tests: the built server with the example
// plug-ins and admin.so in a scratch tree, plain HTTP requests to it, and the
// system's Chromium, headless.
#ifndef TESTS_ADMIN_ADMIN_RUN_H_
#define TESTS_ADMIN_ADMIN_RUN_H_

#include <netinet/in.h>

#include <string>
#include <vector>

#include "tests/host/server_process.h"
#include "tests/support/test_support.h"

// 127.0.0.1:`port`.
sockaddr_in LoopbackAddress(int port);

struct HttpAnswer {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;
};

// Sends `request` as it is to 127.0.0.1:`port` and reads the answer: until
// the server closes the connection, the body is as long as Content-Length
// says, or `milliseconds` (scaled) pass.
HttpAnswer SendRaw(int port, const std::string& request, int milliseconds = 10000);
// GET `path` with extra header lines ("Name: value\r\n" each).
HttpAnswer Get(int port, const std::string& path, const std::string& headers = "");

class AdminServer {
 public:
  // The example plug-ins, admin.so, the ioctl_sleeper test plug-in and
  // admin.conf with `settings` ("{port}" becomes Port()).
  explicit AdminServer(const std::string& settings);
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  bool Installed() const { return installed_; }
  // Adds a plug-in of the build's plug-in folder ("gst_source"), with
  // `settings` as its .conf file.
  bool AddPlugin(const std::string& name, const std::string& settings);
  int Port() const { return port_; }
  bool Start();
  // Waits (scaled) until the server's standard error holds `text`.
  bool WaitForLog(const std::string& text, int milliseconds = 20000);
  // Ends the server's input; its exit status, or -1.
  int Stop();
  std::string Log() const;
  const std::string& Root() const { return tree_.Root(); }

 private:
  testing_support::TempTree tree_;
  int port_;
  bool installed_ = false;
  HeldServer server_;
};

// Runs `promtool check metrics` on `text`: 1 when it passes, 0 when it
// fails (its report in `report`), -1 when promtool is not installed.
int Promtool(const std::string& text, std::string* report);

// Chromium, headless, asked for `url` once: the DOM as it stands when the
// page has loaded (`chromium --headless --dump-dom`, as an operator would check).
struct BrowserRun {
  bool ran = false;
  std::string dom;
  std::string error;  // Chromium's standard error, for failure messages
};
BrowserRun DumpDom(const std::string& url, const std::string& profile);

// Chromium, headless, driven through chromedriver (WebDriver), for what a
// person does with the page: look at it for a while, read its console.
class Browser {
 public:
  Browser() = default;
  ~Browser();  // ends the session and chromedriver
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Starts chromedriver and a session whose files go in `dir`; false (with
  // Error()) when it cannot.
  bool Start(const std::string& dir);
  bool Open(const std::string& url);
  // Runs `script` (a function body that returns a string) in the page; its
  // result, or "" on failure.
  std::string Text(const std::string& script);
  // The console messages the page has logged since the last call, as
  // WebDriver's JSON array ("[]" for none).
  std::string Console();
  bool Screenshot(const std::string& path);
  const std::string& Error() const { return error_; }

 private:
  HttpAnswer Call(const std::string& method, const std::string& path, const std::string& json);

  int port_ = -1;
  std::string session_;
  std::string error_;
  HeldServer driver_;
};

// Whether the browser and its driver are installed.
bool HaveBrowser();

#endif  // TESTS_ADMIN_ADMIN_RUN_H_
