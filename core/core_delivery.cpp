// Delivery: the event handler's pass over the queue and the direct dispatch
// of stream start requests to producers' Read calls.
#include <sched.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "core/core.h"

namespace {

// Tells the processor the thread is spinning on a word another CPU writes.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  asm volatile("" ::: "memory");
#endif
}

// The subscription masks that a record's flags select, found once per
// record rather than once per plug-in.
struct MaskSelection {
  int count = 0;
  int index[PLUGIN_SUBSCRIPTION_MASKS];

  explicit MaskSelection(uint32_t flags) {
    for (int k = 0; k < 8; k++) {
      if ((flags & (1u << k)) != 0) index[count++] = k;
    }
    if ((flags & EVENT_FLAG_MASK8) != 0) index[count++] = 8;
  }
};

// True when one of the selected masks holds every bit of `key`.
inline bool Matches(const uint32_t* subscriptionMask, const MaskSelection& masks, uint32_t key) {
  for (int i = 0; i < masks.count; i++) {
    if ((key & subscriptionMask[masks.index[i]]) == key) return true;
  }
  return false;
}

// True when one of the masks that `flags` selects holds every bit of `key`.
bool Matches(const PluginDescriptor& descriptor, uint32_t flags, uint32_t key) {
  return Matches(descriptor.subscriptionMask, MaskSelection(flags), key);
}

}  // namespace

// Gives back the chunk delivered last, if any, and takes the oldest chunk of
// the queue: up to kDeliveryBatch records, in posting order. Null when the
// queue was empty; with sleepIfEmpty the handler then waits for the next
// append to wake it.
EventQueue::Chunk* Core::TakeEvents(EventQueue::Chunk* done, bool sleepIfEmpty) {
  int cpu = sched_getcpu();
  ScopedLock hold(&queueLock);
  handlerCpu = cpu;
  if (done != nullptr) queue.Recycle(done);
  EventQueue::Chunk* chunk = queue.TakeChunk();
  if (chunk == nullptr) {
    handlerAsleep = sleepIfEmpty;
    return nullptr;
  }
  queuedBytes -= chunk->weight;
  bytesSinceYield += chunk->weight;
  lastTakeSmall = chunk->weight * kDeliveryBatch <= kSmallChunkBytes * chunk->size();
  Bump(queueTaken, chunk->size());
  return chunk;
}  // Callers deliver the records after this returns, with no lock held.

// Returns the chunk's undelivered records (from its begin on) to the front of
// the queue, for the discard at stop to account for.
void Core::PutBack(EventQueue::Chunk* chunk) {
  uint64_t weight = 0;
  for (size_t i = chunk->begin; i < chunk->end; i++) weight += QueuedCost(chunk->values[i].record);
  chunk->weight = weight;
  ScopedLock hold(&queueLock);
  queuedBytes += weight;
  queueTaken.store(queueTaken.load(std::memory_order_relaxed) - chunk->size(),
                   std::memory_order_relaxed);
  queue.PutBack(chunk);
}

// Event handler thread, with the queue found empty: spins a moment for the
// next post before it lets itself be put to sleep. While a producer posts from
// another CPU its next post is mostly a microsecond or two away, and catching
// it spares the poster the system call that wakes a sleeper and the handler
// the one that sleeps. A spin that finds nothing halves the next one, so a
// quiet server, or one whose producer shares the handler's CPU, soon stops
// spinning; it then tries the whole spin once in kLingerRetry times.
bool Core::PostArrivesSoon() {
  int pauses = linger.Next(kLingerPauses);
  uint64_t seen = postsQueued.load(std::memory_order_relaxed);
  for (int i = 0; i < pauses; i++) {
    CpuRelax();
    uint64_t now = postsQueued.load(std::memory_order_relaxed);
    if (now != seen) {
      linger.length = kLingerPauses;
      LetPostsGather(now);
      return true;
    }
  }
  linger.length = pauses / 2;
  return PostArrivesAfterYield(seen) || PostArrivesDuringNap(seen);
}

// Event handler thread, a post just caught while spinning. A poster on another
// CPU whose every record the handler takes at once is slowed by the taking:
// the queue's lock and its newest chunk move to the handler's CPU and back for
// each record or two. Waiting a few microseconds, touching nothing the poster
// writes, lets the records gather, and one take then moves them all. The wait
// doubles (up to kGatherPauses) while more posts come during it and halves
// when none do, as when the poster waits for each delivery; it is tried again
// once in kLingerRetry times. A record on a stream is taken at once: its
// poster waits for the delivery before it posts the stream's next payload.
// At its longest, with small records, the wait is a nap: posts then keep
// coming faster than the handler takes them, and pausing through the wait
// would only burn its CPU. The nap lets more gather, at the cost of some
// microseconds more before each take while the flood lasts.
void Core::LetPostsGather(uint64_t seen) {
  if (lastPostOnStream.load(std::memory_order_relaxed)) return;
  int pauses = gather.Next(kGatherFirst);
  if (pauses == 0) return;
  bool more;
  if (pauses == kGatherPauses && lastTakeSmall) {
    more = PostsCameDuringNap(seen);
  } else {
    for (int i = 0; i < pauses; i++) CpuRelax();
    more = postsQueued.load(std::memory_order_relaxed) != seen;
  }
  gather.length = more ? std::min(2 * pauses, kGatherPauses) : pauses / 2;
}

