// gst_source.so and gst_sink.so in the server, end to end: real pipelines,
// recordings decoded and compared with recordings made without the server,
// stops in the middle of streams, faults in settings and pipelines, and a
// slow consumer.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/media/media_run.h"

namespace {

using testing_support::WaitUntil;

const char kTestPattern[] =
    "videotestsrc num-buffers=150 pattern=ball ! "
    "video/x-raw,width=320,height=240,framerate=30/1 ! openh264enc ! h264parse";

// What the reviewer runs, word for word but for the folder.
const char kSourceSettings[] =
    "[source test]\n"
    "pipeline=videotestsrc num-buffers=150 pattern=ball ! "
    "video/x-raw,width=320,height=240,framerate=30/1 ! openh264enc ! h264parse\n";
const char kSinkSettings[] =
    "[output rec]\n"
    "source=test\n"
    "pipeline=h264parse ! mp4mux ! filesink location={dir}/bus.mp4\n";

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
  return count;
}

class MediaProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    static const std::string missing = MissingElements();
    if (!missing.empty()) GTEST_SKIP() << "GStreamer elements not installed:" << missing;
    ASSERT_TRUE(server.Installed());
  }

  // Runs the server until every output named has finished, then stops it.
  void RunUntilFinished(const std::vector<std::string>& outputs) {
    ASSERT_TRUE(server.Start());
    for (const std::string& output : outputs) {
      EXPECT_TRUE(server.WaitForLog("output " + output + ": finished")) << server.Log();
    }
    EXPECT_EQ(server.Stop(), 0) << server.Log();
  }

  MediaServer server;
};

TEST_F(MediaProcessTest, RecordingDecodesToTheFramesOfADirectRecording) {
  server.Settings(kSourceSettings, kSinkSettings);
  RunUntilFinished({"rec"});
  std::vector<std::string> direct =
      DirectFrames(server.Dir(), kTestPattern, "mp4mux", "direct.mp4");
  ASSERT_EQ(direct.size(), 150u);
  // Every frame, bit for bit, at its time.
  EXPECT_EQ(DecodedFrames(server.Dir() + "/bus.mp4"), direct);
}

TEST_F(MediaProcessTest, TwoOutputsOfOneSourceAndTwoSourcesAtOnce) {
  const std::string other =
      "videotestsrc num-buffers=60 pattern=smpte ! "
      "video/x-raw,width=176,height=144,framerate=25/1 ! openh264enc ! h264parse";
  server.Settings(std::string(kSourceSettings) + "[source other]\npipeline=" + other + "\n",
                  std::string(kSinkSettings) +
                      "[output copy]\nsource=test\n"
                      "pipeline=h264parse ! matroskamux ! filesink location={dir}/copy.mkv\n"
                      "[output second]\nsource=other\n"
                      "pipeline=h264parse ! mp4mux ! filesink location={dir}/other.mp4\n");
  RunUntilFinished({"rec", "copy", "second"});
  std::vector<std::string> test = DirectFrames(server.Dir(), kTestPattern, "mp4mux", "t.mp4");
  ASSERT_EQ(test.size(), 150u);
  EXPECT_EQ(DecodedFrames(server.Dir() + "/bus.mp4"), test);
  EXPECT_EQ(DecodedFrames(server.Dir() + "/copy.mkv"),
            DirectFrames(server.Dir(), kTestPattern, "matroskamux", "t.mkv"));
  std::vector<std::string> second = DirectFrames(server.Dir(), other, "mp4mux", "o.mp4");
  ASSERT_EQ(second.size(), 60u);
  EXPECT_EQ(DecodedFrames(server.Dir() + "/other.mp4"), second);

  // Three streams, one run of the pipeline each: numbered from 0 without a
  // gap, caps on the first payload, the end flagged on the last.
  std::map<std::string, WatchedStream> streams = server.Streams();
  ASSERT_EQ(streams.size(), 3u);
  std::multiset<size_t> lengths;
  for (const auto& stream : streams) {
    SCOPED_TRACE(stream.first);
    const WatchedStream& record = stream.second;
    lengths.insert(record.sequences.size());
    for (size_t i = 0; i < record.sequences.size(); i++) EXPECT_EQ(record.sequences[i], i);
    EXPECT_NE(record.flags.front() & 0x10u, 0u) << "caps changed on the first";
    EXPECT_EQ(record.flags.back(), 0x08u) << "end of stream, and nothing else, on the last";
  }
  EXPECT_EQ(lengths, (std::multiset<size_t>{61, 151, 151}));
}

