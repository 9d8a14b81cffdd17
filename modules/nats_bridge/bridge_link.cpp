#include "modules/nats_bridge/bridge_link.h"

#include <string.h>
#include <sys/random.h>

#include <algorithm>

#include "core/media.h"
#include "modules/common/plugin_metrics.h"
#include "modules/common/plugin_post.h"

namespace bridge {

const char kRefusedText[] = "refused the credentials";
const char kUnreachableText[] = "cannot reach the broker";
const char kConnectedText[] = "connected to";
const char kMalformedText[] = "dropped a malformed message on";

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFirstPauseSeconds = 1;
constexpr int kLongestPauseSeconds = 30;
constexpr int64_t kConnectTimeoutMs = 2000;
constexpr int64_t kLongestReconnectMs = 5000;
constexpr size_t kMostQueuedEvents = 1024;
constexpr size_t kMostOrigins = 256;  // senders followed per import
constexpr auto kStopWait = std::chrono::seconds(5);
constexpr auto kConnectFaultRepeat = std::chrono::minutes(10);
// What an imported event may carry in its flags: never the whole words that
// release a payload or stop a stream.
constexpr uint32_t kPostableFlags = 0xFFu | EVENT_FLAG_OTHERS | EVENT_FLAG_MASK8 | EVENT_FLAG_ALL;

std::string LastError(natsStatus status) {
  const char* last = nats_GetLastError(nullptr);
  std::string text = last != nullptr && last[0] != '\0' ? last : natsStatus_GetText(status);
  // The client puts where in its sources the error arose first: "(conn.c:2088): ".
  size_t end = text.find("): ");
  if (!text.empty() && text[0] == '(' && end != std::string::npos) text.erase(0, end + 3);
  return text;
}

std::string Label(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

bool BridgeLink::Configure(PostEventFunction post, const LinkSettings& link,
                           const std::vector<ExportSettings>& exports,
                           const std::vector<ImportSettings>& imports, std::string* error) {
  post_ = post;
  settings_ = link;
  if (getrandom(&origin_, sizeof(origin_), 0) != sizeof(origin_)) {
    origin_ = static_cast<uint64_t>(Clock::now().time_since_epoch().count());
  }
  uint32_t n = 0;
  for (const ExportSettings& settings : exports) {
    exports_.emplace_back(new Export());
    exports_.back()->settings = settings;
    if (!settings.source.empty()) {
      // Skip the one n whose handle would be 0 (no stream).
      uint32_t handle = MediaStreamHandle(id_, n++);
      if (handle == 0) handle = MediaStreamHandle(id_, n++);
      exports_.back()->stream = handle;
    }
  }
  for (const ImportSettings& settings : imports) {
    imports_.emplace_back(new Import());
    Import* import = imports_.back().get();
    import->settings = settings;
    import->link = this;
    if (!settings.offer.empty())
      import->media.reset(new MediaImport(settings.offer, &import->counters));
  }

  natsStatus status = natsOptions_Create(&options_);
  std::vector<const char*> servers;
  for (const std::string& server : settings_.servers) servers.push_back(server.c_str());
  const char* step = "servers";
  if (status == NATS_OK) {
    status = natsOptions_SetServers(options_, servers.data(), static_cast<int>(servers.size()));
  }
  // In the order given: the first is the one to use while it answers.
  if (status == NATS_OK) status = natsOptions_SetNoRandomize(options_, true);
  if (status == NATS_OK && !link.name.empty())
    status = natsOptions_SetName(options_, link.name.c_str());
  step = "credentials";
  if (status == NATS_OK && !link.user.empty()) {
    status = natsOptions_SetUserInfo(options_, link.user.c_str(), link.password.c_str());
  }
  if (status == NATS_OK && !link.token.empty()) {
    status = natsOptions_SetToken(options_, link.token.c_str());
  }
  if (status == NATS_OK && !link.creds.empty()) {
    status = natsOptions_SetUserCredentialsFromFiles(options_, link.creds.c_str(), nullptr);
  }
  step = "TLS";
  if (status == NATS_OK && (!link.tlsCa.empty() || !link.tlsCert.empty())) {
    status = natsOptions_SetSecure(options_, true);
  }
  if (status == NATS_OK && !link.tlsCa.empty()) {
    status = natsOptions_LoadCATrustedCertificates(options_, link.tlsCa.c_str());
  }
  if (status == NATS_OK && !link.tlsCert.empty()) {
    status = natsOptions_LoadCertificatesChain(options_, link.tlsCert.c_str(), link.tlsKey.c_str());
  }
  step = "connection";
  if (status == NATS_OK) status = natsOptions_SetTimeout(options_, kConnectTimeoutMs);
  if (status == NATS_OK) status = natsOptions_SetMaxReconnect(options_, -1);
  if (status == NATS_OK)
    status = natsOptions_SetCustomReconnectDelay(options_, ReconnectDelay, this);
  // A dead peer shows within about 15 s even when no packet says so.
  if (status == NATS_OK) status = natsOptions_SetPingInterval(options_, 5000);
  if (status == NATS_OK) status = natsOptions_SetMaxPingsOut(options_, 2);
  // Our own messages never come back to us: no loops through the broker.
  if (status == NATS_OK) status = natsOptions_SetNoEcho(options_, true);
  // Bounds what a publish made during a reconnection can hold.
  if (status == NATS_OK) {
    status = natsOptions_SetReconnectBufSize(options_, static_cast<int>(2 * link.maxMessage));
  }
  if (status == NATS_OK) status = natsOptions_SetDisconnectedCB(options_, OnDisconnected, this);
  if (status == NATS_OK) status = natsOptions_SetReconnectedCB(options_, OnReconnected, this);
  if (status == NATS_OK) status = natsOptions_SetClosedCB(options_, OnClosed, this);
  if (status != NATS_OK) {
    *error = std::string(step) + ": " + LastError(status);
    return false;
  }
  return true;
}

void BridgeLink::Subscriptions(const std::vector<ExportSettings>& exports, uint32_t masks[9]) {
  for (const ExportSettings& settings : exports) {
    if (!settings.source.empty()) {
      masks[0] |= EventQueuedKey(MEDIA_EVENT_TYPE);
      continue;
    }
    // Every key whose fixed bits are the export's: the Core delivers a
    // superset, and Write picks the events out exactly.
    uint32_t key = EventQueuedKey(settings.type | ~settings.mask);
    for (int k = 0; k < 8; k++) {
      if ((settings.flags & EVENT_FLAG_MASK(k)) != 0) masks[k] |= key;
    }
    if ((settings.flags & EVENT_FLAG_MASK8) != 0) masks[8] |= key;
  }
}

void BridgeLink::Start() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = false;
  }
  worker_ = std::thread([this] { Run(); });
}