// Event handler thread, the spin over: when the last post came from this very
// CPU, its poster cannot post while the handler holds the CPU, and a sleep
// would end at its next post, with a wake-up that hands the CPU back for a
// record or two. The handler gives the CPU up instead; the poster posts on
// and hands it back at the end of its turn (kTurnRecords). True when posts
// came meanwhile. A handler whose last poster ran elsewhere sleeps at once.
// A yield that brings no post (the poster had nothing more to post) costs
// the next wake-up its promptness, so after one the handler yields again only
// once it has delivered a burst (kBurstBytes) since, or once in kLingerRetry
// times.
bool Core::PostArrivesAfterYield(uint64_t seen) {
  bool burst = bytesSinceYield >= kBurstBytes;
  bytesSinceYield = 0;
  int cpu = sched_getcpu();
  if (cpu < 0 || cpu != lastPosterCpu.load(std::memory_order_relaxed)) return false;
  if (!burst && yielding.Next(1) == 0) return false;
  sched_yield();
  bool paid = postsQueued.load(std::memory_order_relaxed) != seen;
  yielding.length = paid ? 1 : 0;
  return paid;
}

// Event handler thread, the spin over and no yield made, with large records
// taken last: their producer posts the next a copy's time after the last,
// tens of microseconds, beyond any spin, and waking a sleeping handler would
// cost it a system call worth a good part of that time. The handler sleeps
// about that long on a timer instead, without marking itself asleep, and
// takes what came meanwhile; if nothing came it sleeps until woken, and
// naps again only after a nap that paid, or once in kLingerRetry times. A
// record on a stream is not napped for: its poster waits for the delivery.
bool Core::PostArrivesDuringNap(uint64_t seen) {
  if (lastTakeSmall || lastPostOnStream.load(std::memory_order_relaxed)) return false;
  if (napping.Next(1) == 0) return false;
  bool paid = PostsCameDuringNap(seen);
  napping.length = paid ? 1 : 0;
  return paid;
}

// Event handler thread: sleeps kNapNanoseconds; true when posts came
// meanwhile.
bool Core::PostsCameDuringNap(uint64_t seen) {
  struct timespec nap = {0, kNapNanoseconds};
  nanosleep(&nap, nullptr);
  return postsQueued.load(std::memory_order_relaxed) != seen;
}

// Event handler thread. Takes no lock while a plug-in runs.
void Core::DeliverQueue() {
  int64_t endBy = 0;  // monotonic milliseconds; set once Stop has asked
  EventQueue::Chunk* chunk = nullptr;
  for (;;) {
    chunk = TakeEvents(chunk, false);
    if (chunk == nullptr) {
      if (PostArrivesSoon()) continue;
      chunk = TakeEvents(nullptr, true);
      if (chunk == nullptr) break;
    }
    while (chunk->begin < chunk->end) {
      const QueuedEvent& event = chunk->values[chunk->begin++];
      const EventRecord& record = event.record;
      // The Core's own hold: releases during the pass cannot free the payload.
      payloadRefs.HoldForDelivery(record.payload);
      uint32_t key = EventQueuedKey(record.type);
      // Built once; every sink gets a fresh copy, whatever the one before
      // did to its own.
      auto writeRequest = MakePluginBlock<WriteRequest>();
      memcpy(&writeRequest.payloadSize, &record.payloadSize,
             sizeof(EventRecord) - offsetof(EventRecord, payloadSize));
      if ((record.flags & (EVENT_FLAG_OTHERS | EVENT_FLAG_ALL)) == 0) {
        // The common case: Write to the sinks whose masks match.
        MaskSelection masks(record.flags);
        for (const SinkEntry& sink : sinks) {
          if (Matches(sink.subscriptionMask, masks, key)) {
            CallWrite(*sink.plugin, sink.write, record, writeRequest);
          }
        }
      } else {
        for (PluginRecord& plugin : plugins) {
          if (plugin.library != nullptr) DeliverTo(plugin, record, key, writeRequest);
        }
      }
      // Told before the delivery hold ends, which lets a release free the
      // payload: from then on the stream's gate waits for a release.
      if (event.stream != nullptr && payloadRefs.KeptDuringDelivery()) {
        streamTable.MarkKept(event.stream, record.payload);
      }
      if (payloadRefs.EndDelivery(record.payload)) {
        FreePayload(record.payload, record.payloadSize, event.stream);
      }
      // The clock is read only once a stop is under way.
      if (deliveryEnding.load(std::memory_order_relaxed)) {
        int64_t now = MonotonicMilliseconds();
        if (endBy == 0) endBy = now + kStopDeliveryMilliseconds;
        if (now >= endBy) {
          PutBack(chunk);
          deliveryWatch.Leave();
          return;
        }
      }
    }
  }
  deliveryWatch.Leave();
}

