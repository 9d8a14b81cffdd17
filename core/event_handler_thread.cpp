#include "core/event_handler_thread.h"

#include <sys/prctl.h>

#include "core/core.h"
#include "core/thread_log.h"

EventHandlerThread::~EventHandlerThread() { waitfor(); }

void EventHandlerThread::execute() {
  BindThreadToActiveLog();
  Core::MarkDeliveryThread();
  // The handler's naps end when they were asked to: the default slack
  // (50 us) would stretch each several times over.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // The trigger exists from before this thread starts until after it ends.
  pt::trigger* wake = core->WakeTriggerForHandler();
  // Delivers once more after the stop signal, however soon it came: what
  // was queued before Stop gets its bounded time like the rest.
  do {
    wake->wait();
    core->DeliverQueue();
  } while (!get_signaled());
  // Delivery ends here: later posts are refused, what is left is discarded.
  core->DrainQueue();
}