void BridgeLink::Stop() {
  std::vector<uint32_t> streams;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    streams = serving_;
  }
  wake_.notify_all();
  for (auto& import : imports_) {
    if (import->media != nullptr) import->media->Stop();
  }
  // A Serve call waiting on a stream's gate wakes when the stream is stopped.
  for (uint32_t stream : streams) {
    (void)plugin_common::PostRecord(post_, 0, stream, EVENT_STOP_STREAM, 0, nullptr, 0);
  }
  if (worker_.joinable()) worker_.join();  // it leaves with the connection closed
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (!wake_.wait_for(hold, kStopWait, [&] { return receiving_ == 0 && reads_ == 0; })) {
      log_.Warning("still waiting for streams and messages to end");
      wake_.wait(hold, [&] { return receiving_ == 0 && reads_ == 0; });
    }
  }
  if (options_ != nullptr) natsOptions_Destroy(options_);
  options_ = nullptr;
}

bool BridgeLink::Write(const WriteRequest* event) {
  if (event->source == id_) return false;  // imported here: never sent back out
  bool keep = false;
  std::vector<Item> items;
  for (auto& target : exports_) {
    const ExportSettings& settings = target->settings;
    if (!settings.source.empty()) {
      if (event->type != MEDIA_EVENT_TYPE || event->stream != target->stream) continue;
      Item item;
      item.target = target.get();
      item.kept = event->payload;
      item.size = event->payloadSize;
      items.push_back(std::move(item));
      keep = event->payload != nullptr;
      if (!keep) items.pop_back();
      continue;
    }
    if ((event->type & settings.mask) != (settings.type & settings.mask) ||
        (event->flags & settings.flags) == 0 || event->stream != 0) {
      continue;
    }
    Item item;
    item.target = target.get();
    const uint8_t* payload = static_cast<const uint8_t*>(event->payload);
    if (payload != nullptr) item.copy.assign(payload, payload + event->payloadSize);
    item.size = static_cast<uint32_t>(item.copy.size());
    MediaPut32(item.extra, event->type);
    MediaPut32(item.extra + 4, event->flags);
    memcpy(item.extra + 8, event->body, sizeof(event->body));
    items.push_back(std::move(item));
  }
  if (items.empty()) return false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) return false;
    for (Item& item : items) {
      if (item.kept == nullptr) {
        if (queue_.size() >= kMostQueuedEvents ||
            queuedEventBytes_ + item.size > 2 * size_t{settings_.maxMessage}) {
          item.target->counters.dropped++;
          item.target->sequence++;  // receivers see the loss as a gap
          continue;
        }
        queuedEventBytes_ += item.size;
      }
      queue_.push_back(std::move(item));
    }
  }
  wake_.notify_all();
  return keep;
}

