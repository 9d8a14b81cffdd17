// Helpers for the media tests: the built server with the media plug-ins in a
// scratch tree, run in the foreground until the test closes its input, and
// recordings decoded to their frames with GStreamer's command-line tool.
#ifndef TESTS_MEDIA_MEDIA_RUN_H_
#define TESTS_MEDIA_MEDIA_RUN_H_

#include <map>
#include <string>
#include <vector>

#include "tests/host/server_process.h"
#include "tests/support/test_support.h"

// The payloads of one stream that media_watch saw, in order.
struct WatchedStream {
  std::vector<unsigned long> sequences;
  std::vector<unsigned long> flags;  // MEDIA_FLAG_*
  std::vector<long long> sizes;      // of the OMBREVARD_MEDIA_WATCH_SIZE file at delivery
  std::vector<long long> times;      // monotonic clock at delivery, microseconds
};

// The server in a scratch tree with gst_source.so, gst_sink.so and the
// media_watch test plug-in, whose record (see tests/plugins/media_watch.c)
// lands in the tree.
class MediaServer {
 public:
  MediaServer();
  MediaServer(const MediaServer&) = delete;
  MediaServer& operator=(const MediaServer&) = delete;

  // A folder for recordings, inside the tree.
  const std::string& Dir() const { return dir_; }
  std::string PluginDir() const { return tree_.PluginDir(); }
  bool Installed() const { return installed_; }

  // gst_source.conf and gst_sink.conf; "{dir}" in them becomes Dir().
  void Settings(const std::string& source, const std::string& sink);
  void WatchSize(const std::string& path) { watchSize_ = path; }
  // Adds the built plug-in `file` ("nats_bridge.so") with `settings` as its
  // .conf; "{dir}" in them becomes Dir().
  void AddPlugin(const std::string& file, const std::string& settings);
  // Extra environment for the server (media_watch's OMBREVARD_WATCH_POST).
  void Environment(const std::string& name, const std::string& value) { env_[name] = value; }

  bool Start();
  // Waits (scaled) until the server's standard error holds `text`.
  bool WaitForLog(const std::string& text, int milliseconds = 20000);
  // Waits (scaled) until media_watch has seen `count` payloads on each of
  // `streams` streams.
  bool WaitForStreams(size_t streams, size_t count, int milliseconds = 20000);
  // Ends the server's input, as a key press would; its exit status, or -1
  // when it did not exit normally in time.
  int Stop();
  std::string Log() const;
  // media_watch's lines of one kind ("media", "status"), split in words.
  std::vector<std::vector<std::string>> Watched(const std::string& kind) const;
  // The module status document it received.
  std::string StatusDocument() const;
  // The value of `sample` ("name{labels}") in the latest metrics block of
  // the plug-in with id `source`; -1 when there is none.
  long long Metric(unsigned long source, const std::string& sample) const;
  // Its media lines by stream handle.
  std::map<std::string, WatchedStream> Streams() const;

 private:
  testing_support::TempTree tree_;
  std::string dir_;
  std::string watchSize_;
  std::map<std::string, std::string> env_;
  bool installed_ = false;
  HeldServer server_;
};

using testing_support::FreePort;

// The frames a recording decodes to (demuxer for .mp4 or .mkv, h264parse,
// openh264dec, I420), one "<time> <sha1>" line each; empty when it does not
// decode.
std::vector<std::string> DecodedFrames(const std::string& file);

// The command line of gst-launch-1.0 for `description` (whose words hold no
// blanks), which takes each word as an argument of its own.
std::vector<std::string> GstLaunchCommand(const std::string& description);

// The GStreamer elements the media tests use that are not installed, by
// name, blank-separated; empty when all are.
std::string MissingElements();

// Runs gst-launch-1.0 with `description`; true when it ended with status 0.
bool GstLaunch(const std::string& description);

// The frames of the same encoding recorded directly, without the server:
// `source` ! `rest` into a file in `dir`, decoded.
std::vector<std::string> DirectFrames(const std::string& dir, const std::string& source,
                                      const std::string& rest, const std::string& file);

#endif  // TESTS_MEDIA_MEDIA_RUN_H_
