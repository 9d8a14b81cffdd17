#include "bench/reference_host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <string.h>

#include <chrono>

namespace {

const char* const kEntryNames[8] = {"Load", "Unload", "Open", "Close",
                                    "Read", "Write",  "Seek", "IOCTL"};

extern "C" int32_t ReferencePostEvent(const EventRecord* event, EventResult* result) {
  (void)event;
  result->result = POST_OK;
  return 0;
}

bool EndsWithSo(const char* name) {
  size_t length = strlen(name);
  return length > 3 && strcmp(name + length - 3, ".so") == 0;
}

}  // namespace

ReferenceHost::~ReferenceHost() { Stop(); }

int ReferenceHost::Start(const std::string& pluginDir) {
  DIR* dir = opendir(pluginDir.c_str());
  if (dir != nullptr) {
    std::vector<uint32_t> ids;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_type != DT_REG || !EndsWithSo(entry->d_name)) continue;
      std::string path = pluginDir + "/" + entry->d_name;
      Loaded loaded;
      loaded.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (loaded.handle == nullptr) continue;
      for (int i = 0; i < 8; i++) {
        loaded.entries[i] = reinterpret_cast<PluginEntry>(dlsym(loaded.handle, kEntryNames[i]));
      }
      auto request = MakePluginBlock<LoadRequest>(2);
      request.postEvent = ReferencePostEvent;
      auto descriptor = MakePluginBlock<PluginDescriptor>();
      if (loaded.entries[ENTRY_LOAD] == nullptr ||
          loaded.entries[ENTRY_LOAD](&request, &descriptor) != 0 || descriptor.loadError != 0) {
        dlclose(loaded.handle);
        continue;
      }
      plugins.push_back(loaded);
    }
    closedir(dir);
  }
  for (const Loaded& loaded : plugins) {
    if (loaded.entries[ENTRY_OPEN] == nullptr) continue;
    auto request = MakePluginBlock<OpenRequest>();
    auto reply = MakePluginBlock<OpenReply>();
    (void)loaded.entries[ENTRY_OPEN](&request, &reply);  // the open code is only shown
  }
  stopping = false;
  threads.emplace_back([this] { Deliver(); });
  threads.emplace_back([this] { Tick(); });
  return static_cast<int>(plugins.size());
}

void ReferenceHost::Deliver() {
  std::unique_lock<std::mutex> hold(lock);
  while (!stopping) wake.wait(hold);
}

void ReferenceHost::Tick() {
  std::unique_lock<std::mutex> hold(lock);
  while (!stopping) {
    if (wake.wait_for(hold, std::chrono::milliseconds(100)) == std::cv_status::timeout) {
      lastTick = time(nullptr);
    }
  }
}

void ReferenceHost::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock);
    stopping = true;
  }
  wake.notify_all();
  for (std::thread& thread : threads) thread.join();
  threads.clear();
  for (const Loaded& loaded : plugins) {
    if (loaded.entries[ENTRY_CLOSE] == nullptr) continue;
    auto request = MakePluginBlock<CloseRequest>();
    auto reply = MakePluginBlock<CloseReply>();
    (void)loaded.entries[ENTRY_CLOSE](&request, &reply);
  }
  for (const Loaded& loaded : plugins) {
    if (loaded.entries[ENTRY_UNLOAD] != nullptr) {
      auto request = MakePluginBlock<UnloadRequest>();
      auto reply = MakePluginBlock<UnloadReply>();
      (void)loaded.entries[ENTRY_UNLOAD](&request, &reply);
    }
    dlclose(loaded.handle);
  }
  plugins.clear();
}
