// Delivery: the event handler's pass over the queue and the direct dispatch
// of stream start requests to producers' Read calls.
#include <string.h>

#include "core/core.h"

namespace {

// True when one of the masks that `flags` selects holds every bit of `key`.
bool Matches(const PluginDescriptor& descriptor, uint32_t flags, uint32_t key) {
  for (int k = 0; k < 8; k++) {
    if ((flags & (1u << k)) != 0 && (key & descriptor.subscriptionMask[k]) == key) return true;
  }
  return (flags & EVENT_FLAG_MASK8) != 0 && (key & descriptor.subscriptionMask[8]) == key;
}

}  // namespace

bool Core::TakeNextEvent(QueuedEvent* out) {
  ScopedLock hold(&queueLock);
  if (queue.empty()) return false;
  *out = queue.front();
  queue.pop_front();
  queuedBytes -= QueuedCost(out->record);
  Bump(queueTaken);
  return true;
}  // Callers deliver *out after this returns, with no lock held.

// Event handler thread. Takes no lock while a plug-in runs.
void Core::DeliverQueue() {
  QueuedEvent event;
  const EventRecord& record = event.record;
  int64_t endBy = 0;  // monotonic milliseconds; set once Stop has asked
  while (TakeNextEvent(&event)) {
    // The Core's own hold: releases during the pass cannot free the payload.
    payloadRefs.HoldForDelivery(record.payload);
    uint32_t key = EventQueuedKey(record.type);
    for (PluginRecord& plugin : plugins) {
      if (plugin.library != nullptr) DeliverTo(plugin, record, key);
    }
    // Told before the delivery hold ends, which lets a release free the
    // payload: from then on the stream's gate waits for a release.
    if (event.stream != nullptr && payloadRefs.KeptDuringDelivery()) {
      streamTable.MarkKept(event.stream, record.payload);
    }
    if (payloadRefs.EndDelivery(record.payload)) FreePayload(record.payload, event.stream);
    // The clock is read only once a stop is under way.
    if (deliveryEnding.load(std::memory_order_relaxed)) {
      int64_t now = MonotonicMilliseconds();
      if (endBy == 0) endBy = now + kStopDeliveryMilliseconds;
      if (now >= endBy) break;
    }
  }
  deliveryWatch.Leave();
}

// Event handler thread. Publishes each call for the stall watchdog and counts
// it in the plug-in's record, with plain stores: this thread is their only
// writer. The watchdog's word shows a call until the next one, or until the
// pass ends (the count tells it the call has returned): between two calls of
// a pass the thread only does the Core's short bookkeeping, and one store
// per call is all the watchdog costs delivery.
void Core::DeliverTo(PluginRecord& plugin, const EventRecord& record, uint32_t key) {
  const PluginDescriptor& descriptor = plugin.descriptor;
  uint32_t code = 0;
  if ((record.flags & EVENT_FLAG_OTHERS) != 0 && descriptor.id != record.source) {
    code = IOCTL_EVENT_OTHERS;
  } else if ((record.flags & EVENT_FLAG_ALL) != 0) {
    code = IOCTL_EVENT_ALL;
  }
  uint32_t keep;
  if (code != 0) {
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
    keep = reply.keep;
  } else {
    if (descriptor.eventSink == 0 || plugin.write == nullptr ||
        !Matches(descriptor, record.flags, key)) {
      return;
    }
    auto request = MakePluginBlock<WriteRequest>();
    memcpy(&request.payloadSize, &record.payloadSize,
           sizeof(EventRecord) - offsetof(EventRecord, payloadSize));
    auto reply = MakePluginBlock<WriteReply>();
    payloadRefs.addRef(record.payload, descriptor.id);
    deliveryWatch.Enter(&plugin, StallWatch::kWrite);
    (void)plugin.write(&request, &reply);
    __atomic_store_n(&plugin.writes, plugin.writes + 1, __ATOMIC_RELAXED);
    keep = reply.keep;
  }
  if (keep == 0) {
    (void)payloadRefs.dropRef(record.payload, descriptor.id);  // the delivery hold remains
  } else {
    payloadRefs.Keep(record.payload, record.payloadSize, descriptor.id);
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