void BridgeLink::RequestSources() {
  {
    std::unique_lock<std::mutex> hold(lock_);
    // Pull no source before there is a broker to send it to.
    wake_.wait(hold, [&] { return stopping_ || everConnected_; });
    if (stopping_) return;
    reads_++;
  }
  for (auto& target : exports_) {
    if (target->settings.source.empty()) continue;
    // A start request: answered by Read calls, not by its result.
    const std::string& name = target->settings.source;
    (void)plugin_common::PostRecord(post_, 0, target->stream, MEDIA_EVENT_FLAGS, MEDIA_EVENT_TYPE,
                                    name.data(), static_cast<uint32_t>(name.size()));
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    reads_--;
  }
  wake_.notify_all();
}

void BridgeLink::Serve(const std::string& name, uint32_t stream) {
  MediaImport* media = nullptr;
  for (auto& import : imports_) {
    if (import->media != nullptr && import->media->Offer() == name) media = import->media.get();
  }
  if (media == nullptr) return;  // another producer's, perhaps
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) return;
    reads_++;
    serving_.push_back(stream);
  }
  media->Serve(post_, id_, stream);
  {
    std::lock_guard<std::mutex> hold(lock_);
    reads_--;
    serving_.erase(std::find(serving_.begin(), serving_.end(), stream));
  }
  wake_.notify_all();
}

void BridgeLink::Run() {
  int pause = kFirstPauseSeconds;
  Clock::time_point nextConnect = Clock::now();
  Clock::time_point nextMetrics = Clock::now() + std::chrono::seconds(1);
  std::unique_lock<std::mutex> hold(lock_);
  while (!stopping_) {
    if (closed_) {
      // The client gave the connection up (refused on a reconnection, say):
      // start again from the beginning.
      closed_ = false;
      hold.unlock();
      Disconnect();
      hold.lock();
      continue;
    }
    if (connection_ == nullptr && Clock::now() >= nextConnect) {
      hold.unlock();
      bool connected = Connect();
      hold.lock();
      if (connected) {
        pause = kFirstPauseSeconds;
        everConnected_ = true;
        wake_.notify_all();
      } else {
        nextConnect = Clock::now() + std::chrono::seconds(pause);
        pause = std::min(pause * 2, kLongestPauseSeconds);
      }
      continue;
    }
    Clock::time_point until = nextMetrics;
    if (connection_ == nullptr) until = std::min(until, nextConnect);
    wake_.wait_until(hold, until, [&] { return stopping_ || closed_ || !queue_.empty(); });
    while (!queue_.empty()) {
      Item item = std::move(queue_.front());
      queue_.pop_front();
      if (item.kept == nullptr) queuedEventBytes_ -= item.size;
      hold.unlock();  // publishing may wait on the socket
      Publish(&item);
      hold.lock();
    }
    if (Clock::now() >= nextMetrics) {
      hold.unlock();
      PostMetrics();
      hold.lock();
      nextMetrics = Clock::now() + std::chrono::seconds(1);
    }
  }
  std::deque<Item> left;
  left.swap(queue_);
  queuedEventBytes_ = 0;
  hold.unlock();
  for (Item& item : left) {
    if (item.kept != nullptr) Release(item.kept);
  }
  PostMetrics();  // the final counts
  Disconnect();
}

