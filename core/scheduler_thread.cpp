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

SchedulerThread::~SchedulerThread() { waitfor(); }

void SchedulerThread::execute() {
  BindThreadToActiveLog();
  core->StartReadThreads();

  SchedulerState state;
  struct sysinfo info;
  bool ok = sysinfo(&info) == 0;
  state.memoryLimit =
      Core::MemoryCeiling(ok, ok ? static_cast<uint64_t>(info.totalram) * info.mem_unit : 0);

  while (!get_signaled()) {
    relax(100);
    if (get_signaled()) break;
    core->SchedulerTick(&state, time(nullptr), ReadAllocatedBytes);
  }
}
