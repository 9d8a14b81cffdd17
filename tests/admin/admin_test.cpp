// admin.so in the real server, through HTTP and a real browser: the example
// plug-ins, admin.so and a plug-in that holds the delivery thread for 2.5 s
// in one IOCTL broadcast, as an operator would run them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "modules/admin/admin_state.h"
#include "tests/admin/admin_run.h"

namespace {

using testing_support::WaitUntil;

const char kToken[] = "s3cret-Token_1";
const char kSettings[] = "[http]\naddress=127.0.0.1\nport={port}\ntoken=s3cret-Token_1\n";
const std::string kBearer = std::string("Authorization: Bearer ") + kToken + "\r\n";

// The number in `text` right after `label`, or -1.
long long NumberAfter(const std::string& text, const std::string& label) {
  size_t at = text.find(label);
  if (at == std::string::npos) return -1;
  return std::atoll(text.c_str() + at + label.size());
}

// The value of the sample `line` ("name{labels}") in Prometheus text, or -1.
double SampleOf(const std::string& metrics, const std::string& line) {
  size_t at = metrics.find("\n" + line + " ");
  return at == std::string::npos ? -1 : std::atof(metrics.c_str() + at + line.size() + 2);
}

class AdminTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.Installed());
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForLog(
        "admin: dashboard at http://127.0.0.1:" + std::to_string(server.Port()) + "/"))
        << server.Log();
  }
  void TearDown() override {
    if (!stopped) {
      EXPECT_EQ(server.Stop(), 0) << server.Log();
    }
  }
  HttpAnswer Api(const std::string& path) { return Get(server.Port(), path, kBearer); }
  // True once the Core's counters reach the admin plug-in (a server that
  // exports them).
  bool CoreStats() {
    return Api("/api/stats").body.find("\"core_stats\":true") != std::string::npos;
  }

  AdminServer server{kSettings};
  bool stopped = false;
};

