#include "bench/core_rig.h"

#include <dirent.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <wx/filename.h>

CoreRig::CoreRig(const std::string& nodeLibrary, int sinkCount, int producerCount, int idle)
    : library(nodeLibrary) {
  ok = tree.Ok();
  for (int i = 0; ok && i < sinkCount; i++) {
    BenchNode* node = AddConfigured("sink_" + std::to_string(i) + ".so");
    if (node == nullptr) break;
    node->descriptor.id = kSinkIdBase + static_cast<uint32_t>(i);
    node->descriptor.subscriptionMask[1] = 0xFFFFFFFFu;
    node->descriptor.eventSink = 1;
    node->configured.store(true);
    sinks.push_back(node);
  }
  for (int k = 0; ok && k < producerCount; k++) {
    BenchNode* node = AddConfigured("producer_" + std::to_string(k) + ".so");
    if (node == nullptr) break;
    node->descriptor.id = kProducerIdBase + static_cast<uint32_t>(k);
    node->descriptor.subscriptionMask[0] = ProducerStartType(k);
    node->descriptor.readThread = 1;
    node->configured.store(true);
    producers.push_back(node);
  }
  // Plug-ins to measure alongside (admin.so, say), with their settings: every
  // file of the folder OMBREVARD_BENCH_PLUGINS names.
  const char* extra = getenv("OMBREVARD_BENCH_PLUGINS");
  DIR* folder = extra != nullptr ? opendir(extra) : nullptr;
  for (dirent* entry; folder != nullptr && (entry = readdir(folder)) != nullptr;) {
    std::string name = entry->d_name;
    if (name != "." && name != "..")
      ok = ok && !tree.AddPlugin(std::string(extra) + "/" + name, name).empty();
  }
  if (folder != nullptr) closedir(folder);
  for (int i = 0; ok && i < idle; i++) {
    char name[32];
    snprintf(name, sizeof(name), "idle_%03d.so", i);
    ok = !tree.AddPlugin(library, name).empty();
  }
}

CoreRig::~CoreRig() {
  Stop();
  core.reset();
  for (void* handle : handles) dlclose(handle);
}

BenchNode* CoreRig::AddConfigured(const std::string& name) {
  std::string path = tree.AddPlugin(library, name);
  void* handle = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    fprintf(stderr, "cannot open %s: %s\n", path.c_str(), path.empty() ? "copy failed" : dlerror());
    ok = false;
    return nullptr;
  }
  handles.push_back(handle);
  auto instance = reinterpret_cast<BenchNodeInstanceFunction>(dlsym(handle, "BenchNodeInstance"));
  if (instance == nullptr) {
    ok = false;
    return nullptr;
  }
  return instance();
}

bool CoreRig::Start() {
  if (!ok || started) return false;
  core.reset(new Core(wxFileName(tree.ExecutablePath())));
  started = core->Start();
  return started;
}

void CoreRig::Stop() {
  if (!started) return;
  started = false;
  core->Stop();
}
