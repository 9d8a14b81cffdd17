// nats_bridge.so between servers run as processes, joined by a nats-server
// (or a cluster of three) on the loopback that each test starts and stops:
// a stream recorded across the broker, events both ways without loops, bad
// messages and refused credentials, an outage and a lost cluster node in the
// middle of a live stream.
#include <gtest/gtest.h>
#include <nats/nats.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "modules/nats_bridge/bridge_message.h"
#include "tests/bridge/nats_broker.h"
#include "tests/media/media_run.h"

namespace {

using testing_support::ReadFile;
using testing_support::WaitUntil;

const unsigned long kBridgeId = 0x004E0001ul;

const char kTestPattern[] =
    "videotestsrc num-buffers=150 pattern=ball ! "
    "video/x-raw,width=320,height=240,framerate=30/1 ! openh264enc ! h264parse";
// A camera: live, a keyframe every 10 frames, parameter sets with each.
const char kCamera[] =
    "[source test]\nlive=true\n"
    "pipeline=videotestsrc is-live=true ! video/x-raw,width=160,height=120,framerate=30/1 ! "
    "openh264enc gop-size=10 ! h264parse config-interval=-1\n";
const char kPublished[] =
    "ombrevard_bridge_messages_published_total{direction=\"export\","
    "subject=\"ombrevard.video.test\"}";
const char kRecord[] =
    "[output rec]\nsource=test\npipeline=h264parse ! mp4mux ! filesink location={dir}/rec.mp4\n";

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
  return count;
}

class BridgeProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    if (access(Broker::kProgram, X_OK) != 0) GTEST_SKIP() << "nats-server is not installed";
    static const std::string missing = MissingElements();
    if (!missing.empty()) GTEST_SKIP() << "GStreamer elements not installed:" << missing;
    ASSERT_TRUE(a.Installed() && b.Installed());
  }

  static std::string Nats(const std::string& servers, const std::string& more = "") {
    return "[nats]\nservers=" + servers + "\n" + more;
  }
  static std::string Stop(MediaServer* server) {
    int status = server->Stop();
    return status == 0 ? std::string() : "status " + std::to_string(status) + "\n" + server->Log();
  }
  // B's stream from the bridge: the one stream its watch saw.
  static WatchedStream Received(const MediaServer& server) {
    std::map<std::string, WatchedStream> streams = server.Streams();
    return streams.size() == 1 ? streams.begin()->second : WatchedStream();
  }
  // A live stream from A to B, through the servers listed for each. B joins
  // when A is already sending, and records what it gets.
  void StartCamera(const std::string& aServers, const std::string& bServers) {
    a.Settings(kCamera, "");
    a.AddPlugin("nats_bridge.so",
                Nats(aServers) + "[export test]\nsource=test\nsubject=ombrevard.video.test\n");
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(WaitUntil([&] { return a.Metric(kBridgeId, kPublished) >= 5; }, 20000)) << a.Log();
    b.Settings("",
               "[output rec]\nsource=test\n"
               "pipeline=h264parse ! matroskamux ! filesink location={dir}/rec.mkv\n");
    b.AddPlugin("nats_bridge.so",
                Nats(bServers) + "[import test]\nsubject=ombrevard.video.test\noffer=test\n");
    ASSERT_TRUE(b.Start());
    ASSERT_TRUE(b.WaitForStreams(1, 30)) << a.Log() << b.Log();
    // It started at a keyframe, and was given the caps the exporter sent
    // along with it.
    EXPECT_EQ(Received(b).flags.front() & 0x11u, 0x11u);
  }
  // Both stop cleanly, and B's recording of a stream with losses plays.
  void StopCamera() {
    EXPECT_EQ(Stop(&a), "");
    EXPECT_EQ(Stop(&b), "");
    EXPECT_GE(DecodedFrames(b.Dir() + "/rec.mkv").size(), 60u);
    ExpectResumedAtKeyframes(Received(b));
  }
  // After a loss, B's stream goes on at a keyframe: wherever the source's
  // numbering jumps, the payload there is one.
  static void ExpectResumedAtKeyframes(const WatchedStream& stream) {
    for (size_t i = 1; i < stream.sequences.size(); i++) {
      if (stream.sequences[i] != stream.sequences[i - 1] + 1) {
        EXPECT_NE(stream.flags[i] & 0x01u, 0u) << "payload " << stream.sequences[i];
      }
    }
  }

  MediaServer a;
  MediaServer b;
};