TEST_F(MediaProcessTest, StopInTheMiddleOfStreamsLeavesPlayableRecordings) {
  // A live camera-like source and a file-like one that would run for long.
  server.Settings(
      "[source camera]\n"
      "pipeline=videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=30/1 ! "
      "openh264enc ! h264parse config-interval=-1\n"
      "live=true\n"
      "[source long]\n"
      "pipeline=videotestsrc num-buffers=100000 ! video/x-raw,width=320,height=240 ! "
      "openh264enc ! h264parse\n",
      "[output camera]\nsource=camera\n"
      "pipeline=h264parse ! mp4mux ! filesink location={dir}/camera.mp4\n"
      "[output long]\nsource=long\n"
      "pipeline=h264parse ! matroskamux ! filesink location={dir}/long.mkv\n");
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitForStreams(2, 30)) << server.Log();
  EXPECT_EQ(server.Stop(), 0) << server.Log();
  EXPECT_GE(DecodedFrames(server.Dir() + "/camera.mp4").size(), 30u);
  EXPECT_GE(DecodedFrames(server.Dir() + "/long.mkv").size(), 30u);
  EXPECT_NE(server.Log().find("output camera: finished"), std::string::npos) << server.Log();
  EXPECT_NE(server.Log().find("output long: finished"), std::string::npos) << server.Log();
}

TEST_F(MediaProcessTest, BadSettingsFileIsReportedAndTheServerRunsOn) {
  server.Settings("[source test]\npipeline=videotestsrc ! h264parse\ncolour=red\n",
                  "[output rec]\nsource=test\npipeline=fakesink\n");
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitForLog("gst_sink: outputs: rec <- test")) << server.Log();
  ASSERT_TRUE(WaitUntil([&] { return !server.StatusDocument().empty(); }));
  EXPECT_EQ(server.Stop(), 0) << server.Log();
  // The file, the line, the group, the key and why.
  EXPECT_NE(server.Log().find("gst_source: error: " + server.PluginDir() +
                              "/gst_source.conf:3: [source test]: unknown key 'colour'"),
            std::string::npos)
      << server.Log();
  std::string status = server.StatusDocument();
  EXPECT_NE(status.find("Filename=\"gst_source.so\" Opened=\"1\" OpenCode=\"1\""),
            std::string::npos)
      << status;
  EXPECT_NE(status.find("Filename=\"gst_sink.so\" Opened=\"1\" OpenCode=\"0\""), std::string::npos)
      << status;
}

