#include "core/plugin_thread.h"

#include <stdlib.h>
#include <string.h>

#include "core/payload_copy.h"
#include "core/payload_ledger.h"
#include "core/thread_log.h"

namespace {

void BuildArea(uint8_t* area, uint32_t areaSize, uint32_t entryNumber, const void* block,
               uint32_t blockSize) {
  memset(area, 0, areaSize);
  uint32_t envelope[3] = {areaSize, 1, entryNumber};
  memcpy(area, envelope, sizeof(envelope));
  memcpy(area + kBlockOffset, block, blockSize);
}

}  // namespace

bool PluginThread::Launch(Core* core, PluginEntry entry, uint32_t entryNumber,
                          const void* request, uint32_t requestSize, const void* reply,
                          uint32_t replySize, PluginCalls* calls) {
  alignas(8) uint8_t requestArea[kRequestAreaSize];
  alignas(8) uint8_t replyArea[kReplyAreaSize];
  BuildArea(requestArea, kRequestAreaSize, entryNumber, request, requestSize);
  BuildArea(replyArea, kReplyAreaSize, entryNumber, reply, replySize);
  PluginThread* thread = new PluginThread(core, entry, requestArea, replyArea, calls);
  if (!thread->ready) {
    delete thread;  // never started, so the owner may delete it
    return false;
  }
  calls->running.fetch_add(1);
  if (thread->isRead) calls->counters.reads.fetch_add(1, std::memory_order_relaxed);
  thread->start();
  return true;
}

PluginThread::PluginThread(Core* owner, PluginEntry call, const uint8_t* request,
                           const uint8_t* reply, PluginCalls* counter)
    : pt::thread(true), core(owner), entry(call), privatePayload(nullptr), ready(true),
      isRead(false), calls(counter) {
  memcpy(requestArea, request, kRequestAreaSize);
  memcpy(replyArea, reply, kReplyAreaSize);
  uint32_t entryNumber;
  memcpy(&entryNumber, request + 8, sizeof(entryNumber));
  if (entryNumber != ENTRY_READ) return;
  isRead = true;
  ReadRequest* read = reinterpret_cast<ReadRequest*>(requestArea + kBlockOffset);
  if (read->payload == nullptr) return;
  privatePayload = malloc(read->payloadSize);
  if (privatePayload == nullptr) {
    ready = false;
    return;
  }
  CopyPayload(privatePayload, read->payload, read->payloadSize);
  PayloadLedger::Copied(privatePayload);
  read->payload = privatePayload;
}

PluginThread::~PluginThread() {}

void PluginThread::execute() {
  BindThreadToActiveLog();
  (void)entry(requestArea + kBlockOffset, replyArea + kBlockOffset);  // the result means nothing to the Core
}

void PluginThread::cleanup() {
  PayloadLedger::Freed(privatePayload);
  free(privatePayload);
  privatePayload = nullptr;
  if (isRead) calls->counters.reads.fetch_sub(1, std::memory_order_relaxed);
  // Last touch of anything outside this object: after it the Core may close
  // the plug-in's library and free `calls`.
  calls->running.fetch_sub(1);
}