TEST_F(BridgeProcessTest, StreamThroughTheBrokerDecodesToTheFramesOfADirectRecording) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  b.Settings("", kRecord);
  b.AddPlugin("nats_bridge.so",
              Nats(broker.Url()) + "[import test]\nsubject=ombrevard.video.test\noffer=test\n");
  ASSERT_TRUE(b.Start());
  ASSERT_TRUE(b.WaitForLog("nats_bridge: connected to")) << b.Log();
  a.Settings("[source test]\npipeline=" + std::string(kTestPattern) + "\n", "");
  a.AddPlugin("nats_bridge.so",
              Nats(broker.Url()) + "[export test]\nsource=test\nsubject=ombrevard.video.test\n");
  ASSERT_TRUE(a.Start());
  EXPECT_TRUE(b.WaitForLog("output rec: finished")) << a.Log() << b.Log();
  // Both run on without the broker, and stop cleanly.
  broker.Kill();
  EXPECT_EQ(Stop(&a), "");
  EXPECT_EQ(Stop(&b), "");
  std::vector<std::string> direct = DirectFrames(b.Dir(), kTestPattern, "mp4mux", "direct.mp4");
  ASSERT_EQ(direct.size(), 150u);
  EXPECT_EQ(DecodedFrames(b.Dir() + "/rec.mp4"), direct);
  // Every payload crossed, the end included: 150 frames and the end.
  WatchedStream stream = Received(b);
  ASSERT_EQ(stream.sequences.size(), 151u);
  for (size_t i = 0; i < stream.sequences.size(); i++) EXPECT_EQ(stream.sequences[i], i);
}

TEST_F(BridgeProcessTest, EventsCrossBothWaysAndNeverComeBack) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  const std::string events =
      "[export out]\ntype=e50\nsubject=test.events.%s\n"
      "[import in]\nsubject=test.events.%s\n";
  auto settings = [&](const char* out, const char* in) {
    std::string text = events;
    text.replace(text.find("%s"), 2, out);
    text.replace(text.find("%s"), 2, in);
    return Nats(broker.Url()) + text;
  };
  a.AddPlugin("nats_bridge.so", settings("a", "b"));
  b.AddPlugin("nats_bridge.so", settings("b", "a"));
  a.Environment("OMBREVARD_WATCH_POST", "A");
  b.Environment("OMBREVARD_WATCH_POST", "B");
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  auto heard = [](const MediaServer& server, const std::string& from) {
    for (const std::vector<std::string>& line : server.Watched("event")) {
      if (line.size() == 4 && line[1] == "004e0001" && line[3].compare(0, 2, from + "-") == 0) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(WaitUntil([&] { return heard(a, "B") && heard(b, "A"); }, 20000))
      << a.Log() << b.Log();
  // Posted with the sender's flags (mask 3).
  for (const std::vector<std::string>& line : b.Watched("event")) {
    if (line[1] == "004e0001") {
      EXPECT_EQ(line[2], "8");
    }
  }
  EXPECT_TRUE(WaitUntil([&] {
    return a.Metric(kBridgeId,
                    "ombrevard_bridge_messages_received_total{direction=\"import\","
                    "subject=\"test.events.b\"}") > 0;
  }));
  EXPECT_EQ(Stop(&a), "");
  EXPECT_EQ(Stop(&b), "");
  // An imported event is not exported again: none came home.
  EXPECT_FALSE(heard(a, "A"));
  EXPECT_FALSE(heard(b, "B"));
}

TEST_F(BridgeProcessTest, BadMessagesAreDroppedCountedAndLoggedAtMostOnceASecond) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  b.AddPlugin("nats_bridge.so",
              Nats(broker.Url(), "max-message=4096\n") + "[import bad]\nsubject=test.bad\n");
  ASSERT_TRUE(b.Start());
  ASSERT_TRUE(b.WaitForLog("nats_bridge: connected to")) << b.Log();

  natsConnection* nc = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&nc, broker.Url().c_str()), NATS_OK);
  std::unique_ptr<natsConnection, void (*)(natsConnection*)> hold(nc, natsConnection_Destroy);
  auto event = [](const std::string& text) {
    std::vector<uint8_t> message;
    uint8_t extra[bridge::kEventExtraSize] = {0x50, 0x0E, 0, 0, 0x08};  // type e50, flags 8
    bridge::WriteMessage(&message, bridge::Kind::kEvent, 7, 0, extra, sizeof(extra), text.data(),
                         static_cast<uint32_t>(text.size()));
    return message;
  };
  auto publish = [&](const std::vector<uint8_t>& message) {
    return natsConnection_Publish(nc, "test.bad", message.data(),
                                  static_cast<int>(message.size())) == NATS_OK &&
           natsConnection_Flush(nc) == NATS_OK;
  };
  auto heard = [&](const std::string& text) {
    for (const std::vector<std::string>& line : b.Watched("event")) {
      if (line.size() == 4 && line[3] == text) return true;
    }
    return false;
  };
  // Until B's subscription is in place.
  ASSERT_TRUE(WaitUntil([&] { return publish(event("first")) && heard("first"); }, 10000));

  std::vector<std::vector<uint8_t>> bad;
  bad.push_back({'h', 'e', 'l', 'l', 'o'});  // shorter than the envelope
  std::vector<uint8_t> message = event("x");
  message[0] ^= 0xFF;  // magic
  bad.push_back(message);
  message = event("x");
  message[4] = 9;  // version
  bad.push_back(message);
  message = event("x");
  message[16] = 200;  // payload size, past the end
  bad.push_back(message);
  message = event("x");
  message.push_back(0);  // a byte the lengths do not account for
  bad.push_back(message);
  message = event("x");
  message[8] = 1;  // says media, and is not
  bad.push_back(message);
  bad.push_back(event(std::string(5000, 'x')));  // over max-message
  for (int i = 0; i < 20; i++) bad.push_back({0});
  for (const std::vector<uint8_t>& one : bad) ASSERT_TRUE(publish(one));
  ASSERT_TRUE(publish(event("last")));
  ASSERT_TRUE(WaitUntil([&] { return heard("last"); })) << b.Log();
  EXPECT_TRUE(WaitUntil([&] {
    return b.Metric(kBridgeId,
                    "ombrevard_bridge_messages_malformed_total{direction=\"import\","
                    "subject=\"test.bad\"}") == static_cast<long long>(bad.size());
  })) << ReadFile(b.Dir() + "/../watch.metrics.004e0001");
  EXPECT_EQ(Stop(&b), "");
  std::string log = b.Log();
  EXPECT_NE(log.find("dropped a malformed message on test.bad: shorter than the envelope"),
            std::string::npos)
      << log;
  // 26 faults in well under a second or two: a line or two, not 26.
  EXPECT_LE(Count(log, "nats_bridge: warning: import bad:"), 3u) << log;
}