TEST_F(AdminTest, MetricsPassPromtoolAndHoldEveryFamily) {
  EXPECT_EQ(Get(server.Port(), "/metrics").status, 401);
  EXPECT_EQ(Get(server.Port(), "/metrics", "Authorization: Bearer s3cret-Token_2\r\n").status, 401);
  EXPECT_EQ(Get(server.Port(), "/metrics?token=s3cret-Token_").status, 401);
  EXPECT_EQ(Get(server.Port(), std::string("/metrics?token=") + kToken).status, 200);
  bool core = CoreStats();
  if (core) {
    // The sleeper's broadcast is the first delivery: once the status
    // document is through, the watchdog has had its turn.
    ASSERT_TRUE(server.WaitForLog("plugin ioctl_sleeper.so has been in IOCTL for "))
        << server.Log();
    EXPECT_TRUE(server.WaitForLog("; delivery is waiting")) << server.Log();
  }
  ASSERT_TRUE(WaitUntil(
      [&] { return Api("/api/status").body.find("monitor.so") != std::string::npos; }, 10000));
  HttpAnswer metrics = Api("/metrics");
  ASSERT_EQ(metrics.status, 200);
  EXPECT_NE(metrics.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
  for (const char* line :
       {"ombrevard_events_posted_total{result=\"ok\"}",
        "ombrevard_events_delivered_total{plugin=\"monitor.so\",entry=\"Write\"}",
        "ombrevard_queue_depth", "ombrevard_payloads_kept{plugin=\"consumer.so\"}",
        "ombrevard_streams_open", "ombrevard_throttling", "ombrevard_memory_bytes",
        "ombrevard_delivery_stalls_total{plugin=\"ioctl_sleeper.so\"}"}) {
    EXPECT_GE(SampleOf(metrics.body, line), 0) << line << "\n" << metrics.body;
  }
  if (core) {
    EXPECT_GE(
        SampleOf(metrics.body, "ombrevard_delivery_stalls_total{plugin=\"ioctl_sleeper.so\"}"), 1);
    EXPECT_GT(SampleOf(metrics.body, "ombrevard_events_posted_total{result=\"ok\"}"), 0);
  } else {
    std::cerr << "the server does not export its counters: stall and post counts not checked\n";
  }
  std::string report;
  int checked = Promtool(metrics.body, &report);
  if (checked < 0) GTEST_SKIP() << "promtool not installed (prometheus)";
  EXPECT_EQ(checked, 1) << report << metrics.body;
}

TEST_F(AdminTest, StatusListsThePluginsAndBadRequestsAreRefused) {
  // The plug-in list may come from the Core's counters before the module
  // status document has been delivered: wait for the document.
  ASSERT_TRUE(WaitUntil(
      [&] { return Api("/api/status").body.find("\"module_status\":\"\\u003c?xml") != std::string::npos; },
      10000));
  std::string status = Api("/api/status").body;
  for (const std::string& file :
       {std::string("\"file\":\"monitor.so\""), std::string("\"file\":\"admin.so\""),
        std::string("\"file\":\"ioctl_sleeper.so\""),
        std::string("\"version\":\"") + OMBREVARD_VERSION + "\""}) {
    EXPECT_NE(status.find(file), std::string::npos) << file << "\n" << status;
  }
  // The producer posts ten frames a second: the figures move.
  long long heard = NumberAfter(Api("/api/stats").body, "\"admin_events_heard\":");
  EXPECT_TRUE(WaitUntil(
      [&] { return NumberAfter(Api("/api/stats").body, "\"admin_events_heard\":") > heard; }));

  int port = server.Port();
  EXPECT_EQ(Get(port, "/nothing/here", kBearer).status, 404);
  EXPECT_EQ(Get(port, "/nothing/here").status, 401);  // nothing is told without the token
  HttpAnswer post = SendRaw(port, "POST /metrics HTTP/1.1\r\nHost: x\r\n" + kBearer +
                                      "Content-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(post.status, 405);
  EXPECT_NE(post.head.find("Allow: GET, HEAD"), std::string::npos) << post.head;
  EXPECT_EQ(SendRaw(port, "DELETE /api/status HTTP/1.1\r\nHost: x\r\n" + kBearer + "\r\n").status,
            405);
  EXPECT_EQ(
      Get(port, "/api/stats", kBearer + "X-Filler: " + std::string(12000, 'a') + "\r\n").status,
      400);
  EXPECT_EQ(Get(port, "/api/stats?pad=" + std::string(10000, 'b'), kBearer).status, 400);
  EXPECT_EQ(SendRaw(port, "GET /api/stats HTTP/1.1\r\nHost: x\r\n" + kBearer +
                              "Content-Length: 5\r\n\r\nhello")
                .status,
            400);
  EXPECT_EQ(SendRaw(port, "GET /api/stats HTTP/1.1\r\nHost: x\r\nNo colon here\r\n\r\n").status,
            400);
  EXPECT_EQ(SendRaw(port, "GET /api/stats HTTX/9\r\nHost: x\r\n\r\n").status, 400);
  EXPECT_EQ(SendRaw(port, "GET /api/stats HTTP/1.1\r\n" + kBearer + "\r\n").status,
            400);  // no Host
  // Still serving after all that.
  EXPECT_EQ(Api("/api/status").status, 200);
}

TEST_F(AdminTest, EventsStreamTheLiveTail) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(server.Port());
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  std::string request = std::string("GET /api/events?token=") + kToken +
                        " HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n";
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string text;
  EXPECT_TRUE(WaitUntil(
      [&] {
        char buffer[4096];
        ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (got > 0) text.append(buffer, static_cast<size_t>(got));
        return text.find("\"source\":\"producer.so\"") != std::string::npos;
      },
      10000))
      << text;
  EXPECT_NE(text.find("Content-Type: text/event-stream"), std::string::npos) << text;
  EXPECT_NE(text.find("event: event\nid: "), std::string::npos) << text;
  // The server stops while the reader still follows.
  EXPECT_EQ(server.Stop(), 0) << server.Log();
  stopped = true;
  close(fd);
}

TEST_F(AdminTest, DashboardShowsThePluginsAndMovesInABrowser) {
  if (!HaveBrowser()) GTEST_SKIP() << "chromium or chromium-driver not installed";
  ASSERT_TRUE(WaitUntil(
      [&] { return Api("/api/status").body.find("monitor.so") != std::string::npos; }, 10000));
  std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
  BrowserRun refused = DumpDom(url, server.Root() + "/dump");
  ASSERT_TRUE(refused.ran) << refused.error;
  EXPECT_EQ(refused.dom.find("monitor.so"), std::string::npos) << refused.dom;
  EXPECT_NE(refused.dom.find("401 Unauthorized"), std::string::npos) << refused.dom;
  url += std::string("?token=") + kToken;
  BrowserRun dumped = DumpDom(url, server.Root() + "/dump");
  ASSERT_TRUE(dumped.ran) << dumped.error;
  EXPECT_NE(dumped.dom.find("<td>monitor.so</td>"), std::string::npos) << dumped.dom;

  Browser browser;
  ASSERT_TRUE(browser.Start(server.Root() + "/browser")) << browser.Error();
  ASSERT_TRUE(browser.Open(url));
  auto delivered = [&] {
    return std::atoll(browser.Text("return $('delivered').textContent").c_str());
  };
  long long first = 0;
  ASSERT_TRUE(WaitUntil([&] { return (first = delivered()) > 0; }, 10000));
  // Ten frames a second: a few seconds of charts for the picture below.
  EXPECT_TRUE(WaitUntil([&] { return delivered() > first + 30; }, 15000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return browser.Text("return $('tail').textContent").find("producer.so") !=
               std::string::npos;
      },
      10000));
  std::string table = browser.Text("return $('plugins').textContent");
  for (const char* file : {"monitor.so", "producer.so", "admin.so", "ioctl_sleeper.so"})
    EXPECT_NE(table.find(file), std::string::npos) << file << " not in " << table;
  EXPECT_EQ(browser.Console(), "[]");
  // A picture for people to look at, in the build folder.
  EXPECT_TRUE(browser.Screenshot(std::string(OMBREVARD_BUILD_DIR) + "/admin_dashboard.png"));
}

