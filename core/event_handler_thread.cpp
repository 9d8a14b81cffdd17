#include "core/event_handler_thread.h"

#include "core/core.h"
#include "core/thread_log.h"

EventHandlerThread::~EventHandlerThread() { waitfor(); }

void EventHandlerThread::execute() {
  BindThreadToActiveLog();
  // The trigger exists from before this thread starts until after it ends.
  pt::trigger* wake = core->WakeTriggerForHandler();
  if (get_signaled()) return;
  for (;;) {
    wake->wait();
    core->DeliverQueue();
    if (get_signaled()) return;
  }
}