// Event handler thread. Each call is published for the stall watchdog and
// counted in the plug-in's record, with plain stores: this thread is their
// only writer. The watchdog's word shows a call until the next one, or until
// the pass ends (the count tells it the call has returned): between two calls
// of a pass the thread only does the Core's short bookkeeping, and one store
// per call is all the watchdog costs delivery.

// A delivery to one plug-in, whatever the record's flags ask.
void Core::DeliverTo(PluginRecord& plugin, const EventRecord& record, uint32_t key,
                     const WriteRequest& writeRequest) {
  const PluginDescriptor& descriptor = plugin.descriptor;
  uint32_t code = 0;
  if ((record.flags & EVENT_FLAG_OTHERS) != 0 && descriptor.id != record.source) {
    code = IOCTL_EVENT_OTHERS;
  } else if ((record.flags & EVENT_FLAG_ALL) != 0) {
    code = IOCTL_EVENT_ALL;
  }
  if (code == 0) {
    if (descriptor.eventSink != 0 && plugin.write != nullptr &&
        Matches(descriptor, record.flags, key)) {
      CallWrite(plugin, plugin.write, record, writeRequest);
    }
    return;
  }
  if (plugin.ioctl == nullptr) return;
  auto request = MakePluginBlock<IoctlRequest>();
  request.code = code;
  request.paramSize = IOCTL_PARAM_SIZE_EVENT;
  request.paramVersion = 1;
  request.payloadSize = record.payloadSize;
  request.payload = record.payload;
  auto reply = MakePluginBlock<IoctlReply>();
  reply.code = code;
  reply.paramSize = IOCTL_PARAM_SIZE_THREAD;
  reply.paramVersion = 1;
  payloadRefs.addRef(record.payload, descriptor.id);
  deliveryWatch.Enter(&plugin, StallWatch::kIoctl);
  (void)plugin.ioctl(&request, &reply);
  __atomic_store_n(&plugin.ioctls, plugin.ioctls + 1, __ATOMIC_RELAXED);
  EndCall(descriptor.id, record, reply.keep);
}

// One Write call of a delivery, with the plug-in's hold on the payload
// around it.
inline void Core::CallWrite(PluginRecord& plugin, PluginEntry write, const EventRecord& record,
                            const WriteRequest& writeRequest) {
  WriteRequest request = writeRequest;
  auto reply = MakePluginBlock<WriteReply>();
  payloadRefs.addRef(record.payload, plugin.descriptor.id);
  deliveryWatch.Enter(&plugin, StallWatch::kWrite);
  (void)write(&request, &reply);
  __atomic_store_n(&plugin.writes, plugin.writes + 1, __ATOMIC_RELAXED);
  EndCall(plugin.descriptor.id, record, reply.keep);
}

// After a plug-in's call: its hold ends, or stays if its reply kept the payload.
inline void Core::EndCall(uint32_t id, const EventRecord& record, uint32_t keep) {
  if (keep == 0) {
    (void)payloadRefs.dropRef(record.payload, id);  // the delivery hold remains
  } else {
    payloadRefs.Keep(record.payload, record.payloadSize, id);
  }
}

// Poster's thread. Every matching producer gets the request's Read on a
// thread of its own.
void Core::DispatchStreamStart(const EventRecord& event) {
  auto request = MakePluginBlock<ReadRequest>();
  request.ownThread = 1;
  if (event.payload != nullptr && event.payloadSize != 0) {
    request.payloadSize = event.payloadSize;
    request.payload = event.payload;  // each thread copies it before Launch returns
  }
  request.stream = event.stream;
  LaunchReads(request, &event);
}

// Scheduler thread, once at its start: every plug-in that asked for read
// threads gets a Read with nothing in it.
void Core::StartReadThreads() {
  auto request = MakePluginBlock<ReadRequest>();
  request.ownThread = 1;
  LaunchReads(request, nullptr);
}

// Walks the list under pluginsLock (it may be loading or closing meanwhile);
// starts threads but calls no entry point under it. With `event`, only the
// plug-ins whose masks match its direct key.
void Core::LaunchReads(const ReadRequest& request, const EventRecord* event) {
  uint32_t key = event != nullptr ? EventDirectKey(event->type) : 0;
  auto reply = MakePluginBlock<ReadReply>();
  ScopedLock hold(&pluginsLock);
  for (const PluginRecord& plugin : plugins) {
    if (plugin.library == nullptr || plugin.read == nullptr || plugin.descriptor.readThread == 0 ||
        plugin.calls->closing.load(std::memory_order_relaxed) || (event != nullptr && !Matches(plugin.descriptor, event->flags, key))) {
      continue;
    }
    (void)PluginThread::Launch(this, plugin.read, ENTRY_READ, &request, sizeof(request), &reply,
                               sizeof(reply), plugin.calls);
  }
}
