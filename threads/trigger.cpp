#include "threads/trigger.h"

#include "threads/pt.h"
#include "threads/semaphore.h"

namespace pt {

namespace {
[[noreturn]] void TriggerFailed() { fatal(CRIT_SYNC_FAILED, "Trigger failed"); }
}  // namespace

trigger::trigger(bool autoreset, bool state)
    : state_(state ? 1 : 0), sleepers_(0), autoreset_(autoreset) {
  if (sem_init(&wakeups_, 0, 0) != 0) TriggerFailed();
}

trigger::~trigger() { sem_destroy(&wakeups_); }

bool trigger::Take() {
  if (autoreset_) return state_.exchange(0) == 1;
  return state_.load() == 1;
}

// A waiter counts itself a sleeper before its last look at the flag, and a
// post sets the flag before it counts the sleepers; both in one total order,
// so either the waiter sees the flag or the post sees the sleeper. A wake-up
// handed to a sleeper that then passed on its own look stays in the semaphore
// and costs a later wait one more turn of the loop, never a missed post.
void trigger::wait() {
  for (;;) {
    if (Take()) return;
    sleepers_.fetch_add(1);
    if (Take()) {
      sleepers_.fetch_sub(1);
      return;
    }
    int result = WaitRestarting(&wakeups_);
    sleepers_.fetch_sub(1);
    if (result != 0) TriggerFailed();
  }
}

void trigger::post() {
  int wasSignalled = state_.exchange(1);
  // An auto-reset trigger already signalled has its wake-up on the way; a
  // manual-reset one wakes whoever sleeps now.
  if (autoreset_ && wasSignalled == 1) return;
  int sleeping = sleepers_.load();
  if (autoreset_ && sleeping > 1) sleeping = 1;
  for (int i = 0; i < sleeping; i++) {
    if (sem_post(&wakeups_) != 0) TriggerFailed();
  }
}

void trigger::reset() { state_.store(0); }

}  // namespace pt