TEST_F(MediaProcessTest, FailingPipelinesAreReportedAndTheOthersGoOn) {
  // A TCP server that the "network" source reads from, killed mid-stream.
  int port = testing_support::FreePort();
  ASSERT_GT(port, 0);
  HeldServer sender;
  LaunchOptions sending;
  sending.argv = GstLaunchCommand(
      "videotestsrc is-live=true ! video/x-raw,width=160,height=120,framerate=30/1 ! "
      "openh264enc ! h264parse config-interval=-1 ! mpegtsmux ! "
      "tcpserversink host=127.0.0.1 port=" +
      std::to_string(port));
  ASSERT_TRUE(sender.Start(sending, server.Dir()));
  const std::string failing[][2] = {
      {"syntax", "videotestsrc ! ! h264parse"},
      {"element", "nosuchsrc ! h264parse"},
      {"file", "filesrc location={dir}/none.mp4 ! qtdemux ! h264parse"},
      {"encoder",
       "videotestsrc num-buffers=10 ! video/x-raw,width=5000,height=5000 ! "
       "openh264enc ! h264parse"},
  };
  std::string sources = std::string(kSourceSettings) +
                        "[source network]\nlive=true\npipeline=tcpclientsrc host=127.0.0.1 port=" +
                        std::to_string(port) + " ! tsdemux ! h264parse config-interval=-1\n";
  std::string sinks = std::string(kSinkSettings) +
                      "[output network]\nsource=network\npipeline=fakesink\n"
                      "[output unwritable]\nsource=test\n"
                      "pipeline=h264parse ! mp4mux ! filesink location={dir}/no/such/dir.mp4\n";
  for (const auto& source : failing) {
    sources += "[source " + source[0] + "]\npipeline=" + source[1] + "\n";
    sinks += "[output " + source[0] + "]\nsource=" + source[0] + "\npipeline=fakesink\n";
  }
  server.Settings(sources, sinks);
  ASSERT_TRUE(server.Start());
  ASSERT_TRUE(server.WaitForStreams(2, 10)) << server.Log();  // "test" and "network" flow
  // The connection drops: said once at least, after what the first attempts said.
  size_t before = Count(server.Log(), "source network: ");
  kill(sender.Pid(), SIGTERM);
  int status = 0;
  EXPECT_TRUE(sender.WaitForExit(10000, &status));
  EXPECT_TRUE(WaitUntil([&] { return Count(server.Log(), "source network: ") > before; }))
      << server.Log();
  ASSERT_TRUE(server.WaitForLog("output rec: finished")) << server.Log();
  EXPECT_EQ(server.Stop(), 0) << server.Log();

  // One line each, naming the source or output and saying what GStreamer said.
  const std::string log = server.Log();
  for (const char* line :
       {"gst_source: error: source syntax: bad pipeline: syntax error",
        "gst_source: error: source element: bad pipeline: no element \"nosuchsrc\"",
        "gst_source: error: source file: filesrc0: Resource not found. (No such file \"",
        "gst_source: error: source encoder: ", "reason not-negotiated",
        "gst_sink: error: output unwritable: ", "Could not open file \""}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(DecodedFrames(server.Dir() + "/bus.mp4").size(), 150u);
}

TEST_F(MediaProcessTest, SlowConsumerHoldsItsSourceBackInsteadOfQueueing) {
  // Raw frames of 115,200 bytes, as fast as the source can make them, to a
  // consumer that takes 20 ms for each and then writes it to a file.
  const long long frame = 320 * 240 * 3 / 2;
  std::string written = server.Dir() + "/written.raw";
  server.WatchSize(written);
  server.Settings(
      "[source raw]\npipeline=videotestsrc num-buffers=40 ! "
      "video/x-raw,format=I420,width=320,height=240\n",
      "[output slow]\nsource=raw\npipeline=identity sleep-time=20000 ! "
      "filesink buffer-mode=unbuffered location=" +
          written + "\n");
  RunUntilFinished({"slow"});
  std::map<std::string, WatchedStream> streams = server.Streams();
  ASSERT_EQ(streams.size(), 1u);
  const WatchedStream& stream = streams.begin()->second;
  ASSERT_EQ(stream.sequences.size(), 41u);
  // Each frame was delivered only once the consumer had written all but the
  // one or two before it: one payload in flight, nothing piling up.
  for (size_t i = 0; i < stream.sizes.size(); i++) {
    long long behind = static_cast<long long>(i) - 2;
    EXPECT_GE(stream.sizes[i], std::max(behind, 0LL) * frame) << "payload " << i;
  }
  EXPECT_EQ(testing_support::ReadFile(written).size(), static_cast<size_t>(40 * frame));
}

}  // namespace