bool BridgeLink::Connect() {
  natsConnection* nc = nullptr;
  natsStatus status = natsConnection_Connect(&nc, options_);
  std::string servers;
  for (const std::string& server : settings_.servers) {
    servers += (servers.empty() ? "" : ", ") + server;
  }
  if (status != NATS_OK) {
    std::string why = LastError(status);
    std::string line;
    if (status == NATS_CONNECTION_AUTH_FAILED || why.find("Authorization") != std::string::npos ||
        why.find("Authentication") != std::string::npos) {
      line = "the broker at " + servers + " " + kRefusedText + " (" + why + ")";
    } else {
      line = std::string(kUnreachableText) + " at " + servers + " (" + why + ")";
    }
    // Said once, then again only when the reason changes or every ten
    // minutes: the attempts go on as long as the server runs.
    Clock::time_point now = Clock::now();
    if (line != lastConnectFault_ || now - lastConnectLog_ >= kConnectFaultRepeat) {
      log_.Error("%s; the bridge stays idle and tries again", line.c_str());
      lastConnectFault_ = line;
      lastConnectLog_ = now;
    }
    return false;
  }
  lastConnectFault_.clear();
  for (auto& import : imports_) {
    natsStatus subscribed = natsConnection_Subscribe(
        &import->subscription, nc, import->settings.subject.c_str(), OnMessage, import.get());
    if (subscribed == NATS_OK) {
      // What waits for our callbacks stays bounded; beyond it the client
      // drops, and the metrics count it.
      int bytes = static_cast<int>(std::min<uint64_t>(8ull * settings_.maxMessage, 1u << 30));
      subscribed = natsSubscription_SetPendingLimits(import->subscription, 4096, bytes);
    }
    if (subscribed != NATS_OK) {
      log_.Error("import %s: cannot subscribe to %s: %s", import->settings.name.c_str(),
                 import->settings.subject.c_str(), LastError(subscribed).c_str());
    }
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    live_ = nc;
  }
  connection_ = nc;
  connected_ = true;
  char url[256] = "";
  (void)natsConnection_GetConnectedUrl(nc, url, sizeof(url));  // empty on failure
  log_.Info("%s %s", kConnectedText, url);
  return true;
}

void BridgeLink::Disconnect() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    live_ = nullptr;
  }
  connected_ = false;
  for (auto& import : imports_) {
    if (import->subscription == nullptr) continue;
    (void)natsSubscription_Unsubscribe(import->subscription);  // fails only when closed already
    natsSubscription_Destroy(import->subscription);
    import->subscription = nullptr;
  }
  if (connection_ == nullptr) return;
  natsConnection_Close(connection_);
  natsConnection_Destroy(connection_);
  connection_ = nullptr;
}

void BridgeLink::Publish(Item* item) {
  Export* target = item->target;
  if (item->kept != nullptr) {
    if (!PublishMedia(target, *item)) target->waiting = true;
    Release(item->kept);
    return;
  }
  uint64_t sequence = target->sequence++;
  if (!connected_ || connection_ == nullptr) {
    target->counters.dropped++;
    return;
  }
  WriteMessage(&scratch_, Kind::kEvent, origin_, sequence, item->extra, kEventExtraSize,
               item->copy.data(), item->size);
  natsStatus status = natsConnection_Publish(connection_, target->settings.subject.c_str(),
                                             scratch_.data(), static_cast<int>(scratch_.size()));
  if (status != NATS_OK) {
    target->counters.dropped++;
    LogLimited("export " + target->settings.name + ": " + LastError(status));
    return;
  }
  target->counters.published++;
}

