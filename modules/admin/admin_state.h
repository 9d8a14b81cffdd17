// AdminState: what the admin plug-in has heard on the bus, shared between the
// delivery thread (which only adds to it) and the HTTP threads (which read
// copies of it).
//
// The delivery thread's share is small and bounded: two relaxed counters per
// event, and now and then (at most kSamplesPerSecond times a second, plus
// every text notice) one entry in a ring of kTailSize entries. Readers of the
// live tail follow the ring by sequence number; one that falls a whole ring
// behind has lost entries and is told so, never queued for. Metrics blocks of
// other plug-ins and the module status document are copied whole (the latest
// of each), as they come about once a second and once per start.
//
// Threads: every member is safe from any thread.
#ifndef MODULES_ADMIN_ADMIN_STATE_H_
#define MODULES_ADMIN_ADMIN_STATE_H_

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace admin {

// One entry of the live tail: a text notice, or a sampled event.
struct TailEntry {
  uint64_t sequence = 0;
  int64_t wallMs = 0;  // when it was heard, ms since the epoch
  bool notice = false;
  uint32_t source = 0;
  uint32_t stream = 0;
  uint32_t flags = 0;
  uint32_t type = 0;  // 0 for events that came by IOCTL (their type is not handed over)
  uint32_t size = 0;
  std::string text;  // the notice's text
};

// The latest metrics block of one plug-in.
struct MetricsBlock {
  std::string text;
  uint64_t version = 0;  // counts the blocks received from this source
};

class AdminState {
 public:
  static constexpr size_t kTailSize = 512;
  static constexpr int kSamplesPerSecond = 20;
  static constexpr size_t kNoticesKept = 20;
  static constexpr size_t kLargestBlock = 64 * 1024;
  static constexpr size_t kMostBlockSources = 64;

  // Forgets everything; a Core started again in this process starts afresh.
  void Reset();
  // Wakes every tail reader for good, until the next Reset.
  void Stop();

  // Delivery thread. Any event delivered to the plug-in.
  void Heard(uint32_t source, uint32_t stream, uint32_t flags, uint32_t type, uint32_t size);
  void Notice(uint32_t source, const char* text, size_t length);
  void ModuleStatus(const char* text, size_t length);
  // Keeps `text` as the latest block of `source`; false when it is too large
  // or too many sources send blocks (it is then dropped).
  bool PluginMetrics(uint32_t source, const char* text, size_t length);

  uint64_t EventsHeard() const { return eventsHeard_.load(std::memory_order_relaxed); }
  uint64_t BytesHeard() const { return bytesHeard_.load(std::memory_order_relaxed); }
  int64_t OpenedMs() const;  // monotonic ms at the last Reset
  std::string StatusDocument() const;
  std::deque<TailEntry> Notices() const;
  std::map<uint32_t, MetricsBlock> Blocks() const;

  // Tail readers. The sequence number the next entry will get, less up to
  // `backlog` entries still in the ring.
  uint64_t TailStart(size_t backlog) const;
  enum class Wait { kEntries, kTimedOut, kLapped, kStopped };
  // Waits up to `milliseconds` for entries from `*next` on; copies them into
  // `out` and moves `*next` past them.
  Wait Follow(uint64_t* next, std::vector<TailEntry>* out, int milliseconds);

  // Tail readers count themselves in and out, and count the ones dropped.
  bool AddReader(size_t most);
  void RemoveReader(bool dropped);
  size_t Readers() const;
  uint64_t ReadersDropped() const;

 private:
  void Append(TailEntry entry);  // lock_ held

  std::atomic<uint64_t> eventsHeard_{0};
  std::atomic<uint64_t> bytesHeard_{0};
  std::atomic<int64_t> nextSampleMs_{0};  // coarse monotonic ms before which events are not sampled

  mutable std::mutex lock_;
  std::condition_variable appended_;
  bool stopped_ = false;                     // guarded by lock_
  int64_t openedMs_ = 0;                     // guarded by lock_
  std::vector<TailEntry> ring_;              // guarded by lock_; kTailSize once used
  uint64_t nextSequence_ = 0;                // guarded by lock_
  std::deque<TailEntry> notices_;            // guarded by lock_; the latest kNoticesKept
  std::string statusDocument_;               // guarded by lock_
  std::map<uint32_t, MetricsBlock> blocks_;  // guarded by lock_
  size_t readers_ = 0;                       // guarded by lock_
  uint64_t readersDropped_ = 0;              // guarded by lock_
};

// Milliseconds of the monotonic clock, and of the wall clock.
int64_t MonotonicMs();
int64_t WallMs();

}  // namespace admin

#endif  // MODULES_ADMIN_ADMIN_STATE_H_
