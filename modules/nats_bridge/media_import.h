// MediaImport: one [import NAME] of nats_bridge.so that offers a media
// source, fed from a NATS subject, to any number of local consumers.
//
// The NATS client's delivery thread hands each checked message to Take,
// which queues it for every consumer; each consumer's Read thread (Serve)
// posts its queue on its stream. A consumer starts at a keyframe once the
// stream's caps are known (from a payload or from the caps the exporter sends
// with its keyframes); when a payload it is given does not carry caps it has
// not had yet, they are written into that payload, flagged as changed, so it
// can set itself up. After a loss (a gap in the sequence, a full queue, a refused post) it
// waits for the next keyframe again. Every other payload is posted byte for
// byte as it arrived. Queues are short and hold references to the client's
// messages, so a slow consumer costs bounded memory and never holds the
// others back.
//
// Threads: Take on the client's delivery thread for the subject; Serve on
// Read threads, any number at once; Stop on the main thread. Shared state is
// guarded by `lock_`.
#ifndef MODULES_NATS_BRIDGE_MEDIA_IMPORT_H_
#define MODULES_NATS_BRIDGE_MEDIA_IMPORT_H_

#include <nats/nats.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "core/plugin_api.h"
#include "modules/nats_bridge/bridge_message.h"

namespace bridge {

// Counters of one subject for the metrics; bumped on any thread.
struct SubjectCounters {
  std::atomic<uint64_t> published{0};
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> dropped{0};
  std::atomic<uint64_t> lost{0};       // missing from the sequence
  std::atomic<uint64_t> malformed{0};  // refused as malformed or oversized
};

using MessageRef = std::shared_ptr<natsMsg>;

class MediaImport {
 public:
  // `counters` borrowed; outlives this object.
  MediaImport(const std::string& offer, SubjectCounters* counters)
      : offer_(offer), counters_(counters) {}
  MediaImport(const MediaImport&) = delete;
  MediaImport& operator=(const MediaImport&) = delete;

  const std::string& Offer() const { return offer_; }

  // A checked media message (pointers into `ref`'s data); `gap`: messages
  // were lost just before it.
  void Take(const MessageRef& ref, const Message& message, bool gap);
  // Posts the import's payloads on `stream` as `source` until the consumer
  // stops the stream, the stream ends, or Stop is called.
  void Serve(PostEventFunction post, uint32_t source, uint32_t stream);
  // Every Serve call returns soon; later ones return at once.
  void Stop();

 private:
  struct Entry {
    MessageRef ref;
    const uint8_t* payload;  // into ref's data
    uint32_t size;
    bool end;
    std::string caps;  // to be written into the payload; empty: post it as it is
  };
  struct Consumer {
    std::deque<Entry> queue;
    size_t bytes = 0;     // of the payloads in queue
    bool waiting = true;  // for a keyframe
    std::string caps;     // the caps it has been given
    bool started = false;
  };

  const std::string offer_;
  SubjectCounters* const counters_;
  std::mutex lock_;
  std::condition_variable wake_;    // stopping_ or a queue changed
  bool stopping_ = false;           // guarded by lock_
  std::string caps_;                // guarded by lock_: the stream's latest caps
  std::list<Consumer*> consumers_;  // guarded by lock_; each lives in its Serve call
};

}  // namespace bridge

#endif  // MODULES_NATS_BRIDGE_MEDIA_IMPORT_H_