bool BridgeLink::PublishMedia(Export* target, const Item& item) {
  MediaPacket packet;
  if (MediaRead(item.kept, item.size, &packet) != MEDIA_OK) {
    target->counters.dropped++;  // not a media payload: nothing a receiver could use
    return true;
  }
  if (packet.capsSize != 0) target->caps.assign(packet.caps, packet.capsSize);
  uint64_t sequence = target->sequence++;
  bool keyframe = (packet.flags & MEDIA_FLAG_KEYFRAME) != 0;
  bool end = (packet.flags & MEDIA_FLAG_END_OF_STREAM) != 0;
  if (!connected_ || connection_ == nullptr || (target->waiting && !keyframe && !end)) {
    target->counters.dropped++;
    return false;
  }
  // A keyframe takes the caps along, so that a receiver that joins now can
  // start there; the payload itself goes unchanged.
  bool caps = keyframe && packet.capsSize == 0 && !target->caps.empty();
  WriteMessage(&scratch_, Kind::kMedia, origin_, sequence, caps ? target->caps.data() : nullptr,
               caps ? static_cast<uint32_t>(target->caps.size()) : 0u, item.kept, item.size);
  if (scratch_.size() > settings_.maxMessage) {
    target->counters.dropped++;
    LogLimited("export " + target->settings.name + ": a message of " +
               std::to_string(scratch_.size()) + " bytes is over max-message; dropped");
    return false;
  }
  natsStatus status = natsConnection_Publish(connection_, target->settings.subject.c_str(),
                                             scratch_.data(), static_cast<int>(scratch_.size()));
  if (status != NATS_OK) {
    target->counters.dropped++;
    LogLimited("export " + target->settings.name + ": " + LastError(status) + "; dropped");
    return false;
  }
  target->counters.published++;
  target->waiting = false;
  return true;
}

void BridgeLink::Release(void* payload) {
  (void)plugin_common::PostRecord(post_, id_, 0, EVENT_RELEASE, 0, payload, 0);  // always POST_OK
}

void BridgeLink::OnMessage(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* closure) {
  (void)nc;
  (void)sub;
  Import* import = static_cast<Import*>(closure);
  BridgeLink* link = import->link;
  {
    std::lock_guard<std::mutex> hold(link->lock_);
    if (link->stopping_) {
      natsMsg_Destroy(msg);
      return;
    }
    link->receiving_++;
  }
  link->Receive(import, msg);
  {
    std::lock_guard<std::mutex> hold(link->lock_);
    link->receiving_--;
  }
  link->wake_.notify_all();
}

void BridgeLink::Receive(Import* import, natsMsg* msg) {
  MessageRef ref(msg, natsMsg_Destroy);
  SubjectCounters& counters = import->counters;
  counters.received++;
  const ImportSettings& settings = import->settings;
  int length = natsMsg_GetDataLength(msg);
  const char* subject = natsMsg_GetSubject(msg);
  std::string where = subject != nullptr ? subject : settings.subject;
  if (length < 0 || static_cast<uint64_t>(length) > settings_.maxMessage) {
    counters.malformed++;
    LogLimited("import " + settings.name + ": dropped an oversized message (" +
               std::to_string(length) + " bytes) on " + where);
    return;
  }
  Message message;
  Fault fault = ReadMessage(natsMsg_GetData(msg), static_cast<size_t>(length), &message);
  bool media = import->media != nullptr;
  if (fault == Fault::kOk && (message.kind == Kind::kMedia) != media) fault = Fault::kKind;
  if (fault != Fault::kOk) {
    counters.malformed++;
    LogLimited("import " + settings.name + ": " + kMalformedText + " " + where + ": " +
               FaultText(fault));
    return;
  }
  bool gap = false;
  {
    std::lock_guard<std::mutex> hold(import->seen);
    auto key = std::make_pair(message.origin, where);
    auto found = import->next.find(key);
    if (found != import->next.end() && message.sequence > found->second) {
      counters.lost += message.sequence - found->second;
      gap = true;
    }
    if (found == import->next.end() && import->next.size() >= kMostOrigins) import->next.clear();
    import->next[key] = message.sequence + 1;
  }
  if (media) {
    import->media->Take(ref, message, gap);
    return;
  }
  uint32_t type = settings.ownType ? settings.type : MediaGet32(message.extra);
  uint32_t flags =
      (settings.ownFlags ? settings.flags : MediaGet32(message.extra + 4)) & kPostableFlags;
  if (plugin_common::PostRecord(post_, id_, 0, flags, type, message.payload, message.payloadSize,
                                message.extra + 8) != POST_OK) {
    counters.dropped++;
  }
}

void BridgeLink::OnDisconnected(natsConnection* nc, void* closure) {
  (void)nc;
  BridgeLink* link = static_cast<BridgeLink*>(closure);
  bool was = link->connected_.exchange(false);
  std::lock_guard<std::mutex> hold(link->lock_);
  if (was && !link->stopping_ && link->live_ == nc) {
    link->log_.Warning(
        "lost the broker; reconnecting, and dropping exported media until it is back");
  }
}

