#include "tests/media/media_run.h"

#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

using testing_support::ProcessOptions;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::WaitUntil;

namespace {

const char kGstLaunch[] = "/usr/bin/gst-launch-1.0";

std::string Replaced(std::string text, const std::string& dir) {
  for (size_t at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}")) {
    text.replace(at, 5, dir);
  }
  return text;
}

std::vector<std::string> Split(const std::string& line) {
  std::istringstream words(line);
  std::vector<std::string> fields;
  for (std::string word; words >> word;) fields.push_back(word);
  return fields;
}

}  // namespace

MediaServer::MediaServer() : dir_(tree_.Root() + "/media") {
  mkdir(dir_.c_str(), 0755);
  installed_ = InstallServer(tree_);
  tree_.AddPlugin(std::string(OMBREVARD_MEDIA_PLUGIN_DIR) + "/gst_source.so", "gst_source.so");
  tree_.AddPlugin(std::string(OMBREVARD_MEDIA_PLUGIN_DIR) + "/gst_sink.so", "gst_sink.so");
  tree_.AddPlugin(testing_support::TestPlugin("media_watch"), "media_watch.so");
}

void MediaServer::Settings(const std::string& source, const std::string& sink) {
  if (!source.empty())
    tree_.WriteFile(tree_.PluginDir() + "/gst_source.conf", Replaced(source, dir_));
  if (!sink.empty()) tree_.WriteFile(tree_.PluginDir() + "/gst_sink.conf", Replaced(sink, dir_));
}

void MediaServer::AddPlugin(const std::string& file, const std::string& settings) {
  tree_.AddPlugin(std::string(OMBREVARD_MEDIA_PLUGIN_DIR) + "/" + file, file);
  std::string conf = file.substr(0, file.size() - 3) + ".conf";
  tree_.WriteFile(tree_.PluginDir() + "/" + conf, Replaced(settings, dir_));
}

bool MediaServer::Start() {
  LaunchOptions options;
  options.argv = {tree_.ExecutablePath(), "-d"};
  options.cwd = tree_.Root();
  options.env["HOME"] = tree_.Root();
  options.env["OMBREVARD_MEDIA_WATCH"] = tree_.Root() + "/watch";
  if (!watchSize_.empty()) options.env["OMBREVARD_MEDIA_WATCH_SIZE"] = watchSize_;
  AddGLibOptions(&options);
  for (const auto& extra : env_) options.env[extra.first] = extra.second;
  return installed_ && server_.Start(options, tree_.Root());
}

bool MediaServer::WaitForLog(const std::string& text, int milliseconds) {
  return WaitUntil([&] { return Log().find(text) != std::string::npos; }, milliseconds);
}

bool MediaServer::WaitForStreams(size_t streams, size_t count, int milliseconds) {
  return WaitUntil(
      [&] {
        size_t longEnough = 0;
        for (const auto& stream : Streams()) longEnough += stream.second.sequences.size() >= count;
        return longEnough >= streams;
      },
      milliseconds);
}

int MediaServer::Stop() {
  server_.CloseInput();
  int status = 0;
  if (!server_.WaitForExit(20000, &status)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MediaServer::Log() const { return ReadFile(tree_.Root() + "/held.err"); }

std::vector<std::vector<std::string>> MediaServer::Watched(const std::string& kind) const {
  std::vector<std::vector<std::string>> lines;
  std::istringstream text(ReadFile(tree_.Root() + "/watch"));
  for (std::string line; std::getline(text, line);) {
    std::vector<std::string> fields = Split(line);
    if (!fields.empty() && fields[0] == kind) lines.push_back(fields);
  }
  return lines;
}

std::string MediaServer::StatusDocument() const {
  std::istringstream text(ReadFile(tree_.Root() + "/watch"));
  for (std::string line; std::getline(text, line);) {
    if (line.compare(0, 7, "status ") == 0) return line.substr(7);
  }
  return std::string();
}

long long MediaServer::Metric(unsigned long source, const std::string& sample) const {
  char name[32];
  snprintf(name, sizeof(name), "/watch.metrics.%08lx", source);
  std::istringstream text(ReadFile(tree_.Root() + name));
  for (std::string line; std::getline(text, line);) {
    if (line.compare(0, sample.size() + 1, sample + " ") == 0) {
      return std::stoll(line.substr(sample.size() + 1));
    }
  }
  return -1;
}

std::map<std::string, WatchedStream> MediaServer::Streams() const {
  std::map<std::string, WatchedStream> streams;
  for (const std::vector<std::string>& line : Watched("media")) {
    if (line.size() < 8) continue;
    WatchedStream& stream = streams[line[1]];
    stream.sequences.push_back(std::stoul(line[2]));
    stream.flags.push_back(std::stoul(line[3], nullptr, 16));
    stream.sizes.push_back(std::stoll(line[6]));
    stream.times.push_back(std::stoll(line[7]));
  }
  return streams;
}

std::vector<std::string> GstLaunchCommand(const std::string& description) {
  std::vector<std::string> argv = {kGstLaunch, "-q"};
  for (const std::string& word : Split(description)) argv.push_back(word);
  return argv;
}

std::vector<std::string> DecodedFrames(const std::string& file) {
  bool matroska = file.size() > 4 && file.compare(file.size() - 4, 4, ".mkv") == 0;
  ProcessOptions options;
  options.argv = GstLaunchCommand("filesrc location=" + file + " ! " +
                                  (matroska ? "matroskademux" : "qtdemux") +
                                  " ! h264parse ! openh264dec ! video/x-raw,format=I420 "
                                  "! checksumsink");
  options.timeoutMs = 60000;
  ProcessResult result = RunProcess(options);
  std::vector<std::string> frames;
  if (!result.exited || result.status != 0) return frames;
  // checksumsink prints "<h:mm:ss.nnnnnnnnn> <sha1>"; the decoder may print
  // lines of its own.
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields = Split(line);
    if (fields.size() == 2 && fields[0].find(':') != std::string::npos &&
        fields[0].find('.') != std::string::npos && fields[1].size() == 40 &&
        fields[1].find_first_not_of("0123456789abcdef") == std::string::npos) {
      frames.push_back(line);
    }
  }
  return frames;
}

std::string MissingElements() {
  static const char* const kElements[] = {
      "videotestsrc", "openh264enc",   "openh264dec", "h264parse", "mp4mux",       "qtdemux",
      "matroskamux",  "matroskademux", "mpegtsmux",   "tsdemux",   "checksumsink", "identity"};
  std::string missing;
  for (const char* element : kElements) {
    ProcessOptions options;
    options.argv = {"/usr/bin/gst-inspect-1.0", "--exists", element};
    ProcessResult result = RunProcess(options);
    if (!result.exited || result.status != 0) missing += std::string(" ") + element;
  }
  return missing;
}

bool GstLaunch(const std::string& description) {
  ProcessOptions options;
  options.argv = GstLaunchCommand(description);
  options.timeoutMs = 60000;
  ProcessResult result = RunProcess(options);
  return result.exited && result.status == 0;
}

std::vector<std::string> DirectFrames(const std::string& dir, const std::string& source,
                                      const std::string& rest, const std::string& file) {
  std::string path = dir + "/" + file;
  if (!GstLaunch(source + " ! " + rest + " ! filesink location=" + path)) return {};
  return DecodedFrames(path);
}