TEST(AdminPortTest, AnAddressInUseIsReportedAndTheServerRunsOn) {
  AdminServer server(kSettings);
  ASSERT_TRUE(server.Installed());
  int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(server.Port());
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(server.WaitForLog("admin: error: cannot listen on 127.0.0.1:" +
                                std::to_string(server.Port()) + ": Address already in use"))
      << server.Log();
  EXPECT_TRUE(server.WaitForLog("producer: frame 10 posted")) << server.Log();
  EXPECT_EQ(server.Stop(), 0) << server.Log();
  close(taken);
}

#ifdef OMBREVARD_MEDIA_PLUGINS
TEST(AdminMediaTest, MetricsCarryFramesAndBitsPerStreamAndThePreviewIsLive) {
  AdminServer server(std::string(kSettings) + "preview=pattern\n");
  ASSERT_TRUE(server.AddPlugin("gst_source",
                               "[source test]\nlive=true\npipeline=videotestsrc is-live=true ! "
                               "video/x-raw,width=160,height=120,framerate=30/1\n"
                               "[source pattern]\nlive=true\npipeline=videotestsrc is-live=true ! "
                               "video/x-raw,width=160,height=120,framerate=10/1 ! jpegenc\n"));
  ASSERT_TRUE(server.AddPlugin("gst_sink", "[output view]\nsource=test\npipeline=fakesink\n"));
  ASSERT_TRUE(server.Installed());
  ASSERT_TRUE(server.Start());
  HttpAnswer metrics;
  for (const char* line : {"ombrevard_media_source_frames_per_second{source=\"test\",stream=",
                           "ombrevard_media_sink_bitrate{output=\"view\",stream="}) {
    EXPECT_TRUE(WaitUntil(
        [&] {
          metrics = Get(server.Port(), "/metrics", kBearer);
          size_t at = metrics.body.find(line);
          return at != std::string::npos &&
                 std::atof(metrics.body.c_str() + metrics.body.find(' ', at)) > 0;
        },
        20000))
        << line << "\n"
        << metrics.body << server.Log();
  }
  // Streams run: a live picture too. The page offers it, /preview sends JPEG frames.
  EXPECT_NE(Get(server.Port(), "/", kBearer).body.find("<img id=\"preview\""), std::string::npos);
  HttpAnswer preview =
      SendRaw(server.Port(), "GET /preview HTTP/1.1\r\nHost: x\r\n" + kBearer + "\r\n", 3000);
  EXPECT_NE(preview.head.find("multipart/x-mixed-replace; boundary=frame"), std::string::npos)
      << preview.head << server.Log();
  EXPECT_NE(preview.body.find("--frame\r\nContent-Type: image/jpeg\r\nContent-Length: "),
            std::string::npos);
  EXPECT_NE(preview.body.find("\r\n\r\n\xFF\xD8\xFF"), std::string::npos);  // a JPEG's start
  if (HaveBrowser()) {
    // And a browser shows it.
    Browser browser;
    ASSERT_TRUE(browser.Start(server.Root() + "/browser")) << browser.Error();
    ASSERT_TRUE(
        browser.Open("http://127.0.0.1:" + std::to_string(server.Port()) + "/?token=" + kToken));
    EXPECT_TRUE(WaitUntil(
        [&] { return browser.Text("return String($('preview').naturalWidth)") == "160"; }, 15000));
    EXPECT_EQ(browser.Console(), "[]");
    EXPECT_TRUE(
        browser.Screenshot(std::string(OMBREVARD_BUILD_DIR) + "/admin_dashboard_preview.png"));
  }
  std::string report;
  EXPECT_NE(Promtool(metrics.body, &report), 0) << report << metrics.body;
  EXPECT_EQ(server.Stop(), 0) << server.Log();
}
#endif

TEST(AdminStateTest, ATailReaderAWholeRingBehindIsDropped) {
  admin::AdminState state;
  state.Reset();
  uint64_t slow = state.TailStart(0);
  uint64_t fast = slow;
  std::vector<admin::TailEntry> entries;
  for (size_t i = 0; i < admin::AdminState::kTailSize; i++) state.Notice(1, "n", 1);
  ASSERT_EQ(state.Follow(&fast, &entries, 0), admin::AdminState::Wait::kEntries);
  EXPECT_EQ(entries.size(), admin::AdminState::kTailSize);
  state.Notice(1, "one more", 8);
  EXPECT_EQ(state.Follow(&slow, &entries, 0), admin::AdminState::Wait::kLapped);
  EXPECT_EQ(state.Follow(&fast, &entries, 0), admin::AdminState::Wait::kEntries);
  EXPECT_EQ(state.Follow(&fast, &entries, 0), admin::AdminState::Wait::kTimedOut);
  state.Stop();
  EXPECT_EQ(state.Follow(&fast, &entries, 1000), admin::AdminState::Wait::kStopped);
}

}  // namespace
