#include "core/scheduler_thread.h"

#include <sys/sysinfo.h>
#include <time.h>

#if !defined(OMBREVARD_NO_TCMALLOC)
#include <gperftools/malloc_extension.h>
#endif

#include "core/core.h"
#include "core/thread_log.h"

bool ReadAllocatedBytes(uint64_t* allocatedBytes) {
#if defined(OMBREVARD_NO_TCMALLOC)
  // Sanitizer builds bring their own allocator, which has no such property.
  (void)allocatedBytes;
  return false;
#else
  size_t value = 0;
  if (!MallocExtension::instance()->GetNumericProperty("generic.current_allocated_bytes",
                                                        &value)) {
    return false;
  }
  *allocatedBytes = value;
  return true;
#endif
}

uint64_t ReleaseFreeHeap() {
#if defined(OMBREVARD_NO_TCMALLOC)
  return 0;
#else
  size_t free = 0;
  MallocExtension* heap = MallocExtension::instance();
  if (!heap->GetNumericProperty("tcmalloc.pageheap_free_bytes", &free) ||
      free < kReleaseFreeAbove) {
    return 0;
  }
  heap->ReleaseFreeMemory();
  return free;
#endif
}

SchedulerThread::~SchedulerThread() { waitfor(); }

void SchedulerThread::execute() {
  BindThreadToActiveLog();
  core->StartReadThreads();

  SchedulerState state;
  struct sysinfo info;
  bool ok = sysinfo(&info) == 0;
  state.memoryLimit =
      Core::MemoryCeiling(ok, ok ? static_cast<uint64_t>(info.totalram) * info.mem_unit : 0);

  constexpr int kTicksPerSecond = 10;
  int ticks = 0;
  bool wasIdle = false;
  uint64_t queuedBefore = 0;
  while (!get_signaled()) {
    relax(100);
    if (get_signaled()) break;
    core->WatchDelivery();
    core->SchedulerTick(&state, time(nullptr), ReadAllocatedBytes);
    if (++ticks % kTicksPerSecond != 0) continue;
    core->ReportRefusedPosts();
    // Idle: nothing queued since the last look and nothing left to deliver.
    // An empty queue alone is no sign of it: a steady stream that delivery
    // keeps up with leaves the queue empty most of the time, and its pages
    // given back would only be taken again at once.
    uint64_t queued = core->RecordsQueued();
    bool idle = queued == queuedBefore && core->QueueEmpty();
    queuedBefore = queued;
    if (idle && wasIdle) {
      core->TrimQueue();
      (void)ReleaseFreeHeap();  // how much is of no concern here
    }
    wasIdle = idle;
  }
}