void BridgeLink::OnReconnected(natsConnection* nc, void* closure) {
  BridgeLink* link = static_cast<BridgeLink*>(closure);
  link->reconnects_++;
  link->connected_ = true;
  char url[256] = "";
  (void)natsConnection_GetConnectedUrl(nc, url, sizeof(url));
  link->log_.Info("re%s %s", kConnectedText, url);
}

void BridgeLink::OnClosed(natsConnection* nc, void* closure) {
  BridgeLink* link = static_cast<BridgeLink*>(closure);
  {
    std::lock_guard<std::mutex> hold(link->lock_);
    if (link->live_ != nc) return;  // closed by us
    link->closed_ = true;
  }
  link->connected_ = false;
  link->wake_.notify_all();
}

int64_t BridgeLink::ReconnectDelay(natsConnection* nc, int attempts, void* closure) {
  (void)nc;
  (void)closure;
  int shift = std::min(std::max(attempts, 1) - 1, 6);
  return std::min<int64_t>(int64_t{100} << shift, kLongestReconnectMs);
}

void BridgeLink::LogLimited(const std::string& text) {
  uint64_t unlogged;
  {
    std::lock_guard<std::mutex> hold(lock_);
    Clock::time_point now = Clock::now();
    if (lastLimitedLog_.time_since_epoch().count() != 0 &&
        now - lastLimitedLog_ < std::chrono::seconds(1)) {
      limitedUnlogged_++;
      return;
    }
    lastLimitedLog_ = now;
    unlogged = limitedUnlogged_;
    limitedUnlogged_ = 0;
  }
  if (unlogged == 0) {
    log_.Warning("%s", text.c_str());
  } else {
    log_.Warning("%s (and %llu more since the last such line)", text.c_str(),
                 static_cast<unsigned long long>(unlogged));
  }
}

void BridgeLink::PostMetrics() {
  struct Family {
    const char* name;
    const char* help;
    std::atomic<uint64_t> SubjectCounters::*field;
    bool exports, imports;  // which have the counter
  };
  static const Family kFamilies[] = {
      {"published", "Messages published to NATS.", &SubjectCounters::published, true, false},
      {"received", "Messages received from NATS.", &SubjectCounters::received, false, true},
      {"dropped", "Messages dropped: broker away, queues full, posts refused.",
       &SubjectCounters::dropped, true, true},
      {"lost", "Messages missing from the senders' sequences.", &SubjectCounters::lost, false,
       true},
      {"malformed", "Messages refused as malformed or oversized.", &SubjectCounters::malformed,
       false, true},
  };
  std::string block;
  for (const Family& family : kFamilies) {
    if ((!family.exports || exports_.empty()) && (!family.imports || imports_.empty())) continue;
    std::string name = std::string("ombrevard_bridge_messages_") + family.name + "_total";
    block += "# HELP " + name + " " + family.help + "\n# TYPE " + name + " counter\n";
    for (auto& target : exports_) {
      if (!family.exports) break;
      block += name + "{direction=\"export\",subject=\"" + Label(target->settings.subject) +
               "\"} " + std::to_string((target->counters.*family.field).load()) + "\n";
    }
    for (auto& import : imports_) {
      if (!family.imports) break;
      uint64_t value = (import->counters.*family.field).load();
      int64_t slow = 0;
      if (family.field == &SubjectCounters::dropped && import->subscription != nullptr &&
          natsSubscription_GetDropped(import->subscription, &slow) == NATS_OK) {
        value += static_cast<uint64_t>(slow);  // dropped by the client: we were too slow
      }
      block += name + "{direction=\"import\",subject=\"" + Label(import->settings.subject) +
               "\"} " + std::to_string(value) + "\n";
    }
  }
  block +=
      "# HELP ombrevard_bridge_reconnects_total Reconnections to the broker.\n"
      "# TYPE ombrevard_bridge_reconnects_total counter\n"
      "ombrevard_bridge_reconnects_total " +
      std::to_string(reconnects_.load()) +
      "\n# HELP ombrevard_bridge_connected 1 while connected to the broker.\n"
      "# TYPE ombrevard_bridge_connected gauge\n"
      "ombrevard_bridge_connected " +
      std::string(connected_ ? "1" : "0") + "\n";
  (void)plugin_common::PostPluginMetrics(post_, id_, block);  // nobody may be listening
}

}  // namespace bridge