TEST_F(BridgeProcessTest, RefusedCredentialsOrNoBrokerLeaveTheBridgeIdleAndTheServerRunning) {
  Broker broker;
  ASSERT_TRUE(broker.Start({"--user", "camera", "--pass", "secret"}));
  const std::string nowhere = "nats://127.0.0.1:" + std::to_string(FreePort());
  a.AddPlugin("nats_bridge.so",
              Nats(nowhere) + "[export test]\nsource=test\nsubject=ombrevard.video.test\n");
  ASSERT_TRUE(a.Start());
  b.AddPlugin("nats_bridge.so", Nats(broker.Url(), "user=camera\npassword=wrong\n") +
                                    "[import test]\nsubject=ombrevard.video.test\noffer=test\n");
  ASSERT_TRUE(b.Start());
  EXPECT_TRUE(b.WaitForLog("refused the credentials")) << b.Log();
  ASSERT_TRUE(WaitUntil([&] { return !b.StatusDocument().empty(); }));
  EXPECT_NE(b.StatusDocument().find("Filename=\"nats_bridge.so\" Opened=\"1\" OpenCode=\"0\""),
            std::string::npos)
      << b.StatusDocument();
  EXPECT_TRUE(a.WaitForLog("nats_bridge: error: cannot reach the broker at " + nowhere)) << a.Log();
  EXPECT_EQ(Stop(&a), "");
  EXPECT_EQ(Stop(&b), "");
  EXPECT_NE(b.Log().find("nats_bridge: error: the broker at " + broker.Url() +
                         " refused the credentials"),
            std::string::npos)
      << b.Log();
}

TEST_F(BridgeProcessTest, TlsConnectsWithTheGivenAuthority) {
  // A certificate authority and a certificate for 127.0.0.1 signed by it.
  testing_support::ProcessOptions make;
  make.cwd = b.Dir();
  make.argv = {"/bin/sh", "-ec",
               "key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'\n"
               "openssl req -x509 $key -keyout ca.key -out ca.pem -days 2 -subj /CN=test-ca\n"
               "openssl req $key -keyout host.key -out host.csr -subj /CN=127.0.0.1\n"
               "echo subjectAltName=IP:127.0.0.1 > host.ext\n"
               "openssl x509 -req -in host.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
               "-extfile host.ext -out host.pem -days 2\n"};
  testing_support::ProcessResult made = testing_support::RunProcess(make);
  ASSERT_TRUE(made.exited && made.status == 0) << made.err;
  Broker broker;
  ASSERT_TRUE(broker.Start(
      {"--tls", "--tlscert", b.Dir() + "/host.pem", "--tlskey", b.Dir() + "/host.key"}));
  b.AddPlugin("nats_bridge.so",
              Nats(broker.Url(), "tls-ca={dir}/ca.pem\n") + "[import in]\nsubject=test.events\n");
  // Without the authority the broker's certificate is refused.
  a.AddPlugin("nats_bridge.so", Nats(broker.Url()) + "[import in]\nsubject=test.events\n");
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  EXPECT_TRUE(b.WaitForLog("nats_bridge: connected to " + broker.Url())) << b.Log();
  EXPECT_TRUE(a.WaitForLog("nats_bridge: error: cannot reach the broker")) << a.Log();
  EXPECT_EQ(Stop(&a), "");
  EXPECT_EQ(Stop(&b), "");
}

