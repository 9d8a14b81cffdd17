// BridgeLink: nats_bridge.so's connection to NATS, its exports and its
// imports.
//
// One worker thread of its own connects (again and again, with a pause that
// grows from 1 s to 30 s, while the broker cannot be reached or refuses the
// credentials), subscribes the imports, publishes what the exports hand it
// and posts the plug-in's metrics once a second. Once connected, the client
// library reconnects by itself after an outage, with a growing pause too.
//
// Exports: the delivery thread (Write) never waits on the network. A media
// payload is kept and queued (one at a time per stream: the stream's gate
// lets no second one come), an event is copied into a bounded queue; the
// worker publishes and releases. While the broker is away media is dropped
// and counted, and each export resumes at the next keyframe.
//
// Imports: the client's delivery threads check each message, count gaps in
// its sequence, and post events at once or hand media to the MediaImport.
//
// Threads: Start, Stop on the main thread; Write on the delivery thread;
// RequestSources and Serve on Read threads; the worker; the client's
// callback and delivery threads. Shared state is guarded by `lock_`;
// counters are atomic.
#ifndef MODULES_NATS_BRIDGE_BRIDGE_LINK_H_
#define MODULES_NATS_BRIDGE_BRIDGE_LINK_H_

#include <nats/nats.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/plugin_api.h"
#include "modules/common/plugin_log.h"
#include "modules/nats_bridge/bridge_message.h"
#include "modules/nats_bridge/media_import.h"

namespace bridge {

struct LinkSettings {
  std::vector<std::string> servers;
  std::string name;
  std::string user, password, token, creds;
  std::string tlsCa, tlsCert, tlsKey;
  uint32_t maxMessage = 8u << 20;  // larger messages are refused on both sides
};

struct ExportSettings {
  std::string name;
  std::string subject;
  std::string source;                      // media: the local source; empty for events
  uint32_t type = 0, mask = 0, flags = 0;  // events: (type & mask) matches; flags: any of them
};

struct ImportSettings {
  std::string name;
  std::string subject;
  std::string offer;                       // media: the name offered locally; empty for events
  bool ownType = false, ownFlags = false;  // events: post with these instead of the sender's
  uint32_t type = 0, flags = 0;
};

// Log texts that operators and tests rely on.
extern const char kRefusedText[];      // the broker refused the credentials
extern const char kUnreachableText[];  // no broker answered
extern const char kConnectedText[];
extern const char kMalformedText[];

class BridgeLink {
 public:
  BridgeLink(const plugin_common::PluginLog& log, uint32_t id) : log_(log), id_(id) {}
  ~BridgeLink() { Stop(); }
  BridgeLink(const BridgeLink&) = delete;
  BridgeLink& operator=(const BridgeLink&) = delete;

  // Main thread, before Start: takes the settings and builds the client's
  // options; false, with *error, when they cannot be used (a TLS file that
  // does not load, say).
  bool Configure(PostEventFunction post, const LinkSettings& link,
                 const std::vector<ExportSettings>& exports,
                 const std::vector<ImportSettings>& imports, std::string* error);
  // The subscription masks the exports need, by flag bit (0..7, 8 for
  // EVENT_FLAG_MASK8), to be delivered their events.
  static void Subscriptions(const std::vector<ExportSettings>& exports, uint32_t masks[9]);

  void Start();
  // Ends the worker, the streams served and the connection; releases what
  // it holds. Safe to call twice.
  void Stop();

  // Delivery thread: one queued event. Returns true to keep the payload.
  bool Write(const WriteRequest* event);
  // Read thread at scheduler start: waits until first connected, then asks
  // for the media exports' sources.
  void RequestSources();
  // Read thread for a stream start request: serves it if an import offers
  // `name`; returns at once otherwise.
  void Serve(const std::string& name, uint32_t stream);

 private:
  struct Export {
    ExportSettings settings;
    uint32_t stream = 0;  // media: the handle asked for; read-only once started
    SubjectCounters counters;
    std::atomic<uint64_t> sequence{0};  // of the next message; Write spends one on a drop
    // Worker only.
    bool waiting = false;  // for a keyframe after a loss
    std::string caps;      // the caps the stream has now
  };
  struct Import {
    ImportSettings settings;
    SubjectCounters counters;
    std::unique_ptr<MediaImport> media;        // media imports only
    natsSubscription* subscription = nullptr;  // worker only
    std::mutex seen;  // guards next: the client may deliver on several threads
    std::map<std::pair<uint64_t, std::string>, uint64_t> next;  // by origin and subject
    BridgeLink* link = nullptr;                                 // borrowed: the owner
  };
  struct Item {
    Export* target;        // borrowed
    void* kept = nullptr;  // media: the Core's payload, released after publishing
    uint32_t size = 0;
    std::vector<uint8_t> copy;       // event: its payload
    uint8_t extra[kEventExtraSize];  // event: type, flags, body
  };

  void Run();  // the worker
  bool Connect();
  void Disconnect();
  void Publish(Item* item);
  bool PublishMedia(Export* target, const Item& item);
  void Release(void* payload);
  void PostMetrics();
  // Logs a warning, at most one line a second for all such faults.
  void LogLimited(const std::string& text);

  static void OnMessage(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure);
  static void OnDisconnected(natsConnection* nc, void* closure);
  static void OnReconnected(natsConnection* nc, void* closure);
  static void OnClosed(natsConnection* nc, void* closure);
  static int64_t ReconnectDelay(natsConnection* nc, int attempts, void* closure);
  void Receive(Import* import, natsMsg* msg);

  const plugin_common::PluginLog& log_;
  const uint32_t id_;
  PostEventFunction post_ = nullptr;              // set in Configure; read-only afterwards
  LinkSettings settings_;                         // set in Configure; read-only afterwards
  uint64_t origin_ = 0;                           // set in Configure
  std::vector<std::unique_ptr<Export>> exports_;  // set in Configure; read-only afterwards
  std::vector<std::unique_ptr<Import>> imports_;  // set in Configure; read-only afterwards
  natsOptions* options_ = nullptr;                // owned; set in Configure
  natsConnection* connection_ = nullptr;          // owned; worker only (callbacks get it as nc)
  std::vector<uint8_t> scratch_;                  // worker only: the message being published
  std::string lastConnectFault_;                  // worker only: the last failed attempt's line
  std::chrono::steady_clock::time_point lastConnectLog_;  // worker only
  std::thread worker_;                                    // main thread only
  std::atomic<bool> connected_{false};
  std::atomic<uint64_t> reconnects_{0};

  std::mutex lock_;
  std::condition_variable wake_;    // stopping_, connected_, closed_, queue_ or serving_ changed
  bool stopping_ = false;           // guarded by lock_
  bool closed_ = false;             // guarded by lock_: the client gave the connection up
  bool everConnected_ = false;      // guarded by lock_
  std::deque<Item> queue_;          // guarded by lock_
  size_t queuedEventBytes_ = 0;     // guarded by lock_
  natsConnection* live_ = nullptr;  // guarded by lock_: the connection now; borrowed
  int receiving_ = 0;               // guarded by lock_: message callbacks inside our code
  int reads_ = 0;                   // guarded by lock_: Read calls inside our code
  std::vector<uint32_t> serving_;   // guarded by lock_: streams Serve calls post on
  std::chrono::steady_clock::time_point lastLimitedLog_;  // guarded by lock_
  uint64_t limitedUnlogged_ = 0;                          // guarded by lock_
};

}  // namespace bridge

#endif  // MODULES_NATS_BRIDGE_BRIDGE_LINK_H_