TEST_F(BridgeProcessTest, SettingsItCannotUseAreNamedAndTheBridgeStaysIdle) {
  b.AddPlugin("nats_bridge.so",
              "[nats]\nservers=nats://127.0.0.1:1\n"
              "[export bad]\nsubject=a.*.b\n"
              "[export both]\nsubject=x.y\nsource=test\ntype=e50\n"
              "[import test]\nsubject=ombrevard.video.*\noffer=test\n"
              "[export loop]\nsource=test\nsubject=ombrevard.video.test\n");
  ASSERT_TRUE(b.Start());
  ASSERT_TRUE(WaitUntil([&] { return !b.StatusDocument().empty(); }));
  EXPECT_EQ(Stop(&b), "");
  EXPECT_NE(b.StatusDocument().find("Filename=\"nats_bridge.so\" Opened=\"1\" OpenCode=\"1\""),
            std::string::npos)
      << b.StatusDocument();
  const std::string file = b.PluginDir() + "/nats_bridge.conf";
  for (const std::string& line :
       {file + ":4: [export bad] subject: not a subject to publish to",
        file + ":5: [export both]: give either source, or type with mask and flags",
        file + ": [export loop]: would send the stream imported by [import test] back to "
               "ombrevard.video.test"}) {
    EXPECT_NE(b.Log().find("nats_bridge: error: " + line), std::string::npos) << b.Log();
  }
  EXPECT_EQ(b.Log().find("cannot reach"), std::string::npos) << "idle: no connection tried";
}

TEST_F(BridgeProcessTest, OutageInALiveStreamIsCountedAndTheStreamResumesAtAKeyframe) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  StartCamera(broker.Url(), broker.Url());
  broker.Kill();
  const std::string dropped =
      "ombrevard_bridge_messages_dropped_total{direction=\"export\","
      "subject=\"ombrevard.video.test\"}";
  ASSERT_TRUE(WaitUntil([&] { return a.Metric(kBridgeId, dropped) >= 15; }, 20000)) << a.Log();
  size_t before = Received(b).sequences.size();
  ASSERT_TRUE(broker.Restart());
  EXPECT_TRUE(WaitUntil([&] { return Received(b).sequences.size() >= before + 30; }, 30000))
      << a.Log() << b.Log();
  EXPECT_TRUE(WaitUntil([&] {
    return a.Metric(kBridgeId, "ombrevard_bridge_reconnects_total") >= 1 &&
           b.Metric(kBridgeId,
                    "ombrevard_bridge_messages_lost_total{direction=\"import\","
                    "subject=\"ombrevard.video.test\"}") >= 15;
  })) << a.Log()
      << b.Log();
  StopCamera();
}

TEST_F(BridgeProcessTest, StreamCarriesOnWhenTheClusterNodeOfItsSenderDies) {
  int routes[3] = {FreePort(), FreePort(), FreePort()};
  while (routes[1] == routes[0]) routes[1] = FreePort();
  while (routes[2] == routes[0] || routes[2] == routes[1]) routes[2] = FreePort();
  Broker nodes[3];
  for (int i = 0; i < 3; i++) {
    std::string others;
    for (int j = 0; j < 3; j++) {
      if (j != i)
        others += (others.empty() ? "" : ",") + std::string("nats://127.0.0.1:") +
                  std::to_string(routes[j]);
    }
    ASSERT_TRUE(
        nodes[i].Start({"--cluster_name", "ombrevard", "--cluster",
                        "nats://127.0.0.1:" + std::to_string(routes[i]), "--routes", others}));
  }
  for (Broker& node : nodes) {
    ASSERT_TRUE(
        WaitUntil([&] { return Count(node.Log(), "Route connection created") >= 2; }, 10000))
        << node.Log();
  }
  StartCamera(nodes[0].Url() + "," + nodes[2].Url(), nodes[1].Url());
  nodes[0].Kill();
  size_t before = Received(b).sequences.size();
  EXPECT_TRUE(WaitUntil([&] { return Received(b).sequences.size() >= before + 60; }, 30000))
      << a.Log() << b.Log();
  EXPECT_GE(a.Metric(kBridgeId, "ombrevard_bridge_reconnects_total"), 1) << a.Log();
  StopCamera();
}

}  // namespace
